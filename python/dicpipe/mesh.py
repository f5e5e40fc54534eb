"""Triangle meshes over surface points that lie on camera 0's reduced grid.

`grid_faces` cuts every square of four neighbouring valid grid nodes into two
triangles (diagonals alternating like a chequerboard, so that no direction is
preferred) and makes one triangle of a square with three valid corners.
`triangulate_image_points` triangulates scattered image points (Delaunay,
without the long or thin triangles that bridge holes or concave boundaries).

Faces are ordered so that, seen in the image (x right, y down), their normal
by the right-hand rule points towards the camera.
"""

from __future__ import annotations

import numpy as np

__all__ = ["face_normals", "grid_faces", "triangulate_image_points"]


def grid_faces(valid: np.ndarray) -> np.ndarray:
    """Faces (M, 3) int64 over the nodes of a grid, indexed r * columns + c.

    Parameters
    ----------
    valid : (rows, columns) bool
        Which grid nodes carry a point.

    Returns
    -------
    faces : (M, 3) int64
        Per grid square, in row-major order of its top-left node: two
        triangles when all four corners are valid (split along the diagonal
        from top-left to bottom-right where r + c is even, the other diagonal
        where it is odd), one triangle when exactly three are, none otherwise.
    """
    v = np.asarray(valid, dtype=bool)
    if v.ndim != 2:
        raise ValueError(f"valid must be 2-D (rows, columns), got shape {v.shape}")
    rows, cols = v.shape
    if rows < 2 or cols < 2:
        return np.zeros((0, 3), dtype=np.int64)
    r, c = np.mgrid[0 : rows - 1, 0 : cols - 1]
    r, c = r.ravel(), c.ravel()
    tl = r * cols + c
    tr, bl, br = tl + 1, tl + cols, tl + cols + 1
    flat = v.ravel()
    a, b, d, e = flat[tl], flat[tr], flat[bl], flat[br]
    even = (r + c) % 2 == 0
    # Candidate triangles per square, each in the orientation of (tl, bl, tr): normal towards the camera.
    cand = [
        (even & a & b & d & e, (tl, bl, br), (tl, br, tr)),
        (~even & a & b & d & e, (tl, bl, tr), (tr, bl, br)),
    ]
    per_square = np.zeros((len(tl), 2, 3), dtype=np.int64)
    count = np.zeros(len(tl), dtype=np.int64)
    for use, t1, t2 in cand:
        per_square[use, 0] = np.stack(t1, axis=1)[use]
        per_square[use, 1] = np.stack(t2, axis=1)[use]
        count[use] = 2
    three = (a.astype(int) + b + d + e) == 3
    for use, tri in (
        (three & ~a, (tr, bl, br)),
        (three & ~b, (tl, bl, br)),
        (three & ~d, (tl, br, tr)),
        (three & ~e, (tl, bl, tr)),
    ):
        per_square[use, 0] = np.stack(tri, axis=1)[use]
        count[use] = 1
    keep = np.arange(2)[None, :] < count[:, None]
    return np.ascontiguousarray(per_square[keep])


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
    from scipy.spatial import Delaunay

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
