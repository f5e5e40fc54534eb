"""The whole stereo measurement, stage by stage, on a rendered specimen.

1. Render the reference and deformed images of every camera (render.py).
2. Run dic2d_cli once per camera (cameras in parallel, one process each).
3. Build the observations: every solved grid node of camera A at pixel
   (col * step, row * step), and the pixel of the same material point in the
   other cameras. In a real set-up these correspondences come from the
   stereo matching and calibration step; here the renderer supplies them from
   the known reference surface.
4. Reconstruct the reference and deformed surface points (native_vostrel).
5. Mesh the valid points in camera A's image plane and compute per-face
   strains (native_vostrel), then compare everything with the truth.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np

from . import mesh as meshing
from .dic2d import Dic2dRun, run_dic2d
from .files import stack_cameras
from .grid import choose_seed
from .synthetic import render


@dataclass
class PipelineResult:
    measurement: render.Measurement
    runs: list  # Dic2dRun per camera
    seeds: list
    subset_spacing: int
    observations: dict  # point_indices, cam_indices, uv
    recon: dict  # result of the reconstruction call
    faces: np.ndarray
    strain: dict  # result of compute_surface_deformation
    truth: dict  # points_ref, displacement (per row of recon), strain per face
    timings: dict = field(default_factory=dict)
    method: str = "pair"

    @property
    def valid(self) -> np.ndarray:
        return self.recon["valid_points"] if self.method == "pair" else self.recon["valid"]

    def summary(self) -> dict:
        v = self.valid
        d_meas = self.recon["displacement_world"][v]
        d_true = self.truth["displacement"][v]
        err = np.linalg.norm(d_meas - d_true, axis=1)
        applied = np.linalg.norm(d_true, axis=1)
        p_err = np.linalg.norm(self.recon["points_ref_world"][v] - self.truth["points_ref"][v], axis=1)
        sv = self.strain["valid_strain_faces"]
        s = {
            "grid_points": [r.reference_grid_points for r in self.runs],
            "dic_valid": [r.valid_points for r in self.runs],
            "points": int(len(v)),
            "valid_points": int(np.count_nonzero(v)),
            "faces": int(len(self.faces)),
            "valid_faces": int(np.count_nonzero(sv)),
            "disp_error_mean": float(err.mean()) if len(err) else float("nan"),
            "disp_error_max": float(err.max()) if len(err) else float("nan"),
            "disp_applied_mean": float(applied.mean()) if len(applied) else float("nan"),
            "pos_error_mean": float(p_err.mean()) if len(p_err) else float("nan"),
        }
        for key in ("Epc1", "Epc2"):
            meas = self.strain[key][sv]
            true = self.truth[key][sv]
            s[key] = (float(meas.mean()), float(meas.std()), float(true.mean()))
        lam = self.strain["Lambda2"][sv] - 1.0
        s["Lambda2-1"] = (float(lam.mean()), float(lam.std()), float(self.measurement.deformation.strain))
        return s


def build_observations(
    meas: render.Measurement, run_a: Dic2dRun, step: int, cams: list[int]
) -> tuple[dict, np.ndarray]:
    """Observations of every solved node of camera cams[0] in all cameras `cams`.

    Returns the three observation arrays and the true reference surface
    points, indexed by point identifier (row * reduced_width + col).
    """
    f = run_a.field
    rows, cols = np.nonzero(f.valid)
    px, py = cols * float(step), rows * float(step)
    X = meas.material_point(cams[0], px, py)
    ids = rows.astype(np.int64) * f.reduced_width + cols
    seen = np.isfinite(X).all(axis=1)
    pids, cidx, uv = [], [], []
    for c in cams:
        if c == cams[0]:
            pix = np.stack([px, py], axis=1)
        else:
            pix = meas.cameras[c].project(X)
        cam = meas.cameras[c]
        inside = (
            seen & (pix[:, 0] >= 0) & (pix[:, 1] >= 0) & (pix[:, 0] <= cam.width - 1) & (pix[:, 1] <= cam.height - 1)
        )
        pids.append(ids[inside])
        cidx.append(np.full(np.count_nonzero(inside), c, dtype=np.int32))
        uv.append(pix[inside])
    truth_points = np.full((f.reduced_height * f.reduced_width, 3), np.nan)
    truth_points[ids[seen]] = X[seen]
    obs = {"point_indices": np.concatenate(pids), "cam_indices": np.concatenate(cidx), "uv": np.concatenate(uv)}
    return obs, truth_points


def run_pipeline(
    *,
    cameras: int = 2,
    width: int = 480,
    height: int = 384,
    curved: bool = False,
    strain: float = 0.01,
    noise: float = 0.0,
    samples: int = 3,
    subset_radius: int = 20,
    subset_spacing: int = 5,
    min_corrcoef: float = 0.6,
    max_reprojection_error_px: float = 1.0,
    cli: str | None = None,
    progress: Callable[[str], None] = lambda msg: None,
) -> PipelineResult:
    """Render, correlate, reconstruct, mesh and strain one synthetic measurement."""
    import native_vostrel

    timings = {}
    t0 = time.perf_counter()
    meas = render.render_measurement(
        cameras=cameras, width=width, height=height, curved=curved, strain=strain, noise=noise, samples=samples
    )
    timings["render"] = time.perf_counter() - t0
    progress(f"rendered {cameras} cameras x 2 images of {width} x {height} px ({timings['render']:.1f} s)")

    step = subset_spacing + 1
    seeds = [choose_seed(m, step, subset_radius) for m in meas.masks]
    t0 = time.perf_counter()
    params = dict(subset_radius=subset_radius, subset_spacing=subset_spacing)
    with ThreadPoolExecutor(max_workers=2) as pool:
        futures = [
            pool.submit(run_dic2d, meas.reference[c], meas.deformed[c], meas.masks[c], seeds[c], cli=cli, **params)
            for c in range(cameras)
        ]
        runs = [fut.result() for fut in futures]
    timings["dic2d"] = time.perf_counter() - t0
    for c, r in enumerate(runs):
        progress(f"camera {c}: seed {seeds[c]}, {r.valid_points} of {r.reference_grid_points} grid points solved")
    progress(f"dic2d_cli for {cameras} cameras ({timings['dic2d']:.1f} s)")

    t0 = time.perf_counter()
    cam_list = list(range(cameras))
    obs, truth_points = build_observations(meas, runs[0], step, cam_list)
    stacked = stack_cameras([r.field for r in runs])
    args = dict(
        render.calibration_arrays(meas.cameras),
        **obs,
        dic_u=stacked["dic_u"],
        dic_v=stacked["dic_v"],
        dic_corrcoef=stacked["dic_corrcoef"],
        dic_valid=stacked["dic_valid"],
        reduced_height=stacked["reduced_height"],
        reduced_width=stacked["reduced_width"],
        subset_spacing=subset_spacing,
    )
    if cameras == 2:
        method = "pair"
        recon = native_vostrel.reconstruct_pair_surface_points(
            **args,
            cam_a=0,
            cam_b=1,
            min_corrcoef=min_corrcoef,
            max_reprojection_error_px=max_reprojection_error_px,
            scale=1.0,
        )
        valid = recon["valid_points"]
        uv_a = recon["uv_ref_a"]
    else:
        method = "tracks"
        recon = native_vostrel.reconstruct_tracks(
            **args,
            min_views=cameras,
            min_corrcoef=min_corrcoef,
            max_reprojection_error_px=max_reprojection_error_px,
            scale=1.0,
        )
        valid = recon["valid"]
        ids = recon["point_indices"]
        uv_a = np.stack(
            [(ids % stacked["reduced_width"]) * float(step), (ids // stacked["reduced_width"]) * float(step)], axis=1
        )
    timings["reconstruct"] = time.perf_counter() - t0
    progress(
        f"reconstructed {np.count_nonzero(valid)} of {len(valid)} points ({method}, {timings['reconstruct']:.2f} s)"
    )

    t0 = time.perf_counter()
    X_true = truth_points[recon["point_indices"]]
    d_true = meas.deformation.apply(X_true) - X_true
    vidx = np.flatnonzero(valid)
    faces_local = meshing.triangulate_image_points(uv_a[vidx], max_edge=1.5 * step)
    faces = vidx[faces_local].astype(np.int32)  # indices into the full reconstruction rows
    strain_res = native_vostrel.compute_surface_deformation(
        faces, recon["points_ref_world"], recon["points_def_world"], np.ones(len(faces), dtype=bool)
    )
    normals = meshing.face_normals(X_true, faces) if len(faces) else np.zeros((0, 3))
    e1, e2 = meas.deformation.surface_strain(normals)
    timings["strain"] = time.perf_counter() - t0
    progress(
        f"meshed {len(faces)} triangles, {np.count_nonzero(strain_res['valid_strain_faces'])} with strains "
        f"({timings['strain']:.2f} s)"
    )
    truth = {"points_ref": X_true, "displacement": d_true, "Epc1": e1, "Epc2": e2}
    return PipelineResult(
        measurement=meas,
        runs=runs,
        seeds=seeds,
        subset_spacing=subset_spacing,
        observations=obs,
        recon=recon,
        faces=faces,
        strain=strain_res,
        truth=truth,
        timings=timings,
        method=method,
    )
