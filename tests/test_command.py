"""`dicpipe run` on one-camera series with a known motion: accuracy, result files, reruns, failures, parallel runs."""

from __future__ import annotations

import csv
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET
from pathlib import Path

import meshio
import numpy as np
import pytest
from conftest import REPO_ROOT
from speckle_series import motion_of, render, save, write_series

from dicpipe.command import main
from dicpipe.experiment import DIC_MODES

STRETCH = 0.004
SHIFT = (1.3, -0.6)
FRAMES = 4
SIZE = (200, 160)


@pytest.fixture(scope="module")
def series(tmp_path_factory):
    """A 4-frame series (reference + 3), 8-bit TIFF; experiment file and motions."""
    folder = tmp_path_factory.mktemp("series")
    exp, motions = write_series(folder, frames=FRAMES, size=SIZE, stretch=STRETCH, shift=SHIFT)
    return exp, motions


@pytest.fixture(scope="module")
def reference_run(series, tmp_path_factory):
    """The series measured in this process (--jobs 1)."""
    exp, _ = series
    out = tmp_path_factory.mktemp("run") / "results"
    assert main(["run", str(exp), "--out", str(out), "--jobs", "1", "--quiet"]) == 0
    return out


def _copy_series(series, dest: Path) -> Path:
    exp, _ = series
    shutil.copytree(exp.parent, dest, ignore=shutil.ignore_patterns("results"))
    return dest / exp.name


def _summary(out: Path) -> list[dict]:
    with open(out / "summary.csv", newline="") as fh:
        return list(csv.DictReader(fh))


def _all_files(out: Path) -> dict[str, bytes]:
    return {p.relative_to(out).as_posix(): p.read_bytes() for p in sorted(out.rglob("*")) if p.is_file()}


def _without_timing(rel: str, data: bytes):
    """File content with the fields that describe the execution (times, jobs) removed."""
    if rel == "run.json":
        d = json.loads(data)
        d.pop("run")
        return d
    if rel.startswith("frames/") and rel.endswith(".json"):
        d = json.loads(data)
        d["record"].pop("seconds")
        return d
    if rel == "summary.csv":
        return [row[:-1] for row in csv.reader(data.decode().splitlines())]  # time_s is the last column
    return data


def _assert_same_results(a: Path, b: Path) -> None:
    fa, fb = _all_files(a), _all_files(b)
    assert sorted(fa) == sorted(fb)
    for rel in fa:
        assert _without_timing(rel, fa[rel]) == _without_timing(rel, fb[rel]), f"{rel} differs"


# --------------------------------------------------------------------------
# Accuracy and content of the results
# --------------------------------------------------------------------------


def test_displacements_and_strains_match_the_known_motion(series, reference_run):
    exp, motions = series
    out = reference_run
    rows = _summary(out)
    assert [int(r["frame"]) for r in rows] == [1, 2, 3]
    for f in range(1, FRAMES):
        with np.load(out / "frames" / f"frame_{f:04d}.npz") as z:
            x, y, u, v, valid = z["x"], z["y"], z["u"], z["v"], z["valid"]
            assert x.shape == y.shape == u.shape == v.shape == z["corrcoef"].shape == valid.shape
            assert valid.dtype == np.bool_ and valid.sum() > 400
            assert np.isnan(u[~valid]).all() and np.isfinite(u[valid]).all()
            # Grid nodes sit at (c * step, r * step).
            step = int(z["step"])
            assert x[0, 1] - x[0, 0] == step and y[1, 0] - y[0, 0] == step and x[0, 0] == y[0, 0] == 0
            truth = motions[f].displacement(np.stack([x[valid], y[valid]], axis=1))
            err = np.stack([u[valid], v[valid]], axis=1) - truth
            assert np.sqrt((err**2).mean()) < 0.02, f"frame {f}: RMS error {np.sqrt((err**2).mean())} px"
            assert np.abs(err).max() < 0.08
            # Strains: a uniaxial stretch along x.
            E = motions[f].green_lagrange()
            assert abs(float(z["mean_strain_major"]) - E[0, 0]) < 0.02 * E[0, 0] + 1e-4
            assert abs(float(z["mean_strain_minor"])) < 2e-4
            assert z["faces"].shape[1] == 3 and z["Epc2"].shape == (len(z["faces"]),)
            assert z["valid_strain_faces"].all()
            assert np.allclose(np.median(z["Epc2"]), E[0, 0], rtol=0.05, atol=2e-4)
            row = rows[f - 1]
            assert row["status"] == "ok" and row["reason"] == ""
            assert row["image_cam0"] == f"cam0/frame_{f:04d}.tif"
            assert int(row["points_solved"]) == int(row["points_valid"]) == valid.sum()
            assert float(row["mean_u_px"]) == pytest.approx(np.nanmean(u), abs=1e-12)
            assert float(row["mean_v_px"]) == pytest.approx(np.nanmean(v), abs=1e-12)
            assert float(row["strain_major"]) == float(z["mean_strain_major"])
            assert float(row["time_s"]) > 0


def test_result_files_open_in_their_readers(series, reference_run):
    out = reference_run
    root = ET.parse(out / "series.pvd").getroot()
    entries = [(d.get("timestep"), d.get("file")) for d in root.iter("DataSet")]
    assert entries == [(str(f), f"frames/frame_{f:04d}.vtu") for f in range(1, FRAMES)]
    with np.load(out / "frames" / "frame_0002.npz") as z:
        ids, u, v = z["point_indices"], z["u"].ravel(), z["v"].ravel()
        m = meshio.read(out / "frames" / "frame_0002.vtu")
        assert np.array_equal(m.points[:, :2], np.stack([z["x"].ravel()[ids], z["y"].ravel()[ids]], axis=1))
        assert np.array_equal(m.point_data["displacement"][:, :2], np.stack([u[ids], v[ids]], axis=1))
        assert np.array_equal(m.cells_dict["triangle"], z["faces"])
        assert np.array_equal(m.cell_data["Epc2"][0], z["Epc2"])
        assert m.cell_data["Emat"][0].shape == (len(z["faces"]), 9)
    for name in ["figures/summary.png"] + [f"figures/frame_{f:04d}.png" for f in range(1, FRAMES)]:
        assert (out / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n", name
    run = json.loads((out / "run.json").read_text())
    assert run["software"]["dicpipe"] and run["mode"] == "2d" and run["cameras"] == 1 and run["frames"] == FRAMES
    assert run["experiment"]["file"] == str(series[0])
    # The effective options: the file's keys over the default precision refinement.
    assert run["parameters"]["dic"] == {"subset_radius": 15, "subset_spacing": 5, **DIC_MODES["precision"]}
    assert run["results"] == {"ok": [1, 2, 3], "failed": {}}
    assert run["run"]["frames_computed"] == 3 and run["run"]["jobs"] == 1
    assert not list(out.rglob("*.part"))


# --------------------------------------------------------------------------
# Reruns
# --------------------------------------------------------------------------


def _stamps(out: Path) -> dict[str, int]:
    return {p.name: p.stat().st_mtime_ns for p in (out / "frames").iterdir()}


def test_rerun_keeps_complete_frames_and_recomputes_what_changed(series, tmp_path, capsys):
    exp = _copy_series(series, tmp_path / "exp")
    out = tmp_path / "out"
    args = ["run", str(exp), "--out", str(out), "--jobs", "1"]
    assert main(args + ["--quiet"]) == 0
    first = _stamps(out)
    capsys.readouterr()
    assert main(args) == 0
    assert "3 kept from an earlier run" in capsys.readouterr().out
    assert _stamps(out) == first
    # A missing output file or a changed image: only that frame again.
    (out / "frames" / "frame_0001.vtu").unlink()
    img = exp.parent / "cam0" / "frame_0003.tif"
    os.utime(img, ns=(img.stat().st_atime_ns, img.stat().st_mtime_ns + 10**9))
    assert main(args + ["--quiet"]) == 0
    now = _stamps(out)
    changed = {n for n in now if now[n] != first.get(n)}
    assert changed == {f"frame_{f:04d}.{ext}" for f in (1, 3) for ext in ("npz", "vtu", "json")}
    # A changed setting: every frame again.
    exp.write_text(exp.read_text().replace("subset_spacing = 5", "subset_spacing = 5\ncutoff_corrcoef = 0.7"))
    assert main(args + ["--quiet"]) == 0
    again = _stamps(out)
    assert all(again[n] != now[n] for n in now)
    # --force: every frame again, same settings.
    assert main(args + ["--quiet", "--force"]) == 0
    assert all(v != again[n] for n, v in _stamps(out).items())
    assert json.loads((out / "run.json").read_text())["run"]["frames_reused"] == 0


def test_output_options_turn_files_off(series, tmp_path):
    exp = _copy_series(series, tmp_path / "exp")
    exp.write_text(exp.read_text() + "figures = false\nvtu = false\n")
    assert main(["run", str(exp), "--quiet", "--jobs", "1"]) == 0
    out = exp.parent / "results"  # [output] dir, relative to the experiment file
    names = set(_all_files(out))
    assert "summary.csv" in names and "frames/frame_0001.npz" in names
    assert not any(n.endswith((".vtu", ".png", ".pvd")) for n in names)


# --------------------------------------------------------------------------
# Failed frames
# --------------------------------------------------------------------------


def test_a_frame_that_fails_is_reported_and_the_others_are_written(series, tmp_path, capsys):
    exp = _copy_series(series, tmp_path / "exp")
    out = tmp_path / "out"
    assert main(["run", str(exp), "--out", str(out), "--jobs", "1", "--quiet"]) == 0
    # Frame 2 becomes a picture of another specimen: its seed cannot be matched.
    w, h = SIZE
    save(exp.parent / "cam0" / "frame_0002.tif", render(w, h, motion_of(2, w, h, STRETCH, SHIFT), seed=99))
    capsys.readouterr()
    assert main(["run", str(exp), "--out", str(out), "--jobs", "1", "--quiet"]) == 1
    err = capsys.readouterr().err
    assert "1 of 3 frame(s) failed" in err and "frame 2" in err and err.count("\n") == 1
    rows = _summary(out)
    assert [r["status"] for r in rows] == ["ok", "failed", "ok"]
    assert "seed not found" in rows[1]["reason"] and rows[1]["mean_u_px"] == ""
    # The failed frame's earlier results are gone: nothing in the folder contradicts the summary.
    assert not any((out / rel).exists() for rel in ("frames/frame_0002.npz", "frames/frame_0002.json"))
    assert not (out / "figures" / "frame_0002.png").exists()
    assert [d.get("timestep") for d in ET.parse(out / "series.pvd").getroot().iter("DataSet")] == ["1", "3"]
    run = json.loads((out / "run.json").read_text())
    assert run["results"]["ok"] == [1, 3] and "seed not found" in run["results"]["failed"]["2"]
    # A rerun retries the failed frame only.
    before = _stamps(out)
    assert main(["run", str(exp), "--out", str(out), "--jobs", "1", "--quiet"]) == 1
    assert _stamps(out) == before


def test_large_motion_is_found_without_a_search_radius(tmp_path, capsys):
    # 62 px: beyond dic2d_cli's default seed search window of 50 px.
    exp, motions = write_series(
        tmp_path, frames=2, size=(300, 160), stretch=0.002, shift=(62.0, 3.0), roi="rectangle = [20, 24, 200, 136]"
    )
    assert main(["run", str(exp), "--jobs", "1", "--quiet"]) == 0
    with np.load(tmp_path / "results" / "frames" / "frame_0001.npz") as z:
        in_roi = (z["x"] >= 20) & (z["x"] < 200) & (z["y"] >= 24) & (z["y"] < 136)
        assert z["valid"].sum() >= 0.98 * in_roi.sum() and not (z["valid"] & ~in_roi).any()
        assert z["seed_corrcoef"] >= 0.9
        truth = motions[1].displacement(np.stack([z["x"][z["valid"]], z["y"][z["valid"]]], axis=1))
        assert np.abs(z["u"][z["valid"]] - truth[:, 0]).max() < 0.1
    # With the window fixed at 50 px the first search cannot reach the seed; the larger window that
    # follows finds it, and the field is the same.
    exp.write_text(exp.read_text().replace("subset_spacing = 5", "subset_spacing = 5\nseed_search_radius = 50"))
    assert main(["run", str(exp), "--jobs", "1", "--quiet"]) == 0
    with np.load(tmp_path / "results" / "frames" / "frame_0001.npz") as z:
        assert int(z["seed_search_radius"]) > 50 and z["seed_corrcoef"] >= 0.9
        truth = motions[1].displacement(np.stack([z["x"][z["valid"]], z["y"][z["valid"]]], axis=1))
        assert np.abs(z["u"][z["valid"]] - truth[:, 0]).max() < 0.1


def test_16_bit_png_series_with_mask_and_given_seed(tmp_path):
    mask = np.zeros((160, 200), np.uint8)
    mask[30:130, 30:170] = 255
    exp, motions = write_series(tmp_path, frames=2, suffix=".png", bits=16, roi='mask = "roi.png"\nseed = [96, 78]')
    save(tmp_path / "roi.png", mask.astype(float))
    assert main(["run", str(exp), "--jobs", "1", "--quiet"]) == 0
    with np.load(tmp_path / "results" / "frames" / "frame_0001.npz") as z:
        assert tuple(z["seed"]) == (96, 78)
        nodes_in_mask = mask[z["y"].astype(int), z["x"].astype(int)] > 0
        assert not (z["valid"] & ~nodes_in_mask).any() and z["valid"].sum() > 0.9 * nodes_in_mask.sum()
        truth = motions[1].displacement(np.stack([z["x"][z["valid"]], z["y"][z["valid"]]], axis=1))
        assert np.abs(z["v"][z["valid"]] - truth[:, 1]).max() < 0.05


# --------------------------------------------------------------------------
# Parallel runs give the same bytes
# --------------------------------------------------------------------------


def test_two_local_processes_give_identical_files(series, reference_run, tmp_path):
    exp, _ = series
    out = tmp_path / "jobs2"
    assert main(["run", str(exp), "--out", str(out), "--jobs", "2", "--quiet"]) == 0
    _assert_same_results(reference_run, out)
    assert json.loads((out / "run.json").read_text())["run"]["jobs"] == 2


@pytest.mark.slow
def test_dask_cluster_gives_identical_files(series, reference_run, tmp_path):
    distributed = pytest.importorskip("distributed")
    exp, _ = series
    out = tmp_path / "dask"
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=":0"
    ) as cluster:
        address = cluster.scheduler_address
        assert main(["run", str(exp), "--out", str(out), "--scheduler", address, "--quiet"]) == 0
    _assert_same_results(reference_run, out)
    assert json.loads((out / "run.json").read_text())["run"]["scheduler"] == address


# --------------------------------------------------------------------------
# The command as a process: interruption leaves only whole files
# --------------------------------------------------------------------------


def _command(*args, **kwargs):
    env = dict(os.environ, PYTHONPATH=str(REPO_ROOT / "python"))
    return subprocess.Popen(
        [sys.executable, "-m", "dicpipe", *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs
    )


@pytest.mark.parametrize("sig", [signal.SIGKILL, signal.SIGTERM], ids=["kill", "term"])
def test_interrupted_run_leaves_whole_files_and_a_rerun_completes(series, reference_run, tmp_path, sig):
    exp, _ = series
    out = tmp_path / "out"
    proc = _command("run", str(exp), "--out", str(out), "--jobs", "1", "--quiet")
    deadline = time.monotonic() + 180  # generous: the machine may be busy
    while not (out / "frames" / "frame_0001.json").exists():
        assert proc.poll() is None and time.monotonic() < deadline, "no frame finished"
        time.sleep(0.01)
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=60)
    if proc.returncode == 0:
        pytest.skip("the run finished before the signal arrived")
    assert proc.returncode == (-signal.SIGKILL if sig == signal.SIGKILL else 128 + signal.SIGTERM)
    if sig == signal.SIGTERM:
        assert b"Traceback" not in err
        assert not list(out.rglob("*.part")), "temporary files must be removed on termination"
    # Every result file present is whole.
    for p in out.rglob("*.npz"):
        with np.load(p) as z:
            assert "u" in z.files
    for p in (out / "frames").glob("*.json"):
        json.loads(p.read_text())
    assert main(["run", str(exp), "--out", str(out), "--jobs", "1", "--quiet"]) == 0
    assert not list(out.rglob("*.part"))
    _assert_same_results(reference_run, out)


def test_python_m_dicpipe_and_help(tmp_path):
    proc = _command("--help")
    out, _ = proc.communicate(timeout=60)
    assert proc.returncode == 0 and b"run" in out
    proc = _command("run", "--help")
    out, _ = proc.communicate(timeout=60)
    assert proc.returncode == 0 and b"--scheduler" in out and b"summary.csv" in out
