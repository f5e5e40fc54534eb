#include "vostrel/deformation/eigen3.h"

#include <cmath>
#include <cstddef>

namespace vostrel {

namespace {

using Matrix = std::array<double, 9>;

constexpr int kMaxRotations = 64;
constexpr double kOffDiagonalThreshold = 1e-14;

// One Jacobi rotation in the (P, Q) plane, P < Q. The pair is a template
// argument so that the update works on fixed elements that stay in registers.
template <std::size_t P, std::size_t Q, bool kWithVectors>
void rotate(Matrix& a, Matrix& v) {
  const double h = (a[3 * Q + Q] - a[3 * P + P]) / (2.0 * a[3 * P + Q]);
  const double sign = h >= 0.0 ? 1.0 : -1.0;
  const double t = sign / (std::fabs(h) + std::sqrt(h * h + 1.0));
  const double c = 1.0 / std::sqrt(t * t + 1.0);
  const double s = t * c;

  // A <- A R: columns P and Q of every row.
  for (std::size_t k = 0; k < 3; ++k) {
    const double akp = a[3 * k + P];
    const double akq = a[3 * k + Q];
    a[3 * k + P] = akp * c - akq * s;
    a[3 * k + Q] = akp * s + akq * c;
  }
  // A <- R^T A: rows P and Q of every column.
  for (std::size_t k = 0; k < 3; ++k) {
    const double apk = a[3 * P + k];
    const double aqk = a[3 * Q + k];
    a[3 * P + k] = c * apk - s * aqk;
    a[3 * Q + k] = s * apk + c * aqk;
  }
  if constexpr (kWithVectors) {
    // V <- V R.
    for (std::size_t k = 0; k < 3; ++k) {
      const double vkp = v[3 * k + P];
      const double vkq = v[3 * k + Q];
      v[3 * k + P] = vkp * c - vkq * s;
      v[3 * k + Q] = vkp * s + vkq * c;
    }
  }
}

// Rotates until the largest upper off-diagonal element is below the threshold
// or the budget is spent; ties between pivots go to the earlier pair.
template <bool kWithVectors>
void diagonalise(Matrix& a, Matrix& v) {
  for (int rotation = 0; rotation < kMaxRotations; ++rotation) {
    int pivot = 0;  // 0: (0,1), 1: (0,2), 2: (1,2)
    double largest = std::fabs(a[1]);
    if (std::fabs(a[2]) > largest) {
      pivot = 1;
      largest = std::fabs(a[2]);
    }
    if (std::fabs(a[5]) > largest) {
      pivot = 2;
      largest = std::fabs(a[5]);
    }
    if (largest < kOffDiagonalThreshold) return;
    if (pivot == 0) {
      rotate<0, 1, kWithVectors>(a, v);
    } else if (pivot == 1) {
      rotate<0, 2, kWithVectors>(a, v);
    } else {
      rotate<1, 2, kWithVectors>(a, v);
    }
  }
}

// Stable insertion sort of the diagonal indices; well defined even when a
// diagonal value is NaN (no strict weak ordering is assumed).
std::array<std::size_t, 3> ascending_diagonal_order(const Matrix& a) {
  std::array<std::size_t, 3> order = {0, 1, 2};
  for (std::size_t i = 1; i < 3; ++i) {
    for (std::size_t j = i; j > 0 && a[4 * order[j]] < a[4 * order[j - 1]]; --j) {
      const std::size_t swap = order[j];
      order[j] = order[j - 1];
      order[j - 1] = swap;
    }
  }
  return order;
}

}  // namespace

SymmetricEigen3 decompose_symmetric_3x3(const std::array<double, 9>& matrix) {
  Matrix a = matrix;
  Matrix v = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 1.0};
  diagonalise<true>(a, v);
  const std::array<std::size_t, 3> order = ascending_diagonal_order(a);

  SymmetricEigen3 result{};
  for (std::size_t j = 0; j < 3; ++j) {
    const std::size_t k = order[j];
    result.values[j] = a[4 * k];
    for (std::size_t r = 0; r < 3; ++r) result.vectors[3 * r + j] = v[3 * r + k];
  }
  return result;
}

std::array<double, 3> symmetric_eigenvalues_3x3(const std::array<double, 9>& matrix) {
  Matrix a = matrix;
  Matrix unused{};
  diagonalise<false>(a, unused);
  const std::array<std::size_t, 3> order = ascending_diagonal_order(a);
  return {a[4 * order[0]], a[4 * order[1]], a[4 * order[2]]};
}

std::pair<double, double> select_in_plane_principal_values(const SymmetricEigen3& eigen,
                                                           const std::array<double, 3>& normal) {
  std::array<double, 3> alignment{};
  for (std::size_t k = 0; k < 3; ++k) {
    alignment[k] = std::fabs(eigen.vectors[k] * normal[0] + eigen.vectors[3 + k] * normal[1] +
                             eigen.vectors[6 + k] * normal[2]);
  }
  std::size_t normal_index = 0;
  double best = std::isnan(alignment[0]) ? -1.0 : alignment[0];
  if (alignment[1] > best) {
    normal_index = 1;
    best = alignment[1];
  }
  if (alignment[2] > best) normal_index = 2;

  const std::array<double, 3>& l = eigen.values;
  if (normal_index == 2) return {l[0], l[1]};
  if (normal_index == 1) return {l[0], l[2]};
  return {l[1], l[2]};
}

}  // namespace vostrel
