"""A complete rendered stereo experiment on disk, with its ground truth.

``write_example(directory)`` writes::

    experiment.toml             the experiment file (`dicpipe run` reads it)
    calibration.json            the cameras, in dicpipe's JSON calibration format (`dicpipe.camera`)
    roi.png                     camera 0's reference ROI, 8-bit, non-zero = inside
    cam0/frame_0000.tif ...     8-bit grayscale TIFF, one per frame; frame 0 = reference
    cam1/...                    (cam2/ for three cameras)
    truth.npz                   the deformation of every frame (see `dicpipe.synthetic.truth`)

The same arguments give the same bytes in every file.
"""

from __future__ import annotations

import io
import os
import re
import secrets
import zipfile
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from ..camera import Calibration, save_calibration
from .render import Motion, render_series
from .truth import TRUTH_FILE, Truth, TruthError, load_truth

__all__ = [
    "CALIBRATION_FILE",
    "EXPERIMENT_FILE",
    "ROI_FILE",
    "Truth",
    "TruthError",
    "load_truth",
    "write_example",
]

EXPERIMENT_FILE = "experiment.toml"
CALIBRATION_FILE = "calibration.json"
ROI_FILE = "roi.png"
_FRAME_NAME = re.compile(r"^cam\d+/frame_\d+\.tif$")


def write_example(
    directory: str | os.PathLike,
    *,
    cameras: int = 2,
    frames: int = 4,
    size: tuple[int, int] = (480, 384),
    noise: float = 0.5,
    curved: bool = False,
    seed: int = 7,
    strain: float = 0.01,
    sizes: Sequence[tuple[int, int]] | None = None,
    lens: str = "radial",
    samples: int = 3,
    overwrite: bool = False,
) -> Path:
    """Render a stereo load series and write it as an experiment directory.

    The specimen (a flat plate, or a cylindrical shell with `curved`) is
    stretched uniaxially along world x up to `strain` in the last frame while
    it rotates (0.8 degrees) and translates (0.66 mm), all in proportion to
    the frame number. The images are 8-bit grayscale TIFF files written with
    tifffile, one per camera and frame: ``cam<c>/frame_<NNNN>.tif``, frame 0
    being the reference.

    Parameters
    ----------
    directory : where to write; created when missing, must be empty unless `overwrite`.
    cameras : 2 or 3.
    frames : images per camera, the reference included (>= 2).
    size : (width, height) of every camera's images, pixels.
    noise : sensor noise, gray levels (standard deviation, before 8-bit rounding).
    curved : a cylindrical shell instead of a flat plate.
    seed : speckle and noise seed.
    strain : final uniaxial stretch - 1.
    sizes : one (width, height) per camera instead of `size`.
    lens : "radial" (k1, k2) or "full" (k1, k2, p1, p2, k3 and skew).
    samples : samples x samples ray casts per pixel.
    overwrite : replace an earlier example in `directory`; its frame images
        beyond the new series are removed, other files are left alone.

    Returns
    -------
    Path of the experiment file.

    Raises
    ------
    FileExistsError
        `directory` is not empty and `overwrite` is false.
    ValueError
        An argument is out of range.
    """
    directory = Path(directory)
    if directory.exists() and not directory.is_dir():
        raise FileExistsError(f"{directory}: exists and is not a directory")
    if directory.is_dir() and any(directory.iterdir()) and not overwrite:
        raise FileExistsError(f"{directory}: not empty; choose a new directory or overwrite")
    series = render_series(
        cameras=cameras,
        frames=frames,
        sizes=sizes if sizes is not None else [tuple(size)] * cameras,
        curved=curved,
        motion=Motion(strain=strain),
        samples=samples,
        noise=noise,
        seed=seed,
        lens=lens,
    )

    files: dict[str, bytes] = {}
    for c, images in enumerate(series.images):
        for f, image in enumerate(images):
            files[f"cam{c}/frame_{f:04d}.tif"] = _tiff_bytes(_to_uint8(image))
    motion = Motion(strain=strain)
    truth = Truth(
        F=np.stack([d.F for d in series.deformations]),
        d=np.stack([np.asarray(d.d, dtype=float) for d in series.deformations]),
        strain=np.array([d.strain for d in series.deformations]),
        angle_deg=np.array([motion.angle_deg * f / (frames - 1) for f in range(frames)]),
        surface=series.surface,
        image_sizes=np.array([(c.width, c.height) for c in series.cameras], dtype=np.int64),
        units="mm",
    )
    files[TRUTH_FILE] = _npz_bytes(truth.to_arrays())
    files[ROI_FILE] = _png_bytes(np.where(series.masks[0], 255, 0).astype(np.uint8))

    directory.mkdir(parents=True, exist_ok=True)
    if overwrite:
        for old in directory.glob("cam*/frame_*.tif"):
            name = old.relative_to(directory).as_posix()
            if _FRAME_NAME.match(name) and name not in files:
                old.unlink()
    for name, data in files.items():
        _write_atomic(directory / name, data)
    save_calibration(directory / CALIBRATION_FILE, Calibration(tuple(series.cameras), units="mm"))
    # Last: the experiment file's presence marks a complete example.
    _write_atomic(directory / EXPERIMENT_FILE, _experiment_text(cameras).encode())
    return directory / EXPERIMENT_FILE


def _experiment_text(cameras: int) -> str:
    globs = ", ".join(f'"cam{c}/*.tif"' for c in range(cameras))
    return (
        f"[images]\ncameras = [{globs}]\n"
        '[calibration]\nfile = "calibration.json"\n'
        '[roi]\nmask = "roi.png"\n'
        "[dic]\nsubset_radius = 20\nsubset_spacing = 5\n"
        '[output]\ndir = "results"\n'
    )


def _to_uint8(image: np.ndarray) -> np.ndarray:
    """Round to the nearest gray level (ties to even) and clip to 0..255, as an 8-bit sensor reads out."""
    return np.clip(np.rint(image), 0, 255).astype(np.uint8)


def _tiff_bytes(image: np.ndarray) -> bytes:
    import tifffile

    buf = io.BytesIO()
    tifffile.imwrite(buf, image, photometric="minisblack", metadata=None, software="dicpipe")
    return buf.getvalue()


def _png_bytes(image: np.ndarray) -> bytes:
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(image).save(buf, format="PNG")
    return buf.getvalue()


def _npz_bytes(arrays: dict[str, np.ndarray]) -> bytes:
    """An npz archive whose bytes depend on the arrays only (fixed member time stamps, sorted names)."""
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", compression=zipfile.ZIP_STORED) as z:
        for name in sorted(arrays):
            info = zipfile.ZipInfo(f"{name}.npy", date_time=(1980, 1, 1, 0, 0, 0))
            member = io.BytesIO()
            np.lib.format.write_array(member, np.asarray(arrays[name]), allow_pickle=False)
            z.writestr(info, member.getvalue())
    return buf.getvalue()


def _write_atomic(path: Path, data: bytes) -> None:
    """Write to a temporary file beside `path`, then rename it over `path`: never a partial file."""
    path.parent.mkdir(parents=True, exist_ok=True)
    # A fresh name opened exclusively keeps the umask's permissions (mkstemp would make it private).
    tmp = path.with_name(f".{path.name}.{os.getpid()}.{secrets.token_hex(6)}.tmp")
    try:
        with open(tmp, "xb") as fh:
            fh.write(data)
        os.replace(tmp, path)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise
