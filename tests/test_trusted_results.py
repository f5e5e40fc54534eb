"""Results a user can trust, through `dicpipe run` on images with a known answer.

Untextured areas flagged and left out, the strain window against the raw
strains, each strain tensor against its closed form, large rotations and
stretches through the reference strategies, resuming a tracked series, a
scaled 2D measurement, and the flags of a stereo measurement.
"""

from __future__ import annotations

import csv
import math
import re
from pathlib import Path

import numpy as np
import pytest
from speckle_series import Motion, banded, disc_polygon, rotation, write_motions

from dicpipe.command import main
from dicpipe.quality import PointFlag

W, H = 320, 256
CENTRE = np.array([(W - 1) / 2, (H - 1) / 2])


def summary(out: Path) -> list[dict]:
    with open(out / "summary.csv", newline="") as fh:
        return list(csv.DictReader(fh))


def frame(out: Path, f: int) -> dict:
    with np.load(out / "frames" / f"frame_{f:04d}.npz") as z:
        return {k: z[k] for k in z.files}


def run(exp: Path, *extra: str) -> int:
    return main(["run", str(exp), "--jobs", "1", "--quiet", *extra])


def truth_at(z: dict, motion: Motion) -> np.ndarray:
    return motion.displacement(np.stack([z["x"], z["y"]], axis=-1))


# --------------------------------------------------------------------------
# Untextured areas
# --------------------------------------------------------------------------


def test_an_untextured_band_is_flagged_and_every_valid_point_is_right(tmp_path):
    motion = Motion(np.diag([1.002, 1.0]), np.array([1.3, 0.6]), CENTRE)
    band = (100, 170)
    ref, _ = banded(W, H, band, noise=0.5)
    dfm, _ = banded(W, H, band, noise=0.5, motion=motion, noise_seed=5)
    exp = write_motions(tmp_path, [None, motion], size=(W, H), roi="rectangle = [16, 16, 304, 240]", images=[ref, dfm])
    assert run(exp) == 0
    z = frame(tmp_path / "results", 1)
    r = 15
    y = z["y"]
    points = z["flag"] != PointFlag.NOT_MEASURED
    in_band = points & (y - r >= band[0] + 6) & (y + r < band[1] - 6)  # subsets wholly on the ramp
    textured = points & ((y + r < band[0]) | (y - r >= band[1]))
    assert in_band.sum() > 100 and textured.sum() > 500
    assert (z["flag"][in_band] != PointFlag.GOOD).mean() >= 0.95
    assert (z["flag"][in_band] == PointFlag.LOW_TEXTURE).mean() >= 0.95
    assert z["valid"][textured].mean() >= 0.98
    # Whatever the flags let through is right, the partly textured subsets at the band's edges included.
    d = truth_at(z, motion)
    ok = z["valid"]
    assert np.hypot(z["u"][ok] - d[..., 0][ok], z["v"][ok] - d[..., 1][ok]).max() < 0.1
    assert np.isnan(z["u"][~ok]).all() and np.isnan(z["strain_xx"][~ok]).all()
    # summary.csv counts each reason as the frame's flags do.
    row = summary(tmp_path / "results")[0]
    for f in PointFlag:
        if f != PointFlag.GOOD and f"flag_{f.name.lower()}" in row:
            assert int(row[f"flag_{f.name.lower()}"]) == int((z["flag"][points] == f).sum())
    assert int(row["points_valid"]) == int(ok.sum())


def test_a_roi_of_separate_regions_is_measured_in_each(tmp_path):
    motion = Motion(np.eye(2), np.array([-2.2, 1.4]), CENTRE)
    mask = np.zeros((H, W), np.uint8)
    mask[20:236, 20:140] = 255
    mask[20:236, 180:300] = 255
    from PIL import Image

    Image.fromarray(mask).save(tmp_path / "roi.png")
    exp = write_motions(tmp_path, [None, motion], size=(W, H), roi='mask = "roi.png"')
    assert run(exp) == 0
    z = frame(tmp_path / "results", 1)
    left, right = (z["x"] < 160), (z["x"] >= 160)
    points = z["flag"] != PointFlag.NOT_MEASURED
    for side in (left, right):
        assert z["valid"][points & side].mean() > 0.98
    ok = z["valid"]
    assert np.abs(z["u"][ok] + 2.2).max() < 0.05 and np.abs(z["v"][ok] - 1.4).max() < 0.05


# --------------------------------------------------------------------------
# Strain
# --------------------------------------------------------------------------

LAMBDA = 1.01
CLOSED = {
    "green-lagrange": 0.5 * (LAMBDA**2 - 1),
    "engineering": LAMBDA - 1,
    "hencky": math.log(LAMBDA),
    "euler-almansi": 0.5 * (1 - LAMBDA**-2),
}


@pytest.fixture(scope="module")
def stretched(tmp_path_factory):
    """Uniform 1 % stretch along x with image noise of 2 gray levels; subsets 21 px wide, 10 px apart."""
    folder = tmp_path_factory.mktemp("stretch")
    motion = Motion(np.diag([LAMBDA, 1.0]), np.array([2.3, -1.1]), CENTRE)
    exp = write_motions(
        folder,
        [None, motion],
        size=(W, H),
        roi="rectangle = [20, 20, 300, 236]",
        dic="subset_radius = 10\nsubset_spacing = 9\n",
        noise=2.0,
    )
    return exp


def test_window_strain_is_unbiased_and_smooths_the_raw_strains(stretched):
    assert run(stretched, "--force") == 0
    z = frame(stretched.parent / "results", 1)
    ok = np.isfinite(z["strain_xx"])
    assert ok.sum() > 0.9 * z["valid"].sum()
    window = z["strain_xx"][ok]
    truth = CLOSED["green-lagrange"]
    assert abs(window.mean() / truth - 1) < 0.02
    assert abs(np.mean(z["strain_yy"][ok])) < 0.02 * truth
    # Raw: each point's own subset gradient, and each triangle of the mesh (Green-Lagrange xx).
    v = z["valid"]
    point = z["du_dx"][v] + 0.5 * (z["du_dx"][v] ** 2 + z["dv_dx"][v] ** 2)
    face = z["Emat"][z["valid_strain_faces"]][:, 0, 0]
    assert point.std() > 3 * window.std() and face.std() > 3 * window.std()
    assert float(z["strain_gauge_length_px"]) == pytest.approx(math.sqrt((2 * 10 * math.sqrt(3.4)) ** 2 + 300))


@pytest.mark.parametrize("tensor", list(CLOSED))
def test_each_strain_tensor_against_its_closed_form(stretched, tensor):
    text = stretched.read_text()
    exp = stretched.parent / f"{tensor}.toml"
    exp.write_text(text.replace('dir = "results"', f'dir = "results_{tensor}"') + f'[strain]\ntensor = "{tensor}"\n')
    assert run(exp) == 0
    z = frame(stretched.parent / f"results_{tensor}", 1)
    assert str(z["strain_tensor"]) == tensor
    ok = np.isfinite(z["strain_xx"])
    assert abs(np.mean(z["strain_xx"][ok]) / CLOSED[tensor] - 1) < 0.02
    assert abs(np.mean(z["strain_major"][ok]) / CLOSED[tensor] - 1) < 0.02
    assert abs(np.mean(z["strain_minor"][ok])) < 0.05 * CLOSED[tensor]


# --------------------------------------------------------------------------
# Reference strategies
# --------------------------------------------------------------------------


def series_run(folder: Path, motions: list, roi: str, strategy: str) -> Path:
    exp = folder / "experiment.toml"
    if not (folder / "cam0").is_dir():
        write_motions(folder, motions, size=(W, H), roi=roi, noise=0.5)
    text = re.sub(r'dir = "results[^"]*"', f'dir = "results_{strategy}"', exp.read_text().split("[reference]")[0])
    exp.write_text(text + f'[reference]\nstrategy = "{strategy}"\n')
    run(exp)
    return folder / f"results_{strategy}"


def check_track(out: Path, motions: list) -> None:
    """Every frame measured, at least 95 % of the points valid, within 0.05 px + 0.5 % of the truth."""
    rows = summary(out)
    assert [r["status"] for r in rows] == ["ok"] * (len(motions) - 1)
    for f in range(1, len(motions)):
        z = frame(out, f)
        points = z["flag"] != PointFlag.NOT_MEASURED
        ok = z["valid"]
        assert ok[points].mean() >= 0.95, (f, ok[points].mean())
        d = truth_at(z, motions[f])
        err = np.hypot(z["u"] - d[..., 0], z["v"] - d[..., 1])[ok]
        assert (err <= 0.05 + 0.005 * np.hypot(d[..., 0], d[..., 1])[ok]).all(), (f, err.max())


@pytest.fixture(scope="module")
def rotating(tmp_path_factory):
    motions = [None] + [Motion(rotation(8 * f), np.zeros(2), CENTRE) for f in range(1, 6)]
    return tmp_path_factory.mktemp("rotation"), motions


def test_rotation_is_lost_with_a_fixed_reference_from_16_degrees(rotating):
    folder, motions = rotating
    out = series_run(folder, motions, disc_polygon(CENTRE, 100), "fixed")
    rows = summary(out)
    assert rows[0]["status"] == "ok"  # 8 degrees
    assert all(r["status"] == "failed" and "seed not found" in r["reason"] for r in rows[1:])


@pytest.mark.parametrize("strategy", ["incremental", "auto"])
def test_rotation_to_40_degrees_is_tracked(rotating, strategy):
    folder, motions = rotating
    out = series_run(folder, motions, disc_polygon(CENTRE, 100), strategy)
    check_track(out, motions)
    refs = [int(r["reference_frame"]) for r in summary(out)]
    assert refs == [0, 1, 2, 3, 4]  # auto moves its reference at every frame once 16 degrees are lost
    z = frame(out, 5)
    assert np.nanmax(np.abs(z["strain_major"])) < 2e-3  # a rotation has no Green-Lagrange strain


@pytest.mark.parametrize("strategy", ["incremental", "auto"])
def test_stretch_to_20_percent_is_tracked(tmp_path_factory, strategy):
    folder = tmp_path_factory.getbasetemp() / "stretch20"
    motions = [None] + [Motion(np.diag([1 + 0.04 * f, 1.0]), np.zeros(2), CENTRE) for f in range(1, 6)]
    out = series_run(folder, motions, "rectangle = [70, 40, 250, 216]", strategy)
    check_track(out, motions)
    z = frame(out, 5)
    ok = np.isfinite(z["strain_xx"])
    assert abs(np.mean(z["strain_xx"][ok]) / (0.5 * (1.2**2 - 1)) - 1) < 0.02
    if strategy == "auto":
        assert {int(r["reference_frame"]) for r in summary(out)} == {0}  # the fixed reference held


def test_a_tracked_series_resumes_from_its_last_complete_frame(rotating, capsys):
    folder, motions = rotating
    out = series_run(folder, motions, disc_polygon(CENTRE, 100), "incremental")
    before = (out / "frames" / "frame_0005.npz").read_bytes()
    for suffix in (".npz", ".json", "_tracks.npz"):
        (out / "frames" / f"frame_0004{suffix}").unlink()
    exp = folder / "experiment.toml"
    capsys.readouterr()
    assert main(["run", str(exp), "--jobs", "1"]) == 0
    # Frames 1 to 3 were kept; 4 and 5 recomputed from frame 3's tracks, to the same bytes.
    assert "reusing 3 complete frame(s)" in capsys.readouterr().err
    assert (out / "frames" / "frame_0005.npz").read_bytes() == before
    assert (out / "frames" / "frame_0004_tracks.npz").is_file()


def test_tracked_results_are_the_same_with_two_processes(rotating, tmp_path):
    folder, motions = rotating
    out = series_run(folder, motions, disc_polygon(CENTRE, 100), "auto")
    assert main(["run", str(folder / "experiment.toml"), "--jobs", "2", "--quiet", "--out", str(tmp_path)]) == 0
    for f in range(1, len(motions)):
        for name in (f"frame_{f:04d}.npz", f"frame_{f:04d}_tracks.npz"):
            assert (tmp_path / "frames" / name).read_bytes() == (out / "frames" / name).read_bytes()


# --------------------------------------------------------------------------
# Units and stereo
# --------------------------------------------------------------------------


def test_scale_gives_positions_and_displacements_in_its_units(tmp_path):
    motion = Motion(np.eye(2), np.array([1.5, -0.5]), CENTRE)
    exp = write_motions(tmp_path, [None, motion], size=(W, H), roi="rectangle = [20, 20, 300, 236]")
    exp.write_text(exp.read_text() + '[calibration]\nscale = 0.05\nunits = "mm"\n')
    assert run(exp) == 0
    z = frame(tmp_path / "results", 1)
    assert np.array_equal(z["x_mm"], z["x"] * 0.05) and np.array_equal(z["u_mm"], z["u"] * 0.05, equal_nan=True)
    row = summary(tmp_path / "results")[0]
    assert float(row["mean_u_mm"]) == pytest.approx(0.05 * float(row["mean_u_px"]), rel=1e-12)
    assert abs(float(row["mean_u_mm"]) - 0.075) < 0.001


@pytest.fixture(scope="module")
def stereo_example(tmp_path_factory):
    from dicpipe.synthetic import write_example

    folder = tmp_path_factory.mktemp("stereo")
    exp = write_example(folder, frames=2, noise=3.0)
    text = exp.read_text().replace("subset_radius = 20", "subset_radius = 12")
    exp.write_text(text.replace("subset_spacing = 5", "subset_spacing = 11"))
    assert main(["run", str(exp), "--jobs", "2", "--quiet"]) == 0
    return folder


def test_stereo_points_carry_their_flags_and_only_good_points_have_values(stereo_example):
    z = frame(stereo_example / "results", 1)
    assert np.array_equal(z["valid"], z["flag"] == PointFlag.GOOD)
    assert z["camera_flags"].shape == (2, len(z["flag"]))
    assert np.isnan(z["displacement"][~z["valid"]]).all() and np.isfinite(z["displacement"][z["valid"]]).all()
    grid = z["grid_flag"]
    assert grid.shape == tuple(z["grid_shape"])
    rows, cols = grid.shape
    ids = z["point_indices"]
    assert np.array_equal(grid.ravel()[ids], z["flag"])
    row = summary(stereo_example / "results")[0]
    points = grid != PointFlag.NOT_MEASURED
    for f in (PointFlag.STEREO_MATCH, PointFlag.RECONSTRUCTION, PointFlag.LOW_TEXTURE):
        assert int(row[f"flag_{f.name.lower()}"]) == int((grid[points] == f).sum())


def test_stereo_window_strain_is_unbiased_and_smooths_the_per_face_strain(stereo_example):
    from dicpipe.mesh import face_normals
    from dicpipe.synthetic import load_truth

    z = frame(stereo_example / "results", 1)
    _, major = load_truth(stereo_example).surface_strain(1, face_normals(z["points_ref"], z["faces"]))
    ok = np.isfinite(z["strain_major"])
    assert ok.mean() > 0.9
    assert abs(np.mean(z["strain_major"][ok]) / np.median(major) - 1) < 0.02
    raw = z["Epc2"][z["valid_strain_faces"]]
    assert raw.std() > 3 * z["strain_major"][ok].std()
    assert float(z["strain_gauge_length"]) == pytest.approx(math.sqrt(2) * float(z["strain_window_radius"]))


def test_stereo_roi_of_two_regions_is_matched_and_measured_in_each(tmp_path):
    from PIL import Image

    from dicpipe.synthetic import write_example

    exp = write_example(tmp_path, frames=2)
    mask = np.asarray(Image.open(tmp_path / "roi.png")) > 0
    cols = np.flatnonzero(mask.any(axis=0))
    middle = (cols[0] + cols[-1]) // 2
    mask[:, middle - 25 : middle + 25] = False  # two regions, 50 px apart
    Image.fromarray(mask.astype(np.uint8) * 255).save(tmp_path / "roi.png")
    assert main(["run", str(exp), "--jobs", "2", "--quiet"]) == 0
    z = frame(tmp_path / "results", 1)
    x0 = z["uv0"][:, 0]
    for side in (x0 < middle, x0 >= middle):
        assert z["valid"][side].sum() > 300
    grid = z["grid_flag"]
    points = grid != PointFlag.NOT_MEASURED
    assert (grid[points] == PointFlag.GOOD).mean() > 0.95
