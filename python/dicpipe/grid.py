"""The reduced grid of dic2d_cli: its pitch and the choice of a seed node.

Grid node (row r, column c) lies at pixel (c * step, r * step) of the image it
was computed on, with step = subset_spacing + 1 and pixel (0, 0) the centre
of the top-left pixel.
"""

from __future__ import annotations

import numpy as np


def grid_step(subset_spacing: int = 5) -> int:
    """Pitch of the reduced grid in pixels."""
    return int(subset_spacing) + 1


def choose_seed(mask: np.ndarray, step: int, margin: int) -> tuple[int, int]:
    """A reduced-grid point (x, y) inside the ROI, nearest to the ROI's centroid.

    Both coordinates are multiples of `step`, and the point is at least
    `margin` pixels (the subset radius) from the image border, as the
    correlation requires without subset truncation.
    """
    m = np.asarray(mask, dtype=bool)
    h, w = m.shape
    ys, xs = np.nonzero(m)
    if len(xs) == 0:
        raise ValueError("the ROI mask is empty")
    gy, gx = np.mgrid[0:h:step, 0:w:step]
    ok = m[gy, gx] & (gx >= margin) & (gy >= margin) & (gx < w - margin) & (gy < h - margin)
    if not ok.any():
        raise ValueError("no reduced-grid point of the ROI is far enough from the image border")
    d2 = (gx - xs.mean()) ** 2 + (gy - ys.mean()) ** 2
    d2 = np.where(ok, d2, np.inf)
    i = np.unravel_index(np.argmin(d2), d2.shape)
    return int(gx[i]), int(gy[i])
