"""Stereo measurements end to end: `dicpipe example`, then `dicpipe run`, against the example's known deformation.

The example renders a speckled plate filmed by calibrated, distorted cameras
over a load series (uniaxial stretch up to 1 % with a rigid rotation and
translation). Bounds: mean 3D displacement error below 2 % of the applied
motion plus 0.01 mm; median major and minor strains within 5 % of the truth
plus 1e-4.
"""

from __future__ import annotations

import csv
import json
import shutil
from dataclasses import replace
from pathlib import Path

import meshio
import numpy as np
import pytest

from dicpipe.camera import load_calibration, save_calibration
from dicpipe.command import main
from dicpipe.synthetic import write_example
from dicpipe.synthetic.check import check_results


def _meets_acceptance(check) -> None:
    assert check.complete, check.report()
    for fc in check.frames:
        assert fc.valid_points >= 0.95 * fc.points and fc.valid_faces >= 0.95 * fc.faces > 0, check.report()
        assert fc.error_mean < 0.02 * fc.applied_mean + 0.01, check.report()
        assert abs(fc.major - fc.major_truth) < 0.05 * abs(fc.major_truth) + 1e-4, check.report()
        assert abs(fc.minor - fc.minor_truth) < 0.05 * abs(fc.minor_truth) + 1e-4, check.report()


@pytest.fixture(scope="module")
def two_cameras(tmp_path_factory):
    """The default example (2 cameras x 4 frames) measured with two local processes."""
    folder = tmp_path_factory.mktemp("example") / "ex"
    assert main(["example", str(folder)]) == 0
    assert main(["run", str(folder / "experiment.toml"), "--jobs", "2", "--quiet"]) == 0
    return folder


@pytest.mark.slow
def test_two_camera_example_meets_the_acceptance_bounds(two_cameras):
    _meets_acceptance(check_results(two_cameras))


@pytest.mark.slow
def test_stereo_result_files_hold_the_documented_arrays(two_cameras):
    out = two_cameras / "results"
    with open(out / "summary.csv", newline="") as fh:
        rows = list(csv.DictReader(fh))
    assert [r["status"] for r in rows] == ["ok"] * 3
    assert set(rows[0]) >= {"image_cam0", "image_cam1", "mean_x_mm", "mean_y_mm", "mean_z_mm", "strain_major"}
    for f in (1, 2, 3):
        name = f"frame_{f:04d}"
        assert (out / "figures" / f"{name}.png").is_file()
        with np.load(out / "frames" / f"{name}.npz") as z:
            n, m = len(z["point_indices"]), len(z["faces"])
            assert z["points_ref"].shape == z["points_def"].shape == z["displacement"].shape == (n, 3)
            assert z["valid"].shape == (n,) and z["valid"].dtype == np.bool_
            assert np.array_equal(z["displacement"], z["points_def"] - z["points_ref"])
            for key in ("Epc1", "Epc2", "valid_strain_faces", "Emat", "Area"):
                assert len(z[key]) == m, key
            for key in ("corrcoef", "corr_a", "corr_b", "reprojection_error_ref", "reprojection_error_def"):
                assert z[key].shape == (n,), key
            assert z["stereo_epipolar_px"].shape == (1, n) and np.nanmax(z["stereo_epipolar_px"]) < 1.0
            # Faces join valid points that are neighbours on camera 0's grid.
            assert z["valid"][z["faces"]].all()
            cols = int(z["grid_shape"][1])
            r, c = np.divmod(z["point_indices"][z["faces"]], cols)
            assert (np.ptp(r, axis=1) <= 1).all() and (np.ptp(c, axis=1) <= 1).all()
            # Camera 0 sees point r * cols + c at (c * step, r * step).
            step = int(z["step"])
            assert np.array_equal(z["uv0"][:, 0], (z["point_indices"] % cols) * step)
            assert np.array_equal(z["uv0"][:, 1], (z["point_indices"] // cols) * step)
            # The summary's strain is that of the area-weighted mean tensor.
            ok = z["valid_strain_faces"]
            mean = (z["Area"][ok, None, None] * z["Emat"][ok]).sum(axis=0) / z["Area"][ok].sum()
            assert np.allclose(z["mean_strain"], 0.5 * (mean + mean.T), rtol=0, atol=1e-15)
            assert float(rows[f - 1]["strain_major"]) == float(z["mean_strain_major"])
            assert float(rows[f - 1]["mean_z_mm"]) == pytest.approx(z["displacement"][z["valid"], 2].mean(), 1e-12)
            mesh = meshio.read(out / "frames" / f"{name}.vtu")
            assert len(mesh.points) == z["valid"].sum() and len(mesh.cells_dict["triangle"]) == m
            assert np.array_equal(mesh.point_data["displacement"], z["displacement"][z["valid"]])
    run = json.loads((out / "run.json").read_text())
    assert run["mode"] == "stereo" and run["calibration"]["digest"] and run["calibration"]["units"] == "mm"
    assert run["stereo"]["1"]["epipolar_rms_px"] < 0.2 and run["stereo"]["1"]["matched_nodes"] > 1500


@pytest.mark.slow
def test_three_cameras_go_through_tracks(tmp_path):
    folder = tmp_path / "ex3"
    write_example(folder, cameras=3, frames=3, size=(400, 320))
    assert main(["run", str(folder / "experiment.toml"), "--jobs", "2", "--quiet"]) == 0
    _meets_acceptance(check_results(folder))
    with np.load(folder / "results" / "frames" / "frame_0002.npz") as z:
        assert "num_views" in z.files and "corr_a" not in z.files
        assert (z["num_views"][z["valid"]] == 3).mean() > 0.95
        assert z["stereo_corrcoef"].shape == (2, len(z["point_indices"]))


@pytest.mark.slow
def test_cameras_of_different_image_sizes(tmp_path):
    # Camera 1's images cropped at the right and the bottom: its pixels keep their coordinates, so the
    # calibration holds with the new size, and its grid is smaller than camera 0's.
    import tifffile

    folder = tmp_path / "sizes"
    write_example(folder, frames=2)
    for path in (folder / "cam1").glob("*.tif"):
        tifffile.imwrite(path, tifffile.imread(path)[:344, :440])
    cal = load_calibration(folder / "calibration.json")
    cropped = replace(cal.cameras[1], width=440, height=344)
    save_calibration(folder / "calibration.json", replace(cal, cameras=(cal.cameras[0], cropped)))
    assert main(["run", str(folder / "experiment.toml"), "--jobs", "1", "--quiet"]) == 0
    _meets_acceptance(check_results(folder))


@pytest.mark.slow
def test_results_identical_with_local_processes_and_a_dask_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    from test_command import _assert_same_results

    folder = tmp_path / "small"
    write_example(folder, frames=3, size=(320, 256))
    exp = str(folder / "experiment.toml")
    assert main(["run", exp, "--out", str(tmp_path / "one"), "--jobs", "1", "--quiet"]) == 0
    assert main(["run", exp, "--out", str(tmp_path / "two"), "--jobs", "2", "--quiet"]) == 0
    _assert_same_results(tmp_path / "one", tmp_path / "two")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as cluster:
        assert main(["run", exp, "--out", str(tmp_path / "dask"), "--scheduler", cluster.scheduler_address]) == 0
    _assert_same_results(tmp_path / "one", tmp_path / "dask")


# --------------------------------------------------------------------------
# Calibrations that do not belong to the images: exit 2, nothing written
# --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def small_example(tmp_path_factory):
    folder = tmp_path_factory.mktemp("small") / "ex"
    write_example(folder, frames=2, size=(320, 256))
    return folder


def _copy(example: Path, dest: Path) -> Path:
    shutil.copytree(example, dest, ignore=shutil.ignore_patterns("results"))
    return dest


def _fails_with(folder: Path, capsys, *words: str) -> None:
    capsys.readouterr()
    assert main(["run", str(folder / "experiment.toml"), "--jobs", "1", "--quiet"]) == 2
    err = capsys.readouterr().err
    assert err.startswith("dicpipe: error: ") and err.count("\n") == 1, err
    for w in words:
        assert w in err, err
    assert not (folder / "results").exists()


def test_a_calibration_of_other_cameras_stops_the_run(small_example, tmp_path, capsys):
    folder = _copy(small_example, tmp_path / "ex")
    cal = load_calibration(folder / "calibration.json")
    moved = replace(cal.cameras[1], t=cal.cameras[1].t + np.array([0.0, 8.0, 0.0]))  # 8 mm off: wrong epipolar lines
    save_calibration(folder / "calibration.json", replace(cal, cameras=(cal.cameras[0], moved)))
    _fails_with(folder, capsys, "calibration", "camera 1")


def test_calibration_files_that_do_not_fit_the_experiment(small_example, tmp_path, capsys):
    folder = _copy(small_example, tmp_path / "count")
    cal = load_calibration(folder / "calibration.json")
    save_calibration(folder / "calibration.json", replace(cal, cameras=cal.cameras + (cal.cameras[1],)))
    _fails_with(folder, capsys, "calibration.json", "3 camera(s)", "2")

    folder = _copy(small_example, tmp_path / "size")
    cal = load_calibration(folder / "calibration.json")
    other = replace(cal.cameras[1], width=640, height=512)
    save_calibration(folder / "calibration.json", replace(cal, cameras=(cal.cameras[0], other)))
    _fails_with(folder, capsys, "640 x 512", "320 x 256")

    folder = _copy(small_example, tmp_path / "broken")
    text = (folder / "calibration.json").read_text()
    (folder / "calibration.json").write_text(text.replace('"R"', '"Rot"', 1))
    _fails_with(folder, capsys, "calibration.json")


@pytest.mark.slow
def test_full_lens_model_goes_to_the_module_or_is_refused_before_anything_is_written(tmp_path, capsys):
    import native_vostrel

    folder = tmp_path / "full"
    write_example(folder, frames=2, size=(320, 256), lens="full")
    assert load_calibration(folder / "calibration.json").module_arrays()["distortion_model"] == "opencv"
    code = main(["run", str(folder / "experiment.toml"), "--jobs", "1", "--quiet"])
    if "distortion_model" in native_vostrel.reconstruct_tracks.__doc__:
        assert code == 0
        _meets_acceptance(check_results(folder))
    else:  # a module that models k1 and k2 only must not drop the other terms silently
        assert code == 2
        err = capsys.readouterr().err
        assert "calibration.json" in err and "p1, p2, k3" in err and "skew" in err and err.count("\n") == 1
        assert not (folder / "results").exists()


@pytest.mark.slow
def test_real_stereo_set_against_its_reference_result(tmp_path):
    """dice_gt4 (two real cameras, VIC-3D calibration, six frames) through dicpipe run: bench/dice_gt4_run.py."""
    from conftest import bench_script

    bench = bench_script("dice_gt4_run")
    if not (bench.DEFAULT_DATA / "reference" / "DICe_solution.e").is_file():
        pytest.skip(f"dice_gt4 not found in {bench.DEFAULT_DATA} (set DICE_GT4_DATA)")
    # The engine's own refinement (measured: 0.087 px, every frame, at most 0.84 µm, at most 8.9 µε).
    c = bench.measure(bench.DEFAULT_DATA, tmp_path / "standard", jobs=2, mode="standard")
    assert c.frames_ok == c.frames == 5
    assert c.subsets > 100
    assert c.stereo_rms_px < 0.1
    assert np.all(c.displacement_error_mm < 1e-3), c.displacement_error_mm
    assert np.all(c.strain_max < 20e-6), c.strain_max
    # The pipeline's default precision refinement (measured: 0.084 px, 0.22 to 1.31 µm, at most 2.1 µε).
    # Its motion is about 7 % smaller than the reference result's where the engine's own refinement
    # finds it 2 to 13 % larger. On this very speckle moved by known 0.02 to 0.1 px shifts
    # (bench/dice_gt4_shift.py) the engine's own refinement overestimates the motion by 10 to 20 %, the
    # precision refinement by at most 3 %: the reference result lies between them and is not the truth
    # to 1 µm here, so the more accurate refinement is held to 1.5 µm of it.
    c = bench.measure(bench.DEFAULT_DATA, tmp_path / "precision", jobs=2, mode="precision")
    assert c.frames_ok == c.frames == 5
    assert c.stereo_rms_px < 0.1
    assert np.all(c.displacement_error_mm < 1.5e-3), c.displacement_error_mm
    assert np.all(c.strain_max < 5e-6), c.strain_max
    # The strain window over the surface (truth ~0): median |major| and |minor| 44 to 47 µε against
    # 95 to 102 µε for the per-face strains.
    assert np.all(c.window_median < 50e-6), c.window_median
    assert np.all(c.raw_median > 1.5 * c.window_median), (c.raw_median, c.window_median)


def test_a_prepared_series_runs_again(small_example, tmp_path):
    # The first run fills in camera 1's ROI and seed from its stereo match; a second run of the same
    # series must match again rather than correlate camera 1 twice per frame.
    from test_command import _assert_same_results

    from dicpipe import load_experiment, prepare_series, run_series

    series = prepare_series(load_experiment(small_example / "experiment.toml"))
    first = run_series(series, tmp_path / "a", jobs=1)
    assert series.cameras[1].roi is not None and set(series.matches) == {1}
    second = run_series(series, tmp_path / "b", jobs=1)
    assert [r.ok for r in first.records] == [r.ok for r in second.records] == [True]
    _assert_same_results(tmp_path / "a", tmp_path / "b")


def test_a_rerun_that_keeps_every_frame_keeps_the_record_of_the_match(small_example, tmp_path):
    # Nothing is matched or planned again when every frame is kept, yet run.json must still say how
    # the pair was matched and where camera 1's regions lie (a regression: it said nothing).
    folder = _copy(small_example, tmp_path / "ex")
    assert main(["run", str(folder / "experiment.toml"), "--jobs", "1", "--quiet"]) == 0
    first = json.loads((folder / "results" / "run.json").read_text())
    assert main(["run", str(folder / "experiment.toml"), "--jobs", "1", "--quiet"]) == 0
    kept = json.loads((folder / "results" / "run.json").read_text())
    assert kept["run"]["frames_reused"] == 1 and first["stereo"]["1"]["matched_nodes"] > 0
    assert all(kept[key] == first[key] for key in ("stereo", "seeds", "regions"))
