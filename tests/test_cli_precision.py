"""dic2d_cli's precision options: the zero-normalised criterion, cubic B-spline
interpolation with inverse-compositional Gauss-Newton, Gaussian smoothing and
the seed displacement guess; observed through the real program."""

from __future__ import annotations

import json
import subprocess
from pathlib import Path

import numpy as np
import pytest
from conftest import assert_close

from dicpipe.files import read_output, write_image, write_mask

WIDTH, HEIGHT = 120, 100
SHIFT = (1.37, -0.62)


def speckle(width: int, height: int, seed: int, shift=(0.0, 0.0), spots: int = 600) -> np.ndarray:
    """Analytic Gaussian spots, indexed [y, x], moved exactly by `shift`."""
    rng = np.random.default_rng(seed)
    cx = rng.uniform(-5, width + 5, spots)
    cy = rng.uniform(-5, height + 5, spots)
    y, x = np.mgrid[0:height, 0:width].astype(float)
    x = x - shift[0]
    y = y - shift[1]
    out = np.full((height, width), 20.0)
    for a, b in zip(cx, cy):
        out += 120.0 * np.exp(-((x - a) ** 2 + (y - b) ** 2) / 6.0)
    return out


def run(cli: str, args: list[str]) -> tuple[int, dict]:
    proc = subprocess.run([cli, *args], capture_output=True, timeout=120)
    assert proc.stderr == b""
    text = proc.stdout.decode()
    assert text.endswith("\n") and text.count("\n") == 1, text
    return proc.returncode, json.loads(text)


@pytest.fixture(scope="module")
def pair(tmp_path_factory) -> dict[str, Path]:
    root = tmp_path_factory.mktemp("precision")
    reference = speckle(WIDTH, HEIGHT, 7)
    deformed = speckle(WIDTH, HEIGHT, 7, SHIFT)
    paths = {
        "reference": root / "ref.bin",
        "deformed": root / "def.bin",
        "lit": root / "lit.bin",
        "mask": root / "mask.bin",
        "root": root,
    }
    write_image(paths["reference"], reference)
    write_image(paths["deformed"], deformed)
    write_image(paths["lit"], 1.3 * deformed + 25.0)
    write_mask(paths["mask"], np.ones((HEIGHT, WIDTH), np.uint8))
    return paths


def args_for(pair: dict[str, Path], output: Path | None, deformed: str = "deformed", **options) -> list[str]:
    args = ["--reference", str(pair["reference"]), "--deformed", str(pair[deformed]), "--mask", str(pair["mask"])]
    args += ["--subset-radius", "15", "--subset-spacing", "4", "--seed-x", "60", "--seed-y", "50"]
    for key, value in options.items():
        args += ["--" + key.replace("_", "-"), str(value)]
    if output is not None:
        args += ["--output", str(output)]
    return args


def solve(cli: str, pair: dict[str, Path], name: str, **options):
    out = pair["root"] / f"{name}.bin"
    status, report = run(cli, args_for(pair, out, **options))
    assert status == 0, report
    return report, out


class TestDefaultsUnchanged:
    def test_explicit_defaults_write_the_same_bytes(self, dic2d_cli, pair):
        plain_report, plain = solve(dic2d_cli, pair, "plain")
        explicit_report, explicit = solve(
            dic2d_cli,
            pair,
            "explicit",
            criterion="ssd",
            interpolation="bilinear",
            seed_guess_u="0",
            seed_guess_v="-0.4",  # rounds to 0: today's window
            smoothing_sigma="0",
        )
        assert plain.read_bytes() == explicit.read_bytes()
        assert plain_report == explicit_report

    def test_precision_mode_changes_the_field(self, dic2d_cli, pair):
        _, plain = solve(dic2d_cli, pair, "plain2")
        _, precise = solve(dic2d_cli, pair, "precise2", criterion="znssd", interpolation="bspline3")
        assert plain.read_bytes() != precise.read_bytes()


class TestOptionMessages:
    @pytest.mark.parametrize(
        "key, value, message",
        [
            ("criterion", "zncc", "criterion must be ssd or znssd."),
            ("criterion", "SSD", "criterion must be ssd or znssd."),
            ("interpolation", "bicubic", "interpolation must be bilinear or bspline3."),
            ("interpolation", "", "interpolation must be bilinear or bspline3."),
            ("smoothing-sigma", "-0.5", "smoothing_sigma must be in [0, 10]."),
            ("smoothing-sigma", "nan", "smoothing_sigma must be in [0, 10]."),
            ("smoothing-sigma", "10.5", "smoothing_sigma must be in [0, 10]."),
            ("seed-guess-u", "inf", "seed_guess_u must be finite and at most 1e9 in magnitude."),
            ("seed-guess-v", "-2e9", "seed_guess_v must be finite and at most 1e9 in magnitude."),
        ],
        ids=[
            "criterion-unknown",
            "criterion-case",
            "interpolation-unknown",
            "interpolation-empty",
            "sigma-negative",
            "sigma-nan",
            "sigma-large",
            "guess-u-infinite",
            "guess-v-large",
        ],
    )
    def test_bad_value_is_reported(self, dic2d_cli, pair, key, value, message):
        status, report = run(dic2d_cli, [*args_for(pair, None), f"--{key}", value])
        assert status == 1
        assert report == {"ok": False, "error": message}

    def test_real_conversion_failure_keeps_its_message(self, dic2d_cli, pair):
        status, report = run(dic2d_cli, [*args_for(pair, None), "--seed-guess-u", "abc"])
        assert (status, report) == (1, {"ok": False, "error": "stod"})


class TestPrecisionMode:
    def test_more_accurate_than_the_default_on_a_sub_pixel_shift(self, dic2d_cli, pair):
        errors = {}
        for name, options in {
            "default": {},
            "precision": {"criterion": "znssd", "interpolation": "bspline3"},
        }.items():
            _, out = solve(dic2d_cli, pair, f"acc_{name}", **options)
            field = read_output(out)
            ok = field.valid
            assert ok.sum() > 50
            err = np.hypot(field.u[ok] - SHIFT[0], field.v[ok] - SHIFT[1])
            errors[name] = float(np.sqrt(np.mean(err**2)))
        assert errors["precision"] < 0.002
        assert errors["precision"] < errors["default"] / 2

    def test_gain_and_offset_of_the_deformed_image_change_nothing(self, dic2d_cli, pair):
        options = {"criterion": "znssd", "interpolation": "bspline3"}
        _, plain = solve(dic2d_cli, pair, "gain_plain", **options)
        _, lit = solve(dic2d_cli, pair, "gain_lit", deformed="lit", **options)
        a = read_output(plain)
        b = read_output(lit)
        assert np.array_equal(a.valid, b.valid)
        for key in ("u", "v"):
            assert_close(getattr(b, key), getattr(a, key), rel=0.0, abs_=1e-6)
        assert_close(b.corrcoef, a.corrcoef, rel=0.0, abs_=1e-9)

    def test_ssd_with_bspline_is_not_lighting_invariant(self, dic2d_cli, pair):
        options = {"criterion": "ssd", "interpolation": "bspline3"}
        _, plain = solve(dic2d_cli, pair, "ssd_plain", **options)
        _, lit = solve(dic2d_cli, pair, "ssd_lit", deformed="lit", **options)
        a = read_output(plain)
        b = read_output(lit)
        both = a.valid & b.valid
        assert np.max(np.abs(a.u[both] - b.u[both])) > 1e-4

    def test_smoothing_keeps_the_shift(self, dic2d_cli, pair):
        _, out = solve(dic2d_cli, pair, "smooth", criterion="znssd", interpolation="bspline3", smoothing_sigma="0.8")
        field = read_output(out)
        ok = field.valid
        assert abs(float(np.mean(field.u[ok])) - SHIFT[0]) < 0.002
        assert abs(float(np.mean(field.v[ok])) - SHIFT[1]) < 0.002


@pytest.fixture(scope="module")
def disparity(tmp_path_factory) -> dict[str, Path]:
    """A 300 px shift along x: the content of the left strip reappears 300 px to the right."""
    root = tmp_path_factory.mktemp("disparity")
    width, height = 460, 90
    scene = speckle(width + 300, height, 11, spots=2400)
    reference = scene[:, 300:]
    deformed = scene[:, :width]  # deformed(x) = scene(x) = reference(x - 300)
    mask = np.zeros((height, width), np.uint8)
    mask[:, 20:140] = 1
    paths = {"reference": root / "ref.bin", "deformed": root / "def.bin", "mask": root / "mask.bin"}
    write_image(paths["reference"], reference)
    write_image(paths["deformed"], deformed)
    write_mask(paths["mask"], mask)
    return paths


class TestSeedGuess:
    def common(self, files: dict[str, Path]) -> list[str]:
        return [
            "--reference", str(files["reference"]), "--deformed", str(files["deformed"]),
            "--mask", str(files["mask"]), "--subset-radius", "15", "--subset-spacing", "4",
            "--roi-min-region-area", "100", "--seed-x", "80", "--seed-y", "45",
        ]  # fmt: skip

    def test_guess_centres_the_default_window_on_the_disparity(self, dic2d_cli, disparity):
        status, report = run(dic2d_cli, [*self.common(disparity), "--seed-guess-u", "296.6", "--seed-guess-v", "2.2"])
        assert status == 0, report
        seed = report["seed_paramvector"]
        assert abs(seed[2] - 300.0) < 0.01 and abs(seed[3]) < 0.01
        assert seed[8] > 0.99
        assert report["valid_points"] > 100

    def test_without_the_guess_the_window_misses_it(self, dic2d_cli, disparity):
        status, report = run(dic2d_cli, self.common(disparity))
        assert status == 0, report
        seed = report["seed_paramvector"]
        assert abs(seed[2] - 300.0) > 200.0
