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
#include <cmath>
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

// Undistortion runs this many fixed-point steps; a radial factor of at most
// this magnitude stops it, and coefficients of at most this magnitude leave
// distortion inactive.
constexpr int kUndistortSteps = 8;
constexpr double kDistortionEpsilon = 1e-12;

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
inline double radial_factor(const CameraModel& camera, double x, double y) {
  const double r2 = x * x + y * y;
  const double r4 = r2 * r2;
  return 1.0 + camera.k1 * r2 + camera.k2 * r4;
}

// Normalised, undistorted coordinates of a pixel: eight fixed-point steps
// x = xd / f(x, y), stopping early only when |f| <= 1e-12. Defined here, like
// project_point, so that the per-point loops of other units inline it.
inline Vec2 undistort_pixel(const CameraModel& camera, double x_px, double y_px) {
  const double xd = (x_px - camera.cx) / camera.fx;
  const double yd = (y_px - camera.cy) / camera.fy;
  if (!camera.distortion_active) return {xd, yd};
  double x = xd;
  double y = yd;
  for (int step = 0; step < kUndistortSteps; ++step) {
    const double f = radial_factor(camera, x, y);
    if (std::fabs(f) <= kDistortionEpsilon) break;
    x = xd / f;
    y = yd / f;
  }
  return {x, y};
}

// undistort_pixel of N pixels, pixel i in camera i, each result bit for bit
// that of its own call. The fixed-point steps of all N run in step so that
// their divisions overlap; a pixel whose radial factor vanishes keeps its
// value from then on, as its own call would stop there.
template <std::size_t N>
std::array<Vec2, N> undistort_pixels(const std::array<const CameraModel*, N>& cameras,
                                     const std::array<Vec2, N>& pixels) {
  std::array<double, N> xd;
  std::array<double, N> yd;
  std::array<bool, N> going;
  std::array<Vec2, N> out;
  for (std::size_t i = 0; i < N; ++i) {
    const CameraModel& camera = *cameras[i];
    xd[i] = (pixels[i][0] - camera.cx) / camera.fx;
    yd[i] = (pixels[i][1] - camera.cy) / camera.fy;
    going[i] = camera.distortion_active;
    out[i] = {xd[i], yd[i]};
  }
  for (int step = 0; step < kUndistortSteps; ++step) {
    for (std::size_t i = 0; i < N; ++i) {
      const double f = radial_factor(*cameras[i], out[i][0], out[i][1]);
      going[i] = going[i] && !(std::fabs(f) <= kDistortionEpsilon);
      const double x = xd[i] / f;
      const double y = yd[i] / f;
      if (going[i]) out[i] = {x, y};
    }
  }
  return out;
}

// undistort_pixels behind the interface of lens models whose undistortion
// can fail (see opencv_camera.h): this model always gives coordinates.
template <std::size_t N>
std::optional<std::array<Vec2, N>> undistort_all(const std::array<const CameraModel*, N>& cameras,
                                                 const std::array<Vec2, N>& pixels) {
  return undistort_pixels<N>(cameras, pixels);
}

// Pixel position of P, distortion included. A point at Zc = 0 gives infinite
// or NaN pixels.
inline Vec2 project_point(const Vec3& p, const CameraModel& camera, const Extrinsic& e) {
  const double xc = e[0] * p[0] + e[1] * p[1] + e[2] * p[2] + e[3];
  const double yc = e[4] * p[0] + e[5] * p[1] + e[6] * p[2] + e[7];
  const double zc = e[8] * p[0] + e[9] * p[1] + e[10] * p[2] + e[11];
  double x = xc / zc;
  double y = yc / zc;
  if (camera.distortion_active) {
    const double f = radial_factor(camera, x, y);
    x = x * f;
    y = y * f;
  }
  return {camera.fx * x + camera.cx, camera.fy * y + camera.cy};
}

// Euclidean distance in pixels.
inline double pixel_distance(const Vec2& a, const Vec2& b) {
  const double dx = a[0] - b[0];
  const double dy = a[1] - b[1];
  return std::sqrt(dx * dx + dy * dy);
}

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

// smallest_eigenvector_4x4 of two matrices at once, each result bit for bit
// that of its own solve (NaN entries aside, whose sign and payload the
// arithmetic does not fix). The two rotation sequences run interleaved so that
// their divisions and square roots overlap.
std::array<std::array<double, 4>, 2> smallest_eigenvectors_4x4(const std::array<double, 16>& m0,
                                                               const std::array<double, 16>& m1);

// triangulate_dlt of two observation lists that share their n matrices (a
// point in the reference and in the deformed state): first = obs0, second =
// obs1, each as triangulate_dlt would return it.
std::array<std::optional<Vec3>, 2> triangulate_dlt_pair(const Vec2* obs0, const Vec2* obs1,
                                                        const Extrinsic* matrices, std::size_t n);

}  // namespace vostrel
