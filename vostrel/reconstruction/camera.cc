#include "vostrel/reconstruction/camera.h"

#include <cmath>
#include <limits>

namespace vostrel {

namespace {

constexpr double kDistortionEpsilon = 1e-12;
constexpr double kJacobiThreshold = 1e-12;
constexpr int kJacobiMaxRotations = 64;
constexpr int kUndistortSteps = 8;

}  // namespace

CameraModel make_camera_model(double fx, double fy, double cx, double cy, std::size_t n_dist,
                              double d0, double d1) {
  CameraModel camera;
  camera.fx = fx;
  camera.fy = fy;
  camera.cx = cx;
  camera.cy = cy;
  camera.k1 = n_dist >= 1 ? d0 : 0.0;
  camera.k2 = n_dist >= 2 ? d1 : 0.0;
  camera.distortion_active =
      n_dist >= 1 && (std::fabs(camera.k1) > kDistortionEpsilon ||
                      (n_dist >= 2 && std::fabs(camera.k2) > kDistortionEpsilon));
  return camera;
}

double radial_factor(const CameraModel& camera, double x, double y) {
  const double r2 = x * x + y * y;
  const double r4 = r2 * r2;
  return 1.0 + camera.k1 * r2 + camera.k2 * r4;
}

Vec2 undistort_pixel(const CameraModel& camera, double x_px, double y_px) {
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

Vec2 project_point(const Vec3& p, const CameraModel& camera, const Extrinsic& e) {
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

Extrinsic camera_extrinsic_matrix(const std::array<double, 9>& r, const Vec3& t) {
  return {r[0], r[1], r[2], t[0], r[3], r[4], r[5], t[1], r[6], r[7], r[8], t[2]};
}

std::array<double, 4> smallest_eigenvector_4x4(const std::array<double, 16>& m_in) {
  double m[4][4];
  double v[4][4];
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      m[i][j] = m_in[4 * i + j];
      v[i][j] = i == j ? 1.0 : 0.0;
    }
  }
  for (int rotation = 0; rotation < kJacobiMaxRotations; ++rotation) {
    int p = 0;
    int q = 1;
    double largest = std::fabs(m[0][1]);
    for (int i = 0; i < 3; ++i) {
      for (int j = i + 1; j < 4; ++j) {
        const double a = std::fabs(m[i][j]);
        if (a > largest) {
          largest = a;
          p = i;
          q = j;
        }
      }
    }
    if (largest < kJacobiThreshold) break;
    const double theta = (m[q][q] - m[p][p]) / (2.0 * m[p][q]);
    const double sign = theta >= 0.0 ? 1.0 : -1.0;
    const double tau = sign / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
    const double c = 1.0 / std::sqrt(tau * tau + 1.0);
    const double sn = tau * c;
    for (int j = 0; j < 4; ++j) {
      const double mp = m[p][j];
      const double mq = m[q][j];
      m[p][j] = c * mp - sn * mq;
      m[q][j] = sn * mp + c * mq;
    }
    for (int i = 0; i < 4; ++i) {
      const double mp = m[i][p];
      const double mq = m[i][q];
      m[i][p] = c * mp - sn * mq;
      m[i][q] = sn * mp + c * mq;
      const double vp = v[i][p];
      const double vq = v[i][q];
      v[i][p] = c * vp - sn * vq;
      v[i][q] = sn * vp + c * vq;
    }
  }
  int k = 0;
  if (m[1][1] < m[0][0]) k = 1;
  if (m[k][k] > m[2][2]) k = 2;
  if (m[k][k] > m[3][3]) k = 3;
  return {v[0][k], v[1][k], v[2][k], v[3][k]};
}

std::optional<Vec3> triangulate_dlt(const Vec2* observations, const Extrinsic* matrices,
                                    std::size_t n) {
  if (n < 2) return std::nullopt;
  std::array<double, 16> m{};
  for (std::size_t k = 0; k < n; ++k) {
    const double x = observations[k][0];
    const double y = observations[k][1];
    const Extrinsic& e = matrices[k];
    double a[4];
    double b[4];
    for (int j = 0; j < 4; ++j) {
      a[j] = x * e[8 + j] - e[j];
      b[j] = y * e[8 + j] - e[4 + j];
    }
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) {
        m[4 * i + j] += a[i] * a[j] + b[i] * b[j];
      }
    }
  }
  const std::array<double, 4> h = smallest_eigenvector_4x4(m);
  const double w = h[3];
  if (std::fabs(w) <= 1e-12) return std::nullopt;
  const Vec3 point{h[0] / w, h[1] / w, h[2] / w};
  constexpr double kMaxFinite = std::numeric_limits<double>::max();
  if (!(std::fabs(point[0]) <= kMaxFinite && std::fabs(point[1]) <= kMaxFinite &&
        std::fabs(point[2]) <= kMaxFinite)) {
    return std::nullopt;
  }
  return point;
}

}  // namespace vostrel
