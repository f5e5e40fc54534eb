"""The tasks of a series: the work a worker does, each a function of its arguments alone.

The stereo match of camera 0's reference image with camera k's
(`match_camera`, or `_stereo_match` and the texture of the matched region in
runs, `_share_texture`), one camera's correlation of a frame against its
reference (`correlate`) and one step of a camera's track through the series
(`track_camera`). The records `CameraJob`, `CameraResult` and `MatchResult`
travel between the calling process and the workers.
"""

from __future__ import annotations

import dataclasses
import math
import time
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from .dic2d import Dic2dError
from .files import DicField
from .images import ImageError, ImageInfo, load_image

if TYPE_CHECKING:  # the tracking module (and SciPy with it) loads when a task needs it
    from .tracking import CameraPlan, Track

__all__ = ["CameraJob", "CameraResult", "MatchResult", "correlate", "match_camera", "track_camera"]


@dataclass(frozen=True)
class CameraJob:
    """One camera and frame: its reference image against the frame's image.

    For the incremental and auto strategies `images` also holds the images of
    the frames the camera's tracks are at (by frame), and `reference`
    carries the strategy's thresholds.
    """

    camera: int
    frame: int
    reference: ImageInfo
    deformed: ImageInfo
    seed: tuple[int, int]
    dic: dict[str, Any]
    cli: str | None = None
    quality: Any = None
    strategy: Any = None
    images: tuple[tuple[int, ImageInfo], ...] = ()


@dataclass
class CameraResult:
    """The outcome of a `CameraJob`: the grid field, or the reason it failed.

    Attributes
    ----------
    camera, frame : int
    field : DicField or None
        The field on the camera's reference grid (None when the run failed):
        for a fixed reference the correlation's own, regions merged; for the
        other strategies the accumulated displacement and gradients.
    seed_corrcoef : float
        Correlation coefficient of the largest region's seed (NaN when it failed).
    seed_search_radius : int
        The search window it was found with (0 = whole image; -1 when not found).
    error : str or None
        Why the run failed.
    seconds : float
        Wall time of the task.
    flags : (h, w) uint8 array or None
        `PointFlag` of every grid node.
    points : (h, w) bool array or None
        The camera's measurement points.
    reference : int
        The frame whose image the correlation used as reference.
    notes : str
        Regions that were not measured, and why.
    median_residual : (h, w) array or None
        The normalised median residual of the correlation (fixed reference).
    """

    camera: int
    frame: int
    field: DicField | None
    seed_corrcoef: float = math.nan
    seed_search_radius: int = -1
    error: str | None = None
    seconds: float = 0.0
    flags: np.ndarray | None = None
    points: np.ndarray | None = None
    reference: int = 0
    notes: str = ""
    median_residual: np.ndarray | None = None


@dataclass
class MatchResult:
    """The outcome of matching camera 0's reference image with camera k's.

    Attributes
    ----------
    camera : int
    match : dicpipe.stereo.StereoMatch or None
        The match of every region of camera 0's points.
    error : str or None
        Why the match failed (the images and the calibration do not fit).
    seconds : float
    plan : dicpipe.tracking.CameraPlan or None
        Camera k's plan of its reference image, in the ROI the match gives.
    notes : str
        Regions of camera 0 that could not be matched, and why.
    """

    camera: int
    match: Any = None
    error: str | None = None
    seconds: float = 0.0
    plan: Any = None
    notes: str = ""


def _shown(path: Path) -> str:
    """A path as messages show it: relative to the working folder when inside it."""
    try:
        return str(Path(path).resolve().relative_to(Path.cwd().resolve()))
    except (ValueError, OSError):
        return str(path)


def _merge_matches(matches: list, labels: np.ndarray):
    """One StereoMatch from the matches of camera 0's regions: each region's nodes from its own match."""

    first = matches[0][1]
    arrays = {name: np.array(getattr(first, name), copy=True) for name in ("uv", "corrcoef", "epipolar_px", "valid")}
    ratio = None if first.uncertainty_ratio is None else np.array(first.uncertainty_ratio, copy=True)
    roi = np.asarray(first.roi, dtype=bool).copy()
    for i, m in matches[1:]:
        take = labels == i
        for name, a in arrays.items():
            a[take] = np.asarray(getattr(m, name))[take]
        if ratio is not None and m.uncertainty_ratio is not None:
            ratio[take] = np.asarray(m.uncertainty_ratio)[take]
        roi |= np.asarray(m.roi, dtype=bool)
    i0 = matches[0][0]
    other = (labels != i0) & ~np.isin(labels, [i for i, _ in matches[1:]])
    arrays["valid"] = arrays["valid"] & ~other  # nodes of regions whose match failed
    epi = arrays["epipolar_px"][arrays["valid"]]
    rms = float(np.sqrt(np.mean(epi**2))) if epi.size and np.all(np.isfinite(epi)) else first.epipolar_rms
    return dataclasses.replace(first, roi=roi, uncertainty_ratio=ratio, epipolar_rms=rms, **arrays)


def _match_regions(ref0: np.ndarray, refk: np.ndarray, plan0: CameraPlan, calibration, k: int, dic, options, cli):
    """The merged match of every region of camera 0's points, and the notes of the regions left unmatched."""
    from .stereo import StereoError, match_stereo

    matches, notes = [], []
    for i, seed in enumerate(plan0.seeds, start=1):
        try:
            m = match_stereo(ref0, refk, plan0.mask, calibration, k, dic=dic, seed0=seed, cli=cli, **options)
        except (StereoError, Dic2dError) as exc:
            if i == 1:
                raise
            notes.append(f"camera {k}: region of camera 0 at ({seed[0]}, {seed[1]}) not matched: {exc}")
            continue
        matches.append((i, m))
    return _merge_matches(matches, plan0.labels), "; ".join(notes)


def _matched_plan(
    k: int,
    refk: np.ndarray,
    reference_k: ImageInfo,
    match,
    dic: dict[str, Any],
    quality: Any,
    texture: tuple[float, np.ndarray] | None = None,
) -> CameraPlan:
    """Camera k's plan of its reference image in the ROI its match gives (ImageError, StereoError)."""
    from .stereo import StereoError
    from .tracking import plan_camera

    roi = np.asarray(match.roi, dtype=bool)
    try:
        plan_k = plan_camera(refk, roi, dic, quality, seed=tuple(match.seed_k), texture=texture)
    except ValueError as exc:
        raise ImageError(f"{_shown(reference_k.path)}: {exc}") from None
    if not plan_k.seeds:
        raise StereoError(f"camera {k}'s matched region has no textured region to measure")
    return plan_k


def match_camera(
    reference0: ImageInfo,
    reference_k: ImageInfo,
    plan0: CameraPlan,
    calibration,
    k: int,
    dic: dict[str, Any],
    options: dict[str, float],
    quality: Any,
    cli: str | None = None,
) -> MatchResult:
    """Match camera 0's reference image with camera k's (`dicpipe.stereo.match_stereo`), region by region.

    Each region of camera 0's points is matched from its own seed; the
    largest region's match must succeed (it also checks that the calibration
    fits the images), a smaller region whose match fails is left unmatched.
    Camera k's plan follows from the ROI of the matches.

    Returns
    -------
    MatchResult
        With the match and camera k's plan, or with the reason it failed (a
        calibration that does not fit the images, no clear disparity,
        unreadable images).
    """
    return _stereo_match(reference0, reference_k, plan0, calibration, k, dic, options, cli, quality=quality)


def _stereo_match(
    reference0: ImageInfo,
    reference_k: ImageInfo,
    plan0: CameraPlan,
    calibration,
    k: int,
    dic: dict[str, Any],
    options: dict[str, float],
    cli: str | None = None,
    *,
    quality: Any = None,
) -> MatchResult:
    """`match_camera`; without `quality` camera k's plan is left to the caller (which computes its
    texture in parallel parts)."""
    from .stereo import StereoError

    start = time.perf_counter()
    try:
        ref0 = load_image(reference0.path, reference0)
        refk = load_image(reference_k.path, reference_k)
        match, notes = _match_regions(ref0, refk, plan0, calibration, k, dic, options, cli)
        plan_k = None if quality is None else _matched_plan(k, refk, reference_k, match, dic, quality)
        return MatchResult(k, match, None, time.perf_counter() - start, plan=plan_k, notes=notes)
    except (StereoError, Dic2dError, ImageError) as exc:
        return MatchResult(k, None, f"stereo match of camera 0 with camera {k}: {exc}", time.perf_counter() - start)


def _texture_part(
    reference: ImageInfo, roi: np.ndarray, dic: dict[str, Any], noise: float, start: int, stop: int
) -> np.ndarray:
    """A run of a reference image's point texture (`dicpipe.tracking.point_texture`), as a task."""
    from .tracking import point_texture

    return point_texture(load_image(reference.path, reference), roi, dic, noise, start, stop)


#: Points per run of a shared texture computation (a run takes a few hundredths of a second).
_TEXTURE_RUN = 256


def _share_texture(runner, key: str, image: np.ndarray, reference: ImageInfo, roi: np.ndarray, dic, quality):
    """Compute the texture of a reference image's points in runs: by idle workers, else by this process.

    The runs are handed to the runner's workers while one is idle and
    computed here otherwise (workers still starting, or busy), in order.
    Returns what `_shared_texture` completes, or None when there is nothing
    to share out (one worker, no texture check, or an image that
    `plan_camera` refuses: it then says why).
    """
    from .tracking import plan_noise, plan_points, point_texture

    roi = np.asarray(roi, dtype=bool)
    if runner.capacity < 2 or not quality.texture_check or image.shape != roi.shape or not np.all(np.isfinite(image)):
        return None
    noise = plan_noise(image, roi, quality)
    n = int(plan_points(roi, dic).sum())
    runs = max(1, min(-(-n // _TEXTURE_RUN), 4 * runner.capacity))
    parts = []
    for i in range(runs):
        start, stop = n * i // runs, n * (i + 1) // runs
        if runner.idle():
            parts.append(runner.submit(f"texture-{key}-{i}", _texture_part, reference, roi, dic, noise, start, stop))
        else:
            parts.append(point_texture(image, roi, dic, noise, start, stop))
    return noise, parts


def _shared_texture(runner, shared) -> tuple[float, np.ndarray] | None:
    """The (noise, values) of `_share_texture`, once its runs are done."""
    if shared is None:
        return None
    noise, parts = shared
    pending = {p for p in parts if not isinstance(p, np.ndarray)}
    while pending:
        pending -= runner.wait(list(pending))
    return noise, np.concatenate([p if isinstance(p, np.ndarray) else runner.outcome(p) for p in parts])


def _camera_result(job: CameraJob, res, track: Track | None, plan: CameraPlan) -> CameraResult:
    """A task's outcome from the correlation's `GridResult` (and the frame's track, for chains)."""
    from .tracking import track_field

    out = CameraResult(job.camera, job.frame, None, points=plan.points)
    if res.regions:
        out.seed_corrcoef = res.regions[0].corrcoef
        out.seed_search_radius = res.regions[0].window
    notes = [r.error for r in res.regions if r.error]
    if res.field is None:
        out.error = f"camera {job.camera}: {res.error}"
        out.flags = res.flags if track is None else track.flags
        return out
    out.notes = (
        "; ".join(
            f"camera {job.camera}: region of {r.nodes} points not measured, {r.error}" for r in res.regions if r.error
        )
        if notes
        else ""
    )
    if track is None:
        out.field, out.flags, out.median_residual = res.field, res.flags, res.median_residual
    else:
        out.field, out.flags, out.reference = track_field(track, plan.step), track.flags, track.reference
    return out


def correlate(job: CameraJob, plan: CameraPlan) -> CameraResult:
    """Measure one camera's frame against its reference image (fixed reference).

    Parameters
    ----------
    job : CameraJob
    plan : dicpipe.tracking.CameraPlan
        The camera's plan of its reference image.

    Returns
    -------
    CameraResult
        With the flagged field, or with the reason when the images cannot be
        read or no region's seed is found.
    """
    from .tracking import correlate_frame

    start = time.perf_counter()
    try:
        ref = load_image(job.reference.path, job.reference)
        dfm = load_image(job.deformed.path, job.deformed)
    except ImageError as exc:
        return CameraResult(
            job.camera, job.frame, None, error=f"camera {job.camera}: {exc}", seconds=time.perf_counter() - start
        )
    res = correlate_frame(ref, dfm, plan, job.dic, job.quality, cli=job.cli)
    out = _camera_result(job, res, None, plan)
    out.seconds = time.perf_counter() - start
    return out


def track_camera(
    job: CameraJob, plan: CameraPlan, track_ref: Track, track_prev: Track
) -> tuple[CameraResult, Track, Track]:
    """Measure one camera's frame from its tracks (incremental and auto strategies).

    Returns
    -------
    (CameraResult, Track, Track)
        The frame's result, and the camera's tracks for the next frame: its
        reference track and its latest track (unchanged when the frame failed).
    """
    from .tracking import advance

    start = time.perf_counter()
    try:
        images = {f: load_image(info.path, info) for f, info in job.images}
    except ImageError as exc:
        out = CameraResult(job.camera, job.frame, None, error=f"camera {job.camera}: {exc}")
        out.seconds = time.perf_counter() - start
        return out, track_ref, track_prev
    res, track = advance(
        images, job.frame, track_ref, track_prev, plan, job.dic, job.quality, job.strategy, cli=job.cli
    )
    out = _camera_result(job, res, track, plan)
    out.seconds = time.perf_counter() - start
    if out.field is None:
        return out, track_ref, track_prev
    new_ref = track_ref if track.reference == track_ref.frame else track_prev
    if job.strategy.strategy == "incremental":
        new_ref = track
    return out, new_ref, track
