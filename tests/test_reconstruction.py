"""Pair and track reconstruction: sampling of the DIC fields, triangulation,
result layout and validity rules, against a NumPy model of the same maths."""

from __future__ import annotations

import re

import numpy as np
import pytest
from conftest import assert_close

import native_vostrel as nv

SPACING = 9  # grid step 10 px
STEP = SPACING + 1
H, W = 49, 65  # nodes covering a 640 x 480 image
PLANE = np.array([0.1, -0.05, -1.0])  # surface 0.1 x - 0.05 y - z = 0


# --------------------------------------------------------------------------
# NumPy model of cameras, sampling and triangulation


def rotation(ax: float, ay: float) -> np.ndarray:
    cx, sx, cy, sy = np.cos(ax), np.sin(ax), np.cos(ay), np.sin(ay)
    rx = np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]])
    ry = np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])
    return rx @ ry


def make_rig(n_cam: int, distorted: bool):
    angles = [(0.0, -0.25), (0.0, 0.25), (0.2, 0.05)][:n_cam]
    K = np.tile(np.array([[800.0, 0.0, 320.0], [0.0, 790.0, 240.0], [0.0, 0.0, 1.0]]), (n_cam, 1, 1))
    dist = np.tile([-0.08, 0.02] if distorted else [0.0, 0.0], (n_cam, 1))
    R = np.stack([rotation(*a) for a in angles])
    t = np.tile([0.0, 0.0, 3.0], (n_cam, 1))
    return K, dist, R, t


def active(dist, c):
    n = dist.shape[1]
    return n >= 1 and (abs(dist[c, 0]) > 1e-12 or (n >= 2 and abs(dist[c, 1]) > 1e-12))


def coeffs(dist, c):
    n = dist.shape[1]
    return (dist[c, 0] if n >= 1 else 0.0), (dist[c, 1] if n >= 2 else 0.0)


def ref_undistort(K, dist, c, px):
    px = np.asarray(px, dtype=float)
    xd = (px[..., 0] - K[c, 0, 2]) / K[c, 0, 0]
    yd = (px[..., 1] - K[c, 1, 2]) / K[c, 1, 1]
    x, y = xd, yd
    if active(dist, c):
        k1, k2 = coeffs(dist, c)
        for _ in range(8):
            r2 = x * x + y * y
            f = 1.0 + k1 * r2 + k2 * r2 * r2
            x, y = xd / f, yd / f
    return np.stack([x, y], axis=-1)


def ref_project(K, dist, R, t, c, X):
    Xc = np.asarray(X) @ R[c].T + t[c]
    x, y = Xc[..., 0] / Xc[..., 2], Xc[..., 1] / Xc[..., 2]
    if active(dist, c):
        k1, k2 = coeffs(dist, c)
        r2 = x * x + y * y
        f = 1.0 + k1 * r2 + k2 * r2 * r2
        x, y = x * f, y * f
    return np.stack([K[c, 0, 0] * x + K[c, 0, 2], K[c, 1, 1] * y + K[c, 1, 2]], axis=-1)


def ref_triangulate(obs, mats):
    if len(obs) < 2:
        return None
    M = np.zeros((4, 4))
    for (x, y), P in zip(obs, mats):
        a, b = x * P[2] - P[0], y * P[2] - P[1]
        M += np.outer(a, a) + np.outer(b, b)
    h = np.linalg.eigh(M)[1][:, 0]
    if abs(h[3]) <= 1e-12:
        return None
    X = h[:3] / h[3]
    return X if np.all(np.isfinite(X)) else None


def ref_sample(fields, c, px, min_corr):
    u, v, cc, ok = fields
    h, w = u.shape[1:]
    gx, gy = px[0] / STEP, px[1] / STEP
    c0, r0 = int(np.floor(gx)), int(np.floor(gy))
    if 0 <= c0 and 0 <= r0 and c0 + 1 < w and r0 + 1 < h:
        rows, cols = [r0, r0, r0 + 1, r0 + 1], [c0, c0 + 1, c0, c0 + 1]
        if ok[c, rows, cols].all() and cc[c, rows, cols].min() >= min_corr:
            fx, fy = gx - c0, gy - r0
            wts = np.array([(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy])
            return True, wts @ u[c, rows, cols], wts @ v[c, rows, cols], wts @ cc[c, rows, cols]
    col, row = int(np.floor(abs(gx) + 0.5) * np.sign(gx)), int(np.floor(abs(gy) + 0.5) * np.sign(gy))
    if 0 <= col < w and 0 <= row < h and ok[c, row, col] and not min_corr > cc[c, row, col]:
        return True, u[c, row, col], v[c, row, col], cc[c, row, col]
    return False, 0.0, 0.0, 0.0


def extrinsic(R, t, c):
    return np.hstack([R[c], t[c][:, None]])


# --------------------------------------------------------------------------
# Synthetic scene: a tilted plane under a known small 3D motion


def motion(X):
    X = np.asarray(X)
    return np.stack([0.004 + 0.01 * X[..., 1], -0.003 + 0.02 * X[..., 0], 0.002 + 0 * X[..., 0]], axis=-1)


def make_fields(rig):
    """DIC fields whose node displacements are the image motion of the plane."""
    K, dist, R, t = rig
    n_cam = K.shape[0]
    rows, cols = np.mgrid[0:H, 0:W]
    px = np.stack([cols * STEP, rows * STEP], axis=-1).astype(float)
    u = np.zeros((n_cam, H, W))
    v = np.zeros((n_cam, H, W))
    for c in range(n_cam):
        n = ref_undistort(K, dist, c, px)
        ray = np.concatenate([n, np.ones((H, W, 1))], axis=-1) @ R[c]  # R^T d per node
        centre = -R[c].T @ t[c]
        s = -(PLANE @ centre) / (ray @ PLANE)
        X = centre + s[..., None] * ray
        q = ref_project(K, dist, R, t, c, X + motion(X))
        u[c], v[c] = q[..., 0] - px[..., 0], q[..., 1] - px[..., 1]
    cc = 0.9 + 0.05 * np.cos(0.3 * rows + 0.2 * cols)[None] * np.ones((n_cam, 1, 1))
    return u, v, cc, np.ones((n_cam, H, W), dtype=bool)


def surface_points(n: int, seed: int) -> np.ndarray:
    xy = np.random.default_rng(seed).uniform(-0.35, 0.35, (n, 2))
    return np.column_stack([xy, 0.1 * xy[:, 0] - 0.05 * xy[:, 1]])


def observe(rig, X, cams, ids):
    K, dist, R, t = rig
    pid, cid, uv = [], [], []
    for c in cams:
        pid.append(ids)
        cid.append(np.full(len(ids), c, dtype=np.int32))
        uv.append(ref_project(K, dist, R, t, c, X))
    return np.concatenate(pid).astype(np.int64), np.concatenate(cid), np.concatenate(uv)


def pair(rig, fields, pid, cid, uv, cam_a=0, cam_b=1, min_corr=0.5, max_err=1.0, scale=1.0, h=H, w=W, spacing=SPACING):
    return nv.reconstruct_pair_surface_points(
        *rig, pid, cid, uv, *fields, h, w, spacing, cam_a, cam_b, min_corr, max_err, scale
    )


def tracks(rig, fields, pid, cid, uv, min_views=2, min_corr=0.5, max_err=1.0, scale=1.0, h=H, w=W, spacing=SPACING):
    return nv.reconstruct_tracks(*rig, pid, cid, uv, *fields, h, w, spacing, min_views, min_corr, max_err, scale)


PAIR_KEYS = [
    "point_indices",
    "uv_ref_a",
    "uv_ref_b",
    "uv_def_a",
    "uv_def_b",
    "points_ref_sfm",
    "points_def_sfm",
    "points_ref_world",
    "points_def_world",
    "displacement_sfm",
    "displacement_world",
    "displacement_norm_world",
    "corr_a",
    "corr_b",
    "corr_comb",
    "reprojection_error_ref",
    "reprojection_error_def",
    "valid_points",
]
TRACK_KEYS = [
    "point_indices",
    "points_ref_sfm",
    "points_def_sfm",
    "displacement_sfm",
    "points_ref_world",
    "points_def_world",
    "displacement_world",
    "num_views",
    "mean_corrcoef",
    "reprojection_error_ref",
    "reprojection_error_def",
    "valid",
]


@pytest.fixture(scope="module", params=[False, True], ids=["pinhole", "distorted"])
def scene2(request):
    rig = make_rig(2, request.param)
    return rig, make_fields(rig)


@pytest.fixture(scope="module", params=[False, True], ids=["pinhole", "distorted"])
def scene3(request):
    rig = make_rig(3, request.param)
    return rig, make_fields(rig)


# --------------------------------------------------------------------------
# Triangulation of noise-free data, against the truth and the NumPy model


def test_pair_triangulates_noise_free_points_exactly(scene2):
    rig, fields = scene2
    X = surface_points(40, seed=1)
    ids = np.arange(40)
    res = pair(rig, fields, *observe(rig, X, [0, 1], ids))
    assert list(res) == PAIR_KEYS
    assert res["valid_points"].all()
    assert_close(res["points_ref_sfm"], X, rel=1e-9, abs_=1e-10)
    assert np.all(res["reprojection_error_ref"] < 1e-8)
    # Bilinear sampling of a perspective motion: close to the true motion.
    assert_close(res["displacement_sfm"], motion(X), rel=0, abs_=2e-5)


def test_pair_matches_numpy_model(scene2):
    rig, fields = scene2
    K, dist, R, t = rig
    X = surface_points(30, seed=2)
    pid, cid, uv = observe(rig, X, [0, 1], np.arange(30))
    uv = uv + np.random.default_rng(3).normal(0, 0.3, uv.shape)  # nonzero reprojection errors
    res = pair(rig, fields, pid, cid, uv, max_err=0.25, scale=2.5)
    mats = [extrinsic(R, t, 0), extrinsic(R, t, 1)]
    for n in range(30):
        pa, pb = uv[n], uv[30 + n]
        sa, sb = ref_sample(fields, 0, pa, 0.5), ref_sample(fields, 1, pb, 0.5)
        da, db = pa + sa[1:3], pb + sb[1:3]
        xr = ref_triangulate([ref_undistort(K, dist, 0, pa), ref_undistort(K, dist, 1, pb)], mats)
        xd = ref_triangulate([ref_undistort(K, dist, 0, da), ref_undistort(K, dist, 1, db)], mats)
        er = 0.5 * (
            np.hypot(*(ref_project(K, dist, R, t, 0, xr) - pa)) + np.hypot(*(ref_project(K, dist, R, t, 1, xr) - pb))
        )
        ed = 0.5 * (
            np.hypot(*(ref_project(K, dist, R, t, 0, xd) - da)) + np.hypot(*(ref_project(K, dist, R, t, 1, xd) - db))
        )
        assert_close(res["uv_def_a"][n], da, rel=1e-13)
        assert_close(res["uv_def_b"][n], db, rel=1e-13)
        assert_close(res["points_ref_sfm"][n], xr, rel=1e-9, abs_=1e-10)
        assert_close(res["points_def_sfm"][n], xd, rel=1e-9, abs_=1e-10)
        assert_close(res["points_def_world"][n], 2.5 * xd, rel=1e-9, abs_=1e-10)
        assert_close(
            [res["reprojection_error_ref"][n], res["reprojection_error_def"][n]], [er, ed], rel=1e-6, abs_=1e-9
        )
        assert_close([res["corr_a"][n], res["corr_b"][n]], [sa[3], sb[3]], rel=1e-13)
        assert res["corr_comb"][n] == min(res["corr_a"][n], res["corr_b"][n])
        assert res["valid_points"][n] == (er <= 0.25 and ed <= 0.25)
    assert 0 < res["valid_points"].sum() < 30  # the threshold splits the noisy points
    assert_close(res["displacement_norm_world"], np.linalg.norm(res["displacement_world"], axis=1))


def test_tracks_triangulate_three_views_and_match_numpy_model(scene3):
    rig, fields = scene3
    K, dist, R, t = rig
    X = surface_points(25, seed=4)
    pid, cid, uv = observe(rig, X, [2, 0, 1], np.arange(25))
    res = tracks(rig, fields, pid, cid, uv)
    assert list(res) == TRACK_KEYS
    assert res["valid"].all() and (res["num_views"] == 3).all()
    assert_close(res["points_ref_sfm"], X, rel=1e-9, abs_=1e-10)
    mats = [extrinsic(R, t, c) for c in range(3)]
    for n in range(25):
        s = [ref_sample(fields, c, uv[25 * k + n], 0.5) for k, c in enumerate([2, 0, 1])]
        deformed = [ref_undistort(K, dist, c, uv[25 * k + n] + s[k][1:3]) for k, c in enumerate([2, 0, 1])]
        xd = ref_triangulate(deformed, [mats[c] for c in [2, 0, 1]])
        assert_close(res["points_def_sfm"][n], xd, rel=1e-9, abs_=1e-10)
        assert_close(res["mean_corrcoef"][n], (s[0][3] + s[1][3] + s[2][3]) / 3, rel=1e-13)
    assert_close(res["displacement_sfm"], motion(X), rel=0, abs_=2e-5)
    assert np.all(res["reprojection_error_def"] < 0.05)


def test_dist_without_columns_is_a_pinhole_camera(scene2):
    rig, fields = scene2
    K, dist, R, t = make_rig(2, distorted=False)
    X = surface_points(10, seed=5)
    obs = observe((K, dist, R, t), X, [0, 1], np.arange(10))
    with_zeros = pair((K, dist, R, t), fields, *obs)
    no_columns = pair((K, np.zeros((2, 0)), R, t), fields, *obs)
    tiny_k1 = pair((K, np.tile([1e-13, 0.0], (2, 1)), R, t), fields, *obs)
    for key in PAIR_KEYS:
        np.testing.assert_array_equal(no_columns[key], with_zeros[key])
        np.testing.assert_array_equal(tiny_k1[key], with_zeros[key])


# --------------------------------------------------------------------------
# DIC sampling, probed through one-view tracks: "mean_corrcoef" is the
# sampled coefficient and "num_views" tells whether the sample was usable.


def probe(fields, pixels, min_corr=0.5, spacing=4, h=None, w=None):
    u = fields[0]
    h = u.shape[1] if h is None else h
    w = u.shape[2] if w is None else w
    rig = make_rig(1, False)
    px = np.asarray(pixels, dtype=float).reshape(-1, 2)
    n = len(px)
    res = tracks(
        rig, fields, np.arange(n), np.zeros(n, np.int32), px, min_views=1, min_corr=min_corr, h=h, w=w, spacing=spacing
    )
    return res["num_views"], res["mean_corrcoef"]


def grid_fields(cc):
    cc = np.asarray(cc, dtype=float)[None]
    return np.zeros_like(cc), np.zeros_like(cc), cc, np.ones(cc.shape, dtype=bool)


def bilinear_field(h=6, w=8):
    r, c = np.mgrid[0:h, 0:w]
    return 0.6 + 0.01 * c + 0.02 * r + 0.003 * c * r


def test_bilinear_sampling_reproduces_a_bilinear_field():
    cc = bilinear_field()
    px = np.random.default_rng(6).uniform([0, 0], [7 * 5, 5 * 5], (200, 2))
    views, values = probe(grid_fields(cc), px)
    gx, gy = px[:, 0] / 5, px[:, 1] / 5
    assert (views == 1).all()
    assert_close(values, 0.6 + 0.01 * gx + 0.02 * gy + 0.003 * gx * gy, rel=1e-14, abs_=1e-15)
    # (12.0, 7.5) with spacing 4 is grid (2.4, 1.5).
    assert_close(probe(grid_fields(cc), [12.0, 7.5])[1], [0.6 + 0.024 + 0.03 + 0.003 * 3.6], rel=1e-14)


@pytest.mark.parametrize(
    ("pixel", "node"),
    [
        ((10.0, 5.0), (1, 2)),  # interior node: bilinear weights (1, 0, 0, 0)
        ((35.0, 10.0), (2, 7)),  # last column: nearest node
        ((15.0, 25.0), (5, 3)),  # last row
        ((37.4, 27.4), (5, 7)),  # within half a step past the last corner
        ((-1.0, 0.0), (0, 0)),  # gx = -0.2
        ((-2.4, 10.0), (2, 0)),
    ],
    ids=["interior", "last-column", "last-row", "past-corner", "left-border", "below-half-step"],
)
def test_border_positions_take_the_nearest_node(pixel, node):
    cc = 0.5 + 0.001 * np.arange(48).reshape(6, 8)
    views, values = probe(grid_fields(cc), pixel)
    assert views[0] == 1 and values[0] == cc[node]


# gx = -0.5 rounds away from zero to column -1.
@pytest.mark.parametrize("pixel", [(-3.0, 0.0), (0.0, -3.0), (-2.5, 0.0), (38.0, 0.0), (0.0, 28.0)])
def test_positions_beyond_half_a_step_are_invalid(pixel):
    views, values = probe(grid_fields(bilinear_field()), pixel)
    assert views[0] == 0 and values[0] == 0.0


def test_unsolved_or_poor_neighbours_fall_back_to_the_nearest_node():
    cc = bilinear_field()
    fields = grid_fields(cc)
    fields[3][0, 2, 3] = False  # unsolved node (row 2, column 3)
    # Cell (1..2, 2..3) holds it: the nearest node decides.
    views, values = probe(fields, [(2.2 * 5, 1.2 * 5), (2.8 * 5, 1.8 * 5), (2.6 * 5, 1.3 * 5)])
    assert list(views) == [1, 0, 1]
    assert values[0] == cc[1, 2] and values[2] == cc[1, 3]
    poor = cc.copy()
    poor[4, 5] = 0.1
    views, values = probe(grid_fields(poor), [(4.4 * 5, 3.3 * 5), (4.6 * 5, 3.6 * 5)], min_corr=0.5)
    assert list(views) == [1, 0]
    assert values[0] == poor[3, 4]


@pytest.mark.parametrize("x", [np.nan, np.inf, -np.inf, 1e300, -1e300, 2.0**31 * 5, -(2.0**31) * 5])
def test_non_finite_and_huge_positions_are_invalid(x):
    views, _ = probe(grid_fields(bilinear_field()), [(x, 5.0), (5.0, x)])
    assert list(views) == [0, 0]


@pytest.mark.parametrize("spacing", [-1, -2, -7, -(2**31)])
def test_non_positive_grid_step_gives_invalid_samples(spacing):
    # step 0 would divide by zero and a negative step would mirror the grid.
    views, _ = probe(grid_fields(bilinear_field()), [(0.0, 0.0), (-5.0, -5.0), (5.0, 5.0)], spacing=spacing)
    assert list(views) == [0, 0, 0]


def test_largest_subset_spacing_does_not_overflow_the_step():
    cc = bilinear_field()
    views, values = probe(grid_fields(cc), [(0.0, 0.0), (2.0**31, 0.0)], spacing=2**31 - 1)
    assert list(views) == [1, 1]
    assert list(values) == [cc[0, 0], cc[0, 1]]


def test_any_nonzero_valid_byte_means_solved():
    cc = bilinear_field()
    raw = np.full((1,) + cc.shape, 7, dtype=np.uint8)
    raw[0, 0, 0] = 0
    fields = (np.zeros((1,) + cc.shape), np.zeros((1,) + cc.shape), cc[None], raw.view(bool))
    views, values = probe(fields, [(0.0, 0.0), (10.0, 10.0)])
    assert list(views) == [0, 1] and values[1] == cc[2, 2]


# --------------------------------------------------------------------------
# Point identifiers, pairing and empty results


ODD_IDS = np.array([2**63 - 1, -(2**63), -1, 0, 7, 2**40, -(2**35)], dtype=np.int64)


def shuffled_observations(rig, X, cams, seed):
    pid, cid, uv = observe(rig, X, cams, ODD_IDS)
    order = np.random.default_rng(seed).permutation(len(pid))
    return pid[order], cid[order], uv[order]


def test_identifiers_come_back_ascending_and_unchanged(scene3):
    rig, fields = scene3
    X = surface_points(len(ODD_IDS), seed=7)
    obs = shuffled_observations(rig, X, [0, 1, 2], seed=8)
    res_p = pair(rig, fields, *obs, cam_a=1, cam_b=2)
    res_t = tracks(rig, fields, *obs)
    order = np.argsort(ODD_IDS)
    for res in (res_p, res_t):
        np.testing.assert_array_equal(res["point_indices"], ODD_IDS[order])
        assert_close(res["points_ref_sfm"], X[order], rel=1e-9, abs_=1e-10)


@pytest.mark.parametrize("spread", ["full-int64", "narrow"])
def test_large_observation_tables_come_back_ascending_with_duplicates_in_order(scene3, spread):
    # Tables of 64 and more observations take the radix path of the
    # identifier sort: identifiers across the whole int64 range (or within a
    # few hundred of each other, where the high bytes are all equal), shuffled,
    # with a bogus earlier duplicate of some observations.
    rig, fields = scene3
    rng = np.random.default_rng(31)
    n = 150
    if spread == "full-int64":
        ids = rng.integers(-(2**63), 2**63 - 1, n, dtype=np.int64, endpoint=True)
        ids[:2] = [-(2**63), 2**63 - 1]
    else:
        ids = 2**62 + rng.choice(400, n, replace=False).astype(np.int64)
    ids = np.unique(ids)
    X = surface_points(len(ids), seed=32)
    pid, cid, uv = observe(rig, X, [0, 1, 2], ids)
    order = rng.permutation(len(pid))
    pid, cid, uv = pid[order], cid[order], uv[order]
    base_p = pair(rig, fields, pid, cid, uv, cam_a=0, cam_b=2)
    base_t = tracks(rig, fields, pid, cid, uv)
    for res in (base_p, base_t):
        np.testing.assert_array_equal(res["point_indices"], ids)
        assert_close(res["points_ref_sfm"], X, rel=1e-9, abs_=1e-10)
    # Earlier bogus copies of every fifth observation: the pair keeps the
    # later (true) one, tracks use both views.
    dup = np.arange(0, len(pid), 5)
    pid2 = np.concatenate([pid[dup], pid])
    cid2 = np.concatenate([cid[dup], cid])
    uv2 = np.concatenate([uv[dup] + [25.0, -15.0], uv])
    res_p = pair(rig, fields, pid2, cid2, uv2, cam_a=0, cam_b=2)
    for key in PAIR_KEYS:
        np.testing.assert_array_equal(res_p[key], base_p[key])
    res_t = tracks(rig, fields, pid2, cid2, uv2)
    np.testing.assert_array_equal(res_t["point_indices"], ids)
    extra = np.zeros(len(ids), dtype=int)
    np.add.at(extra, np.searchsorted(ids, pid[dup]), 1)
    np.testing.assert_array_equal(res_t["num_views"], 3 + extra)


def test_pair_later_observation_wins_and_tracks_keep_duplicates(scene2):
    rig, fields = scene2
    X = surface_points(3, seed=9)
    pid, cid, uv = observe(rig, X, [0, 1], np.array([5, 6, 7]))
    bogus = uv[:1] + [30.0, -20.0]
    dup = (np.concatenate([pid[:1], pid]), np.concatenate([cid[:1], cid]), np.concatenate([bogus, uv]))
    base = pair(rig, fields, pid, cid, uv)
    res = pair(rig, fields, *dup)
    for key in PAIR_KEYS:
        np.testing.assert_array_equal(res[key], base[key])
    res_t = tracks(rig, fields, *dup)
    assert list(res_t["num_views"]) == [3, 2, 2]
    assert res_t["reprojection_error_ref"][0] > 1.0  # the bogus pixel is used
    twice = (np.concatenate([pid[:1], pid]), np.concatenate([cid[:1], cid]), np.concatenate([uv[:1], uv]))
    again = tracks(rig, fields, *twice)
    assert list(again["num_views"]) == [3, 2, 2] and again["valid"].all()


@pytest.mark.parametrize("case", ["no-cam-b", "same-camera", "empty"])
def test_pair_without_pairs_gives_empty_arrays(scene2, case):
    rig, fields = scene2
    X = surface_points(4, seed=10)
    pid, cid, uv = observe(rig, X, [0, 1], np.arange(4))
    cam_a, cam_b = 0, 1
    if case == "no-cam-b":
        cid = np.zeros_like(cid)
    elif case == "same-camera":
        cam_b = 0
    else:
        pid, cid, uv = pid[:0], cid[:0], uv[:0]
    res = pair(rig, fields, pid, cid, uv, cam_a=cam_a, cam_b=cam_b)
    assert list(res) == PAIR_KEYS
    trailing = {"uv": (2,), "points": (3,), "displacement": (3,)}
    for key, value in res.items():
        expected = next((v for k, v in trailing.items() if key.startswith(k) and "norm" not in key), ())
        assert value.shape == (0,) + expected, key


def test_empty_observations_never_look_at_the_dic_arrays():
    rig = make_rig(2, True)
    junk = (np.zeros(3), np.zeros((2, 2)), np.zeros(1), np.zeros(4, dtype=bool))
    args = (np.zeros(0, np.int64), np.zeros(0, np.int32), np.zeros((0, 2)))
    res_p = nv.reconstruct_pair_surface_points(*rig, *args, *junk, -4, -4, -1, 0, 1, 0.5, 1.0, 1.0)
    res_t = nv.reconstruct_tracks(*rig, *args, *junk, -4, -4, -1, 2, 0.5, 1.0, 1.0)
    assert all(v.shape[0] == 0 for v in res_p.values())
    assert all(v.shape[0] == 0 for v in res_t.values())
    assert res_t["points_ref_sfm"].shape == (0, 3) and res_t["num_views"].dtype == np.int32


def test_pair_drops_points_without_usable_samples(scene2):
    rig, fields = scene2
    X = surface_points(3, seed=11)
    pid, cid, uv = observe(rig, X, [0, 1], np.arange(3))
    uv[4] = [W * STEP + STEP, 100.0]  # point 1 in camera 1: more than half a step outside
    f = tuple(np.copy(a) for a in fields)
    ga = np.rint(uv[2] / STEP).astype(int)  # point 2 in camera 0: its nearest node unsolved
    f[3][0, ga[1] - 1 : ga[1] + 2, ga[0] - 1 : ga[0] + 2] = False
    res = pair(rig, f, pid, cid, uv)
    assert list(res["point_indices"]) == [0]


# --------------------------------------------------------------------------
# Validity rules and fill values


def test_pair_keeps_rows_that_fail_the_reprojection_threshold(scene2):
    rig, fields = scene2
    X = surface_points(2, seed=12)
    pid, cid, uv = observe(rig, X, [0, 1], np.arange(2))
    uv[2] += [0.0, 3.0]  # point 0 in camera 1 off its epipolar line
    res = pair(rig, fields, pid, cid, uv, max_err=0.5)
    assert list(res["valid_points"]) == [False, True]
    assert np.isfinite(res["points_ref_sfm"]).all()
    assert res["reprojection_error_ref"][0] > 0.5


def test_tracks_fill_values_of_unusable_points(scene3):
    rig, fields = scene3
    X = surface_points(5, seed=13)
    pid, cid, uv = observe(rig, X, [0, 1, 2], np.arange(5))
    keep = ~((pid == 1) & (cid != 0)) & ~(pid == 2)  # point 1: one view; point 2: none
    pid, cid, uv = pid[keep], cid[keep], uv[keep]
    f = tuple(np.copy(a) for a in fields)
    g = np.rint(uv[(pid == 3) & (cid == 2)][0] / STEP).astype(int)
    f[3][2, g[1] - 1 : g[1] + 2, g[0] - 1 : g[0] + 2] = False  # point 3 loses its camera-2 view
    uv[(pid == 4) & (cid == 1)] += [0.0, 4.0]  # point 4 fails the error threshold
    res = tracks(rig, f, pid, cid, uv, min_views=1, max_err=0.5)
    np.testing.assert_array_equal(res["point_indices"], [0, 1, 3, 4])
    np.testing.assert_array_equal(res["num_views"], [3, 1, 2, 3])
    np.testing.assert_array_equal(res["valid"], [True, False, True, False])
    for n in (1, 3):
        assert np.all(res["points_ref_sfm"][n] == 0) and np.all(res["displacement_world"][n] == 0)
    assert np.isinf(res["reprojection_error_ref"][1]) and np.isinf(res["reprojection_error_def"][1])
    assert np.isfinite(res["reprojection_error_def"][3]) and res["reprojection_error_ref"][3] > 0.5
    s = [ref_sample(f, c, uv[(pid == 3) & (cid == c)][0], 0.5)[3] for c in (0, 1)]
    assert_close(res["mean_corrcoef"][2], sum(s) / 2, rel=1e-13)

    none = tracks(rig, f, np.array([9, 9]), np.array([0, 1], np.int32), np.full((2, 2), -500.0))
    assert none["num_views"][0] == 0 and none["mean_corrcoef"][0] == 0.0 and not none["valid"][0]
    assert np.isinf(none["reprojection_error_ref"][0])


@pytest.mark.parametrize(("min_views", "valid"), [(-5, True), (0, True), (1, True), (3, True), (4, False)])
def test_tracks_min_views(scene3, min_views, valid):
    rig, fields = scene3
    X = surface_points(1, seed=14)
    res = tracks(rig, fields, *observe(rig, X, [0, 1, 2], np.arange(1)), min_views=min_views)
    assert res["valid"][0] == valid and res["num_views"][0] == 3
    assert np.isfinite(res["reprojection_error_ref"][0]) == valid


@pytest.mark.parametrize("scale", [1.0, -1.0, 0.25])
def test_world_arrays_are_scaled_copies(scene3, scale):
    rig, fields = scene3
    X = surface_points(6, seed=15)
    obs = observe(rig, X, [0, 1, 2], np.arange(6))
    p = pair(rig, fields, *obs, scale=scale)
    tr = tracks(rig, fields, *obs, scale=scale)
    for res in (p, tr):
        np.testing.assert_array_equal(res["points_ref_world"], scale * res["points_ref_sfm"])
        np.testing.assert_array_equal(res["points_def_world"], scale * res["points_def_sfm"])
        np.testing.assert_array_equal(res["displacement_world"], scale * res["displacement_sfm"])
    np.testing.assert_array_equal(p["displacement_sfm"], p["points_def_sfm"] - p["points_ref_sfm"])
    assert_close(p["displacement_norm_world"], abs(scale) * np.linalg.norm(p["displacement_sfm"], axis=1))
    assert np.all(p["displacement_norm_world"] >= 0)


# --------------------------------------------------------------------------
# Array layouts and conversions


def run_both(rig, fields, obs):
    return pair(rig, fields, *obs), tracks(rig, fields, *obs)


def assert_same_results(a, b):
    for ra, rb in zip(a, b):
        assert list(ra) == list(rb)
        for key in ra:
            np.testing.assert_array_equal(ra[key], rb[key])


def test_fortran_sliced_and_list_inputs_equal_c_ordered_copies(scene2):
    rig, fields = scene2
    X = surface_points(12, seed=16)
    obs = observe(rig, X, [0, 1], np.arange(12))
    base = run_both(rig, fields, obs)

    fortran = tuple(np.asfortranarray(a) for a in fields)
    assert_same_results(run_both(rig, fortran, obs), base)

    padded = []
    for a in fields:  # every other camera, row and column of a larger array
        big = np.zeros((4, 2 * H, 2 * W), dtype=a.dtype)
        big[0:4:2, 0::2, 0::2] = a
        padded.append(big[0:4:2, 0::2, 0::2])
    assert not padded[0].flags.c_contiguous
    assert_same_results(run_both(rig, tuple(padded), obs), base)

    K, dist, R, t = rig
    rev_rig = (K[::-1][::-1], np.asfortranarray(dist), np.transpose(np.transpose(R, (0, 2, 1)), (0, 2, 1)), t)
    uv_strided = np.zeros((len(obs[2]), 4))
    uv_strided[:, 1:3] = obs[2]
    obs_strided = (obs[0], obs[1], uv_strided[:, 1:3])
    assert_same_results(run_both(rev_rig, fields, obs_strided), base)

    lists = ([a.tolist() for a in rig], obs[0].tolist(), obs[1].tolist(), obs[2].tolist())
    assert_same_results(run_both(tuple(lists[0]), fields, lists[1:]), base)


def test_float_camera_indices_truncate_toward_zero(scene2):
    rig, fields = scene2
    X = surface_points(5, seed=17)
    pid, cid, uv = observe(rig, X, [0, 1], np.arange(5))
    base = run_both(rig, fields, (pid, cid, uv))
    assert_same_results(run_both(rig, fields, (pid, cid + 0.9, uv)), base)


def test_results_are_new_contiguous_writeable_arrays(scene2):
    rig, fields = scene2
    X = surface_points(4, seed=18)
    obs = observe(rig, X, [0, 1], np.arange(4))
    dtypes = {"point_indices": np.int64, "valid_points": np.bool_, "valid": np.bool_, "num_views": np.int32}
    for res in run_both(rig, fields, obs):
        for key, value in res.items():
            assert value.dtype == dtypes.get(key, np.float64), key
            assert value.flags.c_contiguous and value.flags.writeable and value.flags.owndata
            for arg in (*rig, *obs, *fields):
                assert not np.shares_memory(value, arg)


# --------------------------------------------------------------------------
# Extents and indices outside the arrays are rejected, never read


def valid_call(n_cam=2):
    rig = make_rig(n_cam, True)
    fields = make_fields(rig)
    X = surface_points(3, seed=19)
    return list(rig), list(observe(rig, X, list(range(n_cam)), np.arange(3))), list(fields)


def call(fn, rig, obs, fields, h=H, w=W, cam_b=1):
    if fn == "pair":
        return nv.reconstruct_pair_surface_points(*rig, *obs, *fields, h, w, SPACING, 0, cam_b, 0.5, 1.0, 1.0)
    return nv.reconstruct_tracks(*rig, *obs, *fields, h, w, SPACING, 2, 0.5, 1.0, 1.0)


def _cut(part, index, value):
    def mutate(rig, obs, fields):
        {"rig": rig, "obs": obs, "fields": fields}[part][index] = value(
            {"rig": rig, "obs": obs, "fields": fields}[part][index]
        )

    return mutate


EXTENT_CASES = [
    ("K-trailing", _cut("rig", 0, lambda a: a[:, :, :2]), "K has trailing extents 3 x 2; expected at least 3 x 3"),
    ("R-trailing", _cut("rig", 2, lambda a: a[:, :2, :]), "R has trailing extents 2 x 3; expected at least 3 x 3"),
    ("t-columns", _cut("rig", 3, lambda a: a[:, :2]), "t has 2 columns; expected at least 3"),
    (
        "cam-rows",
        _cut("obs", 1, lambda a: a[:4]),
        "cam_indices has 4 rows; expected at least 6 (the length of point_indices)",
    ),
    ("uv-columns", _cut("obs", 2, lambda a: a[:, :1]), "uv has 1 columns; expected at least 2"),
    ("uv-rows", _cut("obs", 2, lambda a: a[:5]), "uv has 5 rows; expected at least 6 (the length of point_indices)"),
]


@pytest.mark.parametrize("fn", ["pair", "tracks"])
@pytest.mark.parametrize(("mutate", "message"), [c[1:] for c in EXTENT_CASES], ids=[c[0] for c in EXTENT_CASES])
def test_short_calibration_and_observation_arrays_are_rejected(fn, mutate, message):
    rig, obs, fields = valid_call()
    mutate(rig, obs, fields)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        call(fn, rig, obs, fields)


@pytest.mark.parametrize("fn", ["pair", "tracks"])
def test_dic_extents_and_grid_size_are_checked_at_the_first_sample(fn):
    rig, obs, fields = valid_call()
    small = list(fields)
    small[1] = fields[1][:, :, : W - 1]
    with pytest.raises(ValueError, match=rf"^dic_v has grid extents {H} x {W - 1}; expected at least {H} x {W}$"):
        call(fn, rig, obs, small)
    with pytest.raises(ValueError, match="^reduced_width = -2 is negative$"):
        call(fn, rig, obs, fields, w=-2)
    with pytest.raises(ValueError, match="^reduced_height = -1 is negative$"):
        call(fn, rig, obs, fields, h=-1)


def test_camera_indices_outside_the_arrays_are_rejected():
    rig, obs, fields = valid_call()
    obs[1] = obs[1].copy()
    obs[1][3] = 7
    with pytest.raises(ValueError, match=r"^cam_indices\[3\] = 7 is outside \[0, 2\) of dic_u$"):
        call("tracks", rig, obs, fields)
    obs[1][3] = -1
    with pytest.raises(ValueError, match=r"^cam_indices\[3\] = -1 is outside \[0, 2\) of dic_u$"):
        call("tracks", rig, obs, fields)
    # The pair ignores cameras other than its own two.
    assert call("pair", rig, obs, fields)["point_indices"].shape == (2,)
    obs[1][3] = 5
    with pytest.raises(ValueError, match=r"^cam_b = 5 is outside \[0, 2\) of dic_u$"):
        call("pair", rig, obs, fields, cam_b=5)

    rig, obs, fields = valid_call()
    fields[2] = fields[2][:1]
    with pytest.raises(ValueError, match=r"^cam_indices\[3\] = 1 is outside \[0, 1\) of dic_corrcoef$"):
        call("tracks", rig, obs, fields)
    with pytest.raises(ValueError, match=r"^cam_b = 1 is outside \[0, 1\) of dic_corrcoef$"):
        call("pair", rig, obs, fields)
    for index, name in [(0, "K"), (1, "dist"), (2, "R"), (3, "t")]:
        rig, obs, fields = valid_call()
        rig[index] = rig[index][:1]
        with pytest.raises(ValueError, match=rf"^cam_indices\[3\] = 1 is outside \[0, 1\) of {name}$"):
            call("tracks", rig, obs, fields)
        with pytest.raises(ValueError, match=rf"^cam_b = 1 is outside \[0, 1\) of {name}$"):
            call("pair", rig, obs, fields)
