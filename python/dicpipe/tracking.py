"""One camera's field from an image pair, with a flag on every point, and its tracking through a series.

A camera's measurement of one frame goes through these steps:

1. **Plan** (`plan_camera`, once per reference image). The points are the
   grid nodes inside the ROI (at least the subset radius from the border
   without subset truncation). The texture of each node's reference subset
   predicts the precision of its displacement (`dicpipe.quality.
   subset_precision`); nodes that cannot reach ``max_predicted_std_px`` are
   flagged ``LOW_TEXTURE`` and taken out of the correlation (their pixel is
   cleared in the engine's mask, so the propagation cannot run through an
   untextured area and carry its arbitrary displacements on). The remaining
   nodes fall into 4-connected *regions* of the grid; each region large
   enough gets its own seed, near its centroid on well-textured nodes.
2. **Correlate** (`correlate_frame`): one dic2d_cli run per region. A seed is
   checked before its field is used: a match below ``seed_min_corrcoef`` or
   on the edge of its search window is searched again in a larger window,
   then over the whole image; a region whose seed stays unfound is not
   measured (``NOT_MEASURED``), and a frame none of whose regions is measured
   fails with the seed's message.
3. **Flag** every point: ``NOT_SOLVED`` where the correlation did not solve it,
   ``LOW_CORRELATION`` below ``min_corrcoef``, ``OUTLIER`` where the normalised
   median test (each neighbour's prediction through its own displacement
   gradient) rejects it.

Series (`advance`): with a fixed reference every frame is correlated with the
reference image. Otherwise a camera's *track* carries the displacement
accumulated at the reference points: frame f is correlated with the image of
frame r (the previous frame, or the last reference `auto` chose), on the ROI
moved by the displacement so far and the texture of image r; the increment is
interpolated at the points' current positions x_r = X + U_r (bilinear where
the four surrounding nodes are good, else the first-order expansion of the
nearest good node within 1.5 grid steps, using its measured gradient) and
added, ``U_f(X) = U_r(X) + d(x_r)``; the deformation gradients compose,
``F_f = (I + grad d(x_r)) F_r``. A point the increment cannot reach is lost
from then on, with the reason of the node nearest to it.

Grid arrays are indexed [r, c] with node (r, c) at pixel (c * step, r * step).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

from .dic2d import DEFAULTS as _DIC_DEFAULTS
from .dic2d import Dic2dError, run_dic2d
from .files import DicField
from .grid import estimate_shift, farther_than, grid_shape, grid_step, label_regions
from .quality import PointFlag, estimate_noise, median_test, set_flag, subset_precision

__all__ = [
    "CameraPlan",
    "GridResult",
    "RegionRun",
    "Track",
    "advance",
    "correlate_frame",
    "moved_roi",
    "plan_camera",
    "plan_noise",
    "plan_points",
    "point_texture",
    "start_track",
    "track_field",
]

#: A coarse seed estimate below this correlation is not used to centre the first search window.
_MIN_ESTIMATE_SCORE = 0.5
#: Half size of a search window centred on an estimate of the motion, px.
_GUESS_WINDOW = 10


def _dic_value(dic: dict, key: str, default: Any) -> Any:
    return dic.get(key, _DIC_DEFAULTS.get(key, default))


# --------------------------------------------------------------------------
# Plan
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class CameraPlan:
    """The points of a reference image and how they are correlated.

    Attributes
    ----------
    roi : (H, W) bool
        The region of interest in the reference image.
    mask : (H, W) bool
        The mask the correlation gets: `roi` without the pixels of the
        low-texture nodes.
    points : (h, w) bool
        The grid nodes that are measurement points.
    predicted_std : (h, w) float
        Predicted standard deviation of each point's displacement, px (NaN
        off the points; +inf where the subset has no usable texture; 0 where
        the texture check is off).
    low_texture : (h, w) bool
        Points flagged ``LOW_TEXTURE``.
    labels : (h, w) int
        Region of every correlated point (1, 2, ... by decreasing size), 0 elsewhere.
    seeds : tuple of (x, y)
        The seed of region i + 1; regions too small to measure have none.
    small : (h, w) bool
        Points of regions too small to measure.
    noise : float
        The image noise used, gray levels.
    step : int
        Grid pitch, px.
    """

    roi: np.ndarray
    mask: np.ndarray
    points: np.ndarray
    predicted_std: np.ndarray
    low_texture: np.ndarray
    labels: np.ndarray
    seeds: tuple[tuple[int, int], ...]
    small: np.ndarray
    noise: float
    step: int

    @property
    def shape(self) -> tuple[int, int]:
        return self.points.shape


def _node_xy(shape: tuple[int, int], step: int) -> tuple[np.ndarray, np.ndarray]:
    rows, cols = shape
    y, x = np.mgrid[0:rows, 0:cols]
    return x * step, y * step


def _points(roi: np.ndarray, step: int, radius: int, truncation: bool) -> np.ndarray:
    h, w = roi.shape
    gx, gy = _node_xy(grid_shape(w, h, step), step)
    inside = roi[gy, gx]
    if not truncation:
        inside &= (gx >= radius) & (gy >= radius) & (gx < w - radius) & (gy < h - radius)
    return inside


def _noise(image: np.ndarray, roi: np.ndarray) -> float:
    """The image noise from the ROI's patches, else the whole image's, else (tiny images) the MAD of the
    finest diagonal differences (an upper bound on textured images)."""
    for mask in (roi, None):
        try:
            return estimate_noise(image, mask)
        except ValueError:
            pass
    d = (image[1:, 1:] - image[:-1, 1:] - image[1:, :-1] + image[:-1, :-1]) / 2.0
    return float(np.median(np.abs(d)) / 0.6745) if d.size else 0.0


def _region_seed(region: np.ndarray, plan_std: np.ndarray, roi: np.ndarray, step: int, radius: int) -> tuple[int, int]:
    """A node of the region near its centroid, on well-textured nodes whose subsets lie inside the ROI."""
    rr, cc = np.nonzero(region)
    interior = region.copy()
    interior[1:, :] &= region[:-1, :]
    interior[:-1, :] &= region[1:, :]
    interior[:, 1:] &= region[:, :-1]
    interior[:, :-1] &= region[:, 1:]
    std = plan_std[region]
    good_texture = region & (plan_std <= np.median(std[np.isfinite(std)]) if np.isfinite(std).any() else region)
    gx, gy = _node_xy(region.shape, step)
    whole = region & farther_than(roi, radius)[gy, gx]
    d2 = (rr.mean() - np.arange(region.shape[0])[:, None]) ** 2 + (cc.mean() - np.arange(region.shape[1])) ** 2
    for choice in (interior & good_texture & whole, interior & whole, interior & good_texture, interior, region):
        if choice.any():
            i = np.unravel_index(np.argmin(np.where(choice, d2, np.inf)), d2.shape)
            return int(gx[i]), int(gy[i])
    raise ValueError("empty region")  # pragma: no cover - regions are never empty


def _plan_grid(roi: np.ndarray, dic: dict) -> tuple[int, int, bool, np.ndarray]:
    """Grid pitch, subset radius, truncation and the points of a ROI."""
    step = grid_step(_dic_value(dic, "subset_spacing", 5))
    radius = int(_dic_value(dic, "subset_radius", 20))
    truncation = bool(dic.get("subset_truncation", False))
    return step, radius, truncation, _points(roi, step, radius, truncation)


def _check_reference(img: np.ndarray, roi: np.ndarray) -> None:
    if img.ndim != 2 or roi.shape != img.shape:
        raise ValueError(f"the image ({img.shape}) and its ROI ({roi.shape}) must be 2-D of one shape")
    if not np.all(np.isfinite(img)):
        raise ValueError("the image holds non-finite values (NaN or infinity)")


def plan_noise(image: np.ndarray, roi: np.ndarray, quality) -> float:
    """The image noise (gray levels) a plan predicts the texture with: ``[quality] noise`` when given,
    else estimated from the image (`dicpipe.quality.estimate_noise` over the ROI)."""
    if quality.noise is not None:
        return float(quality.noise)
    return _noise(np.asarray(image, dtype=float), np.asarray(roi, dtype=bool))


def plan_points(roi: np.ndarray, dic: dict) -> np.ndarray:
    """The grid nodes of a ROI that `plan_camera` measures, (h, w) bool: inside the ROI and, without
    subset truncation, at least the subset radius from the image border."""
    return _plan_grid(np.asarray(roi, dtype=bool), dic)[3]


def point_texture(
    image: np.ndarray, roi: np.ndarray, dic: dict, noise: float, start: int = 0, stop: int | None = None
) -> np.ndarray:
    """Predicted displacement precision (px) of a reference image's points, or of a run of them.

    Every point's value depends on its own subset alone, so runs of the
    points (`plan_points` in scan order) computed anywhere, in any order,
    and concatenated are exactly the values of all points at once.

    Parameters
    ----------
    image : (H, W) array
        The reference image (finite values).
    roi : (H, W) bool array
    dic : dict
        dic2d_cli options (subset radius, spacing, truncation).
    noise : float
        Image noise, gray levels (`plan_noise`).
    start, stop : int
        The run of points, as a slice of the points in scan order.

    Returns
    -------
    (n,) array
        `dicpipe.quality.subset_precision`'s worse of u and v for the run's points.
    """
    img = np.asarray(image, dtype=float)
    roi = np.asarray(roi, dtype=bool)
    step, radius, truncation, points = _plan_grid(roi, dic)
    gx, gy = _node_xy(points.shape, step)
    x, y = gx[points][start:stop], gy[points][start:stop]
    return subset_precision(img, x, y, radius, noise, mask=roi if truncation else None).std


def plan_camera(
    image: np.ndarray,
    roi: np.ndarray,
    dic: dict,
    quality,
    *,
    seed: tuple[int, int] | None = None,
    texture: tuple[float, np.ndarray] | None = None,
) -> CameraPlan:
    """The points, their texture, regions and seeds of a reference image.

    Parameters
    ----------
    image : (H, W) array
        The reference image.
    roi : (H, W) bool array
        Its region of interest.
    dic : dict
        dic2d_cli options (subset radius, spacing, truncation).
    quality : dicpipe.experiment.QualityOptions
    seed : (x, y), optional
        A node that must be its region's seed (the experiment's ``[roi] seed``);
        ignored when it is not a correlated point.
    texture : (noise, values), optional
        The points' texture when already computed: `plan_noise` and
        `point_texture` of all points (used only with ``texture_check``);
        computed here without it.

    Returns
    -------
    CameraPlan

    Raises
    ------
    ValueError
        The image holds non-finite values, or its shape differs from the ROI's.
    """
    img = np.asarray(image, dtype=float)
    roi = np.asarray(roi, dtype=bool)
    _check_reference(img, roi)
    step, radius, truncation, points = _plan_grid(roi, dic)
    gx, gy = _node_xy(points.shape, step)
    std = np.full(points.shape, np.nan)
    noise = float(quality.noise) if quality.noise is not None else math.nan
    if quality.texture_check and points.any():
        if texture is None:
            noise = plan_noise(img, roi, quality)
            values = point_texture(img, roi, dic, noise)
        else:
            noise, values = float(texture[0]), np.asarray(texture[1], dtype=float)
            if values.shape != (int(points.sum()),):
                raise ValueError(f"texture of {values.shape} values for {int(points.sum())} points")
        std[points] = values
        low = points & ~(std <= quality.max_predicted_std_px)
    else:
        std[points] = 0.0
        low = np.zeros_like(points)
    mask = roi.copy()
    mask[gy[low], gx[low]] = False
    usable = points & ~low
    labels, n = label_regions(usable)
    sizes = np.bincount(labels.ravel(), minlength=n + 1)[1:]
    order = np.argsort(-sizes, kind="stable")  # largest first; ties in scan order
    relabel = np.zeros(n + 1, dtype=np.int32)
    relabel[order + 1] = np.arange(1, n + 1, dtype=np.int32)
    labels = relabel[labels]
    small = np.zeros_like(points)
    seeds: list[tuple[int, int]] = []
    for i in range(1, n + 1):
        region = labels == i
        if int(region.sum()) < quality.min_region_nodes:
            small |= region
            continue
        chosen = None
        if seed is not None and seed[0] % step == 0 and seed[1] % step == 0:
            r, c = seed[1] // step, seed[0] // step
            if 0 <= r < region.shape[0] and 0 <= c < region.shape[1] and region[r, c]:
                chosen = (int(seed[0]), int(seed[1]))
        seeds.append(chosen or _region_seed(region, std, roi, step, radius))
    labels[small] = 0
    return CameraPlan(
        roi=roi,
        mask=mask,
        points=points,
        predicted_std=std,
        low_texture=low,
        labels=labels,
        seeds=tuple(seeds),
        small=small,
        noise=noise,
        step=step,
    )


# --------------------------------------------------------------------------
# Correlation of one frame
# --------------------------------------------------------------------------


@dataclass
class RegionRun:
    """How one region's seed was found.

    Attributes
    ----------
    seed : (x, y)
    nodes : int
        Points of the region.
    corrcoef : float
        Correlation coefficient of the accepted seed (NaN when not found).
    window : int
        Seed search radius of the accepted seed (0: the whole image; -1: not found).
    error : str or None
        Why the region was not measured.
    """

    seed: tuple[int, int]
    nodes: int
    corrcoef: float = math.nan
    window: int = -1
    error: str | None = None


@dataclass
class GridResult:
    """One camera's measurement of one frame on its reference grid.

    Attributes
    ----------
    field : DicField or None
        The correlation's field, regions merged (None when no region was measured).
    flags : (h, w) uint8
        `PointFlag` of every node (``NOT_MEASURED`` off the points).
    points : (h, w) bool
        The measurement points.
    regions : list of RegionRun
    error : str or None
        Why nothing was measured.
    median_residual : (h, w) float
        Normalised median residual (NaN where not tested).
    """

    field: DicField | None
    flags: np.ndarray
    points: np.ndarray
    regions: list[RegionRun] = field(default_factory=list)
    error: str | None = None
    median_residual: np.ndarray | None = None


def _attempts(
    dic: dict, reference: np.ndarray, deformed: np.ndarray, seed: tuple[int, int], guess: tuple[float, float] | None
) -> list[tuple[int, tuple[int, int]]]:
    """Search windows (radius, centre offset) to try in turn; radius 0 is the whole image."""
    radius = int(_dic_value(dic, "subset_radius", 20))
    out: list[tuple[int, tuple[int, int]]] = []
    if guess is not None and all(math.isfinite(g) for g in guess):
        out.append((_GUESS_WINDOW, (int(round(guess[0])), int(round(guess[1])))))
    if "seed_search_radius" in dic:
        m = int(dic["seed_search_radius"])
        if m > 0:
            out += [(m, (0, 0)), (2 * m + _GUESS_WINDOW, (0, 0))]
    else:
        dx, dy, score = estimate_shift(reference, deformed, seed, 2 * radius)
        if score >= _MIN_ESTIMATE_SCORE:
            out.append((_GUESS_WINDOW, (dx, dy)))
        out.append((max(abs(dx), abs(dy), 0) + 4 * _GUESS_WINDOW if score >= _MIN_ESTIMATE_SCORE else 50, (0, 0)))
    out.append((0, (0, 0)))
    seen, unique = set(), []
    for a in out:
        if a not in seen:
            seen.add(a)
            unique.append(a)
    return unique


def _solve_region(
    reference: np.ndarray,
    deformed: np.ndarray,
    mask: np.ndarray,
    seed: tuple[int, int],
    dic: dict,
    min_seed: float,
    cli,
    guess,
) -> tuple[DicField | None, RegionRun]:
    opts = {k: v for k, v in dic.items() if k not in ("seed_search_radius", "seed_guess_u", "seed_guess_v")}
    run_info = RegionRun(seed=seed, nodes=0)
    failure = ""
    best = -math.inf
    for window, (gu, gv) in _attempts(dic, reference, deformed, seed, guess):
        extra: dict[str, Any] = {"seed_search_radius": window}
        if window > 0 and (gu or gv):
            extra.update(seed_guess_u=float(gu), seed_guess_v=float(gv))
        try:
            run = run_dic2d(reference, deformed, mask, seed, cli=cli, **opts, **extra)
        except Dic2dError as exc:
            failure = str(exc)
            if "retained ROI region" in failure or "reduced reference grid" in failure:
                break  # no window changes that
            continue
        p = run.report["seed_paramvector"]
        corr, u, v = float(p[8]), float(p[2]), float(p[3])
        best = max(best, corr)
        where = "the whole image" if window == 0 else f"a window of {window} px"
        at_edge = window > 0 and (abs(round(u) - gu) >= window or abs(round(v) - gv) >= window)
        if corr >= min_seed and not at_edge:
            run_info.corrcoef, run_info.window = corr, window
            return run.field, run_info
        if at_edge and corr >= min_seed:
            failure = f"seed match at the edge of {where} (u {u:.1f}, v {v:.1f} px)"
        else:
            failure = f"seed match correlates at {corr:.3f} in {where}, below seed_min_corrcoef {min_seed:g}"
    run_info.corrcoef = best if math.isfinite(best) else math.nan
    run_info.error = f"seed not found at ({seed[0]}, {seed[1]}): {failure}"
    return None, run_info


def _empty_field(shape: tuple[int, int], step: int) -> DicField:
    gx, gy = _node_xy(shape, step)
    z = np.zeros(shape)
    return DicField(
        reduced_width=shape[1],
        reduced_height=shape[0],
        ref_x=gx.astype(float),
        ref_y=gy.astype(float),
        def_x=gx.astype(float),
        def_y=gy.astype(float),
        u=z.copy(),
        v=z.copy(),
        du_dx=z.copy(),
        du_dy=z.copy(),
        dv_dx=z.copy(),
        dv_dy=z.copy(),
        corrcoef=z.copy(),
        valid=np.zeros(shape, dtype=np.uint8),
    )


_FIELD_ARRAYS = ("def_x", "def_y", "u", "v", "du_dx", "du_dy", "dv_dx", "dv_dy", "corrcoef", "valid")


def gradient_of(f: DicField) -> np.ndarray:
    """The field's displacement gradient (h, w, 2, 2): [[du/dx, du/dy], [dv/dx, dv/dy]]."""
    return np.stack([np.stack([f.du_dx, f.du_dy], -1), np.stack([f.dv_dx, f.dv_dy], -1)], -2)


def flag_field(f: DicField | None, plan: CameraPlan, quality, not_measured: np.ndarray) -> GridResult:
    """Flags of a merged field: every check after the correlation (see the module's notes)."""
    flags = np.zeros(plan.shape, dtype=np.uint8)
    flags = set_flag(flags, ~plan.points | not_measured | plan.small, PointFlag.NOT_MEASURED)
    flags = set_flag(flags, plan.low_texture, PointFlag.LOW_TEXTURE)
    residual = np.full(plan.shape, np.nan)
    if f is None:
        flags = set_flag(flags, plan.points, PointFlag.NOT_MEASURED)
        return GridResult(None, flags, plan.points, median_residual=residual)
    solved = np.asarray(f.valid, dtype=bool)
    flags = set_flag(flags, ~solved, PointFlag.NOT_SOLVED)
    flags = set_flag(flags, ~(np.asarray(f.corrcoef) >= quality.min_corrcoef), PointFlag.LOW_CORRELATION)
    if quality.median_test:
        good = flags == PointFlag.GOOD
        test = median_test(
            f.u,
            f.v,
            good,
            threshold=quality.median_threshold,
            eps=quality.median_eps_px,
            gradient=gradient_of(f),
            step=float(plan.step),
        )
        flags = set_flag(flags, test.outlier, PointFlag.OUTLIER)
        residual = test.residual
    return GridResult(f, flags, plan.points, median_residual=residual)


def correlate_frame(
    reference: np.ndarray,
    deformed: np.ndarray,
    plan: CameraPlan,
    dic: dict,
    quality,
    *,
    cli=None,
    guess: tuple[float, float] | None = None,
) -> GridResult:
    """Correlate every region of `plan` and flag every point.

    Parameters
    ----------
    reference, deformed : (H, W) arrays
    plan : CameraPlan
        The plan of `reference`.
    dic : dict
        dic2d_cli options; ``seed_search_radius`` (when given) is the first
        window tried.
    quality : dicpipe.experiment.QualityOptions
    cli : str, optional
        The dic2d_cli to run.
    guess : (u, v), optional
        Expected displacement of the seeds: the first window tried is
        centred on it.

    Returns
    -------
    GridResult
        ``error`` says why when no region could be measured.
    """
    merged = _empty_field(plan.shape, plan.step)
    not_measured = np.zeros(plan.shape, dtype=bool)
    runs: list[RegionRun] = []
    measured = 0
    for i, seed in enumerate(plan.seeds, start=1):
        region = plan.labels == i
        f, info = _solve_region(reference, deformed, plan.mask, seed, dic, quality.seed_min_corrcoef, cli, guess)
        info.nodes = int(region.sum())
        runs.append(info)
        if f is None:
            not_measured |= region
            continue
        measured += 1
        take = region & np.asarray(f.valid, dtype=bool)
        for name in _FIELD_ARRAYS:
            getattr(merged, name)[take] = np.asarray(getattr(f, name))[take]
    if not plan.seeds:
        error = "no region of the ROI has enough textured points to measure"
        out = flag_field(None, plan, quality, not_measured)
        out.error, out.regions = error, runs
        return out
    if measured == 0:
        out = flag_field(None, plan, quality, not_measured)
        out.error = "; ".join(r.error for r in runs if r.error)
        out.regions = runs
        return out
    out = flag_field(merged, plan, quality, not_measured)
    out.regions = runs
    return out


# --------------------------------------------------------------------------
# Tracks: the displacement accumulated at the reference points
# --------------------------------------------------------------------------


@dataclass
class Track:
    """A camera's measurement at one frame, on the grid of its reference image (frame 0).

    Attributes
    ----------
    frame : int
    reference : int
        The frame whose image the last correlation used as reference.
    u, v : (h, w) float
        Displacement from frame 0, px; NaN where lost.
    F : (h, w, 2, 2) float
        Deformation gradient from frame 0 (I + displacement gradient).
    corrcoef : (h, w) float
        Correlation of the last correlation at the point.
    flags : (h, w) uint8
    """

    frame: int
    reference: int
    u: np.ndarray
    v: np.ndarray
    F: np.ndarray
    corrcoef: np.ndarray
    flags: np.ndarray

    @property
    def good(self) -> np.ndarray:
        return self.flags == PointFlag.GOOD


def start_track(plan: CameraPlan) -> Track:
    """Frame 0: no displacement; the points outside the correlated regions already flagged."""
    flags = np.zeros(plan.shape, dtype=np.uint8)
    flags = set_flag(flags, ~plan.points | plan.small, PointFlag.NOT_MEASURED)
    flags = set_flag(flags, plan.low_texture, PointFlag.LOW_TEXTURE)
    z = np.zeros(plan.shape)
    F = np.broadcast_to(np.eye(2), plan.shape + (2, 2)).copy()
    return Track(0, 0, z.copy(), z.copy(), F, np.ones(plan.shape), flags)


def track_of_result(result: GridResult, frame: int, reference: int) -> Track:
    """The track of a frame correlated directly with frame 0's image."""
    f = result.field
    good = result.flags == PointFlag.GOOD
    if f is None:
        shape = result.flags.shape
        nan = np.full(shape, np.nan)
        return Track(frame, reference, nan, nan.copy(), np.full(shape + (2, 2), np.nan), nan.copy(), result.flags)
    F = gradient_of(f) + np.eye(2)
    u = np.where(good, f.u, np.nan)
    v = np.where(good, f.v, np.nan)
    F = np.where(good[..., None, None], F, np.nan)
    return Track(frame, reference, u, v, F, np.asarray(f.corrcoef, dtype=float), result.flags)


def track_field(track: Track, step: int) -> DicField:
    """A track as a grid field on its reference grid: its points' positions, displacements and gradients."""
    shape = track.flags.shape
    gx, gy = _node_xy(shape, step)
    good = track.good
    G = track.F - np.eye(2)

    def clean(a):
        return np.where(good, a, 0.0)

    return DicField(
        reduced_width=shape[1],
        reduced_height=shape[0],
        ref_x=gx.astype(float),
        ref_y=gy.astype(float),
        def_x=gx + clean(track.u),
        def_y=gy + clean(track.v),
        u=clean(track.u),
        v=clean(track.v),
        du_dx=clean(G[..., 0, 0]),
        du_dy=clean(G[..., 0, 1]),
        dv_dx=clean(G[..., 1, 0]),
        dv_dy=clean(G[..., 1, 1]),
        corrcoef=clean(track.corrcoef),
        valid=good.astype(np.uint8),
    )


def moved_roi(roi0: np.ndarray, track: Track, step: int) -> np.ndarray:
    """The region of the reference ROI in the image of `track`'s frame.

    A pixel p is inside when its material point, p minus the displacement
    interpolated at p from the tracked points (linear over their
    triangulation, nearest point beyond it), lies inside `roi0`.
    """
    from scipy.interpolate import LinearNDInterpolator, NearestNDInterpolator

    h, w = roi0.shape
    good = track.good
    gx, gy = _node_xy(good.shape, step)
    if good.sum() < 3:
        return np.zeros_like(roi0)
    pts = np.stack([(gx + np.where(good, track.u, 0))[good], (gy + np.where(good, track.v, 0))[good]], 1)
    disp = np.stack([track.u[good], track.v[good]], 1)
    yy, xx = np.mgrid[0:h, 0:w]
    q = np.stack([xx.ravel(), yy.ravel()], 1).astype(float)
    try:
        d = LinearNDInterpolator(pts, disp)(q)
    except Exception:  # degenerate (collinear) points: nearest only
        d = np.full((len(q), 2), np.nan)
    bad = ~np.isfinite(d[:, 0])
    if bad.any():
        d[bad] = NearestNDInterpolator(pts, disp)(q[bad])
    mx = np.rint(q[:, 0] - d[:, 0]).astype(np.int64)
    my = np.rint(q[:, 1] - d[:, 1]).astype(np.int64)
    ok = (mx >= 0) & (my >= 0) & (mx < w) & (my < h)
    out = np.zeros(h * w, dtype=bool)
    out[ok] = roi0[my[ok], mx[ok]]
    return out.reshape(h, w)


def _sample(result: GridResult, px: np.ndarray, py: np.ndarray, step: int):
    """Increment (du, dv), its gradient (2, 2) and correlation at positions; NaN where it cannot be had.

    Bilinear over the four surrounding nodes when all are good, else the
    first-order expansion of the nearest good node within 1.5 steps.
    Also returns, per position, the flag of the node nearest to it.
    """
    from scipy.spatial import cKDTree

    f = result.field
    h, w = result.flags.shape
    good = result.flags == PointFlag.GOOD
    n = px.size
    du = np.full(n, np.nan)
    dv = np.full(n, np.nan)
    G = np.full((n, 2, 2), np.nan)
    cc = np.full(n, np.nan)
    gxf, gyf = px / step, py / step
    finite = np.isfinite(gxf) & np.isfinite(gyf)
    ci = np.rint(np.where(finite, gxf, -1)).astype(np.int64)
    ri = np.rint(np.where(finite, gyf, -1)).astype(np.int64)
    inside = finite & (ci >= 0) & (ri >= 0) & (ci < w) & (ri < h)
    near_flag = np.full(n, int(PointFlag.NOT_SOLVED), dtype=np.uint8)
    near_flag[inside] = result.flags[ri[inside], ci[inside]]
    if f is None or not good.any():
        return du, dv, G, cc, near_flag
    grad = gradient_of(f)
    c0 = np.floor(np.where(finite, gxf, 0)).astype(np.int64)
    r0 = np.floor(np.where(finite, gyf, 0)).astype(np.int64)
    fx, fy = gxf - c0, gyf - r0
    ok4 = finite & (c0 >= 0) & (r0 >= 0) & (c0 + 1 < w) & (r0 + 1 < h)
    c0c, r0c = np.clip(c0, 0, max(w - 2, 0)), np.clip(r0, 0, max(h - 2, 0))
    corners = ((0, 0), (0, 1), (1, 0), (1, 1))
    if w >= 2 and h >= 2:
        for dr, dc in corners:
            ok4 &= good[r0c + dr, c0c + dc]
    else:
        ok4[:] = False
    if ok4.any():
        acc = {"u": 0.0, "v": 0.0, "c": 0.0, "g": 0.0}
        for dr, dc in corners:
            wt = (fx if dc else 1 - fx) * (fy if dr else 1 - fy)
            r, c = (r0c + dr)[ok4], (c0c + dc)[ok4]
            wk = wt[ok4]
            acc["u"] = acc["u"] + wk * f.u[r, c]
            acc["v"] = acc["v"] + wk * f.v[r, c]
            acc["c"] = acc["c"] + wk * f.corrcoef[r, c]
            acc["g"] = acc["g"] + wk[:, None, None] * grad[r, c]
        du[ok4], dv[ok4], cc[ok4], G[ok4] = acc["u"], acc["v"], acc["c"], acc["g"]
    need = finite & ~ok4
    if need.any():
        rr, cc_ = np.nonzero(good)
        tree = cKDTree(np.stack([cc_ * step, rr * step], 1).astype(float))
        dist, k = tree.query(np.stack([px[need], py[need]], 1), distance_upper_bound=1.5 * step)
        hit = np.isfinite(dist)
        idx = np.flatnonzero(need)[hit]
        r, c = rr[k[hit]], cc_[k[hit]]
        ddx, ddy = px[idx] - c * step, py[idx] - r * step
        du[idx] = f.u[r, c] + f.du_dx[r, c] * ddx + f.du_dy[r, c] * ddy
        dv[idx] = f.v[r, c] + f.dv_dx[r, c] * ddx + f.dv_dy[r, c] * ddy
        G[idx] = grad[r, c]
        cc[idx] = f.corrcoef[r, c]
    return du, dv, G, cc, near_flag


def accumulate(track_r: Track, result: GridResult, frame: int, reference: int, step: int, quality) -> Track:
    """Add an increment measured on image r to the track at frame r (see the module's notes)."""
    shape = track_r.flags.shape
    gx, gy = _node_xy(shape, step)
    alive = track_r.good
    px = (gx + track_r.u)[alive].astype(float)
    py = (gy + track_r.v)[alive].astype(float)
    du, dv, G, cc, near = _sample(result, px, py, step)
    reached = np.isfinite(du) & np.isfinite(dv) & np.all(np.isfinite(G), axis=(1, 2))
    u = np.full(shape, np.nan)
    v = np.full(shape, np.nan)
    F = np.full(shape + (2, 2), np.nan)
    corr = np.full(shape, np.nan)
    flags = track_r.flags.copy()
    ia = np.flatnonzero(alive.ravel())
    ok = ia[reached]
    lost = ia[~reached]
    u.ravel()[ok] = track_r.u.ravel()[ok] + du[reached]
    v.ravel()[ok] = track_r.v.ravel()[ok] + dv[reached]
    Fr = track_r.F.reshape(-1, 2, 2)[ok]
    F.reshape(-1, 2, 2)[ok] = (np.eye(2) + G[reached]) @ Fr
    corr.ravel()[ok] = cc[reached]
    why = near[~reached]
    why = np.where(why == PointFlag.GOOD, PointFlag.NOT_SOLVED, why)
    flags.ravel()[lost] = why
    track = Track(frame, reference, u, v, F, corr, flags)
    if quality.median_test:
        test = median_test(
            u,
            v,
            track.good,
            threshold=quality.median_threshold,
            eps=quality.median_eps_px,
            gradient=np.where(track.good[..., None, None], F - np.eye(2), np.nan),
            step=float(step),
        )
        track.flags = set_flag(track.flags, test.outlier, PointFlag.OUTLIER)
        bad = ~track.good
        track.u[bad] = np.nan
        track.v[bad] = np.nan
        track.F[bad] = np.nan
    return track


def _good_fraction(track_new: Track, track_ref: Track) -> tuple[float, float]:
    alive = int(track_ref.good.sum())
    good = track_new.good
    frac = float(good.sum()) / alive if alive else 0.0
    mean_c = float(np.mean(track_new.corrcoef[good])) if good.any() else 0.0
    return frac, mean_c


def advance(
    images: dict[int, np.ndarray],
    frame: int,
    track_ref: Track,
    track_prev: Track,
    plan0: CameraPlan,
    dic: dict,
    quality,
    reference_options,
    *,
    cli=None,
) -> tuple[GridResult, Track]:
    """Measure `frame` from the track of a reference frame (incremental and auto strategies).

    Parameters
    ----------
    images : dict
        The images of frame 0, of the frames of `track_ref` and `track_prev`
        and of `frame`, by frame.
    frame : int
    track_ref : Track
        The track at the current reference frame (frame 0 at first).
    track_prev : Track
        The track at the last measured frame (equals `track_ref` for the
        incremental strategy).
    plan0 : CameraPlan
        The plan of frame 0's image.
    dic, quality : the experiment's options
    reference_options : dicpipe.experiment.ReferenceOptions
        ``strategy`` "incremental" correlates with `track_prev`'s image;
        "auto" with `track_ref`'s, unless the valid fraction or the mean
        correlation falls below the thresholds, then with `track_prev`'s
        when that measures more valid points (or as many with a higher mean
        correlation).

    Returns
    -------
    (GridResult, Track)
        The correlation as measured (on the reference image's grid) and the
        frame's track (`Track.reference` says which image was used).
    """
    roi0 = plan0.roi
    step = plan0.step

    def measure(tr: Track) -> tuple[GridResult, Track]:
        if tr.frame == 0:
            res = correlate_frame(images[0], images[frame], plan0, dic, quality, cli=cli)
            return res, track_of_result(res, frame, 0)
        roi_r = moved_roi(roi0, tr, step)
        plan_r = plan_camera(images[tr.frame], roi_r, dic, quality)
        res = correlate_frame(images[tr.frame], images[frame], plan_r, dic, quality, cli=cli)
        if res.field is None:
            shape = tr.flags.shape
            nan = np.full(shape, np.nan)
            flags = set_flag(tr.flags, np.ones(shape, bool), PointFlag.NOT_MEASURED)
            return res, Track(frame, tr.frame, nan, nan.copy(), np.full(shape + (2, 2), np.nan), nan.copy(), flags)
        return res, accumulate(tr, res, frame, tr.frame, step, quality)

    first = track_prev if reference_options.strategy == "incremental" else track_ref
    res, track = measure(first)
    if reference_options.strategy == "auto" and first.frame != track_prev.frame:
        frac, mean_c = _good_fraction(track, first)
        if (
            res.field is None
            or frac < reference_options.min_valid_fraction
            or mean_c < reference_options.min_mean_corrcoef
        ):
            res2, track2 = measure(track_prev)
            if res2.field is not None:
                if res.field is None:
                    return res2, track2
                # Move the reference only when that measures better (on noisy images the correlation
                # may sit below the threshold whatever the reference).
                frac2, mean2 = _good_fraction(track2, first)
                if frac2 > frac or (frac2 >= frac and mean2 > mean_c):
                    return res2, track2
    return res, track


def with_flags(track: Track, flags: np.ndarray) -> Track:
    """A copy of `track` with other flags."""
    return replace(track, flags=np.asarray(flags, dtype=np.uint8))
