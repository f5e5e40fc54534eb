"""compute_surface_deformation: per-triangle kinematics and strain measures."""

from __future__ import annotations

import numpy as np
import pytest
from conftest import assert_close

import native_vostrel

KEYS = [
    "Fmat",
    "Cmat",
    "J",
    "Emat",
    "emat",
    "Emgn",
    "emgn",
    "Epc1",
    "Epc2",
    "epc1",
    "epc2",
    "EShearMax",
    "eShearMax",
    "Eeq",
    "eeq",
    "Area",
    "d3",
    "Lambda1",
    "Lambda2",
    "valid_strain_faces",
]
TENSORS = ("Fmat", "Cmat", "Emat", "emat")
UNIT_RIGHT = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0]])
QUIET_NAN_BITS = np.uint64(0x7FF8000000000000)


def deform(faces, points_ref, points_def, valid=None):
    faces = np.asarray(faces)
    if valid is None:
        valid = np.ones(len(faces), dtype=bool)
    return native_vostrel.compute_surface_deformation(faces, points_ref, points_def, valid)


def one_triangle(deformed, reference=UNIT_RIGHT):
    out = deform(np.array([[0, 1, 2]], np.int32), reference, np.asarray(deformed, float))
    return {k: v[0] for k, v in out.items()}


def assert_row_filled(out, i):
    assert not out["valid_strain_faces"][i]
    for key in KEYS[:-1]:
        bits = np.asarray(out[key][i]).view(np.uint64)
        assert np.all(bits == QUIET_NAN_BITS), key


def results_equal(a, b):
    assert list(a) == list(b) == KEYS
    for key in KEYS:
        assert a[key].dtype == b[key].dtype and a[key].shape == b[key].shape, key
        assert np.array_equal(a[key], b[key], equal_nan=key != "valid_strain_faces"), key


def grid_mesh(n, curved, rng):
    """Triangulated n x n grid, jittered; planar (tilted) or curved."""
    x, y = np.meshgrid(np.linspace(-1, 1, n), np.linspace(-1, 1, n))
    x = x + rng.uniform(-0.03, 0.03, x.shape)
    y = y + rng.uniform(-0.03, 0.03, y.shape)
    z = 0.4 * x**2 - 0.3 * x * y + 0.2 * y**2 if curved else 0.3 * x - 0.2 * y
    points = np.column_stack([x.ravel(), y.ravel(), z.ravel()])
    idx = np.arange(n * n).reshape(n, n)
    a, b, c, d = idx[:-1, :-1].ravel(), idx[:-1, 1:].ravel(), idx[1:, :-1].ravel(), idx[1:, 1:].ravel()
    faces = np.concatenate([np.column_stack([a, b, d]), np.column_stack([a, d, c])]).astype(np.int32)
    return faces, points


def unit(v):
    return v / np.linalg.norm(v, axis=-1, keepdims=True)


def tangent_basis(normal):
    """Orthonormal (M, 3, 2) basis of each plane, built independently of the edges."""
    helper = np.where(np.abs(normal[:, :1]) < 0.9, [[1.0, 0, 0]], [[0.0, 1, 0]])
    t1 = unit(np.cross(normal, helper))
    t2 = np.cross(normal, t1)
    return np.stack([t1, t2], axis=-1)


def in_plane_eigvals(tensor, normal):
    basis = tangent_basis(normal)
    return np.linalg.eigvalsh(np.einsum("mia,mij,mjb->mab", basis, tensor, basis))


def expected_homogeneous(F, faces, points_ref):
    """Per-face measures of x = F X, from the projector form F (I - N N^T) + n N^T."""
    ra, rb, rc = (points_ref[faces[:, k]] for k in range(3))
    N = np.cross(rb - ra, rc - ra)
    Nh = unit(N)
    nh = unit(np.cross((rb - ra) @ F.T, (rc - ra) @ F.T))
    eye = np.eye(3)
    Ff = np.einsum("ij,mjk->mik", F, eye - Nh[:, :, None] * Nh[:, None, :]) + nh[:, :, None] * Nh[:, None, :]
    C = np.einsum("mki,mkj->mij", Ff, Ff)
    b = np.einsum("mik,mjk->mij", Ff, Ff)
    E = 0.5 * (C - eye)
    e = 0.5 * (eye - np.linalg.inv(b))
    Epc, epc = in_plane_eigvals(E, Nh), in_plane_eigvals(e, nh)
    lam = np.sqrt(in_plane_eigvals(C, Nh))

    def eq(t):
        dev = t - np.trace(t, axis1=1, axis2=2)[:, None, None] / 3 * eye
        return np.sqrt(2.0 / 3.0 * np.sum(dev**2, axis=(1, 2)))

    return {
        "Fmat": Ff,
        "Cmat": C,
        "J": np.linalg.det(Ff),
        "Emat": E,
        "emat": e,
        "Emgn": np.sqrt(np.sum(E**2, axis=(1, 2))),
        "emgn": np.sqrt(np.sum(e**2, axis=(1, 2))),
        "Epc1": Epc[:, 0],
        "Epc2": Epc[:, 1],
        "epc1": epc[:, 0],
        "epc2": epc[:, 1],
        "EShearMax": 0.5 * (Epc[:, 1] - Epc[:, 0]),
        "eShearMax": 0.5 * (epc[:, 1] - epc[:, 0]),
        "Eeq": eq(E),
        "eeq": eq(e),
        "Area": 0.5 * np.linalg.norm(N, axis=1),
        "d3": nh,
        "Lambda1": lam[:, 0],
        "Lambda2": lam[:, 1],
    }


def random_rotation(rng):
    q, r = np.linalg.qr(rng.normal(size=(3, 3)))
    q = q * np.sign(np.diag(r))
    return q if np.linalg.det(q) > 0 else -q


# --- worked examples -------------------------------------------------------------------------


def test_uniaxial_stretch():
    r = one_triangle([[0, 0, 0], [2, 0, 0], [0, 1, 0]])
    assert np.array_equal(r["Fmat"], np.diag([2.0, 1, 1]))
    assert np.array_equal(r["Cmat"], np.diag([4.0, 1, 1]))
    assert np.array_equal(r["Emat"], np.diag([1.5, 0, 0]))
    assert np.array_equal(r["emat"], np.diag([0.375, 0, 0]))
    exact = {
        "J": 2.0,
        "Emgn": 1.5,
        "emgn": 0.375,
        "Epc1": 0.0,
        "Epc2": 1.5,
        "epc1": 0.0,
        "epc2": 0.375,
        "EShearMax": 0.75,
        "eShearMax": 0.1875,
        "Area": 0.5,
        "Lambda1": 1.0,
        "Lambda2": 2.0,
    }
    assert {k: float(r[k]) for k in exact} == exact
    # sqrt(q (2/3 q)) with the double nearest 2/3 lands one ulp below the exact value.
    assert r["Eeq"] == np.nextafter(1.0, 0.0) and r["eeq"] == np.nextafter(0.25, 0.0)
    assert r["d3"].tolist() == [0.0, 0.0, 1.0] and r["valid_strain_faces"]


def test_mirror_image_is_strain_free():
    r = one_triangle([[0, 0, 0], [1, 0, 0], [0, -1, 0]])
    assert np.array_equal(r["Fmat"], np.diag([1.0, -1, -1]))
    assert np.array_equal(r["Cmat"], np.eye(3))
    assert not np.any(r["Emat"]) and not np.any(r["emat"])
    assert (r["J"], r["Lambda1"], r["Lambda2"]) == (1.0, 1.0, 1.0)
    assert r["d3"].tolist() == [0.0, 0.0, -1.0] and r["valid_strain_faces"]


@pytest.mark.parametrize("height, valid", [(1e-10, False), (2e-9, True)])
def test_nearly_collapsed_deformed_triangle(height, valid):
    r = one_triangle([[0, 0, 0], [1, 0, 0], [0, height, 0]])
    assert r["valid_strain_faces"] == valid
    if valid:
        assert_close([r["J"], r["Lambda1"], r["Lambda2"]], [height, height, 1.0], rel=1e-12)


DEGENERATE = {
    "repeated vertex": [[0, 0, 0], [1, 0, 0], [1, 0, 0]],
    "collinear": [[0, 0, 0], [1, 2, 3], [2, 4, 6]],
    "coincident": [[1, 1, 1], [1, 1, 1], [1, 1, 1]],
}


@pytest.mark.parametrize("state", ["reference", "deformed"])
@pytest.mark.parametrize("points", DEGENERATE.values(), ids=DEGENERATE.keys())
def test_degenerate_triangles_are_filled(state, points):
    points = np.array(points, float)
    ref, dfm = (points, UNIT_RIGHT) if state == "reference" else (UNIT_RIGHT, points)
    out = deform(np.array([[0, 1, 2]], np.int32), ref, dfm)
    assert_row_filled(out, 0)


def test_repeated_index_is_degenerate():
    out = deform(np.array([[0, 1, 1], [0, 1, 2]], np.int32), UNIT_RIGHT, 2 * UNIT_RIGHT)
    assert_row_filled(out, 0)
    assert out["valid_strain_faces"][1] and out["J"][1] == 4.0


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("array", ["points_ref", "points_def"])
def test_non_finite_coordinate_fills_only_its_faces(bad, array):
    rng = np.random.default_rng(3)
    faces, ref = grid_mesh(4, curved=True, rng=rng)
    dfm = ref * 1.1
    clean = deform(faces, ref, dfm)
    vertex = 5
    (ref if array == "points_ref" else dfm)[vertex, 2] = bad
    out = deform(faces, ref, dfm)
    touched = np.any(faces == vertex, axis=1)
    for i in np.flatnonzero(touched):
        assert_row_filled(out, i)
    for key in KEYS:
        assert np.array_equal(out[key][~touched], clean[key][~touched]), key


def test_valid_faces_false_fills_row_whatever_the_coordinates():
    rng = np.random.default_rng(4)
    faces, ref = grid_mesh(5, curved=False, rng=rng)
    valid = rng.random(len(faces)) < 0.5
    out = deform(faces, ref, ref + 0.01, valid)
    for i in np.flatnonzero(~valid):
        assert_row_filled(out, i)
    assert np.array_equal(out["valid_strain_faces"], valid)


def test_no_faces():
    out = deform(np.zeros((0, 3), np.int32), np.zeros((0, 3)), np.zeros((0, 3)), np.zeros(0, bool))
    assert list(out) == KEYS
    for key in KEYS:
        expected = (0, 3, 3) if key in TENSORS else (0, 3) if key == "d3" else (0,)
        assert out[key].shape == expected


def test_result_arrays_are_new_contiguous_and_typed():
    ref = UNIT_RIGHT.copy()
    out = deform(np.array([[0, 1, 2]] * 2, np.int32), ref, ref)
    for key, arr in out.items():
        assert arr.dtype == (np.bool_ if key == "valid_strain_faces" else np.float64)
        assert arr.flags.c_contiguous and arr.flags.writeable and arr.flags.owndata
        assert not np.shares_memory(arr, ref)


# --- homogeneous and rigid deformations --------------------------------------------------------


@pytest.mark.parametrize("curved", [False, True], ids=["planar", "curved"])
@pytest.mark.parametrize("seed", [11, 12, 13])
def test_homogeneous_deformation_recovers_in_plane_gradient(curved, seed):
    rng = np.random.default_rng(seed)
    faces, ref = grid_mesh(9, curved, rng)
    F = np.eye(3) + 0.3 * rng.normal(size=(3, 3))
    if np.linalg.det(F) < 0:
        F[:, 0] *= -1
    out = deform(faces, ref, ref @ F.T + rng.normal(size=3))
    assert out["valid_strain_faces"].all()
    expected = expected_homogeneous(F, faces, ref)
    for key, value in expected.items():
        scale = np.max(np.abs(value))
        assert_close(out[key], value, rel=1e-12, abs_=1e-12 * scale)


@pytest.mark.parametrize("stretch", [1.0, 1.25])
def test_equibiaxial_stretch_gives_repeated_in_plane_values(stretch):
    # Repeated eigenvalues of C, E and e inside the plane (and of C with the normal when 1).
    rng = np.random.default_rng(21)
    faces, ref = grid_mesh(6, curved=False, rng=rng)
    Q = random_rotation(rng)
    # Stretch within the mesh's own plane z = 0.3x - 0.2y.
    n = unit(np.array([-0.3, 0.2, 1.0]))
    F = stretch * np.eye(3) + (1 - stretch) * np.outer(n, n)
    out = deform(faces, ref, ref @ (Q @ F).T)
    Ev = 0.5 * (stretch**2 - 1)
    ev = 0.5 * (1 - stretch**-2)
    for key, value in {
        "Epc1": Ev,
        "Epc2": Ev,
        "epc1": ev,
        "epc2": ev,
        "Lambda1": stretch,
        "Lambda2": stretch,
        "J": stretch**2,
    }.items():
        assert_close(out[key], np.full(len(faces), value), rel=1e-12, abs_=1e-13)
    assert_close(out["EShearMax"], np.zeros(len(faces)), abs_=1e-13)


@pytest.mark.parametrize("seed", [31, 32, 33])
def test_rigid_motion_is_strain_free(seed):
    rng = np.random.default_rng(seed)
    faces, ref = grid_mesh(8, curved=True, rng=rng)
    Q = random_rotation(rng)
    out = deform(faces, ref, ref @ Q.T + rng.uniform(-100, 100, 3))
    m = len(faces)
    assert_close(out["Fmat"], np.broadcast_to(Q, (m, 3, 3)), abs_=1e-12)
    assert_close(out["Cmat"], np.broadcast_to(np.eye(3), (m, 3, 3)), abs_=1e-12)
    for key in ("J", "Lambda1", "Lambda2"):
        assert_close(out[key], np.ones(m), abs_=1e-12)
    for key in ("Emat", "emat", "Emgn", "emgn", "Epc1", "Epc2", "epc1", "epc2", "EShearMax", "eShearMax", "Eeq", "eeq"):
        assert_close(out[key], np.zeros_like(out[key]), abs_=1e-12)


def test_eigen_solver_against_eigh_on_random_faces():
    # Independent random deformed positions: every face has its own C, E and e.
    rng = np.random.default_rng(41)
    faces, ref = grid_mesh(12, curved=True, rng=rng)
    out = deform(faces, ref, ref + 0.2 * rng.normal(size=ref.shape))
    ok = out["valid_strain_faces"]
    assert ok.mean() > 0.95
    E, e, C = out["Emat"][ok], out["emat"][ok], out["Cmat"][ok]
    ra, rb, rc = (ref[faces[ok, k]] for k in range(3))
    Nh = unit(np.cross(rb - ra, rc - ra))
    nh = out["d3"][ok]
    # The principal values are eigenvalues of the full tensors as well.
    for key, tensor, normal in (("E", E, Nh), ("e", e, nh)):
        expected = in_plane_eigvals(tensor, normal)
        full = np.linalg.eigvalsh(tensor)
        scale = np.max(np.abs(full), axis=1)
        assert_close(out[f"{key}pc1"][ok], expected[:, 0], rel=1e-10, abs_=1e-13 * scale.max())
        assert_close(out[f"{key}pc2"][ok], expected[:, 1], rel=1e-10, abs_=1e-13 * scale.max())
        gap = np.min(np.abs(full[:, :, None] - out[f"{key}pc2"][ok][:, None, None]), axis=(1, 2))
        assert np.all(gap <= 1e-12 * (scale + 1))
    lam = np.sqrt(in_plane_eigvals(C, Nh))
    assert_close(out["Lambda1"][ok], lam[:, 0], rel=1e-10)
    assert_close(out["Lambda2"][ok], lam[:, 1], rel=1e-10)


# --- argument forms ----------------------------------------------------------------------------


@pytest.fixture(scope="module")
def mesh_case():
    rng = np.random.default_rng(51)
    faces, ref = grid_mesh(6, curved=True, rng=rng)
    dfm = ref + 0.05 * rng.normal(size=ref.shape)
    valid = rng.random(len(faces)) < 0.8
    return faces, ref, dfm, valid


def _strided(a, extra):
    """Same values, every other row of a wider, Fortran-ordered buffer."""
    wide = np.zeros((2 * a.shape[0], a.shape[1] + extra), dtype=a.dtype, order="F")
    wide[::2, : a.shape[1]] = a
    return wide[::2, : a.shape[1]]


VARIANTS = {
    "fortran": lambda f, r, d, v: (np.asfortranarray(f), np.asfortranarray(r), np.asfortranarray(d), v),
    "sliced": lambda f, r, d, v: (_strided(f, 2), _strided(r, 1), _strided(d, 3), np.repeat(v, 2)[::2]),
    "negative strides": lambda f, r, d, v: tuple(
        np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1] if a.ndim == 2 else a[::-1].copy()[::-1] for a in (f, r, d, v)
    ),
    "lists": lambda f, r, d, v: (f.tolist(), r.tolist(), d.tolist(), v.tolist()),
    "other dtypes": lambda f, r, d, v: (
        f.astype(np.int64),
        r.astype(np.longdouble),
        d.astype(np.longdouble),
        v.astype(np.uint8),
    ),
    "extra columns": lambda f, r, d, v: (
        np.column_stack([f, f[:, :1] * 0 - 7]),
        np.column_stack([r, np.full(len(r), np.nan)]),
        np.column_stack([d, np.full(len(d), np.inf)]),
        v,
    ),
    "longer valid_faces": lambda f, r, d, v: (f, r, d, np.concatenate([v, [True, True]])),
}


@pytest.mark.parametrize("variant", VARIANTS.values(), ids=VARIANTS.keys())
def test_argument_forms_give_identical_results(mesh_case, variant):
    faces, ref, dfm, valid = mesh_case
    expected = deform(faces, ref, dfm, valid)
    results_equal(native_vostrel.compute_surface_deformation(*variant(faces, ref, dfm, valid)), expected)


def test_float_faces_truncate_toward_zero(mesh_case):
    faces, ref, dfm, valid = mesh_case
    results_equal(deform(faces + 0.75, ref, dfm, valid), deform(faces, ref, dfm, valid))


def test_keyword_arguments(mesh_case):
    faces, ref, dfm, valid = mesh_case
    out = native_vostrel.compute_surface_deformation(valid_faces=valid, points_def=dfm, points_ref=ref, faces=faces)
    results_equal(out, deform(faces, ref, dfm, valid))


# --- rejected calls ----------------------------------------------------------------------------

GOOD = (np.array([[0, 1, 2]], np.int32), UNIT_RIGHT, UNIT_RIGHT, np.array([True]))


@pytest.mark.parametrize(
    "position, bad, message",
    [
        (0, np.array([0, 1, 2], np.int32), "array has incorrect number of dimensions: 1; expected 2"),
        (1, UNIT_RIGHT.ravel(), "array has incorrect number of dimensions: 1; expected 2"),
        (2, UNIT_RIGHT[None], "array has incorrect number of dimensions: 3; expected 2"),
        (3, np.array([[True]]), "array has incorrect number of dimensions: 2; expected 1"),
        (0, np.array([[0, 1]], np.int32), "faces has 2 columns; expected at least 3"),
        (1, UNIT_RIGHT[:, :2], "points_ref has 2 columns; expected at least 3"),
        (2, UNIT_RIGHT[:, :2], "points_def has 2 columns; expected at least 3"),
        (2, UNIT_RIGHT[:2], "points_def has 2 rows; expected 3 as points_ref"),
        (1, np.vstack([UNIT_RIGHT, UNIT_RIGHT]), "points_def has 3 rows; expected 6 as points_ref"),
        (3, np.zeros(0, bool), "valid_faces has length 0; expected at least 1 (the rows of faces)"),
        (0, np.array([[0, 1, 3]], np.int32), "faces[0, 2] = 3 is outside [0, 3) of points_ref"),
        (0, np.array([[0, -1, 2]], np.int32), "faces[0, 1] = -1 is outside [0, 3) of points_ref"),
    ],
)
def test_rejected_arguments(position, bad, message):
    args = list(GOOD)
    args[position] = bad
    with pytest.raises(ValueError) as info:
        native_vostrel.compute_surface_deformation(*args)
    assert str(info.value) == message


def test_dimension_checks_run_in_argument_order_before_extent_checks():
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 1; expected 2$"):
        native_vostrel.compute_surface_deformation(
            np.array([[0, 1, 9]], np.int32), UNIT_RIGHT, UNIT_RIGHT.ravel(), np.array([[True]])
        )
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 3; expected 2$"):
        native_vostrel.compute_surface_deformation(
            np.zeros((1, 3, 1), np.int32), UNIT_RIGHT.ravel(), UNIT_RIGHT, np.array([True])
        )


def test_index_is_checked_in_faces_marked_invalid_and_names_the_row():
    faces = np.array([[0, 1, 2]] * 6, np.int32)
    faces[5, 1] = 12
    valid = np.ones(6, bool)
    valid[5] = False
    with pytest.raises(ValueError, match=r"^faces\[5, 1\] = 12 is outside \[0, 3\) of points_ref$"):
        native_vostrel.compute_surface_deformation(faces, UNIT_RIGHT, UNIT_RIGHT, valid)


def test_unconvertible_argument_is_type_error():
    with pytest.raises(TypeError):
        native_vostrel.compute_surface_deformation(GOOD[0], "points", GOOD[2], GOOD[3])
    with pytest.raises(TypeError):
        native_vostrel.compute_surface_deformation(*GOOD[:3])
