"""Readers and writers of the binary files that dic2d_cli exchanges.

Array convention on the Python side: an image or mask is a NumPy array indexed
[row, column] = [y, x], shape (height, width). The files store x as the slow
index instead: the value at (x, y) is element x * height + y, after a header of
two little-endian int32 values (width, height). The functions here do that
transposition, so callers never see the file order.

The output file of one dic2d_cli run holds, for a reduced grid of
reduced_width x reduced_height cells, eleven float64 arrays and one uint8 flag
array, each in the same x-major order. `read_output` returns every field as an
array of shape (reduced_height, reduced_width): element [r, col] is the cell
gx = col, gy = r, whose grid node lies at pixel (col * step, r * step).
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np

PathLike = str | os.PathLike

_HEADER = np.dtype([("width", "<i4"), ("height", "<i4")])
_INT32_MAX = 2**31 - 1

#: Field names of the output file, in file order (the flag array comes last).
OUTPUT_FIELDS = (
    "ref_x",
    "ref_y",
    "def_x",
    "def_y",
    "u",
    "v",
    "du_dx",
    "du_dy",
    "dv_dx",
    "dv_dy",
    "corrcoef",
)


class FileFormatError(ValueError):
    """A file or array does not have the layout the pipeline expects."""


# --------------------------------------------------------------------------
# Element order
# --------------------------------------------------------------------------


def to_file_order(array: np.ndarray) -> np.ndarray:
    """Flatten an array indexed [y, x] into the files' x-major order (x * height + y)."""
    a = np.asarray(array)
    if a.ndim != 2:
        raise FileFormatError(f"expected a 2-D array indexed [row, column], got {a.ndim}-D")
    return np.ascontiguousarray(a.T).reshape(-1)


def from_file_order(values: np.ndarray, width: int, height: int) -> np.ndarray:
    """Inverse of `to_file_order`: a flat x-major array to shape (height, width)."""
    v = np.asarray(values)
    if v.size != width * height:
        raise FileFormatError(f"{v.size} values do not fill a {width} x {height} grid")
    return np.ascontiguousarray(v.reshape(width, height).T)


# --------------------------------------------------------------------------
# Header handling
# --------------------------------------------------------------------------


def _check_dims(shape: Sequence[int], what: str) -> tuple[int, int]:
    if len(shape) != 2:
        raise FileFormatError(f"{what} must be 2-D (rows, columns), got shape {tuple(shape)}")
    height, width = int(shape[0]), int(shape[1])
    if width <= 0 or height <= 0:
        raise FileFormatError(f"{what} must have positive width and height, got {width} x {height}")
    if width > _INT32_MAX or height > _INT32_MAX:
        raise FileFormatError(f"{what} of {width} x {height} does not fit the int32 header")
    return width, height


def _read_exact(path: PathLike, element: np.dtype, what: str) -> tuple[int, int, np.ndarray]:
    data = Path(path).read_bytes()
    if len(data) < _HEADER.itemsize:
        raise FileFormatError(f"{what} {os.fspath(path)!r} is shorter than its 8-byte header")
    header = np.frombuffer(data, dtype=_HEADER, count=1)[0]
    width, height = int(header["width"]), int(header["height"])
    if width <= 0 or height <= 0:
        raise FileFormatError(f"{what} {os.fspath(path)!r} announces {width} x {height}; both must be positive")
    expected = _HEADER.itemsize + width * height * element.itemsize
    if len(data) != expected:
        raise FileFormatError(
            f"{what} {os.fspath(path)!r} holds {len(data)} bytes; a {width} x {height} {what} needs exactly {expected}"
        )
    values = np.frombuffer(data, dtype=element, offset=_HEADER.itemsize)
    return width, height, values


def _header_bytes(width: int, height: int) -> bytes:
    return np.array([(width, height)], dtype=_HEADER).tobytes()


# --------------------------------------------------------------------------
# Images and masks
# --------------------------------------------------------------------------


def write_image(path: PathLike, image: np.ndarray) -> None:
    """Write a gray image (array [y, x] of numbers) as an image file of float64 values."""
    a = np.asarray(image)
    if not (np.issubdtype(a.dtype, np.number) or a.dtype == np.bool_) or np.iscomplexobj(a):
        raise FileFormatError(f"image values must be real numbers, got dtype {a.dtype}")
    width, height = _check_dims(a.shape, "image")
    body = to_file_order(a.astype("<f8", copy=False)).tobytes()
    Path(path).write_bytes(_header_bytes(width, height) + body)


def read_image(path: PathLike) -> np.ndarray:
    """Read an image file into a float64 array of shape (height, width), indexed [y, x]."""
    width, height, values = _read_exact(path, np.dtype("<f8"), "image file")
    return from_file_order(values.astype(np.float64), width, height)


def write_mask(path: PathLike, mask: np.ndarray) -> None:
    """Write an ROI mask (array [y, x]; non-zero or True is inside) as a mask file of bytes.

    Inside positions are written as 1, so a float or integer mask of any
    non-zero values becomes a plain 0/1 file.
    """
    a = np.asarray(mask)
    if not (np.issubdtype(a.dtype, np.number) or a.dtype == np.bool_):
        raise FileFormatError(f"mask values must be numbers or booleans, got dtype {a.dtype}")
    width, height = _check_dims(a.shape, "mask")
    inside = (a != 0).astype(np.uint8)
    Path(path).write_bytes(_header_bytes(width, height) + to_file_order(inside).tobytes())


def read_mask(path: PathLike) -> np.ndarray:
    """Read a mask file into a bool array of shape (height, width); any non-zero byte is inside."""
    width, height, values = _read_exact(path, np.dtype("u1"), "mask file")
    return from_file_order(values != 0, width, height)


# --------------------------------------------------------------------------
# Output of one dic2d_cli run
# --------------------------------------------------------------------------


@dataclass
class DicField:
    """The reduced-grid field of one camera; every array has shape (reduced_height, reduced_width)."""

    reduced_width: int
    reduced_height: int
    ref_x: np.ndarray
    ref_y: np.ndarray
    def_x: np.ndarray
    def_y: np.ndarray
    u: np.ndarray
    v: np.ndarray
    du_dx: np.ndarray
    du_dy: np.ndarray
    dv_dx: np.ndarray
    dv_dy: np.ndarray
    corrcoef: np.ndarray
    valid: np.ndarray

    @property
    def shape(self) -> tuple[int, int]:
        return (self.reduced_height, self.reduced_width)

    @property
    def valid_count(self) -> int:
        return int(np.count_nonzero(self.valid))


def read_output(path: PathLike) -> DicField:
    """Read a dic2d_cli output file (8 + 89 N bytes) into a `DicField`."""
    data = Path(path).read_bytes()
    name = os.fspath(path)
    if len(data) < _HEADER.itemsize:
        raise FileFormatError(f"output file {name!r} is shorter than its 8-byte header")
    header = np.frombuffer(data, dtype=_HEADER, count=1)[0]
    rw, rh = int(header["width"]), int(header["height"])
    if rw < 0 or rh < 0:
        raise FileFormatError(f"output file {name!r} announces a {rw} x {rh} grid")
    n = rw * rh
    expected = _HEADER.itemsize + 89 * n
    if len(data) != expected:
        raise FileFormatError(
            f"output file {name!r} holds {len(data)} bytes; a {rw} x {rh} grid needs exactly {expected}"
        )
    arrays = {}
    offset = _HEADER.itemsize
    for key in OUTPUT_FIELDS:
        flat = np.frombuffer(data, dtype="<f8", count=n, offset=offset).astype(np.float64)
        arrays[key] = from_file_order(flat, rw, rh)
        offset += 8 * n
    flags = np.frombuffer(data, dtype="u1", count=n, offset=offset)
    arrays["valid"] = from_file_order(flags != 0, rw, rh)
    return DicField(reduced_width=rw, reduced_height=rh, **arrays)


def write_output(path: PathLike, field: DicField) -> None:
    """Write a `DicField` in the dic2d_cli output layout (for tests and hand-made fields)."""
    rw, rh = int(field.reduced_width), int(field.reduced_height)
    parts = [_header_bytes(rw, rh)]
    for key in OUTPUT_FIELDS + ("valid",):
        a = np.asarray(getattr(field, key))
        if a.shape != (rh, rw):
            raise FileFormatError(f"field {key!r} has shape {a.shape}, expected {(rh, rw)}")
        dtype = "u1" if key == "valid" else "<f8"
        parts.append(to_file_order((a != 0) if key == "valid" else a).astype(dtype).tobytes())
    Path(path).write_bytes(b"".join(parts))


def stack_cameras(camera_fields: Sequence[DicField]) -> dict[str, np.ndarray]:
    """Stack per-camera fields into the module's arrays of shape (camera, reduced_height, reduced_width).

    Returns "dic_u", "dic_v", "dic_corrcoef" (float64), "dic_valid" (bool) and
    the grid size "reduced_height", "reduced_width" (ints).

    The module indexes every camera with one grid size, so cameras whose
    grids differ (images of different sizes) are padded to the largest number
    of rows and of columns: a padded cell lies beyond that camera's image and
    carries u = v = 0, corrcoef 0 and valid false, exactly like a cell without
    a grid point. Element [c, r, col] is still cell (col, r) of camera c,
    whose node lies at pixel (col * step, r * step) of camera c's image, and
    no observation of camera c can fall into its padding.
    """
    if len(camera_fields) == 0:
        raise FileFormatError("no camera fields to stack")
    for f in camera_fields:
        for key in ("u", "v", "corrcoef", "valid"):
            if np.shape(getattr(f, key)) != f.shape:
                raise FileFormatError(f"field {key!r} has shape {np.shape(getattr(f, key))}, expected {f.shape}")
    rh = max(f.shape[0] for f in camera_fields)
    rw = max(f.shape[1] for f in camera_fields)

    def padded(key: str, dtype) -> np.ndarray:
        out = np.zeros((len(camera_fields), rh, rw), dtype=dtype)
        for c, f in enumerate(camera_fields):
            h, w = f.shape
            out[c, :h, :w] = np.asarray(getattr(f, key), dtype=dtype)
        return out

    return {
        "dic_u": padded("u", np.float64),
        "dic_v": padded("v", np.float64),
        "dic_corrcoef": padded("corrcoef", np.float64),
        "dic_valid": padded("valid", bool),
        "reduced_height": rh,
        "reduced_width": rw,
    }


# --------------------------------------------------------------------------
# Common picture formats
# --------------------------------------------------------------------------


def load_picture(path: PathLike) -> np.ndarray:
    """Read a PNG or TIFF (8 or 16 bit gray, or colour) as a float64 array [y, x].

    Gray values keep their integer scale (0..255 for 8 bit, 0..65535 for
    16 bit); the correlation is insensitive to offset and scale, so nothing is
    normalised. Colour pictures become luminance (ITU-R BT.601 weights),
    computed in floating point so that no rounding to 8 bit happens.
    """
    from PIL import Image

    with Image.open(path) as im:
        im.load()
        mode = im.mode
        if mode in ("1", "L", "I", "F") or mode.startswith("I;16"):
            if mode.startswith("I;16"):
                a = np.asarray(im).astype(np.float64)
            else:
                a = np.asarray(im, dtype=np.float64)
        elif mode in ("LA", "La"):
            a = np.asarray(im.getchannel("L"), dtype=np.float64)
        elif mode in ("RGB", "RGBA", "RGBX", "P", "PA", "CMYK", "YCbCr"):
            rgb = np.asarray(im.convert("RGB"), dtype=np.float64)
            a = rgb @ np.array([0.299, 0.587, 0.114])
        else:
            raise FileFormatError(f"picture {os.fspath(path)!r} has unsupported mode {mode!r}")
    if a.ndim != 2:
        raise FileFormatError(f"picture {os.fspath(path)!r} did not decode to a 2-D gray image")
    return np.ascontiguousarray(a)


def convert_picture(src: PathLike, dst: PathLike) -> np.ndarray:
    """Convert a PNG or TIFF into an image file; returns the gray array that was written."""
    a = load_picture(src)
    write_image(dst, a)
    return a


def load_mask_picture(path: PathLike) -> np.ndarray:
    """Read a PNG or TIFF mask: any non-zero pixel is inside the ROI."""
    return load_picture(path) != 0
