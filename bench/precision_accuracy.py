"""Accuracy of dic2d_cli's precision options against the default refinement.

Four checks, each printed as a small table (run by hand, asserts nothing):

1. Noise-free analytic speckle (Gaussian spots rendered exactly) under an
   affine motion, 512 x 512, default subset: RMS error of (u, v) and of the
   four displacement gradients over the solved points.
2. 2D DIC Challenge 1.0 sample 3 (when ../shared/data/dic-challenge-1 is
   there): bias (mean error) and standard deviation of u and v at every shift
   0.0 .. 1.0 px, the ROI being the image less a border of radius + 3 px.
3. Lighting: the deformed image of check 1 replaced by 1.3 x it + 25 gray
   levels; the largest change of u and v against the unlit run.
4. Seed guess: a 300 px disparity found with the default seed window.

5. Peak resident memory of dic2d_cli (GNU time) on dic2d_bench's 1024 x 1024
   pair in each mode, against twice the input files plus 32 MiB.

    .venv/bin/python bench/precision_accuracy.py [--cli PATH] [--data DIR]
"""

from __future__ import annotations

import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

REPO_ROOT = Path(__file__).resolve().parents[1]
try:
    import dicpipe  # noqa: F401
except ImportError:
    sys.path.insert(0, str(REPO_ROOT / "python"))
from dicpipe.files import read_output, write_image, write_mask  # noqa: E402

DEFAULT_DATA = REPO_ROOT.parent / "shared" / "data" / "dic-challenge-1"
RADIUS = 20
SPACING = 5
MODES = {
    "default": {},
    "znssd+bspline3": {"criterion": "znssd", "interpolation": "bspline3"},
    "znssd+bspline3, sigma 0.6": {"criterion": "znssd", "interpolation": "bspline3", "smoothing_sigma": 0.6},
}


def speckle(width: int, height: int, motion, seed: int = 5, density: float = 0.035) -> np.ndarray:
    """Gaussian spots (radius ~2.3 px) seen after the motion x' = X + t + G (X - c), [y, x]."""
    rng = np.random.default_rng(seed)
    count = int(density * (width + 20) * (height + 20))
    sx = rng.uniform(-10, width + 10, count)
    sy = rng.uniform(-10, height + 10, count)
    amp = rng.uniform(40.0, 120.0, count)
    (u0, v0), g, c = motion
    y, x = np.mgrid[0:height, 0:width].astype(float)
    inv = np.linalg.inv(np.eye(2) + np.asarray(g))
    rx, ry = x - c[0] - u0, y - c[1] - v0
    X = c[0] + inv[0, 0] * rx + inv[0, 1] * ry
    Y = c[1] + inv[1, 0] * rx + inv[1, 1] * ry
    out = np.full((height, width), 30.0)
    for a, b, w in zip(sx, sy, amp):
        d2 = (X - a) ** 2 + (Y - b) ** 2
        near = d2 < 50.0
        out[near] += w * np.exp(-d2[near] / 5.0)
    return out


def run_cli(cli: str, files: dict, seed, options: dict, out: Path) -> tuple[dict, int, float]:
    """One run: its report, the peak resident memory of the process (bytes) and wall seconds."""
    args = [cli, "--reference", str(files["reference"]), "--deformed", str(files["deformed"])]
    args += ["--mask", str(files["mask"]), "--seed-x", str(seed[0]), "--seed-y", str(seed[1])]
    for key, value in options.items():
        args += ["--" + key.replace("_", "-"), str(value)]
    args += ["--output", str(out)]
    timer = shutil.which("time", path="/usr/bin")
    start = time.perf_counter()
    with tempfile.NamedTemporaryFile("r", suffix=".txt") as peak_file:
        # GNU time measures the program alone (a child forked by this
        # interpreter would count the interpreter's pages too).
        command = [timer, "-f", "%M", "-o", peak_file.name, *args] if timer else args
        proc = subprocess.run(command, capture_output=True, text=True, check=False)
        peak_text = Path(peak_file.name).read_text().strip()
    elapsed = time.perf_counter() - start
    report = json.loads(proc.stdout)
    if not report.get("ok"):
        raise RuntimeError(f"dic2d_cli failed: {report}")
    peak = int(peak_text.splitlines()[-1]) * 1024 if peak_text else 0
    return report, peak, elapsed


def write_pair(root: Path, reference: np.ndarray, deformed: np.ndarray, border: int) -> dict:
    files = {"reference": root / "ref.bin", "deformed": root / "def.bin", "mask": root / "mask.bin"}
    write_image(files["reference"], reference)
    write_image(files["deformed"], deformed)
    mask = np.zeros(reference.shape, np.uint8)
    mask[border:-border, border:-border] = 1
    write_mask(files["mask"], mask)
    return files


def input_bytes(files: dict) -> int:
    return sum(Path(p).stat().st_size for p in files.values())


def centre_seed(shape) -> tuple[int, int]:
    step = SPACING + 1
    return (shape[1] // 2 // step * step, shape[0] // 2 // step * step)


def affine_check(cli: str, root: Path) -> None:
    size = 512
    c = (size / 2, size / 2)
    g = [[0.004, -0.002], [0.003, -0.005]]
    motion = ((1.35, -0.72), g, c)
    reference = speckle(size, size, ((0.0, 0.0), [[0, 0], [0, 0]], c))
    deformed = speckle(size, size, motion)
    files = write_pair(root, reference, deformed, RADIUS + 3)
    seed = centre_seed(reference.shape)
    print(f"\n## Noise-free analytic speckle, affine motion ({size} x {size}, radius {RADIUS})\n")
    print("| mode | solved | RMS error (u, v) px | RMS gradient error |")
    print("|---|---|---|---|")
    for name, options in MODES.items():
        report, _, _ = run_cli(cli, files, seed, options, root / "out.bin")
        f = read_output(root / "out.bin")
        ok = f.valid
        X, Y = f.ref_x[ok], f.ref_y[ok]
        ut = 1.35 + g[0][0] * (X - c[0]) + g[0][1] * (Y - c[1])
        vt = -0.72 + g[1][0] * (X - c[0]) + g[1][1] * (Y - c[1])
        rms = np.sqrt(np.mean((f.u[ok] - ut) ** 2 + (f.v[ok] - vt) ** 2) / 2)
        grad = np.sqrt(
            np.mean(
                (f.du_dx[ok] - g[0][0]) ** 2
                + (f.du_dy[ok] - g[0][1]) ** 2
                + (f.dv_dx[ok] - g[1][0]) ** 2
                + (f.dv_dy[ok] - g[1][1]) ** 2
            )
            / 4
        )
        print(f"| {name} | {report['valid_points']} | {rms:.5f} | {grad:.2e} |")
    lit_check(cli, root, files, deformed, seed)


def lit_check(cli: str, root: Path, files: dict, deformed: np.ndarray, seed) -> None:
    print("\n## Lighting: deformed image x 1.3 + 25 gray levels\n")
    print("| mode | max abs change of u, v px | max abs change of corrcoef |")
    print("|---|---|---|")
    lit = dict(files, deformed=root / "lit.bin")
    write_image(lit["deformed"], 1.3 * deformed + 25.0)
    for name, options in MODES.items():
        run_cli(cli, files, seed, options, root / "plain.bin")
        run_cli(cli, lit, seed, options, root / "lit_out.bin")
        a, b = read_output(root / "plain.bin"), read_output(root / "lit_out.bin")
        both = a.valid & b.valid
        du = max(np.max(np.abs(a.u[both] - b.u[both])), np.max(np.abs(a.v[both] - b.v[both])))
        dc = np.max(np.abs(a.corrcoef[both] - b.corrcoef[both]))
        lost = int(np.count_nonzero(a.valid != b.valid))
        note = f" ({lost} points solved in one run only)" if lost else ""
        print(f"| {name} | {du:.2e}{note} | {dc:.2e} |")


def challenge_check(cli: str, root: Path, data: Path) -> None:
    folder = data / "sample3"
    if not folder.is_dir():
        print(f"\n(sample 3 not found under {data}: skipped)")
        return
    import tifffile

    reference = tifffile.imread(folder / "Sample3 Reference.tif").astype(float)
    print("\n## DIC Challenge 1.0 sample 3 (512 x 512): bias and std of u, v in px\n")
    header = "| shift |" + "".join(f" {name} bias u / v | std u / v |" for name in MODES)
    print(header)
    print("|---|" + "---|---|" * len(MODES))
    worst = dict.fromkeys(MODES, 0.0)
    for nn in range(11):
        match = sorted(folder.glob(f"Sample3-{nn:03d} *.tif"))
        shift = float(re.search(r"X(-?[0-9.]+)", match[0].name).group(1))
        deformed = tifffile.imread(match[0]).astype(float)
        files = write_pair(root, reference, deformed, RADIUS + 3)
        row = f"| {shift:.1f} |"
        for name, options in MODES.items():
            run_cli(cli, files, centre_seed(reference.shape), options, root / "out.bin")
            f = read_output(root / "out.bin")
            ok = f.valid
            bu, bv = np.mean(f.u[ok]) - shift, np.mean(f.v[ok]) - shift
            worst[name] = max(worst[name], abs(bu), abs(bv))
            row += f" {bu:+.4f} / {bv:+.4f} | {np.std(f.u[ok]):.4f} / {np.std(f.v[ok]):.4f} |"
        print(row)
    print("\nlargest |bias|: " + ", ".join(f"{name} {value:.4f} px" for name, value in worst.items()))


def memory_check(cli: str, root: Path, bench: Path) -> None:
    if not bench.is_file():
        print(f"\n({bench} not built: memory check skipped)")
        return
    subprocess.run([str(bench), "write", str(root)], check=True)
    files = {"reference": root / "ref.bin", "deformed": root / "def.bin", "mask": root / "mask.bin"}
    inputs = input_bytes(files)
    limit = 2 * inputs + 32 * 2**20
    print("\n## Peak resident memory, 1024 x 1024 translation pair of dic2d_bench\n")
    print(f"input files {inputs / 2**10:,.0f} KiB; limit (twice the inputs + 32 MiB) {limit / 2**10:,.0f} KiB\n")
    print("| mode | peak KiB | wall s |")
    print("|---|---|---|")
    for name, options in MODES.items():
        _, peak, elapsed = run_cli(cli, files, (510, 510), options, root / "out.bin")
        print(f"| {name} | {peak / 2**10:,.0f} | {elapsed:.2f} |")


def seed_guess_check(cli: str, root: Path) -> None:
    width, height = 700, 160
    scene = speckle(width + 300, height, ((0.0, 0.0), [[0, 0], [0, 0]], (0, 0)), seed=9)
    reference, deformed = scene[:, 300:], scene[:, :width]
    files = write_pair(root, reference, deformed, RADIUS + 3)
    mask = np.zeros(reference.shape, np.uint8)
    mask[RADIUS + 3 : height - RADIUS - 3, RADIUS + 3 : 330] = 1
    write_mask(files["mask"], mask)
    seed = (120, 78)
    print("\n## Seed guess: 300 px disparity, default seed window (radius 50)\n")
    print("| options | seed u, v | seed corrcoef | solved / grid points |")
    print("|---|---|---|---|")
    for label, options in {
        "none": {},
        "--seed-guess-u 298 --seed-guess-v 1": {"seed_guess_u": 298, "seed_guess_v": 1},
    }.items():
        report, _, _ = run_cli(cli, files, seed, options, root / "out.bin")
        s = report["seed_paramvector"]
        counts = f"{report['valid_points']} / {report['reference_grid_points']}"
        print(f"| {label} | {s[2]:.3f}, {s[3]:.3f} | {s[8]:.4f} | {counts} |")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", default=shutil.which("dic2d_cli"), help="dic2d_cli to run")
    parser.add_argument("--data", type=Path, default=DEFAULT_DATA, help="DIC Challenge folder")
    parser.add_argument(
        "--bench", type=Path, default=REPO_ROOT / "build" / "tests" / "bench" / "dic2d_bench", help="dic2d_bench"
    )
    args = parser.parse_args()
    if not args.cli:
        sys.exit("dic2d_cli not found: run scripts/build.sh or pass --cli")
    with tempfile.TemporaryDirectory(prefix="precision_") as tmp:
        root = Path(tmp)
        affine_check(args.cli, root)
        challenge_check(args.cli, root, args.data)
        seed_guess_check(args.cli, root)
        memory_check(args.cli, root, args.bench)


if __name__ == "__main__":
    main()
