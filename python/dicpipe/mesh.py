"""Triangle meshes over reconstructed surface points.

The points are triangulated in one camera's reference image plane, where
they lie on the regular DIC grid; Delaunay triangles that bridge holes or run
along a concave boundary are long or thin there, and are dropped.
"""

from __future__ import annotations

import numpy as np
from scipy.spatial import Delaunay


def triangulate_image_points(uv: np.ndarray, *, max_edge: float, min_angle_deg: float = 20.0) -> np.ndarray:
    """Faces (M, 3) int32 over 2-D points uv (N, 2), without long or sliver triangles.

    max_edge: longest edge kept, in the units of uv (for points on a grid of
    pitch p, 1.5 p keeps the two right triangles of every grid square).
    min_angle_deg: smallest interior angle kept.
    """
    pts = np.asarray(uv, dtype=float)
    if pts.ndim != 2 or pts.shape[1] != 2:
        raise ValueError(f"uv must have shape (N, 2), got {pts.shape}")
    if len(pts) < 3:
        return np.zeros((0, 3), dtype=np.int32)
    try:
        tri = Delaunay(pts)
    except Exception:  # all points collinear or coincident: no surface to mesh
        return np.zeros((0, 3), dtype=np.int32)
    faces = tri.simplices
    a, b, c = pts[faces[:, 0]], pts[faces[:, 1]], pts[faces[:, 2]]
    la = np.linalg.norm(b - c, axis=1)
    lb = np.linalg.norm(c - a, axis=1)
    lc = np.linalg.norm(a - b, axis=1)
    longest = np.maximum(np.maximum(la, lb), lc)
    # Smallest angle is opposite the shortest edge (law of cosines).
    shortest = np.minimum(np.minimum(la, lb), lc)
    other_sq = la**2 + lb**2 + lc**2 - shortest**2 - longest**2
    other = np.sqrt(np.maximum(other_sq, 0.0))
    with np.errstate(invalid="ignore", divide="ignore"):
        cos_min = (longest**2 + other**2 - shortest**2) / (2 * longest * other)
    min_angle = np.degrees(np.arccos(np.clip(cos_min, -1.0, 1.0)))
    keep = (longest <= max_edge) & (min_angle >= min_angle_deg)
    faces = faces[keep].astype(np.int32)
    # Counter-clockwise in the image (x right, y down) means the normal points
    # towards the camera for a surface seen from the front; make the order uniform.
    a, b, c = pts[faces[:, 0]], pts[faces[:, 1]], pts[faces[:, 2]]
    cross = (b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0])
    flip = cross > 0
    faces[flip] = faces[flip][:, [0, 2, 1]]
    return np.ascontiguousarray(faces)


def face_normals(points: np.ndarray, faces: np.ndarray) -> np.ndarray:
    """Unit normals (M, 3) of triangles (right-hand rule over the face order)."""
    p = np.asarray(points, dtype=float)
    n = np.cross(p[faces[:, 1]] - p[faces[:, 0]], p[faces[:, 2]] - p[faces[:, 0]])
    return n / np.linalg.norm(n, axis=1, keepdims=True)
