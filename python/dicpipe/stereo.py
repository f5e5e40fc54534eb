"""Stereo matching: where camera 0's grid nodes appear in camera k's reference image.

The match is one dic2d_cli run with camera 0's reference image as the
reference and camera k's reference image as the "deformed" image, on camera
0's ROI and grid. Every solved node (x, y) of camera 0 then has its
observation (x + u, y + v) in camera k.

How it proceeds:

1. A coarse disparity at camera 0's seed: a large patch around the seed (its
   pixels outside the ROI neutralised) is located in camera k's whole image by
   normalised cross-correlation (OpenCV's FFT-based template matching). The
   peak must be clear and unique, else `StereoError`.
2. Both images are placed on a common canvas so that the disparity at the
   seed becomes about zero: camera 0 at a shift that is a whole number of grid
   steps (its grid nodes stay grid nodes), camera k at the integer disparity
   from it. The shifts are integers, so the correlation sees exactly the
   same pixel values and its sub-pixel results are those of the original
   images; cameras of different image sizes fit on the same canvas. The
   engine's seed search then needs only a small window, whatever the
   disparity.
3. dic2d_cli solves the grid from the seed by reliability-guided propagation.
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


class StereoError(RuntimeError):
    """The match failed, or the calibration does not fit the images."""


@dataclass
class Disparity:
    """Where camera 0's patch around a pixel lies in camera k's image (camera k minus camera 0)."""

    du: float  # sub-pixel (parabolic) peak, px
    dv: float
    peak: float  # normalised correlation at the best integer position
    runner_up: float  # best correlation away from the peak (more than the exclusion radius)

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
) -> Disparity:
    """Locate the patch of camera 0 around `centre` in camera k's whole image.

    The patch is the square of half-width `half_size` around `centre` (x, y),
    cut to camera 0's image; its pixels outside `roi0` take the mean of the
    pixels inside, so that they add nothing to the zero-mean correlation. The
    search is OpenCV's normalised correlation coefficient over every position
    of camera k's image. `runner_up` is the best coefficient farther than
    `exclusion` pixels (in x or y) from the peak: a repetitive pattern makes
    it close to the peak.

    Raises `StereoError` when camera k's image is smaller than the patch or
    the patch has no texture.
    """
    ref0 = np.asarray(reference0, dtype=np.float64)
    refk = np.asarray(reference_k, dtype=np.float64)
    inside = np.asarray(roi0) != 0
    x, y = int(centre[0]), int(centre[1])
    h = int(half_size)
    x0, x1 = max(x - h, 0), min(x + h + 1, ref0.shape[1])
    y0, y1 = max(y - h, 0), min(y + h + 1, ref0.shape[0])
    # Camera k must hold the whole patch at every tried position.
    x0, x1 = max(x0, x1 - refk.shape[1]), min(x1, x0 + refk.shape[1])
    y0, y1 = max(y0, y1 - refk.shape[0]), min(y1, y0 + refk.shape[0])
    if x1 - x0 < 8 or y1 - y0 < 8:
        raise StereoError(f"camera images too small for the disparity search around ({x}, {y})")
    patch = ref0[y0:y1, x0:x1].copy()
    keep = inside[y0:y1, x0:x1]
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
    runner_up = float(away.max())
    return Disparity(du=ix - x0 + fx, dv=iy - y0 + fy, peak=peak, runner_up=runner_up)


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
    out = np.full(shape, fill, dtype=image.dtype)
    out[oy : oy + image.shape[0], ox : ox + image.shape[1]] = image
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
    disparity = find_disparity(ref0, refk, mask0, (sx0, sy0), half_size=half, exclusion=max(radius, 8))
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
    dx, dy = disparity.integer

    # 2. A common canvas on which the disparity at the seed is about zero.
    ox0, oxk = _place(dx, step)
    oy0, oyk = _place(dy, step)
    shape = (
        max(oy0 + ref0.shape[0], oyk + refk.shape[0]),
        max(ox0 + ref0.shape[1], oxk + refk.shape[1]),
    )
    canvas0 = _canvas(ref0, shape, oy0, ox0, float(ref0.mean()))
    canvask = _canvas(refk, shape, oyk, oxk, float(refk.mean()))
    mask = _canvas(mask0, shape, oy0, ox0, False)

    # 3. The correlation.
    opts["seed_search_radius"] = max(16, radius)
    try:
        run = run_dic2d(canvas0, canvask, mask, (sx0 + ox0, sy0 + oy0), cli=cli, workdir=workdir, **opts)
    except Dic2dError as exc:
        raise StereoError(f"matching camera 0 to camera {k} failed: {exc.error}") from None
    seed_corr = float(run.report["seed_paramvector"][8])
    if not seed_corr >= min_corrcoef:
        raise StereoError(
            f"camera 0's seed ({sx0}, {sy0}) matched camera {k} with correlation {seed_corr:.3f}, below "
            f"min_corrcoef {min_corrcoef}: choose a seed on well-textured surface seen by both cameras"
        )

    f = run.field
    h0, w0 = -(-ref0.shape[0] // step), -(-ref0.shape[1] // step)
    cells = (slice(oy0 // step, oy0 // step + h0), slice(ox0 // step, ox0 // step + w0))
    gy, gx = np.mgrid[0:h0, 0:w0] * step
    node = mask0[gy, gx]
    if not truncation:
        node &= (gx >= radius) & (gy >= radius) & (gx < ref0.shape[1] - radius) & (gy < ref0.shape[0] - radius)
    uv = np.stack([gx + (f.u[cells] + (ox0 - oxk)), gy + (f.v[cells] + (oy0 - oyk))], axis=-1)
    gradients = (f.du_dx[cells], f.du_dy[cells], f.dv_dx[cells], f.dv_dy[cells])
    solved = f.valid[cells] & node
    solved &= _warped_subset_inside(uv, gradients, radius, refk.shape[1], refk.shape[0])
    uv[~solved] = np.nan
    corrcoef = np.where(solved, f.corrcoef[cells], 0.0)
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
    )
