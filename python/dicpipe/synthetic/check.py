"""Compare the results of `dicpipe run` on a rendered example with the example's truth.

    python -m dicpipe.synthetic.check EXAMPLE_DIR [RESULTS_DIR]

RESULTS_DIR defaults to EXAMPLE_DIR/results. For every deformed frame the
result file ``frames/frame_NNNN.npz`` is read (``points_ref``,
``displacement``, ``valid``, ``faces``, ``Epc1``, ``Epc2``,
``valid_strain_faces``) and compared with the known deformation:

- the true displacement is evaluated at each valid measured reference point;
  the mean applied displacement is the mean of its length, the error the
  length of measured minus true displacement (mean and max);
- the true in-plane principal strains of each valid face are those of the
  frame's deformation gradient in the tangent plane of the true reference
  surface below the face's centroid; the medians of measured and true
  values are compared (``Epc2`` major, ``Epc1`` minor).

Exit status: 0 when every frame was compared, 1 when a frame's file is
missing or malformed (the other frames are still reported), 2 when the
example or the results directory cannot be used.
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import zipfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .truth import Truth, TruthError, load_truth

__all__ = ["Check", "CheckError", "FrameCheck", "check_frame", "check_results", "main"]

_FIELDS = {
    # name: (trailing shape, rows ("points" or "faces"), accepted dtype kinds)
    "points_ref": ((3,), "points", "f"),
    "displacement": ((3,), "points", "f"),
    "valid": ((), "points", "biu"),
    "faces": ((3,), "faces", "iu"),
    "Epc1": ((), "faces", "f"),
    "Epc2": ((), "faces", "f"),
    "valid_strain_faces": ((), "faces", "biu"),
}


class CheckError(ValueError):
    """The example or a result file cannot be compared (the message names the file and the key)."""


@dataclass(frozen=True)
class FrameCheck:
    """One deformed frame's result against the truth; lengths in the calibration's units.

    `error` is empty when the frame was compared, else the reason it could
    not be (the figures are then zero or NaN).
    """

    frame: int
    path: Path
    error: str = ""
    points: int = 0
    valid_points: int = 0
    faces: int = 0
    valid_faces: int = 0
    applied_mean: float = math.nan  # mean length of the true displacement at the valid points
    error_mean: float = math.nan  # mean length of (measured - true displacement)
    error_max: float = math.nan
    surface_distance_mean: float = math.nan  # mean |height| of the measured reference points above the true surface
    major: float = math.nan  # median Epc2 of the valid faces
    major_truth: float = math.nan  # median true major strain of the same faces
    minor: float = math.nan  # median Epc1
    minor_truth: float = math.nan

    @property
    def compared(self) -> bool:
        return not self.error

    @property
    def error_percent(self) -> float:
        """Mean displacement error in % of the mean applied displacement."""
        if not self.applied_mean > 0:
            return math.nan
        return 100.0 * self.error_mean / self.applied_mean

    def meets(
        self,
        *,
        displacement_rel: float = 0.02,
        displacement_abs: float = 0.01,
        strain_rel: float = 0.05,
        strain_abs: float = 1e-4,
    ) -> bool:
        """Mean displacement error <= rel * applied + abs and both median strains within rel * |truth| + abs.

        The defaults are the tolerances a rendered example must meet
        (lengths in the calibration's units, millimetres for examples).
        """
        if not self.compared or self.valid_points == 0 or self.valid_faces == 0:
            return False
        ok = self.error_mean <= displacement_rel * self.applied_mean + displacement_abs
        for measured, truth in ((self.major, self.major_truth), (self.minor, self.minor_truth)):
            ok = ok and abs(measured - truth) <= strain_rel * abs(truth) + strain_abs
        return bool(ok)


@dataclass(frozen=True)
class Check:
    """Every deformed frame of an example's results against the truth."""

    example: Path
    results: Path
    truth: Truth
    frames: tuple[FrameCheck, ...]

    @property
    def complete(self) -> bool:
        """True when every deformed frame had a readable result file."""
        return all(f.compared for f in self.frames)

    def meets(self, **tolerances: float) -> bool:
        """True when every frame `FrameCheck.meets` the tolerances."""
        return all(f.meets(**tolerances) for f in self.frames)

    def report(self) -> str:
        """The comparison as a text table, one row per frame."""
        t = self.truth
        shape = "flat plate" if t.surface.kx == 0 and t.surface.ky == 0 else "curved shell"
        u = t.units
        lines = [
            f"example  {self.example} ({t.cameras} cameras, {t.frames} frames, {shape})",
            f"results  {self.results}",
            "",
            f"{'frame':>5} {'valid points':>13} {'valid faces':>13} {'applied':>9} {'error mean':>10} "
            f"{'of applied':>10} {'error max':>9} {'major':>8} {'truth':>8} {'minor':>8} {'truth':>8}",
            f"{'':>5} {'':>13} {'':>13} {'[' + u + ']':>9} {'[' + u + ']':>10} {'[%]':>10} {'[' + u + ']':>9} "
            f"{'[µε]':>8} {'[µε]':>8} {'[µε]':>8} {'[µε]':>8}",
        ]
        for f in self.frames:
            if not f.compared:
                lines.append(f"{f.frame:5d} {f.error}")
                continue
            lines.append(
                f"{f.frame:5d} {f.valid_points:>6d}/{f.points:<6d} {f.valid_faces:>6d}/{f.faces:<6d} "
                f"{f.applied_mean:9.4f} {f.error_mean:10.5f} {f.error_percent:9.3f}% {f.error_max:9.5f} "
                + " ".join(f"{_micro(e):8.1f}" for e in (f.major, f.major_truth, f.minor, f.minor_truth))
            )
        return "\n".join(lines)


def _micro(strain: float) -> float:
    """Strain in µε rounded to 0.1, without a sign on a rounded zero."""
    return round(1e6 * strain, 1) + 0.0


def check_results(example_dir: str | os.PathLike, results_dir: str | os.PathLike | None = None) -> Check:
    """Compare the result files of every deformed frame with the truth of an example directory.

    Parameters
    ----------
    example_dir : the directory `write_example` wrote (holds ``truth.npz``).
    results_dir : the results of `dicpipe run`; default ``example_dir/results``.

    Raises
    ------
    CheckError
        The truth cannot be read or the results directory does not exist.
        A missing or malformed frame file does not raise: its `FrameCheck`
        carries the reason.
    """
    example = Path(example_dir)
    results = Path(results_dir) if results_dir is not None else example / "results"
    try:
        truth = load_truth(example)
    except TruthError as exc:
        raise CheckError(str(exc)) from None
    if not results.is_dir():
        raise CheckError(f"{results}: no results directory (run `dicpipe run` on {example / 'experiment.toml'})")
    frames = tuple(check_frame(truth, f, results / "frames" / f"frame_{f:04d}.npz") for f in range(1, truth.frames))
    return Check(example=example, results=results, truth=truth, frames=frames)


def check_frame(truth: Truth, frame: int, path: str | os.PathLike) -> FrameCheck:
    """Compare one result file with the truth of `frame`; a file that cannot be read gives `error`."""
    path = Path(path)
    try:
        r = _read_frame(path)
    except CheckError as exc:
        return FrameCheck(frame=frame, path=path, error=str(exc))

    X, D = r["points_ref"], r["displacement"]
    valid = r["valid"].astype(bool) & np.isfinite(X).all(axis=1) & np.isfinite(D).all(axis=1)
    Xv = X[valid]
    applied = truth.displacement(frame, Xv)
    err = np.linalg.norm(D[valid] - applied, axis=1)

    faces = r["faces"]
    if len(faces) and (faces.min() < 0 or faces.max() >= len(X)):
        return FrameCheck(frame=frame, path=path, error=f"{path}: 'faces' refers to points beyond {len(X)} rows")
    e1, e2 = r["Epc1"], r["Epc2"]
    fok = r["valid_strain_faces"].astype(bool) & np.isfinite(e1) & np.isfinite(e2)
    centroid = X[faces[fok]].mean(axis=1) if np.any(fok) else np.zeros((0, 3))
    minor_t, major_t = truth.surface_strain(frame, truth.normal(centroid))
    keep = np.isfinite(minor_t) & np.isfinite(major_t)
    idx = np.flatnonzero(fok)[keep]

    def median(a: np.ndarray) -> float:
        return float(np.median(a)) if len(a) else math.nan

    return FrameCheck(
        frame=frame,
        path=path,
        points=len(X),
        valid_points=int(np.count_nonzero(valid)),
        faces=len(faces),
        valid_faces=len(idx),
        applied_mean=float(np.linalg.norm(applied, axis=1).mean()) if len(err) else math.nan,
        error_mean=float(err.mean()) if len(err) else math.nan,
        error_max=float(err.max()) if len(err) else math.nan,
        surface_distance_mean=float(np.abs(truth.surface_distance(Xv)).mean()) if len(err) else math.nan,
        major=median(e2[idx]),
        major_truth=median(major_t[keep]),
        minor=median(e1[idx]),
        minor_truth=median(minor_t[keep]),
    )


def _read_frame(path: Path) -> dict[str, np.ndarray]:
    if not path.is_file():
        raise CheckError(f"{path}: missing")
    try:
        with np.load(path, allow_pickle=False) as z:
            names = set(z.files)
            for key in _FIELDS:
                if key not in names:
                    raise CheckError(f"{path}: missing '{key}'")
            arrays = {key: z[key] for key in _FIELDS}
    except (OSError, ValueError, zipfile.BadZipFile) as exc:
        if isinstance(exc, CheckError):
            raise
        raise CheckError(f"{path}: not a result archive ({exc})") from None
    rows = {
        "points": len(arrays["points_ref"]) if arrays["points_ref"].ndim else -1,
        "faces": len(arrays["faces"]) if arrays["faces"].ndim else -1,
    }
    for key, (trailing, count, kinds) in _FIELDS.items():
        a = arrays[key]
        want = (rows[count], *trailing)
        if a.shape != want:
            raise CheckError(f"{path}: '{key}' has shape {a.shape}, expected {want}")
        if a.dtype.kind not in kinds:
            raise CheckError(f"{path}: '{key}' has type {a.dtype}")
    return arrays


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m dicpipe.synthetic.check",
        description="Compare the results of `dicpipe run` on a rendered example with its truth.",
    )
    parser.add_argument("example", type=Path, help="the example directory (holds truth.npz)")
    parser.add_argument("results", type=Path, nargs="?", help="the results directory (default EXAMPLE/results)")
    args = parser.parse_args(argv)
    try:
        check = check_results(args.example, args.results)
    except CheckError as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    print(check.report())
    return 0 if check.complete else 1


if __name__ == "__main__":
    sys.exit(main())
