"""The ground truth of a rendered experiment: the deformation of every frame and the specimen surface.

Stored beside the images as ``truth.npz`` (plain arrays, no pickled objects):

=============  ================  ===================================================
key            shape             meaning
=============  ================  ===================================================
F              (frames, 3, 3)    deformation gradient of frame f (identity for f = 0)
d              (frames, 3)       translation of frame f: x = F[f] @ X + d[f]
strain         (frames,)         uniaxial stretch - 1 along world x of frame f
angle_deg      (frames,)         rigid rotation angle of frame f, degrees
surface        (4,)              half_x, half_y, kx, ky of the reference surface
                                 z = -(kx x^2 + ky y^2) / 2, |x| <= half_x, |y| <= half_y
image_sizes    (cameras, 2)      width, height of each camera's images, pixels
units          ()                length unit of F's world frame and of d ("mm")
version        ()                1
=============  ================  ===================================================

X are material points of the reference surface in the calibration's world
frame; lengths in `units`.
"""

from __future__ import annotations

import os
import zipfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from .render import Surface, surface_strain

__all__ = ["TRUTH_FILE", "Truth", "TruthError", "load_truth"]

TRUTH_FILE = "truth.npz"
_VERSION = 1


class TruthError(ValueError):
    """The truth file is missing, unreadable or incomplete (the message names the file and the key)."""


@dataclass(frozen=True)
class Truth:
    """Known deformation of each frame f (0 = reference): x = F[f] @ X + d[f].

    Attributes
    ----------
    F : (frames, 3, 3) deformation gradients.
    d : (frames, 3) translations, `units`.
    strain : (frames,) uniaxial stretch - 1 along world x.
    angle_deg : (frames,) rigid rotation angle, degrees.
    surface : the reference surface of the specimen.
    image_sizes : (cameras, 2) width, height per camera, pixels.
    units : length unit.
    """

    F: np.ndarray
    d: np.ndarray
    strain: np.ndarray
    angle_deg: np.ndarray
    surface: Surface
    image_sizes: np.ndarray
    units: str = "mm"

    @property
    def frames(self) -> int:
        """Number of frames, the reference included."""
        return len(self.F)

    @property
    def cameras(self) -> int:
        return len(self.image_sizes)

    def _frame(self, frame: int) -> int:
        if not 0 <= frame < self.frames:
            raise IndexError(f"frame {frame} is not in 0 .. {self.frames - 1}")
        return int(frame)

    def position(self, frame: int, X: np.ndarray) -> np.ndarray:
        """Deformed positions (..., 3) of reference points X (..., 3) at `frame`."""
        f = self._frame(frame)
        return np.asarray(X, dtype=float) @ self.F[f].T + self.d[f]

    def displacement(self, frame: int, X: np.ndarray) -> np.ndarray:
        """Displacements (..., 3) of reference points X (..., 3) at `frame`, `units`."""
        f = self._frame(frame)
        X = np.asarray(X, dtype=float)
        return X @ (self.F[f] - np.eye(3)).T + self.d[f]

    def surface_strain(self, frame: int, normals: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """In-plane principal Green-Lagrange strains (minor, major), each (...,), for reference normals (..., 3).

        E = (F^T F - I) / 2 restricted to the tangent plane of each normal;
        NaN for a zero or non-finite normal.
        """
        return surface_strain(self.F[self._frame(frame)], normals)

    def normal(self, X: np.ndarray) -> np.ndarray:
        """Unit normal (..., 3) of the reference surface at the (x, y) of points X (..., 3)."""
        X = np.asarray(X, dtype=float)
        return self.surface.normal(X[..., 0], X[..., 1])

    def surface_distance(self, X: np.ndarray) -> np.ndarray:
        """Height (..., ) of points X (..., 3) above the reference surface, along its normal.

        Exact for the flat plate; first order in the distance on the curved shell.
        """
        X = np.asarray(X, dtype=float)
        dz = X[..., 2] - self.surface.height(X[..., 0], X[..., 1])
        return dz * self.normal(X)[..., 2]

    def to_arrays(self) -> dict[str, np.ndarray]:
        """The arrays of the truth file."""
        s = self.surface
        return {
            "F": np.asarray(self.F, dtype=float),
            "d": np.asarray(self.d, dtype=float),
            "strain": np.asarray(self.strain, dtype=float),
            "angle_deg": np.asarray(self.angle_deg, dtype=float),
            "surface": np.array([s.half_x, s.half_y, s.kx, s.ky], dtype=float),
            "image_sizes": np.asarray(self.image_sizes, dtype=np.int64),
            "units": np.array(self.units),
            "version": np.array(_VERSION, dtype=np.int64),
        }


def load_truth(directory: str | os.PathLike) -> Truth:
    """Read ``truth.npz`` of an example directory (or the file itself).

    Raises
    ------
    TruthError
        The file is missing, not an npz archive, or a key is missing or malformed.
    """
    path = Path(directory)
    if path.is_dir():
        path = path / TRUTH_FILE
    if not path.exists():
        raise TruthError(f"{path}: no such file or directory")
    if not path.is_file():
        raise TruthError(f"{path}: not a file")
    try:
        with np.load(path, allow_pickle=False) as z:
            arrays = {k: z[k] for k in z.files}
    except (OSError, ValueError, zipfile.BadZipFile) as exc:
        raise TruthError(f"{path}: not a truth archive ({exc})") from None

    def get(key: str, shape: tuple, kind: str = "f") -> np.ndarray:
        if key not in arrays:
            raise TruthError(f"{path}: missing '{key}'")
        a = arrays[key]
        numeric = a.dtype.kind in "fiu"
        if (kind == "f" and not numeric) or (kind != "f" and a.dtype.kind != kind):
            raise TruthError(f"{path}: '{key}' has type {a.dtype}")
        if len(a.shape) != len(shape) or any(n is not None and n != m for n, m in zip(shape, a.shape)):
            raise TruthError(f"{path}: '{key}' has shape {a.shape}, expected {_shape_text(shape)}")
        if kind == "f" and not np.all(np.isfinite(a)):
            raise TruthError(f"{path}: '{key}' holds non-finite values")
        return a

    version = get("version", ())
    if int(version) != _VERSION:
        raise TruthError(f"{path}: 'version' is {int(version)}, this reader knows {_VERSION}")
    F = get("F", (None, 3, 3)).astype(float)
    frames = len(F)
    if frames < 1:
        raise TruthError(f"{path}: 'F' holds no frame")
    surface = get("surface", (4,)).astype(float)
    sizes = get("image_sizes", (None, 2))
    return Truth(
        F=F,
        d=get("d", (frames, 3)).astype(float),
        strain=get("strain", (frames,)).astype(float),
        angle_deg=get("angle_deg", (frames,)).astype(float),
        surface=Surface(*(float(v) for v in surface)),
        image_sizes=sizes.astype(np.int64),
        units=str(get("units", (), kind="U")),
    )


def _shape_text(shape: tuple) -> str:
    return "(" + ", ".join("n" if n is None else str(n) for n in shape) + ("," if len(shape) == 1 else "") + ")"
