"""`dicpipe run` on the real stereo set dice_gt4 against its reference result.

    .venv/bin/python bench/dice_gt4_run.py [--data DIR] [--out DIR] [--jobs N]

The set (read its README): a flat plate with a D-shaped cut-out filmed by two
1920 x 1200 cameras over six frames of nearly rigid motion (about 20 µm, 0.1
px), calibrated by a VIC-3D project file, with a reference result on a 100 px
grid of 123 subsets (Exodus II / netCDF-3). The experiment is the one a user
would write: both cameras' images, source/cal.xml as the calibration (full
lens model), roi_cam0.png as the ROI, subset radius 20 and a 10 px grid.

Compared at the reference result's subsets (our fields interpolated linearly
at their camera-0 pixels):

- stereo match: our camera-1 pixel of each subset centre against theirs (RMS);
- 3D displacement: the reference result is in a best-fit-plane frame; our
  reference points at the subsets are fitted to theirs by a rotation and a
  translation (RMS of the fit printed), and our mean displacement over the
  subsets, rotated into their frame, is compared with theirs per frame;
- strain: the largest component of our area-weighted mean strain tensor
  (the truth is about zero);
- strain over the surface: the median over the faces of |major| and |minor|
  strain, from the strain window ([strain] window, default 5 nodes) and from
  the module's raw per-face values (Epc2, Epc1), whose noise the window
  smooths (the truth is about zero everywhere).

Targets: stereo matches within 0.1 px RMS, every frame measured, mean 3D
displacement within 1 µm of the reference result's, mean strain tensor below
20 µε, windowed strain within 50 µε of zero (median over the surface). The
data live beside the repository (../shared/data/stereo/dice_gt4) or at
$DICE_GT4_DATA; tests/test_pipeline_accuracy.py runs `measure` when they are
there.
"""

from __future__ import annotations

import argparse
import glob
import os
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

REPO_ROOT = Path(__file__).resolve().parents[1]
# The package beside this script, as the tests import it (the installed one may be older).
sys.path.insert(0, str(REPO_ROOT / "python"))

from dicpipe import load_experiment, prepare_series, run_series  # noqa: E402

DEFAULT_DATA = Path(os.environ.get("DICE_GT4_DATA") or REPO_ROOT.parent / "shared" / "data" / "stereo" / "dice_gt4")


@dataclass
class Comparison:
    """The run against the reference result (lengths in mm, strains dimensionless)."""

    frames_ok: int
    frames: int
    subsets: int  # reference subsets compared (valid in the reference and inside our valid points)
    stereo_rms_px: float
    fit_rms_mm: float  # rigid fit of our reference points to the reference result's
    ours_mm: np.ndarray  # (frames - 1, 3) our mean displacement at the subsets, in the reference result's frame
    theirs_mm: np.ndarray  # (frames - 1, 3)
    strain_max: np.ndarray  # (frames - 1,) largest |component| of our mean strain tensor
    window_median: np.ndarray  # (frames - 1, 2) median |major|, |minor| windowed strain over the faces
    raw_median: np.ndarray  # (frames - 1, 2) the same of the module's per-face Epc2, Epc1
    seconds: float

    @property
    def displacement_error_mm(self) -> np.ndarray:
        return np.linalg.norm(self.ours_mm - self.theirs_mm, axis=1)

    def meets_targets(self) -> bool:
        return (
            self.frames_ok == self.frames
            and self.stereo_rms_px < 0.1
            and bool(np.all(self.displacement_error_mm < 1e-3))
            and bool(np.all(self.strain_max < 20e-6))
            and bool(np.all(self.window_median < 50e-6))
        )


def _reference(data: Path) -> dict[str, np.ndarray]:
    from scipy.io import netcdf_file

    with netcdf_file(data / "reference" / "DICe_solution.e", "r", mmap=False) as f:
        names = [b"".join(row).decode().strip("\x00 ") for row in f.variables["name_nod_var"].data]
        return {n: np.asarray(f.variables[f"vals_nod_var{i + 1}"].data, dtype=np.float64) for i, n in enumerate(names)}


def write_experiment(data: Path, folder: Path, mode: str = "precision") -> Path:
    """The experiment file a user would write for the set, with the refinement `mode` of [dic]."""
    images = glob.escape(str(data / "images"))
    text = (
        f'[images]\ncameras = ["{images}/GT4-*_0.tif", "{images}/GT4-*_1.tif"]\n'
        f'[calibration]\nfile = "{data / "source" / "cal.xml"}"\n'
        f'[roi]\nmask = "{data / "roi_cam0.png"}"\n'
        f'[dic]\nsubset_radius = 20\nsubset_spacing = 9\nmode = "{mode}"\n'
        "[output]\nfigures = false\n"
    )
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "experiment.toml").write_text(text)
    return folder / "experiment.toml"


def _rigid_rotation(a: np.ndarray, b: np.ndarray) -> tuple[np.ndarray, np.ndarray, float]:
    """R, t with b ~ R a + t (least squares, a proper rotation) and the RMS residual."""
    ca, cb = a.mean(axis=0), b.mean(axis=0)
    u, _, vt = np.linalg.svd((a - ca).T @ (b - cb))
    d = np.sign(np.linalg.det(vt.T @ u.T))
    R = vt.T @ np.diag([1.0, 1.0, d]) @ u.T
    t = cb - R @ ca
    residual = b - (a @ R.T + t)
    return R, t, float(np.sqrt((residual**2).sum(axis=1).mean()))


def measure(data: Path, out: Path, jobs: int | None = None, mode: str = "precision") -> Comparison:
    """Run the experiment (refinement `mode`) into `out` and compare it with the reference result."""
    from scipy.interpolate import LinearNDInterpolator

    start = time.perf_counter()
    series = prepare_series(load_experiment(write_experiment(data, out, mode)))
    result = run_series(series, out / "results", jobs=jobs)
    seconds = time.perf_counter() - start

    ref = _reference(data)
    pix = np.stack([ref["COORDINATE_X"][0], ref["COORDINATE_Y"][0]], axis=1)
    theirs_ok = (ref["SIGMA"] >= 0).all(axis=0)
    frames = series.frames
    arrays = []
    for f in range(1, frames):
        with np.load(out / "results" / "frames" / f"frame_{f:04d}.npz") as z:
            keys = ("uv0", "valid", "points_ref", "displacement", "uv_ref_b", "mean_strain")
            keys += ("strain_major", "strain_minor", "Epc1", "Epc2")
            arrays.append({k: z[k] for k in keys})
    # Our values at the reference subsets, from our valid points of frame 1 (the stereo match and the
    # reference points are the same in every frame).
    first = arrays[0]
    interp = LinearNDInterpolator(first["uv0"][first["valid"]], first["points_ref"][first["valid"]])
    ours_ref = interp(pix)
    stereo = LinearNDInterpolator(first["uv0"][first["valid"]], first["uv_ref_b"][first["valid"]])(pix)
    use = theirs_ok & np.isfinite(ours_ref).all(axis=1) & np.isfinite(stereo).all(axis=1)
    theirs_stereo = np.stack([ref["STEREO_COORDINATES_X"][0], ref["STEREO_COORDINATES_Y"][0]], axis=1)
    stereo_rms = float(np.sqrt(((stereo[use] - theirs_stereo[use]) ** 2).sum(axis=1).mean()))
    theirs_ref = np.stack([ref[f"MODEL_COORDINATES_{c}"][0] for c in "XYZ"], axis=1)
    R, _, fit_rms = _rigid_rotation(ours_ref[use], theirs_ref[use])

    ours, theirs, strain, window, raw = [], [], [], [], []
    for f, z in enumerate(arrays, start=1):
        ok = z["valid"]
        disp = LinearNDInterpolator(z["uv0"][ok], z["displacement"][ok])(pix)
        sel = use & np.isfinite(disp).all(axis=1)
        ours.append(R @ disp[sel].mean(axis=0))
        theirs.append(np.stack([ref[f"MODEL_DISPLACEMENT_{c}"][f][sel] for c in "XYZ"], axis=1).mean(axis=0))
        strain.append(float(np.abs(z["mean_strain"]).max()))
        window.append([float(np.nanmedian(np.abs(z[k]))) for k in ("strain_major", "strain_minor")])
        raw.append([float(np.nanmedian(np.abs(z[k]))) for k in ("Epc2", "Epc1")])
    return Comparison(
        frames_ok=sum(r.ok for r in result.records),
        frames=len(result.records),
        subsets=int(use.sum()),
        stereo_rms_px=stereo_rms,
        fit_rms_mm=fit_rms,
        ours_mm=np.array(ours),
        theirs_mm=np.array(theirs),
        strain_max=np.array(strain),
        window_median=np.array(window),
        raw_median=np.array(raw),
        seconds=seconds,
    )


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA, help=f"the data set (default {DEFAULT_DATA})")
    ap.add_argument("--out", type=Path, default=None, help="where the experiment and results go (default: temporary)")
    ap.add_argument("--jobs", type=int, default=None)
    ap.add_argument("--mode", choices=("precision", "standard"), default="precision", help="[dic] mode")
    args = ap.parse_args()
    if not (args.data / "reference" / "DICe_solution.e").is_file():
        print(f"dice_gt4 not found in {args.data} (use --data or $DICE_GT4_DATA)", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory(prefix="dicpipe_gt4_") as tmp:
        c = measure(args.data, args.out or Path(tmp), args.jobs, args.mode)
    print(f"[dic] mode = {args.mode}")
    print(f"dicpipe run: {c.frames_ok} of {c.frames} frames measured in {c.seconds:.1f} s")
    print(f"reference subsets compared: {c.subsets}")
    print(f"stereo matches against the reference result's: {c.stereo_rms_px:.4f} px RMS")
    print(f"rigid fit of our reference points to the reference result's: {1000 * c.fit_rms_mm:.2f} µm RMS")
    print("frame   mean displacement, ours (µm)        reference result (µm)          |difference|  mean strain max")
    for f, (o, t, e, s) in enumerate(zip(c.ours_mm, c.theirs_mm, c.displacement_error_mm, c.strain_max), start=1):
        print(
            f"{f:5d}   ({1000 * o[0]:6.2f}, {1000 * o[1]:6.2f}, {1000 * o[2]:7.2f})   "
            f"({1000 * t[0]:6.2f}, {1000 * t[1]:6.2f}, {1000 * t[2]:7.2f})   {1000 * e:8.3f} µm   {1e6 * s:8.2f} µε"
        )
    print("frame   median |strain| over the surface (µε): windowed major, minor    raw per-face major, minor")
    for f, (w, r) in enumerate(zip(c.window_median, c.raw_median), start=1):
        print(f"{f:5d}   {1e6 * w[0]:8.1f} {1e6 * w[1]:8.1f}            {1e6 * r[0]:8.1f} {1e6 * r[1]:8.1f}")
    targets = "0.1 px, every frame, 1 µm, 20 µε, windowed strain 50 µε"
    print(f"targets ({targets}): {'met' if c.meets_targets() else 'NOT met'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
