#include "vostrel/deformation/triangle_strain.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "vostrel/deformation/eigen3.h"

namespace vostrel {

namespace {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;

constexpr double kLargestFinite = 1.7976931348623157e308;
constexpr double kDegenerateLimit = 1e-18;
constexpr double kTwoThirds = 0.6666666666666666;

bool all_finite(const TriangleVertices& triangle) {
  for (const Vec3& p : triangle.positions) {
    for (const double x : p) {
      if (!(std::fabs(x) <= kLargestFinite)) return false;
    }
  }
  return true;
}

Vec3 subtract(const Vec3& u, const Vec3& v) { return {u[0] - v[0], u[1] - v[1], u[2] - v[2]}; }

Vec3 cross(const Vec3& u, const Vec3& v) {
  return {u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0]};
}

double dot(const Vec3& u, const Vec3& v) { return u[0] * v[0] + u[1] * v[1] + u[2] * v[2]; }

Vec3 scale(const Vec3& u, double factor) { return {u[0] * factor, u[1] * factor, u[2] * factor}; }

double norm(const Vec3& u) { return std::sqrt(u[0] * u[0] + u[1] * u[1] + u[2] * u[2]); }

// First-row cofactor expansion.
double determinant(const Mat3& m) {
  return (m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6])) +
         m[2] * (m[3] * m[7] - m[4] * m[6]);
}

// Adjugate (transposed cofactor matrix).
Mat3 adjugate(const Mat3& m) {
  return {m[4] * m[8] - m[5] * m[7], m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
          m[5] * m[6] - m[3] * m[8], m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
          m[3] * m[7] - m[4] * m[6], m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3]};
}

double delta(std::size_t r, std::size_t c) { return r == c ? 1.0 : 0.0; }

// Frobenius norm, summed in row-major order.
double frobenius(const Mat3& m) {
  double sum = 0.0;
  for (const double x : m) sum += x * x;
  return std::sqrt(sum);
}

double von_mises_equivalent(const Mat3& strain) {
  const double mean = (strain[0] + strain[4] + strain[8]) / 3.0;
  Mat3 deviator = strain;
  deviator[0] = strain[0] - mean;
  deviator[4] = strain[4] - mean;
  deviator[8] = strain[8] - mean;
  const double q = frobenius(deviator);
  return std::sqrt(q * (kTwoThirds * q));
}

}  // namespace

std::optional<TriangleStrain> compute_triangle_strain(const TriangleVertices& reference,
                                                      const TriangleVertices& deformed) {
  if (!all_finite(reference) || !all_finite(deformed)) return std::nullopt;

  const Vec3 dX1 = subtract(reference.positions[1], reference.positions[0]);
  const Vec3 dX2 = subtract(reference.positions[2], reference.positions[0]);
  const Vec3 dx1 = subtract(deformed.positions[1], deformed.positions[0]);
  const Vec3 dx2 = subtract(deformed.positions[2], deformed.positions[0]);

  const Vec3 N = cross(dX1, dX2);
  const Vec3 n = cross(dx1, dx2);
  const double N_length = norm(N);
  const double n_length = norm(n);
  if (N_length <= kDegenerateLimit || n_length <= kDegenerateLimit) return std::nullopt;
  const Vec3 N_hat = scale(N, 1.0 / N_length);
  const Vec3 n_hat = scale(n, 1.0 / n_length);

  // det [dX1 dX2 N_hat]; equals |N| up to rounding.
  const double D = dot(N, N_hat);
  if (std::fabs(D) <= kDegenerateLimit) return std::nullopt;

  // Dual basis of (dX1, dX2, N_hat); the third dual vector is N_hat itself.
  const double inverse_D = 1.0 / D;
  const Vec3 G1 = scale(cross(dX2, N_hat), inverse_D);
  const Vec3 G2 = scale(cross(N_hat, dX1), inverse_D);

  TriangleStrain out{};
  Mat3& F = out.deformation_gradient;
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      F[3 * r + c] = (dx1[r] * G1[c] + dx2[r] * G2[c]) + n_hat[r] * N_hat[c];
    }
  }

  Mat3& C = out.right_cauchy_green;
  Mat3 b{};
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      C[3 * r + c] = F[r] * F[c] + F[3 + r] * F[3 + c] + F[6 + r] * F[6 + c];
      b[3 * r + c] =
          F[3 * r] * F[3 * c] + F[3 * r + 1] * F[3 * c + 1] + F[3 * r + 2] * F[3 * c + 2];
    }
  }

  // det b = J^2: rejects area ratios of about 1e-9 or less.
  const double det_b = determinant(b);
  if (!(std::fabs(det_b) > kDegenerateLimit) || !std::isfinite(det_b)) return std::nullopt;
  const double inverse_det_b = 1.0 / det_b;
  const Mat3 b_adjugate = adjugate(b);

  Mat3& E = out.green_lagrange;
  Mat3& e = out.euler_almansi;
  for (std::size_t r = 0; r < 3; ++r) {
    for (std::size_t c = 0; c < 3; ++c) {
      const std::size_t i = 3 * r + c;
      E[i] = (C[i] - delta(r, c)) * 0.5;
      e[i] = (delta(r, c) - b_adjugate[i] * inverse_det_b) * 0.5;
    }
  }

  // C has the eigenvalue 1 along N_hat; the stretch closest to 1 is the
  // out-of-plane one (lower index on ties). The square roots of the ascending
  // eigenvalues are ascending, so the remaining two keep their index order.
  const std::array<double, 3> C_values = symmetric_eigenvalues_3x3(C);
  std::array<double, 3> stretch{};
  for (std::size_t k = 0; k < 3; ++k) stretch[k] = std::sqrt(std::max(C_values[k], 0.0));
  std::size_t normal_index = 0;
  if (std::fabs(stretch[1] - 1.0) < std::fabs(stretch[0] - 1.0)) normal_index = 1;
  if (std::fabs(stretch[2] - 1.0) < std::fabs(stretch[normal_index] - 1.0)) normal_index = 2;
  out.stretch_min = normal_index == 0 ? stretch[1] : stretch[0];
  out.stretch_max = normal_index == 2 ? stretch[1] : stretch[2];

  const auto E_principal = select_in_plane_principal_values(decompose_symmetric_3x3(E), N_hat);
  const auto e_principal = select_in_plane_principal_values(decompose_symmetric_3x3(e), n_hat);

  out.deformed_normal = n_hat;
  out.jacobian = determinant(F);
  out.green_lagrange_norm = frobenius(E);
  out.euler_almansi_norm = frobenius(e);
  out.green_lagrange_principal_min = E_principal.first;
  out.green_lagrange_principal_max = E_principal.second;
  out.euler_almansi_principal_min = e_principal.first;
  out.euler_almansi_principal_max = e_principal.second;
  out.green_lagrange_shear_max = (E_principal.second - E_principal.first) * 0.5;
  out.euler_almansi_shear_max = (e_principal.second - e_principal.first) * 0.5;
  out.green_lagrange_equivalent = von_mises_equivalent(E);
  out.euler_almansi_equivalent = von_mises_equivalent(e);
  out.reference_area = 0.5 * D;
  return out;
}

}  // namespace vostrel
