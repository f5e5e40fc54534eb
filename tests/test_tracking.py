"""One camera's field from an image pair: plan, regions, seed checks, flags, and tracks through a series."""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest
from conftest import assert_close
from speckle_series import Motion, banded, render

from dicpipe.experiment import QualityOptions, ReferenceOptions
from dicpipe.quality import PointFlag, subset_precision
from dicpipe.tracking import (
    GridResult,
    accumulate,
    advance,
    correlate_frame,
    flag_field,
    moved_roi,
    plan_camera,
    plan_noise,
    plan_points,
    point_texture,
    start_track,
)

DIC = {"subset_radius": 12, "subset_spacing": 5}
STEP = 6
QUALITY = QualityOptions()


# --------------------------------------------------------------------------
# Plan
# --------------------------------------------------------------------------


def test_plan_leaves_untextured_nodes_out_and_seeds_each_region():
    img, band = banded()
    roi = np.zeros(img.shape, bool)
    roi[12:168, 12:228] = True
    roi[150:160, 200:210] = True
    plan = plan_camera(img, roi, DIC, QUALITY)
    rows, cols = plan.shape
    gy, gx = np.mgrid[0:rows, 0:cols] * STEP
    in_band = plan.points & (gy - 12 >= 70) & (gy + 12 < 130)  # the whole subset on the band
    clear = plan.points & ((gy + 12 < 70) | (gy - 12 >= 130))
    assert in_band.sum() > 50 and plan.low_texture[in_band].all() and not plan.low_texture[clear].any()
    # The engine's mask loses exactly the pixels of the low-texture nodes.
    assert not plan.mask[gy[plan.low_texture], gx[plan.low_texture]].any()
    assert (plan.roi & ~plan.mask).sum() == plan.low_texture.sum()
    # The band splits the points into two regions, each seeded on one of its own inner nodes.
    assert len(plan.seeds) == 2 and set(np.unique(plan.labels)) == {0, 1, 2}
    for i, (x, y) in enumerate(plan.seeds, start=1):
        assert plan.labels[y // STEP, x // STEP] == i and not plan.low_texture[y // STEP, x // STEP]
    assert (plan.labels == 1).sum() >= (plan.labels == 2).sum()  # largest first
    # A given seed is kept when it is a correlated point.
    seed = (gx[2, 5], gy[2, 5])
    assert plan_camera(img, roi, DIC, QUALITY, seed=seed).seeds[plan.labels[2, 5] - 1] == seed


def test_regions_too_small_are_not_measured_and_texture_check_can_be_off():
    img, _ = banded()
    roi = np.zeros(img.shape, bool)
    roi[12:168, 12:228] = True
    sizes = np.bincount(plan_camera(img, roi, DIC, QUALITY).labels.ravel())[1:]
    assert len(sizes) == 2 and sizes[0] > sizes[1]
    plan = plan_camera(img, roi, DIC, dataclasses.replace(QUALITY, min_region_nodes=int(sizes[1]) + 1))
    assert plan.small.sum() == sizes[1] and len(plan.seeds) == 1 and not plan.labels[plan.small].any()
    off = plan_camera(img, roi, DIC, dataclasses.replace(QUALITY, texture_check=False))
    assert not off.low_texture.any() and len(off.seeds) == 1 and (off.roi == off.mask).all()


@pytest.mark.parametrize("truncation", [False, True])
def test_texture_computed_in_runs_is_the_texture_of_the_whole_plan(truncation):
    # Workers compute a reference image's texture in runs of points; joined, the runs must be the
    # very bytes of one computation, whatever the run boundaries or the subsets processed at once.
    img, _ = banded()
    roi = np.zeros(img.shape, bool)
    roi[3:170, 8:231] = True
    roi[60:90, 100:140] = False  # a hole: truncated subsets differ from whole ones
    dic = dict(DIC, subset_truncation=truncation)
    noise = plan_noise(img, roi, QUALITY)
    whole = point_texture(img, roi, dic, noise)
    n = int(plan_points(roi, dic).sum())
    assert whole.shape == (n,) and n > 500 and np.isfinite(whole).any()
    cuts = [0, 1, 37, 38, 301, n - 5, n]
    runs = [point_texture(img, roi, dic, noise, a, b) for a, b in zip(cuts[:-1], cuts[1:])]
    assert np.concatenate(runs).tobytes() == whole.tobytes()
    # The subsets processed at once change the speed only.
    rows, cols = plan_points(roi, dic).shape
    gy, gx = np.mgrid[0:rows, 0:cols] * STEP
    x, y = gx[plan_points(roi, dic)], gy[plan_points(roi, dic)]
    mask = roi if truncation else None
    one = subset_precision(img, x, y, DIC["subset_radius"], noise, mask=mask, chunk=1)
    for chunk in (7, 4096):
        other = subset_precision(img, x, y, DIC["subset_radius"], noise, mask=mask, chunk=chunk)
        assert other.u_std.tobytes() == one.u_std.tobytes() and other.v_std.tobytes() == one.v_std.tobytes()
    assert one.std.tobytes() == whole.tobytes()
    # A plan given the texture is the plan that computes it; a texture of other points is refused.
    own = plan_camera(img, roi, dic, QUALITY)
    given = plan_camera(img, roi, dic, QUALITY, texture=(noise, np.concatenate(runs)))
    for f in dataclasses.fields(own):
        a, b = getattr(own, f.name), getattr(given, f.name)
        assert np.array_equal(a, b, equal_nan=True) if isinstance(a, np.ndarray) else a == b, f.name
    with pytest.raises(ValueError, match="texture of"):
        plan_camera(img, roi, dic, QUALITY, texture=(noise, whole[1:]))


def test_the_noise_of_a_plan_is_the_given_one_or_estimated():
    img, _ = banded()
    roi = np.ones(img.shape, bool)
    assert plan_noise(img, roi, dataclasses.replace(QUALITY, noise=2.5)) == 2.5
    rng = np.random.default_rng(3)
    noisy = img + rng.normal(0.0, 4.0, img.shape)
    assert plan_noise(noisy, roi, QUALITY) > plan_noise(img, roi, QUALITY) + 2.0


# --------------------------------------------------------------------------
# One frame: regions, seeds, flags (with the engine)
# --------------------------------------------------------------------------


def two_blobs(w=260, h=160):
    roi = np.zeros((h, w), bool)
    roi[20:140, 20:110] = True
    roi[20:140, 150:240] = True
    return roi


def test_every_region_of_the_roi_is_measured(dic2d_cli):
    w, h = 260, 160
    c = np.array([(w - 1) / 2, (h - 1) / 2])
    motion = Motion(np.diag([1.004, 1.0]), np.array([1.7, -0.8]), c)
    ref, dfm = render(w, h, None), render(w, h, motion)
    plan = plan_camera(ref, two_blobs(), DIC, QUALITY)
    res = correlate_frame(ref, dfm, plan, DIC, QUALITY, cli=dic2d_cli)
    assert len(res.regions) == 2 and all(r.error is None and r.corrcoef >= 0.9 for r in res.regions)
    good = res.flags == PointFlag.GOOD
    for i in (1, 2):
        assert good[plan.labels == i].mean() > 0.98
    X = np.stack([res.field.ref_x[good], res.field.ref_y[good]], axis=1)
    truth = motion.displacement(X)
    assert np.abs(res.field.u[good] - truth[:, 0]).max() < 0.05
    assert (res.flags[~plan.points] == PointFlag.NOT_MEASURED).all()


def test_a_weak_seed_is_searched_again_until_found(dic2d_cli):
    w, h = 300, 160
    c = np.array([(w - 1) / 2, (h - 1) / 2])
    motion = Motion(np.eye(2), np.array([60.0, 3.0]), c)
    ref, dfm = render(w, h, None), render(w, h, motion)
    roi = np.zeros((h, w), bool)
    roi[24:136, 20:200] = True
    plan = plan_camera(ref, roi, DIC, QUALITY)
    # A 20 px window cannot reach 60 px, nor can the larger one after it (50 px): the whole image can.
    res = correlate_frame(ref, dfm, plan, {**DIC, "seed_search_radius": 20}, QUALITY, cli=dic2d_cli)
    assert res.error is None and res.regions[0].window == 0 and res.regions[0].corrcoef >= 0.9
    good = res.flags == PointFlag.GOOD
    assert good[plan.points].mean() > 0.95
    assert np.abs(res.field.u[good] - 60.0).max() < 0.05
    # A guess puts the first window on the motion.
    res = correlate_frame(ref, dfm, plan, {**DIC, "seed_search_radius": 20}, QUALITY, cli=dic2d_cli, guess=(58, 2))
    assert res.regions[0].window == 10


def test_an_unrelated_image_fails_the_frame_with_the_seed_message(dic2d_cli):
    ref = render(200, 160, None, seed=1)
    other = render(200, 160, None, seed=99)
    roi = np.zeros((160, 200), bool)
    roi[24:136, 24:176] = True
    plan = plan_camera(ref, roi, DIC, QUALITY)
    res = correlate_frame(ref, other, plan, DIC, QUALITY, cli=dic2d_cli)
    assert res.field is None and "seed not found" in res.error and "below seed_min_corrcoef 0.9" in res.error
    assert (res.flags[plan.points] == PointFlag.NOT_MEASURED).all()


def test_flags_follow_the_order_of_the_checks_and_catch_injected_outliers(dic2d_cli):
    w, h = 240, 180
    motion = Motion(np.eye(2), np.array([1.3, 0.6]), np.array([(w - 1) / 2, (h - 1) / 2]))
    img, _ = banded(noise=0.5)
    dfm, _ = banded(noise=0.5, motion=motion, noise_seed=9)  # the specimen moved, band and all
    roi = np.zeros((h, w), bool)
    roi[12:168, 12:228] = True
    plan = plan_camera(img, roi, DIC, QUALITY)
    res = correlate_frame(img, dfm, plan, DIC, QUALITY, cli=dic2d_cli)
    good = res.flags == PointFlag.GOOD
    assert (res.flags[plan.low_texture] == PointFlag.LOW_TEXTURE).all()
    assert np.abs(res.field.u[good] - motion.d[0]).max() < 0.1 and np.abs(res.field.v[good] - motion.d[1]).max() < 0.1
    # 5 % of the good nodes moved by 5 px in a random direction: the median test flags every one.
    rng = np.random.default_rng(5)
    hit = good & (rng.uniform(size=good.shape) < 0.05)
    angle = rng.uniform(0, 2 * np.pi, good.shape)
    bad = dataclasses.replace(
        res.field, u=res.field.u + 5 * np.cos(angle) * hit, v=res.field.v + 5 * np.sin(angle) * hit
    )
    flagged = flag_field(bad, plan, QUALITY, np.zeros(plan.shape, bool))
    assert hit.sum() > 20 and (flagged.flags[hit] == PointFlag.OUTLIER).all()
    assert (flagged.flags[good & ~hit] != PointFlag.GOOD).mean() < 0.01
    low = dataclasses.replace(res.field, corrcoef=np.where(hit, 0.5, res.field.corrcoef))
    assert (flag_field(low, plan, QUALITY, np.zeros(plan.shape, bool)).flags[hit] == PointFlag.LOW_CORRELATION).all()


# --------------------------------------------------------------------------
# Tracks (no engine: increments built by hand)
# --------------------------------------------------------------------------


def full_plan(shape=(30, 40), step=STEP):
    """A plan whose every node is a point of one region (texture check off, no image needed)."""
    img = np.random.default_rng(0).normal(100, 20, (shape[0] * step, shape[1] * step))
    roi = np.ones(img.shape, bool)
    return plan_camera(
        img, roi, {"subset_radius": 1, "subset_spacing": step - 1}, dataclasses.replace(QUALITY, texture_check=False)
    )


def affine_increment(plan, G, t, flags=None) -> GridResult:
    """A correlation result whose field is the affine increment d(x) = G x + t on the plan's grid."""
    rows, cols = plan.shape
    gy, gx = np.mgrid[0:rows, 0:cols] * float(plan.step)
    from dicpipe.tracking import _empty_field

    f = _empty_field(plan.shape, plan.step)
    f.u[:] = G[0, 0] * gx + G[0, 1] * gy + t[0]
    f.v[:] = G[1, 0] * gx + G[1, 1] * gy + t[1]
    f.du_dx[:], f.du_dy[:], f.dv_dx[:], f.dv_dy[:] = G[0, 0], G[0, 1], G[1, 0], G[1, 1]
    f.corrcoef[:] = 0.99
    f.valid[:] = 1
    fl = np.zeros(plan.shape, np.uint8) if flags is None else flags
    return GridResult(f, fl, plan.points)


def test_increments_compose_exactly_for_affine_motions():
    plan = full_plan()
    rows, cols = plan.shape
    gy, gx = np.mgrid[0:rows, 0:cols] * float(plan.step)
    G1, t1 = np.array([[0.02, -0.05], [0.04, 0.01]]), np.array([3.2, -1.1])
    G2, t2 = np.array([[-0.01, 0.03], [0.02, 0.015]]), np.array([-0.7, 2.4])
    track0 = start_track(plan)
    quality = dataclasses.replace(QUALITY, median_test=False)
    t_1 = accumulate(track0, affine_increment(plan, G1, t1), 1, 0, plan.step, quality)
    t_2 = accumulate(t_1, affine_increment(plan, G2, t2), 2, 1, plan.step, quality)
    # x2 = (I + G2) x1 + t2 with x1 = (I + G1) X + t1.
    X = np.stack([gx, gy], axis=-1)
    x1 = X @ (np.eye(2) + G1).T + t1
    x2 = x1 @ (np.eye(2) + G2).T + t2
    ok = t_2.good
    assert ok.mean() > 0.7  # points that moved off the increment's grid are lost, the rest kept
    assert_close(np.stack([t_2.u, t_2.v], -1)[ok], (x2 - X)[ok], rel=1e-10, abs_=1e-10)
    F = (np.eye(2) + G2) @ (np.eye(2) + G1)
    assert_close(t_2.F[ok], np.broadcast_to(F, t_2.F[ok].shape), rel=1e-12, abs_=1e-12)
    lost = ~ok & plan.points
    assert (t_2.flags[lost] == PointFlag.NOT_SOLVED).all() and np.isnan(t_2.u[lost]).all()


def test_points_next_to_flagged_nodes_use_the_nearest_good_node_and_keep_its_reason_otherwise():
    plan = full_plan()
    G, t = np.array([[0.01, 0.02], [-0.03, 0.005]]), np.array([1.4, 0.9])
    flags = np.zeros(plan.shape, np.uint8)
    flags[10:13, 10:13] = PointFlag.OUTLIER  # a hole in the increment
    flags[20:30, 30:40] = PointFlag.LOW_TEXTURE  # a wider one
    track0 = start_track(plan)
    quality = dataclasses.replace(QUALITY, median_test=False)
    t1 = accumulate(track0, affine_increment(plan, G, t, flags), 1, 0, plan.step, quality)
    # Around and in the small hole the first-order expansion of a good neighbour within 1.5 steps is
    # exact for an affine field; the hole's centre is two steps from any good node and is lost.
    near = np.zeros(plan.shape, bool)
    near[9:14, 9:14] = True
    near[11, 11] = False
    assert t1.good[near].all() and t1.flags[11, 11] == PointFlag.OUTLIER
    rows, cols = plan.shape
    gy, gx = np.mgrid[0:rows, 0:cols] * float(plan.step)
    assert_close(t1.u[near], (G[0, 0] * gx + G[0, 1] * gy + t[0])[near], rel=1e-10, abs_=1e-10)
    # Deep inside the wide hole nothing good is within reach: the point keeps the hole's reason.
    assert t1.flags[25, 35] == PointFlag.LOW_TEXTURE


def test_moved_roi_follows_the_tracked_points():
    plan = full_plan((20, 25))
    roi0 = np.zeros(plan.roi.shape, bool)
    roi0[30:90, 24:120] = True
    track = start_track(plan)
    track = dataclasses.replace(track, u=np.full(plan.shape, 10.0), v=np.full(plan.shape, -6.0))
    moved = moved_roi(roi0, track, plan.step)
    expected = np.zeros_like(roi0)
    expected[24:84, 34:130] = True
    assert (moved == expected).all()


def test_auto_keeps_the_reference_while_the_frames_stay_good(dic2d_cli):
    w, h = 220, 170
    c = np.array([(w - 1) / 2, (h - 1) / 2])
    motions = [None] + [Motion(np.eye(2), np.array([0.7 * f, 0.3 * f]), c) for f in (1, 2)]
    images = {f: render(w, h, m) for f, m in enumerate(motions)}
    roi = np.zeros((h, w), bool)
    roi[24:146, 24:196] = True
    plan = plan_camera(images[0], roi, DIC, QUALITY)
    t0 = start_track(plan)
    auto = ReferenceOptions(strategy="auto")
    _, t1 = advance(images, 1, t0, t0, plan, DIC, QUALITY, auto, cli=dic2d_cli)
    res2, t2 = advance(images, 2, t0, t1, plan, DIC, QUALITY, auto, cli=dic2d_cli)
    assert t1.reference == 0 and t2.reference == 0  # nothing degraded: frame 0 stays the reference
    inc = ReferenceOptions(strategy="incremental")
    _, t2i = advance(images, 2, t0, t1, plan, DIC, QUALITY, inc, cli=dic2d_cli)
    assert t2i.reference == 1
    both = t2.good & t2i.good
    assert both.sum() > 0.95 * plan.points.sum()
    # Two increments add two correlation errors (about 0.02 px each at most on these images).
    assert np.abs(t2.u[both] - 1.4).max() < 0.03 and np.abs(t2i.u[both] - 1.4).max() < 0.05
    assert res2.field is not None


@pytest.mark.parametrize("strategy", ["incremental", "auto"])
def test_a_failed_frame_leaves_the_tracks_for_the_next(dic2d_cli, tmp_path, strategy):
    from speckle_series import save

    from dicpipe.images import probe_image
    from dicpipe.measure import CameraJob, track_camera

    w, h = 200, 160
    c = np.array([(w - 1) / 2, (h - 1) / 2])
    pictures = [
        render(w, h, None),
        render(w, h, None, seed=77),
        render(w, h, Motion(np.eye(2), np.array([1.1, 0.4]), c)),
    ]
    infos = []
    for f, img in enumerate(pictures):
        save(tmp_path / f"f{f}.tif", img)
        infos.append(probe_image(tmp_path / f"f{f}.tif"))
    roi = np.zeros((h, w), bool)
    roi[24:136, 24:176] = True
    plan = plan_camera(pictures[0], roi, DIC, QUALITY)
    t0 = start_track(plan)
    options = ReferenceOptions(strategy=strategy)

    def job(f, tr, tp):
        used = sorted({0, tr.frame, tp.frame, f})
        return CameraJob(
            0,
            f,
            infos[0],
            infos[f],
            plan.seeds[0],
            DIC,
            dic2d_cli,
            QUALITY,
            options,
            tuple((g, infos[g]) for g in used),
        )

    out1, ref1, prev1 = track_camera(job(1, t0, t0), plan, t0, t0)
    assert out1.field is None and "seed not found" in out1.error
    assert ref1 is t0 and prev1 is t0  # frame 2 goes on from frame 0
    out2, ref2, prev2 = track_camera(job(2, ref1, prev1), plan, ref1, prev1)
    assert out2.error is None and prev2.frame == 2
    assert prev2.good[plan.points].mean() > 0.95 and np.abs(prev2.u[prev2.good] - 1.1).max() < 0.03
    assert (out2.flags == prev2.flags).all() and (out2.field.valid.astype(bool) == prev2.good).all()


def test_auto_moves_its_reference_only_when_that_measures_better(dic2d_cli):
    w, h = 220, 170
    c = np.array([(w - 1) / 2, (h - 1) / 2])
    shifted = render(w, h, Motion(np.eye(2), np.array([1.6, -0.7]), c))
    images = {0: render(w, h, None), 1: shifted, 2: render(w, h, None)}  # frame 2 is frame 0 again
    roi = np.zeros((h, w), bool)
    roi[24:146, 24:196] = True
    plan = plan_camera(images[0], roi, DIC, QUALITY)
    t0 = start_track(plan)
    _, t1 = advance(images, 1, t0, t0, plan, DIC, QUALITY, ReferenceOptions(strategy="auto"), cli=dic2d_cli)
    # Thresholds no frame can meet: frame 2 against frame 0 (identical images) still measures better
    # than against frame 1, so the reference stays.
    strict = ReferenceOptions(strategy="auto", min_valid_fraction=1.0, min_mean_corrcoef=1.5)
    _, t2 = advance(images, 2, t0, t1, plan, DIC, QUALITY, strict, cli=dic2d_cli)
    assert t2.reference == 0 and np.abs(t2.u[t2.good]).max() < 1e-6
