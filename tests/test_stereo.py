"""Stereo matching on rendered stereo pairs with a known answer, its failure modes, cameras of other scales
and orientations, and a real pair."""

from __future__ import annotations

import functools
from types import SimpleNamespace

import cv2
import numpy as np
import pytest
from conftest import assert_close, bench_script
from scipy import ndimage
from scipy.spatial import cKDTree

from dicpipe import stereo
from dicpipe.camera import Calibration, Camera
from dicpipe.command import main
from dicpipe.grid import choose_seed
from dicpipe.stereo import StereoError, find_disparity, match_stereo
from dicpipe.synthetic import render, write_example
from dicpipe.synthetic.check import check_results

DIC = {"subset_radius": 20, "subset_spacing": 5}
RADIUS, STEP = 20, 6


@pytest.fixture(scope="module")
def scene(dic2d_cli):
    """A flat speckled plate seen by two cameras; ROIs of camera 0 with and without an edge margin."""
    m = render.render_measurement(roi_margin=0.0)
    h, w = m.reference[0].shape
    ys, xs = np.mgrid[0:h, 0:w].astype(float)
    X0 = m.material_point(0, xs, ys)
    inner = m.surface.inside(X0[..., 0], X0[..., 1], margin=24 * 64.0 / w)
    return SimpleNamespace(m=m, roi0=inner, plate0=m.masks[0], pixels=(xs, ys))


def calibration(cameras, offset=(0.0, 0.0), size=None):
    """The rendering cameras as a calibration; camera 1's image origin moved by -offset, its size replaced."""
    out = []
    for i, c in enumerate(cameras):
        K, (w, h) = c.K.copy(), (c.width, c.height)
        if i == 1:
            K[:2, 2] += offset
            w, h = size or (w, h)
        out.append(Camera(K=K, dist=c.dist, R=c.R, t=c.t, width=w, height=h))
    return Calibration(tuple(out))


def truth(m, shape, offset=(0.0, 0.0)):
    """Projection in camera 1 of the material point at every node of camera 0's grid (NaN off the plate)."""
    gy, gx = np.mgrid[0 : shape[0], 0 : shape[1]] * STEP
    X = m.material_point(0, gx.astype(float), gy.astype(float))
    return m.cameras[1].project(X) + np.asarray(offset)


def errors(match, m, offset=(0.0, 0.0)):
    return np.linalg.norm(match.uv - truth(m, match.valid.shape, offset), axis=-1)


def texture_noise(shape, seed):
    """Speckle-like filler that is not the specimen: smoothed noise at the specimen's gray levels."""
    n = ndimage.gaussian_filter(np.random.default_rng(seed).normal(size=shape), 1.5)
    return 110.0 + 60.0 * n / n.std()


def check_roi_and_seed(match, shape_k):
    """Camera k's ROI holds the four grid nodes around each match and little else; its seed is a usable node."""
    roi = match.roi
    assert roi.shape == shape_k and roi.dtype == bool
    uv = match.uv[match.valid]
    for corner in ((0, 0), (1, 0), (0, 1), (1, 1)):
        node = (np.floor(uv / STEP) + corner) * STEP
        inside = (node[:, 0] < shape_k[1]) & (node[:, 1] < shape_k[0])
        assert roi[node[inside, 1].astype(int), node[inside, 0].astype(int)].all()
    far, _ = cKDTree(uv).query(np.argwhere(roi)[:, ::-1])
    assert far.max() <= 2.5 * STEP + 1
    x, y = match.seed_k
    assert x % STEP == 0 and y % STEP == 0 and roi[y, x]
    assert RADIUS <= x < shape_k[1] - RADIUS and RADIUS <= y < shape_k[0] - RADIUS
    r, c = match.seed[1] // STEP, match.seed[0] // STEP
    assert np.hypot(*(match.uv[r, c] - (x, y))) <= STEP


def test_matches_follow_the_projected_truth(scene):
    m = scene.m
    match = match_stereo(m.reference[0], m.reference[1], scene.roi0, calibration(m.cameras), 1, dic=DIC)
    assert match.camera == 1 and match.step == STEP
    assert match.seed == choose_seed(scene.roi0, STEP, RADIUS)
    nodes = scene.roi0[::STEP, ::STEP]
    assert match.valid.shape == nodes.shape
    # Every node of camera 0's grid inside the ROI is matched, within a small fraction of a pixel.
    assert np.array_equal(match.valid, nodes)
    err = errors(match, m)[match.valid]
    assert np.sqrt(np.mean(err**2)) < 0.03 and err.max() < 0.06
    assert np.all(np.isnan(match.uv[~match.solved])) and np.all(match.corrcoef[~match.solved] == 0)
    assert match.corrcoef[match.valid].min() >= 0.9
    sx, sy = match.seed
    seed_truth = truth(m, match.valid.shape)[sy // STEP, sx // STEP] - (sx, sy)
    assert np.hypot(*(np.array(match.disparity) - seed_truth)) < 0.5
    assert np.array_equal(np.isfinite(match.epipolar_px), match.solved)
    assert match.epipolar_rms < 0.02 and match.epipolar_px[match.valid].max() < 0.05
    check_roi_and_seed(match, m.reference[1].shape)


def test_large_disparity_and_a_larger_camera_k(scene):
    """Camera k's image framed 300 px further right and 120 px further down than camera 0's."""
    m = scene.m
    h, w = m.reference[1].shape
    image_k = texture_noise((h + 120, w + 300), seed=3)
    image_k[120:, 300:] = m.reference[1]
    moved = calibration(m.cameras, offset=(300, 120), size=(w + 300, h + 120))
    match = match_stereo(m.reference[0], image_k, scene.roi0, moved, 1, dic=DIC)
    assert match.epipolar_rms < 0.02
    assert abs(match.disparity[0] - 303) < 1 and abs(match.disparity[1] - 118) < 1
    assert np.array_equal(match.valid, scene.roi0[::STEP, ::STEP])
    err = errors(match, m, offset=(300, 120))[match.valid]
    assert np.sqrt(np.mean(err**2)) < 0.03 and err.max() < 0.06
    check_roi_and_seed(match, image_k.shape)


def test_smaller_camera_k_loses_only_the_nodes_it_does_not_see(scene):
    """Camera k's image cropped by 60 px on the left and 40 px at the top: nodes matched there are lost."""
    m = scene.m
    image_k = m.reference[1][40:, 60:]
    hk, wk = image_k.shape
    match = match_stereo(m.reference[0], image_k, scene.plate0, None, 1, dic=DIC)
    true_uv = truth(m, match.valid.shape, offset=(-60, -40))
    err = np.linalg.norm(match.uv - true_uv, axis=-1)[match.valid]
    assert err.max() < 0.15
    # A valid match's subset lies in camera k's image; well inside it, every plate node is matched.
    uv = match.uv[match.valid]
    assert uv.min() >= RADIUS and uv[:, 0].max() < wk - RADIUS and uv[:, 1].max() < hk - RADIUS
    tx, ty = true_uv[..., 0], true_uv[..., 1]
    with np.errstate(invalid="ignore"):
        deep = (tx > RADIUS + 4) & (ty > RADIUS + 4) & (tx < wk - RADIUS - 4) & (ty < hk - RADIUS - 4)
    deep &= scene.roi0[::STEP, ::STEP]
    assert deep.sum() > 1000 and match.valid[deep].all()
    assert not match.valid[~np.isfinite(tx) | (tx < RADIUS) | (ty < RADIUS)].any()
    # Without a calibration there is no epipolar gate.
    assert np.isnan(match.epipolar_rms) and np.all(np.isnan(match.epipolar_px))
    check_roi_and_seed(match, image_k.shape)


@pytest.fixture(scope="module")
def edged(scene):
    """The pair with a textured background 3 mm behind the plate; camera 0's ROI reaches the plate's edge."""
    m = scene.m
    images = []
    for c, cam in enumerate(m.cameras[:2]):
        o, d = render.rays(cam, np.stack(scene.pixels, axis=-1))
        s = (-3.0 - o[2]) / d[..., 2]
        X = o + s[..., None] * d
        wall = render.Speckle(pitch=m.texture.pitch, sigma=m.texture.sigma, extent=60.0, seed=11)
        hit = np.isfinite(m.material_point(c, *scene.pixels)[..., 0])
        images.append(np.where(hit, m.reference[c], wall(X[..., 0], X[..., 1])))
    return images


def test_subsets_straddling_the_plate_edge_fail_the_correlation_gate(scene, edged):
    m = scene.m
    cal = calibration(m.cameras)
    loose = match_stereo(*edged, scene.plate0, cal, 1, dic=DIC, min_corrcoef=-1.0)
    err = errors(loose, m)
    wrong = loose.solved & (err > 0.3)
    assert wrong.sum() >= 5
    # They slide along the epipolar line, so only their correlation gives them away.
    assert loose.epipolar_px[wrong].max() < 1.0 and loose.corrcoef[wrong].max() < 0.9
    gated = match_stereo(*edged, scene.plate0, cal, 1, dic=DIC)
    assert not gated.valid[wrong].any()
    assert np.array_equal(gated.valid, loose.solved & (loose.corrcoef >= 0.9))
    assert errors(gated, m)[gated.valid].max() < 0.2


def test_an_untextured_patch_is_not_matched(scene):
    m = scene.m
    rng = np.random.default_rng(5)
    images = []
    for c in range(2):
        X = m.material_point(c, *scene.pixels)
        with np.errstate(invalid="ignore"):
            flat = np.hypot(X[..., 0] - 6.0, X[..., 1] - 4.0) < 5.0
        images.append(np.where(flat, 120.0 + rng.normal(0.0, 0.5, flat.shape), m.reference[c]))
    match = match_stereo(*images, scene.roi0, None, 1, dic=DIC)
    # Nodes whose whole subset is flat find nothing to match (the disc is 75 px across in camera 0; a
    # subset spans 1.15 times its radius in millimetres on the plate seen at an angle).
    gy, gx = np.mgrid[0 : match.valid.shape[0], 0 : match.valid.shape[1]] * STEP
    X = m.material_point(0, gx.astype(float), gy.astype(float))
    blank = np.hypot(X[..., 0] - 6.0, X[..., 1] - 4.0) < 5.0 - 1.15 * RADIUS * 64.0 / 480
    assert blank.sum() >= 3 and not match.valid[blank].any()
    # Subsets textured only at their rim match the rim with a high correlation but misplace their centre:
    # the texture gate removes them; without it matches a few pixels off pass.
    err = errors(match, m)
    assert err[match.valid].max() < 0.15
    loose = match_stereo(*images, scene.roi0, None, 1, dic=DIC, max_uncertainty_ratio=None)
    assert errors(loose, m)[loose.valid].max() > 1.0
    assert np.array_equal(match.valid, loose.valid & (loose.uncertainty_ratio <= 3.0))
    assert match.valid.sum() > 0.9 * scene.roi0[::STEP, ::STEP].sum()


def test_matches_off_the_epipolar_line_fail_the_epipolar_gate(scene):
    """A block of camera 1's image moved 3 px down: it still correlates, but off the epipolar lines."""
    m = scene.m
    image_k = m.reference[1].copy()
    image_k[150:230, 200:300] = m.reference[1][147:227, 200:300]
    cal = calibration(m.cameras)
    match = match_stereo(m.reference[0], image_k, scene.roi0, cal, 1, dic=DIC)
    off = match.solved & (match.corrcoef >= 0.9) & (match.epipolar_px > 1.0)
    assert off.sum() >= 50 and not match.valid[off].any()
    assert np.array_equal(match.valid, match.solved & (match.corrcoef >= 0.9) & (match.epipolar_px <= 1.0))
    # Subsets reaching partly into the block keep a share of its offset.
    err = errors(match, m)[match.valid]
    assert np.median(err) < 0.03 and err.max() < 0.5
    wide = match_stereo(m.reference[0], image_k, scene.roi0, cal, 1, dic=DIC, max_epipolar_px=5.0)
    assert wide.valid[off].all()
    with pytest.raises(StereoError, match="within max_epipolar_px = 0.0 px"):
        match_stereo(m.reference[0], image_k, scene.roi0, cal, 1, dic=DIC, max_epipolar_px=0.0)


def test_a_calibration_that_does_not_fit_the_images_stops_the_match(scene):
    m = scene.m
    c0, c1 = m.cameras[:2]

    def turned(axis, degrees):
        q = render.rotation(np.array(axis, dtype=float), degrees)
        return render.Camera(K=c1.K, dist=c1.dist, R=q @ c1.R, t=q @ c1.t, width=c1.width, height=c1.height)

    for cameras in ([c1, c0], [c0, turned([1, 0, 0], 0.5)], [c0, turned([0, 0, 1], 3.0)]):
        with pytest.raises(StereoError, match=r"calibration does not fit the images: .* \d+\.\d\d px \(median"):
            match_stereo(m.reference[0], m.reference[1], scene.roi0, calibration(cameras), 1, dic=DIC)
    # Camera k is the calibration's camera k: the pair fits as cameras 0 and 2 of three.
    three = calibration([c0, turned([1, 0, 0], 0.5), c1])
    assert match_stereo(m.reference[0], m.reference[1], scene.roi0, three, 2, dic=DIC).epipolar_rms < 0.02
    small = calibration(m.cameras, size=(c1.width - 1, c1.height))
    with pytest.raises(StereoError, match="camera 1 has images of 479 x 384 px"):
        match_stereo(m.reference[0], m.reference[1], scene.roi0, small, 1, dic=DIC)
    with pytest.raises(ValueError, match="camera 2 is not in the calibration"):
        match_stereo(m.reference[0], m.reference[1], scene.roi0, calibration(m.cameras), 2, dic=DIC)


def test_disparity_of_a_shifted_image_is_its_shift(scene):
    image = scene.m.reference[0]
    shifted = np.roll(image, (-23, 37), axis=(0, 1))
    d = find_disparity(image, shifted, scene.roi0, (234, 192))
    assert d.integer == (37, -23) and abs(d.du - 37) < 0.1 and abs(d.dv + 23) < 0.1
    assert d.peak > 0.99 and d.runner_up < 0.5


def test_failures_say_why(scene):
    m = scene.m
    ref0, ref1, roi = m.reference[0], m.reference[1], scene.roi0
    with pytest.raises(StereoError, match="not found in camera 1"):
        match_stereo(ref0, texture_noise(ref1.shape, seed=9), roi, None, 1, dic=DIC)
    tile = texture_noise((48, 48), seed=4)
    with pytest.raises(StereoError, match="more than one place"):
        match_stereo(np.tile(tile, (8, 10)), np.tile(np.roll(tile, 5, axis=1), (8, 10)), roi, None, 1, dic=DIC)
    with pytest.raises(StereoError, match="seed .* below min_corrcoef"):
        match_stereo(ref0, ref1, roi, None, 1, dic=DIC, min_corrcoef=0.9999)
    with pytest.raises(StereoError, match="cutoff_iteration must be at least 5"):
        match_stereo(ref0, ref1, roi, None, 1, dic={**DIC, "cutoff_iteration": 3})
    bad_args = [
        ({"seed0": (235, 192)}, "not a node"),
        ({"seed0": (24, 24)}, "not inside"),
        ({"k": 0}, "camera index"),
        ({"roi0": roi[:-1]}, "ROI has shape"),
        ({"reference_k": np.where(roi, np.nan, ref1)}, "non-finite"),
        ({"dic": {"subset_spacing": -1}}, "subset_spacing"),
    ]
    for change, message in bad_args:
        args = {"reference0": ref0, "reference_k": ref1, "roi0": roi, "calibration": None, "k": 1, "dic": DIC}
        with pytest.raises(ValueError, match=message):
            match_stereo(**(args | change))


# --------------------------------------------------------------------------
# Cameras that see the specimen at other pixel scales or turned about their axes
# --------------------------------------------------------------------------

SMALL = (320, 256)  # camera 0's images in these tests


def local_map(cameras, m, pixel, h=3.0):
    """Camera 1's pixel offsets per camera 0 pixel around `pixel`, from the rendering's truth."""
    p = np.asarray(pixel, dtype=float) + np.array([[h, 0.0], [-h, 0.0], [0.0, h], [0.0, -h]])
    q = cameras[1].project(m.material_point(0, p[:, 0], p[:, 1]))
    return np.stack([q[0] - q[1], q[2] - q[3]], axis=1) / (2 * h)


def view(camera, m, seed, samples=3, noise=0.5):
    """The reference plate seen by `camera`, area-averaged over samples x samples rays per pixel, with noise."""
    ys, xs = np.mgrid[0 : camera.height, 0 : camera.width].astype(float)
    out = np.zeros(xs.shape)
    for oy in (np.arange(samples) + 0.5) / samples - 0.5:
        for ox in (np.arange(samples) + 0.5) / samples - 0.5:
            o, d = render.rays(camera, np.stack([xs + ox, ys + oy], axis=-1))
            X = o + m.surface.intersect(o, d)[..., None] * d
            hit = m.surface.inside(X[..., 0], X[..., 1])
            value = np.full(xs.shape, render.BACKGROUND)
            value[hit] = m.texture(X[hit][:, 0], X[hit][:, 1])
            out += value
    return out / samples**2 + np.random.default_rng(seed).normal(0.0, noise, xs.shape)


def turned(camera, degrees, size=None):
    """`camera` turned about its optical axis (and with images of `size`, its focal length kept)."""
    q = render.rotation(np.array([0.0, 0.0, 1.0]), degrees)
    w, h = size or (camera.width, camera.height)
    return Camera(K=camera.K, dist=camera.dist, R=q @ camera.R, t=q @ camera.t, width=w, height=h)


def expected_nodes(match, m, cameras, shape_k, margin):
    """Camera 0's ROI nodes whose true match lies at least `margin` px inside camera 1's image."""
    tx, ty = np.moveaxis(truth_nodes(m, cameras, match.valid.shape), -1, 0)
    with np.errstate(invalid="ignore"):
        inside = (tx > margin) & (ty > margin) & (tx < shape_k[1] - margin) & (ty < shape_k[0] - margin)
    return inside


def truth_nodes(m, cameras, shape):
    gy, gx = np.mgrid[0 : shape[0], 0 : shape[1]] * STEP
    return cameras[1].project(m.material_point(0, gx.astype(float), gy.astype(float)))


def check_scaled_match(match, m, cameras, roi, shape_k, coverage=0.97):
    """Matches within a small fraction of a pixel of the truth; nearly every node seen well inside camera k."""
    err = np.linalg.norm(match.uv - truth_nodes(m, cameras, match.valid.shape), axis=-1)[match.valid]
    assert np.sqrt(np.mean(err**2)) < 0.03 and err.max() < 0.08
    seen = roi[::STEP, ::STEP] & expected_nodes(match, m, cameras, shape_k, 1.5 * RADIUS)
    assert seen.sum() > 500 and match.valid[seen].mean() >= coverage
    check_roi_and_seed(match, shape_k)


@functools.cache
def scaled_pair(ratio):
    """Camera 1 with `ratio` times camera 0's pixels across the same field (the renderer sets its focal length)."""
    size = (round(SMALL[0] * ratio / 2) * 2, round(SMALL[1] * ratio / 2) * 2)
    m = render.render_measurement(sizes=[SMALL, size], noise=0.5)
    return SimpleNamespace(m=m, ratio=ratio, size=size, roi=m.masks[0])


@pytest.mark.parametrize("ratio", [1.05, 1.2, 0.8])
def test_cameras_of_other_pixel_scales_match_the_projected_truth(dic2d_cli, ratio):
    scaled = scaled_pair(ratio)
    m = scaled.m
    cal = Calibration(tuple(m.cameras))
    match = match_stereo(m.reference[0], m.reference[1], scaled.roi, cal, 1, dic=DIC)
    check_scaled_match(match, m, m.cameras, scaled.roi, m.reference[1].shape)
    # The coarse search found camera 1's scale and the disparity at the seed.
    truth = local_map(m.cameras, m, match.seed)
    assert np.linalg.norm(match.transform - truth, 2) < 0.03 * scaled.ratio
    seed_truth = truth_nodes(m, m.cameras, match.valid.shape)[match.seed[1] // STEP, match.seed[0] // STEP]
    assert np.hypot(*(np.array(match.disparity) + match.seed - seed_truth)) < 0.5
    assert match.epipolar_rms < 0.02


def test_a_scale_is_found_without_a_calibration(dic2d_cli):
    scaled = scaled_pair(0.8)
    m = scaled.m
    match = match_stereo(m.reference[0], m.reference[1], scaled.roi, None, 1, dic=DIC)
    check_scaled_match(match, m, m.cameras, scaled.roi, m.reference[1].shape)
    assert abs(np.sqrt(np.linalg.det(match.transform)) - 0.8) < 0.03


@pytest.mark.parametrize("truncation", [False, True])
def test_matches_from_islands_are_the_engines_matches_of_whole_subsets(dic2d_cli, monkeypatch, truncation):
    """At a ratio of 1.2 the engine also starts its seed directly; both ways give the same matches."""
    scaled = scaled_pair(1.2)
    m = scaled.m
    cal = Calibration(tuple(m.cameras))
    dic = {**DIC, "subset_truncation": truncation}
    islands = match_stereo(m.reference[0], m.reference[1], scaled.roi, cal, 1, dic=dic)
    monkeypatch.setattr(stereo, "SEED_MISFIT_PX", 100.0)
    direct = match_stereo(m.reference[0], m.reference[1], scaled.roi, cal, 1, dic=dic)
    both = islands.valid & direct.valid
    assert both.sum() >= 0.98 * direct.valid.sum()
    diff = np.linalg.norm(islands.uv[both] - direct.uv[both], axis=-1)
    assert np.median(diff) < 1e-5 and diff.max() < 1e-3
    assert_close(islands.corrcoef[both], direct.corrcoef[both], rel=0, abs_=1e-5)


@pytest.fixture(scope="module")
def rolled(dic2d_cli):
    """Camera 1 turned by 20 degrees about its axis, and another with 1.3 times the pixels turned by -15."""
    m = render.render_measurement(sizes=[SMALL, SMALL], noise=0.5)
    c1 = m.cameras[1]
    bigger = Camera(K=np.diag([1.3, 1.3, 1.0]) @ c1.K, dist=c1.dist, R=c1.R, t=c1.t, width=416, height=332)
    cams = {20.0: [m.cameras[0], turned(c1, 20.0)], -15.0: [m.cameras[0], turned(bigger, -15.0)]}
    images = {a: view(c[1], m, seed=int(a) % 7) for a, c in cams.items()}
    return SimpleNamespace(m=m, cameras=cams, images=images)


@pytest.mark.parametrize("degrees", [20.0, -15.0])
def test_cameras_turned_about_their_axes_match_the_projected_truth(rolled, degrees):
    m, cameras, image = rolled.m, rolled.cameras[degrees], rolled.images[degrees]
    match = match_stereo(m.reference[0], image, m.masks[0], Calibration(tuple(cameras)), 1, dic=DIC)
    check_scaled_match(match, m, cameras, m.masks[0], image.shape, coverage=0.95)
    scale, angle = stereo._scale_and_angle(match.transform)
    assert abs(angle - degrees) < 1.5
    # Without a calibration only scales are searched: a turn of 15 degrees or more is not found.
    with pytest.raises(StereoError, match="not found in camera 1"):
        match_stereo(m.reference[0], image, m.masks[0], None, 1, dic=DIC)


def test_disparity_of_a_scaled_and_turned_image(scene):
    """A patch mapped by a known affine transform is found where the transform puts it."""
    image = scene.m.reference[0]
    A = stereo._similarity(1.3, 10.0)
    centre = np.array([234.0, 192.0])
    target = np.array([250.0, 180.0])  # where camera k sees the centre
    M = np.hstack([A, (target - A @ centre)[:, None]])
    warped = cv2.warpAffine(image, M, (520, 420), flags=cv2.INTER_CUBIC)
    d = find_disparity(image, warped, scene.roi0, (234, 192), half_size=60, exclusion=20, transform=A)
    assert abs(d.du - 16.0) < 0.05 and abs(d.dv + 12.0) < 0.05 and d.peak > 0.8 and d.runner_up < 0.2
    assert np.array_equal(d.transform, A)
    plain = find_disparity(image, warped, scene.roi0, (234, 192), half_size=60, exclusion=20)
    assert plain.peak < 0.4
    with pytest.raises(ValueError, match="keeps orientation"):
        find_disparity(image, warped, scene.roi0, (234, 192), transform=np.diag([1.0, -1.0]))


def test_an_island_that_does_not_start_says_so(dic2d_cli):
    scaled = scaled_pair(1.2)
    m = scaled.m
    cal = Calibration(tuple(m.cameras))
    with pytest.raises(StereoError, match=r"at a scale of 1\.2\d and turned by -?0\.\d degrees.*no subset"):
        match_stereo(m.reference[0], m.reference[1], scaled.roi, cal, 1, dic=DIC, min_corrcoef=0.99999)


@pytest.mark.slow
def test_an_experiment_with_cameras_of_other_scales_meets_its_accuracy(tmp_path):
    folder = tmp_path / "scales"
    write_example(folder, frames=3, sizes=[(400, 320), (480, 360)])
    assert main(["run", str(folder / "experiment.toml"), "--jobs", "1", "--quiet"]) == 0
    check = check_results(folder)
    assert check.complete and check.meets(), check.report()
    assert all(f.valid_points >= 0.95 * f.points for f in check.frames), check.report()


def _real_pair_bench():
    return bench_script("dice_gt4_stereo")


@pytest.mark.slow
def test_real_pair_agrees_with_the_reference_result(dic2d_cli):
    bench = _real_pair_bench()
    data = bench.find_data()
    if data is None:
        pytest.skip("the GT4 stereo images are not on this machine (set GT4_STEREO_DATA)")
    r = bench.run(data)
    match = r["match"]
    assert r["compared"] >= 100 and r["rms_px"] < 0.1
    assert match.valid_count > 10000 and match.roi.shape == (1200, 1920)
    if r["calibration"]:
        assert match.epipolar_rms < 0.2
