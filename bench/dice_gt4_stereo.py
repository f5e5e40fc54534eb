"""Stereo matching on a real pair: camera 0 to camera 1 of the GT4 D-specimen, frame 0.

The two 1920 x 1200 reference images are matched with `dicpipe.stereo.match_stereo`
(subset radius 20, a 10 px grid, dic2d_cli's own refinement or with --mode
precision the one `dicpipe run` uses, camera 0's ROI from roi_cam0.png, the
calibration of source/cal.xml when dicpipe.camera can read it). The match
field is compared with the stereo matches of an independent reference result
(reference/DICe_solution.e, Exodus II read as netCDF-3): at each of its
camera-0 positions (a 100 px grid) that it solved, the match displacement of
the four surrounding grid nodes is interpolated bilinearly (all four must be
valid) and the camera-1 pixel compared with the reference's.

Prints the RMS and largest difference, the number of positions compared, the
number of valid matches, the epipolar RMS and the time of the match. Run by
hand:

    PATH=$PWD/.venv/bin:$PATH .venv/bin/python bench/dice_gt4_stereo.py [--data DIR] [--scale S]

With --scale S, camera 1 is replaced by a camera of S times its pixel density:
its image resampled to S times its size (OpenCV's area average below 1, cubic
above), its calibrated focal lengths and principal point scaled to match, the
reference result's camera-1 pixels mapped the same way. The match then has to
bridge a scale ratio of S between the cameras on real speckle; the resampling
smooths the image, so the figures are not those of a real camera of that
resolution.

The data folder is looked up as $GT4_STEREO_DATA, else shared/data/stereo/dice_gt4
beside the repository or one of its parent folders.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

REPO_ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO_ROOT / "python"))

from dicpipe.stereo import StereoMatch, match_stereo  # noqa: E402

DIC = {"subset_radius": 20, "subset_spacing": 9}


def find_data() -> Path | None:
    """The data folder, or None when it is not on this machine."""
    explicit = os.environ.get("GT4_STEREO_DATA")
    candidates = [Path(explicit)] if explicit else []
    candidates += [p / "shared" / "data" / "stereo" / "dice_gt4" for p in REPO_ROOT.parents]
    for path in candidates:
        if (path / "images" / "GT4-0000_0.tif").is_file():
            return path
    return None


def load_reference(data: Path, frame: int = 0) -> dict[str, np.ndarray]:
    """Camera-0 positions and camera-1 stereo matches of the reference result, and its solved flag."""
    from scipy.io import netcdf_file

    with netcdf_file(data / "reference" / "DICe_solution.e", "r", mmap=False) as f:
        names = [b"".join(row).decode().strip("\x00 ") for row in f.variables["name_nod_var"][:]]

        def nodal(name: str) -> np.ndarray:
            return np.array(f.variables[f"vals_nod_var{names.index(name) + 1}"][frame], dtype=np.float64)

        out = {key: nodal(key) for key in ("COORDINATE_X", "COORDINATE_Y", "STEREO_COORDINATES_X")}
        out["STEREO_COORDINATES_Y"] = nodal("STEREO_COORDINATES_Y")
        # A subset the reference result could not solve carries a negative SIGMA.
        out["solved"] = nodal("SIGMA") >= 0
    return out


def sample_match(match: StereoMatch, xy: np.ndarray) -> np.ndarray:
    """Camera-k pixel of camera-0 positions xy (N, 2): node + bilinear match displacement; NaN unless
    the four surrounding nodes are valid."""
    step = match.step
    h, w = match.valid.shape
    gy, gx = np.mgrid[0:h, 0:w] * step
    disp = match.uv - np.stack([gx, gy], axis=-1)
    out = np.full(xy.shape, np.nan)
    c, r = np.floor(xy[:, 0] / step).astype(int), np.floor(xy[:, 1] / step).astype(int)
    inside = (c >= 0) & (r >= 0) & (c < w - 1) & (r < h - 1)
    for i in np.nonzero(inside)[0]:
        cell = (slice(r[i], r[i] + 2), slice(c[i], c[i] + 2))
        if not match.valid[cell].all():
            continue
        a, b = xy[i, 0] / step - c[i], xy[i, 1] / step - r[i]
        weights = np.array([[(1 - a) * (1 - b), a * (1 - b)], [(1 - a) * b, a * b]])
        out[i] = xy[i] + np.tensordot(weights, disp[cell], axes=([0, 1], [0, 1]))
    return out


def load_calibration_if_possible(data: Path):
    try:
        from dicpipe.camera import load_calibration
    except ImportError:
        return None
    return load_calibration(data / "source" / "cal.xml")


def rescale_camera(image: np.ndarray, calibration, camera: int, scale: float):
    """`image` resampled to `scale` times its size, the calibration's `camera` changed to match, and the
    factors (sx, sy) by which a pixel position p becomes (p + 0.5) * s - 0.5."""
    import dataclasses

    import cv2

    h, w = image.shape
    size = (round(w * scale), round(h * scale))
    method = cv2.INTER_AREA if scale < 1 else cv2.INTER_CUBIC
    resized = cv2.resize(image, size, interpolation=method)
    sx, sy = size[0] / w, size[1] / h
    if calibration is not None:
        c = calibration.cameras[camera]
        K = c.K.copy()
        K[0, :] = [K[0, 0] * sx, K[0, 1] * sx, (K[0, 2] + 0.5) * sx - 0.5]
        K[1, 1:] = [K[1, 1] * sy, (K[1, 2] + 0.5) * sy - 0.5]
        cameras = list(calibration.cameras)
        cameras[camera] = dataclasses.replace(c, K=K, width=size[0], height=size[1])
        calibration = dataclasses.replace(calibration, cameras=tuple(cameras))
    return resized, calibration, (sx, sy)


def run(data: Path, scale: float = 1.0, mode: str = "standard") -> dict:
    """Match frame 0 and compare with the reference result; the figures as a dict.

    `mode` is the experiment file's `[dic] mode`: "standard" (dic2d_cli's own
    refinement) or "precision" (what `dicpipe run` uses by default)."""
    import tifffile
    from PIL import Image

    from dicpipe.experiment import DIC_MODES

    ref0 = tifffile.imread(data / "images" / "GT4-0000_0.tif").astype(np.float64)
    ref1 = tifffile.imread(data / "images" / "GT4-0000_1.tif").astype(np.float64)
    with Image.open(data / "roi_cam0.png") as im:
        roi = np.asarray(im) != 0
    calibration = load_calibration_if_possible(data)
    factors = (1.0, 1.0)
    if scale != 1.0:
        ref1, calibration, factors = rescale_camera(ref1, calibration, 1, scale)
    start = time.perf_counter()
    match = match_stereo(ref0, ref1, roi, calibration, 1, dic={**DIC_MODES[mode], **DIC})
    seconds = time.perf_counter() - start
    ref = load_reference(data)
    xy = np.stack([ref["COORDINATE_X"], ref["COORDINATE_Y"]], axis=-1)
    theirs = np.stack([ref["STEREO_COORDINATES_X"], ref["STEREO_COORDINATES_Y"]], axis=-1)
    theirs = (theirs + 0.5) * np.asarray(factors) - 0.5
    ours = sample_match(match, xy)
    both = ref["solved"] & np.isfinite(ours[:, 0])
    diff = np.linalg.norm(ours[both] - theirs[both], axis=1)
    return {
        "match": match,
        "scale": scale,
        "options": {**DIC_MODES[mode], **DIC},
        "seconds": seconds,
        "calibration": calibration is not None,
        "reference_points": int(len(xy)),
        "reference_solved": int(ref["solved"].sum()),
        "compared": int(both.sum()),
        "rms_px": float(np.sqrt(np.mean(diff**2))),
        "max_px": float(diff.max()),
        "mean_offset_px": tuple(float(v) for v in (ours[both] - theirs[both]).mean(axis=0)),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data", type=Path, default=None, help="the dice_gt4 data folder")
    parser.add_argument("--scale", type=float, default=1.0, help="resample camera 1 to this pixel density (0.5-2)")
    parser.add_argument("--mode", choices=("standard", "precision"), default="standard", help="[dic] mode")
    args = parser.parse_args(argv)
    data = args.data or find_data()
    if data is None:
        print("data folder not found: set GT4_STEREO_DATA or pass --data", file=sys.stderr)
        return 2
    if not 0.5 <= args.scale <= 2.0:
        print(f"--scale must be between 0.5 and 2, got {args.scale}", file=sys.stderr)
        return 2
    r = run(data, args.scale, args.mode)
    m: StereoMatch = r["match"]
    print(f"data: {data}")
    if r["scale"] != 1.0:
        print(f"camera 1 resampled to {r['scale']} times its pixel density ({m.roi.shape[1]} x {m.roi.shape[0]} px)")
    if m.transform is not None:
        print(f"camera 1 pixels per camera 0 pixel at the seed (coarse): {np.round(m.transform, 3).tolist()}")
    print(
        f"options: {r['options']}; calibration: {'source/cal.xml' if r['calibration'] else 'none (no epipolar gate)'}"
    )
    print(f"seed {m.seed}, coarse disparity ({m.disparity[0]:.2f}, {m.disparity[1]:.2f}) px, camera 1 seed {m.seed_k}")
    print(f"matches: {m.valid_count} valid of {int(m.solved.sum())} solved grid nodes")
    print(f"epipolar RMS of the valid matches: {m.epipolar_rms:.4f} px")
    print(
        f"against the reference result: {r['compared']} of its {r['reference_solved']} solved positions "
        f"({r['reference_points']} in all) compared; RMS {r['rms_px']:.4f} px, max {r['max_px']:.4f} px, "
        f"mean offset ({r['mean_offset_px'][0]:+.4f}, {r['mean_offset_px'][1]:+.4f}) px"
    )
    print(f"time of the match: {r['seconds']:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
