"""Both refinements on the real speckle of dice_gt4 moved by known sub-pixel shifts.

    .venv/bin/python bench/dice_gt4_shift.py [--data DIR]

The set's real stereo experiment has no applied truth: its motion (0.02 to 0.1
px in the images) is compared with another program's result, which is not the
truth to a few per cent. This benchmark gives the same speckle a known motion:
each camera's reference image is shifted by (sx, sy) px through the Fourier
shift theorem (exact for the band-limited image, periodic at the border, far
from the regions used), rounded back to 8 bits, and correlated against the
unshifted image with each `[dic] mode` of the pipeline (subset radius 20, a 10
px grid; camera 0 over roi_cam0.png, camera 1 over a rectangle of speckle
below the cut-out). It prints the mean error (the bias) of u and v over the
solved points, and their RMS error.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import numpy as np

REPO_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO_ROOT / "python"))
sys.path.insert(0, str(REPO_ROOT / "bench"))

from dice_gt4_run import DEFAULT_DATA  # noqa: E402

from dicpipe.dic2d import run_dic2d  # noqa: E402
from dicpipe.experiment import DIC_MODES  # noqa: E402
from dicpipe.grid import choose_seed  # noqa: E402
from dicpipe.images import load_image  # noqa: E402

SHIFTS = ((0.02, -0.03), (0.1, -0.05), (0.05, 0.1), (0.3, 0.2), (0.5, -0.5))
CAMERA1_RECT = (160, 400, 1680, 660)  # x0, y0, x1, y1 of speckle in camera 1's reference image
RADIUS, SPACING = 20, 9


def shifted(image: np.ndarray, sx: float, sy: float) -> np.ndarray:
    """`image` moved by (sx, sy) px (content at x appears at x + sx), rounded to 8-bit gray levels."""
    from scipy import ndimage

    moved = np.real(np.fft.ifft2(ndimage.fourier_shift(np.fft.fft2(image), (sy, sx))))
    return np.clip(np.floor(moved + 0.5), 0.0, 255.0)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--data", type=Path, default=DEFAULT_DATA, help=f"the data set (default {DEFAULT_DATA})")
    args = ap.parse_args()
    if not (args.data / "images" / "GT4-0000_0.tif").is_file():
        print(f"dice_gt4 not found in {args.data} (use --data or $DICE_GT4_DATA)", file=sys.stderr)
        return 2
    roi0 = load_image(args.data / "roi_cam0.png") > 0
    if roi0.ndim == 3:
        roi0 = roi0.any(axis=-1)
    print("camera  shift (px)        mode        points   bias u    bias v    RMS u    RMS v  (px)")
    for camera in (0, 1):
        image = load_image(args.data / "images" / f"GT4-0000_{camera}.tif").astype(np.float64)
        if camera == 0:
            roi = roi0
        else:
            x0, y0, x1, y1 = CAMERA1_RECT
            roi = np.zeros(image.shape, dtype=bool)
            roi[y0:y1, x0:x1] = True
        seed = choose_seed(roi, SPACING + 1, RADIUS)
        for sx, sy in SHIFTS:
            moved = shifted(image, sx, sy)
            for mode, options in DIC_MODES.items():
                run = run_dic2d(image, moved, roi, seed, subset_radius=RADIUS, subset_spacing=SPACING, **options)
                ok = run.field.valid.astype(bool)
                eu, ev = run.field.u[ok] - sx, run.field.v[ok] - sy
                print(
                    f"{camera:6d}  ({sx:+.2f}, {sy:+.2f})   {mode:10s} {ok.sum():7d}"
                    f"  {eu.mean():+.4f}  {ev.mean():+.4f}"
                    f"   {np.sqrt(np.mean(eu**2)):.4f}   {np.sqrt(np.mean(ev**2)):.4f}",
                    flush=True,
                )
    return 0


if __name__ == "__main__":
    sys.exit(main())
