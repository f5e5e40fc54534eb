"""One frame and a whole series: from an experiment to result files.

With a fixed reference (`[reference] strategy = "fixed"`, the default) every
camera's first image is correlated with each of its later images (one
correlation per camera and frame: a *task*), and when the tasks of a frame
are done the frame is *finished*: for one camera the grid field itself is the
result (pixels); the strains come from the strain window over the good grid
nodes and from a triangle mesh over them at z = 0. With the "incremental" and
"auto" strategies each camera's frames are measured in order, each task
carrying the camera's track (`dicpipe.tracking`) to the next.

Every point carries a flag (`dicpipe.quality.PointFlag`): the checks of
`dicpipe.tracking` for each camera, then, in stereo, the stereo match and the
reconstruction. Only good points (flag 0) are valid, enter the mesh and the
strain windows, and have values in the exported displacement and strain
arrays (NaN elsewhere).

`run_series` runs the tasks in this process (``jobs=1``), in local worker
processes (``jobs=N``) or on a Dask distributed cluster (``scheduler=``).
Every computation is a function of its inputs alone, so the result files are
identical bit for bit whichever way they run. The workers compute and return
the bytes of the result files; only the calling process writes, each file
atomically, and a small ``frames/frame_NNNN.json`` written last marks a frame
as complete together with the digest of everything that determined it. A
later run reuses a frame whose marker matches the current settings and whose
files are all present.

Regions and seeds. Every region of a camera's correlated points (the ROI
without its untextured nodes, `dicpipe.tracking.plan_camera`) is correlated
from its own seed; camera 0's largest region starts from the experiment's
``[roi] seed`` when given. Without ``[dic] seed_search_radius`` the first
search window of a seed is centred on a coarse estimate of its displacement
(normalised cross-correlation of a patch of twice the subset radius against
the whole deformed image), so that large motions are found without searching
the whole image; a weak seed, or one at the edge of its window, is searched
again in a larger window and then over the whole image.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import sys
import time
from collections import deque
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from . import __version__
from ._runners import SchedulerError, default_jobs, open_runner
from .dic2d import DEFAULTS as _DIC_DEFAULTS
from .dic2d import Dic2dError
from .experiment import Experiment, ExperimentError, dic_options
from .files import DicField
from .grid import choose_seed, grid_step
from .images import ImageError, ImageInfo, load_image, load_mask, probe_image
from .quality import PointFlag

if TYPE_CHECKING:  # the tracking module (and SciPy with it) loads when a task needs it
    from .tracking import CameraPlan, Track

__all__ = [
    "CameraJob",
    "CameraResult",
    "CameraSetup",
    "FrameOutput",
    "FramePlan",
    "FrameRecord",
    "MatchResult",
    "MeanStrain",
    "OutputError",
    "SchedulerError",
    "Series",
    "SeriesResult",
    "correlate",
    "finish_frame",
    "match_camera",
    "mean_strain",
    "prepare_series",
    "run_series",
]

#: The flag codes counted in summary.csv, in column order.
_COUNTED_FLAGS = tuple(f for f in PointFlag if f != PointFlag.GOOD)


class OutputError(ValueError):
    """The output folder cannot be made (a file is in the way, no permission)."""


# --------------------------------------------------------------------------
# Records
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class CameraSetup:
    """One camera of a prepared series.

    Attributes
    ----------
    index : int
    images : tuple of ImageInfo
        Its images in series order; element 0 is the reference.
    roi : (H, W) bool array or None
        The region correlated in its reference image (for cameras k >= 1:
        None until the stereo match gives it).
    seed : (x, y) or None
        The seed of its largest region (None until the stereo match gives it).
    plan : dicpipe.tracking.CameraPlan or None
        Its points, their texture, regions and seeds (None until the stereo
        match gives the ROI).
    """

    index: int
    images: tuple[ImageInfo, ...]
    roi: np.ndarray | None
    seed: tuple[int, int] | None
    plan: CameraPlan | None = None


@dataclass
class Series:
    """An experiment checked against its images, ready to run.

    Attributes
    ----------
    experiment : Experiment
    cameras : list of CameraSetup
    dic : dict
        The dic2d_cli options of every task (as the experiment gives them).
    step : int
        Pitch of the reduced grid in pixels.
    settings : dict
        Everything besides the images that determines the results.
    calibration : dicpipe.camera.Calibration or None
        The calibration (with the image sizes), when the experiment has one.
    matches : dict
        Camera k's `dicpipe.stereo.StereoMatch` by k, once `run_series` has matched it.
    notes : list of str
        What the stereo matches of the last run could not match.
    """

    experiment: Experiment
    cameras: list[CameraSetup]
    dic: dict[str, Any]
    step: int
    settings: dict[str, Any]
    calibration: Any = None
    matches: dict[int, Any] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)

    @property
    def units(self) -> str:
        """Unit of the displacements: pixels in 2D, the calibration's length unit in stereo."""
        return "px" if self.mode == "2d" else self.calibration.units

    @property
    def frames(self) -> int:
        """Number of images per camera, the reference included."""
        return len(self.cameras[0].images)

    @property
    def mode(self) -> str:
        """ "2d" for one camera, "stereo" for more."""
        return "2d" if len(self.cameras) == 1 else "stereo"

    @property
    def settings_digest(self) -> str:
        """SHA-256 of `settings`."""
        return _sha256_json(self.settings)

    def image_name(self, camera: int, frame: int) -> str:
        """The image's path relative to the experiment's folder (absolute when outside it)."""
        return _relative(self.cameras[camera].images[frame].path, self.experiment.base)

    def frame_digest(self, frame: int) -> str:
        """SHA-256 of the settings and of the identity (name, size, modification time) of the frame's images."""
        ident = []
        for cam in self.cameras:
            for info in (cam.images[0], cam.images[frame]):
                st = info.path.stat()
                ident.append([_relative(info.path, self.experiment.base), st.st_size, st.st_mtime_ns])
        return _sha256_json({"settings": self.settings_digest, "images": ident})


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


@dataclass(frozen=True)
class FramePlan:
    """What finishing a frame needs besides the camera results."""

    frame: int
    mode: str
    step: int
    images: tuple[str, ...]
    reference0: ImageInfo
    figures: bool
    vtu: bool
    units: str = "px"
    seed: tuple[int, int] = (0, 0)
    calibration: Any = None
    matches: tuple = ()
    min_corrcoef: float = 0.6
    max_reprojection_error_px: float = 1.0
    min_views: int = 2
    strain_window: int = 5
    strain_tensor: str = "green-lagrange"
    scale: float | None = None
    scale_units: str = "mm"
    subset_radius: int = 20


@dataclass
class FrameRecord:
    """One row of the summary: a frame's outcome.

    Attributes
    ----------
    frame : int
        Position of the image in the sorted series (0 is the reference).
    images : tuple of str
        Each camera's image of this frame, relative to the experiment's folder.
    status : str
        "ok" or "failed".
    reason : str
        Why the frame failed ("" when it did not).
    points_solved : int
        Grid nodes of camera 0 with a result (2D: solved by the correlation;
        stereo: reconstructed from every camera).
    points_valid : int
        Of those, the points that passed every gate.
    mean_displacement : tuple of float
        Mean over the valid points: (u, v) in pixels (2D) or (x, y, z) in the calibration's units.
    strain_minor, strain_major : float
        In-plane principal values of the area-weighted mean Green-Lagrange strain tensor.
    mean_strain : tuple of float
        That tensor, nine values row-major.
    units : str
        Unit of the displacements ("px" or the calibration's).
    seconds : float
        Computing time of the frame (its tasks and its finishing).
    flag_counts : tuple of int
        Points of camera 0's grid per `PointFlag` code 1, 2, ... (in stereo the
        3D point's flag; unmatched nodes count as STEREO_MATCH).
    reference : int
        The frame whose images camera 0 was correlated with.
    notes : str
        Regions not measured in a measured frame, and why.
    mean_displacement_scaled : tuple of float
        One camera with `[calibration] scale`: the mean displacement in its units.
    """

    frame: int
    images: tuple[str, ...]
    status: str
    reason: str = ""
    points_solved: int = 0
    points_valid: int = 0
    mean_displacement: tuple[float, ...] = ()
    strain_minor: float = math.nan
    strain_major: float = math.nan
    mean_strain: tuple[float, ...] = ()
    units: str = "px"
    seconds: float = 0.0
    flag_counts: tuple[int, ...] = ()
    reference: int = 0
    notes: str = ""
    mean_displacement_scaled: tuple[float, ...] = ()

    @property
    def ok(self) -> bool:
        return self.status == "ok"

    def to_json(self) -> dict:
        d = dict(vars(self))
        d["images"] = list(self.images)
        for key in ("mean_displacement", "mean_strain", "mean_displacement_scaled", "flag_counts"):
            d[key] = list(d[key])
        return d

    @classmethod
    def from_json(cls, d: dict) -> FrameRecord:
        d = dict(d)
        for key, default in (("mean_displacement", ()), ("mean_strain", ()), ("mean_displacement_scaled", ())):
            d[key] = tuple(math.nan if v is None else float(v) for v in d.get(key) or default)
        d["flag_counts"] = tuple(int(v) for v in d.get("flag_counts") or ())
        for key in ("strain_minor", "strain_major", "seconds"):
            d[key] = math.nan if d.get(key) is None else float(d[key])
        d["images"] = tuple(d["images"])
        return cls(**d)


@dataclass
class FrameOutput:
    """A finished frame: its summary record and the bytes of its files (paths relative to the output folder)."""

    record: FrameRecord
    files: dict[str, bytes] = field(default_factory=dict)


@dataclass(frozen=True)
class MeanStrain:
    """The area-weighted mean strain tensor of a mesh and its in-plane principal values.

    Attributes
    ----------
    tensor : (3, 3) array
        Sum over the valid faces of Area * E, divided by their total area.
    minor, major : float
        Its principal values in the plane normal to the area-weighted mean face normal.
    area : float
        Total area of the valid faces.
    """

    tensor: np.ndarray
    minor: float
    major: float
    area: float


@dataclass
class SeriesResult:
    """The outcome of `run_series`.

    Attributes
    ----------
    directory : Path
        The output folder.
    records : list of FrameRecord
        One per deformed frame, in frame order.
    computed, reused : int
        Frames computed by this run and frames whose complete outputs were kept.
    seconds : float
        Wall time of the run.
    """

    directory: Path
    records: list[FrameRecord]
    computed: int
    reused: int
    seconds: float

    @property
    def failed(self) -> list[FrameRecord]:
        return [r for r in self.records if not r.ok]


# --------------------------------------------------------------------------
# Small helpers
# --------------------------------------------------------------------------


def _sha256_json(obj) -> str:
    return hashlib.sha256(json.dumps(obj, sort_keys=True, separators=(",", ":")).encode()).hexdigest()


def _relative(path: Path, base: Path) -> str:
    try:
        return Path(path).relative_to(base).as_posix()
    except ValueError:
        return str(path)


def _shown(path: Path) -> str:
    """A path as messages show it: relative to the working folder when inside it."""
    try:
        return str(Path(path).resolve().relative_to(Path.cwd().resolve()))
    except (ValueError, OSError):
        return str(path)


def _frame_name(frame: int) -> str:
    return f"frame_{frame:04d}"


def mean_strain(emat: np.ndarray, area: np.ndarray, valid: np.ndarray, normals: np.ndarray) -> MeanStrain:
    """Area-weighted mean of per-face strain tensors and its in-plane principal values.

    The principal values of this mean tensor summarise a frame; the mean of
    the per-face principal values would not: taking principal values is not
    linear, and on noisy faces it pushes the major value up and the minor
    value down even where the true strain is zero.

    Parameters
    ----------
    emat : (M, 3, 3) array
        Per-face Green-Lagrange strain tensors.
    area : (M,) array
        Per-face reference areas.
    valid : (M,) bool array
        Faces to include.
    normals : (M, 3) array
        Per-face unit normals in the reference state (consistently oriented).

    Returns
    -------
    MeanStrain
        NaN values when no face is valid.
    """
    ok = np.asarray(valid, dtype=bool) & np.isfinite(area)
    e = np.asarray(emat, dtype=np.float64)[ok]
    a = np.asarray(area, dtype=np.float64)[ok]
    total = float(a.sum())
    if not ok.any() or not total > 0:
        return MeanStrain(np.full((3, 3), np.nan), math.nan, math.nan, 0.0)
    tensor = (a[:, None, None] * e).sum(axis=0) / total
    tensor = 0.5 * (tensor + tensor.T)
    n = (a[:, None] * np.asarray(normals, dtype=np.float64)[ok]).sum(axis=0)
    values, vectors = np.linalg.eigh(tensor)
    drop = int(np.argmax(np.abs(vectors.T @ n)))
    minor, major = (float(v) for v in np.delete(values, drop))
    return MeanStrain(tensor, minor, major, total)


# --------------------------------------------------------------------------
# Preparing a series: every check that can fail on the input, before any output
# --------------------------------------------------------------------------


def _probe_series(experiment: Experiment) -> list[tuple[ImageInfo, ...]]:
    cams = []
    for k, files in enumerate(experiment.images):
        infos = [probe_image(p) for p in files]
        ref = infos[0]
        for info in infos[1:]:
            if info.size != ref.size:
                raise ImageError(
                    f"{_shown(info.path)}: {info.width} x {info.height} px, but camera {k}'s reference image "
                    f"{_shown(ref.path)} is {ref.width} x {ref.height} px"
                )
        cams.append(tuple(infos))
    return cams


def _roi_mask(experiment: Experiment, width: int, height: int) -> np.ndarray:
    roi_spec = experiment.roi
    where = f"{experiment.path.name}: [roi]"
    if roi_spec.kind == "mask":
        mask = load_mask(roi_spec.mask)
        if mask.shape != (height, width):
            raise ImageError(
                f"{_shown(roi_spec.mask)}: ROI mask of {mask.shape[1]} x {mask.shape[0]} px, but camera 0's reference "
                f"image is {width} x {height} px"
            )
    elif roi_spec.kind == "rectangle":
        x0, y0, x1, y1 = roi_spec.rectangle
        if x1 > width or y1 > height:
            raise ExperimentError(
                f"{where} rectangle [{x0}, {y0}, {x1}, {y1}] reaches outside camera 0's {width} x {height} px image"
            )
        mask = np.zeros((height, width), dtype=bool)
        mask[y0:y1, x0:x1] = True
    else:
        from matplotlib.path import Path as PolygonPath

        verts = np.asarray(roi_spec.polygon, dtype=float)
        outside = (verts[:, 0] < 0) | (verts[:, 0] > width) | (verts[:, 1] < 0) | (verts[:, 1] > height)
        if outside.any():
            i = int(np.flatnonzero(outside)[0])
            raise ExperimentError(
                f"{where} polygon[{i}] = [{verts[i, 0]:g}, {verts[i, 1]:g}] lies outside camera 0's "
                f"{width} x {height} px image"
            )
        yy, xx = np.mgrid[0:height, 0:width]
        centres = np.stack([xx.ravel(), yy.ravel()], axis=1).astype(float)
        mask = PolygonPath(verts).contains_points(centres).reshape(height, width)
    if not mask.any():
        what = _shown(roi_spec.mask) if roi_spec.kind == "mask" else f"{where} {roi_spec.kind}"
        raise ExperimentError(f"{what}: the ROI is empty")
    return mask


def _camera0_seed(experiment: Experiment, roi: np.ndarray, dic: dict) -> tuple[int, int]:
    from scipy import ndimage

    step = grid_step(dic.get("subset_spacing", _DIC_DEFAULTS["subset_spacing"]))
    radius = dic.get("subset_radius", _DIC_DEFAULTS["subset_radius"])
    min_area = dic.get("roi_min_region_area", 2000)
    truncation = dic.get("subset_truncation", False)
    margin = 0 if truncation else radius
    where = f"{experiment.path.name}: [roi]"
    h, w = roi.shape
    labels, _ = ndimage.label(roi)
    sizes = np.bincount(labels.ravel())
    if experiment.roi.seed is not None:
        x, y = experiment.roi.seed
        if x % step or y % step:
            raise ExperimentError(f"{where} seed [{x}, {y}] is not a grid node: x and y must be multiples of {step}")
        if not (0 <= x < w and 0 <= y < h) or not roi[y, x]:
            raise ExperimentError(f"{where} seed [{x}, {y}] is not inside the ROI")
        if not (margin <= x < w - margin and margin <= y < h - margin):
            raise ExperimentError(
                f"{where} seed [{x}, {y}] is closer than subset_radius = {radius} px to the image border"
            )
        seed = (x, y)
    else:
        try:
            seed = choose_seed(roi, step, margin)
        except ValueError:
            raise ExperimentError(
                f"{where} no grid node of the ROI is at least subset_radius = {radius} px from the image border"
            ) from None
    region = int(sizes[labels[seed[1], seed[0]]])
    if region <= min_area:
        raise ExperimentError(
            f"{where} the ROI region holding the seed has {region} pixels; the correlation needs more than "
            f"roi_min_region_area = {min_area}"
        )
    return seed


def _roi_digest(roi: np.ndarray) -> str:
    h = hashlib.sha256(np.asarray(roi.shape, dtype="<i8").tobytes())
    h.update(np.packbits(roi).tobytes())
    return h.hexdigest()


def _load_calibration(experiment: Experiment, infos: list[tuple[ImageInfo, ...]]):
    from .camera import load_calibration

    calibration = load_calibration(experiment.calibration)
    if len(calibration) != experiment.cameras:
        raise ExperimentError(
            f"{_shown(experiment.calibration)}: the calibration has {len(calibration)} camera(s) but "
            f"{experiment.path.name} [images] cameras has {experiment.cameras}"
        )
    calibration = calibration.with_image_sizes([cam[0].size for cam in infos])
    if experiment.is_stereo and not calibration.module_arrays()["distortion_model"] == "radial2":
        import native_vostrel

        if "distortion_model" not in (native_vostrel.reconstruct_tracks.__doc__ or ""):
            terms = []
            for k, cam in enumerate(calibration.cameras):
                named = [n for n, v in zip(("p1", "p2", "k3"), cam.dist[2:5]) if v != 0]
                named += ["skew"] if cam.K[0, 1] != 0 else []
                if named:
                    terms.append(f"camera {k}: {', '.join(named)}")
            raise ExperimentError(
                f"{_shown(experiment.calibration)}: lens terms beyond k1 and k2 ({'; '.join(terms)}), but the "
                "installed native_vostrel models k1 and k2 only; update it (scripts/build.sh) to measure with "
                "this calibration"
            )
    return calibration


@dataclass
class _Inputs:
    """An experiment checked against its images and calibration, before the texture of camera 0's points."""

    experiment: Experiment
    infos: list[tuple[ImageInfo, ...]]
    calibration: Any
    references: list[np.ndarray]
    roi: np.ndarray
    dic: dict[str, Any]


def _check_inputs(experiment: Experiment) -> _Inputs:
    """The checks of `prepare_series` before camera 0's seed (`_camera0_seed`) and plan, in their order."""
    infos = _probe_series(experiment)
    calibration = _load_calibration(experiment, infos) if experiment.calibration is not None else None
    references = [load_image(cam[0].path, cam[0]) for cam in infos]  # they must decode, or nothing is measured
    ref0 = infos[0][0]
    roi = _roi_mask(experiment, ref0.width, ref0.height)
    dic = dic_options(experiment.dic)
    return _Inputs(experiment, infos, calibration, references, roi, dic)


def _camera0_plan(inputs: _Inputs, texture: tuple[float, np.ndarray] | None = None) -> CameraPlan:
    from .tracking import plan_camera

    experiment = inputs.experiment
    try:
        return plan_camera(
            inputs.references[0], inputs.roi, inputs.dic, experiment.quality, seed=experiment.roi.seed, texture=texture
        )
    except ValueError as exc:
        raise ImageError(f"{_shown(inputs.infos[0][0].path)}: {exc}") from None


def _series(inputs: _Inputs, plan: CameraPlan) -> Series:
    """The series of checked inputs and camera 0's plan (after the checks of that plan)."""
    experiment, dic, roi = inputs.experiment, inputs.dic, inputs.roi
    step = grid_step(dic.get("subset_spacing", _DIC_DEFAULTS["subset_spacing"]))
    where = f"{experiment.path.name}: [roi]"
    if not plan.seeds:
        raise ExperimentError(
            f"{where} no region of the ROI has {experiment.quality.min_region_nodes} grid nodes with enough texture "
            f"to measure (predicted precision better than [quality] max_predicted_std_px = "
            f"{experiment.quality.max_predicted_std_px:g} px)"
        )
    if experiment.roi.seed is not None and tuple(experiment.roi.seed) not in plan.seeds:
        x, y = experiment.roi.seed
        std = plan.predicted_std[y // step, x // step]
        raise ExperimentError(
            f"{where} seed [{x}, {y}] lies in no region that can be measured: its subset's predicted precision is "
            f"{std:.3g} px ([quality] max_predicted_std_px = {experiment.quality.max_predicted_std_px:g})"
        )
    seed = experiment.roi.seed if experiment.roi.seed is not None else plan.seeds[0]
    infos = inputs.infos
    cameras = [CameraSetup(0, infos[0], roi, tuple(seed), plan)]
    cameras += [CameraSetup(k, infos[k], None, None) for k in range(1, len(infos))]
    settings: dict[str, Any] = {
        "dicpipe": __version__,
        "mode": "2d" if len(cameras) == 1 else "stereo",
        "dic": dic,
        "roi": _roi_digest(roi),
        "seed": list(seed),
        "output": {"figures": experiment.output.figures, "vtu": experiment.output.vtu},
        "quality": vars(experiment.quality),
        "strain": vars(experiment.strain),
        "reference": vars(experiment.reference),
        "scale": [experiment.scale, experiment.units] if experiment.scale is not None else None,
    }
    calibration = inputs.calibration
    if calibration is not None:
        settings["calibration"] = calibration.digest()
    if len(cameras) > 1:
        settings["stereo"] = experiment.stereo.as_kwargs()
        settings["reconstruction"] = vars(experiment.reconstruction)
    return Series(
        experiment=experiment, cameras=cameras, dic=dic, step=step, settings=settings, calibration=calibration
    )


def prepare_series(experiment: Experiment) -> Series:
    """Check an experiment against its images and calibration, and prepare the series.

    Reads every image's header (format, size: every image of a camera must
    have its reference's size), decodes every reference image, reads the
    calibration (its camera count and image sizes must fit the images),
    builds camera 0's ROI and seed, and collects the settings that determine
    the results. Nothing is written. The stereo match, which also checks
    that the calibration fits the images, is the first step of `run_series`.

    Raises
    ------
    ExperimentError, ImageError, dicpipe.camera.CalibrationError
        One-line messages naming the file or the key.
    """
    inputs = _check_inputs(experiment)
    _camera0_seed(experiment, inputs.roi, inputs.dic)
    return _series(inputs, _camera0_plan(inputs))


# --------------------------------------------------------------------------
# Tasks: what the workers run
# --------------------------------------------------------------------------


def _merge_matches(matches: list, labels: np.ndarray):
    """One StereoMatch from the matches of camera 0's regions: each region's nodes from its own match."""
    import dataclasses

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
    from .stereo import StereoError

    start = time.perf_counter()
    try:
        ref0 = load_image(reference0.path, reference0)
        refk = load_image(reference_k.path, reference_k)
        match, notes = _match_regions(ref0, refk, plan0, calibration, k, dic, options, cli)
        plan_k = _matched_plan(k, refk, reference_k, match, dic, quality)
        return MatchResult(k, match, None, time.perf_counter() - start, plan=plan_k, notes=notes)
    except (StereoError, Dic2dError, ImageError) as exc:
        return MatchResult(k, None, f"stereo match of camera 0 with camera {k}: {exc}", time.perf_counter() - start)


def _stereo_match(
    reference0: ImageInfo,
    reference_k: ImageInfo,
    plan0: CameraPlan,
    calibration,
    k: int,
    dic: dict[str, Any],
    options: dict[str, float],
    cli: str | None = None,
) -> MatchResult:
    """`match_camera` without camera k's plan (which the caller makes, its texture in parallel parts)."""
    from .stereo import StereoError

    start = time.perf_counter()
    try:
        ref0 = load_image(reference0.path, reference0)
        refk = load_image(reference_k.path, reference_k)
        match, notes = _match_regions(ref0, refk, plan0, calibration, k, dic, options, cli)
        return MatchResult(k, match, None, time.perf_counter() - start, notes=notes)
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


def _grid_xy(shape: tuple[int, int], step: int) -> tuple[np.ndarray, np.ndarray]:
    rows, cols = shape
    y, x = np.mgrid[0:rows, 0:cols]
    return (x * step).astype(np.float64), (y * step).astype(np.float64)


def _flag_counts(flags: np.ndarray | None, points: np.ndarray | None) -> tuple[int, ...]:
    """Points per flag code 1, 2, ... (empty when unknown)."""
    if flags is None or points is None:
        return ()
    from .quality import count_flags

    counts = count_flags(flags, among=points)
    return tuple(counts[f] for f in _COUNTED_FLAGS)


def _failed(plan: FramePlan, reason: str, seconds: float, counts: tuple[int, ...] = ()) -> FrameOutput:
    return FrameOutput(
        FrameRecord(plan.frame, plan.images, "failed", reason, units=plan.units, seconds=seconds, flag_counts=counts)
    )


def finish_frame(plan: FramePlan, *results: CameraResult) -> FrameOutput:
    """Turn the camera results of one frame into its result files and summary record.

    Never raises for a frame that cannot be measured: the record then says
    "failed" and why, and no files are produced.
    """
    start = time.perf_counter()
    task_seconds = sum(r.seconds for r in results)
    errors = [r.error for r in results if r.error]
    if errors:
        r0 = results[0]
        counts = (
            _flag_counts(np.full(r0.points.shape, int(PointFlag.NOT_MEASURED)), r0.points)
            if r0.points is not None
            else ()
        )
        return _failed(plan, "; ".join(errors), task_seconds + time.perf_counter() - start, counts)
    out = _finish_2d(plan, results[0]) if plan.mode == "2d" else _finish_stereo(plan, results)
    out.record.seconds = task_seconds + time.perf_counter() - start
    out.record.reference = results[0].reference
    out.record.notes = "; ".join(r.notes for r in results if r.notes)
    return out


def _window_strain_2d(plan: FramePlan, u: np.ndarray, v: np.ndarray, good: np.ndarray):
    """Strain components of the window fit over the good nodes (NaN elsewhere)."""
    from .strain import grid_window_gradient, strain_components

    fit = grid_window_gradient(
        np.where(good, u, 0.0), np.where(good, v, 0.0), good, window=plan.strain_window, step=float(plan.step)
    )
    comps = strain_components(fit.F, plan.strain_tensor)
    keep = good & fit.valid
    return {k: np.where(keep, val, np.nan) for k, val in comps.as_dict().items()}


def _finish_2d(plan: FramePlan, res: CameraResult) -> FrameOutput:
    import native_vostrel

    from . import figures
    from .export import npz_bytes, vtu_bytes
    from .mesh import face_normals, grid_faces
    from .strain import window_gauge_length

    f = res.field
    step = plan.step
    x, y = _grid_xy(f.shape, step)
    flags = np.asarray(res.flags, dtype=np.uint8)
    points = np.asarray(res.points, dtype=bool)
    solved = np.asarray(f.valid, dtype=bool) & points
    good = flags == PointFlag.GOOD
    counts = _flag_counts(flags, points)
    nan = np.float64(np.nan)
    u = np.where(good, f.u, nan)
    v = np.where(good, f.v, nan)
    ids = np.flatnonzero(good)
    faces_grid = grid_faces(good)
    if len(ids) < 3 or len(faces_grid) == 0:
        return _failed(
            plan, f"too few points: {len(ids)} good grid points, no triangle of neighbouring points", 0.0, counts
        )
    remap = np.full(good.size, -1, dtype=np.int64)
    remap[ids] = np.arange(len(ids))
    faces = remap[faces_grid].astype(np.int32)
    zeros = np.zeros(len(ids))
    points_ref = np.stack([x.ravel()[ids], y.ravel()[ids], zeros], axis=1)
    disp = np.stack([u.ravel()[ids], v.ravel()[ids], zeros], axis=1)
    points_def = points_ref + disp
    strain = native_vostrel.compute_surface_deformation(faces, points_ref, points_def, np.ones(len(faces), bool))
    ok_faces = strain["valid_strain_faces"]
    if not ok_faces.any():
        return _failed(
            plan, f"too few points: no triangle of the {len(ids)} good grid points has a strain", 0.0, counts
        )
    ms = mean_strain(strain["Emat"], strain["Area"], ok_faces, face_normals(points_ref, faces))
    window = _window_strain_2d(plan, u, v, good)

    arrays: dict[str, np.ndarray] = {
        "x": x,
        "y": y,
        "u": u,
        "v": v,
        "corrcoef": np.asarray(f.corrcoef, dtype=np.float64),
        "valid": good,
        "flag": flags,
        "solved": solved,
        "du_dx": np.where(good, f.du_dx, nan),
        "du_dy": np.where(good, f.du_dy, nan),
        "dv_dx": np.where(good, f.dv_dx, nan),
        "dv_dy": np.where(good, f.dv_dy, nan),
        "step": np.int64(step),
        "seed": np.asarray(plan.seed, dtype=np.int64),
        "seed_corrcoef": np.float64(res.seed_corrcoef),
        "seed_search_radius": np.int64(res.seed_search_radius),
        "reference_frame": np.int64(res.reference),
        "point_indices": ids.astype(np.int64),
        "points_ref": points_ref,
        "points_def": points_def,
        "faces": faces,
    }
    if res.median_residual is not None:
        arrays["median_residual"] = np.asarray(res.median_residual, dtype=np.float64)
    arrays.update(window)
    arrays["strain_tensor"] = np.asarray(plan.strain_tensor)
    arrays["strain_window"] = np.int64(plan.strain_window)
    arrays["strain_gauge_length_px"] = np.float64(
        window_gauge_length(plan.strain_window, step, subset_radius=plan.subset_radius)
    )
    if plan.scale is not None:
        unit = plan.scale_units
        for name, a in (("x", x), ("y", y), ("u", u), ("v", v)):
            arrays[f"{name}_{unit}"] = a * plan.scale
    arrays.update({k: np.asarray(val) for k, val in strain.items()})
    arrays.update(
        {
            "mean_strain": ms.tensor,
            "mean_strain_minor": np.float64(ms.minor),
            "mean_strain_major": np.float64(ms.major),
        }
    )
    name = _frame_name(plan.frame)
    files = {f"frames/{name}.npz": npz_bytes(arrays)}
    if plan.vtu:
        node_data = {
            k: window[k].ravel()[ids] for k in ("strain_xx", "strain_yy", "strain_xy", "strain_major", "strain_minor")
        }
        files[f"frames/{name}.vtu"] = vtu_bytes(
            points_ref,
            faces,
            point_data={"displacement": disp, "corrcoef": np.asarray(f.corrcoef).ravel()[ids], **node_data},
            cell_data={k: strain[k] for k in ("Emat", "Epc1", "Epc2", "Eeq", "EShearMax", "J", "valid_strain_faces")},
        )
    if plan.figures:
        image = load_image(plan.reference0.path, plan.reference0)
        files[f"figures/{name}.png"] = figures.field_maps(
            image,
            step,
            [("u [px]", u), ("v [px]", v), (f"major strain ({plan.strain_tensor})", window["strain_major"])],
            title=f"{name}: {plan.images[0]}",
        )
    mean_u, mean_v = float(np.mean(disp[:, 0])), float(np.mean(disp[:, 1]))
    record = FrameRecord(
        frame=plan.frame,
        images=plan.images,
        status="ok",
        points_solved=int(solved.sum()),
        points_valid=len(ids),
        mean_displacement=(mean_u, mean_v),
        strain_minor=ms.minor,
        strain_major=ms.major,
        mean_strain=tuple(float(t) for t in ms.tensor.ravel()),
        units="px",
        flag_counts=counts,
        mean_displacement_scaled=(mean_u * plan.scale, mean_v * plan.scale) if plan.scale is not None else (),
    )
    return FrameOutput(record, files)


def _observations(plan: FramePlan, shape: tuple[int, int]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """point_indices, cam_indices, uv of every camera-0 grid node that some camera k matched.

    A node (r, c) is point r * columns + c; camera 0 sees it at (c * step, r * step), camera k at
    its stereo match.
    """
    rows, cols = shape
    matched = np.zeros(shape, dtype=bool)
    for m in plan.matches:
        matched |= np.asarray(m.valid, dtype=bool)
    r, c = np.nonzero(matched)
    ids = (r * cols + c).astype(np.int64)
    pids = [ids]
    cams = [np.zeros(len(ids), dtype=np.int32)]
    uvs = [np.stack([c * float(plan.step), r * float(plan.step)], axis=1)]
    for m in plan.matches:
        ok = np.asarray(m.valid, dtype=bool)[r, c]
        pids.append(ids[ok])
        cams.append(np.full(int(ok.sum()), m.camera, dtype=np.int32))
        uvs.append(np.asarray(m.uv, dtype=np.float64)[r[ok], c[ok]])
    return np.concatenate(pids), np.concatenate(cams), np.concatenate(uvs)


def _sample_flags(res: CameraResult, uv: np.ndarray, step: int, min_corrcoef: float) -> np.ndarray:
    """Flag of a camera's field where the reconstruction samples it at pixels uv (N, 2).

    The reconstruction reads the field bilinearly from four good nodes, else
    from the nearest node (`native_vostrel`'s sampling, with the good nodes as
    its valid ones); a position it can read is GOOD, otherwise it gets the
    flag of its nearest node (LOW_CORRELATION when that node is good but
    below the reconstruction's correlation gate, NOT_MEASURED off the grid).
    """
    flags = np.asarray(res.flags)
    h, w = flags.shape
    usable = (flags == PointFlag.GOOD) & (np.asarray(res.field.corrcoef) >= min_corrcoef)
    gx, gy = uv[:, 0] / step, uv[:, 1] / step
    finite = np.isfinite(gx) & np.isfinite(gy)
    c0 = np.floor(np.where(finite, gx, -2)).astype(np.int64)
    r0 = np.floor(np.where(finite, gy, -2)).astype(np.int64)
    ok4 = finite & (c0 >= 0) & (r0 >= 0) & (c0 + 1 < w) & (r0 + 1 < h)
    cc, rc = np.clip(c0, 0, max(w - 2, 0)), np.clip(r0, 0, max(h - 2, 0))
    for dr in (0, 1):
        for dc in (0, 1):
            ok4 &= usable[np.clip(rc + dr, 0, h - 1), np.clip(cc + dc, 0, w - 1)]
    cn = np.where(finite, np.sign(gx) * np.floor(np.abs(gx) + 0.5), -1).astype(np.int64)
    rn = np.where(finite, np.sign(gy) * np.floor(np.abs(gy) + 0.5), -1).astype(np.int64)
    on_grid = finite & (cn >= 0) & (rn >= 0) & (cn < w) & (rn < h)
    near = np.full(len(uv), int(PointFlag.NOT_MEASURED), dtype=np.uint8)
    near[on_grid] = flags[rn[on_grid], cn[on_grid]]
    near_ok = np.zeros(len(uv), dtype=bool)
    near_ok[on_grid] = usable[rn[on_grid], cn[on_grid]]
    out = np.where(near == PointFlag.GOOD, np.uint8(PointFlag.LOW_CORRELATION), near)
    return np.where(ok4 | near_ok, np.uint8(PointFlag.GOOD), out).astype(np.uint8)


def _surface_window(plan: FramePlan, points_ref, points_def, good, faces):
    """Per-face strain components of the surface window over the good points, and the window's radius."""
    from .mesh import face_normals
    from .strain import strain_components, surface_window_gradient, window_gauge_length

    tri = points_ref[faces]
    edges = np.linalg.norm(tri[:, [1, 2, 0]] - tri, axis=2)
    legs = np.sort(edges, axis=1)[:, :2]  # the grid's two sides of each triangle
    pitch = float(np.median(legs)) if len(legs) else math.nan
    radius = window_gauge_length(plan.strain_window, pitch) / math.sqrt(2.0)
    fit = surface_window_gradient(
        points_ref,
        np.where(good[:, None], points_def, np.nan),
        good,
        tri.mean(axis=1),
        face_normals(points_ref, faces),
        radius,
        min_points=max(6, math.ceil(plan.strain_window**2 / 4)),
    )
    comps = strain_components(fit.F, plan.strain_tensor).as_dict()
    return comps, radius, pitch, fit


def _finish_stereo(plan: FramePlan, results: Sequence[CameraResult]) -> FrameOutput:
    import dataclasses

    import native_vostrel

    from . import figures
    from .export import npz_bytes, vtu_bytes
    from .files import stack_cameras
    from .mesh import face_normals, grid_faces
    from .strain import surface_gauge_length

    f0 = results[0].field
    shape = f0.shape
    rows, cols = shape
    for m in plan.matches:
        if np.shape(m.valid) != shape:
            raise ValueError(f"camera {m.camera}'s stereo match covers a {np.shape(m.valid)} grid, not {shape}")
    pids, cams, uv = _observations(plan, shape)
    # The reconstruction reads good nodes only: a flagged node is as unsolved to it.
    fields = [dataclasses.replace(r.field, valid=(r.flags == PointFlag.GOOD).astype(np.uint8)) for r in results]
    stacked = stack_cameras(fields)
    cal = dict(plan.calibration)
    model = cal.pop("distortion_model")
    extra = {} if model == "radial2" else {"distortion_model": model}
    common = dict(
        K=cal["K"],
        dist=cal["dist"],
        R=cal["R"],
        t=cal["t"],
        point_indices=pids,
        cam_indices=cams,
        uv=uv,
        dic_u=stacked["dic_u"],
        dic_v=stacked["dic_v"],
        dic_corrcoef=stacked["dic_corrcoef"],
        dic_valid=stacked["dic_valid"],
        reduced_height=stacked["reduced_height"],
        reduced_width=stacked["reduced_width"],
        subset_spacing=plan.step - 1,
    )
    gates = dict(min_corrcoef=plan.min_corrcoef, max_reprojection_error_px=plan.max_reprojection_error_px, scale=1.0)
    if len(results) == 2:
        rec = native_vostrel.reconstruct_pair_surface_points(**common, cam_a=0, cam_b=1, **gates, **extra)
        module_valid = np.asarray(rec["valid_points"], dtype=bool)
        corr = rec["corr_comb"]
    else:
        rec = native_vostrel.reconstruct_tracks(**common, min_views=plan.min_views, **gates, **extra)
        module_valid = np.asarray(rec["valid"], dtype=bool)
        corr = rec["mean_corrcoef"]
    ids = np.asarray(rec["point_indices"], dtype=np.int64)
    r_ids, c_ids = ids // cols, ids % cols
    # Per node and camera: camera 0 at its node, camera k where the match puts it (STEREO_MATCH when none).
    node_flags = [np.asarray(results[0].flags, dtype=np.uint8)]
    for m, res in zip(plan.matches, results[1:]):
        matched = np.asarray(m.valid, dtype=bool)
        uv_k = np.where(matched[..., None], np.asarray(m.uv, dtype=np.float64), np.nan).reshape(-1, 2)
        sampled = _sample_flags(res, uv_k, plan.step, plan.min_corrcoef).reshape(shape)
        node_flags.append(np.where(matched, sampled, np.uint8(PointFlag.STEREO_MATCH)).astype(np.uint8))
    node_flags = np.stack(node_flags)  # (cameras, rows, cols)
    first_bad = np.where(node_flags == 0, 255, node_flags).min(axis=0)
    # A node every camera can read that the reconstruction leaves out or rejects: RECONSTRUCTION.
    grid_flag = np.where(first_bad == 255, int(PointFlag.RECONSTRUCTION), first_bad).astype(np.uint8)
    module_ok = np.zeros(rows * cols, dtype=bool)
    module_ok[ids[module_valid]] = True
    grid_flag[module_ok.reshape(shape)] = PointFlag.GOOD
    points0 = np.asarray(results[0].points, dtype=bool)
    grid_flag[~points0] = PointFlag.NOT_MEASURED
    counts = _flag_counts(grid_flag, points0)
    camera_flags = node_flags[:, r_ids, c_ids]
    point_flag = grid_flag[r_ids, c_ids]
    valid = point_flag == PointFlag.GOOD
    points_ref = rec["points_ref_world"]
    points_def = np.where(valid[:, None], rec["points_def_world"], np.nan)
    disp = np.where(valid[:, None], rec["displacement_world"], np.nan)
    node_valid = np.zeros(rows * cols, dtype=bool)
    node_valid[ids[valid]] = True
    faces_grid = grid_faces(node_valid.reshape(shape))
    n_valid = int(valid.sum())
    if n_valid < 3 or len(faces_grid) == 0:
        return _failed(
            plan,
            f"too few points: {n_valid} valid 3D points of {len(ids)} reconstructed, no triangle of neighbours",
            0.0,
            counts,
        )
    faces = np.searchsorted(ids, faces_grid).astype(np.int32)  # rows of the reconstruction
    strain = native_vostrel.compute_surface_deformation(faces, points_ref, points_def, np.ones(len(faces), bool))
    ok_faces = strain["valid_strain_faces"]
    if not ok_faces.any():
        return _failed(plan, f"too few points: no triangle of the {n_valid} valid 3D points has a strain", 0.0, counts)
    ms = mean_strain(strain["Emat"], strain["Area"], ok_faces, face_normals(points_ref, faces))
    window, radius, pitch, fit = _surface_window(plan, points_ref, points_def, valid, faces)

    arrays: dict[str, np.ndarray] = {
        "point_indices": ids,
        "points_ref": points_ref,
        "points_def": points_def,
        "displacement": disp,
        "valid": valid,
        "flag": point_flag,
        "camera_flags": camera_flags,
        "grid_flag": grid_flag,
        "faces": faces,
        "corrcoef": np.asarray(corr, dtype=np.float64),
        "uv0": np.stack([(ids % cols) * float(plan.step), (ids // cols) * float(plan.step)], axis=1),
        "grid_shape": np.asarray(shape, dtype=np.int64),
        "step": np.int64(plan.step),
        "seed": np.asarray(plan.seed, dtype=np.int64),
        "reference_frame": np.asarray([r.reference for r in results], dtype=np.int64),
    }
    skip = {"point_indices", "points_ref_world", "points_def_world", "displacement_world", "valid", "valid_points"}
    skip |= {"points_ref_sfm", "points_def_sfm", "displacement_sfm"}  # equal to the world arrays (scale 1)
    arrays.update({k: np.asarray(v) for k, v in rec.items() if k not in skip})
    arrays["stereo_corrcoef"] = np.stack([np.asarray(m.corrcoef, dtype=np.float64)[r_ids, c_ids] for m in plan.matches])
    arrays["stereo_epipolar_px"] = np.stack(
        [np.asarray(m.epipolar_px, dtype=np.float64)[r_ids, c_ids] for m in plan.matches]
    )
    arrays.update({k: np.asarray(v) for k, v in strain.items()})
    arrays.update(window)
    arrays.update(
        {
            "strain_tensor": np.asarray(plan.strain_tensor),
            "strain_window": np.int64(plan.strain_window),
            "strain_window_radius": np.float64(radius),
            "strain_gauge_length": np.float64(surface_gauge_length(radius)) if radius > 0 else np.float64(np.nan),
            "strain_frame_x": fit.e1,
            "strain_points": fit.count,
        }
    )
    arrays.update(
        {
            "mean_strain": ms.tensor,
            "mean_strain_minor": np.float64(ms.minor),
            "mean_strain_major": np.float64(ms.major),
            "units": np.asarray(plan.units),
        }
    )
    name = _frame_name(plan.frame)
    files = {f"frames/{name}.npz": npz_bytes(arrays)}
    if plan.vtu:
        rows_valid = np.flatnonzero(valid)
        compact = np.full(len(ids), -1, dtype=np.int64)
        compact[rows_valid] = np.arange(len(rows_valid))
        cells = {k: strain[k] for k in ("Emat", "Epc1", "Epc2", "Eeq", "EShearMax", "J", "valid_strain_faces")}
        cells.update(window)
        files[f"frames/{name}.vtu"] = vtu_bytes(
            points_ref[rows_valid],
            compact[faces],
            point_data={
                "displacement": disp[rows_valid],
                "corrcoef": np.asarray(corr, dtype=np.float64)[rows_valid],
                "reprojection_error_def": np.asarray(rec["reprojection_error_def"])[rows_valid],
            },
            cell_data=cells,
        )
    if plan.figures:
        image = load_image(plan.reference0.path, plan.reference0)
        major = figures.nodes_from_faces(window["strain_major"], faces_grid, shape)
        minor = figures.nodes_from_faces(window["strain_minor"], faces_grid, shape)
        files[f"figures/{name}.png"] = figures.field_maps(
            image,
            plan.step,
            [(f"major strain ({plan.strain_tensor})", major), (f"minor strain ({plan.strain_tensor})", minor)],
            title=f"{name}: {plan.images[0]}",
        )
    record = FrameRecord(
        frame=plan.frame,
        images=plan.images,
        status="ok",
        points_solved=len(ids),
        points_valid=n_valid,
        mean_displacement=tuple(float(v) for v in disp[valid].mean(axis=0)),
        strain_minor=ms.minor,
        strain_major=ms.major,
        mean_strain=tuple(float(t) for t in ms.tensor.ravel()),
        units=plan.units,
        flag_counts=counts,
    )
    return FrameOutput(record, files)


# --------------------------------------------------------------------------
# The series
# --------------------------------------------------------------------------


def _marker_path(out: Path, frame: int) -> Path:
    return out / "frames" / f"{_frame_name(frame)}.json"


def _reusable(out: Path, frame: int, digest: str) -> FrameRecord | None:
    """The record of a frame whose outputs are complete and were made with the same settings."""
    try:
        marker = json.loads(_marker_path(out, frame).read_text())
        if marker.get("digest") != digest:
            return None
        for rel, size in marker["files"].items():
            if (out / rel).stat().st_size != size:
                return None
        record = FrameRecord.from_json(marker["record"])
    except (OSError, ValueError, KeyError, TypeError):
        return None
    return record if record.ok and record.frame == frame else None


def _frame_files(frame: int) -> list[str]:
    name = _frame_name(frame)
    return [f"frames/{name}.npz", f"frames/{name}.vtu", f"figures/{name}.png", _state_file(frame)]


def _state_file(frame: int) -> str:
    """Where the cameras' tracks after a frame are kept (incremental and auto strategies), for resuming."""
    return f"frames/{_frame_name(frame)}_tracks.npz"


_TRACK_ARRAYS = ("u", "v", "F", "corrcoef", "flags")


def _state_bytes(states: list[tuple[Track, Track]]) -> bytes:
    from .export import npz_bytes

    arrays: dict[str, np.ndarray] = {}
    for k, pair in enumerate(states):
        for role, tr in zip(("ref", "prev"), pair):
            arrays[f"cam{k}_{role}_frames"] = np.asarray([tr.frame, tr.reference], dtype=np.int64)
            for name in _TRACK_ARRAYS:
                arrays[f"cam{k}_{role}_{name}"] = np.asarray(getattr(tr, name))
    return npz_bytes(arrays)


def _load_states(path: Path, cameras: int) -> list[tuple[Track, Track]] | None:
    from .tracking import Track

    try:
        with np.load(path) as z:
            out = []
            for k in range(cameras):
                pair = []
                for role in ("ref", "prev"):
                    frame, reference = (int(v) for v in z[f"cam{k}_{role}_frames"])
                    pair.append(Track(frame, reference, *(np.array(z[f"cam{k}_{role}_{n}"]) for n in _TRACK_ARRAYS)))
                out.append((pair[0], pair[1]))
            return out
    except (OSError, ValueError, KeyError):
        return None


def _write_frame(out: Path, output: FrameOutput, digest: str) -> None:
    from .export import json_bytes, remove_quietly, write_atomic

    frame = output.record.frame
    remove_quietly(_marker_path(out, frame))
    for rel in _frame_files(frame):
        if rel not in output.files:
            remove_quietly(out / rel)  # stale, from earlier settings
    if not output.record.ok:
        return
    for rel, data in output.files.items():
        write_atomic(out / rel, data)
    marker = {
        "digest": digest,
        "files": {rel: len(data) for rel, data in output.files.items()},
        "record": output.record.to_json(),
    }
    write_atomic(_marker_path(out, frame), json_bytes(marker))


def _clean_partials(out: Path) -> None:
    """Remove temporary files that a killed run left behind."""
    for folder in (out, out / "frames", out / "figures"):
        if folder.is_dir():
            for p in folder.glob(".*.part"):
                p.unlink(missing_ok=True)


def _components(series: Series) -> tuple[str, ...]:
    return ("u", "v") if series.mode == "2d" else ("x", "y", "z")


def _summary_files(series: Series, records: list[FrameRecord]) -> dict[str, bytes]:
    """summary.csv and series.pvd."""
    from .export import csv_bytes, pvd_bytes

    cams = len(series.cameras)
    units = series.units
    comps = _components(series)
    scaled = series.mode == "2d" and series.experiment.scale is not None
    counted = _COUNTED_FLAGS if series.mode == "stereo" else _COUNTED_FLAGS[:5]
    header = ["frame", "status", "reason"] + [f"image_cam{k}" for k in range(cams)]
    header += ["points_solved", "points_valid"] + [f"mean_{c}_{units}" for c in comps]
    if scaled:
        header += [f"mean_{c}_{series.experiment.units}" for c in comps]
    header += ["strain_minor", "strain_major"]
    header += [f"flag_{f.name.lower()}" for f in counted] + ["reference_frame", "notes", "time_s"]
    rows = []
    for r in records:
        disp = list(r.mean_displacement) if r.ok else [math.nan] * len(comps)
        row = [r.frame, r.status, r.reason, *r.images, r.points_solved, r.points_valid, *disp]
        if scaled:
            row += list(r.mean_displacement_scaled) if r.ok else [math.nan] * len(comps)
        counts = list(r.flag_counts[: len(counted)]) if r.flag_counts else [""] * len(counted)
        row += [r.strain_minor, r.strain_major, *counts, r.reference if r.ok else "", r.notes, round(r.seconds, 3)]
        rows.append(row)
    files = {"summary.csv": csv_bytes(header, rows)}
    if series.experiment.output.vtu:
        files["series.pvd"] = pvd_bytes((r.frame, f"frames/{_frame_name(r.frame)}.vtu") for r in records if r.ok)
    return files


def _summary_figure(records: list[FrameRecord], components: tuple[str, ...], units: str, title: str) -> bytes:
    """figures/summary.png: mean displacement and strains of the measured frames against the frame."""
    from . import figures

    ok = [r for r in records if r.ok]
    return figures.summary_plot(
        [r.frame for r in ok],
        [(c, np.array([r.mean_displacement[i] for r in ok])) for i, c in enumerate(components)],
        [("minor", np.array([r.strain_minor for r in ok])), ("major", np.array([r.strain_major for r in ok]))],
        displacement_unit=units,
        title=f"{title}: {len(ok)} of {len(records)} frames measured",
    )


def _match_summary(m) -> dict:
    """What run.json records of camera k's stereo match."""
    valid = np.asarray(m.valid, dtype=bool)
    return {
        "matched_nodes": int(valid.sum()),
        "solved_nodes": int(np.isfinite(np.asarray(m.uv)[..., 0]).sum()),
        "epipolar_rms_px": float(m.epipolar_rms),
        "disparity_px": [float(v) for v in m.disparity],
        "seed": [int(v) for v in m.seed_k],
        "roi_pixels": int(np.asarray(m.roi).sum()),
    }


def _plan_summary(plan: CameraPlan | None) -> dict | None:
    """What run.json records of a camera's plan: its points, texture and regions."""
    if plan is None:
        return None
    return {
        "points": int(plan.points.sum()),
        "low_texture": int(plan.low_texture.sum()),
        "noise": plan.noise,
        "regions": [
            {"seed": list(seed), "points": int((plan.labels == i).sum())} for i, seed in enumerate(plan.seeds, start=1)
        ],
        "too_small": int(plan.small.sum()),
    }


def _run_json(series: Series, records, run_info: dict) -> dict:
    exp = series.experiment
    return {
        "software": {"dicpipe": __version__},
        "experiment": {
            "file": str(exp.path),
            "sha256": hashlib.sha256(exp.path.read_bytes()).hexdigest(),
            "text": exp.path.read_text(errors="replace"),
        },
        "calibration": None
        if exp.calibration is None
        else {
            "file": str(exp.calibration),
            "digest": series.calibration.digest() if series.calibration is not None else None,
            "units": series.calibration.units if series.calibration is not None else None,
        },
        "mode": series.mode,
        "cameras": len(series.cameras),
        "frames": series.frames,
        "images": [[series.image_name(k, f) for f in range(series.frames)] for k in range(len(series.cameras))],
        "roi": {"kind": exp.roi.kind, "pixels": int(series.cameras[0].roi.sum())},
        "seeds": [None if c.seed is None else list(c.seed) for c in series.cameras],
        "regions": [_plan_summary(c.plan) for c in series.cameras],
        "notes": list(series.notes),
        "stereo": {str(k): _match_summary(m) for k, m in sorted(series.matches.items())},
        "parameters": {
            "dic": series.dic,
            "grid_step": series.step,
            "seed_search_radius": series.dic.get("seed_search_radius", "automatic"),
            "reconstruction": vars(exp.reconstruction),
            "stereo": exp.stereo.as_kwargs(),
            "quality": vars(exp.quality),
            "strain": vars(exp.strain),
            "reference": vars(exp.reference),
            "scale": None if exp.scale is None else {"length_per_px": exp.scale, "units": exp.units},
            "output": {"figures": exp.output.figures, "vtu": exp.output.vtu},
        },
        "settings_digest": series.settings_digest,
        "results": {
            "ok": [r.frame for r in records if r.ok],
            "failed": {str(r.frame): r.reason for r in records if not r.ok},
        },
        "run": run_info,
    }


def run_series(
    series: Series | Experiment,
    out: str | os.PathLike | None = None,
    *,
    jobs: int | None = None,
    scheduler: str | None = None,
    force: bool = False,
    progress: bool = False,
    cli: str | None = None,
) -> SeriesResult:
    """Measure every deformed frame of a series and write the result files.

    For two or more cameras, camera 0's reference image is first matched with
    every other camera's (`match_camera`); camera k's correlations start from
    the ROI and seed its match gives. No file is written before every match
    has succeeded.

    Parameters
    ----------
    series : Series or Experiment
        A prepared series, or an experiment to prepare (`prepare_series`).
    out : path, optional
        The output folder; default: the experiment's ``[output] dir``.
    jobs : int, optional
        Local worker processes (default: the cores of this machine); 1 runs
        everything in this process. The workers are started afresh and import
        the calling script's main module, so a script that calls this must do
        so under ``if __name__ == "__main__":``.
    scheduler : str, optional
        Address of a Dask distributed scheduler (``tcp://host:port``) to run
        the tasks on instead; its workers need dicpipe, dic2d_cli and the
        images at the same paths.
    force : bool
        Recompute frames whose outputs are complete.
    progress : bool
        Show a progress bar on stderr.
    cli : str, optional
        The dic2d_cli to run (default: found as `dicpipe.dic2d.find_cli` does, on each worker).

    Returns
    -------
    SeriesResult

    Raises
    ------
    ExperimentError, ImageError
        Bad input, found before anything is written.
    SchedulerError
        The scheduler cannot be reached (nothing is written).
    OutputError
        The output folder cannot be made (nothing is written).
    dicpipe.stereo.StereoError
        A stereo match failed, for example because the calibration does not
        fit the images (nothing is written).
    """
    from .export import json_bytes, write_atomic

    started = time.time()
    t0 = time.perf_counter()
    bar = None
    runner = None
    references: dict[int, np.ndarray] = {}
    try:
        if isinstance(series, Experiment):
            # Local workers start (and import what they need) while this process checks the input.
            upper = (series.frames - 1) * series.cameras + series.cameras - 1
            runner = open_runner(jobs or default_jobs(), scheduler, upper)
            runner.warm_up()
            inputs = _check_inputs(series)
            ref0 = inputs.infos[0][0]
            # The workers compute the texture while this process checks the seed.
            shared = _share_texture(runner, "0", inputs.references[0], ref0, inputs.roi, inputs.dic, series.quality)
            _camera0_seed(series, inputs.roi, inputs.dic)
            series = _series(inputs, _camera0_plan(inputs, _shared_texture(runner, shared)))
            references = dict(enumerate(inputs.references))
        exp = series.experiment
        out_dir = Path(out) if out is not None else exp.output.dir
        # Cameras k >= 1 get their ROI and seed from this run's stereo match, even when the series
        # was run before.
        cams = [series.cameras[0]] + [CameraSetup(c.index, c.images, None, None) for c in series.cameras[1:]]
        series.matches.clear()
        series.notes.clear()
        n_frames = series.frames
        stereo = series.mode == "stereo"
        chains = exp.reference.strategy != "fixed"
        digests = {f: series.frame_digest(f) for f in range(1, n_frames)}
        records: dict[int, FrameRecord] = {}
        if not force and out_dir.is_dir():
            for f in range(1, n_frames):
                rec = _reusable(out_dir, f, digests[f])
                if rec is not None:
                    records[f] = rec
        resume: list[tuple[Track, Track]] | None = None
        if chains:
            # A track goes on from the last frame of the complete run of frames from frame 1.
            last = 0
            while last + 1 in records:
                last += 1
            while last > 0:
                resume = _load_states(out_dir / _state_file(last), len(cams))
                if resume is not None:
                    break
                last -= 1
            records = {f: r for f, r in records.items() if f <= last}
        todo = [f for f in range(1, n_frames) if f not in records]
        reused = len(records)
        for sub in ("", "frames", "figures"):
            if (out_dir / sub).exists() and not (out_dir / sub).is_dir():
                raise OutputError(f"{_shown(out_dir / sub)}: exists and is not a folder; results need a folder there")
        n_matches = len(cams) - 1 if (stereo and todo) else 0
        n_tasks = len(todo) * len(cams) + n_matches
        if runner is None:
            runner = open_runner(jobs or default_jobs(), scheduler, n_tasks)

        def make_dirs() -> None:
            for sub in ("", "frames", "figures"):
                try:
                    (out_dir / sub).mkdir(parents=True, exist_ok=True)
                except OSError as exc:
                    raise OutputError(
                        f"{_shown(out_dir / sub)}: cannot make the output folder: {exc.strerror}"
                    ) from None
            _clean_partials(out_dir)

        calibration_arrays = series.calibration.module_arrays() if stereo else None
        plans: dict[int, FramePlan] = {}

        def plan_for(f: int) -> FramePlan:
            return FramePlan(
                frame=f,
                mode=series.mode,
                step=series.step,
                images=tuple(series.image_name(k, f) for k in range(len(cams))),
                reference0=cams[0].images[0],
                figures=exp.output.figures,
                vtu=exp.output.vtu,
                units=series.units,
                seed=cams[0].seed,
                calibration=calibration_arrays,
                matches=tuple(series.matches[k] for k in range(1, len(cams))) if stereo else (),
                min_corrcoef=exp.reconstruction.min_corrcoef,
                max_reprojection_error_px=exp.reconstruction.max_reprojection_error_px,
                min_views=exp.reconstruction.min_views,
                strain_window=exp.strain.window,
                strain_tensor=exp.strain.tensor,
                scale=exp.scale,
                scale_units=exp.units,
                subset_radius=int(series.dic.get("subset_radius", _DIC_DEFAULTS["subset_radius"])),
            )

        if progress and reused:
            print(f"reusing {reused} complete frame(s) in {out_dir} (--force recomputes them)", file=sys.stderr)
        if progress and n_tasks:
            from tqdm import tqdm

            bar = tqdm(total=n_tasks, unit="task", desc="correlating", dynamic_ncols=True, file=sys.stderr)
        waiting: dict[Any, tuple[str, int, int]] = {}
        runner.add_plan(0, cams[0].plan)

        def submit_matches() -> None:
            for cam in cams[1:] if n_matches else []:
                args = (cams[0].images[0], cam.images[0], cams[0].plan, series.calibration, cam.index, series.dic)
                fut = runner.submit_or_run(f"match-{cam.index}", _stereo_match, *args, exp.stereo.as_kwargs(), cli)
                waiting[fut] = ("match", 0, cam.index)

        # The matches go first to idle workers; while the workers are starting (or busy), they queue
        # camera 0's tasks first and this process matches meanwhile.
        match_first = runner.idle()
        if match_first:
            submit_matches()
        if not n_matches:
            make_dirs()  # stereo: only once the calibration has proved to fit the images
        queue = deque(todo)
        partial: dict[int, list[CameraResult | None]] = {}
        window = runner.capacity + 2
        # Chains: each camera's tracks (reference, latest) and the tracks after every frame, for the state files.
        from .tracking import start_track

        tracks: dict[int, tuple[Track, Track]] = {}
        states: dict[int, dict[int, tuple[Track, Track]]] = {}
        next_frame: dict[int, int] = {}

        def submit_camera(f: int, k: int) -> None:
            cam = cams[k]
            job = CameraJob(k, f, cam.images[0], cam.images[f], cam.seed, series.dic, cli, exp.quality)
            fut = runner.submit(f"correlate-{f}-{k}", correlate, job, runner.plan(k))
            waiting[fut] = ("camera", f, k)

        def submit_chain(k: int) -> None:
            if not todo or next_frame[k] > todo[-1]:
                return
            f = next_frame[k]
            cam = cams[k]
            tr, tp = tracks[k]
            used = sorted({0, tr.frame, tp.frame, f})
            job = CameraJob(
                k,
                f,
                cam.images[0],
                cam.images[f],
                cam.seed,
                series.dic,
                cli,
                exp.quality,
                exp.reference,
                images=tuple((g, cam.images[g]) for g in used),
            )
            partial.setdefault(f, [None] * len(cams))
            fut = runner.submit(f"track-{f}-{k}", track_camera, job, runner.plan(k), tr, tp)
            waiting[fut] = ("track", f, k)

        def start_chain(k: int) -> None:
            if resume is not None:
                tracks[k] = resume[k]
            else:
                t0_ = start_track(cams[k].plan)
                tracks[k] = (t0_, t0_)
            next_frame[k] = todo[0] if todo else n_frames
            submit_chain(k)

        def start_frame(f: int) -> None:
            partial[f] = [None] * len(cams)
            for cam in cams:
                if cam.plan is not None:  # cameras k >= 1 wait for their stereo match
                    submit_camera(f, cam.index)

        if chains:
            start_chain(0)
        else:
            while queue and len(partial) < window:
                start_frame(queue.popleft())
        if not match_first:
            submit_matches()
        while waiting:
            for fut in runner.wait(list(waiting)):
                kind, f, k = waiting.pop(fut)
                try:
                    outcome = runner.outcome(fut)
                except Exception as exc:  # a fault in a worker: the frame fails, the others go on
                    text = f"internal error: {type(exc).__name__}: {exc}"
                    if kind == "match":
                        outcome = MatchResult(k, None, f"stereo match of camera 0 with camera {k}: {text}")
                    elif kind == "camera":
                        outcome = CameraResult(k, f, None, error=f"camera {k}: {text}")
                    elif kind == "track":
                        outcome = (CameraResult(k, f, None, error=f"camera {k}: {text}"), *tracks[k])
                    else:
                        outcome = _failed(plans[f], text, 0.0)
                if bar is not None and kind != "finish":
                    bar.update(1)
                if kind == "match":
                    if outcome.error:
                        from .stereo import StereoError

                        raise StereoError(outcome.error)
                    m = outcome.match
                    info_k = cams[k].images[0]
                    try:
                        refk = references.pop(k) if k in references else load_image(info_k.path, info_k)
                        shared = _share_texture(runner, str(k), refk, info_k, m.roi, series.dic, exp.quality)
                        texture = _shared_texture(runner, shared)
                        plan_k = _matched_plan(k, refk, info_k, m, series.dic, exp.quality, texture)
                    except Exception as exc:
                        from .stereo import StereoError

                        if not isinstance(exc, (StereoError, ImageError)):
                            raise
                        raise StereoError(f"stereo match of camera 0 with camera {k}: {exc}") from None
                    series.matches[k] = m
                    if outcome.notes:
                        series.notes.append(outcome.notes)
                    cams[k] = CameraSetup(k, cams[k].images, np.asarray(m.roi, dtype=bool), plan_k.seeds[0], plan_k)
                    series.cameras[k] = cams[k]
                    runner.add_plan(k, plan_k)
                    if chains:
                        start_chain(k)
                    else:
                        for g in partial:
                            submit_camera(g, k)
                    if len(series.matches) == len(cams) - 1:
                        make_dirs()
                elif kind in ("camera", "track"):
                    if kind == "track":
                        outcome, new_ref, new_prev = outcome
                        tracks[k] = (new_ref, new_prev)
                        states.setdefault(f, {})[k] = tracks[k]
                        next_frame[k] = f + 1
                        submit_chain(k)
                    partial[f][k] = outcome
                    if all(r is not None for r in partial[f]):
                        plans[f] = plan_for(f)
                        fut2 = runner.submit(f"finish-{f}", finish_frame, plans[f], *partial[f])
                        waiting[fut2] = ("finish", f, -1)
                else:
                    if chains and outcome.record.ok:
                        outcome.files[_state_file(f)] = _state_bytes([states[f][k] for k in range(len(cams))])
                    states.pop(f, None)
                    _write_frame(out_dir, outcome, digests[f])
                    records[f] = outcome.record
                    del partial[f], plans[f]
                    if bar is not None and not outcome.record.ok:
                        bar.write(f"{_frame_name(f)} failed: {outcome.record.reason}")
                    while not chains and queue and len(partial) < window:
                        start_frame(queue.popleft())
        ordered = [records[f] for f in range(1, n_frames)]
        summary = _summary_files(series, ordered)
        if exp.output.figures:  # drawn by a worker: this process need not load matplotlib
            args = (ordered, _components(series), series.units, exp.path.name)
            fut = runner.submit("summary", _summary_figure, *args)
            runner.wait([fut])
            summary["figures/summary.png"] = runner.outcome(fut)
    finally:
        if bar is not None:
            bar.close()
        if runner is not None:
            runner.close()

    for rel, data in summary.items():
        write_atomic(out_dir / rel, data)
    seconds = time.perf_counter() - t0
    run_info = {
        "started": time.strftime("%Y-%m-%dT%H:%M:%S%z", time.localtime(started)),
        "seconds": round(seconds, 3),
        "jobs": None if scheduler else (jobs or default_jobs()),
        "scheduler": scheduler,
        "frames_computed": len(todo),
        "frames_reused": reused,
        "frame_seconds": {str(r.frame): round(r.seconds, 3) for r in ordered},
    }
    write_atomic(out_dir / "run.json", json_bytes(_run_json(series, ordered, run_info)))
    return SeriesResult(out_dir, ordered, computed=len(todo), reused=reused, seconds=seconds)
