"""Finishing a frame: from its cameras' fields to the frame's arrays and result files.

`finish_frame` turns the `CameraResult` of every camera of a frame into the
frame's record (`FrameRecord`: counts, mean displacement, the strain of the
area-weighted mean tensor, `mean_strain`) and the bytes of its files: for one
camera the grid field (pixels, or the ``[calibration] scale`` units) with
strains from the strain window; for two or more cameras the reconstructed
points, the mesh over camera 0's grid and the module's per-face strains.
It runs in the workers; the calling process only writes what it returns.
"""

from __future__ import annotations

import dataclasses
import math
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from ._tasks import CameraResult
from .images import ImageInfo, load_image
from .quality import PointFlag

__all__ = ["FrameOutput", "FramePlan", "FrameRecord", "MeanStrain", "finish_frame", "mean_strain"]


#: The flag codes counted in summary.csv, in column order.
_COUNTED_FLAGS = tuple(f for f in PointFlag if f != PointFlag.GOOD)


@dataclass(frozen=True)
class FramePlan:
    """What finishing a frame needs besides the camera results."""

    frame: int
    mode: str
    step: int
    images: tuple[str, ...]
    reference0: ImageInfo
    figures: bool
    vtu: bool
    units: str = "px"
    seed: tuple[int, int] = (0, 0)
    calibration: Any = None
    matches: tuple = ()
    min_corrcoef: float = 0.6
    max_reprojection_error_px: float = 1.0
    min_views: int = 2
    strain_window: int = 5
    strain_tensor: str = "green-lagrange"
    scale: float | None = None
    scale_units: str = "mm"
    subset_radius: int = 20


@dataclass
class FrameRecord:
    """One row of the summary: a frame's outcome.

    Attributes
    ----------
    frame : int
        Position of the image in the sorted series (0 is the reference).
    images : tuple of str
        Each camera's image of this frame, relative to the experiment's folder.
    status : str
        "ok" or "failed".
    reason : str
        Why the frame failed ("" when it did not).
    points_solved : int
        Grid nodes of camera 0 with a result (2D: solved by the correlation;
        stereo: reconstructed from every camera).
    points_valid : int
        Of those, the points that passed every gate.
    mean_displacement : tuple of float
        Mean over the valid points: (u, v) in pixels (2D) or (x, y, z) in the calibration's units.
    strain_minor, strain_major : float
        In-plane principal values of the area-weighted mean Green-Lagrange strain tensor.
    mean_strain : tuple of float
        That tensor, nine values row-major.
    units : str
        Unit of the displacements ("px" or the calibration's).
    seconds : float
        Computing time of the frame (its tasks and its finishing).
    flag_counts : tuple of int
        Points of camera 0's grid per `PointFlag` code 1, 2, ... (in stereo the
        3D point's flag; unmatched nodes count as STEREO_MATCH).
    reference : int
        The frame whose images camera 0 was correlated with.
    notes : str
        Regions not measured in a measured frame, and why.
    mean_displacement_scaled : tuple of float
        One camera with `[calibration] scale`: the mean displacement in its units.
    """

    frame: int
    images: tuple[str, ...]
    status: str
    reason: str = ""
    points_solved: int = 0
    points_valid: int = 0
    mean_displacement: tuple[float, ...] = ()
    strain_minor: float = math.nan
    strain_major: float = math.nan
    mean_strain: tuple[float, ...] = ()
    units: str = "px"
    seconds: float = 0.0
    flag_counts: tuple[int, ...] = ()
    reference: int = 0
    notes: str = ""
    mean_displacement_scaled: tuple[float, ...] = ()

    @property
    def ok(self) -> bool:
        return self.status == "ok"

    def to_json(self) -> dict:
        d = dict(vars(self))
        d["images"] = list(self.images)
        for key in ("mean_displacement", "mean_strain", "mean_displacement_scaled", "flag_counts"):
            d[key] = list(d[key])
        return d

    @classmethod
    def from_json(cls, d: dict) -> FrameRecord:
        d = dict(d)
        for key, default in (("mean_displacement", ()), ("mean_strain", ()), ("mean_displacement_scaled", ())):
            d[key] = tuple(math.nan if v is None else float(v) for v in d.get(key) or default)
        d["flag_counts"] = tuple(int(v) for v in d.get("flag_counts") or ())
        for key in ("strain_minor", "strain_major", "seconds"):
            d[key] = math.nan if d.get(key) is None else float(d[key])
        d["images"] = tuple(d["images"])
        return cls(**d)


@dataclass
class FrameOutput:
    """A finished frame: its summary record and the bytes of its files (paths relative to the output folder)."""

    record: FrameRecord
    files: dict[str, bytes] = field(default_factory=dict)


@dataclass(frozen=True)
class MeanStrain:
    """The area-weighted mean strain tensor of a mesh and its in-plane principal values.

    Attributes
    ----------
    tensor : (3, 3) array
        Sum over the valid faces of Area * E, divided by their total area.
    minor, major : float
        Its principal values in the plane normal to the area-weighted mean face normal.
    area : float
        Total area of the valid faces.
    """

    tensor: np.ndarray
    minor: float
    major: float
    area: float


def _frame_name(frame: int) -> str:
    return f"frame_{frame:04d}"


def mean_strain(emat: np.ndarray, area: np.ndarray, valid: np.ndarray, normals: np.ndarray) -> MeanStrain:
    """Area-weighted mean of per-face strain tensors and its in-plane principal values.

    The principal values of this mean tensor summarise a frame; the mean of
    the per-face principal values would not: taking principal values is not
    linear, and on noisy faces it pushes the major value up and the minor
    value down even where the true strain is zero.

    Parameters
    ----------
    emat : (M, 3, 3) array
        Per-face Green-Lagrange strain tensors.
    area : (M,) array
        Per-face reference areas.
    valid : (M,) bool array
        Faces to include.
    normals : (M, 3) array
        Per-face unit normals in the reference state (consistently oriented).

    Returns
    -------
    MeanStrain
        NaN values when no face is valid.
    """
    ok = np.asarray(valid, dtype=bool) & np.isfinite(area)
    e = np.asarray(emat, dtype=np.float64)[ok]
    a = np.asarray(area, dtype=np.float64)[ok]
    total = float(a.sum())
    if not ok.any() or not total > 0:
        return MeanStrain(np.full((3, 3), np.nan), math.nan, math.nan, 0.0)
    tensor = (a[:, None, None] * e).sum(axis=0) / total
    tensor = 0.5 * (tensor + tensor.T)
    n = (a[:, None] * np.asarray(normals, dtype=np.float64)[ok]).sum(axis=0)
    values, vectors = np.linalg.eigh(tensor)
    drop = int(np.argmax(np.abs(vectors.T @ n)))
    minor, major = (float(v) for v in np.delete(values, drop))
    return MeanStrain(tensor, minor, major, total)


def _grid_xy(shape: tuple[int, int], step: int) -> tuple[np.ndarray, np.ndarray]:
    rows, cols = shape
    y, x = np.mgrid[0:rows, 0:cols]
    return (x * step).astype(np.float64), (y * step).astype(np.float64)


def _flag_counts(flags: np.ndarray | None, points: np.ndarray | None) -> tuple[int, ...]:
    """Points per flag code 1, 2, ... (empty when unknown)."""
    if flags is None or points is None:
        return ()
    from .quality import count_flags

    counts = count_flags(flags, among=points)
    return tuple(counts[f] for f in _COUNTED_FLAGS)


def _failed(plan: FramePlan, reason: str, seconds: float, counts: tuple[int, ...] = ()) -> FrameOutput:
    return FrameOutput(
        FrameRecord(plan.frame, plan.images, "failed", reason, units=plan.units, seconds=seconds, flag_counts=counts)
    )


def finish_frame(plan: FramePlan, *results: CameraResult) -> FrameOutput:
    """Turn the camera results of one frame into its result files and summary record.

    Never raises for a frame that cannot be measured: the record then says
    "failed" and why, and no files are produced.
    """
    start = time.perf_counter()
    task_seconds = sum(r.seconds for r in results)
    errors = [r.error for r in results if r.error]
    if errors:
        r0 = results[0]
        counts = (
            _flag_counts(np.full(r0.points.shape, int(PointFlag.NOT_MEASURED)), r0.points)
            if r0.points is not None
            else ()
        )
        return _failed(plan, "; ".join(errors), task_seconds + time.perf_counter() - start, counts)
    out = _finish_2d(plan, results[0]) if plan.mode == "2d" else _finish_stereo(plan, results)
    out.record.seconds = task_seconds + time.perf_counter() - start
    out.record.reference = results[0].reference
    out.record.notes = "; ".join(r.notes for r in results if r.notes)
    return out


def _window_strain_2d(plan: FramePlan, u: np.ndarray, v: np.ndarray, good: np.ndarray):
    """Strain components of the window fit over the good nodes (NaN elsewhere)."""
    from .strain import grid_window_gradient, strain_components

    fit = grid_window_gradient(
        np.where(good, u, 0.0), np.where(good, v, 0.0), good, window=plan.strain_window, step=float(plan.step)
    )
    comps = strain_components(fit.F, plan.strain_tensor)
    keep = good & fit.valid
    return {k: np.where(keep, val, np.nan) for k, val in comps.as_dict().items()}


def _finish_2d(plan: FramePlan, res: CameraResult) -> FrameOutput:
    import native_vostrel

    from . import figures
    from .export import npz_bytes, vtu_bytes
    from .mesh import face_normals, grid_faces
    from .strain import window_gauge_length

    f = res.field
    step = plan.step
    x, y = _grid_xy(f.shape, step)
    flags = np.asarray(res.flags, dtype=np.uint8)
    points = np.asarray(res.points, dtype=bool)
    solved = np.asarray(f.valid, dtype=bool) & points
    good = flags == PointFlag.GOOD
    counts = _flag_counts(flags, points)
    nan = np.float64(np.nan)
    u = np.where(good, f.u, nan)
    v = np.where(good, f.v, nan)
    ids = np.flatnonzero(good)
    faces_grid = grid_faces(good)
    if len(ids) < 3 or len(faces_grid) == 0:
        return _failed(
            plan, f"too few points: {len(ids)} good grid points, no triangle of neighbouring points", 0.0, counts
        )
    remap = np.full(good.size, -1, dtype=np.int64)
    remap[ids] = np.arange(len(ids))
    faces = remap[faces_grid].astype(np.int32)
    zeros = np.zeros(len(ids))
    points_ref = np.stack([x.ravel()[ids], y.ravel()[ids], zeros], axis=1)
    disp = np.stack([u.ravel()[ids], v.ravel()[ids], zeros], axis=1)
    points_def = points_ref + disp
    strain = native_vostrel.compute_surface_deformation(faces, points_ref, points_def, np.ones(len(faces), bool))
    ok_faces = strain["valid_strain_faces"]
    if not ok_faces.any():
        return _failed(
            plan, f"too few points: no triangle of the {len(ids)} good grid points has a strain", 0.0, counts
        )
    ms = mean_strain(strain["Emat"], strain["Area"], ok_faces, face_normals(points_ref, faces))
    window = _window_strain_2d(plan, u, v, good)

    arrays: dict[str, np.ndarray] = {
        "x": x,
        "y": y,
        "u": u,
        "v": v,
        "corrcoef": np.asarray(f.corrcoef, dtype=np.float64),
        "valid": good,
        "flag": flags,
        "solved": solved,
        "du_dx": np.where(good, f.du_dx, nan),
        "du_dy": np.where(good, f.du_dy, nan),
        "dv_dx": np.where(good, f.dv_dx, nan),
        "dv_dy": np.where(good, f.dv_dy, nan),
        "step": np.int64(step),
        "seed": np.asarray(plan.seed, dtype=np.int64),
        "seed_corrcoef": np.float64(res.seed_corrcoef),
        "seed_search_radius": np.int64(res.seed_search_radius),
        "reference_frame": np.int64(res.reference),
        "point_indices": ids.astype(np.int64),
        "points_ref": points_ref,
        "points_def": points_def,
        "faces": faces,
    }
    if res.median_residual is not None:
        arrays["median_residual"] = np.asarray(res.median_residual, dtype=np.float64)
    arrays.update(window)
    arrays["strain_tensor"] = np.asarray(plan.strain_tensor)
    arrays["strain_window"] = np.int64(plan.strain_window)
    arrays["strain_gauge_length_px"] = np.float64(
        window_gauge_length(plan.strain_window, step, subset_radius=plan.subset_radius)
    )
    if plan.scale is not None:
        unit = plan.scale_units
        for name, a in (("x", x), ("y", y), ("u", u), ("v", v)):
            arrays[f"{name}_{unit}"] = a * plan.scale
    arrays.update({k: np.asarray(val) for k, val in strain.items()})
    arrays.update(
        {
            "mean_strain": ms.tensor,
            "mean_strain_minor": np.float64(ms.minor),
            "mean_strain_major": np.float64(ms.major),
        }
    )
    name = _frame_name(plan.frame)
    files = {f"frames/{name}.npz": npz_bytes(arrays)}
    if plan.vtu:
        node_data = {
            k: window[k].ravel()[ids] for k in ("strain_xx", "strain_yy", "strain_xy", "strain_major", "strain_minor")
        }
        files[f"frames/{name}.vtu"] = vtu_bytes(
            points_ref,
            faces,
            point_data={"displacement": disp, "corrcoef": np.asarray(f.corrcoef).ravel()[ids], **node_data},
            cell_data={k: strain[k] for k in ("Emat", "Epc1", "Epc2", "Eeq", "EShearMax", "J", "valid_strain_faces")},
        )
    if plan.figures:
        image = load_image(plan.reference0.path, plan.reference0)
        files[f"figures/{name}.png"] = figures.field_maps(
            image,
            step,
            [("u [px]", u), ("v [px]", v), (f"major strain ({plan.strain_tensor})", window["strain_major"])],
            title=f"{name}: {plan.images[0]}",
        )
    mean_u, mean_v = float(np.mean(disp[:, 0])), float(np.mean(disp[:, 1]))
    record = FrameRecord(
        frame=plan.frame,
        images=plan.images,
        status="ok",
        points_solved=int(solved.sum()),
        points_valid=len(ids),
        mean_displacement=(mean_u, mean_v),
        strain_minor=ms.minor,
        strain_major=ms.major,
        mean_strain=tuple(float(t) for t in ms.tensor.ravel()),
        units="px",
        flag_counts=counts,
        mean_displacement_scaled=(mean_u * plan.scale, mean_v * plan.scale) if plan.scale is not None else (),
    )
    return FrameOutput(record, files)


def _observations(plan: FramePlan, shape: tuple[int, int]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """point_indices, cam_indices, uv of every camera-0 grid node that some camera k matched.

    A node (r, c) is point r * columns + c; camera 0 sees it at (c * step, r * step), camera k at
    its stereo match.
    """
    rows, cols = shape
    matched = np.zeros(shape, dtype=bool)
    for m in plan.matches:
        matched |= np.asarray(m.valid, dtype=bool)
    r, c = np.nonzero(matched)
    ids = (r * cols + c).astype(np.int64)
    pids = [ids]
    cams = [np.zeros(len(ids), dtype=np.int32)]
    uvs = [np.stack([c * float(plan.step), r * float(plan.step)], axis=1)]
    for m in plan.matches:
        ok = np.asarray(m.valid, dtype=bool)[r, c]
        pids.append(ids[ok])
        cams.append(np.full(int(ok.sum()), m.camera, dtype=np.int32))
        uvs.append(np.asarray(m.uv, dtype=np.float64)[r[ok], c[ok]])
    return np.concatenate(pids), np.concatenate(cams), np.concatenate(uvs)


def _sample_flags(res: CameraResult, uv: np.ndarray, step: int, min_corrcoef: float) -> np.ndarray:
    """Flag of a camera's field where the reconstruction samples it at pixels uv (N, 2).

    The reconstruction reads the field bilinearly from four good nodes, else
    from the nearest node (`native_vostrel`'s sampling, with the good nodes as
    its valid ones); a position it can read is GOOD, otherwise it gets the
    flag of its nearest node (LOW_CORRELATION when that node is good but
    below the reconstruction's correlation gate, NOT_MEASURED off the grid).
    """
    flags = np.asarray(res.flags)
    h, w = flags.shape
    usable = (flags == PointFlag.GOOD) & (np.asarray(res.field.corrcoef) >= min_corrcoef)
    gx, gy = uv[:, 0] / step, uv[:, 1] / step
    finite = np.isfinite(gx) & np.isfinite(gy)
    c0 = np.floor(np.where(finite, gx, -2)).astype(np.int64)
    r0 = np.floor(np.where(finite, gy, -2)).astype(np.int64)
    ok4 = finite & (c0 >= 0) & (r0 >= 0) & (c0 + 1 < w) & (r0 + 1 < h)
    cc, rc = np.clip(c0, 0, max(w - 2, 0)), np.clip(r0, 0, max(h - 2, 0))
    for dr in (0, 1):
        for dc in (0, 1):
            ok4 &= usable[np.clip(rc + dr, 0, h - 1), np.clip(cc + dc, 0, w - 1)]
    cn = np.where(finite, np.sign(gx) * np.floor(np.abs(gx) + 0.5), -1).astype(np.int64)
    rn = np.where(finite, np.sign(gy) * np.floor(np.abs(gy) + 0.5), -1).astype(np.int64)
    on_grid = finite & (cn >= 0) & (rn >= 0) & (cn < w) & (rn < h)
    near = np.full(len(uv), int(PointFlag.NOT_MEASURED), dtype=np.uint8)
    near[on_grid] = flags[rn[on_grid], cn[on_grid]]
    near_ok = np.zeros(len(uv), dtype=bool)
    near_ok[on_grid] = usable[rn[on_grid], cn[on_grid]]
    out = np.where(near == PointFlag.GOOD, np.uint8(PointFlag.LOW_CORRELATION), near)
    return np.where(ok4 | near_ok, np.uint8(PointFlag.GOOD), out).astype(np.uint8)


def _surface_window(plan: FramePlan, points_ref, points_def, good, faces):
    """Per-face strain components of the surface window over the good points, and the window's radius."""
    from .mesh import face_normals
    from .strain import strain_components, surface_window_gradient, window_gauge_length

    tri = points_ref[faces]
    edges = np.linalg.norm(tri[:, [1, 2, 0]] - tri, axis=2)
    legs = np.sort(edges, axis=1)[:, :2]  # the grid's two sides of each triangle
    pitch = float(np.median(legs)) if len(legs) else math.nan
    radius = window_gauge_length(plan.strain_window, pitch) / math.sqrt(2.0)
    fit = surface_window_gradient(
        points_ref,
        np.where(good[:, None], points_def, np.nan),
        good,
        tri.mean(axis=1),
        face_normals(points_ref, faces),
        radius,
        min_points=max(6, math.ceil(plan.strain_window**2 / 4)),
    )
    comps = strain_components(fit.F, plan.strain_tensor).as_dict()
    return comps, radius, pitch, fit


def _finish_stereo(plan: FramePlan, results: Sequence[CameraResult]) -> FrameOutput:

    import native_vostrel

    from . import figures
    from .export import npz_bytes, vtu_bytes
    from .files import stack_cameras
    from .mesh import face_normals, grid_faces
    from .strain import surface_gauge_length

    f0 = results[0].field
    shape = f0.shape
    rows, cols = shape
    for m in plan.matches:
        if np.shape(m.valid) != shape:
            raise ValueError(f"camera {m.camera}'s stereo match covers a {np.shape(m.valid)} grid, not {shape}")
    pids, cams, uv = _observations(plan, shape)
    # The reconstruction reads good nodes only: a flagged node is as unsolved to it.
    fields = [dataclasses.replace(r.field, valid=(r.flags == PointFlag.GOOD).astype(np.uint8)) for r in results]
    stacked = stack_cameras(fields)
    cal = dict(plan.calibration)
    model = cal.pop("distortion_model")
    extra = {} if model == "radial2" else {"distortion_model": model}
    common = dict(
        K=cal["K"],
        dist=cal["dist"],
        R=cal["R"],
        t=cal["t"],
        point_indices=pids,
        cam_indices=cams,
        uv=uv,
        dic_u=stacked["dic_u"],
        dic_v=stacked["dic_v"],
        dic_corrcoef=stacked["dic_corrcoef"],
        dic_valid=stacked["dic_valid"],
        reduced_height=stacked["reduced_height"],
        reduced_width=stacked["reduced_width"],
        subset_spacing=plan.step - 1,
    )
    gates = dict(min_corrcoef=plan.min_corrcoef, max_reprojection_error_px=plan.max_reprojection_error_px, scale=1.0)
    if len(results) == 2:
        rec = native_vostrel.reconstruct_pair_surface_points(**common, cam_a=0, cam_b=1, **gates, **extra)
        module_valid = np.asarray(rec["valid_points"], dtype=bool)
        corr = rec["corr_comb"]
    else:
        rec = native_vostrel.reconstruct_tracks(**common, min_views=plan.min_views, **gates, **extra)
        module_valid = np.asarray(rec["valid"], dtype=bool)
        corr = rec["mean_corrcoef"]
    ids = np.asarray(rec["point_indices"], dtype=np.int64)
    r_ids, c_ids = ids // cols, ids % cols
    # Per node and camera: camera 0 at its node, camera k where the match puts it (STEREO_MATCH when none).
    node_flags = [np.asarray(results[0].flags, dtype=np.uint8)]
    for m, res in zip(plan.matches, results[1:]):
        matched = np.asarray(m.valid, dtype=bool)
        uv_k = np.where(matched[..., None], np.asarray(m.uv, dtype=np.float64), np.nan).reshape(-1, 2)
        sampled = _sample_flags(res, uv_k, plan.step, plan.min_corrcoef).reshape(shape)
        node_flags.append(np.where(matched, sampled, np.uint8(PointFlag.STEREO_MATCH)).astype(np.uint8))
    node_flags = np.stack(node_flags)  # (cameras, rows, cols)
    first_bad = np.where(node_flags == 0, 255, node_flags).min(axis=0)
    # A node every camera can read that the reconstruction leaves out or rejects: RECONSTRUCTION.
    grid_flag = np.where(first_bad == 255, int(PointFlag.RECONSTRUCTION), first_bad).astype(np.uint8)
    module_ok = np.zeros(rows * cols, dtype=bool)
    module_ok[ids[module_valid]] = True
    grid_flag[module_ok.reshape(shape)] = PointFlag.GOOD
    points0 = np.asarray(results[0].points, dtype=bool)
    grid_flag[~points0] = PointFlag.NOT_MEASURED
    counts = _flag_counts(grid_flag, points0)
    camera_flags = node_flags[:, r_ids, c_ids]
    point_flag = grid_flag[r_ids, c_ids]
    valid = point_flag == PointFlag.GOOD
    points_ref = rec["points_ref_world"]
    points_def = np.where(valid[:, None], rec["points_def_world"], np.nan)
    disp = np.where(valid[:, None], rec["displacement_world"], np.nan)
    node_valid = np.zeros(rows * cols, dtype=bool)
    node_valid[ids[valid]] = True
    faces_grid = grid_faces(node_valid.reshape(shape))
    n_valid = int(valid.sum())
    if n_valid < 3 or len(faces_grid) == 0:
        return _failed(
            plan,
            f"too few points: {n_valid} valid 3D points of {len(ids)} reconstructed, no triangle of neighbours",
            0.0,
            counts,
        )
    faces = np.searchsorted(ids, faces_grid).astype(np.int32)  # rows of the reconstruction
    strain = native_vostrel.compute_surface_deformation(faces, points_ref, points_def, np.ones(len(faces), bool))
    ok_faces = strain["valid_strain_faces"]
    if not ok_faces.any():
        return _failed(plan, f"too few points: no triangle of the {n_valid} valid 3D points has a strain", 0.0, counts)
    ms = mean_strain(strain["Emat"], strain["Area"], ok_faces, face_normals(points_ref, faces))
    window, radius, pitch, fit = _surface_window(plan, points_ref, points_def, valid, faces)

    arrays: dict[str, np.ndarray] = {
        "point_indices": ids,
        "points_ref": points_ref,
        "points_def": points_def,
        "displacement": disp,
        "valid": valid,
        "flag": point_flag,
        "camera_flags": camera_flags,
        "grid_flag": grid_flag,
        "faces": faces,
        "corrcoef": np.asarray(corr, dtype=np.float64),
        "uv0": np.stack([(ids % cols) * float(plan.step), (ids // cols) * float(plan.step)], axis=1),
        "grid_shape": np.asarray(shape, dtype=np.int64),
        "step": np.int64(plan.step),
        "seed": np.asarray(plan.seed, dtype=np.int64),
        "reference_frame": np.asarray([r.reference for r in results], dtype=np.int64),
    }
    skip = {"point_indices", "points_ref_world", "points_def_world", "displacement_world", "valid", "valid_points"}
    skip |= {"points_ref_sfm", "points_def_sfm", "displacement_sfm"}  # equal to the world arrays (scale 1)
    arrays.update({k: np.asarray(v) for k, v in rec.items() if k not in skip})
    arrays["stereo_corrcoef"] = np.stack([np.asarray(m.corrcoef, dtype=np.float64)[r_ids, c_ids] for m in plan.matches])
    arrays["stereo_epipolar_px"] = np.stack(
        [np.asarray(m.epipolar_px, dtype=np.float64)[r_ids, c_ids] for m in plan.matches]
    )
    arrays.update({k: np.asarray(v) for k, v in strain.items()})
    arrays.update(window)
    arrays.update(
        {
            "strain_tensor": np.asarray(plan.strain_tensor),
            "strain_window": np.int64(plan.strain_window),
            "strain_window_radius": np.float64(radius),
            "strain_gauge_length": np.float64(surface_gauge_length(radius)) if radius > 0 else np.float64(np.nan),
            "strain_frame_x": fit.e1,
            "strain_points": fit.count,
        }
    )
    arrays.update(
        {
            "mean_strain": ms.tensor,
            "mean_strain_minor": np.float64(ms.minor),
            "mean_strain_major": np.float64(ms.major),
            "units": np.asarray(plan.units),
        }
    )
    name = _frame_name(plan.frame)
    files = {f"frames/{name}.npz": npz_bytes(arrays)}
    if plan.vtu:
        rows_valid = np.flatnonzero(valid)
        compact = np.full(len(ids), -1, dtype=np.int64)
        compact[rows_valid] = np.arange(len(rows_valid))
        cells = {k: strain[k] for k in ("Emat", "Epc1", "Epc2", "Eeq", "EShearMax", "J", "valid_strain_faces")}
        cells.update(window)
        files[f"frames/{name}.vtu"] = vtu_bytes(
            points_ref[rows_valid],
            compact[faces],
            point_data={
                "displacement": disp[rows_valid],
                "corrcoef": np.asarray(corr, dtype=np.float64)[rows_valid],
                "reprojection_error_def": np.asarray(rec["reprojection_error_def"])[rows_valid],
            },
            cell_data=cells,
        )
    if plan.figures:
        image = load_image(plan.reference0.path, plan.reference0)
        major = figures.nodes_from_faces(window["strain_major"], faces_grid, shape)
        minor = figures.nodes_from_faces(window["strain_minor"], faces_grid, shape)
        files[f"figures/{name}.png"] = figures.field_maps(
            image,
            plan.step,
            [(f"major strain ({plan.strain_tensor})", major), (f"minor strain ({plan.strain_tensor})", minor)],
            title=f"{name}: {plan.images[0]}",
        )
    record = FrameRecord(
        frame=plan.frame,
        images=plan.images,
        status="ok",
        points_solved=len(ids),
        points_valid=n_valid,
        mean_displacement=tuple(float(v) for v in disp[valid].mean(axis=0)),
        strain_minor=ms.minor,
        strain_major=ms.major,
        mean_strain=tuple(float(t) for t in ms.tensor.ravel()),
        units=plan.units,
        flag_counts=counts,
    )
    return FrameOutput(record, files)
