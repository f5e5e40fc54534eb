"""Strain tensors against their closed forms, and the strain windows on fields with a known answer."""

from __future__ import annotations

import math

import numpy as np
import pytest
import scipy.linalg
from conftest import assert_close

from dicpipe import strain as S


def rot(theta: float) -> np.ndarray:
    c, s = math.cos(theta), math.sin(theta)
    return np.array([[c, -s], [s, c]])


# --------------------------------------------------------------------------
# Tensors and principal values
# --------------------------------------------------------------------------

UNIAXIAL = {
    "green-lagrange": lambda lam: 0.5 * (lam * lam - 1),
    "engineering": lambda lam: lam - 1,
    "hencky": math.log,
    "euler-almansi": lambda lam: 0.5 * (1 - 1 / (lam * lam)),
}


@pytest.mark.parametrize("tensor", S.TENSORS)
@pytest.mark.parametrize("lam", [0.7, 1.01, 1.5])
def test_uniaxial_stretch_each_tensor(tensor, lam):
    s = S.strain_components(np.diag([lam, 1.0]), tensor)
    assert_close([s.xx, s.yy, s.xy], [UNIAXIAL[tensor](lam), 0.0, 0.0], rel=1e-13, abs_=1e-15)
    assert_close([s.major, s.minor], sorted([UNIAXIAL[tensor](lam), 0.0], reverse=True), rel=1e-13, abs_=1e-15)


def test_simple_shear_closed_forms():
    g = 0.3
    F = np.array([[1.0, g], [0.0, 1.0]])
    assert_close(S.strain_tensor(F, "green-lagrange"), [[0, g / 2], [g / 2, g * g / 2]])
    assert_close(S.strain_tensor(F, "engineering"), [[0, g / 2], [g / 2, 0]])
    assert_close(S.strain_tensor(F, "euler-almansi"), [[0, g / 2], [g / 2, -g * g / 2]], rel=1e-13)
    # det F = 1: principal stretches lambda and 1/lambda with ln lambda = asinh(g / 2).
    major, minor = S.principal_values(S.strain_tensor(F, "hencky"))
    assert_close([major, minor], [math.asinh(g / 2), -math.asinh(g / 2)], rel=1e-13)


def test_hencky_matches_matrix_logarithm():
    rng = np.random.default_rng(3)
    F = np.eye(2) + rng.uniform(-0.4, 0.4, (50, 2, 2))
    expected = np.stack([0.5 * scipy.linalg.logm(f.T @ f).real for f in F])
    assert_close(S.strain_tensor(F, "hencky"), expected, rel=1e-10, abs_=1e-12)
    # Nearly equal principal stretches take the series branch and stay continuous with it.
    near = np.diag([1.0 + 1e-10, 1.0])
    assert_close(S.strain_tensor(near, "hencky"), np.diag([1e-10, 0.0]), rel=1e-6, abs_=1e-20)


@pytest.mark.parametrize("theta", [0.1, 0.7, 2.5])
def test_rigid_rotation_strains_nothing_except_engineering(theta):
    R = rot(theta)
    for tensor in ("green-lagrange", "hencky", "euler-almansi"):
        assert_close(S.strain_tensor(R, tensor), np.zeros((2, 2)), abs_=1e-15)
    assert_close(S.strain_tensor(R, "engineering"), (math.cos(theta) - 1) * np.eye(2), abs_=1e-15)


def test_rotation_after_stretch_material_and_spatial_frames():
    R, lam = rot(0.4), np.array([1.2, 0.9])
    F = R @ np.diag(lam)
    # Material tensors keep the stretch axes of the reference; Euler-Almansi turns with the body.
    assert_close(S.strain_tensor(F, "green-lagrange"), np.diag(0.5 * (lam**2 - 1)), abs_=1e-15)
    assert_close(S.strain_tensor(F, "hencky"), np.diag(np.log(lam)), abs_=1e-15)
    assert_close(S.strain_tensor(F, "euler-almansi"), R @ np.diag(0.5 * (1 - lam**-2)) @ R.T, abs_=1e-15)


def test_small_strain_all_tensors_agree_to_first_order():
    H = np.array([[2e-4, -1e-4], [3e-4, -1.5e-4]])
    ref = S.strain_tensor(np.eye(2) + H, "engineering")
    for tensor in S.TENSORS:
        assert np.max(np.abs(S.strain_tensor(np.eye(2) + H, tensor) - ref)) < 1e-7


def test_principal_values_of_rotated_tensors_and_bad_input():
    for theta in (0.0, 0.3, math.pi / 2):
        R = rot(theta)
        major, minor = S.principal_values(R @ np.diag([-0.02, 0.05]) @ R.T)
        assert_close([major, minor], [0.05, -0.02], abs_=1e-15)
    assert_close(S.principal_values(np.eye(2) * 0.01), (0.01, 0.01))
    singular = np.array([[1.0, 2.0], [0.5, 1.0]])
    for tensor in ("hencky", "euler-almansi"):
        assert np.all(np.isnan(S.strain_tensor(singular, tensor)))
        assert np.all(np.isnan(S.strain_tensor(np.full((2, 2), np.nan), tensor)))
    with pytest.raises(ValueError, match="unknown strain tensor 'true'"):
        S.strain_tensor(np.eye(2), "true")


# --------------------------------------------------------------------------
# 2D window
# --------------------------------------------------------------------------


def grid(h=24, w=31, step=6.0):
    r, c = np.mgrid[0:h, 0:w].astype(float)
    return c * step, r * step


def test_window_reproduces_a_linear_field_with_holes_and_borders():
    x, y = grid()
    G = np.array([[0.012, -0.3], [0.25, -0.008]])
    u = 3.0 + G[0, 0] * x + G[0, 1] * y
    v = -7.0 + G[1, 0] * x + G[1, 1] * y
    rng = np.random.default_rng(1)
    usable = rng.uniform(size=x.shape) > 0.25
    usable[8:14, 10:18] = False  # a hole
    u[~usable] = np.nan  # unusable values never enter a fit
    v[~usable] = 1e9
    fit = S.grid_window_gradient(u, v, usable, window=5, step=6.0)
    assert fit.valid.sum() > 0.8 * x.size
    ok = fit.valid
    assert_close(fit.gradient[ok], np.broadcast_to(G, (ok.sum(), 2, 2)), rel=1e-9, abs_=1e-12)
    exact = np.stack([3.0 + G[0, 0] * x + G[0, 1] * y, -7.0 + G[1, 0] * x + G[1, 1] * y], -1)
    assert_close(fit.displacement[ok], exact[ok], rel=1e-9, abs_=1e-9)
    assert np.all(np.isnan(fit.gradient[~ok]))
    # The convex corners keep their quarter window (9 of 25 nodes) when all is usable.
    full = S.grid_window_gradient(np.ones(x.shape), np.zeros(x.shape), np.ones(x.shape, bool), window=5)
    assert full.valid.all() and full.count[0, 0] == 9 and full.count[5, 5] == 25


def test_window_rejects_too_few_and_collinear_nodes():
    usable = np.zeros((9, 9), dtype=bool)
    usable[4, :] = True  # one row: no y gradient
    fit = S.grid_window_gradient(np.zeros((9, 9)), np.zeros((9, 9)), usable, window=5, min_points=3)
    assert not fit.valid.any()
    usable[5, 4] = True  # y gradient from a single node: determined but not trusted
    fit = S.grid_window_gradient(np.zeros((9, 9)), np.zeros((9, 9)), usable, window=5, min_points=3)
    assert not fit.valid[4, 4]
    usable[5, :] = True  # two rows: determined
    fit = S.grid_window_gradient(np.zeros((9, 9)), np.zeros((9, 9)), usable, window=5, min_points=3)
    assert fit.valid[4, 4]
    assert not S.grid_window_gradient(np.zeros((9, 9)), np.zeros((9, 9)), usable, min_points=11).valid[4, 4]
    for bad in (4, 1, 3.0, True):
        with pytest.raises(ValueError, match="odd number"):
            S.grid_window_gradient(np.zeros((9, 9)), np.zeros((9, 9)), usable, window=bad)


@pytest.mark.parametrize("window", [3, 5, 7])
def test_window_gauge_length_from_a_cubic_field(window):
    # u = c x^3: the window reports 3 c x0^2 + c L^2 / 4 at full windows, the ideal gauge of length L.
    x, y = grid(15, 40, step=4.0)
    c = 1e-6
    fit = S.grid_window_gradient(c * x**3, 0 * y, np.ones(x.shape, bool), window=window, step=4.0)
    h = window // 2
    inner = (slice(h, -h), slice(h, -h))
    L = S.window_gauge_length(window, 4.0)
    assert_close(fit.gradient[..., 0, 0][inner], 3 * c * x[inner] ** 2 + c * L * L / 4, rel=1e-9)
    assert_close(S.window_gauge_length(5), 2 * math.sqrt(3.4))
    assert_close(S.window_gauge_length(5, 6.0, subset_radius=20), math.sqrt((12 * math.sqrt(3.4)) ** 2 + 1200))


def test_window_divides_the_noise_of_the_gradient_as_least_squares_predicts():
    rng = np.random.default_rng(5)
    sigma, step, w = 0.01, 6.0, 5
    u = rng.normal(0, sigma, (200, 200))
    fit = S.grid_window_gradient(u, u, np.ones(u.shape, bool), window=w, step=step)
    k2 = w * 2 * (1 + 4)  # sum of squared column offsets over the 5 x 5 window
    expected = sigma / (step * math.sqrt(k2))
    measured = np.std(fit.gradient[4:-4, 4:-4, 0, 0])
    assert abs(measured / expected - 1) < 0.05
    # Neighbouring-node differences (the raw gradient a per-point method would see) are much noisier.
    raw = np.std(np.diff(u, axis=1)) / step
    assert raw / measured > 3


# --------------------------------------------------------------------------
# Surfaces
# --------------------------------------------------------------------------


def plate(n=21, pitch=0.5, R=None):
    """Points of a flat plate (z = 0 before the rotation R), reference positions."""
    R = np.eye(3) if R is None else R
    a, b = np.meshgrid(np.arange(n) * pitch, np.arange(n) * pitch)
    local = np.stack([a.ravel(), b.ravel(), np.zeros(a.size)], 1) - np.array([n * pitch / 2, n * pitch / 2, 0])
    return local @ R.T, local


def rotation3(axis, deg):
    return scipy.linalg.expm(np.cross(np.eye(3), np.asarray(axis, float) / np.linalg.norm(axis)) * math.radians(deg))


def test_surface_frame_is_right_handed_and_falls_back_when_the_axis_is_the_normal():
    rng = np.random.default_rng(0)
    n = rng.normal(size=(20, 3))
    n /= np.linalg.norm(n, axis=1, keepdims=True)
    n = np.vstack([n, [[1.0, 0, 0], [0, 0, 1.0]]])
    e1, e2 = S.surface_frame(n)
    frame = np.stack([e1, e2, n], axis=-1)
    assert_close(np.swapaxes(frame, 1, 2) @ frame, np.broadcast_to(np.eye(3), frame.shape), abs_=1e-14)
    assert_close(np.linalg.det(frame), np.ones(len(n)), abs_=1e-14)
    assert_close(e1[-1], [1.0, 0, 0])  # normal z: e1 is world x
    assert_close(e1[-2], [0, 1.0, 0])  # normal x: world y instead


def test_surface_window_exact_for_homogeneous_deformation_of_a_tilted_plate():
    R = rotation3([1.0, 2.0, 0.5], 35.0)
    P, local = plate(R=R)
    # In-plane deformation in the plate's own axes, then a rigid motion.
    F_local = np.array([[1.01, 0.004, 0], [-0.002, 0.995, 0], [0, 0, 1]])
    Q_rot = rotation3([0.3, -1.0, 0.2], 12.0)
    Pdef = (local @ F_local.T) @ R.T @ Q_rot.T + np.array([0.3, -0.2, 1.0])
    usable = np.ones(len(P), bool)
    usable[::7] = False
    n = np.broadcast_to(R[:, 2], P.shape)
    fit = S.surface_window_gradient(P, Pdef, usable, P, n, radius=1.6)
    assert fit.valid.sum() == len(P)  # edges and corners too (one-sided neighbourhoods)
    got = S.strain_components(fit.F, "green-lagrange")
    E = 0.5 * (F_local[:2, :2].T @ F_local[:2, :2] - np.eye(2))
    # Strain in the frame of the projected world x axis: rotate E into it.
    e1 = fit.e1[0]
    c, s = np.dot(e1, R[:, 0]), np.dot(e1, R[:, 1])
    T = np.array([[c, s], [-s, c]])
    Ef = T @ E @ T.T
    assert_close(got.xx, np.full(len(P), Ef[0, 0]), abs_=1e-12)
    assert_close(got.xy, np.full(len(P), Ef[0, 1]), abs_=1e-12)
    major, minor = S.principal_values(E)
    assert_close(got.major, np.full(len(P), major), abs_=1e-12)
    assert_close(got.minor, np.full(len(P), minor), abs_=1e-12)
    assert_close(np.abs(fit.normal @ R[:, 2]), np.ones(len(P)), abs_=1e-12)


def test_surface_window_gauge_length_from_a_cubic_field():
    P, _ = plate(n=121, pitch=0.05)
    c, radius = 0.01, 1.0
    Pdef = P + np.stack([c * P[:, 0] ** 3, 0 * P[:, 0], 0 * P[:, 0]], 1)
    centre = np.array([[0.0, 0.0, 0.0]])
    fit = S.surface_window_gradient(P, Pdef, np.ones(len(P), bool), centre, [[0, 0, 1.0]], radius)
    L = S.surface_gauge_length(radius)
    # A disc of grid points approximates the continuous disc to about 1 %.
    assert abs((fit.F[0, 0, 0] - 1) / (c * L * L / 4) - 1) < 0.02


def test_surface_window_rejects_sparse_and_collinear_neighbourhoods():
    P, _ = plate(n=11, pitch=0.5)
    line = np.abs(P[:, 1]) < 1e-9
    fit = S.surface_window_gradient(P, P, line, P[:3], np.tile([0, 0, 1.0], (3, 1)), radius=1.2, min_points=3)
    assert not fit.valid.any() and np.all(np.isnan(fit.F))
    fit = S.surface_window_gradient(P, P, np.ones(len(P), bool), P[:1], [[0, 0, 1.0]], radius=0.6, min_points=6)
    assert fit.count[0] == 3 and not fit.valid[0]  # a corner with three neighbours in reach


def test_in_plane_gradient_of_the_module_faces_matches_its_strain():
    native = pytest.importorskip("native_vostrel")
    from dicpipe.mesh import face_normals, triangulate_image_points

    R = rotation3([0.2, 1.0, 0.1], 25.0)
    P, local = plate(n=6, pitch=1.0, R=R)
    faces = triangulate_image_points(local[:, :2], max_edge=1.5)
    F_local = np.array([[1.03, 0.01, 0], [0.02, 0.98, 0], [0, 0, 1]])
    Pdef = (local @ F_local.T) @ R.T
    out = native.compute_surface_deformation(faces, P, Pdef, np.ones(len(faces), bool))
    nref = face_normals(P, faces)
    F2 = S.in_plane_gradient(out["Fmat"], nref, out["d3"])
    s = S.strain_components(F2, "green-lagrange")
    assert_close(s.minor, out["Epc1"], abs_=1e-13)
    assert_close(s.major, out["Epc2"], abs_=1e-13)
    e1, e2 = S.surface_frame(nref)
    assert_close(s.xx, np.einsum("mi,mij,mj->m", e1, out["Emat"], e1), abs_=1e-13)
    assert_close(s.xy, np.einsum("mi,mij,mj->m", e1, out["Emat"], e2), abs_=1e-13)
    ea = S.strain_components(F2, "euler-almansi")
    assert_close(ea.major, out["epc2"], abs_=1e-13)
