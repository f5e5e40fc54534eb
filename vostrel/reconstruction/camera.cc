#include "vostrel/reconstruction/camera.h"

#include <cmath>
#include <limits>

namespace vostrel {

namespace {

constexpr double kJacobiThreshold = 1e-12;
constexpr int kJacobiMaxRotations = 64;
constexpr double kMaxFinite = std::numeric_limits<double>::max();

// Working matrix and accumulated rotations of one Jacobi solve, row-major.
struct JacobiState {
  std::array<double, 16> m;
  std::array<double, 16> v;
};

JacobiState jacobi_start(const std::array<double, 16>& m) {
  JacobiState s{m, {}};
  for (int i = 0; i < 4; ++i) s.v[5 * i] = 1.0;
  return s;
}

// Offset 4p + q of the upper off-diagonal element of largest magnitude,
// scanning (0,1), (0,2), (0,3), (1,2), (1,3), (2,3); only a strictly larger
// magnitude replaces the choice, so ties keep the earlier pair and a NaN never
// replaces. Written with masks rather than branches: the choice is data
// dependent and branches on it predict poorly.
int jacobi_pick(const std::array<double, 16>& m, double& largest) {
  largest = std::fabs(m[1]);
  int off = 1;
  for (const int o : {2, 3, 6, 7, 11}) {
    const double a = std::fabs(m[o]);
    const int larger = a > largest;
    off ^= (off ^ o) & -larger;
    largest = a > largest ? a : largest;
  }
  return off;
}

struct Rotation {
  double c;
  double sn;
};

Rotation jacobi_rotation(const std::array<double, 16>& m, int off) {
  const auto p = static_cast<std::size_t>(off) >> 2;
  const auto q = static_cast<std::size_t>(off) & 3;
  const double theta = (m[5 * q] - m[5 * p]) / (2.0 * m[static_cast<std::size_t>(off)]);
  const double sign = theta >= 0.0 ? 1.0 : -1.0;
  const double tau = sign / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
  const double c = 1.0 / std::sqrt(tau * tau + 1.0);
  return {c, tau * c};
}

// Rows p and q of M are rotated, then columns p and q of the result and of V.
// Written entry by entry: an element outside rows and columns p, q is left
// alone, one in row p or q (column k outside the pair) only sees the row step,
// one in column p or q (row k outside) only the column step, and the 2 × 2
// block sees both, in that order. Every entry is stored once, with scalar
// accesses, which keeps the next rotation's loads forwardable. Inlined so that
// the two interleaved solves stay one instruction stream.
[[gnu::always_inline]] inline void jacobi_apply(JacobiState& s, int off, const Rotation& r) {
  // The two indices outside the pair, by pair offset 4p + q.
  static constexpr std::size_t kOthers[12][2] = {{0, 0}, {2, 3}, {1, 3}, {1, 2}, {0, 0}, {0, 0},
                                                 {0, 3}, {0, 2}, {0, 0}, {0, 0}, {0, 0}, {0, 1}};
  const double c = r.c;
  const double sn = r.sn;
  const auto p = static_cast<std::size_t>(off) >> 2;
  const auto q = static_cast<std::size_t>(off) & 3;
  // Rows p and q, and columns p and q (stride 4), of M and of V.
  double* const row_p = s.m.data() + 4 * p;
  double* const row_q = s.m.data() + 4 * q;
  double* const col_p = s.m.data() + p;
  double* const col_q = s.m.data() + q;
  const double mpp = row_p[p];
  const double mpq = row_p[q];
  const double mqp = row_q[p];
  const double mqq = row_q[q];
  for (const std::size_t k : kOthers[off]) {
    const double mpk = row_p[k];
    const double mqk = row_q[k];
    row_p[k] = c * mpk - sn * mqk;
    row_q[k] = sn * mpk + c * mqk;
    const double mkp = col_p[4 * k];
    const double mkq = col_q[4 * k];
    col_p[4 * k] = c * mkp - sn * mkq;
    col_q[4 * k] = sn * mkp + c * mkq;
  }
  const double rpp = c * mpp - sn * mqp;
  const double rpq = c * mpq - sn * mqq;
  const double rqp = sn * mpp + c * mqp;
  const double rqq = sn * mpq + c * mqq;
  row_p[p] = c * rpp - sn * rpq;
  row_p[q] = sn * rpp + c * rpq;
  row_q[p] = c * rqp - sn * rqq;
  row_q[q] = sn * rqp + c * rqq;
  double* const v_p = s.v.data() + p;
  double* const v_q = s.v.data() + q;
  for (std::size_t i = 0; i < 16; i += 4) {
    const double vp = v_p[i];
    const double vq = v_q[i];
    v_p[i] = c * vp - sn * vq;
    v_q[i] = sn * vp + c * vq;
  }
}

// Runs the remaining rotations of a solve that has done `done` of them.
void jacobi_finish(JacobiState& s, int done) {
  for (int rotation = done; rotation < kJacobiMaxRotations; ++rotation) {
    double largest;
    const int off = jacobi_pick(s.m, largest);
    if (largest < kJacobiThreshold) return;
    jacobi_apply(s, off, jacobi_rotation(s.m, off));
  }
}

// Column of V at the smallest diagonal entry of M (lower index on ties).
std::array<double, 4> jacobi_vector(const JacobiState& s) {
  const std::array<double, 16>& m = s.m;
  int k = 0;
  if (m[5] < m[0]) k = 1;
  if (m[5 * k] > m[10]) k = 2;
  if (m[5 * k] > m[15]) k = 3;
  return {s.v[k], s.v[4 + k], s.v[8 + k], s.v[12 + k]};
}

std::array<double, 16> normal_matrix(const Vec2* observations, const Extrinsic* matrices,
                                     std::size_t n) {
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
  return m;
}

std::optional<Vec3> dehomogenise(const std::array<double, 4>& h) {
  const double w = h[3];
  if (std::fabs(w) <= 1e-12) return std::nullopt;
  const Vec3 point{h[0] / w, h[1] / w, h[2] / w};
  if (!(std::fabs(point[0]) <= kMaxFinite && std::fabs(point[1]) <= kMaxFinite &&
        std::fabs(point[2]) <= kMaxFinite)) {
    return std::nullopt;
  }
  return point;
}

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

Extrinsic camera_extrinsic_matrix(const std::array<double, 9>& r, const Vec3& t) {
  return {r[0], r[1], r[2], t[0], r[3], r[4], r[5], t[1], r[6], r[7], r[8], t[2]};
}

std::array<double, 4> smallest_eigenvector_4x4(const std::array<double, 16>& m) {
  JacobiState s = jacobi_start(m);
  jacobi_finish(s, 0);
  return jacobi_vector(s);
}

std::array<std::array<double, 4>, 2> smallest_eigenvectors_4x4(const std::array<double, 16>& m0,
                                                               const std::array<double, 16>& m1) {
  JacobiState s0 = jacobi_start(m0);
  JacobiState s1 = jacobi_start(m1);
  // Both solves rotate in step while both go on; each step is written phase
  // by phase (pick, rotation, apply) for both, so that the independent
  // dependency chains interleave. Once either stops, the other carries on
  // alone with the rotations it has left.
  int done = 0;
  for (; done < kJacobiMaxRotations; ++done) {
    double largest0;
    double largest1;
    const int off0 = jacobi_pick(s0.m, largest0);
    const int off1 = jacobi_pick(s1.m, largest1);
    if (largest0 < kJacobiThreshold || largest1 < kJacobiThreshold) break;
    const Rotation r0 = jacobi_rotation(s0.m, off0);
    const Rotation r1 = jacobi_rotation(s1.m, off1);
    jacobi_apply(s0, off0, r0);
    jacobi_apply(s1, off1, r1);
  }
  jacobi_finish(s0, done);
  jacobi_finish(s1, done);
  return {jacobi_vector(s0), jacobi_vector(s1)};
}

std::optional<Vec3> triangulate_dlt(const Vec2* observations, const Extrinsic* matrices,
                                    std::size_t n) {
  if (n < 2) return std::nullopt;
  return dehomogenise(smallest_eigenvector_4x4(normal_matrix(observations, matrices, n)));
}

std::array<std::optional<Vec3>, 2> triangulate_dlt_pair(const Vec2* obs0, const Vec2* obs1,
                                                        const Extrinsic* matrices, std::size_t n) {
  if (n < 2) return {std::nullopt, std::nullopt};
  const std::array<std::array<double, 4>, 2> h =
      smallest_eigenvectors_4x4(normal_matrix(obs0, matrices, n), normal_matrix(obs1, matrices, n));
  return {dehomogenise(h[0]), dehomogenise(h[1])};
}

}  // namespace vostrel
