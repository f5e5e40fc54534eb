"""Figures (PNG, matplotlib Agg) and the strain mesh as a VTU file (meshio)."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.tri import Triangulation  # noqa: E402

from .files import DicField  # noqa: E402


def _masked(field: DicField, values: np.ndarray) -> np.ndarray:
    return np.where(field.valid, values, np.nan)


def camera_fields(path: Path, fields: Sequence[DicField], step: int) -> None:
    """u and v (pixels) of every camera on its reduced grid; unsolved cells blank."""
    n = len(fields)
    fig, axes = plt.subplots(n, 2, figsize=(9, 3.4 * n), squeeze=False)
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
    plt.close(fig)


def displacement_3d(path: Path, points_ref: np.ndarray, displacement: np.ndarray, error: np.ndarray) -> None:
    """The three displacement components and the error against the truth, over the reference surface."""
    fig, axes = plt.subplots(2, 2, figsize=(10, 7.5))
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
    tri = Triangulation(points_ref[:, 0], points_ref[:, 1], faces[valid])
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.3))
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
    fig, axes = plt.subplots(1, n, figsize=(4.6 * n, 4), squeeze=False)
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
