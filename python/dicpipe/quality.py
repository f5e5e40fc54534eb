"""Point quality: why a measured point cannot be trusted, as one integer flag per point.

A point of a displacement field is *good* only when every check passes. The
checks, in the order the pipeline applies them, each have their own code in
`PointFlag`; a point carries the code of the first check it fails, so the flag
says why the point was rejected and `flag == 0` is the same as "usable".

The building blocks here are pure functions on arrays:

* `estimate_noise`: the standard deviation of the image noise, from one image;
* `subset_texture`: the texture of the reference subset around each grid node
  (sum of squared intensity gradients, SSSIG) and the displacement precision it
  predicts for a given noise;
* `median_test`: the normalised median test of a displacement field over the
  grid neighbours;
* `set_flag` and `count_flags`: combining checks into one flag array and
  counting the reasons.

Conventions: images are indexed ``[row, column] = [y, x]`` and pixel (0, 0) is
the centre of the top-left pixel; grid fields are indexed ``[r, c]`` with node
(r, c) at pixel ``(c * step, r * step)``; displacements are in pixels.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from enum import IntEnum

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

__all__ = [
    "MedianTest",
    "PointFlag",
    "SubsetPrecision",
    "SubsetTexture",
    "count_flags",
    "estimate_noise",
    "median_test",
    "set_flag",
    "subset_precision",
    "subset_texture",
    "texture_threshold",
]


class PointFlag(IntEnum):
    """Why a point is not good; 0 means good. The values are stable: result files store them.

    The codes follow the order of the checks; a point keeps the first code it
    gets (`set_flag`), so a point of a region that was never measured is
    ``NOT_MEASURED`` even though it is also unsolved, and of two reasons the
    smaller code is reported.

    GOOD = 0
        Every check passed.
    NOT_MEASURED = 1
        The point was not measured: its ROI region's seed could not be found,
        its region is too small to measure, or the whole frame failed.
    LOW_TEXTURE = 2
        The reference subset has too little texture for the image noise: the
        predicted displacement standard deviation exceeds the target
        precision. Such points are left out of the correlation.
    NOT_SOLVED = 3
        The correlation did not solve the point (not reached by the
        propagation, or its correlation fell below the engine's own cutoff),
        or, tracked through several reference images, it was lost on the way.
    LOW_CORRELATION = 4
        The correlation coefficient is below the pipeline's threshold.
    OUTLIER = 5
        The displacement fails the normalised median test against its grid
        neighbours.
    STEREO_MATCH = 6
        No accepted match in another camera (unmatched, weak match, or too far
        from the epipolar line).
    RECONSTRUCTION = 7
        The 3D reconstruction rejected the point (triangulation failed or its
        reprojection error is too large).
    """

    GOOD = 0
    NOT_MEASURED = 1
    LOW_TEXTURE = 2
    NOT_SOLVED = 3
    LOW_CORRELATION = 4
    OUTLIER = 5
    STEREO_MATCH = 6
    RECONSTRUCTION = 7


def set_flag(flags: np.ndarray, where: np.ndarray, code: PointFlag) -> np.ndarray:
    """Give `code` to the points selected by `where` that are still good.

    Parameters
    ----------
    flags : ndarray of int
        Current flags (any shape); not modified.
    where : ndarray of bool
        Points that fail the check, broadcastable to `flags`.
    code : PointFlag
        The check's code.

    Returns
    -------
    ndarray of uint8
        ``flags`` with ``code`` where ``where & (flags == 0)``; earlier codes stay.
    """
    out = np.array(flags, dtype=np.uint8, copy=True)
    hit = np.broadcast_to(np.asarray(where, dtype=bool), out.shape) & (out == PointFlag.GOOD)
    out[hit] = np.uint8(code)
    return out


def count_flags(flags: np.ndarray, *, among: np.ndarray | None = None) -> dict[PointFlag, int]:
    """Number of points per code, every code present (zero when unused).

    Parameters
    ----------
    flags : ndarray of int
        Flags of the points.
    among : ndarray of bool, optional
        Count only these points (for example the grid nodes inside the ROI).

    Raises
    ------
    ValueError
        A flag value is not a `PointFlag` code.
    """
    f = np.asarray(flags)
    if among is not None:
        f = f[np.broadcast_to(np.asarray(among, dtype=bool), f.shape)]
    f = f.astype(np.int64).ravel()
    codes = {int(c) for c in PointFlag}
    unknown = sorted(set(np.unique(f).tolist()) - codes)
    if unknown:
        raise ValueError(f"unknown point flag value(s): {unknown}")
    counts = np.bincount(f, minlength=len(PointFlag))
    return {c: int(counts[int(c)]) for c in PointFlag}


# --------------------------------------------------------------------------
# Image noise
# --------------------------------------------------------------------------


def estimate_noise(
    image: np.ndarray, mask: np.ndarray | None = None, *, patch: int = 7, max_patches: int = 200_000
) -> float:
    """Standard deviation of additive white noise, estimated from one image.

    Principal-component estimate (Pyatykh, Hesser and Zheng 2013): the texture
    of an image occupies a subspace of the space of p x p patches, white noise
    of variance sigma^2 adds sigma^2 in every direction, so the smallest
    eigenvalue of the patch covariance is sigma^2 plus what texture reaches
    that direction:

    .. math::

        \\hat\\sigma^2 = \\lambda_{min}\\Big(\\frac{1}{n}\\sum_k (p_k - \\bar p)(p_k - \\bar p)^T\\Big)
                         \\Big/ \\big(1 - \\sqrt{p^2 / n}\\big)^2

    The division corrects the downward bias of the smallest eigenvalue of a
    sample covariance of n patches (Marchenko-Pastur lower edge).

    On speckle patterns whose dots span two pixels or more this recovers the
    noise to a few per cent; texture with energy up to the pixel scale adds to
    it, so on sharp patterns the value is an upper bound (on speckle dots of
    0.9 px standard deviation with noise 0.5, it gives 0.94; the
    fourth-difference estimate of Immerkaer 1996 gives 4.7 there, because its
    mask responds to the speckle itself).

    Parameters
    ----------
    image : ndarray, shape (H, W)
        Gray values.
    mask : ndarray of bool, shape (H, W), optional
        Use only patches lying entirely inside it (for example the ROI).
    patch : int
        Patch side p in pixels (odd or even, at least 3).
    max_patches : int
        At most about this many patches are used, on a regular sub-grid of
        patch positions (keeps memory bounded on large images).

    Returns
    -------
    float
        sigma in gray levels.

    Raises
    ------
    ValueError
        The image is not 2-D or not finite, or fewer than ``10 p^2`` patches fit
        (in the mask).
    """
    img = np.asarray(image, dtype=float)
    if img.ndim != 2:
        raise ValueError(f"image must be 2-D, got shape {img.shape}")
    if patch < 3:
        raise ValueError(f"patch must be at least 3, got {patch}")
    h, w = img.shape
    if h < patch or w < patch:
        raise ValueError(f"image {w} x {h} is smaller than one {patch} x {patch} patch")
    # Top-left corners of patches that lie inside the mask (and the image).
    if mask is None:
        inside = np.ones((h - patch + 1, w - patch + 1), dtype=bool)
    else:
        m = np.asarray(mask, dtype=bool)
        if m.shape != img.shape:
            raise ValueError(f"mask shape {m.shape} differs from the image's {img.shape}")
        inside = sliding_window_view(m, (patch, patch)).all(axis=(2, 3))
    total = int(inside.sum())
    stride = max(1, math.ceil(math.sqrt(total / max_patches))) if total else 1
    rows, cols = np.nonzero(inside[::stride, ::stride])
    d = patch * patch
    n = len(rows)
    if n < 10 * d:
        raise ValueError(f"too few {patch} x {patch} patches ({n}) to estimate the image noise")
    views = sliding_window_view(img, (patch, patch))[::stride, ::stride]
    vectors = views[rows, cols].reshape(n, d)
    if not np.all(np.isfinite(vectors)):
        raise ValueError("the image holds non-finite values")
    centred = vectors - vectors.mean(axis=0)
    cov = centred.T @ centred / n
    smallest = float(np.linalg.eigvalsh(cov)[0])
    bias = (1.0 - math.sqrt(d / n)) ** 2
    return math.sqrt(max(smallest, 0.0) / bias)


# --------------------------------------------------------------------------
# Subset texture
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class SubsetTexture:
    """Texture of the reference subsets around grid nodes.

    Attributes
    ----------
    sssig_x, sssig_y : ndarray
        Centred sums of squared intensity gradients along x and y over each
        subset, gray levels^2 / px^2 (see `subset_texture`).
    pixels : ndarray of int
        Number of subset pixels (the disc clipped to the image, and to the mask
        when one was given).
    """

    sssig_x: np.ndarray
    sssig_y: np.ndarray
    pixels: np.ndarray

    def predicted_std(self, noise: float) -> np.ndarray:
        """Predicted standard deviation of the displacement (px), the worse of u and v.

        Pan et al. (2008): for image noise sigma in both images,

        .. math::

            \\mathrm{std}(u) \\approx \\frac{\\sqrt{2}\\,\\sigma}{\\sqrt{S_x}}, \\qquad
            \\mathrm{std}(v) \\approx \\frac{\\sqrt{2}\\,\\sigma}{\\sqrt{S_y}}

        where S is the SSSIG of the noise-free image. The measured SSSIG also
        holds the noise's own gradients, whose expectation for the central
        difference is n sigma^2 / 2 per direction; it is subtracted,
        ``S = sssig - n sigma^2 / 2``, so that a subset of pure noise predicts an
        unbounded error (+inf where S <= 0) instead of sqrt(4 / n) px.

        Parameters
        ----------
        noise : float
            sigma in gray levels (see `estimate_noise`).
        """
        s2 = float(noise) ** 2
        floor = 0.5 * s2 * self.pixels
        worst = np.minimum(self.sssig_x - floor, self.sssig_y - floor)
        with np.errstate(divide="ignore", invalid="ignore"):
            std = math.sqrt(2.0) * float(noise) / np.sqrt(worst)
        return np.where(worst > 0.0, std, np.inf)

    def low(self, noise: float, precision: float) -> np.ndarray:
        """True where the predicted displacement standard deviation exceeds `precision` px."""
        return ~(self.predicted_std(noise) <= precision)


def texture_threshold(noise: float, precision: float) -> float:
    """Noise-free SSSIG a subset needs for a displacement precision (Pan et al. 2008).

    .. math:: S_{min} = 2\\,\\sigma^2 / \\delta^2

    for noise sigma (gray levels) and target standard deviation delta (px).
    """
    if not precision > 0:
        raise ValueError(f"precision must be positive, got {precision}")
    return 2.0 * float(noise) ** 2 / float(precision) ** 2


def _disc_rows(radius: int) -> list[tuple[int, int]]:
    """(dy, half width) of the rows of the disc dx^2 + dy^2 <= r^2."""
    return [(dy, math.isqrt(radius * radius - dy * dy)) for dy in range(-radius, radius + 1)]


def _subset_centres(img: np.ndarray, x, y) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """`x` as an array, and the centres rounded to whole pixels (flat), checked to lie inside `img`."""
    xs = np.asarray(x)
    ys = np.asarray(y)
    if xs.shape != ys.shape:
        raise ValueError(f"x and y differ in shape: {xs.shape} vs {ys.shape}")
    xi = np.rint(xs).astype(np.int64).ravel()
    yi = np.rint(ys).astype(np.int64).ravel()
    h, w = img.shape
    if xi.size and (xi.min() < 0 or yi.min() < 0 or xi.max() >= w or yi.max() >= h):
        raise ValueError("subset centres must lie inside the image")
    return xs, xi, yi


def subset_texture(
    image: np.ndarray,
    x: np.ndarray,
    y: np.ndarray,
    radius: int,
    mask: np.ndarray | None = None,
) -> SubsetTexture:
    """SSSIG of the disc subsets of radius `radius` centred on integer pixels (x, y).

    The subset is the one the correlation uses: the pixels (x + dx, y + dy)
    with dx^2 + dy^2 <= r^2, clipped to the image and, when `mask` is given
    (subset truncation), to the mask. Gradients are central differences,
    ``g_x = (I[y, x+1] - I[y, x-1]) / 2`` (one-sided on the image border).
    The sums are centred on the subset's mean gradient,

    .. math::

        S_x = \\sum_{subset} (g_x - \\bar g_x)^2 = \\sum g_x^2 - \\frac{(\\sum g_x)^2}{n}

    because a zero-normalised criterion is blind to a uniform gradient (a
    brightness ramp): moving a ramp changes every pixel by the same amount,
    which the subtracted mean absorbs.

    Parameters
    ----------
    image : ndarray, shape (H, W)
        Reference image.
    x, y : ndarray of int
        Subset centres in pixels (same shape, any), inside the image.
    radius : int
        Subset radius in pixels.
    mask : ndarray of bool, shape (H, W), optional
        Clip the subsets to it.

    Returns
    -------
    SubsetTexture
        Arrays of the shape of `x`.
    """
    img = np.asarray(image, dtype=float)
    if img.ndim != 2:
        raise ValueError(f"image must be 2-D, got shape {img.shape}")
    if radius < 0:
        raise ValueError(f"radius must be non-negative, got {radius}")
    xs, xi, yi = _subset_centres(img, x, y)
    h, w = img.shape
    gy, gx = np.gradient(img) if min(h, w) > 1 else (np.zeros_like(img), np.zeros_like(img))
    inside = np.ones_like(img) if mask is None else np.asarray(mask, dtype=bool).astype(float)
    if inside.shape != img.shape:
        raise ValueError(f"mask shape {inside.shape} differs from the image's {img.shape}")
    planes = np.stack([inside, gx * inside, gy * inside, gx * gx * inside, gy * gy * inside])
    # Row-wise running sums: a row segment of the disc is a difference of two of them.
    cums = np.zeros((planes.shape[0], h, w + 1))
    np.cumsum(planes, axis=2, out=cums[:, :, 1:])
    sums = np.zeros((planes.shape[0], xi.size))
    for dy, half in _disc_rows(int(radius)):
        row = yi + dy
        ok = (row >= 0) & (row < h)
        if not ok.any():
            continue
        lo = np.clip(xi[ok] - half, 0, w)
        hi = np.clip(xi[ok] + half + 1, 0, w)
        r = row[ok]
        sums[:, ok] += cums[:, r, hi] - cums[:, r, lo]
    n, sx, sy, sxx, syy = sums
    with np.errstate(divide="ignore", invalid="ignore"):
        cx = np.where(n > 0, sxx - sx * sx / n, 0.0)
        cy = np.where(n > 0, syy - sy * sy / n, 0.0)
    pixels = np.rint(n).astype(np.int64)
    return SubsetTexture(
        sssig_x=np.maximum(cx, 0.0).reshape(xs.shape),
        sssig_y=np.maximum(cy, 0.0).reshape(xs.shape),
        pixels=pixels.reshape(xs.shape),
    )


@dataclass(frozen=True)
class SubsetPrecision:
    """Predicted displacement precision of first-order (affine) subsets.

    Attributes
    ----------
    u_std, v_std : ndarray
        Predicted standard deviation of u and v at the subset centre, px;
        +inf where the subset cannot determine them.
    pixels : ndarray of int
        Number of subset pixels.
    """

    u_std: np.ndarray
    v_std: np.ndarray
    pixels: np.ndarray

    @property
    def std(self) -> np.ndarray:
        """The worse of `u_std` and `v_std`."""
        return np.maximum(self.u_std, self.v_std)

    def low(self, precision: float) -> np.ndarray:
        """True where the predicted standard deviation exceeds `precision` px."""
        return ~(self.std <= precision)


def subset_precision(
    image: np.ndarray,
    x: np.ndarray,
    y: np.ndarray,
    radius: int,
    noise: float,
    mask: np.ndarray | None = None,
    *,
    chunk: int = 64,
) -> SubsetPrecision:
    """Predicted precision of u and v at the centre of a first-order subset under a zero-normalised criterion.

    `subset_texture`'s SSSIG predicts the precision of a subset that only
    translates. The correlation fits an affine warp and an intensity offset
    and gain, so what decides the precision of u at the centre is how well the
    texture pins down the warp *there*: texture confined to one edge of the
    subset (a subset half over an untextured area) fixes the displacement at
    that edge, and the centre's value is an extrapolation by the fitted
    gradient. The Cramer-Rao bound of the linearised model states it: with
    columns over the subset pixels

    .. math::

        J = [g_x,\\ g_x \\xi,\\ g_x \\eta,\\ g_y,\\ g_y \\xi,\\ g_y \\eta,\\ 1,\\ I - \\bar I],
        \\qquad \\xi = dx / r,\\ \\eta = dy / r

    (u, its two gradients, v, its two gradients, offset, gain) and
    ``M = J^T J``,

    .. math::

        \\mathrm{std}(u_0) = \\sqrt{2}\\,\\sigma \\sqrt{(M^{-1})_{00}}, \\qquad
        \\mathrm{std}(v_0) = \\sqrt{2}\\,\\sigma \\sqrt{(M^{-1})_{33}}

    for noise sigma in both images. For a translation-only model this is
    Pan's sqrt(2) sigma / sqrt(SSSIG). As in `SubsetTexture.predicted_std`,
    the expected contribution of the noise's own central-difference gradients,
    ``sigma^2 / 2 * sum q q^T`` with ``q = (1, xi, eta)``, is removed from the
    u and v blocks of M first; where M is then not positive definite the
    subset holds no usable texture and the result is +inf.

    Parameters
    ----------
    image : ndarray, shape (H, W)
        Reference image.
    x, y : ndarray of int
        Subset centres (same shape), inside the image.
    radius : int
        Subset radius r in pixels (the disc dx^2 + dy^2 <= r^2, clipped to the
        image and to `mask` when given).
    noise : float
        Image noise sigma in gray levels (`estimate_noise`).
    mask : ndarray of bool, optional
        Clip the subsets to it (subset truncation).
    chunk : int
        Subsets processed at once (memory: chunk x subset pixels x 8 values).
        Each subset's result is computed on its own: the chunk size changes
        the speed only (small chunks stay in the processor's caches), never
        a value.

    Returns
    -------
    SubsetPrecision
        Arrays of the shape of `x`.
    """
    img = np.asarray(image, dtype=float)
    if img.ndim != 2:
        raise ValueError(f"image must be 2-D, got shape {img.shape}")
    if radius < 1:
        raise ValueError(f"radius must be at least 1, got {radius}")
    if not (math.isfinite(noise) and noise >= 0):
        raise ValueError(f"noise must be a non-negative number, got {noise}")
    xs, xi, yi = _subset_centres(img, x, y)
    h, w = img.shape
    m = None
    if mask is not None:
        m = np.asarray(mask, dtype=bool)
        if m.shape != img.shape:
            raise ValueError(f"mask shape {m.shape} differs from the image's {img.shape}")
    gy, gx = np.gradient(img) if min(h, w) > 1 else (np.zeros_like(img), np.zeros_like(img))
    r = int(radius)
    oy, ox = np.mgrid[-r : r + 1, -r : r + 1]
    disc = ox * ox + oy * oy <= r * r
    ox, oy = ox[disc], oy[disc]
    xi_n, eta_n = ox / r, oy / r
    u_std = np.full(xi.size, np.inf)
    v_std = np.full(xi.size, np.inf)
    pixels = np.zeros(xi.size, dtype=np.int64)
    half_var = 0.5 * float(noise) ** 2
    for s in range(0, xi.size, max(1, int(chunk))):
        X = xi[s : s + chunk, None] + ox[None, :]
        Y = yi[s : s + chunk, None] + oy[None, :]
        inside = (X >= 0) & (Y >= 0) & (X < w) & (Y < h)
        Xc, Yc = np.clip(X, 0, w - 1), np.clip(Y, 0, h - 1)
        if m is not None:
            inside &= m[Yc, Xc]
        one = inside.astype(float)
        n = one.sum(axis=1)
        pixels[s : s + chunk] = n.astype(np.int64)
        a = gx[Yc, Xc] * one
        b = gy[Yc, Xc] * one
        val = img[Yc, Xc] * one
        mean = val.sum(axis=1, keepdims=True) / np.maximum(n, 1)[:, None]
        J = np.stack([a, a * xi_n, a * eta_n, b, b * xi_n, b * eta_n, one, (val - mean) * one], axis=-1)
        M = np.swapaxes(J, 1, 2) @ J
        q = np.stack([one, one * xi_n, one * eta_n], axis=-1)
        P = half_var * (np.swapaxes(q, 1, 2) @ q)
        M[:, 0:3, 0:3] -= P
        M[:, 3:6, 3:6] -= P
        # Positive definite (scaled by the diagonal, so texture strength does not matter).
        d = np.sqrt(np.abs(np.einsum("nii->ni", M)))
        good = np.all(d > 0, axis=1) & (n >= 8)
        Ms = M / np.where(good[:, None], d, 1.0)[:, :, None] / np.where(good[:, None], d, 1.0)[:, None, :]
        Ms[~good] = np.eye(8)
        good &= np.linalg.eigvalsh(Ms)[:, 0] > 1e-10
        if good.any():
            inv = np.linalg.inv(Ms[good]) / d[good][:, :, None] / d[good][:, None, :]
            var_u = inv[:, 0, 0]
            var_v = inv[:, 3, 3]
            idx = np.flatnonzero(good) + s
            u_std[idx] = np.where(var_u > 0, math.sqrt(2.0) * noise * np.sqrt(np.abs(var_u)), np.inf)
            v_std[idx] = np.where(var_v > 0, math.sqrt(2.0) * noise * np.sqrt(np.abs(var_v)), np.inf)
    return SubsetPrecision(
        u_std=u_std.reshape(xs.shape), v_std=v_std.reshape(xs.shape), pixels=pixels.reshape(xs.shape)
    )


# --------------------------------------------------------------------------
# Normalised median test
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class MedianTest:
    """Result of `median_test` over a grid.

    Attributes
    ----------
    residual : ndarray, shape (H, W)
        Normalised residual, the larger of u's and v's; NaN where not tested.
    outlier : ndarray of bool, shape (H, W)
        Tested and above the threshold.
    tested : ndarray of bool, shape (H, W)
        Usable nodes with at least `min_neighbours` usable neighbours.
    """

    residual: np.ndarray
    outlier: np.ndarray
    tested: np.ndarray


def _shifted(a: np.ndarray, dr: int, dc: int, fill: float) -> np.ndarray:
    """out[r, c] = a[r + dr, c + dc], `fill` outside the grid."""
    h, w = a.shape[:2]
    out = np.full_like(a, fill)
    r0, r1 = max(0, -dr), min(h, h - dr)
    c0, c1 = max(0, -dc), min(w, w - dc)
    if r0 < r1 and c0 < c1:
        out[r0:r1, c0:c1] = a[r0 + dr : r1 + dr, c0 + dc : c1 + dc]
    return out


def _nanmedian(stack: np.ndarray) -> np.ndarray:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN columns give NaN, as wanted
        return np.nanmedian(stack, axis=0)


def median_test(
    u: np.ndarray,
    v: np.ndarray,
    usable: np.ndarray,
    *,
    threshold: float = 2.0,
    eps: float = 0.1,
    radius: int = 1,
    min_neighbours: int = 3,
    gradient: np.ndarray | None = None,
    step: float = 1.0,
) -> MedianTest:
    """Normalised median test of a displacement field over its grid neighbours.

    Westerweel and Scarano (2005). For node 0 and its usable neighbours i (the
    (2 radius + 1)^2 - 1 nodes around it, those outside the grid or not usable
    left out), each displacement component is tested against the neighbours'
    median, normalised by the neighbours' own median residual:

    .. math::

        u_m = \\mathrm{med}_i\\,p_i, \\quad r_i = |p_i - u_m|, \\quad
        r_0 = \\frac{|u_0 - u_m|}{\\mathrm{med}_i\\,r_i + \\epsilon}

    and the node is an outlier when ``max(r0(u), r0(v)) > threshold``. Without
    `gradient`, ``p_i = u_i``. With it, each neighbour predicts node 0 from its
    own displacement gradient, ``p_i = u_i + grad_i . (x_0 - x_i)``: an affine
    field then gives identical predictions even where the neighbourhood is
    one-sided (borders, holes) or the field varies strongly between nodes,
    where the plain test would flag good nodes.

    Parameters
    ----------
    u, v : ndarray, shape (H, W)
        Displacement components (px); values at unusable nodes are ignored.
    usable : ndarray of bool, shape (H, W)
        Nodes that take part (solved and not rejected by earlier checks).
    threshold : float
        Normalised residual above which a node is an outlier (2 is usual).
    eps : float
        Acceptable residual level in px (0.1 px for sub-pixel correlation);
        keeps a perfectly smooth neighbourhood from flagging noise.
    radius : int
        Neighbourhood half size in nodes (1: the 8 neighbours).
    min_neighbours : int
        Nodes with fewer usable neighbours are not tested.
    gradient : ndarray, shape (H, W, 2, 2), optional
        ``gradient[r, c, i, j] = d u_i / d x_j`` (u_0 = u, u_1 = v, x_0 = x,
        x_1 = y), dimensionless.
    step : float
        Grid pitch in px (used with `gradient`).

    Returns
    -------
    MedianTest
    """
    uu = np.asarray(u, dtype=float)
    vv = np.asarray(v, dtype=float)
    ok = np.asarray(usable, dtype=bool)
    if uu.ndim != 2 or uu.shape != vv.shape or uu.shape != ok.shape:
        raise ValueError(f"u, v and usable must be 2-D of one shape, got {uu.shape}, {vv.shape}, {ok.shape}")
    if radius < 1:
        raise ValueError(f"radius must be at least 1, got {radius}")
    if min_neighbours < 1:
        raise ValueError(f"min_neighbours must be at least 1, got {min_neighbours}")
    field = np.stack([uu, vv], axis=-1)
    ok = ok & np.all(np.isfinite(field), axis=-1)
    field = np.where(ok[..., None], field, np.nan)
    if gradient is not None:
        grad = np.asarray(gradient, dtype=float)
        if grad.shape != uu.shape + (2, 2):
            raise ValueError(f"gradient must have shape {uu.shape + (2, 2)}, got {grad.shape}")
        # A neighbour without a gradient cannot predict; node 0 itself needs none.
        neighbour = np.where(np.all(np.isfinite(grad), axis=(-2, -1))[..., None], field, np.nan)
    else:
        neighbour = field

    predictions = []
    for dr in range(-radius, radius + 1):
        for dc in range(-radius, radius + 1):
            if dr == 0 and dc == 0:
                continue
            p = _shifted(neighbour, dr, dc, np.nan)
            if gradient is not None:
                g = _shifted(grad, dr, dc, np.nan)
                # From the neighbour at offset (dc, dr) nodes back to node 0.
                p = p - step * (g[..., 0] * dc + g[..., 1] * dr)
            predictions.append(p)
    pred = np.stack(predictions)  # (K, H, W, 2)
    count = np.sum(np.isfinite(pred[..., 0]), axis=0)
    med = _nanmedian(pred)
    spread = _nanmedian(np.abs(pred - med))
    with np.errstate(invalid="ignore"):
        r0 = np.abs(field - med) / (spread + eps)
    tested = ok & (count >= min_neighbours)
    residual = np.where(tested, np.max(r0, axis=-1), np.nan)
    with np.errstate(invalid="ignore"):
        outlier = tested & (residual > threshold)
    return MedianTest(residual=residual, outlier=outlier, tested=tested)
