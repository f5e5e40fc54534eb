"""Rendered experiments: exact images, the example directory, its truth, and the comparison of results with it."""

from __future__ import annotations

import tomllib
import zipfile
from dataclasses import replace

import numpy as np
import pytest
import tifffile
from conftest import assert_close
from PIL import Image
from scipy.optimize import least_squares
from scipy.spatial import Delaunay

from dicpipe.camera import load_calibration
from dicpipe.synthetic import TruthError, load_truth, render, write_example
from dicpipe.synthetic import check as chk

SMALL = (160, 128)


# --------------------------------------------------------------------------
# Cameras and ray casting
# --------------------------------------------------------------------------


def test_full_lens_terms_each_move_pixels_noticeably():
    cam = render.make_cameras(2, 480, 384, lens="full")[0]
    corners = np.array([[0.0, 0.0], [479.0, 383.0], [0.0, 383.0], [479.0, 0.0]])
    n = render.make_cameras(2, 480, 384, lens="radial")[0].normalize(corners)
    X = np.concatenate([n, np.ones((4, 1))], axis=1) @ cam.R + cam.centre  # points on those rays
    full = cam.project(X)
    for term in (2, 3, 4):
        dist = cam.dist.copy()
        dist[term] = 0.0
        assert np.abs(replace(cam, dist=dist).project(X) - full).max() > 0.1, f"distortion term {term}"
    no_skew = replace(cam, K=cam.K * np.array([[1, 0, 1], [1, 1, 1], [1, 1, 1]]))
    assert np.abs(no_skew.project(X) - full).max() > 0.1


@pytest.mark.parametrize("curved", [False, True])
def test_material_point_lies_on_the_surface_and_projects_back_to_its_pixel(curved):
    s = render.render_series(cameras=3, frames=2, sizes=[SMALL] * 3, curved=curved, samples=1, lens="full")
    ys, xs = np.mgrid[0 : SMALL[1] : 7, 0 : SMALL[0] : 7].astype(float)
    for c, cam in enumerate(s.cameras):
        X = s.material_point(c, xs, ys)
        seen = np.isfinite(X[..., 0])
        assert 0.3 < seen.mean() < 1.0  # the plate and some background
        assert_close(X[seen][:, 2], s.surface.height(X[seen][:, 0], X[seen][:, 1]), rel=0, abs_=1e-12)
        assert_close(cam.project(X[seen]), np.stack([xs[seen], ys[seen]], axis=-1), rel=0, abs_=1e-9)


def test_shell_intersection_takes_the_nearest_root():
    surface = render.Surface(kx=1.0 / 120.0)
    o = np.array([[-40.0, 0.0, -1.0], [0.0, 0.0, 10.0], [0.0, 0.0, 10.0]])
    d = np.array([[1.0, 0.0, 0.0], [0.0, 0.0, -1.0], [0.0, 0.0, 1.0]])  # a chord, a straight hit, a miss
    s = surface.intersect(o, d)
    x_hit = -np.sqrt(240.0)  # z = -x^2/240 = -1 on the near side
    assert_close(s, [x_hit + 40.0, 10.0, np.nan], rel=1e-14, abs_=0)


@pytest.mark.parametrize("curved", [False, True])
def test_deformed_frame_shows_the_material_point_that_moved_under_each_pixel(curved):
    """Independent of the renderer's inverse rays: solve project(F X + d) = pixel for X on the surface."""
    s = render.render_series(cameras=2, frames=3, sizes=[SMALL] * 2, curved=curved, samples=1)
    dfm = s.deformations[2]
    cam = s.cameras[1]
    for px, py in [(80, 64), (60, 50), (101, 77), (45, 90)]:

        def residual(p, px=px, py=py):
            return cam.project(dfm.apply(s.surface.point(p[0], p[1]))) - [px, py]

        X0 = s.material_point(1, px, py)
        sol = least_squares(residual, X0[:2], xtol=1e-15, ftol=1e-15, gtol=1e-15)
        assert np.abs(sol.fun).max() < 1e-9
        assert_close(s.images[1][2][py, px], s.texture(sol.x[0], sol.x[1]), rel=0, abs_=1e-6)
    # The reference frame is the undeformed state itself.
    assert s.deformations[0].is_identity and not dfm.is_identity


def test_series_grows_in_proportion_and_keeps_the_two_state_measurement():
    motion = render.Motion(strain=0.006)
    dfms = motion.series(4)
    assert dfms[0].is_identity
    for f, dfm in enumerate(dfms):
        assert dfm.strain == pytest.approx(0.006 * f / 3, rel=1e-15)
        assert_close(dfm.d, np.array(motion.translation) * f / 3, rel=1e-15)
        angle = np.degrees(np.arccos((np.trace(dfm.Q) - 1) / 2))
        assert angle == pytest.approx(motion.angle_deg * f / 3, abs=1e-9)
        assert_close(dfm.Q @ dfm.Q.T, np.eye(3), rel=0, abs_=1e-15)
    with pytest.raises(ValueError, match="at least 2 frames"):
        motion.series(1)
    m = render.render_measurement(cameras=2, sizes=[SMALL] * 2, strain=0.006, samples=1)
    s = render.render_series(cameras=2, frames=2, sizes=[SMALL] * 2, motion=motion, samples=1)
    assert np.array_equal(m.deformed[1], s.images[1][1]) and np.array_equal(m.reference[0], s.images[0][0])


def test_noise_of_an_image_depends_on_seed_camera_and_frame_only():
    a = render.render_series(cameras=2, frames=3, sizes=[SMALL] * 2, samples=1, noise=2.0)
    b = render.render_series(cameras=3, frames=3, sizes=[SMALL] * 3, samples=1, noise=2.0)
    clean = render.render_series(cameras=2, frames=3, sizes=[SMALL] * 2, samples=1)
    assert np.array_equal(a.images[1][2], b.images[1][2])
    diff = a.images[0][1] - clean.images[0][1]
    assert abs(diff.std() - 2.0) < 0.05 and abs(diff.mean()) < 0.05
    other = a.images[0][2] - clean.images[0][2]
    assert abs(np.corrcoef(diff.ravel(), other.ravel())[0, 1]) < 0.02  # independent per frame
    beside = a.images[1][1] - clean.images[1][1]
    assert abs(np.corrcoef(diff.ravel(), beside.ravel())[0, 1]) < 0.02  # and per camera


def test_cameras_of_different_sizes_frame_the_same_field():
    sizes = [(200, 160), (160, 120), (180, 200)]
    s = render.render_series(cameras=3, frames=2, sizes=sizes, samples=1)
    for (w, h), cam, imgs, mask in zip(sizes, s.cameras, s.images, s.masks):
        assert imgs[1].shape == (h, w) and mask.shape == (h, w)
        assert cam.K[0, 0] == pytest.approx(w * 500.0 / 64.0, rel=0.005)
        assert 0.15 < mask.mean() < 0.6
    for bad, message in [
        ([(200, 160)] * 2, "2 image sizes for 3 cameras"),
        ([(200, 160), (200, 40), (200, 160)], "at least 64"),
    ]:
        with pytest.raises(ValueError, match=message):
            render.render_series(cameras=3, sizes=bad)
    for kwargs, message in [
        ({"cameras": 1}, "cameras must be 2 or 3"),
        ({"cameras": 4}, "cameras must be 2 or 3"),
        ({"lens": "fisheye"}, "lens must be one of"),
        ({"samples": 0}, "samples"),
        ({"noise": -1.0}, "noise"),
        ({"noise": float("nan")}, "noise"),
    ]:
        with pytest.raises(ValueError, match=message):
            render.render_series(**kwargs)


def test_two_term_calibration_arrays_refuse_a_lens_they_cannot_hold():
    arrays = render.calibration_arrays(render.make_cameras(2))
    assert arrays["dist"].shape == (2, 2) and arrays["K"].shape == (2, 3, 3)
    with pytest.raises(ValueError, match="camera 0"):
        render.calibration_arrays(render.make_cameras(2, lens="full"))


# --------------------------------------------------------------------------
# The example directory and its truth
# --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def example(tmp_path_factory):
    d = tmp_path_factory.mktemp("example") / "ex"
    path = write_example(d, frames=3, size=SMALL, samples=1)
    return d, path


def test_example_directory_holds_the_experiment_it_describes(example):
    d, path = example
    assert path == d / "experiment.toml"
    with open(path, "rb") as fh:
        exp = tomllib.load(fh)
    assert exp == {
        "images": {"cameras": ["cam0/*.tif", "cam1/*.tif"]},
        "calibration": {"file": "calibration.json"},
        "roi": {"mask": "roi.png"},
        "dic": {"subset_radius": 20, "subset_spacing": 5},
        "output": {"dir": "results"},
    }
    s = render.render_series(cameras=2, frames=3, sizes=[SMALL] * 2, samples=1, noise=0.5)
    for c in range(2):
        files = sorted((d / f"cam{c}").glob("*.tif"))
        assert [f.name for f in files] == ["frame_0000.tif", "frame_0001.tif", "frame_0002.tif"]
        for f, file in enumerate(files):
            img = tifffile.imread(file)
            assert img.dtype == np.uint8 and img.shape == (SMALL[1], SMALL[0])
            assert np.abs(img - s.images[c][f]).max() <= 0.5 + 1e-9  # rounded, not truncated
    roi = np.asarray(Image.open(d / "roi.png"))
    assert roi.dtype == np.uint8 and np.array_equal(roi > 0, s.masks[0])

    cal = load_calibration(d / "calibration.json")
    assert cal.units == "mm" and len(cal) == 2
    assert cal.cameras == tuple(s.cameras)  # the very numbers the images were rendered with
    assert cal.module_arrays()["distortion_model"] == "radial2"

    truth = load_truth(d)
    assert truth.frames == 3 and truth.cameras == 2 and truth.units == "mm"
    for f in range(3):
        assert_close(truth.F[f], s.deformations[f].F, rel=0, abs_=0)
        assert_close(truth.d[f], s.deformations[f].d, rel=0, abs_=0)
    assert truth.strain[2] == 0.01 and truth.angle_deg[1] == pytest.approx(0.4)


def test_truth_strain_and_displacement_follow_the_deformation(example):
    truth = load_truth(example[0])
    X = np.array([[1.0, 2.0, 0.0], [-20.0, 10.0, 0.0]])
    assert_close(truth.displacement(1, X), truth.position(1, X) - X, rel=0, abs_=1e-15)
    assert_close(truth.displacement(0, X), np.zeros_like(X), rel=0, abs_=0)
    e = truth.strain[2]
    minor, major = truth.surface_strain(2, np.array([[0.0, 0.0, 1.0], [0.0, 0.0, 0.0]]))
    assert_close(major, [((1 + e) ** 2 - 1) / 2, np.nan], rel=1e-12)  # rigid motion adds no strain
    assert_close(minor, [0.0, np.nan], rel=0, abs_=1e-15)
    # On a surface tilted about y by 30 degrees, the stretch along x is seen shortened.
    c, sn = np.cos(np.radians(30)), np.sin(np.radians(30))
    minor, major = truth.surface_strain(2, np.array([sn, 0.0, c]))
    assert major == pytest.approx(((1 + e) ** 2 - 1) / 2 * c * c, rel=1e-12) and abs(minor) < 1e-15
    with pytest.raises(IndexError):
        truth.displacement(3, X)


def test_example_is_byte_for_byte_reproducible_and_three_cameras_work(example, tmp_path):
    d, _ = example
    write_example(tmp_path / "again", frames=3, size=SMALL, samples=1)
    names = sorted(p.relative_to(d).as_posix() for p in d.rglob("*") if p.is_file())
    again = tmp_path / "again"
    assert names == sorted(p.relative_to(again).as_posix() for p in again.rglob("*") if p.is_file())
    for name in names:
        assert (d / name).read_bytes() == (tmp_path / "again" / name).read_bytes(), name
    with zipfile.ZipFile(d / "truth.npz") as z:
        assert {i.date_time for i in z.infolist()} == {(1980, 1, 1, 0, 0, 0)}  # no clock in the archive

    write_example(tmp_path / "three", cameras=3, frames=2, size=SMALL, samples=1, lens="full")
    with open(tmp_path / "three" / "experiment.toml", "rb") as fh:
        assert tomllib.load(fh)["images"]["cameras"] == ["cam0/*.tif", "cam1/*.tif", "cam2/*.tif"]
    assert len(list((tmp_path / "three" / "cam2").glob("frame_*.tif"))) == 2
    cal = load_calibration(tmp_path / "three" / "calibration.json")
    assert len(cal) == 3 and cal.module_arrays()["distortion_model"] == "opencv"
    full = render.make_cameras(3, *SMALL, lens="full")
    assert cal.cameras == tuple(full) and all(c.dist[4] != 0 and c.K[0, 1] != 0 for c in cal.cameras)

    sizes = [(176, 144), (144, 112)]
    write_example(tmp_path / "sizes", frames=2, sizes=sizes, samples=1)
    for c, (w, h) in enumerate(sizes):
        assert tifffile.imread(tmp_path / "sizes" / f"cam{c}" / "frame_0001.tif").shape == (h, w)
    assert [(c.width, c.height) for c in load_calibration(tmp_path / "sizes" / "calibration.json").cameras] == sizes
    assert load_truth(tmp_path / "sizes").image_sizes.tolist() == [list(s) for s in sizes]


def test_example_refuses_a_used_directory_and_overwrite_removes_stale_frames(tmp_path):
    d = tmp_path / "ex"
    write_example(d, frames=4, size=SMALL, samples=1)
    (d / "notes.txt").write_text("mine")
    with pytest.raises(FileExistsError, match="not empty"):
        write_example(d, frames=2, size=SMALL, samples=1)
    with pytest.raises(FileExistsError, match="not a directory"):
        write_example(d / "notes.txt", size=SMALL)
    write_example(d, frames=2, size=SMALL, samples=1, overwrite=True)
    assert sorted(p.name for p in (d / "cam1").iterdir()) == ["frame_0000.tif", "frame_0001.tif"]
    assert (d / "notes.txt").read_text() == "mine"
    assert load_truth(d).frames == 2
    assert not list(d.rglob("*.tmp"))


def test_truth_file_errors_name_the_file_and_key(tmp_path, example):
    with pytest.raises(TruthError, match="no such file"):
        load_truth(tmp_path)
    (tmp_path / "truth.npz").write_bytes(b"not a zip")
    with pytest.raises(TruthError, match="not a truth archive"):
        load_truth(tmp_path)
    good = dict(np.load(example[0] / "truth.npz"))
    for key, value, message in [
        ("F", None, "missing 'F'"),
        ("d", np.zeros((2, 3)), r"'d' has shape \(2, 3\), expected \(3, 3\)"),
        ("strain", np.array([0.0, np.nan, 1.0]), "'strain' holds non-finite"),
        ("units", np.array(1.0), "'units' has type"),
        ("version", np.array(2), "'version' is 2"),
    ]:
        arrays = {k: v for k, v in good.items() if k != key}
        if value is not None:
            arrays[key] = value
        np.savez(tmp_path / "truth.npz", **arrays)
        with pytest.raises(TruthError, match=message):
            load_truth(tmp_path / "truth.npz")


# --------------------------------------------------------------------------
# Results against the truth
# --------------------------------------------------------------------------


def _fabricate(truth, directory, *, grid=(15, 11), offset=None, strain_shift=0.0, bad_rows=()):
    """Result files of an exact measurement on a grid of the true surface; optional known errors."""
    import native_vostrel

    xs, ys = np.meshgrid(np.linspace(-20, 20, grid[0]), np.linspace(-14, 14, grid[1]))
    X = truth.surface.point(xs.ravel(), ys.ravel())
    faces = Delaunay(X[:, :2]).simplices.astype(np.int32)
    out = directory / "frames"
    out.mkdir(parents=True, exist_ok=True)
    for f in range(1, truth.frames):
        x = truth.position(f, X)
        st = native_vostrel.compute_surface_deformation(faces, X, x, np.ones(len(faces), dtype=bool))
        disp = x - X + (0 if offset is None else offset)
        valid = np.ones(len(X), dtype=bool)
        for r in bad_rows:
            valid[r] = False
            disp[r] = 1e9  # garbage in a row flagged invalid must not count
        st["Epc2"] = st["Epc2"] + strain_shift
        np.savez(
            out / f"frame_{f:04d}.npz", points_ref=X, points_def=x, displacement=disp, valid=valid, faces=faces, **st
        )
    return X, faces


@pytest.mark.parametrize("curved", [False, True])
def test_exact_results_show_no_error(tmp_path, curved):
    truth = load_truth_example(tmp_path, curved)
    X, faces = _fabricate(truth, tmp_path / "results")
    check = chk.check_results(tmp_path)
    assert check.complete and len(check.frames) == truth.frames - 1 and check.meets()
    for f in check.frames:
        assert f.points == f.valid_points == len(X) and f.faces == f.valid_faces == len(faces)
        assert f.error_mean < 1e-12 and f.error_max < 1e-12 and f.surface_distance_mean < 1e-12
        assert f.applied_mean == pytest.approx(np.linalg.norm(truth.displacement(f.frame, X), axis=1).mean())
        # The faces are flat chords of the shell: their strain differs from the tangent plane's at second order.
        assert abs(f.major - f.major_truth) < (2e-6 if curved else 1e-12)
        assert abs(f.minor - f.minor_truth) < (2e-6 if curved else 1e-12)
    assert check.frames[-1].major_truth == pytest.approx(0.01005 if not curved else 0.0099, rel=0.01)


def load_truth_example(tmp_path, curved):
    write_example(tmp_path, frames=3, size=SMALL, samples=1, curved=curved)
    return load_truth(tmp_path)


def test_known_perturbations_give_known_errors(tmp_path):
    truth = load_truth_example(tmp_path, False)
    offset = np.array([0.003, -0.004, 0.0])  # 5 µm
    X, faces = _fabricate(truth, tmp_path / "results", offset=offset, strain_shift=4e-4, bad_rows=(0, 7))
    check = chk.check_results(tmp_path)
    for f in check.frames:
        assert f.valid_points == len(X) - 2
        assert f.error_mean == pytest.approx(0.005, rel=1e-9) and f.error_max == pytest.approx(0.005, rel=1e-9)
        assert f.error_percent == pytest.approx(100 * 0.005 / f.applied_mean)
        assert f.major - f.major_truth == pytest.approx(4e-4, rel=1e-6)
        assert abs(f.minor - f.minor_truth) < 1e-12
    # 4e-4 is beyond 5 % of frame 1's major strain (5e-3) plus 1e-4; the displacement error is within.
    assert not check.frames[0].meets() and check.frames[0].meets(strain_abs=3e-4)
    assert not check.frames[0].meets(strain_abs=3e-4, displacement_abs=0.0, displacement_rel=0.01)


def test_a_frame_without_valid_points_or_faces_is_reported_not_passed(tmp_path):
    truth = load_truth_example(tmp_path, False)
    X, _ = _fabricate(truth, tmp_path / "results")
    path = tmp_path / "results" / "frames" / "frame_0001.npz"
    arrays = dict(np.load(path))
    arrays.update(valid=np.zeros(len(X), dtype=bool), faces=np.zeros((0, 3), np.int32))
    for key in ("Epc1", "Epc2", "valid_strain_faces"):
        arrays[key] = arrays[key][:0]
    np.savez(path, **arrays)
    f = chk.check_results(tmp_path).frames[0]
    assert f.compared and f.valid_points == 0 and f.faces == 0
    assert np.isnan([f.error_mean, f.applied_mean, f.major, f.major_truth, f.error_percent]).all()
    assert not f.meets()


def test_check_command_reports_every_frame_and_its_failures(tmp_path, capsys):
    truth = load_truth_example(tmp_path, False)
    results = tmp_path / "elsewhere"
    assert chk.main([str(tmp_path)]) == 2
    assert "no results directory" in capsys.readouterr().err
    _fabricate(truth, results)
    assert chk.main([str(tmp_path), str(results)]) == 0
    out = capsys.readouterr().out
    rows = [line.split() for line in out.splitlines() if line[:5].strip().isdigit()]
    assert [r[0] for r in rows] == ["1", "2"] and rows[0][1] == "165/165"

    (results / "frames" / "frame_0001.npz").unlink()
    arrays = dict(np.load(results / "frames" / "frame_0002.npz"))
    del arrays["Epc1"]
    np.savez(results / "frames" / "frame_0002.npz", **arrays)
    assert chk.main([str(tmp_path), str(results)]) == 1
    out = capsys.readouterr().out
    assert "frame_0001.npz: missing" in out and "frame_0002.npz: missing 'Epc1'" in out

    arrays["Epc1"] = np.zeros(3)
    np.savez(results / "frames" / "frame_0002.npz", **arrays)
    assert "'Epc1' has shape (3,)" in chk.check_frame(truth, 2, results / "frames" / "frame_0002.npz").error
    arrays["Epc1"] = np.zeros(len(arrays["faces"]))
    arrays["faces"] = arrays["faces"] + 1000
    np.savez(results / "frames" / "frame_0002.npz", **arrays)
    assert "'faces' refers to points" in chk.check_frame(truth, 2, results / "frames" / "frame_0002.npz").error
    (results / "frames" / "frame_0002.npz").write_text("garbage")
    assert "not a result archive" in chk.check_frame(truth, 2, results / "frames" / "frame_0002.npz").error
    assert chk.main([str(tmp_path / "nowhere")]) == 2
    assert "no such file" in capsys.readouterr().err
