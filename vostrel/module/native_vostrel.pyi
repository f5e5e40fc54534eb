"""Native acceleration kernels for Orvalle vostrel."""

from typing import Literal, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt

# Arrays are converted to their element type with forced casting and read in
# place through their strides; every result is a new C-contiguous array.
# distortion_model "radial2" reads K's fx, fy, cx, cy and dist's k1, k2;
# "opencv" also the skew K[c, 0, 1] and dist's k1, k2, p1, p2, k3.

def reconstruct_tracks(
    K: npt.ArrayLike,
    dist: npt.ArrayLike,
    R: npt.ArrayLike,
    t: npt.ArrayLike,
    point_indices: npt.ArrayLike,
    cam_indices: npt.ArrayLike,
    uv: npt.ArrayLike,
    dic_u: npt.ArrayLike,
    dic_v: npt.ArrayLike,
    dic_corrcoef: npt.ArrayLike,
    dic_valid: npt.ArrayLike,
    reduced_height: SupportsIndex,
    reduced_width: SupportsIndex,
    subset_spacing: SupportsIndex,
    min_views: SupportsIndex,
    min_corrcoef: SupportsFloat,
    max_reprojection_error_px: SupportsFloat,
    scale: SupportsFloat,
    *,
    distortion_model: Literal["radial2", "opencv"] = "radial2",
) -> dict[str, npt.NDArray[np.generic]]:
    """Triangulate every track from all its usable views, in the reference and the deformed state."""

def reconstruct_pair_surface_points(
    K: npt.ArrayLike,
    dist: npt.ArrayLike,
    R: npt.ArrayLike,
    t: npt.ArrayLike,
    point_indices: npt.ArrayLike,
    cam_indices: npt.ArrayLike,
    uv: npt.ArrayLike,
    dic_u: npt.ArrayLike,
    dic_v: npt.ArrayLike,
    dic_corrcoef: npt.ArrayLike,
    dic_valid: npt.ArrayLike,
    reduced_height: SupportsIndex,
    reduced_width: SupportsIndex,
    subset_spacing: SupportsIndex,
    cam_a: SupportsIndex,
    cam_b: SupportsIndex,
    min_corrcoef: SupportsFloat,
    max_reprojection_error_px: SupportsFloat,
    scale: SupportsFloat,
    *,
    distortion_model: Literal["radial2", "opencv"] = "radial2",
) -> dict[str, npt.NDArray[np.generic]]:
    """Triangulate the points that both cameras of a pair observe, in the reference and the deformed state."""

def compute_surface_deformation(
    faces: npt.ArrayLike,
    points_ref: npt.ArrayLike,
    points_def: npt.ArrayLike,
    valid_faces: npt.ArrayLike,
) -> dict[str, npt.NDArray[np.generic]]:
    """Deformation gradient and strain measures of every triangle of a surface mesh."""
