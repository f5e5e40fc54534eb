"""Stereo matching: where camera 0's grid nodes appear in camera k's reference image.

The match is one dic2d_cli run with camera 0's reference image as the
reference and camera k's reference image as the "deformed" image, on camera
0's ROI and grid. Every solved node (x, y) of camera 0 then has its
observation (x + u, y + v) in camera k.

How it proceeds:

1. A coarse disparity at camera 0's seed: a large patch around the seed (its
   pixels outside the ROI neutralised) is located in camera k's whole image by
   normalised cross-correlation (OpenCV's FFT-based template matching). The
   peak must be clear and unique, else `StereoError`. Cameras may see the
   specimen at different pixel scales (other sensors or lenses) and rotated
   about their axes: the calibration predicts the local map of camera 0's
   pixels into camera k's at the seed (scale ratio, rotation, foreshortening),
   and unless it is close to a translation the patch is also searched
   resampled by that map and a few scales and rotations around it; without a
   calibration, at scales from 0.7 to 1.43 when the patch as it is gives no
   clear peak. The best peak gives the disparity and the map. The resampled
   patch serves this search only.
2. Both images are placed on a common canvas so that the disparity at the
   seed becomes about zero: camera 0 at a shift that is a whole number of grid
   steps (its grid nodes stay grid nodes), camera k at the integer disparity
   from it. The shifts are integers, so the correlation sees exactly the
   same pixel values and its sub-pixel results are those of the original
   images; cameras of different image sizes fit on the same canvas. The
   engine's seed search then needs only a small window, whatever the
   disparity.
3. dic2d_cli solves the grid from the seed by reliability-guided propagation.
   Its seed is an integer search of translated subsets refined from zero
   displacement gradients, which fails when the map moves the rim of a subset
   by more than a couple of pixels from where a translation puts it (a scale
   of 0.8 or a rotation of 15 degrees with a 20 px subset). The match then
   starts from an island: the run's subsets are truncated to a mask that is
   empty within a subset radius of the seed except for a small disc around it
   (and single pixels at the nodes that lead out), so that the seed's subset
   is that disc, whose rim moves little; the engine carries the seed's
   affine warp on to its neighbours, whose subsets are whole (the mask holds
   every pixel within a subset radius of the ROI). Nodes whose subsets reach
   into the emptied disc are measured by a second run from an island farther
   away. Every match thus comes from the engine's correlation of the original
   images on the node's own subset; no image is resampled.
   A node counts as solved when the run solved it, it is a node of camera 0's
   own grid (inside the ROI, and at least the subset radius from camera 0's
   border unless subsets are truncated), and its warped subset lies wholly
   inside camera k's image (the canvas around the images is filler, not data).
4. Gates: the correlation coefficient of the match (default 0.9), the
   texture of camera 0's subset (`centre_uncertainty_ratio`, default 3) and,
   with a calibration, the distance of the match from the epipolar curve of
   its node (default 1 px). Subsets that straddle a specimen edge match
   wrongly along the epipolar line: the correlation gate removes them.
   Subsets textured only at their rim (a blank patch of the speckle) match
   the rim with a high correlation but misplace their centre: the texture
   gate removes them. Matches off the line are removed by the epipolar gate.
   A calibration whose epipolar curves miss the matches (median distance
   above `max_calibration_error_px`, default 2 px) does not belong to these
   images: `StereoError`.
5. Camera k's ROI covers its valid matches (the grid cells between them)
   plus a margin of a grid-cell diagonal, so that camera k's own grid is
   solved around every matched pixel; its seed is a node of camera k's grid
   near the match of camera 0's seed.

Pixel convention: (0, 0) is the centre of the top-left pixel, x to the right,
y down; arrays are indexed [row, column] = [y, x].
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass
from functools import cached_property
from typing import Any

import cv2
import numpy as np

from .camera import Calibration
from .dic2d import DEFAULTS, Dic2dError, run_dic2d
from .grid import choose_seed, grid_step

__all__ = ["Disparity", "StereoError", "StereoMatch", "centre_uncertainty_ratio", "find_disparity", "match_stereo"]

#: Coarse search: the least normalised correlation of the patch at its best
#: position, and the largest ratio of the runner-up peak to the best one.
MIN_DISPARITY_PEAK = 0.4
MAX_PEAK_RATIO = 0.85

#: Scale and rotation between the cameras, as the distance (px) by which the
#: expected map moves the rim of a patch or subset from where a translation
#: puts it. A patch within COARSE_MISFIT_PX is searched as it is. The engine
#: starts its seed directly within SEED_MISFIT_PX, else from an island whose
#: rim moves by at most ISLAND_MISFIT_PX. Measured on rendered speckle of 4.5
#: px with a 20 px subset: the seed is found at a scale of 1.2 (4 px) but not
#: at 0.8 or with a rotation of 20 degrees, even from the right integer
#: position; islands of 5 to 8 px start at scales of 0.7 to 1.4 and at 30
#: degrees, not every one of them.
COARSE_MISFIT_PX = 1.5
SEED_MISFIT_PX = 2.0
ISLAND_MISFIT_PX = 3.0
#: Scales tried around the calibration's prediction, and rotations (degrees).
LOCAL_SCALES = (0.94, 0.97, 1.0, 1.03, 1.06)
LOCAL_ANGLES = (-2.0, 0.0, 2.0)
#: Scales tried without a prediction: 0.7 to 1.43 in steps of 4 %.
SWEEP_SCALES = tuple(0.7 * 1.04**i for i in range(19))
#: Islands: their radii (px, largest tried first); the seed search radius (px)
#: of an island's seed, whose integer disparity the coarse search gives within
#: a pixel or so; how far (grid steps) from camera 0's seed other nodes are
#: tried; how close an island's map must be to the expected one (a small
#: subset can match with a high correlation but a wrong map); how many runs a
#: match makes at most, and how many nodes are tried for each later run's island.
ISLAND_RADII = (12, 10, 8, 7, 6, 5)
ISLAND_SEARCH_RADIUS = 3
ISLAND_SEARCH_NODES = 3
ISLAND_MAP_TOLERANCE = 0.1
ISLAND_RUNS = 8
ISLAND_TRIES = 8
#: Least number of nodes of a group of unmatched nodes that a run from an
#: island inside it is made for, and the largest median difference (px) of a
#: run's matches from those already made for its matches to be used.
ISLAND_MIN_GROUP = 12
ISLAND_AGREEMENT_PX = 0.01
#: dic2d_cli options of the runs from islands (see `_correlate_from_islands`).
ISLAND_OPTIONS = {
    "subset_truncation": True,
    "roi_min_region_area": 0,
    "seed_search_radius": ISLAND_SEARCH_RADIUS,
    "rg_search_radius": 0,
}


class StereoError(RuntimeError):
    """The match failed, or the calibration does not fit the images."""


@dataclass
class Disparity:
    """Where camera 0's patch around a pixel lies in camera k's image (camera k minus camera 0)."""

    du: float  # sub-pixel (parabolic) peak, px
    dv: float
    peak: float  # normalised correlation at the best integer position
    runner_up: float  # best correlation away from the peak (more than the exclusion radius)
    transform: np.ndarray | None = None  # (2, 2) map of camera 0's patch into camera k's pixels; None: identity

    @property
    def integer(self) -> tuple[int, int]:
        return int(round(self.du)), int(round(self.dv))


@dataclass
class StereoMatch:
    """Camera 0's grid nodes matched in camera k's reference image.

    Arrays over camera 0's grid have shape (H0, W0) = (ceil(height0 / step),
    ceil(width0 / step)); element [r, c] is the node at pixel (c * step,
    r * step) of camera 0.
    """

    camera: int  # k >= 1
    step: int  # camera 0's grid pitch
    uv: np.ndarray  # (H0, W0, 2) pixel in camera k of camera 0's node [r, c]; NaN where none
    corrcoef: np.ndarray  # (H0, W0) correlation of the match (0 where none)
    epipolar_px: np.ndarray  # (H0, W0) distance to the epipolar line, camera k pixels (NaN where none)
    valid: np.ndarray  # (H0, W0) bool: solved and passing the gates (correlation, texture, epipolar)
    seed: tuple[int, int]  # camera 0's seed node (x, y)
    disparity: tuple[float, float]  # the coarse disparity found at the seed (camera k minus camera 0, px)
    roi: np.ndarray  # camera k's ROI (bool, camera k's image shape), from the valid matches
    seed_k: tuple[int, int]  # a node of camera k's grid inside `roi`, for its temporal runs
    epipolar_rms: float  # RMS epipolar distance of the valid matches (px); NaN without a calibration
    uncertainty_ratio: np.ndarray | None = None  # (H0, W0) texture measure of camera 0's subsets (NaN where none)
    transform: np.ndarray | None = None  # (2, 2) camera k's pixel offsets per camera 0's at the seed, coarse

    @property
    def solved(self) -> np.ndarray:
        """Nodes with a match, whether or not it passed the gates."""
        return np.isfinite(self.uv[..., 0])

    @property
    def valid_count(self) -> int:
        return int(np.count_nonzero(self.valid))


# --------------------------------------------------------------------------
# Coarse disparity
# --------------------------------------------------------------------------


def _parabola_peak(left: float, centre: float, right: float) -> float:
    """Offset of the vertex of the parabola through three samples at -1, 0, 1 (0 when flat)."""
    denom = left - 2.0 * centre + right
    if not math.isfinite(denom) or denom >= 0.0:
        return 0.0
    return float(np.clip(0.5 * (left - right) / denom, -0.5, 0.5))


def find_disparity(
    reference0: np.ndarray,
    reference_k: np.ndarray,
    roi0: np.ndarray,
    centre: tuple[int, int],
    *,
    half_size: int = 80,
    exclusion: int = 20,
    transform: Any = None,
) -> Disparity:
    """Locate the patch of camera 0 around `centre` in camera k's whole image.

    The patch is the square of half-width `half_size` around `centre` (x, y),
    cut to camera 0's image; its pixels outside `roi0` take the mean of the
    pixels inside, so that they add nothing to the zero-mean correlation. The
    search is OpenCV's normalised correlation coefficient over every position
    of camera k's image. `runner_up` is the best coefficient farther than
    `exclusion` pixels (in x or y) from the peak: a repetitive pattern makes
    it close to the peak.

    `transform` (2 x 2) is the expected local map of camera 0's pixel offsets
    into camera k's (its scale and in-plane rotation relative to camera 0):
    the patch is then resampled with it (bilinear) before the search, so that
    it has camera k's scale and orientation, and `exclusion` is in camera k's
    pixels. The resampled patch serves this search only.

    Raises `StereoError` when camera k's image is smaller than the patch or
    the patch has no texture.
    """
    ref0 = np.asarray(reference0, dtype=np.float64)
    refk = np.asarray(reference_k, dtype=np.float64)
    inside = np.asarray(roi0) != 0
    x, y = int(centre[0]), int(centre[1])
    h = int(half_size)
    if transform is not None:
        return _find_transformed(ref0, refk, inside, (x, y), h, int(exclusion), np.asarray(transform, dtype=float))
    x0, x1 = max(x - h, 0), min(x + h + 1, ref0.shape[1])
    y0, y1 = max(y - h, 0), min(y + h + 1, ref0.shape[0])
    # Camera k must hold the whole patch at every tried position.
    x0, x1 = max(x0, x1 - refk.shape[1]), min(x1, x0 + refk.shape[1])
    y0, y1 = max(y0, y1 - refk.shape[0]), min(y1, y0 + refk.shape[0])
    if x1 - x0 < 8 or y1 - y0 < 8:
        raise StereoError(f"camera images too small for the disparity search around ({x}, {y})")
    (ix, fx), (iy, fy), peak, runner_up = _template_peak(
        refk, ref0[y0:y1, x0:x1].copy(), inside[y0:y1, x0:x1], (x, y), exclusion
    )
    return Disparity(du=ix - x0 + fx, dv=iy - y0 + fy, peak=peak, runner_up=runner_up)


def _template_peak(
    refk: np.ndarray, patch: np.ndarray, keep: np.ndarray, centre: tuple[int, int], exclusion: int
) -> tuple[tuple[int, float], tuple[int, float], float, float]:
    """Where camera k's image best matches `patch` (its pixels outside `keep` ignored): the template's
    top-left column and row, each as a whole pixel and a parabola's fraction, the peak score and the
    best score more than `exclusion` px from it."""
    x, y = centre
    if np.count_nonzero(keep) < 16:
        raise StereoError(f"too few ROI pixels around camera 0's seed ({x}, {y}) for the disparity search")
    patch[~keep] = patch[keep].mean()
    if not np.ptp(patch[keep]) > 0:
        raise StereoError(f"camera 0's image has no texture around the seed ({x}, {y})")
    # Zero-mean scores are invariant to offset and scale: centring before the
    # float32 conversion keeps 16-bit images precise.
    score = cv2.matchTemplate(
        (refk - refk.mean()).astype(np.float32), (patch - patch.mean()).astype(np.float32), cv2.TM_CCOEFF_NORMED
    )
    score = np.where(np.isfinite(score), score, -1.0)
    iy, ix = np.unravel_index(int(np.argmax(score)), score.shape)
    peak = float(score[iy, ix])
    fx = _parabola_peak(*score[iy, ix - 1 : ix + 2]) if 0 < ix < score.shape[1] - 1 else 0.0
    fy = _parabola_peak(*score[iy - 1 : iy + 2, ix]) if 0 < iy < score.shape[0] - 1 else 0.0
    away = score.copy()
    e = int(exclusion)
    away[max(iy - e, 0) : iy + e + 1, max(ix - e, 0) : ix + e + 1] = -1.0
    return (int(ix), fx), (int(iy), fy), peak, float(away.max())


def _find_transformed(
    ref0: np.ndarray, refk: np.ndarray, inside: np.ndarray, centre: tuple[int, int], h: int, e: int, A: np.ndarray
) -> Disparity:
    """`find_disparity` with camera 0's patch mapped by the 2 x 2 `A` into camera k's pixels."""
    if A.shape != (2, 2) or not np.all(np.isfinite(A)) or not np.linalg.det(A) > 0:
        raise ValueError(f"transform must be a finite 2 x 2 matrix that keeps orientation, got {A.tolist()}")
    x, y = centre
    # Half-extent of the mapped square, cut so that camera k holds the whole template.
    reach = np.abs(A).sum(axis=1) * h
    hx = min(math.ceil(reach[0]), (refk.shape[1] - 1) // 2)
    hy = min(math.ceil(reach[1]), (refk.shape[0] - 1) // 2)
    if hx < 4 or hy < 4:
        raise StereoError(f"camera images too small for the disparity search around ({x}, {y})")
    # Template pixel (i, j) shows camera 0 at centre + A^-1 ((i, j) - (hx, hy)); the square is cut out
    # first, so that only its pixels are resampled.
    x0, y0 = max(x - h, 0), max(y - h, 0)
    square = ref0[y0 : y + h + 1, x0 : x + h + 1]
    M = np.hstack([A, np.array([[hx], [hy]]) - A @ np.array([[x - x0], [y - y0]], dtype=float)])
    size = (2 * hx + 1, 2 * hy + 1)
    patch = cv2.warpAffine(square, M, size, flags=cv2.INTER_CUBIC, borderMode=cv2.BORDER_CONSTANT)
    weight = inside[y0 : y + h + 1, x0 : x + h + 1].astype(np.float64)
    keep = cv2.warpAffine(weight, M, size, flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT) > 0.999
    (ix, fx), (iy, fy), peak, runner_up = _template_peak(refk, patch, keep, (x, y), e)
    return Disparity(du=ix + hx - x + fx, dv=iy + hy - y + fy, peak=peak, runner_up=runner_up, transform=A.copy())


# --------------------------------------------------------------------------
# The match
# --------------------------------------------------------------------------


def _options(dic: dict | None) -> dict[str, Any]:
    opts = dict(dic or {})
    for key in ("subset_radius", "subset_spacing"):
        opts.setdefault(key, DEFAULTS[key])
        value = opts[key]
        if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)) or value < 0:
            raise ValueError(f"{key} must be a non-negative integer, got {value!r}")
    return opts


def _check_image(name: str, image: Any) -> np.ndarray:
    a = np.asarray(image)
    if a.ndim != 2 or a.shape[0] < 2 or a.shape[1] < 2:
        raise ValueError(f"{name} must be a 2-D gray image, got shape {a.shape}")
    if not np.issubdtype(a.dtype, np.number) or np.iscomplexobj(a):
        raise ValueError(f"{name} must hold real gray values, got dtype {a.dtype}")
    a = a.astype(np.float64, copy=False)
    if not np.all(np.isfinite(a)):
        raise ValueError(f"{name} holds non-finite values")
    return a


def _place(dx: int, step: int) -> tuple[int, int]:
    """Canvas offsets (of camera 0, of camera k) along one axis for an integer disparity dx.

    Camera 0's offset is a multiple of `step`, both are >= 0, and their
    difference cancels the disparity: (offset_k - offset_0) = -dx.
    """
    offset0 = step * (-(-max(dx, 0) // step))
    return offset0, offset0 - dx


def _canvas(image: np.ndarray, shape: tuple[int, int], oy: int, ox: int, fill: float) -> np.ndarray:
    """An array of `shape` filled with `fill` that holds `image` with its pixel (0, 0) at [oy, ox], cut to it."""
    out = np.full(shape, fill, dtype=image.dtype)
    y0, x0 = max(oy, 0), max(ox, 0)
    y1, x1 = min(oy + image.shape[0], shape[0]), min(ox + image.shape[1], shape[1])
    if y1 > y0 and x1 > x0:
        out[y0:y1, x0:x1] = image[y0 - oy : y1 - oy, x0 - ox : x1 - ox]
    return out


def _warped_subset_inside(
    uv: np.ndarray, gradients: tuple[np.ndarray, ...], radius: int, width: int, height: int
) -> np.ndarray:
    """Whether the subset disc of radius `radius`, under the match's affine warp, lies in the image.

    The bound is the one of bilinear samples with their half-pixel gradient:
    0.5 <= x < width - 1.5 (and the same for y).
    """
    du_dx, du_dy, dv_dx, dv_dy = gradients
    ext_x = radius * np.hypot(1.0 + du_dx, du_dy)
    ext_y = radius * np.hypot(dv_dx, 1.0 + dv_dy)
    x, y = uv[..., 0], uv[..., 1]
    with np.errstate(invalid="ignore"):
        return (x - ext_x >= 0.5) & (x + ext_x < width - 1.5) & (y - ext_y >= 0.5) & (y + ext_y < height - 1.5)


def centre_uncertainty_ratio(
    image: np.ndarray, nodes: np.ndarray, radius: int, mask: np.ndarray | None = None
) -> np.ndarray:
    """How much the affine subset model inflates the uncertainty of a subset's centre displacement.

    For the subset disc of `radius` around each node (x, y) of `nodes` (..., 2)
    the Gauss-Newton matrix of the six-parameter affine match, H = sum of
    s s^T with s = (gx, gy, gx dx, gx dy, gy dx, gy dy) over the subset's
    offsets (dx, dy) and the image gradient (gx, gy) at them, gives the
    variance of the centre displacement (u, v) as the trace of the (u, v)
    block of H^-1; a pure translation gives the trace of the inverse of H's
    (u, v) block. The result is the square root of their ratio: 1 for a
    subset textured evenly about its centre, large when the texture sits at
    its rim (the match pins the rim, the centre is extrapolated), infinite
    when H is singular. The subset is the disc clipped to the image, and to
    `mask` when given (truncated subsets).
    """
    img = np.asarray(image, dtype=np.float64)
    nodes = np.asarray(nodes)
    out = np.full(nodes.shape[:-1], np.inf)
    if nodes.size == 0:
        return out
    # Work on the bounding box of the subsets only.
    r = int(radius)
    x0 = max(int(nodes[..., 0].min()) - r - 1, 0)
    y0 = max(int(nodes[..., 1].min()) - r - 1, 0)
    x1 = min(int(nodes[..., 0].max()) + r + 2, img.shape[1])
    y1 = min(int(nodes[..., 1].max()) + r + 2, img.shape[0])
    sub = img[y0:y1, x0:x1]
    # The bilinear half-pixel difference at a pixel centre is the central difference.
    g = {"x": np.zeros_like(sub), "y": np.zeros_like(sub)}
    g["x"][:, 1:-1] = 0.5 * (sub[:, 2:] - sub[:, :-2])
    g["y"][1:-1, :] = 0.5 * (sub[2:, :] - sub[:-2, :])
    inside = np.ones_like(sub) if mask is None else (np.asarray(mask)[y0:y1, x0:x1] != 0).astype(np.float64)
    oy, ox = np.mgrid[-r : r + 1, -r : r + 1].astype(np.float64)
    disc = (ox * ox + oy * oy <= r * r).astype(np.float64)
    monomial = {"": disc, "x": disc * ox, "y": disc * oy, "xx": disc * ox * ox, "xy": disc * ox * oy}
    monomial["yy"] = disc * oy * oy
    ny, nx = nodes[..., 1].astype(np.intp) - y0, nodes[..., 0].astype(np.intp) - x0
    sums: dict[tuple[str, str], np.ndarray] = {}

    def moment(axes: str, mono: str) -> np.ndarray:
        key = (axes, mono)
        if key not in sums:
            product = g[axes[0]] * g[axes[1]] * inside
            # filter2D correlates: out(p) = sum over d of kernel(d) * product(p + d); zeros beyond the image.
            sums[key] = cv2.filter2D(product, -1, monomial[mono], borderType=cv2.BORDER_CONSTANT)[ny, nx]
        return sums[key]

    terms = (("x", ""), ("y", ""), ("x", "x"), ("x", "y"), ("y", "x"), ("y", "y"))  # s_i = g_axis * offset
    H = np.empty(nodes.shape[:-1] + (6, 6))
    for i, (ai, mi) in enumerate(terms):
        for j, (aj, mj) in enumerate(terms[: i + 1]):
            H[..., i, j] = H[..., j, i] = moment("".join(sorted(ai + aj)), "".join(sorted(mi + mj)))
    lam, vec = np.linalg.eigh(H)
    regular = lam[..., 0] > 1e-12 * lam[..., -1]
    with np.errstate(divide="ignore", invalid="ignore"):
        affine = np.sum((vec[..., 0, :] ** 2 + vec[..., 1, :] ** 2) / lam, axis=-1)
        t00, t01, t11 = H[..., 0, 0], H[..., 0, 1], H[..., 1, 1]
        translation = (t00 + t11) / (t00 * t11 - t01 * t01)
        ratio = np.sqrt(affine / translation)
    return np.where(regular & np.isfinite(ratio), ratio, np.inf)


def _coverage(uv: np.ndarray, valid: np.ndarray, shape: tuple[int, int]) -> np.ndarray:
    """Pixels of camera k covered by the grid cells (and lone nodes) of the valid matches."""
    cover = np.zeros(shape, dtype=np.uint8)
    shift = 4  # sub-pixel vertices for OpenCV's rasteriser
    scale = float(1 << shift)
    h, w = valid.shape
    corners = ((0, 0), (0, 1), (1, 1), (1, 0))  # (dr, dc) around a cell, in order
    for r, c in zip(*np.nonzero(valid[: h - 1, : w - 1] | valid[1:, : w - 1] | valid[: h - 1, 1:] | valid[1:, 1:])):
        pts = [uv[r + dr, c + dc] for dr, dc in corners if valid[r + dr, c + dc]]
        if len(pts) >= 3:
            poly = np.round(np.array(pts) * scale).astype(np.int32)
            cv2.fillConvexPoly(cover, poly, 1, lineType=cv2.LINE_8, shift=shift)
    for r, c in zip(*np.nonzero(valid)):
        p = np.round(uv[r, c] * scale).astype(np.int32)
        cv2.circle(cover, (int(p[0]), int(p[1])), int(scale), 1, thickness=-1, shift=shift)
    return cover != 0


def _roi_and_seed(
    uv: np.ndarray,
    valid: np.ndarray,
    seed_uv: np.ndarray,
    shape: tuple[int, int],
    step: int,
    radius: int,
    camera: int,
) -> tuple[np.ndarray, tuple[int, int]]:
    """Camera k's ROI from its valid matches and a node of camera k's grid inside it near `seed_uv`."""
    cover = _coverage(uv, valid, shape)
    # A margin of a cell diagonal puts the four grid nodes around every
    # covered pixel inside the ROI.
    margin = math.ceil(step * math.sqrt(2.0))
    kernel = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (2 * margin + 1, 2 * margin + 1))
    roi = cv2.dilate(cover.astype(np.uint8), kernel) != 0
    # The seed must lie in the ROI region that holds the match of camera 0's
    # seed (the engine propagates within connected regions only).
    _, labels = cv2.connectedComponents(roi.astype(np.uint8), connectivity=4)
    sx = int(np.clip(round(seed_uv[0]), 0, shape[1] - 1))
    sy = int(np.clip(round(seed_uv[1]), 0, shape[0] - 1))
    region = labels == labels[sy, sx] if roi[sy, sx] else roi
    height, width = shape
    gy, gx = np.mgrid[0:height:step, 0:width:step]
    on_grid = (gx >= radius) & (gy >= radius) & (gx < width - radius) & (gy < height - radius)
    d2 = (gx - seed_uv[0]) ** 2 + (gy - seed_uv[1]) ** 2
    for candidates in (on_grid & (region & cover)[gy, gx], on_grid & region[gy, gx], on_grid & roi[gy, gx]):
        if candidates.any():
            i = np.unravel_index(np.argmin(np.where(candidates, d2, np.inf)), d2.shape)
            return roi, (int(gx[i]), int(gy[i]))
    raise StereoError(
        f"no node of camera {camera}'s grid (step {step}) lies inside the matched area at least "
        f"{radius} px from the border of camera k's image"
    )


# --------------------------------------------------------------------------
# Scale and rotation between the cameras
# --------------------------------------------------------------------------


def _misfit(transform: np.ndarray, radius: float) -> float:
    """Largest distance (px) between where `transform` and a translation put a point `radius` from the centre."""
    return float(np.linalg.norm(np.asarray(transform) - np.eye(2), 2)) * radius


def _scale_and_angle(transform: np.ndarray) -> tuple[float, float]:
    """The mean scale (square root of the determinant) and the rotation (degrees) of a 2 x 2 map.

    The rotation is the angle a of [[cos a, -sin a], [sin a, cos a]] in pixel
    coordinates: clockwise on the screen, where y points down.
    """
    A = np.asarray(transform, dtype=float)
    return math.sqrt(abs(np.linalg.det(A))), math.degrees(math.atan2(A[1, 0] - A[0, 1], A[0, 0] + A[1, 1]))


def _similarity(scale: float, degrees: float) -> np.ndarray:
    a = math.radians(degrees)
    return scale * np.array([[math.cos(a), -math.sin(a)], [math.sin(a), math.cos(a)]])


def _predicted_transform(calibration: Calibration, k: int, pixel: tuple[int, int], h: float = 8.0) -> np.ndarray | None:
    """The map of camera 0's pixel offsets around `pixel` into camera k's pixels that the calibration predicts.

    The specimen is taken where camera 0's viewing ray through `pixel` passes
    closest to camera k's optical axis (a stereo rig's cameras converge on
    the specimen) and to face both cameras (its normal along the sum of the
    unit vectors towards them). The map is the derivative, by central
    differences of `h` px, of the projection into camera k of the points
    where camera 0's rays meet that plane: it holds the ratio of the pixel
    scales, the in-plane rotation and the foreshortening. None when the
    geometry gives no such point (a ray parallel to the axis, a point behind
    a camera) or a pixel does not undistort.
    """
    c0, ck = calibration.cameras[0], calibration.cameras[k]
    p = np.asarray(pixel, dtype=float) + np.array([[0.0, 0.0], [h, 0.0], [-h, 0.0], [0.0, h], [0.0, -h]])
    n = np.asarray(c0.normalize(p), dtype=float)
    if not np.all(np.isfinite(n)):
        return None
    rays = np.concatenate([n, np.ones((5, 1))], axis=1) @ c0.R  # world directions, R^T (x, y, 1)
    o0, ok = c0.centre, ck.centre
    d0 = rays[0] / np.linalg.norm(rays[0])
    axis = ck.R[2]  # camera k's optical axis in the world
    b, w = d0 @ axis, o0 - ok
    denom = 1.0 - b * b
    if not denom > 1e-6:
        return None
    s = (b * (axis @ w) - d0 @ w) / denom
    X = o0 + s * d0
    if not s > 0 or not (ck.R @ X + ck.t)[2] > 0:
        return None
    normal = (o0 - X) / np.linalg.norm(o0 - X) + (ok - X) / np.linalg.norm(ok - X)
    along = rays @ normal
    if not np.all(np.abs(along) > 1e-9):
        return None
    points = o0 + ((X - o0) @ normal / along)[:, None] * rays
    q = np.asarray(ck.project(points), dtype=float)
    A = np.stack([(q[1] - q[2]) / (2 * h), (q[3] - q[4]) / (2 * h)], axis=1)
    if not np.all(np.isfinite(A)) or not np.linalg.det(A) > 0:
        return None
    return A


def _coarse_disparity(
    ref0: np.ndarray,
    refk: np.ndarray,
    mask0: np.ndarray,
    seed: tuple[int, int],
    half: int,
    exclusion: int,
    predicted: np.ndarray | None,
) -> Disparity:
    """The coarse disparity at the seed, searched at the scale and rotation of camera k.

    The patch is searched as it is first; that result stands when it is clear
    and the prediction (if any) is close to a translation. Otherwise the patch
    is also searched mapped by the prediction combined with a few scales and
    rotations around it, or, without a prediction, at scales from 0.7 to
    1.43; the best peak wins.
    """
    best = find_disparity(ref0, refk, mask0, seed, half_size=half, exclusion=exclusion)
    clear = best.peak >= MIN_DISPARITY_PEAK and best.runner_up <= MAX_PEAK_RATIO * best.peak
    if clear and (predicted is None or _misfit(predicted, half) <= COARSE_MISFIT_PX):
        return best
    if predicted is None:
        tries = [scale * np.eye(2) for scale in SWEEP_SCALES]
    else:
        tries = [_similarity(scale, angle) @ predicted for scale in LOCAL_SCALES for angle in LOCAL_ANGLES]
    for A in tries:
        scale = math.sqrt(np.linalg.det(A))
        d = find_disparity(
            ref0, refk, mask0, seed, half_size=half, exclusion=max(round(exclusion * scale), 1), transform=A
        )
        if d.peak > best.peak:
            best = d
    return best


# --------------------------------------------------------------------------
# The correlation
# --------------------------------------------------------------------------


@dataclass
class _Setup:
    """What every correlation run of one match shares."""

    ref0: np.ndarray
    refk: np.ndarray
    mask0: np.ndarray
    opts: dict[str, Any]
    step: int
    radius: int
    truncation: bool
    cli: Any
    workdir: Any
    camera: int = 1

    @cached_property
    def data(self) -> np.ndarray:
        """The mask of the runs from islands without the island: every pixel of an ROI node's subset."""
        return self.mask0 if self.truncation else _dilate(self.mask0, self.radius)


@dataclass
class _Correlation:
    """One run's matches of camera 0's grid nodes in camera k (arrays over camera 0's grid)."""

    uv: np.ndarray  # (H0, W0, 2), NaN where not solved
    corrcoef: np.ndarray  # 0 where not solved
    solved: np.ndarray  # solved by the run, a node of camera 0's grid, its warped subset inside camera k
    seed_corrcoef: float


def _correlate(
    setup: _Setup,
    seed: tuple[int, int],
    shift: tuple[int, int],
    island: int | None = None,
    within: tuple[tuple[int, int], float] | None = None,
) -> _Correlation:
    """One dic2d_cli run on a common canvas where the integer `shift` at `seed` is cancelled.

    Both images are placed on the canvas at integer offsets (camera 0's a
    whole number of grid steps), so the correlation sees exactly the pixel
    values of the images. With `island` (a radius), the run starts from an
    island around the seed instead (`_carve_island`); `within` (a centre and
    a distance, camera 0's pixels) then keeps the run to the ROI within that
    disc (a repeat run for some nodes only).
    """
    ref0, refk, step, radius = setup.ref0, setup.refk, setup.step, setup.radius
    sx0, sy0 = seed
    ox0, oxk = _place(shift[0], step)
    oy0, oyk = _place(shift[1], step)
    shape = (
        max(oy0 + ref0.shape[0], oyk + refk.shape[0]),
        max(ox0 + ref0.shape[1], oxk + refk.shape[1]),
    )
    canvas0 = _canvas(ref0, shape, oy0, ox0, float(ref0.mean()))
    canvask = _canvas(refk, shape, oyk, oxk, float(refk.mean()))
    opts = dict(setup.opts)
    if island is None:
        mask = _canvas(setup.mask0, shape, oy0, ox0, False)
        opts["seed_search_radius"] = max(16, radius)
    else:
        data = setup.data
        if within is not None:
            data = data & (_distance_from(data.shape, within[0]) <= within[1])
        mask = _canvas(data, shape, oy0, ox0, False)
        _carve_island(mask, (sx0 + ox0, sy0 + oy0), radius, island, step)
        # Truncated subsets make the island's seed subset small; the data mask
        # keeps every other node's subset whole (or cut to the ROI, as asked).
        opts.update(ISLAND_OPTIONS)
    try:
        run = run_dic2d(canvas0, canvask, mask, (sx0 + ox0, sy0 + oy0), cli=setup.cli, workdir=setup.workdir, **opts)
    except Dic2dError as exc:
        raise StereoError(f"matching camera 0 to camera {setup.camera} failed: {exc.error}") from None
    f = run.field
    h0, w0 = -(-ref0.shape[0] // step), -(-ref0.shape[1] // step)
    cells = (slice(oy0 // step, oy0 // step + h0), slice(ox0 // step, ox0 // step + w0))
    gy, gx = np.mgrid[0:h0, 0:w0] * step
    node = setup.mask0[gy, gx]
    if not setup.truncation:
        node &= (gx >= radius) & (gy >= radius) & (gx < ref0.shape[1] - radius) & (gy < ref0.shape[0] - radius)
    uv = np.stack([gx + (f.u[cells] + (ox0 - oxk)), gy + (f.v[cells] + (oy0 - oyk))], axis=-1)
    gradients = (f.du_dx[cells], f.du_dy[cells], f.dv_dx[cells], f.dv_dy[cells])
    solved = f.valid[cells] & node
    solved &= _warped_subset_inside(uv, gradients, radius, refk.shape[1], refk.shape[0])
    uv[~solved] = np.nan
    corrcoef = np.where(solved, f.corrcoef[cells], 0.0)
    return _Correlation(uv, corrcoef, solved, float(run.report["seed_paramvector"][8]))


def _disc(radius: int) -> np.ndarray:
    o = np.arange(-radius, radius + 1)
    return (o[:, None] ** 2 + o[None, :] ** 2 <= radius * radius).astype(np.uint8)


def _dilate(mask: np.ndarray, radius: int) -> np.ndarray:
    """Pixels within `radius` of the mask (a subset disc around any of its pixels)."""
    return cv2.dilate(mask.astype(np.uint8), _disc(radius), borderType=cv2.BORDER_CONSTANT, borderValue=0) != 0


def _distance_from(shape: tuple[int, int], point: tuple[float, float]) -> np.ndarray:
    y, x = np.ogrid[0 : shape[0], 0 : shape[1]]
    return np.hypot(x - point[0], y - point[1])


def _carve_island(mask: np.ndarray, seed: tuple[int, int], radius: int, island: int, step: int) -> None:
    """Empty the mask within `radius` of `seed` but for the island of radius `island` around it.

    With truncated subsets the seed's subset is then the island: small enough
    that the engine's seed search (a translation) and refinement start it
    although the cameras differ in scale or rotation. Single pixels at the
    grid nodes on the four axes through the seed keep the nodes that lead
    out of the island; every node farther than `radius` keeps its subset.
    Nodes nearer than twice `radius` to the seed see a changed mask.
    """
    x, y = seed
    h, w = mask.shape
    x0, x1, y0, y1 = max(x - radius, 0), min(x + radius + 1, w), max(y - radius, 0), min(y + radius + 1, h)
    window = mask[y0:y1, x0:x1]
    kept = window.copy()
    d2 = (np.arange(x0, x1)[None, :] - x) ** 2 + (np.arange(y0, y1)[:, None] - y) ** 2
    window[d2 <= radius * radius] = False
    window[d2 <= island * island] = kept[d2 <= island * island]
    for dx, dy in ((1, 0), (0, 1), (-1, 0), (0, -1)):
        for n in range(1, radius // step + 1):
            px, py = x + dx * n * step, y + dy * n * step
            if x0 <= px < x1 and y0 <= py < y1:
                window[py - y0, px - x0] = kept[py - y0, px - x0]


def _probe_island(
    setup: _Setup, seed: tuple[int, int], shift: tuple[int, int], island: int, transform: np.ndarray
) -> tuple[float, np.ndarray]:
    """Start an island alone: the seed's correlation and its map (2 x 2, camera k per camera 0 pixels).

    The run sees the canvases only around the seed and the mask only within a
    subset radius of it, which is all that the seed's subset and search use,
    so the seed comes out as it will in the whole run.
    """
    ref0, refk, step, radius = setup.ref0, setup.refk, setup.step, setup.radius
    ox0, oxk = _place(shift[0], step)
    oy0, oyk = _place(shift[1], step)
    sx, sy = seed[0] + ox0, seed[1] + oy0
    reach = math.ceil(radius * max(1.0, float(np.linalg.norm(transform, 2)))) + ISLAND_SEARCH_RADIUS + 3
    x0, y0 = max(sx - reach, 0) // step * step, max(sy - reach, 0) // step * step
    x1, y1 = sx + reach + 1, sy + reach + 1
    shape = (y1 - y0, x1 - x0)
    window0 = _canvas(ref0, shape, oy0 - y0, ox0 - x0, float(ref0.mean()))
    windowk = _canvas(refk, shape, oyk - y0, oxk - x0, float(refk.mean()))
    mask = _canvas(setup.data, shape, oy0 - y0, ox0 - x0, False)
    _carve_island(mask, (sx - x0, sy - y0), radius, island, step)
    mask &= _distance_from(shape, (sx - x0, sy - y0)) <= radius
    opts = {**setup.opts, **ISLAND_OPTIONS}
    try:
        run = run_dic2d(window0, windowk, mask, (sx - x0, sy - y0), cli=setup.cli, workdir=setup.workdir, **opts)
    except Dic2dError:
        return -1.0, np.full((2, 2), np.nan)
    p = [float(v) for v in run.report["seed_paramvector"]]
    return p[8], np.array([[1.0 + p[4], p[5]], [p[6], 1.0 + p[7]]])


@dataclass
class _Start:
    """An island that starts: its node, the node's integer disparity, the island's radius, the correlation."""

    node: tuple[int, int]
    shift: tuple[int, int]
    island: int
    corrcoef: float


def _start_island(
    setup: _Setup, candidates: list[tuple[tuple[int, int], np.ndarray]], transform: np.ndarray, min_corrcoef: float
) -> tuple[_Start | None, float]:
    """The first of the candidate nodes (with their expected match) and island radii whose island starts.

    A start counts when its correlation reaches max(min_corrcoef, 0.9) and its
    map is within ISLAND_MAP_TOLERANCE of `transform`: a small subset can
    match with a high correlation but a wrong map. The islands tried are the
    ISLAND_RADII that the expected map moves by at most ISLAND_MISFIT_PX at
    their rim (the smallest one when none does), largest first. Returns the
    start (None when none) and the best correlation seen.
    """
    radii = [r for r in ISLAND_RADII if r <= setup.radius and _misfit(transform, r) <= ISLAND_MISFIT_PX]
    radii = radii or [min(ISLAND_RADII)]
    best = -1.0
    for node, uv in candidates:
        shift = (int(round(uv[0] - node[0])), int(round(uv[1] - node[1])))
        for island in radii:
            corr, found = _probe_island(setup, node, shift, island, transform)
            if corr >= max(min_corrcoef, 0.9) and np.linalg.norm(found - transform, 2) <= ISLAND_MAP_TOLERANCE:
                return _Start(node, shift, island, corr), max(best, corr)
            best = max(best, corr)
    return None, best


def _expected_uv(uv: np.ndarray, solved: np.ndarray, step: int, transform: np.ndarray, fallback: tuple) -> np.ndarray:
    """Expected match of every node: from the nearest solved node through `transform` (else `fallback`,
    a node and its match)."""
    from scipy import ndimage

    h0, w0 = solved.shape
    nodes = np.stack(np.mgrid[0:h0, 0:w0][::-1], axis=-1).astype(float) * step
    if solved.any():
        _, (ri, ci) = ndimage.distance_transform_edt(~solved, return_indices=True)
        base_xy, base_uv = nodes[ri, ci], uv[ri, ci]
    else:
        base_xy, base_uv = np.broadcast_to(np.asarray(fallback[0], float), nodes.shape), fallback[1]
    return base_uv + (nodes - base_xy) @ np.asarray(transform).T


def _correlate_from_islands(
    setup: _Setup, seed: tuple[int, int], disparity: Disparity, transform: np.ndarray, min_corrcoef: float
) -> _Correlation:
    """The correlation when camera k's scale or rotation keeps the engine from starting the seed directly.

    The first run starts from an island (`_carve_island`) at camera 0's seed
    or a node near it (`_start_island`); the engine then carries the seed's
    affine warp on to its neighbours. A run's matches of nodes within two
    subset radii of its island saw a changed mask and are not used. Further
    runs, ISLAND_RUNS in all, fill what is left unmatched of the nodes whose
    expected match lies in camera k's image: the nodes around an earlier
    island from an island four to six radii away (matched nodes first, the
    best correlated first), then the largest group of other unmatched nodes
    (where the propagation stopped) from an island inside it, as deep as
    possible. Each run sees the ROI only within a disc around what it fills;
    it adds the nodes whose subsets lie wholly in that disc, and only when it
    agrees with the matches already made on the nodes both measured (median
    difference below 0.01 px). Every node is thus solved on its own whole
    subset: its match is the engine's on the original images whatever the run.

    Propagation predicts each node from its neighbour's warp without an
    integer search (`rg_search_radius` 0): the engine's integer search
    compares translated subsets, which a scale or rotation misleads.
    """
    from scipy import ndimage

    radius, step = setup.radius, setup.step
    h0, w0 = -(-setup.ref0.shape[0] // step), -(-setup.ref0.shape[1] // step)
    gy, gx = np.mgrid[0:h0, 0:w0] * step
    usable = setup.mask0[gy, gx]
    if not setup.truncation:
        w, h = setup.ref0.shape[1], setup.ref0.shape[0]
        usable &= (gx >= radius) & (gy >= radius) & (gx < w - radius) & (gy < h - radius)
    seed_uv = np.asarray(seed, dtype=float) + (disparity.du, disparity.dv)

    def expected(at: tuple[int, int]) -> np.ndarray:
        return exp_uv[at[1] // step, at[0] // step]

    def distance_to(point: tuple[int, int]) -> np.ndarray:
        return np.hypot(gx - point[0], gy - point[1])

    uv = np.full((h0, w0, 2), np.nan)
    corrcoef = np.zeros((h0, w0))
    solved = np.zeros((h0, w0), dtype=bool)
    exp_uv = _expected_uv(uv, solved, step, transform, (seed, seed_uv))
    # Camera 0's seed first, then the usable nodes around it, nearest first.
    around = np.where(usable & (distance_to(seed) <= ISLAND_SEARCH_NODES * step), distance_to(seed), np.inf)
    order = [i for i in np.argsort(around, axis=None) if around.flat[i] < np.inf]
    nodes = list(dict.fromkeys([seed] + [(int(gx.flat[i]), int(gy.flat[i])) for i in order]))
    start, best = _start_island(setup, [(n, expected(n)) for n in nodes], transform, min_corrcoef)
    if start is None:
        scale, degrees = _scale_and_angle(transform)
        raise StereoError(
            f"camera 0's region around its seed ({seed[0]}, {seed[1]}) appears in camera {setup.camera} at a scale "
            f"of {scale:.2f} and turned by {degrees:.1f} degrees, and no subset around the seed matched there "
            f"(best correlation {best:.3f}): choose a seed on well-textured surface seen by both cameras"
        )
    seed_corrcoef = start.corrcoef
    # Per run so far: its island and the nodes it matched near the island (not used).
    dropped: list[tuple[tuple[int, int], np.ndarray]] = []
    tried: set[tuple[int, int]] = set(nodes)
    given_up = np.zeros((h0, w0), dtype=bool)
    target = given_up
    within: tuple[tuple[int, int], float] | None = None
    limit = max(np.linalg.norm(transform, 2), 1.0) * radius
    hk, wk = setup.refk.shape
    for run_index in range(ISLAND_RUNS):
        if run_index > 0:
            # What is left to fill: unmatched usable nodes expected inside camera k.
            exp_uv = _expected_uv(uv, solved, step, transform, (seed, seed_uv))
            ex, ey = exp_uv[..., 0], exp_uv[..., 1]
            inside_k = (ex - limit >= 0.5) & (ey - limit >= 0.5) & (ex + limit < wk - 1.5) & (ey + limit < hk - 1.5)
            holes = usable & ~solved & inside_k & ~given_up
            counts = [int(np.count_nonzero(near & holes)) for _, near in dropped]
            old = None
            if max(counts) > 0:
                # The nodes dropped around an earlier island: from an island four to six radii from it.
                old, target = dropped[int(np.argmax(counts))][0], dropped[int(np.argmax(counts))][1] & holes
                d_old = distance_to(old)
                ring = usable & (d_old > 4 * radius) & (d_old <= 6 * radius)
                score = np.where(ring & solved, -corrcoef, np.where(ring, d_old, np.inf))
            else:
                # The largest group of nodes where the propagation stopped: from an island deep inside it.
                labels, count = ndimage.label(holes)
                sizes = np.bincount(labels.ravel())[1:]
                if count == 0 or sizes.max() < ISLAND_MIN_GROUP:
                    break
                target = labels == 1 + int(np.argmax(sizes))
                depth = ndimage.distance_transform_edt(np.pad(target, 1))[1:-1, 1:-1]
                away = target.copy()
                for island, _ in dropped:
                    away &= distance_to(island) > 2 * radius
                score = np.where(away, -depth, np.inf)
            ranked = [i for i in np.argsort(score, axis=None) if score.flat[i] < np.inf]
            candidates = [(int(gx.flat[i]), int(gy.flat[i])) for i in ranked]
            candidates = [n for n in candidates if n not in tried][:ISLAND_TRIES]
            tried.update(candidates)
            start, _ = _start_island(setup, [(n, expected(n)) for n in candidates], transform, min_corrcoef)
            if start is None:
                given_up |= target
                continue
            node_distance = float(np.hypot(start.node[0] - gx[target], start.node[1] - gy[target]).max())
            if old is not None:
                within = (old, float(np.hypot(start.node[0] - old[0], start.node[1] - old[1])) + 3 * radius)
            else:
                centre = (int(round(gx[target].mean())), int(round(gy[target].mean())))
                reach = float(np.hypot(gx[target] - centre[0], gy[target] - centre[1]).max())
                within = (centre, max(reach, node_distance) + 3 * radius)
        run = _correlate(setup, start.node, start.shift, start.island, within=within)
        near = distance_to(start.node) <= 2 * radius
        fresh = run.solved & ~near
        if within is not None:
            fresh &= distance_to(within[0]) <= within[1] - radius
        both = fresh & solved
        if solved.any() and not (
            both.any() and np.median(np.linalg.norm(run.uv[both] - uv[both], axis=-1)) < ISLAND_AGREEMENT_PX
        ):
            given_up |= target
            continue
        take = fresh & ~solved
        uv[take], corrcoef[take], solved[take] = run.uv[take], run.corrcoef[take], True
        dropped.append((start.node, run.solved & near))
    return _Correlation(uv, corrcoef, solved, seed_corrcoef)


def match_stereo(
    reference0: np.ndarray,
    reference_k: np.ndarray,
    roi0: np.ndarray,
    calibration: Calibration | None,
    k: int,
    *,
    dic: dict | None = None,
    seed0: tuple[int, int] | None = None,
    min_corrcoef: float = 0.9,
    max_uncertainty_ratio: float | None = 3.0,
    max_epipolar_px: float = 1.0,
    max_calibration_error_px: float = 2.0,
    cli: str | os.PathLike | None = None,
    workdir: str | os.PathLike | None = None,
) -> StereoMatch:
    """Match camera 0's grid nodes in camera k's reference image.

    Parameters
    ----------
    reference0, reference_k
        Reference images of camera 0 and camera k, gray values indexed [y, x];
        their sizes may differ.
    roi0
        Camera 0's ROI (non-zero = inside), shape of `reference0`.
    calibration
        The `Calibration` of the cameras (its `epipolar_distance` gives the
        epipolar gate), or None to match without it: the correlation and
        texture gates apply, `epipolar_px` is NaN and the calibration is not
        checked.
    k
        Index of camera k in the calibration (k >= 1).
    dic
        dic2d_cli options by their underscore names, as for camera 0's own
        runs (`subset_radius`, `subset_spacing`, ...). `seed_search_radius`
        is set here, from the coarse disparity.
    seed0
        Camera 0's seed node (x, y); by default the grid node nearest to the
        ROI's centroid (`choose_seed`).
    min_corrcoef
        Correlation gate of a match.
    max_uncertainty_ratio
        Texture gate: largest `centre_uncertainty_ratio` of camera 0's subset
        (1 for an evenly textured subset); None disables it.
    max_epipolar_px
        Epipolar gate: largest distance of a match from the epipolar curve of
        its node, in camera k's pixels.
    max_calibration_error_px
        The calibration is judged not to fit the images when the median
        epipolar distance of the matches that pass the correlation and
        texture gates exceeds this.
    cli, workdir
        Passed to `run_dic2d`.

    Returns
    -------
    StereoMatch

    Raises
    ------
    StereoError
        No clear disparity at the seed, the engine failed, the seed's match is
        below the correlation gate, the calibration does not fit the images
        or says other image sizes, or no match passed the gates.
    ValueError
        Malformed arguments (shapes, a seed off the grid or outside the ROI,
        a camera index out of range).
    """
    ref0 = _check_image("camera 0's reference image", reference0)
    refk = _check_image(f"camera {k}'s reference image", reference_k)
    mask0 = np.asarray(roi0)
    if mask0.shape != ref0.shape:
        raise ValueError(f"camera 0's ROI has shape {mask0.shape}, its image {ref0.shape}")
    mask0 = mask0 != 0
    if isinstance(k, bool) or not isinstance(k, (int, np.integer)) or k < 1:
        raise ValueError(f"camera index k must be an integer >= 1, got {k!r}")
    k = int(k)
    if calibration is not None:
        if k >= len(calibration):
            raise ValueError(f"camera {k} is not in the calibration of {len(calibration)} cameras")
        for c, image in ((0, ref0), (k, refk)):
            cam = calibration.cameras[c]
            if cam.width is not None and (cam.width, cam.height) != (image.shape[1], image.shape[0]):
                raise StereoError(
                    f"the calibration's camera {c} has images of {cam.width} x {cam.height} px, "
                    f"but its reference image is {image.shape[1]} x {image.shape[0]}"
                )
    opts = _options(dic)
    radius = int(opts["subset_radius"])
    step = grid_step(int(opts["subset_spacing"]))
    truncation = bool(opts.get("subset_truncation", False))

    if seed0 is None:
        seed0 = choose_seed(mask0, step, radius)
    sx0, sy0 = int(seed0[0]), int(seed0[1])
    if (sx0, sy0) != tuple(seed0) or sx0 % step or sy0 % step:
        raise ValueError(f"camera 0's seed {tuple(seed0)} is not a node of the grid of step {step}")
    if not (0 <= sx0 < ref0.shape[1] and 0 <= sy0 < ref0.shape[0] and mask0[sy0, sx0]):
        raise ValueError(f"camera 0's seed ({sx0}, {sy0}) is not inside camera 0's ROI")

    # 1. Coarse disparity of a large patch around the seed. Larger patches are
    # more unique but lose correlation to the foreshortening between the views
    # (on a real pair 18 degrees apart: 0.83 at 3 subset radii, 0.45 at 10).
    half = int(min(max(3 * radius, 48), 160))
    predicted = None if calibration is None else _predicted_transform(calibration, k, (sx0, sy0))
    disparity = _coarse_disparity(ref0, refk, mask0, (sx0, sy0), half, max(radius, 8), predicted)
    if disparity.peak < MIN_DISPARITY_PEAK:
        raise StereoError(
            f"camera 0's region around its seed ({sx0}, {sy0}) was not found in camera {k}'s image "
            f"(best correlation {disparity.peak:.2f} < {MIN_DISPARITY_PEAK}): do the images show the same scene?"
        )
    if disparity.runner_up > MAX_PEAK_RATIO * disparity.peak:
        raise StereoError(
            f"camera 0's region around its seed ({sx0}, {sy0}) matches camera {k}'s image in more than one "
            f"place (correlation {disparity.peak:.2f} and {disparity.runner_up:.2f}): the texture repeats; "
            "choose another seed"
        )

    # 2, 3. The correlation on a common canvas, from the seed directly when the
    # engine's seed search (a translation) can start it, else from islands.
    setup = _Setup(ref0, refk, mask0, opts, step, radius, truncation, cli, workdir, camera=k)
    transform = np.eye(2) if disparity.transform is None else disparity.transform
    if _misfit(transform, radius) <= SEED_MISFIT_PX:
        corr = _correlate(setup, (sx0, sy0), disparity.integer)
    else:
        corr = _correlate_from_islands(setup, (sx0, sy0), disparity, transform, min_corrcoef)
    if not corr.seed_corrcoef >= min_corrcoef:
        raise StereoError(
            f"camera 0's seed ({sx0}, {sy0}) matched camera {k} with correlation {corr.seed_corrcoef:.3f}, below "
            f"min_corrcoef {min_corrcoef}: choose a seed on well-textured surface seen by both cameras"
        )
    uv, corrcoef, solved = corr.uv, corr.corrcoef, corr.solved
    h0, w0 = solved.shape
    gy, gx = np.mgrid[0:h0, 0:w0] * step
    ratio = np.full(solved.shape, np.nan)
    node_uv = np.stack([gx, gy], axis=-1)
    ratio[solved] = centre_uncertainty_ratio(ref0, node_uv[solved], radius, mask0 if truncation else None)
    passed = solved & (corrcoef >= min_corrcoef)
    if not passed.any():
        raise StereoError(f"no match of camera 0 in camera {k} reaches the correlation gate {min_corrcoef}")
    if max_uncertainty_ratio is not None:
        with np.errstate(invalid="ignore"):
            passed &= ratio <= max_uncertainty_ratio
        if not passed.any():
            raise StereoError(
                f"no match of camera 0 in camera {k} passes the texture gate max_uncertainty_ratio = "
                f"{max_uncertainty_ratio}"
            )

    # 4. Epipolar gate and the calibration's fit.
    epipolar = np.full(solved.shape, np.nan)
    valid = passed
    if calibration is not None:
        epipolar[solved] = np.asarray(
            calibration.epipolar_distance(0, k, node_uv[solved].astype(np.float64), uv[solved]), dtype=np.float64
        ).reshape(-1)
        judged = epipolar[passed]
        judged = judged[np.isfinite(judged)]
        if judged.size == 0:
            raise StereoError(f"the calibration cannot undistort the matched pixels of camera 0 and camera {k}")
        median = float(np.median(judged))
        if not median <= max_calibration_error_px:
            rms = float(np.sqrt(np.mean(judged**2)))
            raise StereoError(
                f"the calibration does not fit the images: the matches of camera 0 in camera {k} lie "
                f"{median:.2f} px (median; RMS {rms:.2f} px) from their epipolar lines, more than "
                f"max_calibration_error_px = {max_calibration_error_px} px; check that the calibration "
                "belongs to these cameras, in this order"
            )
        with np.errstate(invalid="ignore"):
            valid = passed & (epipolar <= max_epipolar_px)
        if not valid.any():
            raise StereoError(
                f"no match of camera 0 in camera {k} lies within max_epipolar_px = {max_epipolar_px} px "
                "of its epipolar line"
            )
    epipolar_rms = float(np.sqrt(np.mean(epipolar[valid] ** 2))) if calibration is not None else float("nan")

    # 5. Camera k's ROI and seed.
    r0, c0 = sy0 // step, sx0 // step
    if valid[r0, c0]:
        seed_uv = uv[r0, c0]
    else:
        rr, cc = np.nonzero(valid)
        i = int(np.argmin((rr - r0) ** 2 + (cc - c0) ** 2))
        seed_uv = uv[rr[i], cc[i]]
    roi_k, seed_k = _roi_and_seed(uv, valid, seed_uv, refk.shape, step, radius, k)
    return StereoMatch(
        camera=k,
        step=step,
        uv=uv,
        corrcoef=corrcoef,
        epipolar_px=epipolar,
        valid=valid,
        seed=(sx0, sy0),
        disparity=(float(disparity.du), float(disparity.dv)),
        roi=roi_k,
        seed_k=seed_k,
        epipolar_rms=epipolar_rms,
        uncertainty_ratio=ratio,
        transform=transform,
    )
