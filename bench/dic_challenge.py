"""Sub-pixel accuracy of dic2d_cli on the 2D DIC Challenge 1.0 images (samples 3 and 16).

Sample 3 is synthetic (512 x 512): eleven images shifted by u = v = 0.1 * NN px
against one reference; image 000 has zero motion and its own noise, so it
measures the noise floor. Sample 16 is a sequence of real camera frames
(487 x 325) of a specimen on a translation stage moving the content toward -x
by the stage value |u|; the field is slightly non-uniform, so the field mean
is what is compared with the stage value.

Every shift is one dic2d_cli run with the default subset radius (20) and
spacing (5), over the whole image less a border of radius + 3 px, seeded at
the reduced-grid point nearest the ROI centre (the program's seed search
starts from zero displacement). Per shift: valid / total grid points, bias
(mean error over the valid points) and standard deviation of u and v, RMS
error of the displacement vector, and wall time of the run. Run by hand:

    .venv/bin/python bench/dic_challenge.py [--data DIR] [--out DIR]

Writes <out>/dic_challenge.md (the tables) and <out>/dic_challenge.png (bias
against the true shift, std as error bars), and copies the figure to
docs/dic_challenge_bias.png.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

REPO_ROOT = Path(__file__).resolve().parents[1]
try:
    import dicpipe  # noqa: F401  (installed into the venv by scripts/build.sh)
except ImportError:
    sys.path.insert(0, str(REPO_ROOT / "python"))

from dicpipe.dic2d import DEFAULTS, Dic2dError, find_cli, run_dic2d  # noqa: E402
from dicpipe.files import write_image, write_mask  # noqa: E402
from dicpipe.grid import choose_seed, grid_step  # noqa: E402

DEFAULT_DATA = REPO_ROOT.parent / "shared" / "data" / "dic-challenge-1"
DEFAULT_OUT = REPO_ROOT / "out" / "dic_challenge"
FIGURE_COPY = REPO_ROOT / "docs" / "dic_challenge_bias.png"

RADIUS = DEFAULTS["subset_radius"]
SPACING = DEFAULTS["subset_spacing"]
# The ROI keeps a few pixels more than the subset radius from the image
# border, so every subset of a grid point lies inside the image.
BORDER = RADIUS + 3

# Sample 16: stage displacement |u| (px) for frame JJ = 00, 05, ..., 50, from
# the stage record (stated accuracy +/- 0.00084 px). The content moves toward -x.
SAMPLE16_STAGE = {
    0: 0.0000,
    5: 0.1002,
    10: 0.2004,
    15: 0.3006,
    20: 0.4008,
    25: 0.5009,
    30: 0.6011,
    35: 0.7013,
    40: 0.8015,
    45: 0.9017,
    50: 1.0019,
}


@dataclass
class Case:
    """One deformed image and its true uniform motion (px)."""

    label: str
    path: Path
    u_true: float
    v_true: float


@dataclass
class Sample:
    name: str
    title: str
    reference: Path
    cases: list


@dataclass
class Measurement:
    case: Case
    valid: int
    total: int
    bias_u: float
    bias_v: float
    std_u: float
    std_v: float
    rms: float
    seconds: float


def load_gray8(path: Path) -> np.ndarray:
    """An 8-bit grayscale picture as float64 [y, x]; every gray level is exact in float64."""
    from PIL import Image

    with Image.open(path) as im:
        if im.mode != "L":
            raise ValueError(f"{path}: expected an 8-bit grayscale picture, got mode {im.mode!r}")
        im.load()
        return np.asarray(im, dtype=np.float64)


def sample3(data: Path) -> Sample:
    folder = data / "sample3"
    cases = []
    for nn in range(11):
        matches = sorted(folder.glob(f"Sample3-{nn:03d} *.tif"))
        if len(matches) != 1:
            raise FileNotFoundError(f"expected one file Sample3-{nn:03d} *.tif in {folder}, found {len(matches)}")
        path = matches[0]
        shift = 0.1 * nn
        # The file name states the motion too; a mismatch means the wrong file.
        named = re.search(r" X(-?\d+\.\d+) Y(-?\d+\.\d+) ", path.name)
        if named is None or abs(float(named[1]) - shift) > 1e-9 or abs(float(named[2]) - shift) > 1e-9:
            raise ValueError(f"{path.name}: name does not state u = v = {shift:.2f}")
        cases.append(Case(f"{shift:.1f}", path, shift, shift))
    return Sample("sample3", "Sample 3 (synthetic, u = v)", folder / "Sample3 Reference.tif", cases)


def sample16(data: Path) -> Sample:
    folder = data / "sample16"

    def frame(jj: int) -> Path:
        return folder / f"50pix-test1-00{jj:02d}_0-Dec-Avg 000{jj:02d}.tif"

    # "+ 0.0" makes the zero shift 0.0 rather than -0.0.
    cases = [Case(f"{-mag + 0.0:.4f}", frame(jj), -mag + 0.0, 0.0) for jj, mag in SAMPLE16_STAGE.items()]
    return Sample("sample16", "Sample 16 (real stage, u = -|u|, v = 0)", frame(0), cases)


def roi_mask(shape: tuple[int, int]) -> np.ndarray:
    h, w = shape
    mask = np.zeros((h, w), dtype=bool)
    mask[BORDER : h - BORDER, BORDER : w - BORDER] = True
    return mask


def measure(sample: Sample, cli: str, workdir: Path) -> list[Measurement]:
    reference = load_gray8(sample.reference)
    mask = roi_mask(reference.shape)
    seed = choose_seed(mask, grid_step(SPACING), RADIUS)
    # The reference and the mask are the same for every shift: write them once.
    ref_path = workdir / f"{sample.name}_reference.bin"
    mask_path = workdir / f"{sample.name}_mask.bin"
    write_image(ref_path, reference)
    write_mask(mask_path, mask)
    print(
        f"{sample.name}: {reference.shape[1]} x {reference.shape[0]} px, ROI border {BORDER} px, seed {seed}",
        flush=True,
    )
    results = []
    for case in sample.cases:
        deformed = load_gray8(case.path)
        if deformed.shape != reference.shape:
            raise ValueError(f"{case.path.name}: size {deformed.shape} differs from the reference's")
        start = time.perf_counter()
        run = run_dic2d(
            ref_path, deformed, mask_path, seed, cli=cli, workdir=workdir, subset_radius=RADIUS, subset_spacing=SPACING
        )
        seconds = time.perf_counter() - start
        f = run.field
        ok = f.valid
        eu = f.u[ok] - case.u_true
        ev = f.v[ok] - case.v_true
        n = int(ok.sum())
        results.append(
            Measurement(
                case=case,
                valid=n,
                total=run.reference_grid_points,
                bias_u=float(eu.mean()) if n else float("nan"),
                bias_v=float(ev.mean()) if n else float("nan"),
                std_u=float(f.u[ok].std(ddof=1)) if n > 1 else float("nan"),
                std_v=float(f.v[ok].std(ddof=1)) if n > 1 else float("nan"),
                rms=float(np.sqrt(np.mean(eu * eu + ev * ev))) if n else float("nan"),
                seconds=seconds,
            )
        )
        print(f"  shift {case.label}: {n}/{run.reference_grid_points} valid, {seconds:.2f} s", flush=True)
    return results


def table(results: list[Measurement]) -> str:
    lines = [
        "| shift (px) | valid | bias u (px) | bias v (px) | std u (px) | std v (px) | RMS error (px) | time (s) |",
        "|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for m in results:
        lines.append(
            f"| {m.case.label} | {m.valid}/{m.total} | {m.bias_u:+.4f} | {m.bias_v:+.4f} | "
            f"{m.std_u:.4f} | {m.std_v:.4f} | {m.rms:.4f} | {m.seconds:.2f} |"
        )
    return "\n".join(lines)


def summary(results: list[Measurement]) -> str:
    worst = max(max(abs(m.bias_u), abs(m.bias_v)) for m in results)
    rms_bias = np.sqrt(np.mean([m.bias_u**2 + m.bias_v**2 for m in results]) / 2)
    total = sum(m.seconds for m in results)
    return (
        f"Largest |bias| {worst:.4f} px; RMS of the biases (u and v) {rms_bias:.4f} px; "
        f"{total:.1f} s for {len(results)} runs."
    )


def plot(samples: list[Sample], results: list[list[Measurement]], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(samples), figsize=(6 * len(samples), 4.2), squeeze=False)
    for ax, sample, res in zip(axes[0], samples, results):
        x = np.array([m.case.u_true for m in res])
        ax.set_xlabel("true shift u = v (px)" if sample.name == "sample3" else "true shift u (px), v = 0")
        bu = np.array([m.bias_u for m in res])
        bv = np.array([m.bias_v for m in res])
        su = np.array([m.std_u for m in res])
        sv = np.array([m.std_v for m in res])
        dx = 0.006 * (x.max() - x.min())  # side by side, so the error bars do not hide each other
        ax.errorbar(x - dx, bu, yerr=su, marker="o", ms=4, capsize=3, label="bias u (mean error)")
        ax.errorbar(x + dx, bv, yerr=sv, marker="s", ms=4, capsize=3, label="bias v (mean error)")
        ax.axhline(0.0, color="0.5", lw=0.8)
        ax.set_ylabel("error (px); bars: std over the field")
        ax.set_title(sample.title)
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=8)
    fig.suptitle(f"dic2d_cli bias, subset radius {RADIUS}, spacing {SPACING} (bilinear interpolation)")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    plt.close(fig)


def locate_cli() -> str:
    """$DIC2D_CLI, else dic2d_cli on PATH, else the one installed beside this interpreter (.venv/bin)."""
    try:
        return find_cli()
    except Dic2dError:
        beside = Path(sys.executable).parent / "dic2d_cli"
        if beside.is_file() and os.access(beside, os.X_OK):
            return str(beside)
        raise


def machine() -> str:
    return f"{platform.machine()}, {os.cpu_count()} cores, {platform.system()} {platform.release()}"


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA, help="folder with sample3/ and sample16/")
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT, help="folder for the tables and the figure")
    args = ap.parse_args(argv)

    cli = locate_cli()
    samples = [sample3(args.data), sample16(args.data)]
    args.out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="dic_challenge_") as tmp:
        results = [measure(s, cli, Path(tmp)) for s in samples]

    parts = [
        "# dic2d_cli on the 2D DIC Challenge 1.0 images",
        "",
        f"Subset radius {RADIUS}, spacing {SPACING} (grid step {grid_step(SPACING)}), other options at "
        f"their defaults; ROI = image less a {BORDER} px border; seed at the grid point nearest the ROI "
        "centre. Bias = mean of (measured - true) over the valid points; std = standard deviation "
        "of the measured u, v over the field; RMS error of the displacement vector; time = wall "
        f"time of one dic2d_cli run including its file input/output ({machine()}, shared with other "
        "work: indicative only).",
    ]
    for sample, res in zip(samples, results):
        parts += ["", f"## {sample.title}", "", table(res), "", summary(res)]
    text = "\n".join(parts) + "\n"
    print()
    print(text)
    (args.out / "dic_challenge.md").write_text(text)
    figure = args.out / "dic_challenge.png"
    plot(samples, results, figure)
    FIGURE_COPY.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(figure, FIGURE_COPY)
    print(f"wrote {args.out / 'dic_challenge.md'}, {figure} and {FIGURE_COPY}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
