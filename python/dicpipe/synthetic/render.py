"""Synthetic stereo measurements with a known answer.

A speckled specimen (a flat plate or a gently curved cylindrical shell) is
filmed by calibrated pinhole cameras with two-coefficient radial distortion,
before and after a known homogeneous deformation: a uniaxial stretch followed
by a rigid rotation and translation, x = Q S X + d.

Every image sample is ray-cast: the pixel is undistorted to a viewing ray, the
ray is intersected with the surface, and the texture is evaluated at the
material point, so there is no interpolation error. For the deformed image
the ray is mapped back through the inverse of the (affine) deformation, which
turns it into a ray in the reference configuration that meets the reference
surface at the material point seen by that pixel.

Camera model (the same as native_vostrel's): camera coordinates Xc = R X + t,
normalised x = Xc/Zc, y = Yc/Zc, distorted x' = x (1 + k1 r^2 + k2 r^4),
pixel = (fx x' + cx, fy y' + cy), x = column, y = row; integer pixel
coordinates are pixel centres. Units: millimetres.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

# --------------------------------------------------------------------------
# Cameras
# --------------------------------------------------------------------------


@dataclass
class Camera:
    """A calibrated pinhole camera with radial distortion; image size in pixels."""

    K: np.ndarray  # 3 x 3 intrinsics (fx, fy, cx, cy used)
    dist: np.ndarray  # (k1, k2)
    R: np.ndarray  # 3 x 3, world to camera
    t: np.ndarray  # 3
    width: int
    height: int

    @property
    def centre(self) -> np.ndarray:
        return -self.R.T @ self.t

    def project(self, points: np.ndarray) -> np.ndarray:
        """Pixels (..., 2) of world points (..., 3), distortion included."""
        p = np.asarray(points, dtype=float)
        xc = p @ self.R.T + self.t
        x = xc[..., 0] / xc[..., 2]
        y = xc[..., 1] / xc[..., 2]
        r2 = x * x + y * y
        f = 1.0 + self.dist[0] * r2 + self.dist[1] * r2 * r2
        return np.stack([self.K[0, 0] * x * f + self.K[0, 2], self.K[1, 1] * y * f + self.K[1, 2]], axis=-1)

    def undistort(self, px: np.ndarray, py: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Normalised undistorted coordinates of pixels, solved to full precision."""
        xd = (px - self.K[0, 2]) / self.K[0, 0]
        yd = (py - self.K[1, 2]) / self.K[1, 1]
        x, y = xd.copy(), yd.copy()
        for _ in range(60):
            r2 = x * x + y * y
            f = 1.0 + self.dist[0] * r2 + self.dist[1] * r2 * r2
            xn, yn = xd / f, yd / f
            done = max(np.max(np.abs(xn - x), initial=0.0), np.max(np.abs(yn - y), initial=0.0)) < 1e-16
            x, y = xn, yn
            if done:
                break
        return x, y

    def rays(self, px: np.ndarray, py: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """Origin (3,) and world directions (..., 3) of the viewing rays of pixels."""
        x, y = self.undistort(px, py)
        d_cam = np.stack([x, y, np.ones_like(x)], axis=-1)
        return self.centre, d_cam @ self.R  # R^T d for row vectors


def look_at(centre: np.ndarray, target: np.ndarray, up: np.ndarray | None = None) -> tuple[np.ndarray, np.ndarray]:
    """R, t of a camera at `centre` looking at `target`; world `up` (default +y) appears upwards in the image."""
    if up is None:
        up = np.array([0.0, 1.0, 0.0])
    z = target - centre
    z = z / np.linalg.norm(z)
    x = np.cross(z, up)  # image x to the right when world up is image up (image y points down)
    x = x / np.linalg.norm(x)
    y = np.cross(z, x)
    R = np.stack([x, y, z])
    return R, -R @ centre


def make_cameras(
    n: int,
    width: int,
    height: int,
    *,
    distance: float = 500.0,
    fov_width: float = 64.0,
    angle_deg: float = 12.0,
    dist: tuple[float, float] = (-0.25, 0.4),
) -> list[Camera]:
    """Two cameras left and right of the specimen (stereo angle 2*angle_deg), a third above them.

    The focal length makes a width of `fov_width` mm at `distance` fill the image.
    Distortion coefficients differ slightly per camera, as real lenses do.
    """
    if n < 2:
        raise ValueError("a stereo measurement needs at least two cameras")
    f = width * distance / fov_width
    a = np.radians(angle_deg)
    centres = [
        np.array([-distance * np.sin(a), 0.0, distance * np.cos(a)]),
        np.array([distance * np.sin(a), 0.0, distance * np.cos(a)]),
    ]
    if n >= 3:
        centres.append(np.array([0.0, distance * np.sin(a), distance * np.cos(a)]))
    if n > 3:
        raise ValueError("at most three cameras are laid out")
    cams = []
    for i, c in enumerate(centres):
        R, t = look_at(c, np.zeros(3))
        K = np.array(
            [
                [f * (1 + 0.002 * i), 0.0, (width - 1) / 2 + 3.0 * (i - 1)],
                [0.0, f * (1 + 0.002 * i), (height - 1) / 2 - 2.0 * (i - 1)],
                [0.0, 0.0, 1.0],
            ]
        )
        d = np.array([dist[0] * (1 + 0.1 * i), dist[1] * (1 - 0.1 * i)])
        cams.append(Camera(K=K, dist=d, R=R, t=t, width=width, height=height))
    return cams


# --------------------------------------------------------------------------
# Specimen: surface, texture, deformation
# --------------------------------------------------------------------------


@dataclass
class Surface:
    """The reference surface z = -(kx x^2 + ky y^2) / 2 over |x| <= half_x, |y| <= half_y (mm).

    kx = ky = 0 is a flat plate; a small kx is a cylindrical shell bending
    away from the cameras.
    """

    half_x: float = 25.0
    half_y: float = 18.0
    kx: float = 0.0
    ky: float = 0.0

    def height(self, x: np.ndarray, y: np.ndarray) -> np.ndarray:
        return -0.5 * (self.kx * x * x + self.ky * y * y)

    def point(self, x: np.ndarray, y: np.ndarray) -> np.ndarray:
        return np.stack([x, y, self.height(x, y)], axis=-1)

    def normal(self, x: np.ndarray, y: np.ndarray) -> np.ndarray:
        n = np.stack([self.kx * x, self.ky * y, np.ones_like(x)], axis=-1)
        return n / np.linalg.norm(n, axis=-1, keepdims=True)

    def intersect(self, o: np.ndarray, d: np.ndarray) -> np.ndarray:
        """Ray parameter of the first hit s > 0 of rays o + s d (NaN for a miss).

        o, d: (..., 3). The quadric gives a s^2 + b s + c = 0; the stable
        root pair q / a, c / q avoids cancellation when the surface is flat.
        """
        a = 0.5 * (self.kx * d[..., 0] ** 2 + self.ky * d[..., 1] ** 2)
        b = d[..., 2] + self.kx * o[..., 0] * d[..., 0] + self.ky * o[..., 1] * d[..., 1]
        c = o[..., 2] + 0.5 * (self.kx * o[..., 0] ** 2 + self.ky * o[..., 1] ** 2)
        disc = b * b - 4.0 * a * c
        with np.errstate(invalid="ignore", divide="ignore"):
            q = -0.5 * (b + np.copysign(np.sqrt(disc), b))
            s1 = c / q
            s2 = np.where(a != 0.0, q / a, np.nan)
            s1 = np.where(s1 > 0, s1, np.nan)
            s2 = np.where(s2 > 0, s2, np.nan)
            s = np.fmin(s1, s2)
        return np.where(disc >= 0, s, np.nan)

    def inside(self, x: np.ndarray, y: np.ndarray, margin: float = 0.0) -> np.ndarray:
        return (np.abs(x) <= self.half_x - margin) & (np.abs(y) <= self.half_y - margin)


@dataclass
class Speckle:
    """Analytic speckle: one Gaussian dot per cell of a jittered square lattice (material mm).

    Each dot has a random centre within its cell, radius and brightness; a
    sample sums the dots of its own and the eight neighbouring cells, which
    is exact because the dots are narrow compared with the cell.
    """

    pitch: float
    sigma: float
    extent: float
    seed: int = 7
    background: float = 30.0
    peak: float = 200.0
    tables: dict = field(init=False, repr=False)

    def __post_init__(self) -> None:
        rng = np.random.default_rng(self.seed)
        n = int(np.ceil(2 * self.extent / self.pitch)) + 4
        self._n = n
        self.tables = {
            "jx": rng.uniform(-0.35, 0.35, (n, n)),
            "jy": rng.uniform(-0.35, 0.35, (n, n)),
            "s": self.sigma * rng.uniform(0.75, 1.25, (n, n)),
            "a": self.peak * rng.uniform(0.6, 1.0, (n, n)) * (rng.uniform(size=(n, n)) < 0.85),
        }

    def __call__(self, x: np.ndarray, y: np.ndarray) -> np.ndarray:
        g = self.pitch
        off = self.extent + 2 * g
        ix = np.floor((x + off) / g).astype(np.int64)
        iy = np.floor((y + off) / g).astype(np.int64)
        value = np.full(np.shape(x), self.background)
        T = self.tables
        for ox in (-1, 0, 1):
            for oy in (-1, 0, 1):
                cx = np.clip(ix + ox, 0, self._n - 1)
                cy = np.clip(iy + oy, 0, self._n - 1)
                px = (cx + 0.5 + T["jx"][cx, cy]) * g - off
                py = (cy + 0.5 + T["jy"][cx, cy]) * g - off
                s = T["s"][cx, cy]
                r2 = ((x - px) ** 2 + (y - py) ** 2) / (s * s)
                value += T["a"][cx, cy] * np.exp(-0.5 * r2)
        return np.minimum(value, 250.0)  # saturate like a real sensor, keeps the contrast high


def rotation(axis: np.ndarray, angle_deg: float) -> np.ndarray:
    """Rotation matrix about a unit axis (Rodrigues)."""
    k = np.asarray(axis, dtype=float)
    k = k / np.linalg.norm(k)
    a = np.radians(angle_deg)
    Kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(a) * Kx + (1 - np.cos(a)) * Kx @ Kx


@dataclass
class Deformation:
    """x = Q S X + d with S a uniaxial stretch along world x."""

    strain: float = 0.01
    Q: np.ndarray = field(default_factory=lambda: rotation(np.array([0.3, 0.5, 0.8]), 0.8))
    d: np.ndarray = field(default_factory=lambda: np.array([0.35, -0.25, 0.5]))

    @property
    def F(self) -> np.ndarray:
        return self.Q @ np.diag([1.0 + self.strain, 1.0, 1.0])

    def apply(self, X: np.ndarray) -> np.ndarray:
        return X @ self.F.T + self.d

    def inverse_ray(self, o: np.ndarray, dirs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        Finv = np.linalg.inv(self.F)
        return (o - self.d) @ Finv.T, dirs @ Finv.T

    def surface_strain(self, normal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """In-plane principal Green-Lagrange strains (smaller, larger) for unit normals (..., 3).

        E = (F^T F - I) / 2 restricted to the tangent plane of each normal.
        """
        E = 0.5 * (self.F.T @ self.F - np.eye(3))
        n = np.asarray(normal, dtype=float)
        helper = np.where(np.abs(n[..., :1]) < 0.9, np.array([1.0, 0, 0]), np.array([0, 1.0, 0]))
        t1 = np.cross(n, helper)
        t1 /= np.linalg.norm(t1, axis=-1, keepdims=True)
        t2 = np.cross(n, t1)
        T = np.stack([t1, t2], axis=-1)  # (..., 3, 2)
        E2 = np.swapaxes(T, -1, -2) @ E @ T
        w = np.linalg.eigvalsh(E2)
        return w[..., 0], w[..., 1]


# --------------------------------------------------------------------------
# The measurement
# --------------------------------------------------------------------------


@dataclass
class Measurement:
    """Rendered images, masks and the truth of one synthetic measurement."""

    cameras: list
    surface: Surface
    deformation: Deformation
    reference: list  # per camera, float64 (height, width)
    deformed: list
    masks: list  # per camera, bool (height, width)
    texture: Speckle

    def material_point(self, cam: int, px: np.ndarray, py: np.ndarray) -> np.ndarray:
        """Reference surface point (..., 3) seen at pixels of camera `cam` in its reference image (NaN: none)."""
        c = self.cameras[cam]
        o, d = c.rays(np.asarray(px, float), np.asarray(py, float))
        s = self.surface.intersect(np.broadcast_to(o, d.shape), d)
        X = o + s[..., None] * d
        ok = self.surface.inside(X[..., 0], X[..., 1])
        X[~ok] = np.nan
        return X


def _render(
    cam: Camera, surface: Surface, texture: Speckle, deformation: Deformation | None, samples: int, margin: float
) -> tuple[np.ndarray, np.ndarray]:
    """Area-averaged image over samples x samples points per pixel, and the ROI (pixel centre inside)."""
    w, h = cam.width, cam.height
    out = np.zeros((h, w))
    sub = (np.arange(samples) + 0.5) / samples - 0.5
    ys, xs = np.mgrid[0:h, 0:w].astype(float)

    def trace(ox: float, oy: float) -> tuple[np.ndarray, np.ndarray]:
        o, d = cam.rays(xs + ox, ys + oy)
        o = np.broadcast_to(o, d.shape)
        if deformation is not None:
            o, d = deformation.inverse_ray(o, d)
        s = surface.intersect(o, d)
        X = o + s[..., None] * d
        return X, np.isfinite(s) & surface.inside(X[..., 0], X[..., 1])

    X, hit = trace(0.0, 0.0)
    roi = hit & surface.inside(X[..., 0], X[..., 1], margin)
    for oy in sub:
        for ox in sub:
            X, hit = trace(ox, oy)
            out += np.where(hit, texture(np.nan_to_num(X[..., 0]), np.nan_to_num(X[..., 1])), 5.0)
    return out / (samples * samples), roi


def render_measurement(
    *,
    cameras: int = 2,
    width: int = 480,
    height: int = 384,
    curved: bool = False,
    strain: float = 0.01,
    samples: int = 3,
    noise: float = 0.0,
    seed: int = 7,
    roi_margin: float | None = None,
) -> Measurement:
    """Render the default measurement: specimen, cameras, reference and deformed images, ROI masks.

    The field of view scales with the image width, so the speckle always
    spans about 4 pixels whatever the size. `noise` is the standard deviation
    of Gaussian sensor noise in gray levels (0..255 scale).
    """
    cams = make_cameras(cameras, width, height)
    surface = Surface(kx=1.0 / 120.0 if curved else 0.0)
    px_mm = 64.0 / width  # pixel footprint on the specimen, mm
    texture = Speckle(pitch=4.5 * px_mm, sigma=0.9 * px_mm, extent=max(surface.half_x, surface.half_y) + 2, seed=seed)
    deformation = Deformation(strain=strain)
    margin = roi_margin if roi_margin is not None else 24 * px_mm
    rng = np.random.default_rng(seed + 1)
    refs, defs, masks = [], [], []
    for cam in cams:
        ref, roi = _render(cam, surface, texture, None, samples, margin)
        de, _ = _render(cam, surface, texture, deformation, samples, margin)
        if noise > 0:
            ref = ref + rng.normal(0.0, noise, ref.shape)
            de = de + rng.normal(0.0, noise, de.shape)
        refs.append(ref)
        defs.append(de)
        masks.append(roi)
    return Measurement(
        cameras=cams,
        surface=surface,
        deformation=deformation,
        reference=refs,
        deformed=defs,
        masks=masks,
        texture=texture,
    )


def calibration_arrays(cameras: list) -> dict:
    """K (n, 3, 3), dist (n, 2), R (n, 3, 3), t (n, 3) as the module takes them."""
    return {
        "K": np.stack([c.K for c in cameras]),
        "dist": np.stack([c.dist for c in cameras]),
        "R": np.stack([c.R for c in cameras]),
        "t": np.stack([c.t for c in cameras]),
    }
