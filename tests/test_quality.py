"""Point quality: flag codes, the noise estimate, subset texture and the normalised median test."""

from __future__ import annotations

import math

import numpy as np
import pytest
from conftest import assert_close
from scipy import ndimage

from dicpipe.quality import (
    PointFlag,
    count_flags,
    estimate_noise,
    median_test,
    set_flag,
    subset_precision,
    subset_texture,
)


def speckle(shape=(240, 320), dot_sigma=2.0, density=0.04, seed=0, contrast=180.0) -> np.ndarray:
    """Random speckle: Gaussian dots of standard deviation `dot_sigma` px on a dark background."""
    rng = np.random.default_rng(seed)
    dots = (rng.uniform(size=shape) < density).astype(float)
    img = ndimage.gaussian_filter(dots, dot_sigma, mode="wrap")
    return 20.0 + contrast * img / img.max()


# --------------------------------------------------------------------------
# Flags
# --------------------------------------------------------------------------


def test_flag_codes_are_the_published_values():
    # Result files store these numbers and the README lists them: they never change.
    assert {f.name: int(f) for f in PointFlag} == {
        "GOOD": 0,
        "NOT_MEASURED": 1,
        "LOW_TEXTURE": 2,
        "NOT_SOLVED": 3,
        "LOW_CORRELATION": 4,
        "OUTLIER": 5,
        "STEREO_MATCH": 6,
        "RECONSTRUCTION": 7,
    }


def test_the_first_failed_check_keeps_its_code_and_counts_cover_every_code():
    flags = np.zeros(6, dtype=np.uint8)
    flags = set_flag(flags, np.array([1, 1, 0, 0, 0, 0], bool), PointFlag.NOT_SOLVED)
    flags = set_flag(flags, np.array([0, 1, 1, 0, 0, 0], bool), PointFlag.LOW_CORRELATION)
    flags = set_flag(flags, np.array([0, 0, 1, 1, 0, 0], bool), PointFlag.OUTLIER)
    assert flags.tolist() == [3, 3, 4, 5, 0, 0]
    counts = count_flags(flags)
    assert counts[PointFlag.GOOD] == 2 and counts[PointFlag.NOT_SOLVED] == 2 and counts[PointFlag.OUTLIER] == 1
    assert set(counts) == set(PointFlag) and sum(counts.values()) == 6
    assert count_flags(flags, among=np.array([1, 0, 0, 0, 0, 1], bool))[PointFlag.GOOD] == 1
    with pytest.raises(ValueError, match=r"unknown point flag value\(s\): \[9\]"):
        count_flags(np.array([0, 9]))


# --------------------------------------------------------------------------
# Noise
# --------------------------------------------------------------------------


@pytest.mark.parametrize("sigma", [0.5, 2.0, 5.0])
def test_noise_estimate_recovers_sigma_on_a_textured_image(sigma):
    rng = np.random.default_rng(11)
    img = speckle() + rng.normal(0, sigma, (240, 320))
    assert abs(estimate_noise(img) / sigma - 1) < 0.05


def test_noise_estimate_on_smooth_and_masked_images():
    rng = np.random.default_rng(2)
    # Few patches: the smallest eigenvalue of their covariance is biased low (by 7 % here) unless corrected.
    assert abs(estimate_noise(rng.normal(0, 3.0, (100, 120))) / 3.0 - 1) < 0.03
    yy, xx = np.mgrid[0:200, 0:300].astype(float)
    ramp = 40 + 0.5 * xx + 0.2 * yy + 10 * np.sin(xx / 40)
    assert estimate_noise(ramp) < 0.02
    img = ramp + np.where(xx < 150, rng.normal(0, 1.0, ramp.shape), rng.normal(0, 4.0, ramp.shape))
    assert abs(estimate_noise(img, xx < 150) - 1.0) < 0.05
    assert abs(estimate_noise(img, xx >= 150) - 4.0) < 0.2
    with pytest.raises(ValueError, match="too few 7 x 7 patches"):
        estimate_noise(img, (xx < 20) & (yy < 20))
    img[5, 5] = np.nan
    with pytest.raises(ValueError, match="non-finite"):
        estimate_noise(img)


# --------------------------------------------------------------------------
# Texture
# --------------------------------------------------------------------------


def disc(r: int) -> tuple[np.ndarray, np.ndarray]:
    dy, dx = np.mgrid[-r : r + 1, -r : r + 1]
    keep = dx * dx + dy * dy <= r * r
    return dx[keep], dy[keep]


def test_sssig_of_analytic_patterns():
    yy, xx = np.mgrid[0:120, 0:140].astype(float)
    dx, dy = disc(20)
    # Quadratic: the central difference is exact, g_x = k (x - x0) about the subset's mean.
    k = 0.3
    t = subset_texture(0.5 * k * xx**2 + 7 * yy, np.array([60, 70]), np.array([50, 60]), 20)
    assert t.pixels.tolist() == [1257, 1257]
    assert_close(t.sssig_x, np.full(2, k * k * np.sum(dx * dx.astype(float))), rel=1e-10)
    assert_close(t.sssig_y, [0.0, 0.0], abs_=1e-8)  # a uniform gradient carries no information
    # Sine: central difference A sin(w) cos(w x); the centred sum over the disc in closed form.
    A, w = 50.0, 2 * math.pi / 9
    t = subset_texture(A * np.sin(w * xx), np.array([60]), np.array([50]), 20)
    g = A * math.sin(w) * np.cos(w * (60 + dx))
    assert_close(t.sssig_x, [np.sum((g - g.mean()) ** 2)], rel=1e-10)


def test_subsets_clip_to_the_image_and_to_the_mask():
    img = np.zeros((50, 60))
    t = subset_texture(img, np.array([0, 30]), np.array([0, 25]), 10)
    dx, dy = disc(10)
    assert t.pixels.tolist() == [int(np.sum((dx >= 0) & (dy >= 0))), len(dx)]
    mask = np.zeros((50, 60), bool)
    mask[:, :30] = True
    t = subset_texture(img, np.array([30]), np.array([25]), 10, mask=mask)
    assert t.pixels.tolist() == [int(np.sum(dx < 0))]
    with pytest.raises(ValueError, match="inside the image"):
        subset_texture(img, np.array([60]), np.array([0]), 10)


def test_low_texture_flags_ramps_and_noise_but_not_speckle():
    rng = np.random.default_rng(4)
    sigma = 1.0
    img = speckle((300, 300)) + rng.normal(0, sigma, (300, 300))
    yy, xx = np.mgrid[0:300, 0:300].astype(float)
    band = (yy >= 110) & (yy < 200)
    img[band] = 60 + 0.4 * xx[band] + 0.3 * yy[band] + rng.normal(0, sigma, band.sum())  # brightness ramp
    gy, gx = np.mgrid[25:276:10, 25:276:10]
    noise = estimate_noise(img)
    for radius in (10, 20, 30):
        t = subset_texture(img, gx, gy, radius)
        low = t.low(noise, precision=0.05)
        in_band = (gy - radius >= 110) & (gy + radius < 200)
        clear = (gy + radius < 110) | (gy - radius >= 200)
        assert in_band.any() and low[in_band].all() and not low[clear].any()
        # Without taking the noise's own gradients out, pure noise would look measurable for big subsets.
        naive = math.sqrt(2) * noise / np.sqrt(np.minimum(t.sssig_x, t.sssig_y))
        if radius == 30:
            assert np.all(naive[in_band] < 0.05)
        assert np.all(t.predicted_std(noise)[clear] < 0.02)


def test_first_order_precision_agrees_with_sssig_for_centred_texture_and_not_for_one_sided():
    yy, xx = np.mgrid[0:160, 0:160].astype(float)
    img = 100 + 40 * np.sin(2 * np.pi * xx / 7.3) * np.sin(2 * np.pi * yy / 6.1)
    gx, gy = np.array([60, 80, 100]), np.array([70, 80, 90])
    pan = subset_texture(img, gx, gy, 20).predicted_std(0.0 + 1.0)
    first = subset_precision(img, gx, gy, 20, 1.0)
    # An evenly textured subset: the warp's extra parameters barely cost precision at the centre.
    assert np.all(first.std >= pan * 0.98) and np.all(first.std < pan * 1.3)
    # Texture in the left third of the subset only: the centre is an extrapolation.
    half = np.where(xx < 74, img, 100 + 0.2 * yy)
    t = subset_precision(half, np.array([80]), np.array([80]), 20, 1.0)
    p = subset_texture(half, np.array([80]), np.array([80]), 20).predicted_std(1.0)
    assert t.u_std[0] > 3 * p[0] and np.isfinite(t.u_std[0])
    # Nothing but a brightness ramp, or nothing but noise: no usable texture at all.
    rng = np.random.default_rng(1)
    assert np.isinf(subset_precision(100 + 0.3 * xx + 0.1 * yy, gx, gy, 20, 0.5).std).all()
    flat = 100 + rng.normal(0, 2.0, xx.shape)
    assert np.mean(subset_precision(flat, gx, gy, 20, 2.0).low(0.05)) == 1.0
    with_mask = subset_precision(img, np.array([80]), np.array([80]), 10, 1.0, mask=xx < 80)
    assert with_mask.pixels[0] == subset_texture(img, np.array([80]), np.array([80]), 10, mask=xx < 80).pixels[0]


# --------------------------------------------------------------------------
# Median test
# --------------------------------------------------------------------------


def affine_field(shape=(40, 50), step=6.0, G=((0.01, 0.02), (-0.015, 0.005)), seed=0, noise=0.02):
    rng = np.random.default_rng(seed)
    r, c = np.mgrid[0 : shape[0], 0 : shape[1]].astype(float)
    x, y = c * step, r * step
    G = np.asarray(G)
    u = 1.5 + G[0, 0] * x + G[0, 1] * y + rng.normal(0, noise, shape)
    v = -2.0 + G[1, 0] * x + G[1, 1] * y + rng.normal(0, noise, shape)
    return u, v, np.broadcast_to(G, shape + (2, 2))


def test_median_test_flags_injected_outliers_and_not_a_smooth_field():
    u, v, _ = affine_field()
    usable = np.ones(u.shape, bool)
    clean = median_test(u, v, usable)
    assert not clean.outlier.any() and clean.tested.all()
    rng = np.random.default_rng(8)
    bad = rng.uniform(size=u.shape) < 0.05
    angle = rng.uniform(0, 2 * np.pi, u.shape)
    res = median_test(u + 5 * np.cos(angle) * bad, v + 5 * np.sin(angle) * bad, usable)
    assert res.outlier[bad].all()
    assert res.outlier[~bad].mean() < 0.002


def test_median_test_ignores_unusable_neighbours_and_leaves_isolated_nodes_untested():
    u, v, _ = affine_field(noise=0.0)
    usable = np.ones(u.shape, bool)
    usable[10:20, 10:20] = False
    u[10:20, 10:20] = 1e6  # garbage in unsolved nodes never counts
    usable[30, 30] = True
    usable[29:32, 29:32] = False
    usable[30, 30] = True  # an island
    res = median_test(u, v, usable)
    assert not res.outlier.any()
    assert not res.tested[30, 30] and np.isnan(res.residual[30, 30])
    assert not res.tested[~usable].any()
    assert res.tested[0, 0]  # a corner has three neighbours


def test_gradient_correction_keeps_steep_fields_at_borders_and_holes():
    # A 30 degree rotation varies by about 3 px between nodes 6 px apart.
    t = math.radians(30)
    G = ((math.cos(t) - 1, -math.sin(t)), (math.sin(t), math.cos(t) - 1))
    u, v, grad = affine_field(shape=(30, 30), G=G, noise=0.01)
    usable = np.ones(u.shape, bool)
    usable[12:18, 12:18] = False
    plain = median_test(u, v, usable)
    assert plain.outlier.any()  # one-sided neighbourhoods bias the plain median
    corrected = median_test(u, v, usable, gradient=grad, step=6.0)
    assert not corrected.outlier.any()
    bad = np.zeros(u.shape, bool)
    bad[[0, 5, 11, 29], [0, 20, 12, 3]] = True
    hit = median_test(u + 3 * bad, v, usable, gradient=grad, step=6.0)
    assert hit.outlier[bad].all() and hit.outlier.sum() == bad.sum()
    with pytest.raises(ValueError, match="gradient must have shape"):
        median_test(u, v, usable, gradient=grad[:, :, 0])


def test_predicted_precision_matches_the_correlation_spread(dic2d_cli):
    from dicpipe.dic2d import run_dic2d

    rng = np.random.default_rng(0)
    base = speckle((200, 240), seed=3)
    fy, fx = np.fft.fftfreq(200)[:, None], np.fft.fftfreq(240)[None, :]
    moved = np.real(np.fft.ifft2(np.fft.fft2(base) * np.exp(-2j * np.pi * (0.3 * fx + 0.1 * fy))))
    mask = np.zeros((200, 240), np.uint8)
    mask[30:170, 30:210] = 1
    sigma = 2.0
    for contrast in (1.0, 0.3):
        ref = 20 + contrast * (base - 20) + rng.normal(0, sigma, base.shape)
        de = 20 + contrast * (moved - 20) + rng.normal(0, sigma, base.shape)
        run = run_dic2d(ref, de, mask, (120, 96), cli=dic2d_cli, subset_radius=15, subset_spacing=5)
        ok = run.field.valid.astype(bool)
        t = subset_texture(ref, run.field.ref_x[ok].astype(int), run.field.ref_y[ok].astype(int), 15)
        noise = estimate_noise(ref)
        measured = np.std(run.field.u[ok])
        predicted = np.median(t.predicted_std(noise))
        assert ok.sum() > 600 and abs(predicted / measured - 1) < 0.35
        first = subset_precision(ref, run.field.ref_x[ok].astype(int), run.field.ref_y[ok].astype(int), 15, noise)
        assert abs(np.median(first.u_std) / measured - 1) < 0.35
