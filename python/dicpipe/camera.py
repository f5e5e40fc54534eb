"""Calibrated cameras and calibration files.

Conventions
-----------
- World and camera frames: a world point X has camera coordinates
  Xc = R @ X + t, so the camera centre is -R.T @ t. Lengths (t, world points)
  are in the calibration's units, millimetres unless the file says otherwise.
- Normalised coordinates: x = Xc[0] / Xc[2], y = Xc[1] / Xc[2].
- Lens model (OpenCV's order and meaning of k1, k2, p1, p2, k3), with
  r^2 = x^2 + y^2 and radial = 1 + k1 r^2 + k2 r^4 + k3 r^6::

      x_d = x radial + 2 p1 x y + p2 (r^2 + 2 x^2)
      y_d = y radial + p1 (r^2 + 2 y^2) + 2 p2 x y
      u = fx x_d + s y_d + cx,   v = fy y_d + cy

  with K = [[fx, s, cx], [0, fy, cy], [0, 0, 1]]; s is the skew in pixels.
- Pixels: u = column, v = row; (0, 0) is the centre of the top-left pixel.

The inverse of the lens model (pixels to undistorted normalised coordinates)
is solved by Newton's method on the 2 x 2 Jacobian, starting from the
distorted coordinates, until a step is at most 1e-12 normalised units (50
iterations at most). A pixel whose iteration does not converge, or whose
solution lies beyond the radius where the radial curve folds back (where the
lens model stops being one-to-one) is NaN: never a wrong point.

Calibration files (`load_calibration` recognises them by their content, not
by their name):

- our JSON (``"format": "dicpipe-calibration"``), written by `save_calibration`;
- OpenCV's stereo calibration saved by ``cv::FileStorage`` (YAML, XML or
  JSON): ``K1 D1 K2 D2 R T``, ``cameraMatrix1 distCoeffs1 cameraMatrix2
  distCoeffs2 R T`` or ``M1 D1 M2 D2 R T``. The world is OpenCV's first camera
  (our camera 0: R = I, t = 0); our camera 1 has OpenCV's R and T;
- the VIC-3D project XML: per camera ``cx cy fx fy fs k1 k2 k3`` and the
  orientation ``alpha beta gamma tx ty tz`` (degrees, millimetres) with
  R = Rz(gamma) Ry(beta) Rx(alpha).
"""

from __future__ import annotations

import hashlib
import json
import math
import numbers
import operator
import os
import secrets
import struct
import xml.etree.ElementTree as ElementTree
from collections.abc import Sequence
from dataclasses import dataclass, replace
from pathlib import Path
from typing import Any

import numpy as np

__all__ = [
    "FORMAT_NAME",
    "FORMAT_VERSION",
    "Calibration",
    "CalibrationError",
    "Camera",
    "load_calibration",
    "save_calibration",
]

#: The ``format`` value of our JSON calibration files, and their version.
FORMAT_NAME = "dicpipe-calibration"
FORMAT_VERSION = 1

#: Undistortion stops when a Newton step is at most this long (normalised units).
UNDISTORT_TOLERANCE = 1e-12
#: Undistortion gives up (NaN) after this many Newton steps.
UNDISTORT_MAX_ITERATIONS = 50
#: Largest |R R^T - I| element accepted for a rotation (given or read): a
#: rotation written with six significant digits passes, a scaled or sheared
#: matrix does not. The matrix is used as given, never re-orthonormalised.
ROTATION_TOLERANCE = 1e-5
#: Files larger than this are refused unread (a calibration is a few kilobytes;
#: a project file listing thousands of images, a megabyte or two).
MAX_FILE_BYTES = 64 * 1024 * 1024

# OpenCV's distortion vector beyond k1 k2 p1 p2 k3, in its order.
_OPENCV_EXTRA_TERMS = ("k4", "k5", "k6", "s1", "s2", "s3", "s4", "taux", "tauy")
_OPENCV_DIST_SIZES = (4, 5, 8, 12, 14)
_OPENCV_KEY_FAMILIES = (
    ("K1", "D1", "K2", "D2"),
    ("cameraMatrix1", "distCoeffs1", "cameraMatrix2", "distCoeffs2"),
    ("M1", "D1", "M2", "D2"),
)
_JSON_TOP_KEYS = ("format", "version", "units", "cameras")
_JSON_CAMERA_KEYS = ("image_size", "K", "distortion", "R", "t")


class CalibrationError(ValueError):
    """A calibration that cannot be used; the one-line message names the file and the key."""


# --------------------------------------------------------------------------
# Checked conversions (``where`` names the file and key in messages)
# --------------------------------------------------------------------------


def _numbers(value: Any, where: str) -> np.ndarray:
    """A float64 copy of numeric data; booleans, text and ragged lists are refused."""
    if isinstance(value, np.ndarray):
        arr = value
    else:
        try:
            arr = np.asarray(value)
        except ValueError:
            raise CalibrationError(f"{where}: expected numbers in a regular array") from None
    if arr.dtype.kind not in "iuf":
        raise CalibrationError(f"{where}: expected numbers, got {_describe(value)}")
    arr = np.array(arr, dtype=np.float64)
    if not np.all(np.isfinite(arr)):
        raise CalibrationError(f"{where}: non-finite value")
    return arr


def _describe(value: Any) -> str:
    text = repr(value)
    return text if len(text) <= 40 else text[:37] + "..."


def _frozen(arr: np.ndarray) -> np.ndarray:
    arr = np.ascontiguousarray(arr, dtype=np.float64)
    # Normalise -0.0 to 0.0 so that equal calibrations have equal bytes and digests.
    arr = arr + 0.0
    arr.flags.writeable = False
    return arr


def _check_K(value: Any, where: str) -> np.ndarray:
    K = _numbers(value, where)
    if K.shape != (3, 3):
        raise CalibrationError(f"{where}: expected a 3 x 3 camera matrix, got shape {K.shape}")
    if K[1, 0] != 0.0 or K[2, 0] != 0.0 or K[2, 1] != 0.0 or K[2, 2] != 1.0:
        raise CalibrationError(f"{where}: expected [[fx, s, cx], [0, fy, cy], [0, 0, 1]], got rows {K.tolist()}")
    if K[0, 0] <= 0.0 or K[1, 1] <= 0.0:
        raise CalibrationError(f"{where}: focal lengths must be positive, got fx={K[0, 0]!r}, fy={K[1, 1]!r}")
    return _frozen(K)


def _check_dist(value: Any, where: str) -> np.ndarray:
    d = _numbers(value, where)
    if d.ndim != 1 or d.size not in (0, 2, 4, 5):
        raise CalibrationError(f"{where}: expected 0, 2, 4 or 5 coefficients (k1, k2, p1, p2, k3), got shape {d.shape}")
    return _frozen(np.concatenate([d, np.zeros(5 - d.size)]))


def _check_R(value: Any, where: str) -> np.ndarray:
    R = _numbers(value, where)
    if R.shape != (3, 3):
        raise CalibrationError(f"{where}: expected a 3 x 3 rotation, got shape {R.shape}")
    deviation = float(np.max(np.abs(R @ R.T - np.eye(3))))
    if deviation > ROTATION_TOLERANCE:
        raise CalibrationError(f"{where}: not a rotation (|R R^T - I| reaches {deviation:.3g})")
    det = float(np.linalg.det(R))
    if det < 0.0:
        raise CalibrationError(f"{where}: not a rotation (a reflection, determinant {det:.6g})")
    return _frozen(R)


def _check_t(value: Any, where: str) -> np.ndarray:
    t = _numbers(value, where)
    if t.size != 3 or sum(n != 1 for n in t.shape) > 1:
        raise CalibrationError(f"{where}: expected 3 numbers, got shape {t.shape}")
    return _frozen(t.reshape(3))


def _check_size(value: Any, where: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise CalibrationError(f"{where}: expected a positive whole number of pixels, got {_describe(value)}")
    if not math.isfinite(value) or value != int(value) or int(value) <= 0:
        raise CalibrationError(f"{where}: expected a positive whole number of pixels, got {value!r}")
    return int(value)


# --------------------------------------------------------------------------
# Lens model
# --------------------------------------------------------------------------


def _distort(dist: np.ndarray, x: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    k1, k2, p1, p2, k3 = (float(c) for c in dist)
    r2 = x * x + y * y
    radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3))
    xy = x * y
    xd = x * radial + 2.0 * p1 * xy + p2 * (r2 + 2.0 * x * x)
    yd = y * radial + p1 * (r2 + 2.0 * y * y) + 2.0 * p2 * xy
    return xd, yd


def _distortion_jacobian(
    dist: np.ndarray, x: np.ndarray, y: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """d(x_d, y_d) / d(x, y) as its four elements (xx, xy, yx, yy)."""
    k1, k2, p1, p2, k3 = (float(c) for c in dist)
    r2 = x * x + y * y
    radial = 1.0 + r2 * (k1 + r2 * (k2 + r2 * k3))
    dradial = 2.0 * (k1 + r2 * (2.0 * k2 + r2 * 3.0 * k3))  # d radial / d r^2, times 2
    jxx = radial + dradial * x * x + 2.0 * p1 * y + 6.0 * p2 * x
    jxy = dradial * x * y + 2.0 * p1 * x + 2.0 * p2 * y
    jyx = dradial * x * y + 2.0 * p1 * x + 2.0 * p2 * y
    jyy = radial + dradial * y * y + 6.0 * p1 * y + 2.0 * p2 * x
    return jxx, jxy, jyx, jyy


def _fold_r2(dist: np.ndarray) -> float:
    """Smallest r^2 > 0 where d(r radial(r)) / dr = 1 + 3 k1 r^2 + 5 k2 r^4 + 7 k3 r^6 vanishes (inf if none)."""
    k1, k2, _, _, k3 = (float(c) for c in dist)
    coefficients = np.trim_zeros(np.array([7.0 * k3, 5.0 * k2, 3.0 * k1, 1.0]), "f")
    if coefficients.size < 2:
        return math.inf
    roots = np.roots(coefficients)
    real = roots.real[(np.abs(roots.imag) <= 1e-12 * np.maximum(1.0, np.abs(roots.real))) & (roots.real > 0.0)]
    return float(real.min()) if real.size else math.inf


def _undistort(dist: np.ndarray, xd: np.ndarray, yd: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Undistorted normalised coordinates of distorted ones; NaN where there is no trustworthy inverse.

    Every point iterates on its own (a converged point is frozen), so its
    result does not depend on the other points of the batch.
    """
    shape = np.broadcast_shapes(np.shape(xd), np.shape(yd))
    xd = np.broadcast_to(xd, shape).ravel()
    yd = np.broadcast_to(yd, shape).ravel()
    if not np.any(dist):
        return xd.reshape(shape).copy(), yd.reshape(shape).copy()
    x = xd.copy()
    y = yd.copy()
    active = np.isfinite(xd) & np.isfinite(yd)
    converged = np.zeros(x.shape, dtype=bool)
    with np.errstate(all="ignore"):
        for _ in range(UNDISTORT_MAX_ITERATIONS):
            idx = np.flatnonzero(active)
            if idx.size == 0:
                break
            xi, yi = x[idx], y[idx]
            fx, fy = _distort(dist, xi, yi)
            rx, ry = fx - xd[idx], fy - yd[idx]
            jxx, jxy, jyx, jyy = _distortion_jacobian(dist, xi, yi)
            det = jxx * jyy - jxy * jyx
            dx = (jyy * rx - jxy * ry) / det
            dy = (jxx * ry - jyx * rx) / det
            xi = xi - dx
            yi = yi - dy
            x[idx], y[idx] = xi, yi
            bad = ~(np.isfinite(xi) & np.isfinite(yi))
            done = (np.maximum(np.abs(dx), np.abs(dy)) <= UNDISTORT_TOLERANCE) & ~bad
            converged[idx[done]] = True
            active[idx[done | bad]] = False
        # Beyond the fold (or where the tangential terms make the map locally
        # non-invertible) Newton may land on a second preimage: refuse it.
        jxx, jxy, jyx, jyy = _distortion_jacobian(dist, x, y)
        trusted = converged & (x * x + y * y < _fold_r2(dist)) & (jxx * jyy - jxy * jyx > 0.0)
    x[~trusted] = np.nan
    y[~trusted] = np.nan
    return x.reshape(shape), y.reshape(shape)


def _last_axis(value: Any, n: int, name: str) -> np.ndarray:
    arr = np.asarray(value, dtype=np.float64)
    if arr.ndim == 0 or arr.shape[-1] != n:
        raise ValueError(f"{name}: expected an array of shape (..., {n}), got {arr.shape}")
    return arr


# --------------------------------------------------------------------------
# Camera and calibration records
# --------------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class Camera:
    """A calibrated camera: intrinsics, lens distortion and pose.

    Parameters
    ----------
    K : array_like, shape (3, 3)
        ``[[fx, s, cx], [0, fy, cy], [0, 0, 1]]`` in pixels; s is the skew.
    dist : array_like, shape (5,)
        k1, k2, p1, p2, k3 in OpenCV's order and meaning. Shorter vectors of
        0, 2 or 4 entries are completed with zeros.
    R : array_like, shape (3, 3)
        Rotation from world to camera.
    t : array_like, shape (3,)
        Translation: camera coordinates are ``R @ X + t``.
    width, height : int or None
        Image size in pixels, None when unknown.

    The arrays are stored as read-only float64 copies. Invalid values raise
    `CalibrationError` naming the field.
    """

    K: np.ndarray
    dist: np.ndarray
    R: np.ndarray
    t: np.ndarray
    width: int | None = None
    height: int | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "K", _check_K(self.K, "K"))
        object.__setattr__(self, "dist", _check_dist(self.dist, "dist"))
        object.__setattr__(self, "R", _check_R(self.R, "R"))
        object.__setattr__(self, "t", _check_t(self.t, "t"))
        if (self.width is None) != (self.height is None):
            raise CalibrationError("width, height: give both or neither")
        if self.width is not None:
            object.__setattr__(self, "width", _check_size(self.width, "width"))
            object.__setattr__(self, "height", _check_size(self.height, "height"))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Camera):
            return NotImplemented
        return (
            np.array_equal(self.K, other.K)
            and np.array_equal(self.dist, other.dist)
            and np.array_equal(self.R, other.R)
            and np.array_equal(self.t, other.t)
            and self.width == other.width
            and self.height == other.height
        )

    def __hash__(self) -> int:
        return hash(
            (self.K.tobytes(), self.dist.tobytes(), self.R.tobytes(), self.t.tobytes(), self.width, self.height)
        )

    @property
    def centre(self) -> np.ndarray:
        """World position of the projection centre, ``-R.T @ t``, shape (3,)."""
        return -self.R.T @ self.t

    def is_radial2(self) -> bool:
        """True when only k1 and k2 are used: p1 = p2 = k3 = 0 and no skew."""
        return bool(self.dist[2] == 0.0 and self.dist[3] == 0.0 and self.dist[4] == 0.0 and self.K[0, 1] == 0.0)

    def project(self, X: Any) -> np.ndarray:
        """Pixels of world points, lens distortion included.

        Parameters
        ----------
        X : array_like, shape (..., 3)
            World points.

        Returns
        -------
        numpy.ndarray, shape (..., 2)
            (u, v) pixels; NaN for points on or behind the camera's plane
            (Zc <= 0).
        """
        X = _last_axis(X, 3, "X")
        R, t = self.R, self.t
        # Written out per element rather than as a matrix product, so that a
        # point's result does not depend on how many points are projected with it.
        xc = [R[i, 0] * X[..., 0] + R[i, 1] * X[..., 1] + R[i, 2] * X[..., 2] + t[i] for i in range(3)]
        with np.errstate(divide="ignore", invalid="ignore"):
            x = xc[0] / xc[2]
            y = xc[1] / xc[2]
            xd, yd = _distort(self.dist, x, y)
        K = self.K
        uv = np.stack([K[0, 0] * xd + K[0, 1] * yd + K[0, 2], K[1, 1] * yd + K[1, 2]], axis=-1)
        uv[~(xc[2] > 0.0)] = np.nan
        return uv

    def normalize(self, uv: Any) -> np.ndarray:
        """Undistorted normalised coordinates of pixels.

        Parameters
        ----------
        uv : array_like, shape (..., 2)
            Pixels (u = column, v = row).

        Returns
        -------
        numpy.ndarray, shape (..., 2)
            (x, y) with camera coordinates proportional to (x, y, 1); NaN
            where the lens model has no trustworthy inverse (see the module's
            notes) or the pixel is not finite.
        """
        uv = _last_axis(uv, 2, "uv")
        K = self.K
        yd = (uv[..., 1] - K[1, 2]) / K[1, 1]
        xd = (uv[..., 0] - K[0, 2] - K[0, 1] * yd) / K[0, 0]
        x, y = _undistort(self.dist, xd, yd)
        return np.stack([x, y], axis=-1)


@dataclass(frozen=True)
class Calibration:
    """The cameras of one experiment in a common world frame.

    Parameters
    ----------
    cameras : sequence of Camera
        Camera 0 first; at least one.
    units : str
        Length unit of the world frame and of every t.
    source : str
        Where the calibration came from (file and format), for messages.
    """

    cameras: tuple[Camera, ...]
    units: str = "mm"
    source: str = ""

    def __post_init__(self) -> None:
        cameras = tuple(self.cameras)
        if not cameras:
            raise CalibrationError(f"{self.source or 'calibration'}: cameras: no camera")
        for i, camera in enumerate(cameras):
            if not isinstance(camera, Camera):
                raise CalibrationError(f"{self.source or 'calibration'}: cameras[{i}]: not a Camera")
        if not isinstance(self.units, str) or not self.units.strip():
            raise CalibrationError(f"{self.source or 'calibration'}: units: expected a non-empty text")
        object.__setattr__(self, "cameras", cameras)

    def __len__(self) -> int:
        return len(self.cameras)

    def module_arrays(self) -> dict[str, Any]:
        """The camera arrays that native_vostrel's reconstructions take.

        Returns
        -------
        dict
            ``K`` (n, 3, 3), ``dist``, ``R`` (n, 3, 3), ``t`` (n, 3), all new
            float64 arrays, and ``distortion_model``: ``"radial2"`` with
            ``dist`` (n, 2) = k1, k2 when every camera `Camera.is_radial2`,
            else ``"opencv"`` with ``dist`` (n, 5) = k1, k2, p1, p2, k3 and the
            skew in ``K[c, 0, 1]``. Pass ``distortion_model=`` to the module
            only when it is not ``"radial2"``, the module's default.
        """
        radial2 = all(c.is_radial2() for c in self.cameras)
        columns = 2 if radial2 else 5
        return {
            "K": np.stack([c.K for c in self.cameras]),
            "dist": np.stack([c.dist[:columns] for c in self.cameras]),
            "R": np.stack([c.R for c in self.cameras]),
            "t": np.stack([c.t for c in self.cameras]),
            "distortion_model": "radial2" if radial2 else "opencv",
        }

    def digest(self) -> str:
        """SHA-256 (hex) of the calibration's numbers, the same on every run and platform.

        The hashed bytes are ``b"dicpipe-calibration/1\\n"``, the UTF-8 units
        and a newline, then per camera: width and height as little-endian
        int64 (-1 when unknown) and K (row by row), dist, R (row by row) and t
        as little-endian float64. `source` is not part of it.
        """
        h = hashlib.sha256()
        h.update(f"{FORMAT_NAME}/{FORMAT_VERSION}\n{self.units}\n".encode())
        for c in self.cameras:
            h.update(struct.pack("<qq", -1 if c.width is None else c.width, -1 if c.height is None else c.height))
            for arr in (c.K, c.dist, c.R, c.t):
                h.update(arr.astype("<f8").tobytes())
        return h.hexdigest()

    def epipolar_distance(self, i: int, j: int, uv_i: Any, uv_j: Any) -> np.ndarray:
        """Distance in camera j's pixels of ``uv_j`` from the epipolar curve of ``uv_i``.

        Both pixels are undistorted to normalised coordinates; the residual of
        the epipolar constraint in camera j's normalised plane is divided by
        its gradient with respect to camera j's pixels (lens distortion
        included), which is the distance to the curve to first order and
        exact without distortion.

        Parameters
        ----------
        i, j : int
            Two different cameras.
        uv_i, uv_j : array_like, shape (..., 2)
            Pixels in cameras i and j (broadcast against each other).

        Returns
        -------
        numpy.ndarray
            Non-negative distances, the broadcast shape without the last axis;
            NaN where either pixel does not undistort.
        """
        n = len(self.cameras)
        i, j = operator.index(i), operator.index(j)
        if not (0 <= i < n and 0 <= j < n):
            raise ValueError(f"camera indices {i}, {j}: expected 0 to {n - 1}")
        if i == j:
            raise ValueError(f"camera indices {i}, {j}: the epipolar geometry needs two different cameras")
        ci, cj = self.cameras[i], self.cameras[j]
        xi = ci.normalize(uv_i)
        xj = cj.normalize(uv_j)
        R = cj.R @ ci.R.T
        b = cj.t - R @ ci.t
        E = np.array([[0.0, -b[2], b[1]], [b[2], 0.0, -b[0]], [-b[1], b[0], 0.0]]) @ R
        # Epipolar line of camera i's point in camera j's normalised plane.
        line = [E[r, 0] * xi[..., 0] + E[r, 1] * xi[..., 1] + E[r, 2] for r in range(3)]
        residual = line[0] * xj[..., 0] + line[1] * xj[..., 1] + line[2]
        # Pixels of camera j as a function of its normalised point: M = A J,
        # A the linear part of K, J the distortion Jacobian. The gradient of
        # the residual with respect to the pixel is M^-T (line0, line1).
        jxx, jxy, jyx, jyy = _distortion_jacobian(cj.dist, xj[..., 0], xj[..., 1])
        fx, s, fy = cj.K[0, 0], cj.K[0, 1], cj.K[1, 1]
        mxx, mxy = fx * jxx + s * jyx, fx * jxy + s * jyy
        myx, myy = fy * jyx, fy * jyy
        det = mxx * myy - mxy * myx
        with np.errstate(divide="ignore", invalid="ignore"):
            gx = (myy * line[0] - myx * line[1]) / det
            gy = (-mxy * line[0] + mxx * line[1]) / det
            return np.abs(residual) / np.hypot(gx, gy)

    def with_image_sizes(self, sizes: Sequence[tuple[int, int]]) -> Calibration:
        """A copy whose cameras carry the image sizes of their images.

        Parameters
        ----------
        sizes : sequence of (width, height)
            One per camera, in pixels.

        Raises
        ------
        CalibrationError
            When the count differs, or a camera already states a size that the
            image does not have (the calibration belongs to other images).
        """
        where = self.source or "calibration"
        if len(sizes) != len(self.cameras):
            raise CalibrationError(f"{where}: {len(self.cameras)} cameras but {len(sizes)} image sizes")
        cameras = []
        for k, (camera, size) in enumerate(zip(self.cameras, sizes)):
            w = _check_size(size[0], f"image size of camera {k}")
            h = _check_size(size[1], f"image size of camera {k}")
            if camera.width is not None and (camera.width, camera.height) != (w, h):
                raise CalibrationError(
                    f"{where}: camera {k} was calibrated for {camera.width} x {camera.height} pixels "
                    f"but its images are {w} x {h}"
                )
            cameras.append(replace(camera, width=w, height=h))
        return replace(self, cameras=tuple(cameras))


# --------------------------------------------------------------------------
# Reading
# --------------------------------------------------------------------------


def load_calibration(path: str | os.PathLike[str]) -> Calibration:
    """Read a calibration file, recognising its format by its content.

    Parameters
    ----------
    path : path-like
        Our JSON, an OpenCV FileStorage stereo calibration (YAML, XML or
        JSON) or a VIC-3D project XML.

    Returns
    -------
    Calibration
        ``source`` names the file and the format.

    Raises
    ------
    CalibrationError
        One line naming the file and the key: unreadable file, unknown
        format, missing key, wrong shape, non-finite value, a matrix that is
        not a rotation, distortion terms this model does not have.
    """
    path = Path(path)
    try:
        size = path.stat().st_size
        if size > MAX_FILE_BYTES:
            raise CalibrationError(f"{path}: {size} bytes is too large for a calibration file")
        data = path.read_bytes()
    except OSError as exc:
        raise CalibrationError(f"{path}: cannot read the calibration file ({exc.strerror or exc})") from None
    head = data.lstrip(b"\xef\xbb\xbf \t\r\n")
    if not head:
        raise CalibrationError(f"{path}: the calibration file is empty")
    if head.startswith(b"{"):
        return _load_json(path, data)
    if head.startswith(b"<"):
        return _load_xml(path, data)
    if head.startswith(b"%YAML"):
        return _load_opencv(path, data, "YAML")
    raise CalibrationError(
        f"{path}: not a calibration format this reader knows (our JSON, OpenCV FileStorage YAML/XML/JSON, "
        "VIC-3D project XML)"
    )


def _reject_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for key, value in pairs:
        if key in out:
            raise CalibrationError(f"key {key!r} appears twice")
        out[key] = value
    return out


def _load_json(path: Path, data: bytes) -> Calibration:
    try:
        doc = json.loads(data, object_pairs_hook=_reject_duplicates)
    except CalibrationError as exc:
        raise CalibrationError(f"{path}: {exc}") from None
    except (ValueError, RecursionError) as exc:  # ValueError covers JSONDecodeError and UnicodeDecodeError
        raise CalibrationError(f"{path}: not valid JSON ({_describe(str(exc))})") from None
    if not isinstance(doc, dict):
        raise CalibrationError(f"{path}: expected a JSON object at the top")
    if "format" not in doc:
        if any(family[0] in doc for family in _OPENCV_KEY_FAMILIES):
            return _load_opencv(path, data, "JSON")
        raise CalibrationError(f'{path}: format: missing (expected "format": "{FORMAT_NAME}")')
    if doc["format"] != FORMAT_NAME:
        raise CalibrationError(f"{path}: format: expected {FORMAT_NAME!r}, got {_describe(doc['format'])}")
    for key in doc:
        if key not in _JSON_TOP_KEYS:
            raise CalibrationError(f"{path}: unknown key {key!r} (known: {', '.join(_JSON_TOP_KEYS)})")
    version = doc.get("version", FORMAT_VERSION)
    if isinstance(version, bool) or version != FORMAT_VERSION:
        raise CalibrationError(f"{path}: version: {_describe(version)} is not supported (this reader knows 1)")
    units = doc.get("units", "mm")
    if not isinstance(units, str) or not units.strip():
        raise CalibrationError(f"{path}: units: expected a non-empty text, got {_describe(units)}")
    entries = doc.get("cameras")
    if not isinstance(entries, list) or not entries:
        raise CalibrationError(f"{path}: cameras: expected a non-empty list of cameras")
    cameras = []
    for k, entry in enumerate(entries):
        at = f"{path}: cameras[{k}]"
        if not isinstance(entry, dict):
            raise CalibrationError(f"{at}: expected an object")
        for key in entry:
            if key not in _JSON_CAMERA_KEYS:
                raise CalibrationError(f"{at}: unknown key {key!r} (known: {', '.join(_JSON_CAMERA_KEYS)})")
        for key in ("K", "R", "t"):
            if key not in entry:
                raise CalibrationError(f"{at}.{key}: missing")
        width = height = None
        if "image_size" in entry:
            size = entry["image_size"]
            if not isinstance(size, list) or len(size) != 2:
                raise CalibrationError(f"{at}.image_size: expected [width, height], got {_describe(size)}")
            width = _check_size(size[0], f"{at}.image_size")
            height = _check_size(size[1], f"{at}.image_size")
        cameras.append(
            Camera(
                K=_check_K(entry["K"], f"{at}.K"),
                dist=_check_dist(entry.get("distortion", []), f"{at}.distortion"),
                R=_check_R(entry["R"], f"{at}.R"),
                t=_check_t(entry["t"], f"{at}.t"),
                width=width,
                height=height,
            )
        )
    return Calibration(tuple(cameras), units=units, source=f"{path} (dicpipe JSON)")


def _load_xml(path: Path, data: bytes) -> Calibration:
    try:
        root = ElementTree.fromstring(data)
    except (ElementTree.ParseError, ValueError, LookupError) as exc:  # LookupError: an unknown encoding
        raise CalibrationError(f"{path}: not well-formed XML ({exc})") from None
    if root.tag == "opencv_storage":
        return _load_opencv(path, data, "XML")
    if root.find("calibration") is not None:
        return _load_vic3d(path, root)
    raise CalibrationError(
        f"{path}: XML root <{root.tag}> is neither an OpenCV FileStorage nor a VIC-3D project with <calibration>"
    )


# ---- OpenCV FileStorage --------------------------------------------------


def _cv_message(exc: BaseException) -> str:
    cause = exc.__cause__ or exc
    lines = [line.strip() for line in str(cause).splitlines() if line.strip()]
    # Keep OpenCV's own words, not the source file and line it prefixes them with.
    return lines[-1].split(" error: ", 1)[-1] if lines else type(cause).__name__


def _fs_values(node: Any, where: str) -> np.ndarray:
    """Numbers of a FileStorage node: a matrix, a (nested) sequence or a single number."""
    import cv2

    if node.isMap():
        try:
            mat = node.mat()
        except cv2.error:
            mat = None
        if mat is None:
            raise CalibrationError(f"{where}: expected a matrix")
        return _numbers(mat, where)
    if node.isSeq():
        items = [node.at(i) for i in range(node.size())]
        if items and all(item.isSeq() for item in items):
            rows = [_fs_values(item, where) for item in items]
            if len({row.shape for row in rows}) != 1:
                raise CalibrationError(f"{where}: rows of different lengths")
            return np.stack(rows)
        if not all(item.isInt() or item.isReal() for item in items):
            raise CalibrationError(f"{where}: expected a sequence of numbers")
        return _numbers([item.real() for item in items], where)
    if node.isInt() or node.isReal():
        return _numbers(node.real(), where)
    raise CalibrationError(f"{where}: expected numbers")


def _load_opencv(path: Path, data: bytes, flavour: str) -> Calibration:
    import cv2

    text = data.decode("utf-8", errors="replace")
    try:
        fs = cv2.FileStorage(text, cv2.FILE_STORAGE_READ | cv2.FILE_STORAGE_MEMORY)
    except (cv2.error, SystemError) as exc:
        raise CalibrationError(f"{path}: OpenCV cannot read this {flavour} file ({_cv_message(exc)})") from None
    try:
        if not fs.isOpened():
            raise CalibrationError(f"{path}: OpenCV cannot read this {flavour} file")
        return _read_opencv_nodes(path, fs, flavour)
    finally:
        fs.release()


def _read_opencv_nodes(path: Path, fs: Any, flavour: str) -> Calibration:
    def node(key: str) -> Any | None:
        n = fs.getNode(key)
        return None if n.empty() or n.isNone() else n

    family = next((f for f in _OPENCV_KEY_FAMILIES if node(f[0]) is not None), None)
    if family is None:
        names = ", ".join(f[0] for f in _OPENCV_KEY_FAMILIES)
        raise CalibrationError(f"{path}: no camera matrix (expected one of {names})")
    values: dict[str, np.ndarray] = {}
    for key in (*family, "R", "T"):
        n = node(key)
        if n is None:
            raise CalibrationError(f"{path}: {key}: missing")
        values[key] = _fs_values(n, f"{path}: {key}")

    width = height = None
    size_node = node("imageSize")
    if size_node is not None:
        size = _fs_values(size_node, f"{path}: imageSize").ravel()
        if size.size != 2:
            raise CalibrationError(f"{path}: imageSize: expected [width, height], got {size.size} numbers")
        width = _check_size(float(size[0]), f"{path}: imageSize")
        height = _check_size(float(size[1]), f"{path}: imageSize")
    else:
        w_node, h_node = node("image_width"), node("image_height")
        if (w_node is None) != (h_node is None):
            missing = "image_height" if h_node is None else "image_width"
            raise CalibrationError(f"{path}: {missing}: missing (image_width and image_height come together)")
        if w_node is not None:
            width = _check_size(float(_fs_values(w_node, f"{path}: image_width").ravel()[0]), f"{path}: image_width")
            height = _check_size(float(_fs_values(h_node, f"{path}: image_height").ravel()[0]), f"{path}: image_height")

    units = "mm"
    units_node = node("units")
    if units_node is not None:
        if not units_node.isString() or not units_node.string().strip():
            raise CalibrationError(f"{path}: units: expected a non-empty text")
        units = units_node.string().strip()

    k1_key, d1_key, k2_key, d2_key = family
    R = values["R"]
    if R.size == 3 and R.ndim <= 2 and sum(n != 1 for n in R.shape) == 1:
        import cv2

        R = cv2.Rodrigues(R.reshape(3, 1))[0]  # a rotation vector
    cameras = (
        Camera(
            K=_check_K(values[k1_key], f"{path}: {k1_key}"),
            dist=_opencv_dist(values[d1_key], f"{path}: {d1_key}"),
            R=np.eye(3),
            t=np.zeros(3),
            width=width,
            height=height,
        ),
        Camera(
            K=_check_K(values[k2_key], f"{path}: {k2_key}"),
            dist=_opencv_dist(values[d2_key], f"{path}: {d2_key}"),
            R=_check_R(R, f"{path}: R"),
            t=_check_t(values["T"], f"{path}: T"),
            width=width,
            height=height,
        ),
    )
    return Calibration(cameras, units=units, source=f"{path} (OpenCV FileStorage {flavour})")


def _opencv_dist(d: np.ndarray, where: str) -> np.ndarray:
    if d.ndim > 2 or sum(n != 1 for n in d.shape) > 1:
        raise CalibrationError(f"{where}: expected a row or column of coefficients, got shape {d.shape}")
    d = d.ravel()
    if d.size not in _OPENCV_DIST_SIZES:
        raise CalibrationError(f"{where}: expected 4, 5, 8, 12 or 14 coefficients, got {d.size}")
    extra = [f"{name}={value!r}" for name, value in zip(_OPENCV_EXTRA_TERMS, d[5:].tolist()) if value != 0.0]
    if extra:
        raise CalibrationError(
            f"{where}: the terms {', '.join(extra)} are not modelled (only k1 k2 p1 p2 k3): "
            "calibrate without the rational, thin-prism and tilted models"
        )
    return _check_dist(d[:5], where)


# ---- VIC-3D project XML --------------------------------------------------


def _rotation_zyx(alpha: float, beta: float, gamma: float) -> np.ndarray:
    """Rz(gamma) @ Ry(beta) @ Rx(alpha), angles in degrees."""
    a, b, g = np.radians([alpha, beta, gamma])
    rx = np.array([[1.0, 0.0, 0.0], [0.0, np.cos(a), -np.sin(a)], [0.0, np.sin(a), np.cos(a)]])
    ry = np.array([[np.cos(b), 0.0, np.sin(b)], [0.0, 1.0, 0.0], [-np.sin(b), 0.0, np.cos(b)]])
    rz = np.array([[np.cos(g), -np.sin(g), 0.0], [np.sin(g), np.cos(g), 0.0], [0.0, 0.0, 1.0]])
    return rz @ ry @ rx


def _vic_numbers(text: str | None, count: int, names: str, where: str) -> list[float]:
    parts = (text or "").split()
    if len(parts) != count:
        raise CalibrationError(f"{where}: expected {count} numbers ({names}), got {len(parts)}")
    try:
        values = [float(p) for p in parts]
    except ValueError:
        raise CalibrationError(f"{where}: expected numbers ({names}), got {_describe(' '.join(parts))}") from None
    if not all(math.isfinite(v) for v in values):
        raise CalibrationError(f"{where}: non-finite value")
    return values


def _load_vic3d(path: Path, root: ElementTree.Element) -> Calibration:
    calibration = root.find("calibration")
    assert calibration is not None
    elements = calibration.findall("camera")
    if not elements:
        raise CalibrationError(f"{path}: calibration: no <camera> element")
    by_id: dict[int, ElementTree.Element] = {}
    for element in elements:
        ident = element.get("id")
        try:
            k = int(ident) if ident is not None else -1
        except ValueError:
            k = -1
        if k < 0:
            raise CalibrationError(f"{path}: camera id={ident!r}: expected a whole number from 0")
        if k in by_id:
            raise CalibrationError(f"{path}: camera id={k}: appears twice")
        by_id[k] = element
    if sorted(by_id) != list(range(len(by_id))):
        raise CalibrationError(f"{path}: camera ids {sorted(by_id)}: expected 0 to {len(by_id) - 1}")
    cameras = []
    for k in range(len(by_id)):
        element = by_id[k]
        where = f"{path}: camera id={k}"
        cx, cy, fx, fy, fs, k1, k2, k3 = _vic_numbers(element.text, 8, "cx cy fx fy fs k1 k2 k3", where)
        orientation = element.find("orientation")
        if orientation is None:
            raise CalibrationError(f"{where}: orientation: missing")
        alpha, beta, gamma, tx, ty, tz = _vic_numbers(
            orientation.text, 6, "alpha beta gamma tx ty tz", f"{where}: orientation"
        )
        cameras.append(
            Camera(
                K=_check_K([[fx, fs, cx], [0.0, fy, cy], [0.0, 0.0, 1.0]], where),
                dist=np.array([k1, k2, 0.0, 0.0, k3]),
                R=_rotation_zyx(alpha, beta, gamma),
                t=np.array([tx, ty, tz]),
            )
        )
    return Calibration(tuple(cameras), units="mm", source=f"{path} (VIC-3D project XML)")


# --------------------------------------------------------------------------
# Writing
# --------------------------------------------------------------------------


def _json_text(calibration: Calibration) -> str:
    def row(values: Any) -> str:
        return json.dumps([float(v) for v in values])

    blocks = []
    for c in calibration.cameras:
        lines = []
        if c.width is not None:
            lines.append(f'      "image_size": [{c.width}, {c.height}]')
        lines.append(f'      "K": [{", ".join(row(r) for r in c.K)}]')
        lines.append(f'      "distortion": {row(c.dist)}')
        lines.append(f'      "R": [{", ".join(row(r) for r in c.R)}]')
        lines.append(f'      "t": {row(c.t)}')
        blocks.append("    {\n" + ",\n".join(lines) + "\n    }")
    return (
        "{\n"
        f'  "format": {json.dumps(FORMAT_NAME)},\n'
        f'  "version": {FORMAT_VERSION},\n'
        f'  "units": {json.dumps(calibration.units)},\n'
        '  "cameras": [\n' + ",\n".join(blocks) + "\n  ]\n}\n"
    )


def save_calibration(path: str | os.PathLike[str], calibration: Calibration) -> None:
    """Write a calibration as our JSON, atomically.

    The text goes to a temporary file beside the target, which then replaces
    the target in one step: a reader never sees a partial file, and a failure
    leaves the old file (if any) as it was. Numbers are written with Python's
    shortest round-trip representation, so reading the file back gives the
    same bits.

    Parameters
    ----------
    path : path-like
        The target file.
    calibration : Calibration
        What to write (``source`` is not written).
    """
    if not isinstance(calibration, Calibration):
        raise TypeError(f"expected a Calibration, got {type(calibration).__name__}")
    target = Path(path)
    text = _json_text(calibration)
    temporary = target.with_name(f".{target.name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        os.replace(temporary, target)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
