"""Rendered stereo image series with a known answer.

A speckled specimen (a flat plate or a gently curved cylindrical shell) is
filmed by calibrated pinhole cameras with lens distortion through a load
series: frame 0 is the reference, frame f the homogeneous deformation
x = F_f X + d_f of the reference, with F_f = Q_f S_f a uniaxial stretch along
world x followed by a rigid rotation, and d_f a translation. Stretch, rotation
angle and translation grow in proportion to f / (frames - 1) up to their final
values.

Every image sample is ray-cast: the pixel is undistorted to a viewing ray, the
ray is intersected with the surface, and the texture is evaluated at the
material point, so there is no interpolation error. For a deformed frame the
ray is mapped back through the inverse of the (affine) deformation, which
turns it into a ray in the reference configuration that meets the reference
surface at the material point seen by that pixel. A pixel is the mean of
samples x samples such points spread over its area.

The cameras are `dicpipe.camera.Camera` (OpenCV's lens model k1, k2, p1, p2,
k3 and a skew; camera coordinates R X + t; pixel (0, 0) is the centre of the
top-left pixel): the images are rendered with exactly the model that a
calibration file of these cameras describes. World frame: the specimen's, its
reference surface through the origin with normal +z towards the cameras.
Units: millimetres.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field

import numpy as np

from ..camera import Camera

__all__ = [
    "Deformation",
    "Measurement",
    "Motion",
    "Series",
    "Speckle",
    "Surface",
    "calibration_arrays",
    "look_at",
    "make_cameras",
    "render_measurement",
    "render_series",
    "rotation",
    "surface_strain",
]

#: Gray value of a sample whose ray misses the specimen.
BACKGROUND = 5.0

# --------------------------------------------------------------------------
# Cameras
# --------------------------------------------------------------------------


def rays(cam: Camera, uv: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Origin (3,) and world directions (..., 3) of the viewing rays of pixels (..., 2); NaN where none."""
    n = cam.normalize(uv)
    d_cam = np.concatenate([n, np.ones(n.shape[:-1] + (1,))], axis=-1)
    return cam.centre, d_cam @ cam.R  # R^T d for row vectors


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


#: Lens distortion (k1, k2, p1, p2, k3) and skew (pixels) of camera 0 per lens kind; the others vary a little.
LENSES = {
    "radial": ((-0.25, 0.4, 0.0, 0.0, 0.0), 0.0),
    "full": ((-0.25, 0.4, 2.5e-3, -2.0e-3, 1500.0), 2.5),
}


def make_cameras(
    n: int,
    width: int = 480,
    height: int = 384,
    *,
    sizes: Sequence[tuple[int, int]] | None = None,
    distance: float = 500.0,
    fov_width: float = 64.0,
    angle_deg: float = 12.0,
    lens: str = "radial",
) -> list[Camera]:
    """Two cameras left and right of the specimen (stereo angle 2*angle_deg), a third above them.

    Each camera's focal length makes a width of `fov_width` mm at `distance`
    fill its image width, so cameras of different `sizes` (one (width,
    height) per camera, overriding `width` and `height`) frame the same
    field. `lens` is "radial" (k1, k2) or "full" (k1, k2, p1, p2, k3 and a
    small skew). Distortion and principal points differ slightly per camera,
    as real lenses do.
    """
    if not 2 <= n <= 3:
        raise ValueError(f"cameras must be 2 or 3, got {n}")
    if lens not in LENSES:
        raise ValueError(f"lens must be one of {sorted(LENSES)}, got {lens!r}")
    sizes = _sizes(n, width, height, sizes)
    a = np.radians(angle_deg)
    centres = [
        np.array([-distance * np.sin(a), 0.0, distance * np.cos(a)]),
        np.array([distance * np.sin(a), 0.0, distance * np.cos(a)]),
        np.array([0.0, distance * np.sin(a), distance * np.cos(a)]),
    ]
    dist0, skew0 = LENSES[lens]
    cams = []
    for i, (c, (w, h)) in enumerate(zip(centres[:n], sizes)):
        f = w * distance / fov_width
        R, t = look_at(c, np.zeros(3))
        K = np.array(
            [
                [f * (1 + 0.002 * i), round(skew0 * (1 - 0.2 * i), 12), (w - 1) / 2 + 3.0 * (i - 1)],
                [0.0, f * (1 + 0.002 * i), (h - 1) / 2 - 2.0 * (i - 1)],
                [0.0, 0.0, 1.0],
            ]
        )
        scale = np.array([1 + 0.1 * i, 1 - 0.1 * i, 1 - 0.15 * i, 1 + 0.1 * i, 1 - 0.1 * i])
        cams.append(Camera(K=K, dist=np.round(np.array(dist0) * scale, 12), R=R, t=t, width=w, height=h))
    return cams


def _sizes(n: int, width: int, height: int, sizes: Sequence[tuple[int, int]] | None) -> list[tuple[int, int]]:
    out = [(width, height)] * n if sizes is None else [tuple(s) for s in sizes]
    if len(out) != n:
        raise ValueError(f"sizes gives {len(out)} image sizes for {n} cameras")
    for w, h in out:
        if int(w) != w or int(h) != h or w < 64 or h < 64:
            raise ValueError(f"image size {w} x {h}: width and height must be whole numbers of at least 64 pixels")
    return [(int(w), int(h)) for w, h in out]


# --------------------------------------------------------------------------
# Specimen: surface, texture, deformation
# --------------------------------------------------------------------------


@dataclass(frozen=True)
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
        """Unit normal (..., 3) at (x, y), pointing towards +z (the cameras)."""
        x, y = np.asarray(x, dtype=float), np.asarray(y, dtype=float)
        n = np.stack([self.kx * x, self.ky * y, np.ones(np.broadcast(x, y).shape)], axis=-1)
        return n / np.linalg.norm(n, axis=-1, keepdims=True)

    def intersect(self, o: np.ndarray, d: np.ndarray) -> np.ndarray:
        """Ray parameter of the first hit s > 0 of rays o + s d (NaN for a miss).

        o: (3,) or (..., 3), d: (..., 3). The quadric gives a s^2 + b s + c = 0;
        the stable root pair q / a, c / q avoids cancellation when the surface
        is flat.
        """
        o = np.asarray(o, dtype=float)
        d = np.asarray(d, dtype=float)
        return self._intersect(o[..., 0], o[..., 1], o[..., 2], d[..., 0], d[..., 1], d[..., 2])

    def _intersect(self, ox, oy, oz, dx, dy, dz) -> np.ndarray:
        """`intersect` on separate coordinate arrays (or scalars for the origin)."""
        with np.errstate(invalid="ignore", divide="ignore"):
            if self.kx == 0.0 and self.ky == 0.0:
                s = -oz / dz
                return np.where(s > 0, s, np.nan)
            a = 0.5 * (self.kx * dx * dx + self.ky * dy * dy)
            b = dz + self.kx * ox * dx + self.ky * oy * dy
            c = oz + 0.5 * (self.kx * ox * ox + self.ky * oy * oy)
            disc = b * b - 4.0 * a * c
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
    is exact because the dots are narrow compared with the cell. Points
    within `extent` of the origin are covered.
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
        self._offset = self.extent + 2 * self.pitch
        self.tables = {
            "jx": rng.uniform(-0.35, 0.35, (n, n)),
            "jy": rng.uniform(-0.35, 0.35, (n, n)),
            "s": self.sigma * rng.uniform(0.75, 1.25, (n, n)),
            "a": self.peak * rng.uniform(0.6, 1.0, (n, n)) * (rng.uniform(size=(n, n)) < 0.85),
        }
        # Per dot, flat over (cell x, cell y): centre, exponent factor -1/(2 s^2), amplitude.
        g, T = self.pitch, self.tables
        cx, cy = np.meshgrid(np.arange(n), np.arange(n), indexing="ij")
        self._px = ((cx + 0.5 + T["jx"]) * g - self._offset).ravel()
        self._py = ((cy + 0.5 + T["jy"]) * g - self._offset).ravel()
        self._w = (-0.5 / (T["s"] * T["s"])).ravel()
        self._a = T["a"].ravel()

    def __call__(self, x: np.ndarray, y: np.ndarray) -> np.ndarray:
        """Gray value at material points (x, y), arrays of one shape."""
        x = np.asarray(x, dtype=float)
        y = np.asarray(y, dtype=float)
        n, g = self._n, self.pitch
        # Cells beyond the lattice are clamped (the texture is defined within `extent` only).
        ix = np.clip(np.floor((x + self._offset) / g), 1, n - 2).astype(np.int64)
        iy = np.clip(np.floor((y + self._offset) / g), 1, n - 2).astype(np.int64)
        base = ix * n + iy
        value = np.full(x.shape, self.background)
        k = np.empty_like(base)
        dx = np.empty_like(value)
        dy = np.empty_like(value)
        for ox in (-1, 0, 1):
            for oy in (-1, 0, 1):
                np.add(base, ox * n + oy, out=k)
                np.subtract(x, self._px[k], out=dx)
                np.subtract(y, self._py[k], out=dy)
                dx *= dx
                dy *= dy
                dx += dy
                dx *= self._w[k]
                np.exp(dx, out=dx)
                dx *= self._a[k]
                value += dx
        return np.minimum(value, 250.0)  # saturate like a real sensor, keeps the contrast high


def rotation(axis: np.ndarray, angle_deg: float) -> np.ndarray:
    """Rotation matrix about a unit axis (Rodrigues)."""
    k = np.asarray(axis, dtype=float)
    k = k / np.linalg.norm(k)
    a = np.radians(angle_deg)
    Kx = np.array([[0, -k[2], k[1]], [k[2], 0, -k[0]], [-k[1], k[0], 0]])
    return np.eye(3) + np.sin(a) * Kx + (1 - np.cos(a)) * Kx @ Kx


def surface_strain(F: np.ndarray, normal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """In-plane principal Green-Lagrange strains (smaller, larger) of F (3, 3) for unit normals (..., 3).

    E = (F^T F - I) / 2 restricted to the tangent plane of each reference
    normal. A zero or non-finite normal gives NaN.
    """
    E = 0.5 * (F.T @ F - np.eye(3))
    n = np.asarray(normal, dtype=float)
    length = np.linalg.norm(n, axis=-1, keepdims=True)
    with np.errstate(invalid="ignore", divide="ignore"):
        n = n / length
    n = np.where(np.isfinite(n).all(axis=-1, keepdims=True) & (length > 0), n, np.array([0.0, 0.0, 1.0]))
    helper = np.where(np.abs(n[..., :1]) < 0.9, np.array([1.0, 0, 0]), np.array([0, 1.0, 0]))
    t1 = np.cross(n, helper)
    t1 /= np.linalg.norm(t1, axis=-1, keepdims=True)
    t2 = np.cross(n, t1)
    T = np.stack([t1, t2], axis=-1)  # (..., 3, 2)
    w = np.linalg.eigvalsh(np.swapaxes(T, -1, -2) @ E @ T)
    bad = ~(np.isfinite(length[..., 0]) & (length[..., 0] > 0))
    return np.where(bad, np.nan, w[..., 0]), np.where(bad, np.nan, w[..., 1])


@dataclass
class Deformation:
    """x = Q S X + d with S a uniaxial stretch of 1 + strain along world x."""

    strain: float = 0.01
    Q: np.ndarray = field(default_factory=lambda: rotation(np.array([0.3, 0.5, 0.8]), 0.8))
    d: np.ndarray = field(default_factory=lambda: np.array([0.35, -0.25, 0.5]))

    @property
    def F(self) -> np.ndarray:
        return self.Q @ np.diag([1.0 + self.strain, 1.0, 1.0])

    @property
    def is_identity(self) -> bool:
        return bool(self.strain == 0.0 and np.all(self.Q == np.eye(3)) and np.all(self.d == 0.0))

    def apply(self, X: np.ndarray) -> np.ndarray:
        return X @ self.F.T + self.d

    def inverse_ray(self, o: np.ndarray, dirs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """The reference-configuration ray whose image under the deformation is the ray o + s dirs."""
        Finv = np.linalg.inv(self.F)
        return (o - self.d) @ Finv.T, dirs @ Finv.T

    def surface_strain(self, normal: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """In-plane principal Green-Lagrange strains (smaller, larger) for unit reference normals (..., 3)."""
        return surface_strain(self.F, normal)


@dataclass(frozen=True)
class Motion:
    """A load series: uniaxial stretch, rigid rotation and translation, all growing to their final values.

    Frame f of `frames` has the fraction f / (frames - 1) of the final
    strain, rotation angle (about the fixed `axis`) and translation (mm);
    frame 0 is the undeformed reference.
    """

    strain: float = 0.01
    axis: tuple[float, float, float] = (0.3, 0.5, 0.8)
    angle_deg: float = 0.8
    translation: tuple[float, float, float] = (0.35, -0.25, 0.5)

    def at(self, fraction: float) -> Deformation:
        """The deformation at `fraction` of the final load (0 = reference, 1 = final)."""
        if fraction == 0.0:
            return Deformation(strain=0.0, Q=np.eye(3), d=np.zeros(3))
        return Deformation(
            strain=fraction * self.strain,
            Q=rotation(np.array(self.axis), fraction * self.angle_deg),
            d=fraction * np.array(self.translation, dtype=float),
        )

    def series(self, frames: int) -> list[Deformation]:
        """The deformation of every frame 0 .. frames - 1 (frames >= 2)."""
        if frames < 2:
            raise ValueError(f"a series needs at least 2 frames (a reference and a deformed one), got {frames}")
        return [self.at(f / (frames - 1)) for f in range(frames)]


# --------------------------------------------------------------------------
# Rendering
# --------------------------------------------------------------------------


@dataclass
class Series:
    """Rendered images of a load series, ROI masks and the truth.

    Attributes
    ----------
    cameras : one `Camera` per camera.
    surface, texture : the specimen.
    deformations : one per frame; frame 0 is the identity.
    images : images[camera][frame], float64 (height, width) gray values on a
        0..255 scale with the sensor noise added, not quantised.
    masks : per camera, bool (height, width): pixels whose centre sees the
        reference specimen at least the ROI margin inside its edge.
    """

    cameras: list
    surface: Surface
    texture: Speckle
    deformations: list
    images: list
    masks: list

    def material_point(self, cam: int, px: np.ndarray, py: np.ndarray) -> np.ndarray:
        """Reference surface point (..., 3) seen at pixels of camera `cam` in its reference image (NaN: none)."""
        return _material_point(self.cameras[cam], self.surface, px, py)


@dataclass
class Measurement:
    """Rendered images, masks and the truth of one reference and one deformed state."""

    cameras: list
    surface: Surface
    deformation: Deformation
    reference: list  # per camera, float64 (height, width)
    deformed: list
    masks: list  # per camera, bool (height, width)
    texture: Speckle

    def material_point(self, cam: int, px: np.ndarray, py: np.ndarray) -> np.ndarray:
        """Reference surface point (..., 3) seen at pixels of camera `cam` in its reference image (NaN: none)."""
        return _material_point(self.cameras[cam], self.surface, px, py)


def _material_point(cam: Camera, surface: Surface, px: np.ndarray, py: np.ndarray) -> np.ndarray:
    px, py = np.broadcast_arrays(np.asarray(px, dtype=float), np.asarray(py, dtype=float))
    o, d = rays(cam, np.stack([px, py], axis=-1))
    s = surface.intersect(o, d)
    X = o + s[..., None] * d
    X[~surface.inside(X[..., 0], X[..., 1])] = np.nan
    return X


def _render_camera(
    cam: Camera, surface: Surface, texture: Speckle, deformations: list, samples: int, margin: float
) -> tuple[list, np.ndarray]:
    """Area-averaged images (one per deformation) over samples x samples points per pixel, and the ROI.

    The viewing rays of each sample position are computed once and reused by
    every frame; only their map into the reference configuration differs.
    """
    w, h = cam.width, cam.height
    ys, xs = np.mgrid[0:h, 0:w].astype(float)
    xs, ys = xs.ravel(), ys.ravel()
    out = [np.zeros(h * w) for _ in deformations]
    sub = (np.arange(samples) + 0.5) / samples - 0.5
    centre = cam.centre
    # Per frame: M = F^-1 and the reference-configuration origin M (c - d); None for the identity.
    inverse = []
    for dfm in deformations:
        M = None if dfm.is_identity else np.linalg.inv(dfm.F)
        inverse.append(None if M is None else (M, M @ (centre - dfm.d)))

    def world_rays(px: np.ndarray, py: np.ndarray) -> list[np.ndarray]:
        n = cam.normalize(np.stack([px, py], axis=-1))
        x, y = np.ascontiguousarray(n[:, 0]), np.ascontiguousarray(n[:, 1])
        Rt = cam.R.T  # world direction = R^T (x, y, 1)
        return [Rt[i, 0] * x + Rt[i, 1] * y + Rt[i, 2] for i in range(3)]

    def inside_roi(d: list[np.ndarray]) -> np.ndarray:
        s = surface._intersect(*centre, *d)
        return surface.inside(centre[0] + s * d[0], centre[1] + s * d[1], margin)  # NaN (a miss) compares false

    roi = None if 0.0 in sub else inside_roi(world_rays(xs, ys))  # an odd count samples the centre itself
    for oy in sub:
        for ox in sub:
            d = world_rays(xs + ox, ys + oy)
            if ox == 0.0 and oy == 0.0:
                roi = inside_roi(d)
            for acc, inv in zip(out, inverse):
                if inv is None:
                    o, dd = centre, d
                else:
                    M, o = inv
                    dd = [M[i, 0] * d[0] + M[i, 1] * d[1] + M[i, 2] * d[2] for i in range(3)]
                s = surface._intersect(*o, *dd)
                x = o[0] + s * dd[0]
                y = o[1] + s * dd[1]
                hit = surface.inside(x, y)  # NaN (a miss) compares false
                value = np.full(len(xs), BACKGROUND)
                value[hit] = texture(x[hit], y[hit])
                acc += value
    n = samples * samples
    return [(acc / n).reshape(h, w) for acc in out], roi.reshape(h, w)


def render_series(
    *,
    cameras: int = 2,
    frames: int = 4,
    width: int = 480,
    height: int = 384,
    sizes: Sequence[tuple[int, int]] | None = None,
    curved: bool = False,
    motion: Motion | None = None,
    samples: int = 3,
    noise: float = 0.0,
    seed: int = 7,
    roi_margin: float | None = None,
    lens: str = "radial",
) -> Series:
    """Render a load series: specimen, cameras, one image per camera and frame, ROI masks.

    Parameters
    ----------
    cameras : 2 or 3.
    frames : number of images per camera, the reference included (>= 2).
    width, height : image size of every camera, pixels; `sizes` gives one
        (width, height) per camera instead.
    curved : a cylindrical shell (curvature 1/120 mm^-1 about y) instead of a flat plate.
    motion : the load series (default `Motion()`: 1 % stretch, 0.8 degree rotation, 0.66 mm translation).
    samples : samples x samples ray casts per pixel.
    noise : standard deviation of Gaussian sensor noise, gray levels (0..255 scale).
    seed : seeds the speckle and the noise; the noise of image (camera c, frame f)
        depends on (seed, c, f) only.
    roi_margin : distance of the ROI from the specimen edge, mm (default 24 pixels of camera 0).
    lens : "radial" or "full", see `make_cameras`.

    The field of view scales with camera 0's width, so the speckle always
    spans about 4.5 of its pixels whatever the size.
    """
    if samples < 1:
        raise ValueError(f"samples must be at least 1, got {samples}")
    if not noise >= 0:
        raise ValueError(f"noise must be a non-negative gray level, got {noise}")
    deformations = (motion or Motion()).series(frames)
    cams = make_cameras(cameras, width, height, sizes=sizes, lens=lens)
    surface = Surface(kx=1.0 / 120.0 if curved else 0.0)
    px_mm = 64.0 / cams[0].width  # pixel footprint of camera 0 on the specimen, mm
    texture = Speckle(pitch=4.5 * px_mm, sigma=0.9 * px_mm, extent=max(surface.half_x, surface.half_y) + 2, seed=seed)
    margin = roi_margin if roi_margin is not None else 24 * px_mm
    images, masks = [], []
    for c, cam in enumerate(cams):
        imgs, roi = _render_camera(cam, surface, texture, deformations, samples, margin)
        if noise > 0:
            for f, img in enumerate(imgs):
                img += np.random.default_rng((seed, 1 + c, f)).normal(0.0, noise, img.shape)
        images.append(imgs)
        masks.append(roi)
    return Series(cameras=cams, surface=surface, texture=texture, deformations=deformations, images=images, masks=masks)


def render_measurement(
    *,
    cameras: int = 2,
    width: int = 480,
    height: int = 384,
    sizes: Sequence[tuple[int, int]] | None = None,
    curved: bool = False,
    strain: float = 0.01,
    samples: int = 3,
    noise: float = 0.0,
    seed: int = 7,
    roi_margin: float | None = None,
) -> Measurement:
    """Render one reference and one deformed state (`strain` plus the default rigid motion); see `render_series`."""
    s = render_series(
        cameras=cameras,
        frames=2,
        width=width,
        height=height,
        sizes=sizes,
        curved=curved,
        motion=Motion(strain=strain),
        samples=samples,
        noise=noise,
        seed=seed,
        roi_margin=roi_margin,
    )
    return Measurement(
        cameras=s.cameras,
        surface=s.surface,
        deformation=s.deformations[1],
        reference=[imgs[0] for imgs in s.images],
        deformed=[imgs[1] for imgs in s.images],
        masks=s.masks,
        texture=s.texture,
    )


def calibration_arrays(cameras: Sequence[Camera]) -> dict:
    """K (n, 3, 3), dist (n, 2), R (n, 3, 3), t (n, 3) as native_vostrel takes them (k1, k2 lenses only)."""
    for i, c in enumerate(cameras):
        if not c.is_radial2():
            raise ValueError(f"camera {i} has tangential, k3 or skew terms; the two-term radial arrays cannot hold it")
    return {
        "K": np.stack([c.K for c in cameras]),
        "dist": np.stack([c.dist[:2] for c in cameras]),
        "R": np.stack([c.R for c in cameras]),
        "t": np.stack([c.t for c in cameras]),
    }
