"""The reduced grid of dic2d_cli: its pitch, its size, the choice of a seed node and of its search window.

Grid node (row r, column c) lies at pixel (c * step, r * step) of the image it
was computed on, with step = subset_spacing + 1 and pixel (0, 0) the centre
of the top-left pixel.
"""

from __future__ import annotations

import numpy as np

__all__ = [
    "choose_seed",
    "estimate_shift",
    "farther_than",
    "grid_shape",
    "grid_step",
    "label_regions",
    "seed_search_radius",
]


def grid_step(subset_spacing: int = 5) -> int:
    """Pitch of the reduced grid in pixels."""
    return int(subset_spacing) + 1


def grid_shape(width: int, height: int, step: int) -> tuple[int, int]:
    """(rows, columns) of the reduced grid of an image: the multiples of `step` in [0, height) and [0, width)."""
    return (-(-int(height) // step), -(-int(width) // step))


def label_regions(mask: np.ndarray) -> tuple[np.ndarray, int]:
    """The 4-connected regions of a 2-D mask and their count.

    Returns an int32 array of the mask's shape: 0 outside, regions numbered
    1, 2, ... in the scan order (row by row) of their first pixel. Computed
    with OpenCV's connected components, renumbered into that order.
    """
    import cv2

    m = np.ascontiguousarray(np.asarray(mask, dtype=bool), dtype=np.uint8)
    if m.size == 0:
        return np.zeros(m.shape, dtype=np.int32), 0
    count, labels = cv2.connectedComponents(m, connectivity=4, ltype=cv2.CV_32S)
    count -= 1  # the background
    if count > 1:
        flat = labels.ravel()
        found, first = np.unique(flat, return_index=True)
        keep = found > 0
        renumber = np.zeros(count + 1, dtype=np.int32)
        renumber[found[keep][np.argsort(first[keep], kind="stable")]] = np.arange(1, count + 1, dtype=np.int32)
        labels = renumber[labels]
    return labels.astype(np.int32, copy=False), int(count)


def farther_than(mask: np.ndarray, radius: float) -> np.ndarray:
    """Pixels of a 2-D mask whose Euclidean distance to every pixel outside it exceeds `radius`.

    Pixels beyond the image border count as outside. The exact distance
    transform (OpenCV, Felzenszwalb's algorithm) gives the distances in single
    precision; the squared distances, integers, are recovered from them
    before the comparison, so that a distance equal to `radius` is never
    taken for a larger one.
    """
    import cv2

    m = np.asarray(mask, dtype=bool)
    if m.size == 0:
        return np.zeros(m.shape, dtype=bool)
    padded = np.pad(m, 1).astype(np.uint8)
    d = cv2.distanceTransform(padded, cv2.DIST_L2, cv2.DIST_MASK_PRECISE)[1:-1, 1:-1]
    return np.rint(d.astype(np.float64) ** 2) > float(radius) ** 2


def _largest_region(mask: np.ndarray) -> np.ndarray:
    """The largest 4-connected region of a mask (the first in scan order among equals)."""
    labels, count = label_regions(mask)
    if count <= 1:
        return mask
    sizes = np.bincount(labels.ravel())[1:]
    return labels == (int(np.argmax(sizes)) + 1)


def choose_seed(mask: np.ndarray, step: int, margin: int) -> tuple[int, int]:
    """A reduced-grid point (x, y) inside the ROI's largest region, near that region's centroid.

    Both coordinates are multiples of `step`, and the point is at least
    `margin` pixels (the subset radius) from the image border, as the
    correlation requires without subset truncation. Nodes whose whole subset
    (a disc of radius `margin`) lies inside the ROI are preferred, so that the
    seed's texture belongs to the specimen; among the eligible nodes the one
    nearest to the region's centroid is taken (the first in row order among
    equals).

    Raises
    ------
    ValueError
        The mask is empty, or no grid node of it is far enough from the border.
    """
    m = np.asarray(mask, dtype=bool)
    h, w = m.shape
    if not m.any():
        raise ValueError("the ROI mask is empty")
    region = _largest_region(m)
    ys, xs = np.nonzero(region)
    gy, gx = np.mgrid[0:h:step, 0:w:step]
    ok = region[gy, gx] & (gx >= margin) & (gy >= margin) & (gx < w - margin) & (gy < h - margin)
    if not ok.any():
        raise ValueError("no reduced-grid point of the ROI is far enough from the image border")
    # Nodes farther than the margin from every pixel outside the region (the image border counts as outside).
    whole = ok & farther_than(region, margin)[gy, gx]
    if whole.any():
        ok = whole
    d2 = (gx - xs.mean()) ** 2 + (gy - ys.mean()) ** 2
    d2 = np.where(ok, d2, np.inf)
    i = np.unravel_index(np.argmin(d2), d2.shape)
    return int(gx[i]), int(gy[i])


def estimate_shift(
    reference: np.ndarray, deformed: np.ndarray, point: tuple[int, int], half: int
) -> tuple[int, int, float]:
    """Integer displacement of the patch around `point` from `reference` to `deformed`.

    The square patch of side 2 * half + 1 (clipped to the image) is located in
    the whole deformed image by normalised cross-correlation (OpenCV's
    ``matchTemplate``, computed through the FFT).

    Returns
    -------
    (dx, dy, score) : the best shift in pixels and its correlation coefficient
        (score -1 when the patch has no texture or does not fit).
    """
    import cv2

    ref = np.asarray(reference, dtype=np.float32)
    dfm = np.asarray(deformed, dtype=np.float32)
    x, y = int(point[0]), int(point[1])
    h, w = ref.shape
    x0, x1 = max(0, x - half), min(w, x + half + 1)
    y0, y1 = max(0, y - half), min(h, y + half + 1)
    patch = ref[y0:y1, x0:x1]
    if patch.size == 0 or patch.shape[0] > dfm.shape[0] or patch.shape[1] > dfm.shape[1] or patch.std() == 0:
        return 0, 0, -1.0
    score = cv2.matchTemplate(dfm, np.ascontiguousarray(patch), cv2.TM_CCOEFF_NORMED)
    score = np.nan_to_num(score, nan=-1.0, posinf=-1.0, neginf=-1.0)
    iy, ix = np.unravel_index(int(np.argmax(score)), score.shape)
    return int(ix - x0), int(iy - y0), float(score[iy, ix])


def seed_search_radius(shift: tuple[int, int], margin: int = 10) -> int:
    """A seed search radius that holds an estimated integer shift with `margin` pixels to spare."""
    return max(abs(int(shift[0])), abs(int(shift[1]))) + int(margin)
