#include "vostrel/module/docstrings.h"

namespace vostrel::binding {

namespace {

// Arguments 1 to 14, shared by both reconstruction functions.
constexpr const char* kObservationParameters = R"(K : array_like of float64, shape (n_cam, 3, 3)
    Intrinsic matrix of each camera, in pixels: fx = K[c, 0, 0],
    fy = K[c, 1, 1], cx = K[c, 0, 2], cy = K[c, 1, 2], and with
    distortion_model "opencv" the skew s = K[c, 0, 1]. The rest is not read.
dist : array_like of float64, shape (n_cam, n_dist)
    Lens distortion of each camera, in the model distortion_model names.
    (x, y) are normalised coordinates (Xc / Zc, Yc / Zc), r^2 = x^2 + y^2.

    "radial2": k1 = dist[c, 0], k2 = dist[c, 1] (0 where the column is
    missing; further columns are ignored). (x, y) is distorted to
    (x, y) * (1 + k1 r^2 + k2 r^4), and the pixel is
    (fx x_d + cx, fy y_d + cy). With |k1| and |k2| at most 1e-12 the camera
    is a pure pinhole. Pixels are undistorted by eight fixed-point steps.

    "opencv": k1, k2, p1, p2, k3 = dist[c, 0:5], OpenCV's order and meaning
    (at least 5 columns; further ones are ignored):
    x_d = x (1 + k1 r^2 + k2 r^4 + k3 r^6) + 2 p1 x y + p2 (r^2 + 2 x^2),
    y_d = y (1 + k1 r^2 + k2 r^4 + k3 r^6) + p1 (r^2 + 2 y^2) + 2 p2 x y,
    and the pixel is (fx x_d + s y_d + cx, fy y_d + cy). Pixels are
    undistorted by Newton's method until a step is at most 1e-12
    normalised units (50 steps at most). A pixel whose iteration does not
    converge, or converges beyond the radius where the lens folds back
    (where r (1 + k1 r^2 + k2 r^4 + k3 r^6) stops growing), is an unusable
    observation.
R : array_like of float64, shape (n_cam, 3, 3)
    Rotation of each camera from the reconstruction frame to camera
    coordinates.
t : array_like of float64, shape (n_cam, 3)
    Translation of each camera, in reconstruction units: the camera
    coordinates of a point X are R[c] @ X + t[c].
point_indices : array_like of int64, shape (n_obs,)
    For each observation, the identifier of the point (track) it belongs
    to; any 64-bit value. n_obs is the length of this array.
cam_indices : array_like of int32, shape (>= n_obs,)
    For each observation, its camera: an index of the first axis of K,
    dist, R, t and of the four dic_ arrays.
uv : array_like of float64, shape (>= n_obs, 2)
    For each observation, its pixel (x = column, y = row) in its camera's
    reference image, in the pixel frame of the DIC grid.
dic_u : array_like of float64, shape (n_cam, >= reduced_height, >= reduced_width)
    For each camera and reduced grid node [c, row, column], the x
    displacement in pixels from the reference to the deformed image.
dic_v : array_like of float64, same shape as dic_u
    The y displacement in pixels of each node.
dic_corrcoef : array_like of float64, same shape as dic_u
    The correlation coefficient of each node.
dic_valid : array_like of bool, same shape as dic_u
    True where the node has a solution.
reduced_height : int
    Number of grid rows that may be read.
reduced_width : int
    Number of grid columns that may be read.
subset_spacing : int
    Grid node (row r, column c) lies at pixel (c * step, r * step),
    step = subset_spacing + 1. A field is read at a pixel by bilinear
    interpolation between the four surrounding nodes when all are solved
    and none has a coefficient below min_corrcoef, otherwise from the
    nearest node (within half a step of the grid) when it is solved and its
    coefficient is not below min_corrcoef; otherwise the pixel has no
    usable sample.
)";

// The arguments after each function's own, and the head of its Returns.
constexpr const char* kLimitAndScale = R"(max_reprojection_error_px : float
    Highest mean reprojection error, in pixels, of a valid point, in either
    state.
scale : float
    Factor from reconstruction units to world units.
distortion_model : {"radial2", "opencv"}, keyword-only, default "radial2"
    The lens model K and dist are read with (see dist).

Returns
-------
dict of str to numpy.ndarray
)";

constexpr const char* kReconstructionNotes = R"(
Raises
------
ValueError
    An unknown distortion_model; an array with the wrong number of
    dimensions, extents too short for the indices read, fewer than 5
    columns of dist with "opencv", or a camera index outside one of the
    per-camera arrays. The dic_ arrays are first looked at when the first
    observation is sampled.
TypeError
    An argument that cannot be converted.

Notes
-----
"sfm" positions and displacements are in the reconstruction frame: the
frame and units in which the calibration's poses (R, t) are given, which
may differ from the world's by a scale. "world" ones are the same values
multiplied by `scale`.
Pixels are (x = column, y = row); correlation coefficients and counts have
no unit. Points are triangulated linearly, through the 4 x 4 normal matrix
of the undistorted normalised observations, whose smallest eigenvector is
found by Jacobi rotations: in the reference state from the observed pixels,
in the deformed state from the displaced pixels (pixel + sampled (u, v)).
)";

constexpr const char* kReconstructTracksIntro =
    R"(Triangulate every track from all its usable views, in the reference and the
deformed state.

A track is all observations that share a point identifier, from any number
of cameras (several observations of one camera included). An observation
is used when its camera's DIC field has a usable sample at its pixel and
the lens model undistorts both its reference and its displaced pixel.

Parameters
----------
)";

constexpr const char* kReconstructTracksArguments = R"(min_views : int
    Least number of used observations a point needs (at least two are
    needed to triangulate, whatever this says).
min_corrcoef : float
    Lowest correlation coefficient a sample may rest on.
)";

constexpr const char* kReconstructTracksReturns =
    R"(    One row per distinct identifier, in ascending identifier order (N rows):

    point_indices : int64 (N,)
        The identifier.
    points_ref_sfm, points_def_sfm : float64 (N, 3)
        Reference and deformed position; (0, 0, 0) unless valid.
    displacement_sfm : float64 (N, 3)
        points_def_sfm - points_ref_sfm.
    points_ref_world, points_def_world, displacement_world : float64 (N, 3)
        The three above multiplied by `scale`.
    num_views : int32 (N,)
        Number of used observations.
    mean_corrcoef : float64 (N,)
        Mean correlation coefficient of the used samples; 0 without any.
    reprojection_error_ref : float64 (N,)
        Mean distance in pixels between each used view's reference pixel and
        the reprojection of the reference position; +inf unless both
        triangulations succeeded.
    reprojection_error_def : float64 (N,)
        The same for the displaced pixels and the deformed position.
    valid : bool (N,)
        num_views >= min_views, both triangulations succeeded and both
        errors are at most max_reprojection_error_px.
)";

constexpr const char* kReconstructPairSurfacePointsIntro =
    R"(Triangulate the points that both cameras of a pair observe, in the reference
and the deformed state.

Each point with an observation in cam_a and one in cam_b (the later one
wins when a camera observes a point twice) is read in both cameras' DIC
fields at its two pixels and triangulated from the two reference pixels and
from the two displaced pixels. A point without both observations, without a
usable sample in either camera, with a pixel the lens model cannot
undistort, or whose triangulation fails has no row.

Parameters
----------
)";

constexpr const char* kReconstructPairSurfacePointsArguments = R"(cam_a : int
    First camera of the pair.
cam_b : int
    Second camera of the pair.
min_corrcoef : float
    Lowest correlation coefficient a sample may rest on, and that corr_comb
    must reach for a valid point.
)";

constexpr const char* kReconstructPairSurfacePointsReturns =
    R"(    One row per reconstructed point, in ascending identifier order (N rows):

    point_indices : int64 (N,)
        The identifier.
    uv_ref_a, uv_ref_b : float64 (N, 2)
        Reference pixel (x, y) in cam_a and in cam_b.
    uv_def_a, uv_def_b : float64 (N, 2)
        Displaced pixel: the reference pixel plus the sampled (u, v).
    points_ref_sfm, points_def_sfm : float64 (N, 3)
        Position triangulated from the reference and from the displaced
        pixels.
    points_ref_world, points_def_world : float64 (N, 3)
        The same multiplied by `scale`.
    displacement_sfm : float64 (N, 3)
        points_def_sfm - points_ref_sfm.
    displacement_world : float64 (N, 3)
        displacement_sfm multiplied by `scale`.
    displacement_norm_world : float64 (N,)
        Euclidean length of displacement_world.
    corr_a, corr_b : float64 (N,)
        Correlation coefficient of the sample in cam_a and in cam_b.
    corr_comb : float64 (N,)
        The smaller of corr_a and corr_b.
    reprojection_error_ref : float64 (N,)
        Mean of the two distances in pixels between the reference pixels and
        the reprojections of the reference position.
    reprojection_error_def : float64 (N,)
        The same for the displaced pixels and the deformed position.
    valid_points : bool (N,)
        corr_comb >= min_corrcoef and both errors at most
        max_reprojection_error_px. Rows that are not valid keep their
        computed values.
)";

constexpr const char* kComputeSurfaceDeformationDoc =
    R"(Deformation gradient and strain measures of every triangle of a surface mesh.

Each face is evaluated on its own: its deformation gradient F maps the
reference edges b - a and c - a onto the deformed ones and the reference
unit normal onto the deformed unit normal (normals by the right-hand rule,
a -> b -> c). F[r, c] = dx_r / dX_c.

Parameters
----------
faces : array_like of int32, shape (M, >= 3)
    Vertex rows a, b, c of each triangle in columns 0, 1, 2.
points_ref : array_like of float64, shape (N, >= 3)
    Reference position (x, y, z) of each vertex.
points_def : array_like of float64, shape (N, >= 3)
    Deformed position of the same vertices.
valid_faces : array_like of bool, shape (>= M,)
    False where a face is not to be evaluated.

Returns
-------
dict of str to numpy.ndarray
    One row per face (M rows). A face that is not evaluated (flagged
    invalid, a non-finite coordinate, a degenerate reference or deformed
    triangle, or an area ratio of about 1e-9 or less) has NaN in every
    element and valid_strain_faces false. Tensors are 3 x 3 per face, row
    and column last. Area is in squared input units; everything else has no
    unit.

    Fmat : float64 (M, 3, 3)
        Deformation gradient F.
    Cmat : float64 (M, 3, 3)
        Right Cauchy-Green tensor C = F^T F.
    J : float64 (M,)
        det F, the ratio of deformed to reference area.
    Emat : float64 (M, 3, 3)
        Green-Lagrange strain E = (C - I) / 2.
    emat : float64 (M, 3, 3)
        Euler-Almansi strain e = (I - b^-1) / 2, b = F F^T.
    Emgn, emgn : float64 (M,)
        Frobenius norm of E and of e.
    Epc1, Epc2 : float64 (M,)
        Smaller and larger in-plane principal value of E: its eigenvalues
        without the one whose eigenvector is closest to the reference normal.
    epc1, epc2 : float64 (M,)
        The same for e, with the deformed normal.
    EShearMax, eShearMax : float64 (M,)
        Largest in-plane shear, (Epc2 - Epc1) / 2 and (epc2 - epc1) / 2.
    Eeq, eeq : float64 (M,)
        Von Mises equivalent strain sqrt(2/3 dev : dev) of E and of e, dev
        being the tensor less a third of its trace on the diagonal.
    Area : float64 (M,)
        Area of the reference triangle.
    d3 : float64 (M, 3)
        Unit normal (x, y, z) of the deformed triangle.
    Lambda1, Lambda2 : float64 (M,)
        Smaller and larger in-plane principal stretch: the square roots of
        the eigenvalues of C without the one closest to 1 (the normal's).
    valid_strain_faces : bool (M,)
        True where the row holds computed values.

Raises
------
ValueError
    An array with the wrong number of dimensions, fewer than three columns,
    point arrays of different lengths, a valid_faces shorter than faces, or
    a vertex row outside the point arrays.
TypeError
    An argument that cannot be converted.
)";

}  // namespace

std::string reconstruct_tracks_doc() {
  return std::string(kReconstructTracksIntro) + kObservationParameters +
         kReconstructTracksArguments + kLimitAndScale + kReconstructTracksReturns +
         kReconstructionNotes;
}

std::string reconstruct_pair_surface_points_doc() {
  return std::string(kReconstructPairSurfacePointsIntro) + kObservationParameters +
         kReconstructPairSurfacePointsArguments + kLimitAndScale +
         kReconstructPairSurfacePointsReturns + kReconstructionNotes;
}

std::string compute_surface_deformation_doc() { return kComputeSurfaceDeformationDoc; }

}  // namespace vostrel::binding
