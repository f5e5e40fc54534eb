"""Bad input stops `dicpipe run` before anything is written: exit status 2 and one line naming the file or key."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import tifffile
from conftest import REPO_ROOT
from speckle_series import write_series

from dicpipe.command import main


@pytest.fixture(scope="module")
def template(tmp_path_factory):
    folder = tmp_path_factory.mktemp("template")
    write_series(folder, frames=3)
    return folder


@pytest.fixture
def exp(template, tmp_path) -> Path:
    shutil.copytree(template, tmp_path / "exp")
    return tmp_path / "exp" / "experiment.toml"


def _edit(exp: Path, old: str, new: str) -> None:
    text = exp.read_text()
    assert old in text
    exp.write_text(text.replace(old, new))


def _two_cameras(exp: Path, frames: int) -> None:
    cam1 = exp.parent / "cam1"
    cam1.mkdir()
    for f in range(frames):
        shutil.copy(exp.parent / "cam0" / "frame_0000.tif", cam1 / f"frame_{f:04d}.tif")
    (exp.parent / "calibration.json").write_text("{}")
    _edit(exp, '"cam0/*.tif"]', '"cam0/*.tif", "cam1/*.tif"]\n[calibration]\nfile = "calibration.json"')


def _mask(exp: Path, mask: np.ndarray) -> None:
    from PIL import Image

    Image.fromarray(mask.astype(np.uint8) * 255).save(exp.parent / "roi.png")
    _edit(exp, "rectangle = [24, 24, 176, 136]", 'mask = "roi.png"')


CASES = {
    # name: (change to the experiment, words of the message)
    "empty-glob": (lambda e: _edit(e, "cam0/*.tif", "cam0/*.png"), ['cameras[0] = "cam0/*.png"', "matches no file"]),
    "missing-folder": (lambda e: _edit(e, "cam0/*.tif", "nowhere/*.tif"), ["nowhere/*.tif", "matches no file"]),
    "frame-counts": (lambda e: _two_cameras(e, 2), ["cameras[1]", "2 images", "3"]),
    "size-differs": (
        lambda e: tifffile.imwrite(e.parent / "cam0" / "frame_0002.tif", np.zeros((160, 199), np.uint8)),
        ["frame_0002.tif", "199 x 160", "reference", "200 x 160"],
    ),
    "not-an-image": (
        lambda e: (e.parent / "cam0" / "frame_0001.tif").write_text("hello"),
        ["frame_0001.tif", "not a TIFF or PNG image"],
    ),
    "truncated-image": (
        lambda e: (e.parent / "cam0" / "frame_0002.tif").write_bytes(
            (e.parent / "cam0" / "frame_0002.tif").read_bytes()[:5000]
        ),
        ["frame_0002.tif", "truncated"],
    ),
    "colour-image": (
        lambda e: tifffile.imwrite(e.parent / "cam0" / "frame_0001.tif", np.zeros((160, 200, 3), np.uint8)),
        ["frame_0001.tif", "colour"],
    ),
    "unreadable-reference": (
        lambda e: (e.parent / "cam0" / "frame_0000.tif").write_bytes(b"II*\x00garbage"),
        ["frame_0000.tif", "unreadable TIFF"],
    ),
    "rectangle-outside": (
        lambda e: _edit(e, "[24, 24, 176, 136]", "[24, 24, 201, 136]"),
        ["[roi] rectangle", "outside", "200 x 160"],
    ),
    "polygon-outside": (
        lambda e: _edit(e, "rectangle = [24, 24, 176, 136]", "polygon = [[10, 10], [250, 10], [100, 100]]"),
        ["[roi] polygon[1]", "outside"],
    ),
    "polygon-empty": (
        lambda e: _edit(e, "rectangle = [24, 24, 176, 136]", "polygon = [[10.2, 10.2], [10.8, 10.2], [10.5, 10.8]]"),
        ["[roi] polygon", "empty"],
    ),
    "mask-empty": (lambda e: _mask(e, np.zeros((160, 200), bool)), ["roi.png", "empty"]),
    "mask-size": (lambda e: _mask(e, np.ones((100, 200), bool)), ["roi.png", "200 x 100", "200 x 160"]),
    "roi-too-small": (
        lambda e: _edit(e, "[24, 24, 176, 136]", "[80, 60, 120, 100]"),
        ["[roi]", "1600 pixels", "roi_min_region_area"],
    ),
    "roi-at-border": (
        lambda e: _edit(e, "[24, 24, 176, 136]", "[0, 0, 200, 12]"),
        ["[roi]", "subset_radius = 15", "border"],
    ),
    "seed-off-grid": (lambda e: _edit(e, "136]", "136]\nseed = [97, 78]"), ["[roi] seed [97, 78]", "multiples of 6"]),
    "seed-outside-roi": (lambda e: _edit(e, "136]", "136]\nseed = [6, 6]"), ["[roi] seed [6, 6]", "not inside"]),
    "unknown-key": (lambda e: _edit(e, "subset_spacing = 5", "subset_spacing = 5\nsubset_size = 3"), ['"subset_size"']),
    "wrong-type": (lambda e: _edit(e, "subset_radius = 15", 'subset_radius = "15"'), ["[dic] subset_radius"]),
    "bad-toml": (lambda e: _edit(e, "[dic]", "[dic"), ["not valid TOML"]),
    "nan-in-reference": (
        lambda e: tifffile.imwrite(
            e.parent / "cam0" / "frame_0000.tif", np.where(np.eye(160, 200) > 0, np.nan, 100.0).astype(np.float32)
        ),
        ["frame_0000.tif", "non-finite"],
    ),
    "untextured-roi": (
        lambda e: tifffile.imwrite(
            e.parent / "cam0" / "frame_0000.tif", (np.arange(200)[None, :] * np.ones((160, 1))).astype(np.uint8)
        ),
        ["[roi]", "no region", "texture", "max_predicted_std_px"],
    ),
    "seed-without-texture": (
        lambda e: (
            _edit(e, "136]", "136]\nseed = [96, 78]"),
            tifffile.imwrite(
                e.parent / "cam0" / "frame_0000.tif",
                np.where(
                    np.abs(np.arange(200) - 96)[None, :] < 30,
                    100,
                    tifffile.imread(e.parent / "cam0" / "frame_0000.tif"),
                ).astype(np.uint8),
            ),
        ),
        ["[roi] seed [96, 78]", "predicted precision"],
    ),
}


@pytest.mark.parametrize("name", list(CASES))
def test_bad_input_exits_2_with_one_line_and_writes_nothing(exp, capsys, name):
    change, words = CASES[name]
    change(exp)
    out = exp.parent / "results"
    assert main(["run", str(exp), "--jobs", "1"]) == 2
    captured = capsys.readouterr()
    assert captured.out == ""
    err = captured.err
    assert err.startswith("dicpipe: error: ") and err.count("\n") == 1, err
    for w in words:
        assert w in err, err
    assert not out.exists(), "nothing may be written for bad input"


def test_unusable_calibration_file(exp, capsys):
    _two_cameras(exp, 3)  # its calibration file holds "{}"
    assert main(["run", str(exp)]) == 2
    err = capsys.readouterr().err
    assert "calibration.json" in err and err.count("\n") == 1 and "Traceback" not in err
    assert not (exp.parent / "results").exists()


def test_unreachable_scheduler_writes_nothing(exp, capsys):
    import socket

    with socket.socket() as s:  # a free port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    assert main(["run", str(exp), "--scheduler", f"tcp://127.0.0.1:{port}", "--quiet"]) == 2
    err = capsys.readouterr().err
    assert f"tcp://127.0.0.1:{port}" in err and err.count("\n") == 1
    assert not (exp.parent / "results").exists()


def test_output_path_that_is_a_file(exp, capsys):
    (exp.parent / "taken").write_text("x")
    assert main(["run", str(exp), "--out", str(exp.parent / "taken"), "--jobs", "1"]) == 2
    err = capsys.readouterr().err
    assert "taken" in err and err.count("\n") == 1
    assert (exp.parent / "taken").read_text() == "x"


def test_as_a_process_no_traceback(tmp_path):
    exp = tmp_path / "e.toml"
    exp.write_text('[images]\ncameras = ["x/*.tif"]\n[roi]\nrectangle = [0, 0, 5, 5]\n')
    env = dict(os.environ, PYTHONPATH=str(REPO_ROOT / "python"))
    proc = subprocess.run([sys.executable, "-m", "dicpipe", "run", str(exp)], capture_output=True, env=env, text=True)
    assert proc.returncode == 2 and proc.stdout == ""
    assert proc.stderr == f'dicpipe: error: {exp}: [images] cameras[0] = "x/*.tif" matches no file\n'
    bad_args = subprocess.run(
        [sys.executable, "-m", "dicpipe", "run", str(exp), "--jobs", "0"], capture_output=True, env=env, text=True
    )
    assert bad_args.returncode == 2 and "--jobs" in bad_args.stderr and "Traceback" not in bad_args.stderr
