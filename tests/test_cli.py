"""dic2d_cli front end: argument pairing, options and conversions, the report
line, exit statuses and the output file, observed through the real program."""

from __future__ import annotations

import json
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest

WIDTH, HEIGHT = 100, 80


def speckle(width: int, height: int, seed: int, shift=(0.0, 0.0)) -> np.ndarray:
    """Analytic Gaussian spots, indexed [y, x], shifted exactly by `shift`."""
    rng = np.random.default_rng(seed)
    cx = rng.uniform(-5, width + 5, 400)
    cy = rng.uniform(-5, height + 5, 400)
    y, x = np.mgrid[0:height, 0:width].astype(float)
    x = x - shift[0]
    y = y - shift[1]
    out = np.zeros((height, width))
    for a, b in zip(cx, cy):
        out += np.exp(-((x - a) ** 2 + (y - b) ** 2) / 8.0)
    return out


def write_image(path: Path, image: np.ndarray) -> None:
    height, width = image.shape
    path.write_bytes(struct.pack("<ii", width, height) + np.ascontiguousarray(image.T, "<f8").tobytes())


def write_mask(path: Path, mask: np.ndarray) -> None:
    height, width = mask.shape
    path.write_bytes(struct.pack("<ii", width, height) + np.ascontiguousarray(mask.T, np.uint8).tobytes())


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, Path]:
    root = tmp_path_factory.mktemp("cli")
    paths = {"reference": root / "ref.bin", "deformed": root / "def.bin", "mask": root / "mask.bin"}
    write_image(paths["reference"], speckle(WIDTH, HEIGHT, 3))
    write_image(paths["deformed"], speckle(WIDTH, HEIGHT, 3, shift=(1.4, -0.6)))
    write_mask(paths["mask"], np.ones((HEIGHT, WIDTH), np.uint8))
    return paths


def run(cli: str, *args: str) -> tuple[int, dict, str]:
    proc = subprocess.run([cli, *args], capture_output=True, timeout=120)
    assert proc.stderr == b"", proc.stderr
    text = proc.stdout.decode("utf-8", errors="surrogateescape")
    assert text.endswith("\n") and text.count("\n") == 1, text
    return proc.returncode, json.loads(text), text


def base_args(files: dict[str, Path], **overrides: str) -> list[str]:
    options = {
        "reference": str(files["reference"]),
        "deformed": str(files["deformed"]),
        "mask": str(files["mask"]),
        "subset-radius": "15",
        "subset-spacing": "4",
        "seed-x": "50",
        "seed-y": "40",
    }
    options.update(overrides)
    args: list[str] = []
    for key, value in options.items():
        args += [f"--{key}", value]
    return args


def fails_with(cli: str, args: list[str], message: str) -> None:
    status, report, text = run(cli, *args)
    assert status == 1
    assert report == {"ok": False, "error": message}, text
    assert text.startswith('{"ok":false,"error":')


def test_success_line_members_order_and_output(dic2d_cli, files, tmp_path):
    out = tmp_path / "field.bin"
    status, report, text = run(dic2d_cli, *base_args(files), "--output", str(out))
    assert status == 0
    assert list(report) == [
        "ok",
        "output_schema_version",
        "message",
        "reduced_width",
        "reduced_height",
        "roi_region_count",
        "seed_region",
        "seed_paramvector",
        "reference_grid_points",
        "valid_points",
    ]
    assert " " not in text.replace(report["message"], "")
    assert report["ok"] is True and report["output_schema_version"] == 2
    assert report["message"] == (
        "Reduced-grid DIC2D displacement field computed with no-GUI RG propagation "
        "and six-parameter affine IC-GN refinement."
    )
    assert (report["reduced_width"], report["reduced_height"]) == (20, 16)
    # x in 15..80 (x < 85), y in 15..60 (y < 65), step 5.
    assert report["reference_grid_points"] == 14 * 10
    seed = report["seed_paramvector"]
    assert len(seed) == 9 and seed[:2] == [50, 40]
    assert seed[2] == pytest.approx(1.4, abs=0.02) and seed[3] == pytest.approx(-0.6, abs=0.02)

    data = out.read_bytes()
    n = 20 * 16
    assert len(data) == 8 + 89 * n
    assert struct.unpack("<ii", data[:8]) == (20, 16)
    fields = np.frombuffer(data, "<f8", count=11 * n, offset=8).reshape(11, n)
    valid = np.frombuffer(data, np.uint8, offset=8 + 88 * n)
    assert int(valid.sum()) == report["valid_points"] > 100
    # Cell (gx, gy) at gx * reduced_height + gy holds pixel (5 gx, 5 gy).
    gx, gy = np.divmod(np.arange(n), 16)
    has_point = fields[0] != 0
    assert np.all(fields[0][has_point] == 5 * gx[has_point])
    assert np.all(fields[1][has_point] == 5 * gy[has_point])
    solved = valid == 1
    assert np.allclose(fields[2][solved], fields[0][solved] + fields[4][solved])
    assert np.all(fields[2:][:, ~solved] == 0)


def test_without_output_no_file_is_created(dic2d_cli, files, tmp_path):
    before = set(tmp_path.iterdir())
    status, report, _ = run(dic2d_cli, *base_args(files))
    assert status == 0 and report["ok"] is True
    assert set(tmp_path.iterdir()) == before


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "Missing required argument: --reference"),
        (["reference", "x"], "Arguments must be provided as --key value pairs."),
        (["--reference"], "Arguments must be provided as --key value pairs."),
        (["--foo", "1", "--bar"], "Arguments must be provided as --key value pairs."),
        (["--foo", "1", "bar"], "Arguments must be provided as --key value pairs."),
        (["--reference", "/nonexistent/ref.bin"], "Could not open image binary: /nonexistent/ref.bin"),
    ],
)
def test_pairing_and_required_options(dic2d_cli, args, message):
    fails_with(dic2d_cli, args, message)


def test_each_file_is_loaded_before_the_next_key_is_looked_up(dic2d_cli, files):
    fails_with(dic2d_cli, ["--reference", str(files["reference"])], "Missing required argument: --deformed")
    fails_with(
        dic2d_cli,
        ["--reference", str(files["reference"]), "--deformed", str(files["deformed"])],
        "Missing required argument: --mask",
    )
    fails_with(
        dic2d_cli,
        ["--reference", str(files["reference"]), "--deformed", str(files["deformed"]), "--mask", "/no/mask"],
        "Could not open mask binary: /no/mask",
    )


@pytest.mark.parametrize(
    "overrides, message",
    [
        ({"subset-radius": "9abc"}, "subset_radius must be at least 10."),  # strtol stops at 'a'
        ({"subset-radius": "abc"}, "stoi"),
        ({"subset-radius": "3000000000"}, "stoi"),
        ({"subset-radius": "-2147483649"}, "stoi"),
        ({"cutoff-diffnorm": "1e-400"}, "stod"),
        ({"cutoff-diffnorm": "1e400"}, "stod"),
        ({"cutoff-diffnorm": "x"}, "stod"),
        ({"cutoff-diffnorm": "0x1p-6"}, "cutoff_diffnorm must be in (0, 1e-2]."),  # hex float 0.015625
        ({"cutoff-diffnorm": "0"}, "cutoff_diffnorm must be in (0, 1e-2]."),
        ({"cutoff-iteration": "4"}, "cutoff_iteration must be at least 5."),
        ({"num-threads": "0"}, "num_threads must be positive."),
        ({"units-per-pixel": "0"}, "units_per_pixel must be positive."),
        ({"seed-search-radius": "-1"}, "seed_search_radius must be non-negative."),
        ({"rg-search-radius": "-1"}, "rg_search_radius must be non-negative."),
        ({"roi-min-region-area": "-1"}, "roi_min_region_area must be non-negative."),
        ({"seed-x": "51"}, "Seed point must be aligned to the reduced grid."),
        ({"seed-x": "50.4"}, "Seed point must be aligned to the reduced grid."),
        ({"seed-x": "99.6"}, "Seed point must be finite, in bounds, and inside the ROI mask."),
        ({"seed-x": "nan"}, "Seed point must be finite, in bounds, and inside the ROI mask."),
        ({"seed-x": "-40"}, "Seed point must be finite, in bounds, and inside the ROI mask."),
        # The seed checks come before the cutoff check; the spacing check before the seed.
        ({"seed-x": "1e12", "cutoff-diffnorm": "1"}, "Seed point must be finite, in bounds, and inside the ROI mask."),
        ({"subset-spacing": "-3", "seed-x": "1e12"}, "subset_spacing must be non-negative."),
        # Options are read in table order: the first conversion failure wins.
        ({"subset-radius": "x", "cutoff-diffnorm": "x"}, "stoi"),
        ({"lenscoef": "x", "cutoff-corrcoef": "1e999"}, "stod"),
    ],
)
def test_conversions_and_validation_messages(dic2d_cli, files, overrides, message):
    fails_with(dic2d_cli, base_args(files, **overrides), message)


def test_last_occurrence_wins_and_unknown_keys_are_ignored(dic2d_cli, files):
    args = base_args(files) + ["--subset-radius", "3", "--subset-radius", "15", "--foo", "--bar", "--", "x"]
    status, report, _ = run(dic2d_cli, *args)
    assert status == 0 and report["reference_grid_points"] == 140


@pytest.mark.parametrize(
    "value, truncated", [("1", True), ("true", True), ("True", True), ("TRUE", False), ("yes", False), ("0", False)]
)
def test_subset_truncation_flag(dic2d_cli, files, value, truncated):
    status, report, _ = run(dic2d_cli, *base_args(files, **{"subset-truncation": value}))
    assert status == 0
    assert report["reference_grid_points"] == (20 * 16 if truncated else 140)


def test_observation_and_lens_options_change_nothing(dic2d_cli, files, tmp_path):
    a, b = tmp_path / "a.bin", tmp_path / "b.bin"
    _, report_a, _ = run(dic2d_cli, *base_args(files), "--output", str(a))
    _, report_b, _ = run(
        dic2d_cli, *base_args(files, **{"obs-x": "3", "obs-y": "7", "lenscoef": "0.5"}), "--output", str(b)
    )
    assert report_a == report_b
    assert a.read_bytes() == b.read_bytes()


def test_defaults_apply_without_options(dic2d_cli, tmp_path):
    # Default radius 20 and spacing 5 (step 6) on a 130 x 130 image.
    for name, image in (("r.bin", speckle(130, 130, 5)), ("d.bin", speckle(130, 130, 5))):
        write_image(tmp_path / name, image)
    write_mask(tmp_path / "m.bin", np.ones((130, 130), np.uint8))
    status, report, _ = run(
        dic2d_cli,
        "--reference",
        str(tmp_path / "r.bin"),
        "--deformed",
        str(tmp_path / "d.bin"),
        "--mask",
        str(tmp_path / "m.bin"),
        "--seed-x",
        "60",
        "--seed-y",
        "60",
        "--roi-min-region-area",
        "0",
    )
    assert status == 0
    assert (report["reduced_width"], report["reduced_height"]) == (22, 22)
    assert report["reference_grid_points"] == 15 * 15  # 24, 30, ..., 108
    assert report["valid_points"] == 225
    assert report["seed_paramvector"][8] == pytest.approx(1.0, abs=1e-9)


def test_error_text_with_control_bytes_is_valid_json(dic2d_cli, tmp_path):
    path = str(tmp_path / 'we\tird"na\\me\nwith\rcontrol\x01')
    proc = subprocess.run([dic2d_cli, "--reference", path], capture_output=True, timeout=30)
    line = proc.stdout.decode()
    assert proc.returncode == 1 and line.count("\n") == 1
    assert "\\t" in line and '\\"' in line and "\\\\" in line and "\\n" in line and "\\u0001" in line.lower()
    assert json.loads(line) == {"ok": False, "error": "Could not open image binary: " + path}


def test_failed_write_keeps_an_earlier_output(dic2d_cli, files, tmp_path):
    out = tmp_path / "field.bin"
    out.write_bytes(b"earlier result")
    fails_with(
        dic2d_cli,
        base_args(files, **{"seed-x": "51"}) + ["--output", str(out)],
        "Seed point must be aligned to the reduced grid.",
    )
    assert out.read_bytes() == b"earlier result"
    missing = tmp_path / "no" / "such" / "dir" / "x.bin"
    fails_with(dic2d_cli, base_args(files) + ["--output", str(missing)], f"Could not open output binary: {missing}")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["field.bin"]
