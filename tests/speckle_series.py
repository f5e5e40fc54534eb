"""Synthetic image series with a known motion, for the tests of the measurement command.

The texture is a sum of Gaussian spots at seeded random positions, evaluated
exactly wherever it is needed, so a deformed image carries no interpolation
error: the deformed image at pixel x shows the reference texture at
X = F^-1 (x - c - d) + c (a homogeneous map about the image centre c).
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

import numpy as np
import tifffile
from PIL import Image


@dataclass(frozen=True)
class Motion:
    """x = F (X - c) + c + d for reference pixel X; c is the image centre."""

    F: np.ndarray
    d: np.ndarray
    centre: np.ndarray

    def displacement(self, X: np.ndarray) -> np.ndarray:
        X = np.asarray(X, dtype=float)
        return (X - self.centre) @ self.F.T + self.centre + self.d - X

    def green_lagrange(self) -> np.ndarray:
        return 0.5 * (self.F.T @ self.F - np.eye(2))


def spots(width: int, height: int, seed: int, density: float = 0.028, sigma: float = 1.6):
    """Spot centres (K, 2), amplitudes (K,) covering the image with a margin."""
    rng = np.random.default_rng(seed)
    pad = 40
    k = int(density * (width + 2 * pad) * (height + 2 * pad))
    centres = rng.uniform([-pad, -pad], [width + pad, height + pad], size=(k, 2))
    amps = rng.uniform(0.5, 1.0, size=k)
    return centres, amps, sigma


def render(width: int, height: int, motion: Motion | None, seed: int = 1, scale: float = 200.0) -> np.ndarray:
    """Gray image (float) of the texture seen through `motion` (None: the reference)."""
    centres, amps, sigma = spots(width, height, seed)
    y, x = np.mgrid[0:height, 0:width].astype(float)
    pts = np.stack([x.ravel(), y.ravel()], axis=1)
    if motion is not None:
        Finv = np.linalg.inv(motion.F)
        pts = (pts - motion.centre - motion.d) @ Finv.T + motion.centre
    img = np.zeros(len(pts))
    inv2s2 = 1.0 / (2 * sigma * sigma)
    # Spots farther than 5 sigma from a pixel contribute nothing at 8-bit precision: bucket by position.
    reach = 5 * sigma
    order = np.argsort(pts[:, 0])
    px = pts[order]
    for c, a in zip(centres, amps):
        lo = np.searchsorted(px[:, 0], c[0] - reach)
        hi = np.searchsorted(px[:, 0], c[0] + reach)
        if hi <= lo:
            continue
        seg = px[lo:hi]
        near = np.abs(seg[:, 1] - c[1]) <= reach
        d2 = ((seg[near] - c) ** 2).sum(axis=1)
        idx = order[lo:hi][near]
        img[idx] += a * np.exp(-d2 * inv2s2)
    return 20.0 + scale * np.clip(img.reshape(height, width), 0, 1.1)


def motion_of(frame: int, width: int, height: int, stretch: float, shift: tuple[float, float]) -> Motion:
    """Frame f: uniaxial stretch f * stretch along x and a translation f * shift."""
    F = np.diag([1.0 + frame * stretch, 1.0])
    return Motion(F, np.array(shift, dtype=float) * frame, np.array([(width - 1) / 2, (height - 1) / 2]))


def save(path: Path, img: np.ndarray, bits: int = 8) -> None:
    """Round to integers and save as TIFF or PNG (by the suffix) with the given bit depth."""
    a = np.clip(np.rint(img * (257 if bits == 16 else 1)), 0, 65535 if bits == 16 else 255)
    a = a.astype(np.uint16 if bits == 16 else np.uint8)
    path.parent.mkdir(parents=True, exist_ok=True)
    if path.suffix in (".tif", ".tiff"):
        tifffile.imwrite(path, a)
    else:
        Image.fromarray(a).save(path)


def write_series(
    folder: Path,
    *,
    frames: int = 3,
    size: tuple[int, int] = (200, 160),
    stretch: float = 0.004,
    shift: tuple[float, float] = (1.3, -0.6),
    suffix: str = ".tif",
    bits: int = 8,
    roi: str = "rectangle = [24, 24, 176, 136]",
    extra: str = "",
) -> tuple[Path, list[Motion]]:
    """A one-camera experiment: images cam0/frame_NNNN<suffix>, experiment.toml; returns it and the motions."""
    w, h = size
    motions = [motion_of(f, w, h, stretch, shift) for f in range(frames)]
    for f, m in enumerate(motions):
        save(folder / "cam0" / f"frame_{f:04d}{suffix}", render(w, h, m if f else None), bits)
    exp = folder / "experiment.toml"
    exp.write_text(
        f'[images]\ncameras = ["cam0/*{suffix}"]\n[roi]\n{roi}\n[dic]\nsubset_radius = 15\nsubset_spacing = 5\n'
        f'[output]\ndir = "results"\n{extra}'
    )
    return exp, motions


def rotation(deg: float) -> np.ndarray:
    t = np.radians(deg)
    return np.array([[np.cos(t), -np.sin(t)], [np.sin(t), np.cos(t)]])


def write_motions(
    folder: Path,
    motions: list[Motion | None],
    *,
    size: tuple[int, int] = (200, 160),
    roi: str = "rectangle = [24, 24, 176, 136]",
    dic: str = "subset_radius = 15\nsubset_spacing = 5\n",
    extra: str = "",
    noise: float = 0.0,
    seed: int = 1,
    images: list[np.ndarray] | None = None,
) -> Path:
    """A one-camera experiment with one image per motion (None: the reference texture as it is).

    `noise` adds Gaussian noise of that standard deviation (gray levels) to every image; `images`
    replaces the rendered images by the given ones where not None.
    """
    w, h = size
    rng = np.random.default_rng(seed + 1000)
    for f, m in enumerate(motions):
        img = images[f] if images is not None and images[f] is not None else render(w, h, m, seed=seed)
        if noise:
            img = img + rng.normal(0.0, noise, img.shape)
        save(folder / "cam0" / f"frame_{f:04d}.tif", img)
    exp = folder / "experiment.toml"
    exp.write_text(
        f'[images]\ncameras = ["cam0/*.tif"]\n[roi]\n{roi}\n[dic]\n{dic}[output]\ndir = "results"\nfigures = false\n'
        f"{extra}"
    )
    return exp


def disc_polygon(centre, radius: float, n: int = 48) -> str:
    """A TOML [roi] polygon of a disc."""
    a = np.linspace(0, 2 * np.pi, n, endpoint=False)
    pts = ", ".join(f"[{centre[0] + radius * np.cos(t):.2f}, {centre[1] + radius * np.sin(t):.2f}]" for t in a)
    return f"polygon = [{pts}]"


def banded(w=240, h=180, band=(70, 130), noise=0.5, seed=3, motion=None, noise_seed=0):
    """Speckle with a horizontal band of a brightness ramp plus faint noise (no texture the correlation can use).

    The band blends into the speckle over 6 px; `motion` moves the whole specimen (speckle and band).
    """
    rng = np.random.default_rng(noise_seed)
    img = render(w, h, motion, seed=seed)
    yy, xx = np.mgrid[0:h, 0:w].astype(float)
    if motion is not None:
        X = np.stack([xx, yy], -1)
        X = (X - motion.centre - motion.d) @ np.linalg.inv(motion.F).T + motion.centre
        xx, yy = X[..., 0], X[..., 1]
    weight = np.clip(np.minimum(yy - band[0], band[1] - yy) / 6.0, 0.0, 1.0)
    weight = 0.5 - 0.5 * np.cos(np.pi * weight)
    img = weight * (60 + 0.5 * xx) + (1 - weight) * img
    return img + rng.normal(0, noise, img.shape), weight == 1
