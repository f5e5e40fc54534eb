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
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from .files import DicField
from .pipeline import run_pipeline


def _pyplot():
    """pyplot with the Agg backend, selected only when the demo draws."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def _masked(field: DicField, values: np.ndarray) -> np.ndarray:
    return np.where(field.valid, values, np.nan)


def camera_fields(path: Path, fields: Sequence[DicField], step: int) -> None:
    """u and v (pixels) of every camera on its reduced grid; unsolved cells blank."""
    n = len(fields)
    fig, axes = _pyplot().subplots(n, 2, figsize=(9, 3.4 * n), squeeze=False)
    for c, f in enumerate(fields):
        extent = (-0.5 * step, (f.reduced_width - 0.5) * step, (f.reduced_height - 0.5) * step, -0.5 * step)
        for k, (name, values) in enumerate((("u", f.u), ("v", f.v))):
            ax = axes[c, k]
            im = ax.imshow(_masked(f, values), extent=extent, cmap="viridis")
            ax.set_title(f"camera {c}: {name} [px]  ({f.valid_count} solved)")
            ax.set_xlabel("x [px]")
            ax.set_ylabel("y [px]")
            fig.colorbar(im, ax=ax, shrink=0.85)
    _save(fig, path)


def _surface_panel(fig, ax, im, title: str) -> None:
    """Labels, equal axes and colour bar of one map over the reference surface."""
    ax.set_aspect("equal")
    ax.set_title(title)
    ax.set_xlabel("X [mm]")
    ax.set_ylabel("Y [mm]")
    fig.colorbar(im, ax=ax, shrink=0.85)


def _save(fig, path: Path) -> None:
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    _pyplot().close(fig)


def displacement_3d(path: Path, points_ref: np.ndarray, displacement: np.ndarray, error: np.ndarray) -> None:
    """The three displacement components and the error against the truth, over the reference surface."""
    fig, axes = _pyplot().subplots(2, 2, figsize=(10, 7.5))
    from matplotlib.tri import Triangulation

    tri = Triangulation(points_ref[:, 0], points_ref[:, 1])
    panels = [
        (displacement[:, 0], "u_x [mm]"),
        (displacement[:, 1], "u_y [mm]"),
        (displacement[:, 2], "u_z [mm]"),
        (error * 1000.0, "|error| vs truth [µm]"),
    ]
    for ax, (values, title) in zip(axes.flat, panels):
        im = ax.tripcolor(tri, values, shading="gouraud", cmap="viridis")
        _surface_panel(fig, ax, im, title)
    _save(fig, path)


def strain_map(path: Path, points_ref: np.ndarray, faces: np.ndarray, strain: dict, truth: dict) -> None:
    """Per-face major and minor in-plane Green-Lagrange strains, and the major strain's error."""
    valid = strain["valid_strain_faces"]
    from matplotlib.tri import Triangulation

    tri = Triangulation(points_ref[:, 0], points_ref[:, 1], faces[valid])
    fig, axes = _pyplot().subplots(1, 3, figsize=(15, 4.3))
    panels = [
        (strain["Epc2"][valid] * 100, "major strain Epc2 [%]"),
        (strain["Epc1"][valid] * 100, "minor strain Epc1 [%]"),
        ((strain["Epc2"][valid] - truth["Epc2"][valid]) * 100, "Epc2 − truth [%]"),
    ]
    for ax, (values, title) in zip(axes, panels):
        im = ax.tripcolor(tri, facecolors=values, cmap="coolwarm" if "truth" in title else "viridis")
        _surface_panel(fig, ax, im, title)
    _save(fig, path)


def images(path: Path, reference: Sequence[np.ndarray], masks: Sequence[np.ndarray], seeds) -> None:
    """The rendered reference images with the ROI outline and the seed."""
    n = len(reference)
    fig, axes = _pyplot().subplots(1, n, figsize=(4.6 * n, 4), squeeze=False)
    for c, ax in enumerate(axes[0]):
        ax.imshow(reference[c], cmap="gray", vmin=0, vmax=255)
        ax.contour(masks[c].astype(float), levels=[0.5], colors="tab:orange", linewidths=0.8)
        ax.plot(*seeds[c], "r+", ms=12, mew=2)
        ax.set_title(f"camera {c} reference, ROI and seed")
        ax.axis("off")
    _save(fig, path)


def write_vtu(path: Path, points: np.ndarray, faces: np.ndarray, cell_data: dict) -> None:
    """The mesh with per-face data (scalars, vectors or flattened 3x3 tensors) as VTU."""
    import meshio

    data = {}
    for key, values in cell_data.items():
        a = np.asarray(values)
        if a.dtype == np.bool_:
            a = a.astype(np.uint8)
        if a.ndim == 3:
            a = a.reshape(len(a), 9)
        data[key] = [np.ascontiguousarray(a)]
    meshio.Mesh(points=np.asarray(points, dtype=float), cells=[("triangle", np.asarray(faces))], cell_data=data).write(
        path
    )


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
    images(out / "images.png", meas.reference, meas.masks, res.seeds)
    camera_fields(out / "camera_fields.png", [r.field for r in res.runs], step)
    displacement_3d(
        out / "displacement_3d.png", res.recon["points_ref_world"][v], res.recon["displacement_world"][v], err[v]
    )
    strain_map(out / "strain_map.png", res.recon["points_ref_world"], res.faces, res.strain, res.truth)
    write_vtu(
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
