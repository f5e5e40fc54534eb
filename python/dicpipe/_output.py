"""The files of a series besides the frames' own: completion markers, track states, summary and run record.

A frame's files are written atomically and its marker
(``frames/frame_NNNN.json``, holding the digest of everything that
determined the frame) last, so that a later run reuses exactly the frames
whose marker matches and whose files are all there (`_reusable`). Chains of
tracks keep each frame's track state beside it (``frame_NNNN_tracks.npz``)
to go on from. ``summary.csv``, ``figures/summary.png`` and ``run.json``
describe the whole series.
"""

from __future__ import annotations

import hashlib
import json
import math
from pathlib import Path
from typing import TYPE_CHECKING

import numpy as np

from . import __version__
from ._frames import _COUNTED_FLAGS, FrameOutput, FrameRecord, _frame_name

if TYPE_CHECKING:
    from .measure import Series
    from .tracking import CameraPlan, Track

__all__: list[str] = []


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


def _carry_over(previous: Path, doc: dict) -> dict:
    """`doc` with the stereo matches, seeds and plans this run did not compute taken from `previous`.

    A run that reuses every frame matches no stereo pair and plans no camera
    beyond camera 0; the run that computed those frames recorded them. They
    are taken from the earlier run.json when it was made with the same
    settings and reference images (the same inputs give the same match), so
    that a rerun does not erase what is known of the measurement.
    """
    try:
        old = json.loads(previous.read_text())
        same = old.get("settings_digest") == doc["settings_digest"] and [i[0] for i in old["images"]] == [
            i[0] for i in doc["images"]
        ]
        if not same:
            return doc
        doc["stereo"] = {**{k: v for k, v in old.get("stereo", {}).items() if k not in doc["stereo"]}, **doc["stereo"]}
        doc["stereo"] = dict(sorted(doc["stereo"].items(), key=lambda kv: int(kv[0])))
        for key in ("seeds", "regions"):
            mine, theirs = doc[key], old.get(key, [])
            if len(theirs) == len(mine):
                doc[key] = [t if m is None else m for m, t in zip(mine, theirs)]
    except (OSError, ValueError, KeyError, TypeError, IndexError):
        pass  # no earlier record, or one we did not write: keep this run's own
    return doc


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
