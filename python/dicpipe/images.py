"""Camera images and ROI masks: grayscale TIFF (tifffile) and PNG (Pillow).

Images are 8- or 16-bit unsigned grayscale, one image per file; 32- and 64-bit
floating-point grayscale TIFF is read as well. They are returned as float64
arrays indexed [row, column] = [y, x] with their gray values unchanged (the
correlation is insensitive to offset and scale). Colour images (RGB, palette,
gray with alpha) are refused rather than converted: the weights of a
conversion change the texture the correlation sees, so the choice stays with
the user (for example ``convert in.png -colorspace Gray out.png`` or Pillow's
``Image.convert("L")``). Multi-page TIFF files are refused too.

ROI masks may be any of these pictures and also 1-bit or colour: a pixel is
inside when its value is non-zero (for colour pictures: when any of red,
green and blue is non-zero; alpha is ignored).

`probe_image` reads the headers only (and for TIFF checks that the pixel data
lie within the file, for PNG the chunk checksums), so that a series can be
checked completely before anything is computed.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

__all__ = ["ImageError", "ImageInfo", "load_image", "load_mask", "probe_image"]

_TIFF_MAGIC = (b"II*\x00", b"MM\x00*", b"II+\x00", b"MM\x00+")
_PNG_MAGIC = b"\x89PNG\r\n\x1a\n"
_GRAY_DTYPES = ("uint8", "uint16", "float32", "float64")
_SUPPORTED = "8- or 16-bit grayscale TIFF or PNG"


class ImageError(ValueError):
    """An image or mask file cannot be used; the message is one line naming the file."""


@dataclass(frozen=True)
class ImageInfo:
    """What the header of an image file says.

    Attributes
    ----------
    path : Path
    format : str
        "TIFF" or "PNG".
    width, height : int
        Size in pixels.
    dtype : str
        NumPy name of the stored samples ("uint8", "uint16", "float32", ...; "bool" for 1-bit).
    channels : int
        Samples per pixel (1 for grayscale).
    """

    path: Path
    format: str
    width: int
    height: int
    dtype: str
    channels: int

    @property
    def size(self) -> tuple[int, int]:
        """(width, height) in pixels."""
        return (self.width, self.height)


def _format(path: Path) -> str:
    try:
        with open(path, "rb") as fh:
            head = fh.read(8)
    except FileNotFoundError:
        raise ImageError(f"{path}: file not found") from None
    except IsADirectoryError:
        raise ImageError(f"{path}: is a folder, not an image file") from None
    except OSError as exc:
        raise ImageError(f"{path}: cannot read: {exc.strerror or exc}") from None
    if not head:
        raise ImageError(f"{path}: empty file, not an image")
    if head[:4] in _TIFF_MAGIC:
        return "TIFF"
    if head == _PNG_MAGIC:
        return "PNG"
    raise ImageError(f"{path}: not a TIFF or PNG image")


def _probe_tiff(path: Path) -> ImageInfo:
    import tifffile

    try:
        with tifffile.TiffFile(path) as tif:
            pages = len(tif.pages)
            page = tif.pages.first
            width, height, dtype = int(page.imagewidth), int(page.imagelength), page.dtype
            spp = int(page.samplesperpixel)
            photometric = int(page.photometric)
            extents = list(zip(page.dataoffsets, page.databytecounts))
    except ImageError:
        raise
    except Exception as exc:  # tifffile raises several kinds for broken files
        raise ImageError(f"{path}: unreadable TIFF: {_one_line(exc)}") from None
    if pages != 1:
        raise ImageError(f"{path}: TIFF with {pages} pages; one image per file is needed")
    size = path.stat().st_size
    if any(off + count > size for off, count in extents):
        raise ImageError(f"{path}: truncated TIFF (pixel data run past the end of the file)")
    if dtype is None:
        raise ImageError(f"{path}: TIFF sample format not supported; {_SUPPORTED} is needed")
    channels = spp
    if photometric in (2, 3, 6) and channels == 1:  # palette images decode to one index per pixel
        channels = 3
    return ImageInfo(path, "TIFF", width, height, np.dtype(dtype).name, channels)


def _probe_png(path: Path) -> ImageInfo:
    from PIL import Image

    try:
        with Image.open(path) as im:
            mode, (width, height) = im.mode, im.size
        with Image.open(path) as im:
            im.verify()  # chunk checksums and structure, without decoding
    except Exception as exc:
        raise ImageError(f"{path}: unreadable PNG: {_one_line(exc)}") from None
    dtype, channels = {
        "1": ("bool", 1),
        "L": ("uint8", 1),
        "I;16": ("uint16", 1),
        "I;16B": ("uint16", 1),
        "I;16L": ("uint16", 1),
        "I": ("uint16", 1),
        "LA": ("uint8", 2),
        "P": ("uint8", 3),
        "PA": ("uint8", 4),
        "RGB": ("uint8", 3),
        "RGBA": ("uint8", 4),
    }.get(mode, ("", 0))
    if not dtype:
        raise ImageError(f"{path}: PNG mode {mode} not supported; {_SUPPORTED} is needed")
    return ImageInfo(path, "PNG", width, height, dtype, channels)


def _one_line(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return text or type(exc).__name__


def probe_image(path: str | os.PathLike, *, mask: bool = False) -> ImageInfo:
    """Read the header of an image (or, with ``mask=True``, a mask) and check that it can be used.

    Parameters
    ----------
    path : str or path-like
    mask : bool
        Accept what a mask may be (1-bit, colour) instead of what a camera image must be.

    Returns
    -------
    ImageInfo

    Raises
    ------
    ImageError
        Missing, empty or non-image file, truncated or broken file, several
        pages, colour or unsupported sample format (for camera images).
    """
    p = Path(path)
    info = _probe_tiff(p) if _format(p) == "TIFF" else _probe_png(p)
    if info.width <= 0 or info.height <= 0:
        raise ImageError(f"{p}: image of {info.width} x {info.height} pixels")
    if not mask:
        if info.channels != 1:
            what = "gray with alpha" if info.channels == 2 else "colour"
            raise ImageError(f"{p}: {what} image; {_SUPPORTED} is needed (convert it to grayscale first)")
        if info.dtype not in _GRAY_DTYPES:
            raise ImageError(f"{p}: {info.dtype} samples; {_SUPPORTED} is needed")
    return info


def _decode(path: Path, fmt: str) -> np.ndarray:
    try:
        if fmt == "TIFF":
            import tifffile

            with tifffile.TiffFile(path) as tif:
                return np.asarray(tif.pages.first.asarray())
        from PIL import Image

        with Image.open(path) as im:
            im.load()
            if im.mode in ("P", "PA"):
                im = im.convert("RGBA")
            return np.asarray(im)
    except Exception as exc:
        raise ImageError(f"{path}: cannot decode the pixel data: {_one_line(exc)}") from None


def load_image(path: str | os.PathLike, expected: ImageInfo | None = None) -> np.ndarray:
    """Read a grayscale camera image as float64 [y, x], gray values unchanged.

    Parameters
    ----------
    path : str or path-like
    expected : ImageInfo, optional
        The result of an earlier `probe_image`; the decoded size must match it.

    Raises
    ------
    ImageError
        As `probe_image`, or when the pixel data cannot be decoded.
    """
    info = expected if expected is not None else probe_image(path)
    p = Path(path)
    a = _decode(p, info.format)
    if a.ndim != 2 or a.shape != (info.height, info.width):
        raise ImageError(f"{p}: decoded to shape {a.shape}, the header says {info.height} x {info.width}")
    return np.ascontiguousarray(a, dtype=np.float64)


def load_mask(path: str | os.PathLike) -> np.ndarray:
    """Read an ROI mask picture as a bool array [y, x]; non-zero (any colour channel) is inside.

    Raises
    ------
    ImageError
        As `probe_image` (with ``mask=True``), or when the pixel data cannot be decoded.
    """
    info = probe_image(path, mask=True)
    a = _decode(Path(path), info.format)
    if a.ndim == 3 and a.shape[1:] == (info.height, info.width):  # TIFF with separate colour planes
        a = np.moveaxis(a, 0, -1)
    if a.ndim == 3:
        a = a[..., : min(3, a.shape[2])] if a.shape[2] != 2 else a[..., :1]
        return np.ascontiguousarray(np.any(a != 0, axis=2))
    return np.ascontiguousarray(a != 0)
