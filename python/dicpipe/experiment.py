"""The experiment file: which images, which calibration, which region, which settings.

An experiment is described by a TOML file; every path in it is relative to the
file itself (absolute paths are kept)::

    [images]
    cameras = ["left/*.tif", "right/*.tif"]  # one glob per camera; the first image of each is the reference
    [calibration]
    file = "calibration.json"                # required for two or more cameras
    [roi]                                    # in camera 0's reference image, exactly one of:
    mask = "roi.png"                         #   a picture, non-zero = inside
    # rectangle = [x0, y0, x1, y1]           #   pixels, x1 and y1 excluded
    # polygon = [[x, y], ...]                #   vertices in pixels
    # seed = [x, y]                          # optional: camera 0's seed, a grid node inside the ROI
    [dic]                                    # optional: dic2d_cli options
    subset_radius = 20
    subset_spacing = 5
    # mode = "precision"                     # or "standard": see DIC_MODES
    # criterion, interpolation, smoothing_sigma override the mode's refinement
    [stereo]                                 # optional: gates of the match between camera 0 and camera k
    # min_corrcoef = 0.9
    # max_epipolar_px = 1.0
    # max_calibration_error_px = 2.0
    # max_uncertainty_ratio = 3.0
    [reconstruction]                         # optional: gates of the 3D points
    # min_corrcoef = 0.6
    # max_reprojection_error_px = 1.0
    # min_views = 2                          # three or more cameras: views a point needs
    [quality]                                # optional: which points are trusted (flags)
    # min_corrcoef = 0.9
    # max_predicted_std_px = 0.03
    # noise = 2.0                            # gray levels; default estimated from each reference image
    # median_threshold = 2.0
    # median_eps_px = 0.1
    # seed_min_corrcoef = 0.9
    [strain]                                 # optional: the strain window
    # window = 5                             # odd number of grid nodes
    # tensor = "green-lagrange"              # or "engineering", "hencky", "euler-almansi"
    [reference]                              # optional: which image each frame is correlated with
    # strategy = "fixed"                     # or "incremental", "auto"
    # min_valid_fraction = 0.95              # auto: move the reference below this
    # min_mean_corrcoef = 0.95
    [output]
    dir = "results"                          # default "results"; the command's --out overrides it
    # figures = true
    # vtu = true

One camera may be given a scale instead of a calibration file,
``[calibration] scale = 0.05`` (length per pixel) and ``units = "mm"``, for
displacements and positions in that unit besides pixels.

Each glob's matches are sorted by name, digit runs compared as numbers
(``img_2.tif`` before ``img_10.tif``). One camera makes a 2D measurement in
pixels; two or more a stereo measurement in the calibration's units.

`load_experiment` checks the file completely (unknown tables and keys, types,
ranges, globs, file existence, equal frame counts) and raises
`ExperimentError` with a one-line message that names the file and the key.
It does not open the images; `dicpipe.measure.prepare_series` does.
"""

from __future__ import annotations

import difflib
import glob
import math
import os
import re
import tomllib
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

__all__ = [
    "Experiment",
    "ExperimentError",
    "OutputOptions",
    "QualityOptions",
    "ReconstructionOptions",
    "ReferenceOptions",
    "RoiSpec",
    "StereoOptions",
    "StrainOptions",
    "STRATEGIES",
    "DIC_MODES",
    "DIC_OPTIONS",
    "dic_options",
    "load_experiment",
    "natural_key",
]


class ExperimentError(ValueError):
    """The experiment file or a file it names is unusable; the message is one line naming the file and key."""


#: dic2d_cli options accepted in [dic]: name -> (kind, lower bound, upper bound, bound text).
#: Options that the program only validates or stores (num_threads, units_per_pixel, lenscoef)
#: and the seed coordinates (dicpipe chooses the seed) are not accepted.
DIC_OPTIONS: dict[str, tuple[str, float | None, float | None, str]] = {
    "subset_radius": ("int", 10, None, "at least 10"),
    "subset_spacing": ("int", 0, 10_000, "between 0 and 10000"),
    "seed_search_radius": ("int", 0, None, "at least 0 (0 searches the whole image)"),
    "rg_search_radius": ("int", 0, None, "at least 0"),
    "roi_min_region_area": ("int", 0, None, "at least 0"),
    "cutoff_iteration": ("int", 5, None, "at least 5"),
    "cutoff_diffnorm": ("float", 0.0, 1e-2, "in (0, 0.01]"),
    "cutoff_corrcoef": ("float", -1.0, 1.0, "between -1 and 1"),
    "subset_truncation": ("bool", None, None, ""),
    "mode": ("choice", None, None, ""),
    "criterion": ("choice", None, None, ""),
    "interpolation": ("choice", None, None, ""),
    "smoothing_sigma": ("float", 0.0, 10.0, "between 0 and 10"),
}

#: The sub-pixel refinement of `[dic] mode`, as dic2d_cli options. "precision" (the default):
#: zero-normalised SSD (insensitive to the exposure of each camera and to lighting drift),
#: cubic B-spline interpolation and a 0.6 px Gaussian pre-filter, refined by inverse-compositional
#: Gauss-Newton; on the DIC Challenge sample 3 its largest bias is 0.0011 px against 0.0052 px,
#: and it runs about twice as fast. "standard": dic2d_cli's own refinement (SSD, bilinear,
#: forward-additive), bit for bit the engine without options. Keys given in [dic] override either.
DIC_MODES: dict[str, dict[str, Any]] = {
    "precision": {"criterion": "znssd", "interpolation": "bspline3", "smoothing_sigma": 0.6},
    "standard": {},
}

_DIC_CHOICES: dict[str, tuple[str, ...]] = {
    "mode": tuple(DIC_MODES),
    "criterion": ("ssd", "znssd"),
    "interpolation": ("bilinear", "bspline3"),
}


def dic_options(dic: dict[str, Any]) -> dict[str, Any]:
    """The dic2d_cli options of an experiment's `[dic]` table: its mode's refinement, then its own keys.

    Parameters
    ----------
    dic : dict
        The checked `[dic]` table (`Experiment.dic`).

    Returns
    -------
    dict
        Options by their underscore names, for `dicpipe.dic2d.run_dic2d`; `mode` is resolved.
    """
    own = {k: v for k, v in dic.items() if k != "mode"}
    return {**DIC_MODES[dic.get("mode", "precision")], **own}


_TABLES = (
    "images",
    "calibration",
    "roi",
    "dic",
    "stereo",
    "reconstruction",
    "quality",
    "strain",
    "reference",
    "output",
)

#: The reference strategies of `[reference] strategy`.
STRATEGIES = ("fixed", "incremental", "auto")


@dataclass(frozen=True)
class RoiSpec:
    """The region of interest in camera 0's reference image: one of a mask picture, a rectangle, a polygon.

    Attributes
    ----------
    kind : str
        "mask", "rectangle" or "polygon".
    mask : Path or None
        The mask picture (kind "mask"); non-zero pixels are inside.
    rectangle : tuple of int or None
        (x0, y0, x1, y1) in pixels, x1 and y1 excluded (kind "rectangle").
    polygon : tuple of (float, float) or None
        Vertices in pixels (kind "polygon"); a pixel is inside when its centre is.
    seed : tuple of int or None
        Camera 0's seed node (x, y) when the file gives one.
    """

    kind: str
    mask: Path | None = None
    rectangle: tuple[int, int, int, int] | None = None
    polygon: tuple[tuple[float, float], ...] | None = None
    seed: tuple[int, int] | None = None


@dataclass(frozen=True)
class StereoOptions:
    """Gates of the match between camera 0 and camera k; None keeps the matcher's default."""

    min_corrcoef: float | None = None
    max_epipolar_px: float | None = None
    max_calibration_error_px: float | None = None
    max_uncertainty_ratio: float | None = None

    def as_kwargs(self) -> dict[str, float]:
        """The options that were set, as keyword arguments of the matcher."""
        return {k: v for k, v in vars(self).items() if v is not None}


@dataclass(frozen=True)
class ReconstructionOptions:
    """Gates of the 3D points: correlation of every view, reprojection error in pixels and, for three or
    more cameras, the least number of views a point needs."""

    min_corrcoef: float = 0.6
    max_reprojection_error_px: float = 1.0
    min_views: int = 2


@dataclass(frozen=True)
class QualityOptions:
    """Which measured points are trusted (see `dicpipe.quality.PointFlag`).

    Attributes
    ----------
    min_corrcoef : float
        Points whose correlation coefficient is below this are flagged.
    texture_check : bool
        Flag (and leave out of the correlation) subsets whose texture cannot
        reach `max_predicted_std_px` for the image noise.
    max_predicted_std_px : float
        Largest predicted standard deviation of a subset's displacement, px.
    noise : float or None
        Image noise in gray levels; None estimates it from each reference image.
    median_test : bool
        Flag outliers by the normalised median test.
    median_threshold, median_eps_px : float
        The test's threshold on the normalised residual, and its tolerance in px.
    seed_min_corrcoef : float
        A seed matched below this correlation is searched again in a larger window.
    min_region_nodes : int
        Regions of fewer grid nodes are not measured.
    """

    min_corrcoef: float = 0.9
    texture_check: bool = True
    max_predicted_std_px: float = 0.03
    noise: float | None = None
    median_test: bool = True
    median_threshold: float = 2.0
    median_eps_px: float = 0.1
    seed_min_corrcoef: float = 0.9
    min_region_nodes: int = 10


@dataclass(frozen=True)
class StrainOptions:
    """The strain window and tensor (see `dicpipe.strain`)."""

    window: int = 5
    tensor: str = "green-lagrange"


@dataclass(frozen=True)
class ReferenceOptions:
    """Which image each frame is correlated with.

    Attributes
    ----------
    strategy : str
        "fixed": every frame against the reference image; "incremental": every
        frame against the previous one, the displacement accumulated at the
        reference points; "auto": the fixed reference until a frame's valid
        fraction or mean correlation drops below the thresholds, then the
        previous frame becomes the reference.
    min_valid_fraction : float
        auto: the least fraction of the tracked points that must stay valid.
    min_mean_corrcoef : float
        auto: the least mean correlation coefficient of the valid points.
    """

    strategy: str = "fixed"
    min_valid_fraction: float = 0.95
    min_mean_corrcoef: float = 0.95


@dataclass(frozen=True)
class OutputOptions:
    """Where the results go and which optional files are written."""

    dir: Path
    figures: bool = True
    vtu: bool = True


@dataclass(frozen=True)
class Experiment:
    """A checked experiment file.

    Attributes
    ----------
    path : Path
        The experiment file (absolute).
    patterns : tuple of str
        The glob of every camera, as written.
    images : tuple of tuple of Path
        Per camera, its images (absolute), sorted; element 0 is the reference.
    calibration : Path or None
        The calibration file (absolute), when given.
    roi : RoiSpec
        The region of interest in camera 0's reference image.
    dic : dict
        dic2d_cli options by their underscore names, only those set in the file.
    stereo : StereoOptions
    reconstruction : ReconstructionOptions
    quality : QualityOptions
    strain : StrainOptions
    reference : ReferenceOptions
    output : OutputOptions
    scale : float or None
        One camera: length per pixel (`[calibration] scale`), None without.
    units : str
        Unit of `scale` (`[calibration] units`, default "mm").
    """

    path: Path
    patterns: tuple[str, ...]
    images: tuple[tuple[Path, ...], ...]
    calibration: Path | None
    roi: RoiSpec
    dic: dict[str, Any] = field(default_factory=dict)
    stereo: StereoOptions = StereoOptions()
    reconstruction: ReconstructionOptions = ReconstructionOptions()
    quality: QualityOptions = QualityOptions()
    strain: StrainOptions = StrainOptions()
    reference: ReferenceOptions = ReferenceOptions()
    output: OutputOptions = OutputOptions(dir=Path("results"))
    scale: float | None = None
    units: str = "mm"

    @property
    def cameras(self) -> int:
        """Number of cameras."""
        return len(self.images)

    @property
    def frames(self) -> int:
        """Number of images per camera, the reference included."""
        return len(self.images[0])

    @property
    def is_stereo(self) -> bool:
        """True for two or more cameras."""
        return self.cameras >= 2

    @property
    def base(self) -> Path:
        """The folder that relative paths of the file are relative to."""
        return self.path.parent


# --------------------------------------------------------------------------
# Checking values
# --------------------------------------------------------------------------


class _Reader:
    """Type and range checks with messages that name the file and the key."""

    def __init__(self, path: Path, shown: str):
        self.path = path
        self.shown = shown

    def error(self, text: str) -> ExperimentError:
        return ExperimentError(f"{self.shown}: {text}")

    def table(self, data: dict, name: str, *, required: bool = False) -> dict:
        if name not in data:
            if required:
                raise self.error(f"missing table [{name}]")
            return {}
        value = data[name]
        if not isinstance(value, dict):
            raise self.error(f"[{name}] must be a table, got {_kind(value)}")
        return value

    def check_keys(self, table: dict, name: str, allowed) -> None:
        for key in table:
            if key not in allowed:
                close = difflib.get_close_matches(key, list(allowed), n=1)
                hint = f' (did you mean "{close[0]}"?)' if close else ""
                raise self.error(f'unknown key "{key}" in [{name}]{hint}')

    def integer(self, value: Any, where: str, low=None, high=None, bound: str = "") -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise self.error(f"{where} must be an integer, got {_kind(value)}")
        if (low is not None and value < low) or (high is not None and value > high):
            raise self.error(f"{where} must be {bound}, got {value}")
        return value

    def real(self, value: Any, where: str, low=None, high=None, bound: str = "", *, open_low: bool = False) -> float:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self.error(f"{where} must be a number, got {_kind(value)}")
        v = float(value)
        if not math.isfinite(v):
            raise self.error(f"{where} must be a finite number, got {value}")
        below = low is not None and (v <= low if open_low else v < low)
        if below or (high is not None and v > high):
            raise self.error(f"{where} must be {bound}, got {value}")
        return v

    def boolean(self, value: Any, where: str) -> bool:
        if not isinstance(value, bool):
            raise self.error(f"{where} must be true or false, got {_kind(value)}")
        return value

    def string(self, value: Any, where: str) -> str:
        if not isinstance(value, str) or not value.strip():
            raise self.error(f"{where} must be a non-empty string, got {_kind(value)}")
        return value

    def existing_file(self, value: Any, where: str) -> Path:
        text = self.string(value, where)
        p = _resolve(self.path.parent, text)
        if not p.exists():
            raise self.error(f'{where} = "{text}": file not found ({p})')
        if not p.is_file():
            raise self.error(f'{where} = "{text}" is not a file ({p})')
        return p


def _kind(value: Any) -> str:
    """How a TOML value reads in a message: its type and a short form of it."""
    names = {
        bool: "a boolean",
        int: "an integer",
        float: "a number",
        str: "a string",
        list: "an array",
        dict: "a table",
    }
    for t, name in names.items():
        if type(value) is t:
            text = repr(value) if not isinstance(value, (list, dict)) else ""
            if len(text) > 40:
                text = text[:37] + "..."
            return f"{name} {text}".rstrip()
    return type(value).__name__


def _resolve(base: Path, text: str) -> Path:
    p = Path(os.path.expanduser(text))
    return p if p.is_absolute() else (base / p)


def natural_key(text: str) -> tuple:
    """Sort key that compares runs of digits as numbers: "img_2" before "img_10".

    Equal keys ("a01" and "a1") fall back to the plain text, so the order is total.
    """
    parts = re.split(r"(\d+)", text)
    return tuple((0, int(p), "") if p.isdigit() else (1, 0, p) for p in parts if p != ""), text


def _expand(base: Path, pattern: str) -> list[Path]:
    full = pattern if os.path.isabs(os.path.expanduser(pattern)) else os.path.join(glob.escape(str(base)), pattern)
    matches = [Path(m) for m in glob.glob(os.path.expanduser(full), recursive=True)]
    files = [m for m in matches if m.is_file()]
    return sorted(files, key=lambda p: natural_key(str(p)))


# --------------------------------------------------------------------------
# Tables
# --------------------------------------------------------------------------


def _images(r: _Reader, data: dict) -> tuple[tuple[str, ...], tuple[tuple[Path, ...], ...]]:
    t = r.table(data, "images", required=True)
    r.check_keys(t, "images", ("cameras",))
    if "cameras" not in t:
        raise r.error("missing key [images] cameras (one glob per camera)")
    cams = t["cameras"]
    if not isinstance(cams, list) or not cams:
        raise r.error(f"[images] cameras must be a non-empty array of globs, got {_kind(cams)}")
    patterns, images = [], []
    for k, pattern in enumerate(cams):
        text = r.string(pattern, f"[images] cameras[{k}]")
        found = _expand(r.path.parent, text)
        if not found:
            raise r.error(f'[images] cameras[{k}] = "{text}" matches no file')
        if len(found) < 2:
            raise r.error(
                f'[images] cameras[{k}] = "{text}" matches one file; a series needs a reference and at least one '
                "deformed image"
            )
        patterns.append(text)
        images.append(tuple(found))
    for k in range(1, len(images)):
        if len(images[k]) != len(images[0]):
            raise r.error(
                f'[images] cameras[{k}] = "{patterns[k]}" matches {len(images[k])} images but cameras[0] = '
                f'"{patterns[0]}" matches {len(images[0])}; every camera needs one image per frame'
            )
    return tuple(patterns), tuple(images)


def _calibration(r: _Reader, data: dict, cameras: int) -> tuple[Path | None, float | None, str]:
    t = r.table(data, "calibration")
    r.check_keys(t, "calibration", ("file", "scale", "units"))
    scale, units = None, "mm"
    if "scale" in t or "units" in t:
        if cameras >= 2:
            key = "scale" if "scale" in t else "units"
            raise r.error(f"[calibration] {key} is for one camera; {cameras} cameras take their units from the file")
        if "file" in t:
            raise r.error("[calibration] needs either file or scale, not both")
        if "scale" not in t:
            raise r.error("[calibration] units needs a scale (length per pixel)")
        scale = r.real(t["scale"], "[calibration] scale", 0.0, None, "positive", open_low=True)
        if "units" in t:
            units = r.string(t["units"], "[calibration] units")
            if not re.fullmatch(r"[A-Za-z]+", units):
                raise r.error(f'[calibration] units must be a word of letters such as "mm", got "{units}"')
        return None, scale, units
    if "file" not in t:
        if cameras >= 2:
            raise r.error(f"{cameras} cameras need a calibration: missing key [calibration] file")
        return None, None, units
    return r.existing_file(t["file"], "[calibration] file"), None, units


def _roi(r: _Reader, data: dict) -> RoiSpec:
    t = r.table(data, "roi", required=True)
    r.check_keys(t, "roi", ("mask", "rectangle", "polygon", "seed"))
    given = [k for k in ("mask", "rectangle", "polygon") if k in t]
    if len(given) != 1:
        which = "none" if not given else " and ".join(given)
        raise r.error(f"[roi] needs exactly one of mask, rectangle, polygon; got {which}")
    kind = given[0]
    seed = None
    if "seed" in t:
        s = t["seed"]
        if not isinstance(s, list) or len(s) != 2:
            raise r.error(f"[roi] seed must be [x, y], got {_kind(s)}")
        seed = (
            r.integer(s[0], "[roi] seed x", 0, None, "at least 0"),
            r.integer(s[1], "[roi] seed y", 0, None, "at least 0"),
        )
    if kind == "mask":
        return RoiSpec("mask", mask=r.existing_file(t["mask"], "[roi] mask"), seed=seed)
    if kind == "rectangle":
        v = t["rectangle"]
        if not isinstance(v, list) or len(v) != 4:
            raise r.error(f"[roi] rectangle must be [x0, y0, x1, y1], got {_kind(v)}")
        x0, y0, x1, y1 = (r.integer(c, f"[roi] rectangle[{i}]", 0, None, "at least 0") for i, c in enumerate(v))
        if x1 <= x0 or y1 <= y0:
            raise r.error(f"[roi] rectangle [{x0}, {y0}, {x1}, {y1}] is empty: it needs x0 < x1 and y0 < y1")
        return RoiSpec("rectangle", rectangle=(x0, y0, x1, y1), seed=seed)
    v = t["polygon"]
    if not isinstance(v, list) or len(v) < 3:
        raise r.error(f"[roi] polygon must be an array of at least 3 [x, y] vertices, got {_kind(v)}")
    verts = []
    for i, p in enumerate(v):
        if not isinstance(p, list) or len(p) != 2:
            raise r.error(f"[roi] polygon[{i}] must be [x, y], got {_kind(p)}")
        verts.append((r.real(p[0], f"[roi] polygon[{i}] x"), r.real(p[1], f"[roi] polygon[{i}] y")))
    return RoiSpec("polygon", polygon=tuple(verts), seed=seed)


def _dic(r: _Reader, data: dict) -> dict[str, Any]:
    t = r.table(data, "dic")
    r.check_keys(t, "dic", DIC_OPTIONS)
    out: dict[str, Any] = {}
    for key, value in t.items():
        kind, low, high, bound = DIC_OPTIONS[key]
        where = f"[dic] {key}"
        if kind == "int":
            out[key] = r.integer(value, where, low, high, bound)
        elif kind == "float":
            out[key] = r.real(value, where, low, high, bound, open_low=key == "cutoff_diffnorm")
        elif kind == "choice":
            allowed = _DIC_CHOICES[key]
            if value not in allowed:
                listed = ", ".join(f'"{a}"' for a in allowed)
                raise r.error(f"{where} must be one of {listed}, got {_kind(value)}")
            out[key] = value
        else:
            out[key] = r.boolean(value, where)
    return out


def _stereo(r: _Reader, data: dict) -> StereoOptions:
    t = r.table(data, "stereo")
    r.check_keys(t, "stereo", ("min_corrcoef", "max_epipolar_px", "max_calibration_error_px", "max_uncertainty_ratio"))
    kw = {}
    if "min_corrcoef" in t:
        kw["min_corrcoef"] = r.real(t["min_corrcoef"], "[stereo] min_corrcoef", -1.0, 1.0, "between -1 and 1")
    for key in ("max_epipolar_px", "max_calibration_error_px", "max_uncertainty_ratio"):
        if key in t:
            kw[key] = r.real(t[key], f"[stereo] {key}", 0.0, None, "positive", open_low=True)
    return StereoOptions(**kw)


def _reconstruction(r: _Reader, data: dict) -> ReconstructionOptions:
    t = r.table(data, "reconstruction")
    r.check_keys(t, "reconstruction", ("min_corrcoef", "max_reprojection_error_px", "min_views"))
    kw = {}
    if "min_views" in t:
        kw["min_views"] = r.integer(t["min_views"], "[reconstruction] min_views", 2, None, "at least 2")
    if "min_corrcoef" in t:
        kw["min_corrcoef"] = r.real(t["min_corrcoef"], "[reconstruction] min_corrcoef", -1.0, 1.0, "between -1 and 1")
    if "max_reprojection_error_px" in t:
        kw["max_reprojection_error_px"] = r.real(
            t["max_reprojection_error_px"],
            "[reconstruction] max_reprojection_error_px",
            0.0,
            None,
            "positive",
            open_low=True,
        )
    return ReconstructionOptions(**kw)


def _quality(r: _Reader, data: dict) -> QualityOptions:
    t = r.table(data, "quality")
    names = [f.name for f in QualityOptions.__dataclass_fields__.values()]
    r.check_keys(t, "quality", names)
    kw: dict[str, Any] = {}
    for key in ("min_corrcoef", "seed_min_corrcoef"):
        if key in t:
            kw[key] = r.real(t[key], f"[quality] {key}", -1.0, 1.0, "between -1 and 1")
    for key in ("max_predicted_std_px", "noise", "median_threshold", "median_eps_px"):
        if key in t:
            kw[key] = r.real(t[key], f"[quality] {key}", 0.0, None, "positive", open_low=True)
    for key in ("texture_check", "median_test"):
        if key in t:
            kw[key] = r.boolean(t[key], f"[quality] {key}")
    if "min_region_nodes" in t:
        kw["min_region_nodes"] = r.integer(t["min_region_nodes"], "[quality] min_region_nodes", 1, None, "at least 1")
    return QualityOptions(**kw)


def _strain(r: _Reader, data: dict) -> StrainOptions:
    from .strain import TENSORS

    t = r.table(data, "strain")
    r.check_keys(t, "strain", ("window", "tensor"))
    kw: dict[str, Any] = {}
    if "window" in t:
        w = r.integer(t["window"], "[strain] window", 3, 99, "an odd number from 3 to 99")
        if w % 2 == 0:
            raise r.error(f"[strain] window must be an odd number of grid nodes, got {w}")
        kw["window"] = w
    if "tensor" in t:
        if t["tensor"] not in TENSORS:
            listed = ", ".join(f'"{a}"' for a in TENSORS)
            raise r.error(f"[strain] tensor must be one of {listed}, got {_kind(t['tensor'])}")
        kw["tensor"] = t["tensor"]
    return StrainOptions(**kw)


def _reference(r: _Reader, data: dict) -> ReferenceOptions:
    t = r.table(data, "reference")
    r.check_keys(t, "reference", ("strategy", "min_valid_fraction", "min_mean_corrcoef"))
    kw: dict[str, Any] = {}
    if "strategy" in t:
        if t["strategy"] not in STRATEGIES:
            listed = ", ".join(f'"{a}"' for a in STRATEGIES)
            raise r.error(f"[reference] strategy must be one of {listed}, got {_kind(t['strategy'])}")
        kw["strategy"] = t["strategy"]
    if "min_valid_fraction" in t:
        kw["min_valid_fraction"] = r.real(
            t["min_valid_fraction"], "[reference] min_valid_fraction", 0.0, 1.0, "between 0 and 1"
        )
    if "min_mean_corrcoef" in t:
        kw["min_mean_corrcoef"] = r.real(
            t["min_mean_corrcoef"], "[reference] min_mean_corrcoef", -1.0, 1.0, "between -1 and 1"
        )
    return ReferenceOptions(**kw)


def _output(r: _Reader, data: dict) -> OutputOptions:
    t = r.table(data, "output")
    r.check_keys(t, "output", ("dir", "figures", "vtu"))
    directory = _resolve(r.path.parent, r.string(t["dir"], "[output] dir") if "dir" in t else "results")
    kw = {k: r.boolean(t[k], f"[output] {k}") for k in ("figures", "vtu") if k in t}
    return OutputOptions(dir=directory, **kw)


def load_experiment(path: str | os.PathLike) -> Experiment:
    """Read and check an experiment file.

    Parameters
    ----------
    path : str or path-like
        The TOML file. Paths inside it are relative to its folder.

    Returns
    -------
    Experiment

    Raises
    ------
    ExperimentError
        With a one-line message naming the file and the key: a file that is
        missing or not TOML, an unknown table or key, a value of the wrong type
        or range, a glob that matches nothing or fewer than two images,
        cameras with different image counts, a missing calibration for two or
        more cameras, a missing mask or calibration file.
    """
    shown = os.fspath(path)
    p = Path(path).expanduser()
    if not p.exists():
        raise ExperimentError(f"{shown}: experiment file not found")
    if not p.is_file():
        raise ExperimentError(f"{shown}: not a file")
    try:
        with open(p, "rb") as fh:
            data = tomllib.load(fh)
    except tomllib.TOMLDecodeError as exc:
        raise ExperimentError(f"{shown}: not valid TOML: {exc}") from None
    except (OSError, UnicodeDecodeError) as exc:
        raise ExperimentError(f"{shown}: cannot read the file: {exc}") from None
    p = p.resolve()
    r = _Reader(p, shown)
    for name in data:
        if name not in _TABLES:
            close = difflib.get_close_matches(name, _TABLES, n=1)
            hint = f" (did you mean [{close[0]}]?)" if close else ""
            what = f"table [{name}]" if isinstance(data[name], dict) else f'key "{name}" outside any table'
            raise r.error(f"unknown {what}{hint}")
    patterns, images = _images(r, data)
    calibration, scale, units = _calibration(r, data, len(images))
    return Experiment(
        path=p,
        patterns=patterns,
        images=images,
        calibration=calibration,
        roi=_roi(r, data),
        dic=_dic(r, data),
        stereo=_stereo(r, data),
        reconstruction=_reconstruction(r, data),
        quality=_quality(r, data),
        strain=_strain(r, data),
        reference=_reference(r, data),
        output=_output(r, data),
        scale=scale,
        units=units,
    )
