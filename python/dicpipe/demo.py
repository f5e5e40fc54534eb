"""End-to-end stereo DIC demo on a rendered specimen.

    python -m dicpipe.demo [--out DIR] [--cameras 2|3] [--size WxH] [--curved] [--noise SIGMA]

Renders a speckled plate (or a gently curved shell, --curved) under a 1 %
uniaxial stretch plus a rigid motion, films it with calibrated, distorted
cameras, runs dic2d_cli per camera, reconstructs the surface points in 3D
(camera pair, or tracks over three cameras), meshes them, computes the
surface strains, compares everything with the known truth and writes figures
and a VTU mesh into DIR.

The correspondences between the cameras' reference images come from the
renderer (the true surface point of each grid node of camera 0, projected
into the other cameras). In a real measurement they come from the stereo
matching and calibration step, which is outside this demo.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

from . import figures
from .pipeline import run_pipeline


def _size(text: str) -> tuple[int, int]:
    try:
        w, h = (int(v) for v in text.lower().split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"size must be WIDTHxHEIGHT, got {text!r}") from None
    if w < 160 or h < 128:
        raise argparse.ArgumentTypeError("size must be at least 160x128")
    return w, h


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(prog="python -m dicpipe.demo", description=__doc__.split("\n\n")[1])
    ap.add_argument("--out", type=Path, default=Path("out/demo"), help="output directory (default out/demo)")
    ap.add_argument("--cameras", type=int, choices=(2, 3), default=2)
    ap.add_argument("--size", type=_size, default=(480, 384), help="image size WxH (default 480x384)")
    ap.add_argument("--curved", action="store_true", help="a cylindrical shell instead of a flat plate")
    ap.add_argument("--noise", type=float, default=0.5, help="sensor noise, gray levels (default 0.5)")
    ap.add_argument("--cli", default=None, help="dic2d_cli to run (default $DIC2D_CLI, else PATH)")
    args = ap.parse_args(argv)

    start = time.perf_counter()

    def progress(msg: str) -> None:
        print(f"[{time.perf_counter() - start:6.1f} s] {msg}", flush=True)

    res = run_pipeline(
        cameras=args.cameras,
        width=args.size[0],
        height=args.size[1],
        curved=args.curved,
        noise=args.noise,
        cli=args.cli,
        progress=progress,
    )

    out = args.out
    out.mkdir(parents=True, exist_ok=True)
    meas, step = res.measurement, res.subset_spacing + 1
    v = res.valid
    err = np.linalg.norm(res.recon["displacement_world"] - res.truth["displacement"], axis=1)
    figures.images(out / "images.png", meas.reference, meas.masks, res.seeds)
    figures.camera_fields(out / "camera_fields.png", [r.field for r in res.runs], step)
    figures.displacement_3d(
        out / "displacement_3d.png", res.recon["points_ref_world"][v], res.recon["displacement_world"][v], err[v]
    )
    figures.strain_map(out / "strain_map.png", res.recon["points_ref_world"], res.faces, res.strain, res.truth)
    figures.write_vtu(
        out / "strain_mesh.vtu",
        res.recon["points_ref_world"],
        res.faces,
        {
            k: res.strain[k]
            for k in ("Fmat", "Emat", "J", "Epc1", "Epc2", "Eeq", "Lambda1", "Lambda2", "valid_strain_faces")
        },
    )
    progress(f"figures and mesh written to {out}/")

    s = res.summary()
    print()
    print(
        f"{'surface':34s} {'curved shell' if args.curved else 'flat plate'}, {args.cameras} cameras, "
        f"{args.size[0]} x {args.size[1]} px, noise {args.noise} gray levels"
    )
    print(
        f"{'DIC grid points solved':34s} "
        + ", ".join(
            f"cam {c}: {d}/{g} ({100 * d / g:.1f} %)" for c, (d, g) in enumerate(zip(s["dic_valid"], s["grid_points"]))
        )
    )
    print(f"{'3D points / valid':34s} {s['points']} / {s['valid_points']}")
    print(f"{'mesh faces / with strain':34s} {s['faces']} / {s['valid_faces']}")
    print(f"{'mean applied 3D displacement':34s} {s['disp_applied_mean'] * 1000:.2f} µm")
    print(
        f"{'mean 3D displacement error':34s} {s['disp_error_mean'] * 1000:.3f} µm "
        f"({100 * s['disp_error_mean'] / s['disp_applied_mean']:.2f} % of applied; max "
        f"{s['disp_error_max'] * 1000:.2f} µm)"
    )
    print(f"{'mean reference position error':34s} {s['pos_error_mean'] * 1000:.2f} µm")
    print(f"{'':34s} {'mean':>10s} {'std':>10s} {'truth':>10s}")
    for key, label in (
        ("Epc2", "major strain Epc2 [%]"),
        ("Epc1", "minor strain Epc1 [%]"),
        ("Lambda2-1", "major stretch - 1 [%]"),
    ):
        m, sd, t = s[key]
        print(f"{label:34s} {100 * m:10.4f} {100 * sd:10.4f} {100 * t:10.4f}")
    print(f"{'total time':34s} {time.perf_counter() - start:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
