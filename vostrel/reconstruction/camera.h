#pragma once
// Pinhole cameras with two-coefficient radial distortion, and linear
// triangulation of one point from two or more views.
//
// Conventions: camera coordinates of a reconstruction-frame point P are
// R·P + t. Pixels are (x, y) = (column, row). Normalised image coordinates are
// ((x_px - cx) / fx, (y_px - cy) / fy) before distortion is removed. The radial
// factor of a normalised point (x, y) is 1 + k1·r² + k2·r⁴ with r² = x² + y².
// Extrinsic matrices are 3 × 4, row-major: (R row 0, t0), (R row 1, t1),
// (R row 2, t2). No function here allocates or throws.

#include <array>
#include <cstddef>
#include <optional>

namespace vostrel {

// Intrinsics without skew plus radial distortion. When distortion_active is
// false the camera is a pure pinhole, whatever k1 and k2 hold.
struct CameraModel {
  double fx = 1.0;
  double fy = 1.0;
  double cx = 0.0;
  double cy = 0.0;
  double k1 = 0.0;
  double k2 = 0.0;
  bool distortion_active = false;
};

using Vec2 = std::array<double, 2>;
using Vec3 = std::array<double, 3>;
using Extrinsic = std::array<double, 12>;  // 3 × 4, row-major

// Builds a camera from its intrinsics and its first n_dist distortion
// coefficients: k1 = d0 when n_dist >= 1, k2 = d1 when n_dist >= 2, else 0
// (d0, d1 are ignored when not covered by n_dist). Distortion is active when
// n_dist >= 1 and |k1| > 1e-12, or n_dist >= 2 and |k2| > 1e-12.
CameraModel make_camera_model(double fx, double fy, double cx, double cy, std::size_t n_dist,
                              double d0, double d1);

// 1 + k1·r² + k2·r⁴ at the normalised point (x, y).
double radial_factor(const CameraModel& camera, double x, double y);

// Normalised, undistorted coordinates of a pixel: eight fixed-point steps
// x = xd / f(x, y), stopping early only when |f| <= 1e-12.
Vec2 undistort_pixel(const CameraModel& camera, double x_px, double y_px);

// Pixel position of P, distortion included. A point at Zc = 0 gives infinite
// or NaN pixels.
Vec2 project_point(const Vec3& p, const CameraModel& camera, const Extrinsic& extrinsic);

// The 3 × 4 matrix [R | t] from R (row-major 3 × 3) and t.
Extrinsic camera_extrinsic_matrix(const std::array<double, 9>& r, const Vec3& t);

// Smallest-eigenvalue eigenvector of a symmetric 4 × 4 matrix (row-major) by
// classical Jacobi rotations: each rotation annihilates the largest upper
// off-diagonal element (earlier pair on ties); stops below 1e-12 or after 64
// rotations. The smallest diagonal entry picks the vector (lower index on ties).
std::array<double, 4> smallest_eigenvector_4x4(const std::array<double, 16>& m);

// Homogeneous linear triangulation from n normalised observations and their
// extrinsic matrices, through the 4 × 4 normal matrix. Fails with fewer than
// two observations, a homogeneous weight |w| <= 1e-12, or a non-finite point.
std::optional<Vec3> triangulate_dlt(const Vec2* observations, const Extrinsic* matrices,
                                    std::size_t n);

}  // namespace vostrel
