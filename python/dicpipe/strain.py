"""Strain from a measured displacement field: tensors, principal values and strain windows.

Strain tensors (`strain_tensor`) are computed from an in-plane deformation
gradient F (2 x 2): in 2D, ``F = I + grad u`` with grad u in the image's x/y
frame; on a surface, F expressed in local in-plane frames of the reference and
deformed surface (`surface_frame`, `in_plane_gradient`). The four tensors:

========================  =========================================  ===================================
``tensor``                definition                                 uniaxial stretch lambda
========================  =========================================  ===================================
``"green-lagrange"``      E = 1/2 (F^T F - I)                        (lambda^2 - 1) / 2
``"engineering"``         eps = 1/2 (F + F^T) - I  (small strain)    lambda - 1
``"hencky"``              H = ln U = 1/2 ln(F^T F)  (true strain)    ln lambda
``"euler-almansi"``       e = 1/2 (I - (F F^T)^-1)                   (1 - lambda^-2) / 2
========================  =========================================  ===================================

Green-Lagrange and Hencky are material (Lagrangian) tensors: their components
refer to directions of the reference configuration. Euler-Almansi is spatial:
its components refer to directions of the deformed configuration. The
engineering (small-strain) tensor is linear in the displacement gradient and
not objective: a rigid rotation by theta gives eps = (cos theta - 1) I, while
the three others give zero. Components: ``xx``, ``yy`` and the tensor shear
``xy`` (half the engineering shear angle gamma_xy); principal values: ``major``
the larger, ``minor`` the smaller.

Strain windows smooth the noisy displacement field before differentiating:

* on the grid of a 2D measurement (`grid_window_gradient`): a least-squares
  plane fit of u and v over the window x window usable nodes around each node;
* on a reconstructed surface (`surface_window_gradient`): a least-squares fit
  of the 3D displacement as a linear function of the position in the local
  tangent plane, over the usable points within a radius.

`window_gauge_length` and `surface_gauge_length` give their effective gauge
lengths.

Why a fit on surfaces rather than an area-weighted average of the per-face
deformation gradients (``bench/strain_window.py``): both reproduce a
homogeneous deformation, but at the same gauge length the fit's spread is 10
to 50 % smaller, it stays unbiased next to edges and holes, and it is free of
the average's bias: each face's gradient maps its own noise-tilted plane, and
projecting it onto the mean plane shortens the in-plane stretch by about the
squared tilt, a few hundred microstrain with realistic out-of-plane noise
however many faces are averaged.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

__all__ = [
    "TENSORS",
    "GridGradient",
    "StrainComponents",
    "SurfaceGradient",
    "default_min_points",
    "grid_window_gradient",
    "in_plane_gradient",
    "principal_values",
    "strain_components",
    "strain_tensor",
    "surface_frame",
    "surface_gauge_length",
    "surface_window_gradient",
    "window_gauge_length",
]

#: The strain tensors `strain_tensor` computes, by the names the experiment file uses.
TENSORS = ("green-lagrange", "engineering", "hencky", "euler-almansi")


def _check_tensor(tensor: str) -> None:
    if tensor not in TENSORS:
        raise ValueError(f"unknown strain tensor {tensor!r}: expected one of {', '.join(TENSORS)}")


def _sym2_eigen(a: np.ndarray, b: np.ndarray, d: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Mean and half-difference (m, rad) of the eigenvalues m +/- rad of [[a, b], [b, d]]."""
    return 0.5 * (a + d), np.hypot(0.5 * (a - d), b)


def strain_tensor(F: np.ndarray, tensor: str = "green-lagrange") -> np.ndarray:
    """Strain tensor (..., 2, 2) of in-plane deformation gradients F (..., 2, 2).

    ``F[..., i, j] = d x_i / d X_j``. Rows with a non-finite F, or (Hencky,
    Euler-Almansi) a singular one, give NaN.

    Formulas (C = F^T F, b = F F^T, I the identity):

    * green-lagrange: ``E = (C - I) / 2``
    * engineering: ``eps = (F + F^T) / 2 - I``
    * hencky: ``H = ln(C) / 2``, computed in closed form for a symmetric 2 x 2
      C with eigenvalues ``m (1 +/- x)``: ``ln C = alpha I + beta C`` with
      ``beta = artanh(x) / (m x)`` (1 / m as x -> 0) and
      ``alpha = ln(m (1 - x)) - beta m (1 - x)``
    * euler-almansi: ``e = (I - b^-1) / 2``

    Parameters
    ----------
    F : ndarray, shape (..., 2, 2)
    tensor : str
        One of `TENSORS`.
    """
    _check_tensor(tensor)
    f = np.asarray(F, dtype=float)
    if f.shape[-2:] != (2, 2):
        raise ValueError(f"F must have shape (..., 2, 2), got {f.shape}")
    eye = np.eye(2)
    ft = np.swapaxes(f, -1, -2)
    if tensor == "green-lagrange":
        return 0.5 * (ft @ f - eye)
    if tensor == "engineering":
        return 0.5 * (f + ft) - eye
    if tensor == "euler-almansi":
        b = f @ ft
        det = b[..., 0, 0] * b[..., 1, 1] - b[..., 0, 1] * b[..., 1, 0]
        good = np.isfinite(det) & (det > 0)
        safe = np.where(good, det, 1.0)
        inv = np.empty_like(b)
        inv[..., 0, 0] = b[..., 1, 1] / safe
        inv[..., 1, 1] = b[..., 0, 0] / safe
        inv[..., 0, 1] = -b[..., 0, 1] / safe
        inv[..., 1, 0] = -b[..., 1, 0] / safe
        out = 0.5 * (eye - inv)
        return np.where(good[..., None, None], out, np.nan)
    # Hencky
    c = ft @ f
    a, bb, d = c[..., 0, 0], 0.5 * (c[..., 0, 1] + c[..., 1, 0]), c[..., 1, 1]
    m, rad = _sym2_eigen(a, bb, d)
    good = np.isfinite(m) & np.isfinite(rad) & (m - rad > 0)
    m_s = np.where(good, m, 1.0)
    x = np.where(good, rad / m_s, 0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.where(x > 1e-8, np.arctanh(x) / np.where(x > 1e-8, x, 1.0), 1.0 + x * x / 3.0)
    beta = ratio / m_s
    low = m_s * (1.0 - x)
    alpha = np.log(low) - beta * low
    sym = np.stack([np.stack([a, bb], -1), np.stack([bb, d], -1)], -2)
    out = 0.5 * (alpha[..., None, None] * eye + beta[..., None, None] * sym)
    return np.where(good[..., None, None], out, np.nan)


def principal_values(S: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Principal values (major, minor) of symmetric 2 x 2 tensors S (..., 2, 2).

    .. math::

        s_{major, minor} = \\frac{s_{xx} + s_{yy}}{2} \\pm
            \\sqrt{\\Big(\\frac{s_{xx} - s_{yy}}{2}\\Big)^2 + s_{xy}^2}

    major >= minor; NaN where S is.
    """
    s = np.asarray(S, dtype=float)
    if s.shape[-2:] != (2, 2):
        raise ValueError(f"S must have shape (..., 2, 2), got {s.shape}")
    m, rad = _sym2_eigen(s[..., 0, 0], 0.5 * (s[..., 0, 1] + s[..., 1, 0]), s[..., 1, 1])
    return m + rad, m - rad


@dataclass(frozen=True)
class StrainComponents:
    """Strain of a set of points or faces in a stated in-plane frame.

    Attributes
    ----------
    xx, yy, xy : ndarray
        Tensor components (xy is the tensor shear, half the engineering shear).
    major, minor : ndarray
        Principal values, major >= minor.
    """

    xx: np.ndarray
    yy: np.ndarray
    xy: np.ndarray
    major: np.ndarray
    minor: np.ndarray

    def as_dict(self, prefix: str = "strain_") -> dict[str, np.ndarray]:
        """``{prefix + "xx": ..., "yy", "xy", "major", "minor"}``."""
        return {prefix + k: getattr(self, k) for k in ("xx", "yy", "xy", "major", "minor")}


def strain_components(F: np.ndarray, tensor: str = "green-lagrange") -> StrainComponents:
    """Components and principal values of `strain_tensor` (F, tensor)."""
    s = strain_tensor(F, tensor)
    major, minor = principal_values(s)
    return StrainComponents(xx=s[..., 0, 0], yy=s[..., 1, 1], xy=s[..., 0, 1], major=major, minor=minor)


# --------------------------------------------------------------------------
# The 2D strain window
# --------------------------------------------------------------------------


@dataclass(frozen=True)
class GridGradient:
    """Displacement gradient fitted over a window of grid nodes.

    Attributes
    ----------
    gradient : ndarray, shape (H, W, 2, 2)
        ``gradient[r, c, i, j] = d u_i / d x_j`` (u_0 = u, u_1 = v, x_0 = x,
        x_1 = y), dimensionless; NaN where not valid.
    displacement : ndarray, shape (H, W, 2)
        The fitted (smoothed) displacement at the node; NaN where not valid.
    count : ndarray of int, shape (H, W)
        Usable nodes in the window.
    valid : ndarray of bool, shape (H, W)
        Enough usable nodes, not all on one line.
    """

    gradient: np.ndarray
    displacement: np.ndarray
    count: np.ndarray
    valid: np.ndarray

    @property
    def F(self) -> np.ndarray:
        """Deformation gradient ``I + gradient`` (H, W, 2, 2)."""
        return self.gradient + np.eye(2)


def default_min_points(window: int) -> int:
    """The fewest usable nodes of a window that `grid_window_gradient` accepts: max(4, ceil(window^2 / 3)).

    A third of the window keeps the quarter window at a convex corner of the
    ROI (9 of 25 nodes for a window of 5).
    """
    return max(4, math.ceil(window * window / 3))


def _check_window(window: int) -> int:
    if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 3 or window % 2 == 0:
        raise ValueError(f"the strain window must be an odd number of nodes >= 3, got {window!r}")
    return int(window)


def grid_window_gradient(
    u: np.ndarray,
    v: np.ndarray,
    usable: np.ndarray,
    *,
    window: int = 5,
    step: float = 1.0,
    min_points: int | None = None,
) -> GridGradient:
    """Displacement gradient by a least-squares plane fit over a window of grid nodes.

    At every node, u and v are fitted over the usable nodes of the window x
    window block centred on it, in node offsets (a, b) = (column, row):

    .. math::

        u(a, b) \\approx u_0 + \\frac{\\partial u}{\\partial x} s\\,a + \\frac{\\partial u}{\\partial y} s\\,b

    (s = `step`, px per node), and likewise v. A linear field is reproduced
    exactly, also where the window is one-sided (ROI borders, holes). The fit
    is valid where the window holds at least `min_points` usable nodes whose
    offsets are not all on one line (the smallest eigenvalue of their
    covariance, in node units, at least 0.2: two adjacent rows pass).

    The window's effective gauge length is `window_gauge_length`.

    Parameters
    ----------
    u, v : ndarray, shape (H, W)
        Displacement components; values at unusable nodes are ignored.
    usable : ndarray of bool, shape (H, W)
        Nodes that enter the fits (solved and good).
    window : int
        Odd window size in nodes (>= 3).
    step : float
        Grid pitch (px, or mm for a scaled measurement) so that the gradient
        is per unit of the displacement's length.
    min_points : int, optional
        Fewest usable nodes; default `default_min_points` (window).

    Returns
    -------
    GridGradient
        Every node, usable or not, gets the fit of its window; callers mask
        the nodes they do not report.
    """
    w = _check_window(window)
    uu = np.asarray(u, dtype=float)
    vv = np.asarray(v, dtype=float)
    ok = np.asarray(usable, dtype=bool)
    if uu.ndim != 2 or uu.shape != vv.shape or uu.shape != ok.shape:
        raise ValueError(f"u, v and usable must be 2-D of one shape, got {uu.shape}, {vv.shape}, {ok.shape}")
    if not step > 0:
        raise ValueError(f"step must be positive, got {step}")
    need = default_min_points(w) if min_points is None else int(min_points)
    if need < 3:
        raise ValueError(f"min_points must be at least 3, got {min_points}")
    ok = ok & np.isfinite(uu) & np.isfinite(vv)
    m = ok.astype(float)
    mu = np.where(ok, uu, 0.0)
    mv = np.where(ok, vv, 0.0)
    h = w // 2
    b, a = np.mgrid[-h : h + 1, -h : h + 1].astype(float)  # row offset b, column offset a

    from scipy import ndimage

    def corr(arr: np.ndarray, kernel: np.ndarray) -> np.ndarray:
        return ndimage.correlate(arr, kernel, mode="constant", cval=0.0)

    ones = np.ones_like(a)
    s0 = corr(m, ones)
    sa, sb = corr(m, a), corr(m, b)
    saa, sab, sbb = corr(m, a * a), corr(m, a * b), corr(m, b * b)
    count = np.rint(s0).astype(np.int64)
    n = np.where(count > 0, s0, 1.0)
    caa = saa - sa * sa / n
    cab = sab - sa * sb / n
    cbb = sbb - sb * sb / n
    det = caa * cbb - cab * cab
    # Smallest eigenvalue of the offsets' covariance (node units).
    mean_var, half_gap = _sym2_eigen(caa / n, cab / n, cbb / n)
    spread = mean_var - half_gap
    valid = (count >= need) & (spread >= 0.2) & (det > 0)
    safe = np.where(valid, det, 1.0)
    gradient = np.full(uu.shape + (2, 2), np.nan)
    displacement = np.full(uu.shape + (2,), np.nan)
    for i, f in enumerate((mu, mv)):
        s = corr(f, ones)
        ca = corr(f, a) - sa * s / n
        cb = corr(f, b) - sb * s / n
        ga = (cbb * ca - cab * cb) / safe  # per node
        gb = (caa * cb - cab * ca) / safe
        centre = (s - ga * sa - gb * sb) / n
        gradient[..., i, 0] = np.where(valid, ga / step, np.nan)
        gradient[..., i, 1] = np.where(valid, gb / step, np.nan)
        displacement[..., i] = np.where(valid, centre, np.nan)
    return GridGradient(gradient=gradient, displacement=displacement, count=count, valid=valid)


def window_gauge_length(window: int, step: float = 1.0, *, subset_radius: float | None = None) -> float:
    """Effective gauge length of the strain window, in the units of `step`.

    The gauge length of a window is defined as the length L of an ideal strain
    gauge (the plain average of the strain over L) with the same second
    moment: for a cubic displacement u = c x^3 both report, at x = 0, the
    strain c L^2 / 4 where the true strain is 0. For the plane fit over nodes
    k = -h..h (h = (window - 1) / 2) of pitch s the fitted slope of c x^3 is
    ``c s^2 sum(k^4) / sum(k^2)``, hence

    .. math:: L_w = 2 s \\sqrt{\\sum k^4 / \\sum k^2}

    (2 s for a window of 3, 3.69 s for 5, 5.29 s for 7).

    With `subset_radius` r, the correlation's own averaging is included: a
    subset with an affine shape function reports, for uniform texture, the
    mean displacement over its disc, whose gauge length is sqrt(3) r, and the
    squares add:

    .. math:: L = \\sqrt{L_w^2 + 3 r^2}
    """
    w = _check_window(window)
    k = np.arange(-(w // 2), w // 2 + 1, dtype=float)
    length = 2.0 * float(step) * math.sqrt(float(np.sum(k**4) / np.sum(k**2)))
    if subset_radius is None:
        return length
    return math.sqrt(length * length + 3.0 * float(subset_radius) ** 2)


# --------------------------------------------------------------------------
# Surfaces: frames and the surface strain window
# --------------------------------------------------------------------------


def _unit(v: np.ndarray) -> np.ndarray:
    with np.errstate(invalid="ignore", divide="ignore"):
        return v / np.linalg.norm(v, axis=-1, keepdims=True)


def surface_frame(normals: np.ndarray, axis=(1.0, 0.0, 0.0)) -> tuple[np.ndarray, np.ndarray]:
    """In-plane frame (e1, e2) of surfaces with unit normals n (..., 3).

    ``e1`` is the projection of `axis` (default the world x axis) onto the
    tangent plane, normalised; ``e2 = n x e1``. Where `axis` is within 0.06
    degree of the normal, the world y axis (or x, if `axis` is y) is projected
    instead. (e1, e2, n) is right-handed.
    """
    n = np.asarray(normals, dtype=float)
    ax = np.asarray(axis, dtype=float)
    if ax.shape != (3,) or not np.linalg.norm(ax) > 0:
        raise ValueError(f"axis must be a non-zero 3-vector, got {axis!r}")
    ax = ax / np.linalg.norm(ax)
    other = np.array([0.0, 1.0, 0.0]) if abs(ax[1]) < 0.9 else np.array([1.0, 0.0, 0.0])
    p = ax - np.sum(n * ax, axis=-1, keepdims=True) * n
    q = other - np.sum(n * other, axis=-1, keepdims=True) * n
    p = np.where(np.linalg.norm(p, axis=-1, keepdims=True) < 1e-3, q, p)
    e1 = _unit(p)
    e2 = np.cross(n, e1)
    return e1, e2


def in_plane_gradient(Fmat: np.ndarray, normals_ref: np.ndarray, normals_def: np.ndarray, axis=(1.0, 0.0, 0.0)):
    """2 x 2 in-plane deformation gradients of surface deformation gradients F (M, 3, 3).

    ``F2[i, j] = e'_i . F e_j`` with (e1, e2) the `surface_frame` of the
    reference normals and (e1', e2') that of the deformed normals. For an F
    that maps the reference tangent plane onto the deformed one (as the
    per-face deformation gradients of the surface-deformation module do),
    ``F2^T F2`` is the reference in-plane block of ``F^T F``, so the
    Green-Lagrange and Hencky strains of F2 are the in-plane parts of the 3D
    ones in the frame (e1, e2), and Euler-Almansi's in (e1', e2').
    """
    f = np.asarray(Fmat, dtype=float)
    e1, e2 = surface_frame(normals_ref, axis)
    d1, d2 = surface_frame(normals_def, axis)
    ref = np.stack([e1, e2], axis=-1)  # (M, 3, 2)
    cur = np.stack([d1, d2], axis=-1)
    return np.swapaxes(cur, -1, -2) @ f @ ref


@dataclass(frozen=True)
class SurfaceGradient:
    """In-plane deformation gradients fitted over surface neighbourhoods.

    Attributes
    ----------
    F : ndarray, shape (M, 2, 2)
        ``F[m, i, j] = e'_i . (d x / d X) e_j``: reference frame (e1, e2) to
        deformed frame (e1', e2'); NaN where not valid. Pass it to
        `strain_components`.
    normal : ndarray, shape (M, 3)
        Unit normal of the fitted reference tangent plane.
    e1 : ndarray, shape (M, 3)
        First axis of the reference in-plane frame (`surface_frame` of
        `normal`); the strain components xx, yy, xy refer to (e1, e2).
    count : ndarray of int, shape (M,)
        Usable points within the radius.
    valid : ndarray of bool, shape (M,)
    """

    F: np.ndarray
    normal: np.ndarray
    e1: np.ndarray
    count: np.ndarray
    valid: np.ndarray


def surface_gauge_length(radius: float) -> float:
    """Effective gauge length sqrt(2) R of the surface window of radius R (dense, uniform points).

    Same definition as `window_gauge_length`: over a disc of uniformly spread
    points the least-squares slope of c x^3 is ``c <x^4> / <x^2> = c R^2 / 2``,
    which equals the ideal gauge's ``c L^2 / 4`` for ``L = sqrt(2) R``.
    """
    if not radius > 0:
        raise ValueError(f"radius must be positive, got {radius}")
    return math.sqrt(2.0) * float(radius)


def surface_window_gradient(
    points_ref: np.ndarray,
    points_def: np.ndarray,
    usable: np.ndarray,
    centres: np.ndarray,
    normals: np.ndarray,
    radius: float,
    *,
    min_points: int = 6,
    axis=(1.0, 0.0, 0.0),
) -> SurfaceGradient:
    """Surface deformation gradient at `centres` by a least-squares fit in the local tangent plane.

    For each centre c, the usable points X_k within `radius` of c (reference
    positions) give the tangent plane: through their mean, normal to the
    direction of least spread (the smallest principal axis of their
    covariance), oriented like `normals`. With the in-plane frame (e1, e2) of
    that normal (`surface_frame`) and in-plane coordinates
    ``xi_k = ((X_k - mean) . e1, (X_k - mean) . e2)``, the 3D displacement
    d_k = x_k - X_k is fitted by least squares as

    .. math:: d(\\xi) \\approx d_0 + B\\,\\xi, \\qquad B \\in R^{3 \\times 2}

    The deformed images of the frame vectors are ``a_j = e_j + B[:, j]``; with
    the deformed frame (e1', e2') of the normal ``a_1 x a_2`` the in-plane
    deformation gradient is ``F[i, j] = e'_i . a_j``. A linear displacement
    field over a plane is reproduced exactly, also with one-sided
    neighbourhoods (edges, holes).

    Valid where at least `min_points` usable points lie within the radius
    and their in-plane spread is not degenerate (smallest eigenvalue of the
    in-plane covariance at least (R / 8)^2).

    Parameters
    ----------
    points_ref, points_def : ndarray, shape (N, 3)
        Reference and deformed positions.
    usable : ndarray of bool, shape (N,)
        Points that enter the fits.
    centres : ndarray, shape (M, 3)
        Where to evaluate (for example the reference centroids of the faces).
    normals : ndarray, shape (M, 3)
        Approximate reference normals at the centres (for example the faces'
        normals), only for the orientation of the fitted normal.
    radius : float
        Window radius R, in the points' units.
    min_points : int
        Fewest usable points within R (>= 3).
    axis : sequence of 3 floats
        World direction whose projection is the frame's first axis.
    """
    P = np.asarray(points_ref, dtype=float)
    Q = np.asarray(points_def, dtype=float)
    ok = np.asarray(usable, dtype=bool)
    C = np.asarray(centres, dtype=float).reshape(-1, 3)
    Nrm = np.asarray(normals, dtype=float).reshape(-1, 3)
    if P.ndim != 2 or P.shape[1] != 3 or Q.shape != P.shape or ok.shape != (len(P),):
        raise ValueError(f"points must be (N, 3) with usable (N,), got {P.shape}, {Q.shape}, {ok.shape}")
    if Nrm.shape != C.shape:
        raise ValueError(f"normals {Nrm.shape} must match centres {C.shape}")
    if not radius > 0:
        raise ValueError(f"radius must be positive, got {radius}")
    if min_points < 3:
        raise ValueError(f"min_points must be at least 3, got {min_points}")
    M = len(C)
    ok = ok & np.all(np.isfinite(P), axis=1) & np.all(np.isfinite(Q), axis=1)
    F = np.full((M, 2, 2), np.nan)
    normal = np.full((M, 3), np.nan)
    e1_out = np.full((M, 3), np.nan)
    count = np.zeros(M, dtype=np.int64)
    valid = np.zeros(M, dtype=bool)
    pts = P[ok]
    disp = Q[ok] - P[ok]
    finite_c = np.all(np.isfinite(C), axis=1)
    if M == 0 or len(pts) == 0 or not finite_c.any():
        return SurfaceGradient(F=F, normal=normal, e1=e1_out, count=count, valid=valid)
    from scipy.spatial import cKDTree

    tree = cKDTree(pts)
    lists = tree.query_ball_point(np.where(finite_c[:, None], C, 0.0), r=float(radius))
    lengths = np.array([len(x) if f else 0 for x, f in zip(lists, finite_c)], dtype=np.int64)
    count[:] = lengths
    kmax = int(lengths.max())
    if kmax == 0:
        return SurfaceGradient(F=F, normal=normal, e1=e1_out, count=count, valid=valid)
    idx = np.zeros((M, kmax), dtype=np.int64)
    wts = np.zeros((M, kmax))
    for m_i, (lst, n_i) in enumerate(zip(lists, lengths)):
        if n_i:
            idx[m_i, :n_i] = lst
            wts[m_i, :n_i] = 1.0
    n = np.maximum(lengths, 1).astype(float)[:, None]
    X = pts[idx]  # (M, K, 3)
    D = disp[idx]
    mean_x = np.einsum("mk,mkc->mc", wts, X) / n
    mean_d = np.einsum("mk,mkc->mc", wts, D) / n
    Xc = (X - mean_x[:, None, :]) * wts[..., None]
    Dc = (D - mean_d[:, None, :]) * wts[..., None]
    cov = np.einsum("mki,mkj->mij", Xc, Xc) / n[..., None]
    cov = np.where((lengths >= 3)[:, None, None], cov, np.eye(3))
    _, vecs = np.linalg.eigh(cov)
    nrm = vecs[..., 0]
    flip = np.sum(nrm * Nrm, axis=1) < 0
    nrm[flip] *= -1.0
    e1, e2 = surface_frame(nrm, axis)
    xi = np.stack([np.einsum("mkc,mc->mk", Xc, e1), np.einsum("mkc,mc->mk", Xc, e2)], axis=-1)  # (M, K, 2)
    A = np.einsum("mki,mkj->mij", xi, xi)  # (M, 2, 2)
    rhs = np.einsum("mkc,mkj->mcj", Dc, xi)  # (M, 3, 2)
    mv, hg = _sym2_eigen(A[:, 0, 0] / n[:, 0], A[:, 0, 1] / n[:, 0], A[:, 1, 1] / n[:, 0])
    good = (lengths >= min_points) & (mv - hg >= (float(radius) / 8.0) ** 2) & finite_c
    A_safe = np.where(good[:, None, None], A, np.eye(2))
    B = rhs @ np.linalg.inv(A_safe)  # (M, 3, 2)
    a1 = e1 + B[..., 0]
    a2 = e2 + B[..., 1]
    n_def = _unit(np.cross(a1, a2))
    good &= np.all(np.isfinite(n_def), axis=1)
    n_def = np.where(good[:, None], n_def, nrm)
    d1, d2 = surface_frame(n_def, axis)
    F2 = np.empty((M, 2, 2))
    F2[:, 0, 0] = np.sum(d1 * a1, axis=1)
    F2[:, 0, 1] = np.sum(d1 * a2, axis=1)
    F2[:, 1, 0] = np.sum(d2 * a1, axis=1)
    F2[:, 1, 1] = np.sum(d2 * a2, axis=1)
    F[good] = F2[good]
    normal[good] = nrm[good]
    e1_out[good] = e1[good]
    valid[:] = good
    return SurfaceGradient(F=F, normal=normal, e1=e1_out, count=count, valid=valid)
