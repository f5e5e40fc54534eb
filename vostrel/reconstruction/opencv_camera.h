#pragma once
// Pinhole cameras with a skew and OpenCV's five-coefficient lens model
// (radial k1, k2, k3 and tangential p1, p2), the model real calibrations
// carry; projection and undistortion for the reconstruction kernels.
//
// Conventions: camera coordinates of a reconstruction-frame point P are
// R·P + t, and (x, y) = (Xc / Zc, Yc / Zc) are its normalised coordinates.
// Distortion, in OpenCV's order and meaning, with r² = x² + y²:
//   x_d = x (1 + k1 r² + k2 r⁴ + k3 r⁶) + 2 p1 x y + p2 (r² + 2 x²)
//   y_d = y (1 + k1 r² + k2 r⁴ + k3 r⁶) + p1 (r² + 2 y²) + 2 p2 x y
// Pixels are (x, y) = (column, row): u = fx x_d + s y_d + cx and
// v = fy y_d + cy, s being the skew K[0][1]. Extrinsic matrices are 3 × 4,
// row-major, as in camera.h.
//
// Lens domain: the disc r² < max_r2 over which the radial part
// ρ (1 + k1 ρ² + k2 ρ⁴ + k3 ρ⁶) still grows with ρ; past it the lens folds
// back and a distorted point has more than one preimage, or none.
//
// Undistortion inverts the distortion by Newton's method from (x, y) =
// (x_d, y_d), stopping once a step moves the point by at most 1e-12
// normalised units, after at most 50 steps. A pixel whose iteration does not
// stop, or stops outside the lens domain or where the Jacobian of the
// distortion is not positive, has no normalised coordinates: it is an
// invalid observation, never a wrong one. No function here allocates or
// throws.

#include <array>
#include <cstddef>
#include <limits>
#include <optional>

#include "vostrel/reconstruction/camera.h"

namespace vostrel {

struct OpenCvCameraModel {
  double fx = 1.0;
  double fy = 1.0;
  double cx = 0.0;
  double cy = 0.0;
  double skew = 0.0;
  double k1 = 0.0;
  double k2 = 0.0;
  double p1 = 0.0;
  double p2 = 0.0;
  double k3 = 0.0;
  // Lens domain: r² < max_r2 (+inf when the radial part never folds; NaN,
  // an empty domain, when a coefficient is not a number).
  double max_r2 = std::numeric_limits<double>::infinity();
};

constexpr int kOpenCvUndistortMaxSteps = 50;
constexpr double kOpenCvUndistortTolerance = 1e-12;

// The camera of intrinsics fx, fy, cx, cy and skew and coefficients
// (k1, k2, p1, p2, k3), in OpenCV's order; computes the lens domain.
OpenCvCameraModel make_opencv_camera_model(double fx, double fy, double cx, double cy, double skew,
                                           const std::array<double, 5>& dist);

// Smallest positive s at which d/dρ [ρ (1 + k1 ρ² + k2 ρ⁴ + k3 ρ⁶)] =
// 1 + 3 k1 s + 5 k2 s² + 7 k3 s³ (s = ρ²) vanishes, from below (the slope is
// positive at the value returned); +inf where it has no positive root, NaN
// for a coefficient that is not finite.
double lens_domain_r2(double k1, double k2, double k3);

// The distorted normalised point of (x, y) and the Jacobian of the map.
struct LensMap {
  Vec2 distorted;
  double dxd_dx, dxd_dy, dyd_dx, dyd_dy;
};

inline Vec2 distort_normalised(const OpenCvCameraModel& c, double x, double y) {
  const double r2 = x * x + y * y;
  const double radial = 1.0 + r2 * (c.k1 + r2 * (c.k2 + r2 * c.k3));
  const double xy = x * y;
  return {x * radial + 2.0 * c.p1 * xy + c.p2 * (r2 + 2.0 * x * x),
          y * radial + c.p1 * (r2 + 2.0 * y * y) + 2.0 * c.p2 * xy};
}

inline LensMap lens_map(const OpenCvCameraModel& c, double x, double y) {
  const double r2 = x * x + y * y;
  const double radial = 1.0 + r2 * (c.k1 + r2 * (c.k2 + r2 * c.k3));
  const double dradial = c.k1 + r2 * (2.0 * c.k2 + 3.0 * c.k3 * r2);  // d radial / d r²
  const double xy = x * y;
  const double cross = 2.0 * xy * dradial + 2.0 * c.p1 * x + 2.0 * c.p2 * y;
  return {{x * radial + 2.0 * c.p1 * xy + c.p2 * (r2 + 2.0 * x * x),
           y * radial + c.p1 * (r2 + 2.0 * y * y) + 2.0 * c.p2 * xy},
          radial + 2.0 * x * x * dradial + 2.0 * c.p1 * y + 6.0 * c.p2 * x,
          cross,
          cross,
          radial + 2.0 * y * y * dradial + 6.0 * c.p1 * y + 2.0 * c.p2 * x};
}

// Normalised, undistorted coordinates of a pixel, or nothing (see above).
inline std::optional<Vec2> undistort_pixel(const OpenCvCameraModel& c, double x_px, double y_px) {
  const double yd = (y_px - c.cy) / c.fy;
  const double xd = (x_px - c.cx - c.skew * yd) / c.fx;
  double x = xd;
  double y = yd;
  for (int step = 0; step < kOpenCvUndistortMaxSteps; ++step) {
    const LensMap m = lens_map(c, x, y);
    const double det = m.dxd_dx * m.dyd_dy - m.dxd_dy * m.dyd_dx;
    const double inv = 1.0 / det;
    const double rx = m.distorted[0] - xd;
    const double ry = m.distorted[1] - yd;
    const double dx = (m.dyd_dy * rx - m.dxd_dy * ry) * inv;
    const double dy = (m.dxd_dx * ry - m.dyd_dx * rx) * inv;
    x -= dx;
    y -= dy;
    if (dx * dx + dy * dy <= kOpenCvUndistortTolerance * kOpenCvUndistortTolerance) {
      if (!(det > 0.0) || !(x * x + y * y < c.max_r2)) return std::nullopt;
      return Vec2{x, y};
    }
  }
  return std::nullopt;
}

// Pixel position of P, distortion and skew included. A point at Zc = 0 gives
// infinite or NaN pixels.
inline Vec2 project_point(const Vec3& p, const OpenCvCameraModel& c, const Extrinsic& e) {
  const double xc = e[0] * p[0] + e[1] * p[1] + e[2] * p[2] + e[3];
  const double yc = e[4] * p[0] + e[5] * p[1] + e[6] * p[2] + e[7];
  const double zc = e[8] * p[0] + e[9] * p[1] + e[10] * p[2] + e[11];
  const Vec2 d = distort_normalised(c, xc / zc, yc / zc);
  return {c.fx * d[0] + c.skew * d[1] + c.cx, c.fy * d[1] + c.cy};
}

// undistort_pixel of N pixels, pixel i in camera i: all of them, or nothing
// when any has no normalised coordinates.
template <std::size_t N>
std::optional<std::array<Vec2, N>> undistort_all(
    const std::array<const OpenCvCameraModel*, N>& cameras, const std::array<Vec2, N>& pixels) {
  std::array<Vec2, N> out;
  for (std::size_t i = 0; i < N; ++i) {
    const std::optional<Vec2> n = undistort_pixel(*cameras[i], pixels[i][0], pixels[i][1]);
    if (!n) return std::nullopt;
    out[i] = *n;
  }
  return out;
}

}  // namespace vostrel
