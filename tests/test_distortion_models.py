"""The lens models of the reconstruction functions: the keyword-only
distortion_model, "radial2" as before and "opencv" (k1, k2, p1, p2, k3 and
the skew) against OpenCV's own projection and undistortion."""

from __future__ import annotations

import re

import cv2
import numpy as np
import pytest
import test_reconstruction as tr
from conftest import assert_close

import native_vostrel as nv

FUNCTIONS = ["reconstruct_pair_surface_points", "reconstruct_tracks"]
EXACT = (cv2.TERM_CRITERIA_COUNT | cv2.TERM_CRITERIA_EPS, 200, 1e-16)

# Pinhole and distorted two-coefficient rigs of the reconstruction tests.
scene2 = tr.scene2
scene3 = tr.scene3


def run(fn, rig, obs, fields, model=None, cams=(0, 1), min_views=2, max_err=1.0):
    extra = {} if model is None else {"distortion_model": model}
    common = (*rig, *obs, *fields, tr.H, tr.W, tr.SPACING)
    if fn == "reconstruct_pair_surface_points":
        return nv.reconstruct_pair_surface_points(*common, *cams, 0.5, max_err, 1.0, **extra)
    return nv.reconstruct_tracks(*common, min_views, 0.5, max_err, 1.0, **extra)


def still_fields(n_cam):
    """Solved, well-correlated DIC fields without displacement."""
    shape = (n_cam, tr.H, tr.W)
    return np.zeros(shape), np.zeros(shape), np.ones(shape), np.ones(shape, bool)


def opencv_project(X, K, dist, R, t):
    """Pixels of world points through cv2.projectPoints; the skew K[0, 1],
    which OpenCV does not model, is added as u += s * y_d, y_d = (v - cy) / fy."""
    K0 = K.copy()
    K0[0, 1] = 0.0
    uv = cv2.projectPoints(np.asarray(X, float), cv2.Rodrigues(R)[0], t, K0, dist)[0][:, 0]
    uv[:, 0] += K[0, 1] * (uv[:, 1] - K[1, 2]) / K[1, 1]
    return uv


def random_lens(rng, strong=False):
    scale = 2.5 if strong else 1.0
    return np.array(
        [
            rng.uniform(-0.3, 0.3) * scale,
            rng.uniform(-0.1, 0.1) * scale,
            rng.uniform(-0.004, 0.004),
            rng.uniform(-0.004, 0.004),
            rng.uniform(-0.02, 0.02),
        ]
    )


def opencv_rig(rng, n_cam=3, strong=False, skew=True):
    angles = [(0.0, -0.25), (0.0, 0.25), (0.2, 0.05)][:n_cam]
    K = np.stack(
        [
            [[rng.uniform(700, 900), rng.uniform(-2, 2) if skew else 0.0, rng.uniform(300, 340)],
             [0.0, rng.uniform(700, 900), rng.uniform(220, 260)],
             [0.0, 0.0, 1.0]]
            for _ in range(n_cam)
        ]
    )  # fmt: skip
    dist = np.stack([random_lens(rng, strong) for _ in range(n_cam)])
    R = np.stack([tr.rotation(*a) for a in angles])
    t = np.tile([0.0, 0.0, 3.0], (n_cam, 1))
    return K, dist, R, t


def observe(rig, X, cams):
    K, dist, R, t = rig
    ids = np.arange(len(X), dtype=np.int64)
    pid = np.concatenate([ids] * len(cams))
    cid = np.concatenate([np.full(len(X), c, np.int32) for c in cams])
    uv = np.concatenate([opencv_project(X, K[c], dist[c], R[c], t[c]) for c in cams])
    return pid, cid, uv


# --------------------------------------------------------------------------
# The argument


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_distortion_model_is_keyword_only_and_radial2_by_default(fn, scene3):
    rig, fields = scene3
    X = tr.surface_points(40, seed=31)
    obs = tr.observe(rig, X, [0, 1, 2], np.arange(40))
    default = run(fn, rig, obs, fields)
    explicit = run(fn, rig, obs, fields, "radial2")
    assert list(default) == list(explicit)
    for key in default:
        np.testing.assert_array_equal(default[key], explicit[key])
    positional = (*rig, *obs, *fields, tr.H, tr.W, tr.SPACING, 0, 1, 0.5, 1.0, 1.0, "radial2")
    if fn == "reconstruct_tracks":
        positional = positional[:14] + (2,) + positional[16:]
    with pytest.raises(TypeError):
        getattr(nv, fn)(*positional)


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("name", ["fisheye", "OpenCV", "radial2 ", ""])
def test_unknown_model_names_are_refused_with_the_known_ones(fn, name, scene2):
    rig, fields = scene2
    obs = tr.observe(rig, tr.surface_points(3, seed=32), [0, 1], np.arange(3))
    bad_K = (rig[0][:, 0],) + rig[1:]  # the model is checked before any array
    message = f'distortion_model "{name}" is unknown; expected "radial2" or "opencv"'
    for r in (rig, bad_K):
        with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
            run(fn, r, obs, fields, name)
    with pytest.raises(TypeError):
        run(fn, rig, obs, fields, 2)


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("columns", [0, 2, 4])
def test_opencv_needs_five_coefficients(fn, columns, scene2):
    rig, fields = scene2
    K, dist, R, t = rig
    obs = tr.observe(rig, tr.surface_points(3, seed=33), [0, 1], np.arange(3))
    short = (K, np.zeros((2, columns)), R, t)
    message = f'dist has {columns} columns; expected at least 5 (k1, k2, p1, p2, k3) with distortion_model "opencv"'
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        run(fn, short, obs, fields, "opencv")
    empty = (np.zeros(0, np.int64), np.zeros(0, np.int32), np.zeros((0, 2)))
    with pytest.raises(ValueError, match="^dist has"):
        run(fn, short, empty, fields, "opencv")
    # The two-coefficient model takes whatever columns there are.
    run(fn, short, obs, fields, "radial2")


# --------------------------------------------------------------------------
# "opencv" without its extra terms is the two-coefficient model


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_opencv_without_tangential_terms_k3_or_skew_equals_radial2(fn, scene3):
    rig, fields = scene3
    K, dist, R, t = rig
    X = tr.surface_points(300, seed=34)
    obs = tr.observe(rig, X, [0, 1, 2], np.arange(300))
    obs[2][::7] += 0.6  # some observations off their rays
    padded = (K, np.hstack([dist, np.zeros((3, 3)), np.full((3, 1), 9.0)]), R, t)  # a 6th column is not read
    radial2 = run(fn, rig, obs, fields, max_err=0.3)
    opencv = run(fn, padded, obs, fields, "opencv", max_err=0.3)
    assert list(radial2) == list(opencv)
    for key in radial2:
        if radial2[key].dtype.kind in "bi":
            np.testing.assert_array_equal(opencv[key], radial2[key], err_msg=key)
        else:
            assert_close(opencv[key], radial2[key], rel=1e-9, abs_=1e-9)
    assert 0 < radial2[next(k for k in radial2 if k.startswith("valid"))].sum() < len(radial2["point_indices"])


def test_opencv_reads_the_terms_radial2_ignores(scene2):
    rig, fields = scene2
    K, dist, R, t = rig
    X = tr.surface_points(50, seed=35)
    obs = tr.observe(rig, X, [0, 1], np.arange(50))
    five = (K, np.hstack([dist, np.tile([0.01, -0.01, 0.005], (2, 1))]), R, t)
    # radial2 reads columns 0 and 1 only: the extra terms change nothing.
    base = run(FUNCTIONS[0], rig, obs, fields)
    for key, value in run(FUNCTIONS[0], five, obs, fields).items():
        np.testing.assert_array_equal(value, base[key])
    # opencv models them: the rays of the same pixels move, and so do the points.
    moved = run(FUNCTIONS[0], five, obs, fields, "opencv")
    np.testing.assert_array_equal(moved["point_indices"], base["point_indices"])
    assert np.median(np.linalg.norm(moved["points_ref_sfm"] - base["points_ref_sfm"], axis=1)) > 1e-4


# --------------------------------------------------------------------------
# Against OpenCV


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_noise_free_views_through_the_full_model_triangulate_exactly(seed):
    rng = np.random.default_rng(seed)
    rig = opencv_rig(rng, strong=seed % 2 == 0)
    X = tr.surface_points(200, seed=seed)
    obs = observe(rig, X, [0, 1, 2])
    assert obs[2].min() > 5 and obs[2][:, 0].max() < 635 and obs[2][:, 1].max() < 475
    res = run("reconstruct_tracks", rig, obs, still_fields(3), "opencv")
    assert res["valid"].all() and (res["num_views"] == 3).all()
    assert_close(res["points_ref_sfm"], X, rel=0, abs_=1e-9)
    np.testing.assert_array_equal(res["points_def_sfm"], res["points_ref_sfm"])
    assert res["reprojection_error_ref"].max() < 1e-6
    for cams in [(0, 1), (2, 1)]:
        pair = run("reconstruct_pair_surface_points", rig, obs, still_fields(3), "opencv", cams=cams)
        assert pair["valid_points"].all()
        assert_close(pair["points_ref_sfm"], X, rel=0, abs_=1e-9)


@pytest.mark.parametrize("seed", [5, 6, 7])
def test_projection_agrees_with_cv2_project_points(seed):
    # The reprojection error is the distance between our projection of the
    # triangulated point and OpenCV's pixel of the true one.
    rng = np.random.default_rng(seed)
    rig = opencv_rig(rng, n_cam=2, skew=False)
    X = tr.surface_points(300, seed=seed)
    res = run("reconstruct_pair_surface_points", rig, observe(rig, X, [0, 1]), still_fields(2), "opencv")
    assert len(res["point_indices"]) == len(X)
    assert_close(res["points_ref_sfm"], X, rel=0, abs_=1e-9)
    assert res["reprojection_error_ref"].max() < 1e-6


@pytest.mark.parametrize("seed", [8, 9, 10])
def test_undistortion_agrees_with_cv2_undistort_points(seed):
    # Camera 0 is the world frame. Its pixels, anywhere on the image, are
    # undistorted by OpenCV and put at a depth; camera 1 sees those points.
    # The triangulated point lies on our undistorted ray of camera 0 only if
    # that ray is OpenCV's.
    rng = np.random.default_rng(seed)
    K, dist, R, t = opencv_rig(rng, n_cam=2, skew=False)
    R[0], t[0] = np.eye(3), 0.0
    R[1] = tr.rotation(0.03, 0.33)  # centred at (1, 0.1, 0.2), looking back at the points
    t[1] = -R[1] @ [1.0, 0.1, 0.2]
    uv0 = np.column_stack([rng.uniform(10, 630, 400), rng.uniform(10, 470, 400)])
    n_cv = cv2.undistortPointsIter(uv0[:, None], K[0], dist[0], None, None, EXACT)[:, 0]
    X = np.column_stack([n_cv, np.ones(len(n_cv))]) * rng.uniform(2.5, 3.5, (len(n_cv), 1))
    uv1 = opencv_project(X, K[1], dist[1], R[1], t[1])
    keep = (uv1.min(axis=1) > 5) & (uv1[:, 0] < 635) & (uv1[:, 1] < 475)
    ids = np.arange(len(X), dtype=np.int64)[keep]
    obs = (
        np.concatenate([ids, ids]),
        np.repeat(np.array([0, 1], np.int32), len(ids)),
        np.concatenate([uv0[keep], uv1[keep]]),
    )
    res = run("reconstruct_pair_surface_points", (K, dist, R, t), obs, still_fields(2), "opencv")
    np.testing.assert_array_equal(res["point_indices"], ids)
    X_ours = res["points_ref_sfm"]
    n_ours = X_ours[:, :2] / X_ours[:, 2:]
    assert np.max(np.abs(n_ours - n_cv[keep]) * K[0, 0, 0]) < 1e-6


def test_skew_is_part_of_the_model():
    rng = np.random.default_rng(12)
    rig = opencv_rig(rng, n_cam=2)
    K = rig[0].copy()
    K[:, 0, 1] = [3.0, -2.0]
    rig = (K,) + rig[1:]
    X = tr.surface_points(100, seed=12)
    obs = observe(rig, X, [0, 1])
    res = run("reconstruct_pair_surface_points", rig, obs, still_fields(2), "opencv")
    assert_close(res["points_ref_sfm"], X, rel=0, abs_=1e-9)
    # The same pixels read without the skew give other rays, and other points.
    K0 = K.copy()
    K0[:, 0, 1] = 0.0
    off = run("reconstruct_pair_surface_points", (K0,) + rig[1:], obs, still_fields(2), "opencv")
    assert np.median(np.linalg.norm(off["points_ref_sfm"] - X, axis=1)) > 1e-4


# --------------------------------------------------------------------------
# Pixels the lens cannot undistort


def folded_scene():
    """Camera 0 has k1 = -0.5 at fx = 100: no normalised point distorts
    further than 0.544 from the axis, 54 px from (320, 240). Cameras 1 and 2
    are ordinary. Points 0-9 are seen near camera 0's centre, points 10-19
    far from it; cameras 1 and 2 see all of them on the image."""
    rng = np.random.default_rng(13)
    K, dist, R, t = opencv_rig(rng, n_cam=3)
    K[0] = [[100.0, 0.0, 320.0], [0.0, 100.0, 240.0], [0.0, 0.0, 1.0]]
    dist[0] = [-0.5, 0.0, 0.0, 0.0, 0.0]
    angle = rng.uniform(0, 2 * np.pi, 20)
    radius = np.r_[rng.uniform(0, 40, 10), rng.uniform(70, 200, 10)]
    uv0 = np.column_stack([320 + radius * np.cos(angle), 240 + radius * np.sin(angle)])
    X = tr.surface_points(20, seed=13)
    others = observe((K, dist, R, t), X, [1, 2])
    ids = np.arange(20, dtype=np.int64)
    obs = (
        np.concatenate([ids, others[0]]),
        np.concatenate([np.zeros(20, np.int32), others[1]]),
        np.concatenate([uv0, others[2]]),
    )
    return (K, dist, R, t), obs


def test_pixels_past_the_fold_are_unusable_observations_not_errors():
    rig, obs = folded_scene()
    pair = run("reconstruct_pair_surface_points", rig, obs, still_fields(3), "opencv", max_err=1e9)
    np.testing.assert_array_equal(pair["point_indices"], np.arange(10))
    assert np.isfinite(pair["points_ref_sfm"]).all()
    tracks = run("reconstruct_tracks", rig, obs, still_fields(3), "opencv", max_err=1e9)
    np.testing.assert_array_equal(tracks["num_views"], [3] * 10 + [2] * 10)
    assert tracks["valid"].all()
    # Without camera 0's observations, points 10-19 come out exactly as the
    # two other cameras place them.
    two = run("reconstruct_tracks", rig, tuple(a[20:] for a in obs), still_fields(3), "opencv")
    np.testing.assert_array_equal(tracks["points_ref_sfm"][10:], two["points_ref_sfm"][10:])


def test_a_displaced_pixel_past_the_fold_drops_the_view():
    rig, obs = folded_scene()
    u, v, cc, ok = still_fields(3)
    u[0] = 40.0  # camera 0 sees everything move 40 px to the right
    tracks = run("reconstruct_tracks", rig, obs, (u, v, cc, ok), "opencv", max_err=1e9)
    displaced = np.hypot(obs[2][:10, 0] + 40 - 320, obs[2][:10, 1] - 240)
    inside, outside = displaced < 50, displaced > 60  # the fold is at 54.4 px
    assert inside.any() and outside.any()
    np.testing.assert_array_equal(tracks["num_views"][:10][inside], 3)
    np.testing.assert_array_equal(tracks["num_views"][:10][outside], 2)
    np.testing.assert_array_equal(tracks["num_views"][10:], 2)
