"""A two-camera measurement, step by step, with the dicpipe helpers.

    .venv/bin/python examples/two_camera_measurement.py [OUT_DIR]

The images are rendered (a speckled plate, 1 % stretch plus a rigid motion),
so the result can be checked against the truth. With real pictures, replace
step 1 by dicpipe.load_picture("cam0_ref.tif") etc. and a calibration of your own.
"""

import sys
from pathlib import Path

import numpy as np

import native_vostrel
from dicpipe import run_dic2d, stack_cameras
from dicpipe.grid import choose_seed
from dicpipe.mesh import triangulate_image_points
from dicpipe.synthetic import render

out = Path(sys.argv[1] if len(sys.argv) > 1 else "out/example")
out.mkdir(parents=True, exist_ok=True)
subset_radius, subset_spacing = 20, 5
step = subset_spacing + 1  # grid node (row r, column c) sits at pixel (c*step, r*step)

# 1. Images, ROI masks and calibration (arrays indexed [y, x]).
meas = render.render_measurement(cameras=2, width=400, height=320, noise=0.5)
calib = render.calibration_arrays(meas.cameras)  # K, dist, R, t

# 2. One dic2d_cli run per camera: reference -> deformed image of that camera.
#    The seed must be a reduced-grid point inside the ROI.
runs = []
for cam in range(2):
    seed = choose_seed(meas.masks[cam], step, subset_radius)
    run = run_dic2d(
        meas.reference[cam],
        meas.deformed[cam],
        meas.masks[cam],
        seed,
        output=out / f"cam{cam}_field.bin",
        subset_radius=subset_radius,
        subset_spacing=subset_spacing,
    )
    print(f"camera {cam}: {run.valid_points} of {run.reference_grid_points} grid points solved")
    runs.append(run)

# 3. The fields as the module wants them: (camera, reduced_height, reduced_width).
dic = stack_cameras([r.field for r in runs])

# 4. Observations: each solved node of camera 0 and the same surface point in
#    camera 1. A real pipeline gets these from stereo matching; here the
#    renderer projects the true surface point into camera 1.
f0 = runs[0].field
rows, cols = np.nonzero(f0.valid)
uv0 = np.stack([cols * step, rows * step], axis=1).astype(float)
X = meas.material_point(0, uv0[:, 0], uv0[:, 1])
seen = np.isfinite(X).all(axis=1)
uv1 = meas.cameras[1].project(X[seen])
ids = (rows * f0.reduced_width + cols)[seen].astype(np.int64)
point_indices = np.concatenate([ids, ids])
cam_indices = np.concatenate([np.zeros(len(ids), np.int32), np.ones(len(ids), np.int32)])
uv = np.concatenate([uv0[seen], uv1])

# 5. Reference and deformed 3D points of the pair.
rec = native_vostrel.reconstruct_pair_surface_points(
    calib["K"],
    calib["dist"],
    calib["R"],
    calib["t"],
    point_indices,
    cam_indices,
    uv,
    dic["dic_u"],
    dic["dic_v"],
    dic["dic_corrcoef"],
    dic["dic_valid"],
    dic["reduced_height"],
    dic["reduced_width"],
    subset_spacing,
    cam_a=0,
    cam_b=1,
    min_corrcoef=0.6,
    max_reprojection_error_px=1.0,
    scale=1.0,
)
valid = rec["valid_points"]
print(f"{np.count_nonzero(valid)} of {len(valid)} points reconstructed")

# 6. A mesh over the valid points (in camera 0's image plane) and its strains.
idx = np.flatnonzero(valid)
faces = idx[triangulate_image_points(rec["uv_ref_a"][idx], max_edge=1.5 * step)].astype(np.int32)
strain = native_vostrel.compute_surface_deformation(
    faces, rec["points_ref_world"], rec["points_def_world"], np.ones(len(faces), bool)
)
ok = strain["valid_strain_faces"]

# 7. Against the truth.
X_true = meas.material_point(0, rec["uv_ref_a"][:, 0], rec["uv_ref_a"][:, 1])
d_true = meas.deformation.apply(X_true) - X_true
err = np.linalg.norm(rec["displacement_world"][valid] - d_true[valid], axis=1)
print(
    f"mean 3D displacement error {1000 * err.mean():.2f} µm "
    f"of a mean {1000 * np.linalg.norm(d_true[valid], axis=1).mean():.0f} µm displacement"
)
print(
    f"major strain {100 * strain['Epc2'][ok].mean():.3f} % ± {100 * strain['Epc2'][ok].std():.3f} % "
    f"(applied stretch 1 %, Green-Lagrange {100 * (1.01**2 - 1) / 2:.3f} %) on {ok.sum()} faces"
)
