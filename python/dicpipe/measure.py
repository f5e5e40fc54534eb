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

This module holds the series records, the preparation of a series and
`run_series`; the rest lives beside it and is re-exported here: the tasks the
workers run (`dicpipe._tasks`), finishing a frame (`dicpipe._frames`), the
markers, track states, summary and run record (`dicpipe._output`) and where
the tasks run (`dicpipe._runners`).

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
import os
import sys
import time
from collections import deque
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from . import __version__
from ._frames import FrameOutput, FramePlan, FrameRecord, MeanStrain, _failed, _frame_name, finish_frame, mean_strain
from ._output import (
    _carry_over,
    _clean_partials,
    _components,
    _load_states,
    _reusable,
    _run_json,
    _state_bytes,
    _state_file,
    _summary_figure,
    _summary_files,
    _write_frame,
)
from ._runners import SchedulerError, default_jobs, open_runner
from ._tasks import (
    CameraJob,
    CameraResult,
    MatchResult,
    _matched_plan,
    _share_texture,
    _shared_texture,
    _shown,
    _stereo_match,
    correlate,
    match_camera,
    track_camera,
)
from .dic2d import DEFAULTS as _DIC_DEFAULTS
from .experiment import Experiment, ExperimentError, dic_options
from .grid import choose_seed, grid_step, label_regions
from .images import ImageError, ImageInfo, load_image, load_mask, probe_image

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


class OutputError(ValueError):
    """The output folder cannot be made (a file is in the way, no permission)."""


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


def _sha256_json(obj) -> str:
    return hashlib.sha256(json.dumps(obj, sort_keys=True, separators=(",", ":")).encode()).hexdigest()


def _relative(path: Path, base: Path) -> str:
    try:
        return Path(path).relative_to(base).as_posix()
    except ValueError:
        return str(path)


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
    step = grid_step(dic.get("subset_spacing", _DIC_DEFAULTS["subset_spacing"]))
    radius = dic.get("subset_radius", _DIC_DEFAULTS["subset_radius"])
    min_area = dic.get("roi_min_region_area", 2000)
    truncation = dic.get("subset_truncation", False)
    margin = 0 if truncation else radius
    where = f"{experiment.path.name}: [roi]"
    h, w = roi.shape
    labels, _ = label_regions(roi)
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
    doc = _run_json(series, ordered, run_info)
    if reused:
        doc = _carry_over(out_dir / "run.json", doc)
    write_atomic(out_dir / "run.json", json_bytes(doc))
    return SeriesResult(out_dir, ordered, computed=len(todo), reused=reused, seconds=seconds)
