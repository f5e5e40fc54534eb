"""dicpipe file helpers: byte layouts, element order, validation, picture conversion, run errors."""

from __future__ import annotations

import struct
import sys

import numpy as np
import pytest
from conftest import assert_close
from PIL import Image

from dicpipe import files
from dicpipe.dic2d import Dic2dError, build_command, parse_report, run_dic2d


def test_image_bytes_follow_x_major_layout(tmp_path):
    # width 3, height 2: the file order is (0,0), (0,1), (1,0), (1,1), (2,0), (2,1).
    img = np.array([[0.5, 1.5, 2.5], [-3.0, 4.25, 1e300]])  # [y, x]
    files.write_image(tmp_path / "i.bin", img)
    raw = (tmp_path / "i.bin").read_bytes()
    assert struct.unpack("<ii", raw[:8]) == (3, 2)
    values = struct.unpack("<6d", raw[8:])
    assert values == (0.5, -3.0, 1.5, 4.25, 2.5, 1e300)
    assert len(raw) == 8 + 8 * 6
    back = files.read_image(tmp_path / "i.bin")
    assert back.dtype == np.float64 and back.shape == (2, 3)
    assert np.array_equal(back, img)


def test_mask_bytes_and_nonzero_inside(tmp_path):
    mask = np.array([[0, 2, 255], [1, 0, 0]], dtype=np.int64)
    files.write_mask(tmp_path / "m.bin", mask)
    raw = (tmp_path / "m.bin").read_bytes()
    assert struct.unpack("<ii", raw[:8]) == (3, 2)
    assert raw[8:] == bytes([0, 1, 1, 0, 1, 0])
    # Bytes other than 1 count as inside when read back.
    (tmp_path / "m2.bin").write_bytes(raw[:8] + bytes([0, 7, 200, 0, 1, 0]))
    assert np.array_equal(files.read_mask(tmp_path / "m2.bin"), mask != 0)


@pytest.mark.parametrize("shape", [(1, 1), (7, 3), (3, 7), (16, 16)])
def test_image_round_trip_random(tmp_path, shape):
    rng = np.random.default_rng(sum(shape))
    img = rng.normal(size=shape) * 1e3
    files.write_image(tmp_path / "i.bin", img)
    assert np.array_equal(files.read_image(tmp_path / "i.bin"), img)
    # Element (x, y) of the flat order is x * height + y.
    flat = files.to_file_order(img)
    h, w = shape
    for x, y in [(0, 0), (w - 1, 0), (0, h - 1), (w - 1, h - 1)]:
        assert flat[x * h + y] == img[y, x]
    assert np.array_equal(files.from_file_order(flat, w, h), img)


def _output_bytes(rw, rh, arrays, flags):
    return struct.pack("<ii", rw, rh) + b"".join(a.astype("<f8").tobytes() for a in arrays) + flags.tobytes()


def test_read_output_matches_documented_layout(tmp_path):
    rw, rh = 4, 3
    n = rw * rh
    # Field k of cell (gx, gy) holds 1000 k + 10 gx + gy, at element gx * rh + gy.
    gx, gy = np.divmod(np.arange(n), rh)
    arrays = [1000.0 * k + 10 * gx + gy for k in range(11)]
    flags = ((gx + gy) % 2).astype(np.uint8)
    path = tmp_path / "o.bin"
    path.write_bytes(_output_bytes(rw, rh, arrays, flags))
    assert path.stat().st_size == 8 + 89 * n
    f = files.read_output(path)
    assert (f.reduced_width, f.reduced_height) == (rw, rh)
    rows, cols = np.mgrid[0:rh, 0:rw]
    for k, name in enumerate(files.OUTPUT_FIELDS):
        a = getattr(f, name)
        assert a.shape == (rh, rw)
        assert np.array_equal(a, 1000.0 * k + 10 * cols + rows), name
    assert f.valid.dtype == np.bool_
    assert np.array_equal(f.valid, (rows + cols) % 2 == 1)
    # And back to the same bytes.
    files.write_output(tmp_path / "o2.bin", f)
    assert (tmp_path / "o2.bin").read_bytes() == path.read_bytes()


def test_read_output_empty_grid(tmp_path):
    (tmp_path / "o.bin").write_bytes(struct.pack("<ii", 0, 5))
    f = files.read_output(tmp_path / "o.bin")
    assert f.u.shape == (5, 0) and f.valid_count == 0


@pytest.mark.parametrize("reader,element", [(files.read_image, 8), (files.read_mask, 1)])
@pytest.mark.parametrize(
    "case,match",
    [
        ("short_header", "shorter than its 8-byte header"),
        ("truncated", "needs exactly"),
        ("trailing", "needs exactly"),
        ("zero_width", "must be positive"),
        ("negative", "must be positive"),
    ],
)
def test_input_file_errors(tmp_path, reader, element, case, match):
    w, h = 4, 3
    body = b"\0" * (element * w * h)
    data = {
        "short_header": b"\1\0\0",
        "truncated": struct.pack("<ii", w, h) + body[:-1],
        "trailing": struct.pack("<ii", w, h) + body + b"\0",
        "zero_width": struct.pack("<ii", 0, 7),
        "negative": struct.pack("<ii", -2, 3) + body,
    }[case]
    (tmp_path / "f.bin").write_bytes(data)
    with pytest.raises(files.FileFormatError, match=match):
        reader(tmp_path / "f.bin")


def test_output_file_size_checked(tmp_path):
    arrays = [np.zeros(6)] * 11
    good = _output_bytes(2, 3, arrays, np.zeros(6, np.uint8))
    for data in (good[:-1], good + b"\0", good[:5]):
        (tmp_path / "o.bin").write_bytes(data)
        with pytest.raises(files.FileFormatError):
            files.read_output(tmp_path / "o.bin")


@pytest.mark.parametrize(
    "bad,match",
    [
        (np.zeros(5), "2-D"),
        (np.zeros((0, 4)), "positive"),
        (np.zeros((2, 2, 2)), "2-D"),
        (np.array([["a", "b"]]), "real numbers"),
        (np.zeros((2, 2), dtype=complex), "real numbers"),
    ],
)
def test_write_image_rejects(tmp_path, bad, match):
    with pytest.raises(files.FileFormatError, match=match):
        files.write_image(tmp_path / "i.bin", bad)


def _field(rh, rw, value):
    z = np.full((rh, rw), float(value))
    return files.DicField(rw, rh, z, z, z, z, z + 1, z + 2, z, z, z, z, z + 0.5, np.ones((rh, rw), bool))


def test_stack_cameras_shapes_and_order():
    st = files.stack_cameras([_field(3, 4, 0), _field(3, 4, 10)])
    assert st["dic_u"].shape == (2, 3, 4) and st["dic_valid"].dtype == np.bool_
    assert (st["reduced_height"], st["reduced_width"]) == (3, 4)
    assert_close(st["dic_u"][:, 0, 0], [1.0, 11.0])
    assert_close(st["dic_v"][:, 2, 3], [2.0, 12.0])
    with pytest.raises(files.FileFormatError):
        files.stack_cameras([])


def test_stack_cameras_pads_smaller_grids_with_unsolved_cells():
    # Cameras with images of different sizes: grids of 3 x 4 and 5 x 2 cells stack into 5 x 4.
    st = files.stack_cameras([_field(3, 4, 0), _field(5, 2, 10)])
    assert (st["reduced_height"], st["reduced_width"]) == (5, 4)
    for key in ("dic_u", "dic_v", "dic_corrcoef", "dic_valid"):
        assert st[key].shape == (2, 5, 4)
    # Each camera's own cells keep their place [r, col]; the rest is unsolved and zero.
    assert st["dic_valid"][0, :3, :].all() and not st["dic_valid"][0, 3:, :].any()
    assert st["dic_valid"][1, :, :2].all() and not st["dic_valid"][1, :, 2:].any()
    assert_close(st["dic_u"][1, 4, 1], 11.0)
    assert_close(st["dic_corrcoef"][0, :3, :], np.full((3, 4), 0.5))
    for key in ("dic_u", "dic_v", "dic_corrcoef"):
        assert not st[key][0, 3:, :].any() and not st[key][1, :, 2:].any()
    bad = _field(3, 4, 0)
    bad.u = np.zeros((2, 2))
    with pytest.raises(files.FileFormatError, match="'u'"):
        files.stack_cameras([bad])


@pytest.mark.parametrize("fmt,bits", [("PNG", 8), ("PNG", 16), ("TIFF", 8), ("TIFF", 16)])
def test_picture_conversion(tmp_path, fmt, bits):
    rng = np.random.default_rng(bits)
    top = 255 if bits == 8 else 65535
    gray = rng.integers(0, top + 1, size=(5, 7)).astype(np.uint8 if bits == 8 else np.uint16)
    gray[0, 0], gray[-1, -1] = 0, top  # full range survives
    src = tmp_path / f"p.{fmt.lower()}"
    Image.fromarray(gray).save(src, format=fmt)
    out = files.convert_picture(src, tmp_path / "p.bin")
    assert out.shape == (5, 7)
    assert np.array_equal(out, gray.astype(np.float64))
    assert np.array_equal(files.read_image(tmp_path / "p.bin"), gray.astype(np.float64))
    # A picture used as a mask: non-zero pixels are inside.
    assert np.array_equal(files.load_mask_picture(src), gray != 0)


def test_colour_picture_becomes_luminance(tmp_path):
    rgb = np.zeros((2, 2, 3), np.uint8)
    rgb[0, 0] = (255, 0, 0)
    rgb[1, 1] = (10, 20, 30)
    Image.fromarray(rgb).save(tmp_path / "c.png")
    a = files.load_picture(tmp_path / "c.png")
    assert_close(a, [[0.299 * 255, 0.0], [0.0, 0.299 * 10 + 0.587 * 20 + 0.114 * 30]])


# --------------------------------------------------------------------------
# Command line and report handling (no real run needed)
# --------------------------------------------------------------------------


def test_build_command_texts():
    cmd = build_command(
        "dic2d_cli",
        "r.bin",
        "d.bin",
        "m.bin",
        (30, 0.1),
        "o.bin",
        {"subset_radius": 15, "subset_truncation": True, "cutoff_corrcoef": 0.1},
    )
    assert cmd[:7] == ["dic2d_cli", "--reference", "r.bin", "--deformed", "d.bin", "--mask", "m.bin"]
    pairs = dict(zip(cmd[7::2], cmd[8::2]))
    assert pairs == {
        "--subset-radius": "15",
        "--subset-truncation": "true",
        "--cutoff-corrcoef": "0.1",
        "--seed-x": "30.0",
        "--seed-y": "0.1",
        "--output": "o.bin",
    }
    assert float(pairs["--seed-y"]) == 0.1  # exact round trip of the double
    with pytest.raises(TypeError, match="unknown dic2d_cli option"):
        build_command("x", "r", "d", "m", (0, 0), None, {"subset_radus": 3})
    with pytest.raises(TypeError, match="must be an int"):
        build_command("x", "r", "d", "m", (0, 0), None, {"subset_radius": 20.5})
    precision = {"criterion": "znssd", "interpolation": "bspline3", "smoothing_sigma": 0.6, "seed_guess_u": -300.0}
    pairs = dict(zip(*[iter(build_command("x", "r", "d", "m", (0, 0), None, precision)[7:])] * 2))
    assert pairs["--criterion"] == "znssd" and pairs["--interpolation"] == "bspline3"
    assert pairs["--smoothing-sigma"] == "0.6" and pairs["--seed-guess-u"] == "-300.0"
    with pytest.raises(ValueError, match="criterion must be one of ssd, znssd"):
        build_command("x", "r", "d", "m", (0, 0), None, {"criterion": "ncc"})


@pytest.mark.parametrize(
    "stdout,code,match",
    [
        (
            '{"ok":false,"error":"Seed point must be aligned to the reduced grid."}\n',
            1,
            "Seed point must be aligned to the reduced grid.",
        ),
        ('{"ok":false,"output_schema_version":2,"message":"x","valid_points":0}\n', 10, "ok false"),
        ("", 1, "instead of one JSON report"),
        ("not json\n", 0, "not JSON"),
        ('{"ok":true}\n', -11, "status -11"),
    ],
)
def test_report_failures_raise(stdout, code, match):
    with pytest.raises(Dic2dError, match=match) as info:
        parse_report(stdout, code, ["dic2d_cli"])
    assert info.value.returncode == code


def test_report_success_parses():
    line = (
        '{"ok":true,"output_schema_version":2,"message":"m","reduced_width":3,"reduced_height":2,'
        '"roi_region_count":1,"seed_region":0,"seed_paramvector":[1,2,0.5,0,0,0,0,0,1],'
        '"reference_grid_points":6,"valid_points":5}\n'
    )
    rep = parse_report(line, 0, ["dic2d_cli"])
    assert rep["valid_points"] == 5 and rep["seed_paramvector"][2] == 0.5


def test_run_reports_error_text_of_failed_run(tmp_path):
    # A stand-in program that prints a failure line, as the real one does for bad input.
    fake = tmp_path / "fake_cli"
    fake.write_text(
        f"#!{sys.executable}\nimport sys\n"
        'print(\'{"ok":false,"error":"Missing required argument: --mask"}\')\nsys.exit(1)\n'
    )
    fake.chmod(0o755)
    img = np.zeros((4, 4))
    with pytest.raises(Dic2dError, match="Missing required argument: --mask") as info:
        run_dic2d(img, img, np.ones((4, 4)), (0, 0), cli=fake)
    assert info.value.report == {"ok": False, "error": "Missing required argument: --mask"}
    with pytest.raises(Dic2dError, match="could not start"):
        run_dic2d(img, img, np.ones((4, 4)), (0, 0), cli=tmp_path / "missing")


def test_cli_found_beside_the_interpreter_without_path(tmp_path, monkeypatch):
    # Regression: the environment's python run without activating the
    # environment (as scripts/demo.sh does) has the scripts directory off
    # PATH; the runner must still find the dic2d_cli installed there.
    import dicpipe.dic2d as cli

    scripts = tmp_path / "bin"
    scripts.mkdir()
    exe = scripts / "dic2d_cli"
    exe.write_text("#!/bin/sh\n")
    exe.chmod(0o755)
    monkeypatch.delenv("DIC2D_CLI", raising=False)
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    monkeypatch.setattr(cli.sysconfig, "get_path", lambda name: str(scripts) if name == "scripts" else None)
    assert cli.find_cli() == str(exe)
    monkeypatch.setattr(cli.sysconfig, "get_path", lambda name: str(tmp_path / "none"))
    with pytest.raises(Dic2dError, match="dic2d_cli not found"):
        cli.find_cli()
