"""Points per second of reconstruct_pair_surface_points and reconstruct_tracks
against a NumPy-vectorised version of the same mathematics, and with the
"opencv" lens model beside the default "radial2".

Run by hand:  PYTHONPATH=<build>/vostrel python bench/bench_reconstruction.py
"""

from __future__ import annotations

import argparse
import platform
import time

import numpy as np

import native_vostrel as nv

SPACING = 9
STEP = SPACING + 1.0
H, W = 97, 129  # nodes covering a 1280 x 960 image
MIN_CORR, MAX_ERR = 0.5, 1.0
PLANE = np.array([0.1, -0.05, -1.0])


# --------------------------------------------------------------------------
# Scene: cameras around a tilted plane moving by a small affine motion


def rotation(ax, ay):
    cx, sx, cy, sy = np.cos(ax), np.sin(ax), np.cos(ay), np.sin(ay)
    return np.array([[1, 0, 0], [0, cx, -sx], [0, sx, cx]]) @ np.array([[cy, 0, sy], [0, 1, 0], [-sy, 0, cy]])


def make_rig(n_cam):
    angles = [(0.0, -0.25), (0.0, 0.25), (0.2, 0.05), (-0.2, -0.05)][:n_cam]
    K = np.tile(np.array([[1600.0, 0, 640.0], [0, 1590.0, 480.0], [0, 0, 1]]), (n_cam, 1, 1))
    dist = np.tile([-0.08, 0.02], (n_cam, 1))
    R = np.stack([rotation(*a) for a in angles])
    t = np.tile([0.0, 0.0, 3.0], (n_cam, 1))
    return K, dist, R, t


def motion(X):
    return np.stack([0.004 + 0.01 * X[..., 1], -0.003 + 0.02 * X[..., 0], 0.002 + 0 * X[..., 0]], axis=-1)


def make_fields(rig):
    K, dist, R, t = rig
    rows, cols = np.mgrid[0:H, 0:W]
    px = np.stack([cols * STEP, rows * STEP], axis=-1)
    n_cam = K.shape[0]
    u, v = np.zeros((n_cam, H, W)), np.zeros((n_cam, H, W))
    for c in range(n_cam):
        n = undistort(K, dist, np.full(px.shape[:-1], c), px)
        ray = np.concatenate([n, np.ones((H, W, 1))], axis=-1) @ R[c]
        centre = -R[c].T @ t[c]
        X = centre + (-(PLANE @ centre) / (ray @ PLANE))[..., None] * ray
        q = project(K, dist, R, t, np.full(px.shape[:-1], c), X + motion(X))
        u[c], v[c] = q[..., 0] - px[..., 0], q[..., 1] - px[..., 1]
    cc = np.broadcast_to(0.9 + 0.05 * np.cos(0.3 * rows + 0.2 * cols), (n_cam, H, W)).copy()
    valid = np.ones((n_cam, H, W), bool)
    valid[:, 40:43, 60:63] = False  # an unsolved patch
    return u, v, cc, valid


# --------------------------------------------------------------------------
# NumPy reference of the kernels, vectorised over observations


def active(dist):
    n = dist.shape[1]
    k1 = dist[:, 0] if n >= 1 else np.zeros(len(dist))
    k2 = dist[:, 1] if n >= 2 else np.zeros(len(dist))
    on = (n >= 1) & ((np.abs(k1) > 1e-12) | ((n >= 2) & (np.abs(k2) > 1e-12)))
    return k1, k2, on


def undistort(K, dist, cams, px):
    xd = (px[..., 0] - K[cams, 0, 2]) / K[cams, 0, 0]
    yd = (px[..., 1] - K[cams, 1, 2]) / K[cams, 1, 1]
    k1, k2, on = active(dist)
    k1, k2, on = k1[cams], k2[cams], on[cams]
    x, y = xd.copy(), yd.copy()
    going = on.copy()
    for _ in range(8):
        r2 = x * x + y * y
        f = 1.0 + k1 * r2 + k2 * (r2 * r2)
        going &= np.abs(f) > 1e-12
        x = np.where(going, xd / np.where(going, f, 1.0), x)
        y = np.where(going, yd / np.where(going, f, 1.0), y)
    return np.stack([x, y], axis=-1)


def project(K, dist, R, t, cams, X):
    Xc = np.einsum("...ij,...j->...i", R[cams], X) + t[cams]
    x, y = Xc[..., 0] / Xc[..., 2], Xc[..., 1] / Xc[..., 2]
    k1, k2, on = active(dist)
    r2 = x * x + y * y
    f = np.where(on[cams], 1.0 + k1[cams] * r2 + k2[cams] * (r2 * r2), 1.0)
    return np.stack([K[cams, 0, 0] * (x * f) + K[cams, 0, 2], K[cams, 1, 1] * (y * f) + K[cams, 1, 2]], axis=-1)


def sample(fields, cams, px, min_corr):
    u, v, cc, ok = fields
    gx, gy = px[:, 0] / STEP, px[:, 1] / STEP
    finite = np.isfinite(gx) & np.isfinite(gy) & (np.abs(gx) < 2e9) & (np.abs(gy) < 2e9)
    gx, gy = np.where(finite, gx, -10.0), np.where(finite, gy, -10.0)
    c0, r0 = np.floor(gx).astype(np.int64), np.floor(gy).astype(np.int64)
    inside = (c0 >= 0) & (r0 >= 0) & (c0 + 1 < W) & (r0 + 1 < H)
    c0i, r0i = np.clip(c0, 0, W - 2), np.clip(r0, 0, H - 2)
    idx = [(r0i, c0i), (r0i, c0i + 1), (r0i + 1, c0i), (r0i + 1, c0i + 1)]
    oks = np.stack([ok[cams, r, c] for r, c in idx])
    ccs = np.stack([cc[cams, r, c] for r, c in idx])
    bil = inside & oks.all(axis=0) & ~(ccs.min(axis=0) < min_corr)
    fx, fy = gx - c0, gy - r0
    wts = np.stack([(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy])
    bu = (wts * np.stack([u[cams, r, c] for r, c in idx])).sum(axis=0)
    bv = (wts * np.stack([v[cams, r, c] for r, c in idx])).sum(axis=0)
    bc = (wts * ccs).sum(axis=0)
    col = (np.sign(gx) * np.floor(np.abs(gx) + 0.5)).astype(np.int64)
    row = (np.sign(gy) * np.floor(np.abs(gy) + 0.5)).astype(np.int64)
    near_in = (col >= 0) & (row >= 0) & (col < W) & (row < H)
    coli, rowi = np.clip(col, 0, W - 1), np.clip(row, 0, H - 1)
    near = near_in & ok[cams, rowi, coli] & ~(min_corr > cc[cams, rowi, coli])
    near &= ~bil
    valid = finite & (bil | near)
    su = np.where(bil, bu, np.where(near, u[cams, rowi, coli], 0.0))
    sv = np.where(bil, bv, np.where(near, v[cams, rowi, coli], 0.0))
    sc = np.where(bil, bc, np.where(near, cc[cams, rowi, coli], 0.0))
    return valid & finite, su, sv, sc


def normal_terms(obs, P):
    a = obs[:, 0, None] * P[:, 2] - P[:, 0]
    b = obs[:, 1, None] * P[:, 2] - P[:, 1]
    return a[:, :, None] * a[:, None, :] + b[:, :, None] * b[:, None, :]


def solve_normal(M):
    h = np.linalg.eigh(M)[1][:, :, 0]
    ok = np.abs(h[:, 3]) > 1e-12
    X = h[:, :3] / np.where(ok, h[:, 3], 1.0)[:, None]
    return X, ok & np.all(np.isfinite(X), axis=1)


def numpy_pair(rig, fields, pid, cid, uv, cam_a, cam_b, scale):
    K, dist, R, t = rig
    P = np.concatenate([R, t[:, :, None]], axis=2)
    order = np.lexsort((np.arange(len(pid)), pid))

    def last_in(cam):
        sel = order[cid[order] == cam]
        ids = pid[sel]
        last = np.r_[ids[1:] != ids[:-1], True]
        return ids[last], sel[last]

    ids_a, oa = last_in(cam_a)
    ids_b, ob = last_in(cam_b)
    ids, ia, ib = np.intersect1d(ids_a, ids_b, assume_unique=True, return_indices=True)
    oa, ob = oa[ia], ob[ib]
    uva, uvb = uv[oa], uv[ob]
    ca, cb = np.full(len(ids), cam_a), np.full(len(ids), cam_b)
    va, ua_, va_, cca = sample(fields, ca, uva, MIN_CORR)
    vb, ub_, vb_, ccb = sample(fields, cb, uvb, MIN_CORR)
    keep = va & vb
    ids, uva, uvb, ca, cb = ids[keep], uva[keep], uvb[keep], ca[keep], cb[keep]
    defa = uva + np.stack([ua_[keep], va_[keep]], axis=1)
    defb = uvb + np.stack([ub_[keep], vb_[keep]], axis=1)
    cca, ccb = cca[keep], ccb[keep]
    Pa, Pb = P[ca], P[cb]
    Mr = normal_terms(undistort(K, dist, ca, uva), Pa) + normal_terms(undistort(K, dist, cb, uvb), Pb)
    Md = normal_terms(undistort(K, dist, ca, defa), Pa) + normal_terms(undistort(K, dist, cb, defb), Pb)
    xr, okr = solve_normal(Mr)
    xd, okd = solve_normal(Md)
    good = okr & okd
    xr, xd = xr[good], xd[good]
    ca, cb, uva, uvb, defa, defb = ca[good], cb[good], uva[good], uvb[good], defa[good], defb[good]
    err_ref = 0.5 * (
        np.linalg.norm(project(K, dist, R, t, ca, xr) - uva, axis=1)
        + np.linalg.norm(project(K, dist, R, t, cb, xr) - uvb, axis=1)
    )
    err_def = 0.5 * (
        np.linalg.norm(project(K, dist, R, t, ca, xd) - defa, axis=1)
        + np.linalg.norm(project(K, dist, R, t, cb, xd) - defb, axis=1)
    )
    comb = np.minimum(cca[good], ccb[good])
    return {
        "point_indices": ids[good],
        "points_ref_sfm": xr,
        "points_def_sfm": xd,
        "displacement_world": (xd - xr) * scale,
        "reprojection_error_ref": err_ref,
        "reprojection_error_def": err_def,
        "valid_points": (comb >= MIN_CORR) & (err_ref <= MAX_ERR) & (err_def <= MAX_ERR),
    }


def numpy_tracks(rig, fields, pid, cid, uv, min_views, scale):
    K, dist, R, t = rig
    P = np.concatenate([R, t[:, :, None]], axis=2)
    order = np.lexsort((np.arange(len(pid)), pid))
    spid, scid, suv = pid[order], cid[order], uv[order]
    starts = np.flatnonzero(np.r_[True, spid[1:] != spid[:-1]])
    ok, su, sv, sc = sample(fields, scid, suv, MIN_CORR)
    q = suv + np.stack([su, sv], axis=1)
    w = ok.astype(float)[:, None, None]
    Pk = P[scid]
    Mr = np.add.reduceat(normal_terms(undistort(K, dist, scid, suv), Pk) * w, starts, axis=0)
    Md = np.add.reduceat(normal_terms(undistort(K, dist, scid, q), Pk) * w, starts, axis=0)
    n_used = np.add.reduceat(ok.astype(np.int64), starts)
    corr = np.add.reduceat(np.where(ok, sc, 0.0), starts)
    xr, okr = solve_normal(Mr)
    xd, okd = solve_normal(Md)
    tri = (n_used >= max(min_views, 2)) & okr & okd
    group = np.repeat(np.arange(len(starts)), np.diff(np.r_[starts, len(spid)]))
    dr = np.where(ok, np.linalg.norm(project(K, dist, R, t, scid, xr[group]) - suv, axis=1), 0.0)
    dd = np.where(ok, np.linalg.norm(project(K, dist, R, t, scid, xd[group]) - q, axis=1), 0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        err_ref = np.where(tri, np.add.reduceat(dr, starts) / n_used, np.inf)
        err_def = np.where(tri, np.add.reduceat(dd, starts) / n_used, np.inf)
        mean = np.where(n_used > 0, corr / np.maximum(n_used, 1), 0.0)
    valid = tri & (MAX_ERR >= err_ref) & (MAX_ERR >= err_def)
    zero = np.zeros_like(xr)
    xr, xd = np.where(valid[:, None], xr, zero), np.where(valid[:, None], xd, zero)
    return {
        "point_indices": spid[starts],
        "points_ref_sfm": xr,
        "points_def_sfm": xd,
        "displacement_world": (xd - xr) * scale,
        "num_views": n_used,
        "mean_corrcoef": mean,
        "reprojection_error_ref": err_ref,
        "reprojection_error_def": err_def,
        "valid": valid,
    }


# --------------------------------------------------------------------------


def observations(rig, n, cams, seed):
    K, dist, R, t = rig
    rng = np.random.default_rng(seed)
    xy = rng.uniform(-0.35, 0.35, (n, 2))
    X = np.column_stack([xy, 0.1 * xy[:, 0] - 0.05 * xy[:, 1]])
    ids = rng.permutation(np.arange(n, dtype=np.int64) * 7 - 3 * n)
    pid = np.concatenate([ids] * len(cams))
    cid = np.concatenate([np.full(n, c, np.int32) for c in cams])
    uv = np.concatenate([project(K, dist, R, t, np.full(n, c), X) for c in cams])
    uv += rng.normal(0.0, 0.05, uv.shape)
    perm = rng.permutation(len(pid))
    return pid[perm], cid[perm], uv[perm]


def opencv_lens(rig):
    """The rig's lens as OpenCV's five coefficients, with small tangential
    terms, a k3 and a skew: the same observations then cost the "opencv"
    model its full work (Newton's method on the whole distortion)."""
    K, dist, R, t = rig
    K = K.copy()
    K[:, 0, 1] = 0.2
    five = np.column_stack(
        [dist[:, 0], dist[:, 1], np.full(len(K), 5e-4), np.full(len(K), -3e-4), np.full(len(K), 1e-3)]
    )
    return K, five, R, t


def best_time(fn, repeat):
    best = np.inf
    result = None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best, result


def compare(native, reference, keys):
    worst = 0.0
    for key in keys:
        a, b = np.asarray(native[key], float), np.asarray(reference[key], float)
        assert a.shape == b.shape, (key, a.shape, b.shape)
        finite = np.isfinite(b)
        assert np.array_equal(np.isfinite(a), finite), key
        scale = np.maximum(np.abs(b[finite]), 1.0)
        worst = max(worst, float(np.max(np.abs(a[finite] - b[finite]) / scale, initial=0.0)))
    return worst


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    n = args.points
    print(f"machine: {platform.machine()}, {platform.processor() or 'cpu'}, numpy {np.__version__}")

    rig2 = make_rig(2)
    fields2 = make_fields(rig2)
    obs2 = observations(rig2, n, [0, 1], seed=1)
    t_nat, res_nat = best_time(
        lambda: nv.reconstruct_pair_surface_points(*rig2, *obs2, *fields2, H, W, SPACING, 0, 1, MIN_CORR, MAX_ERR, 1.5),
        args.repeat,
    )
    t_ref, res_ref = best_time(lambda: numpy_pair(rig2, fields2, *obs2, 0, 1, 1.5), args.repeat)
    np.testing.assert_array_equal(res_nat["point_indices"], res_ref["point_indices"])
    np.testing.assert_array_equal(res_nat["valid_points"], res_ref["valid_points"])
    diff = compare(
        res_nat,
        res_ref,
        ["points_ref_sfm", "points_def_sfm", "displacement_world", "reprojection_error_ref", "reprojection_error_def"],
    )
    rows = len(res_nat["point_indices"])
    print(
        f"pair   {n} points ({rows} rows): native {n / t_nat:12.0f} pts/s ({t_nat * 1e3:7.1f} ms), "
        f"numpy {n / t_ref:12.0f} pts/s ({t_ref * 1e3:7.1f} ms), speed-up {t_ref / t_nat:5.1f}x, "
        f"max rel diff {diff:.1e}"
    )
    cv2_rig = opencv_lens(rig2)
    t_cv, res_cv = best_time(
        lambda: nv.reconstruct_pair_surface_points(
            *cv2_rig, *obs2, *fields2, H, W, SPACING, 0, 1, MIN_CORR, MAX_ERR, 1.5, distortion_model="opencv"
        ),
        args.repeat,
    )
    print(
        f"pair   opencv model ({len(res_cv['point_indices'])} rows):   native {n / t_cv:12.0f} pts/s "
        f"({t_cv * 1e3:7.1f} ms), {t_cv / t_nat:4.2f}x the radial2 time"
    )

    rig4 = make_rig(4)
    fields4 = make_fields(rig4)
    obs4 = observations(rig4, n, [0, 1, 2, 3], seed=2)
    t_nat, res_nat = best_time(
        lambda: nv.reconstruct_tracks(*rig4, *obs4, *fields4, H, W, SPACING, 2, MIN_CORR, MAX_ERR, 1.5), args.repeat
    )
    t_ref, res_ref = best_time(lambda: numpy_tracks(rig4, fields4, *obs4, 2, 1.5), args.repeat)
    np.testing.assert_array_equal(res_nat["point_indices"], res_ref["point_indices"])
    np.testing.assert_array_equal(res_nat["valid"], res_ref["valid"])
    np.testing.assert_array_equal(res_nat["num_views"], res_ref["num_views"])
    diff = compare(
        res_nat,
        res_ref,
        [
            "points_ref_sfm",
            "points_def_sfm",
            "displacement_world",
            "mean_corrcoef",
            "reprojection_error_ref",
            "reprojection_error_def",
        ],
    )
    print(
        f"tracks {n} tracks x 4 views:      native {n / t_nat:12.0f} pts/s ({t_nat * 1e3:7.1f} ms), "
        f"numpy {n / t_ref:12.0f} pts/s ({t_ref * 1e3:7.1f} ms), speed-up {t_ref / t_nat:5.1f}x, "
        f"max rel diff {diff:.1e}"
    )
    cv4_rig = opencv_lens(rig4)
    t_cv, res_cv = best_time(
        lambda: nv.reconstruct_tracks(
            *cv4_rig, *obs4, *fields4, H, W, SPACING, 2, MIN_CORR, MAX_ERR, 1.5, distortion_model="opencv"
        ),
        args.repeat,
    )
    print(
        f"tracks opencv model ({int(res_cv['valid'].sum())} valid):  native {n / t_cv:12.0f} pts/s "
        f"({t_cv * 1e3:7.1f} ms), {t_cv / t_nat:4.2f}x the radial2 time"
    )


if __name__ == "__main__":
    main()
