"""Figures of a measurement as PNG bytes, drawn with matplotlib's object interface and the Agg canvas.

Nothing here selects a matplotlib backend or touches pyplot's global state,
so importing dicpipe never changes how a user's own plots are shown.

Maps are drawn over camera 0's reference image, one square per grid node. Their colour limits come from
robust percentiles (the 1st and 99th of the values, so that a few outliers do
not wash the map out) and the diverging colour map is centred on zero: the
limits are -L and +L with L the larger magnitude of the two percentiles.
"""

from __future__ import annotations

import io
from collections.abc import Sequence

import numpy as np

__all__ = ["field_maps", "nodes_from_faces", "robust_limit", "summary_plot"]

_DIVERGING = "RdBu_r"


def robust_limit(values: np.ndarray, percentile: float = 99.0) -> float:
    """Symmetric colour limit L: the larger magnitude of the (100 - p)th and p-th percentiles of the finite values."""
    v = np.asarray(values, dtype=float)
    v = v[np.isfinite(v)]
    if v.size == 0:
        return 1.0
    lo, hi = np.percentile(v, [100.0 - percentile, percentile])
    limit = float(max(abs(lo), abs(hi)))
    return limit if limit > 0 else 1e-12


def _new_figure(width_in: float, height_in: float):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=(width_in, height_in), dpi=100)
    FigureCanvasAgg(fig)
    return fig


def _png(fig) -> bytes:
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=100)
    return buf.getvalue()


def field_maps(
    image: np.ndarray,
    step: int,
    panels: Sequence[tuple[str, np.ndarray]],
    *,
    title: str = "",
) -> bytes:
    """Maps of grid values over an image, one panel each, as PNG bytes.

    Parameters
    ----------
    image : (H, W) array
        The background (camera 0's reference image), drawn in gray.
    step : int
        Grid pitch: value [r, c] belongs to pixel (c * step, r * step) and is
        drawn as the step x step square centred there.
    panels : sequence of (title, values)
        values (rows, columns) over the grid; NaN is left transparent.
    title : str
        The figure's title.
    """
    img = np.asarray(image, dtype=float)
    h, w = img.shape
    n = len(panels)
    # Fixed placement in inches: y label, image, colour bar and its labels per panel; x label below,
    # titles above. The image keeps its aspect ratio.
    left, img_w, gap, bar_w, right = 0.75, 3.6, 0.12, 0.15, 0.75
    bottom, top = 0.55, 0.75 if title else 0.45
    img_h = img_w * h / w
    panel = left + img_w + gap + bar_w + right
    fig_w, fig_h = panel * n, bottom + img_h + top
    fig = _new_figure(fig_w, fig_h)
    lo, hi = np.percentile(img, [0.5, 99.5]) if img.size else (0.0, 1.0)
    for i, (name, values) in enumerate(panels):
        x0 = i * panel + left
        ax = fig.add_axes((x0 / fig_w, bottom / fig_h, img_w / fig_w, img_h / fig_h))
        cax = fig.add_axes(((x0 + img_w + gap) / fig_w, bottom / fig_h, bar_w / fig_w, img_h / fig_h))
        v = np.asarray(values, dtype=float)
        ax.imshow(img, cmap="gray", vmin=lo, vmax=hi if hi > lo else lo + 1, interpolation="nearest")
        limit = robust_limit(v)
        rows, cols = v.shape
        extent = (-0.5 * step, (cols - 0.5) * step, (rows - 0.5) * step, -0.5 * step)
        m = ax.imshow(
            np.ma.masked_invalid(v), extent=extent, cmap=_DIVERGING, vmin=-limit, vmax=limit, interpolation="nearest"
        )
        fig.colorbar(m, cax=cax)
        ax.set_xlim(-0.5, w - 0.5)
        ax.set_ylim(h - 0.5, -0.5)
        ax.set_aspect("auto")
        ax.set_title(name, fontsize=10)
        ax.set_xlabel("x [px]")
        ax.set_ylabel("y [px]")
    if title:
        fig.suptitle(title, fontsize=11, y=1 - 0.12 / fig_h, va="top")
    return _png(fig)


def nodes_from_faces(values: np.ndarray, faces: np.ndarray, shape: tuple[int, int]) -> np.ndarray:
    """Per grid node, the mean of the finite values of the faces around it (NaN where none).

    faces index the grid's nodes as r * columns + c.
    """
    v = np.asarray(values, dtype=float)
    f = np.asarray(faces, dtype=np.int64)
    ok = np.isfinite(v)
    size = int(shape[0]) * int(shape[1])
    idx = f[ok].ravel()
    sums = np.bincount(idx, weights=np.repeat(v[ok], 3), minlength=size)
    counts = np.bincount(idx, minlength=size)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(counts > 0, sums / np.maximum(counts, 1), np.nan).reshape(shape)


def summary_plot(
    frames: Sequence[int],
    displacement: Sequence[tuple[str, np.ndarray]],
    strain: Sequence[tuple[str, np.ndarray]],
    *,
    displacement_unit: str,
    title: str = "",
) -> bytes:
    """Mean displacement components and strains of the mean tensor against the frame, as PNG bytes."""
    fig = _new_figure(10.0, 4.0)
    ax_d, ax_e = fig.subplots(1, 2)
    fig.subplots_adjust(left=0.08, right=0.98, bottom=0.13, top=0.86 if title else 0.94, wspace=0.28)
    f = np.asarray(frames)
    for name, values in displacement:
        ax_d.plot(f, values, "o-", ms=3, label=name)
    for name, values in strain:
        ax_e.plot(f, np.asarray(values) * 1e6, "o-", ms=3, label=name)
    ax_d.set_xlabel("frame")
    ax_d.set_ylabel(f"mean displacement [{displacement_unit}]")
    ax_e.set_xlabel("frame")
    ax_e.set_ylabel("strain of the mean tensor [µε]")
    for ax in (ax_d, ax_e):
        ax.axhline(0.0, color="0.6", lw=0.6)
        ax.grid(alpha=0.3)
        if ax.lines:
            ax.legend(fontsize=8)
        if len(f):
            ax.xaxis.get_major_locator().set_params(integer=True)
    if title:
        fig.suptitle(title, fontsize=11)
    return _png(fig)
