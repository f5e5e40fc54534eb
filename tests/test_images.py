"""Camera images and masks: exact gray values from TIFF and PNG, clear refusals of what cannot be measured."""

from __future__ import annotations

import numpy as np
import pytest
import tifffile
from PIL import Image

from dicpipe.images import ImageError, load_image, load_mask, probe_image


def _gray(dtype, shape=(7, 11)):
    info = np.iinfo(dtype)
    rng = np.random.default_rng(3)
    a = rng.integers(0, info.max, size=shape, endpoint=True).astype(dtype)
    a[0, 0], a[-1, -1] = 0, info.max  # the extremes must survive
    return a


@pytest.mark.parametrize(
    "suffix, dtype, kwargs",
    [
        (".tif", np.uint8, {}),
        (".tif", np.uint16, {}),
        (".tif", np.uint16, {"compression": "zlib"}),
        (".tif", np.uint8, {"tile": (16, 16), "shape_override": (40, 35)}),
        (".png", np.uint8, {}),
        (".png", np.uint16, {}),
    ],
    ids=["tif8", "tif16", "tif16-zlib", "tif8-tiled", "png8", "png16"],
)
def test_gray_values_are_read_exactly(tmp_path, suffix, dtype, kwargs):
    kwargs = dict(kwargs)
    a = _gray(dtype, kwargs.pop("shape_override", (7, 11)))
    path = tmp_path / f"img{suffix}"
    if suffix == ".tif":
        tifffile.imwrite(path, a, **kwargs)
    else:
        Image.fromarray(a).save(path)
    info = probe_image(path)
    assert (info.width, info.height, info.channels) == (a.shape[1], a.shape[0], 1)
    assert info.dtype == np.dtype(dtype).name and info.format == ("TIFF" if suffix == ".tif" else "PNG")
    img = load_image(path, info)
    assert img.dtype == np.float64 and img.flags.c_contiguous
    assert np.array_equal(img, a.astype(np.float64))


def test_float_tiff_is_read(tmp_path):
    a = np.linspace(-1.5, 2.5, 20, dtype=np.float32).reshape(4, 5)
    tifffile.imwrite(tmp_path / "f.tif", a)
    assert np.array_equal(load_image(tmp_path / "f.tif"), a.astype(np.float64))


def _stack(path, pages):
    with tifffile.TiffWriter(path) as tw:
        for _ in range(pages):
            tw.write(np.zeros((5, 6), np.uint8), photometric="minisblack")


@pytest.mark.parametrize(
    "make, words",
    [
        (lambda p: Image.fromarray(np.zeros((5, 6, 3), np.uint8)).save(p / "x.png"), ["colour image", "grayscale"]),
        (lambda p: Image.fromarray(np.zeros((5, 6, 2), np.uint8), "LA").save(p / "x.png"), ["gray with alpha"]),
        (lambda p: Image.fromarray(np.zeros((5, 6), np.uint8)).convert("P").save(p / "x.png"), ["colour"]),
        (lambda p: tifffile.imwrite(p / "x.png", np.zeros((5, 6, 3), np.uint8), photometric="rgb"), ["colour image"]),
        (lambda p: _stack(p / "x.png", 3), ["3 pages", "one image per file"]),
        (lambda p: tifffile.imwrite(p / "x.png", np.zeros((5, 6), np.int16)), ["int16"]),
        (lambda p: (p / "x.png").write_text("not an image"), ["not a TIFF or PNG image"]),
        (lambda p: (p / "x.png").write_bytes(b""), ["empty file"]),
        (lambda p: (p / "x.png").mkdir(), ["is a folder"]),
        (lambda p: None, ["file not found"]),
    ],
    ids=["rgb-png", "la-png", "palette-png", "rgb-tif", "stack", "int16", "text", "empty", "folder", "missing"],
)
def test_refusals_name_the_file(tmp_path, make, words):
    make(tmp_path)
    with pytest.raises(ImageError) as info:
        load_image(tmp_path / "x.png")
    message = str(info.value)
    assert message.startswith(str(tmp_path / "x.png")) and "\n" not in message
    for w in words:
        assert w in message, message


def test_truncated_files_are_caught_by_the_header_check(tmp_path):
    a = _gray(np.uint16, (64, 80))
    tifffile.imwrite(tmp_path / "t.tif", a)
    Image.fromarray(a).save(tmp_path / "t.png")
    for name in ("t.tif", "t.png"):
        data = (tmp_path / name).read_bytes()
        (tmp_path / name).write_bytes(data[: len(data) - 200])
        with pytest.raises(ImageError, match=name.replace(".", r"\.") + ": (truncated|unreadable)"):
            probe_image(tmp_path / name)


def test_corrupt_png_data_is_caught(tmp_path):
    Image.fromarray(_gray(np.uint8, (30, 30))).save(tmp_path / "c.png")
    data = bytearray((tmp_path / "c.png").read_bytes())
    i = data.index(b"IDAT") + 20
    data[i : i + 8] = b"\x00" * 8  # the chunk's checksum no longer matches
    (tmp_path / "c.png").write_bytes(bytes(data))
    with pytest.raises(ImageError, match="c.png"):
        probe_image(tmp_path / "c.png")


def test_masks_accept_bilevel_colour_and_gray(tmp_path):
    inside = np.zeros((6, 9), bool)
    inside[1:4, 2:7] = True
    Image.fromarray(inside).save(tmp_path / "m1.png")  # 1-bit
    rgba = np.zeros((6, 9, 4), np.uint8)
    rgba[..., 3] = 255  # alpha everywhere: ignored
    rgba[inside, 1] = 200  # green inside
    Image.fromarray(rgba, "RGBA").save(tmp_path / "m2.png")
    tifffile.imwrite(tmp_path / "m3.tif", inside.astype(np.uint16) * 7)
    planar = np.zeros((3, 6, 9), np.uint8)
    planar[2][inside] = 1
    tifffile.imwrite(tmp_path / "m4.tif", planar, photometric="rgb", planarconfig="separate")
    for name in ("m1.png", "m2.png", "m3.tif", "m4.tif"):
        m = load_mask(tmp_path / name)
        assert m.dtype == np.bool_ and np.array_equal(m, inside), name


def test_decoded_size_must_match_the_probe(tmp_path):
    tifffile.imwrite(tmp_path / "a.tif", np.zeros((4, 5), np.uint8))
    tifffile.imwrite(tmp_path / "b.tif", np.zeros((5, 5), np.uint8))
    with pytest.raises(ImageError, match="header says 4 x 5"):
        load_image(tmp_path / "b.tif", probe_image(tmp_path / "a.tif"))
