#include "vostrel/deformation/eigen3.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <random>

namespace vostrel {
namespace {

using Mat = std::array<double, 9>;

double column_dot(const Mat& v, std::size_t j, std::size_t k) {
  return v[j] * v[k] + v[3 + j] * v[3 + k] + v[6 + j] * v[6 + k];
}

// A v_k = lambda_k v_k, orthonormal columns, ascending values.
void expect_eigenpairs(const Mat& a, const SymmetricEigen3& eig, double tol) {
  double scale = 0.0;
  for (const double x : a) scale = std::fmax(scale, std::fabs(x));
  EXPECT_LE(eig.values[0], eig.values[1]);
  EXPECT_LE(eig.values[1], eig.values[2]);
  for (std::size_t k = 0; k < 3; ++k) {
    for (std::size_t r = 0; r < 3; ++r) {
      const double av = a[3 * r] * eig.vectors[k] + a[3 * r + 1] * eig.vectors[3 + k] +
                        a[3 * r + 2] * eig.vectors[6 + k];
      EXPECT_NEAR(av, eig.values[k] * eig.vectors[3 * r + k], tol * (scale + 1.0));
    }
    for (std::size_t j = 0; j < 3; ++j) {
      EXPECT_NEAR(column_dot(eig.vectors, j, k), j == k ? 1.0 : 0.0, tol);
    }
  }
}

TEST(DecomposeSymmetric3x3, DiagonalInputIsSortedWithoutRotation) {
  const SymmetricEigen3 eig =
      decompose_symmetric_3x3({3.0, 0.0, 0.0, 0.0, -1.0, 0.0, 0.0, 0.0, 2.0});
  EXPECT_EQ(eig.values, (std::array<double, 3>{-1.0, 2.0, 3.0}));
  // Columns e_y, e_z, e_x, exactly.
  EXPECT_EQ(eig.vectors, (Mat{0, 0, 1, 1, 0, 0, 0, 1, 0}));
}

TEST(DecomposeSymmetric3x3, OffDiagonalBelowThresholdCountsAsDiagonal) {
  const Mat a = {2.0, 9e-15, -9e-15, 9e-15, 1.0, 9.9e-15, -9e-15, 9.9e-15, 3.0};
  const SymmetricEigen3 eig = decompose_symmetric_3x3(a);
  EXPECT_EQ(eig.values, (std::array<double, 3>{1.0, 2.0, 3.0}));
  EXPECT_EQ(eig.vectors, (Mat{0, 1, 0, 1, 0, 0, 0, 0, 1}));
}

TEST(DecomposeSymmetric3x3, EqualDiagonalKeepsIndexOrder) {
  const SymmetricEigen3 eig = decompose_symmetric_3x3({1.5, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(eig.values, (std::array<double, 3>{0.0, 0.0, 1.5}));
  EXPECT_EQ(eig.vectors, (Mat{0, 0, 1, 1, 0, 0, 0, 1, 0}));
}

TEST(DecomposeSymmetric3x3, SingleRotationIsExactForTwoByTwoBlock) {
  // [[2, 1], [1, 2]] block: eigenvalues 1 and 3 with (1, -1)/sqrt2 and (1, 1)/sqrt2.
  const Mat a = {2.0, 1.0, 0.0, 1.0, 2.0, 0.0, 0.0, 0.0, 5.0};
  const SymmetricEigen3 eig = decompose_symmetric_3x3(a);
  EXPECT_NEAR(eig.values[0], 1.0, 1e-15);
  EXPECT_NEAR(eig.values[1], 3.0, 1e-15);
  EXPECT_EQ(eig.values[2], 5.0);
  expect_eigenpairs(a, eig, 1e-15);
}

TEST(DecomposeSymmetric3x3, RepeatedEigenvalues) {
  // Q diag(2, 2, -1) Q^T for a fixed rotation Q, and the scalar matrix.
  const double c = std::cos(0.7), s = std::sin(0.7);
  const Mat q = {c, -s, 0, s * 0.6, c * 0.6, -0.8, s * 0.8, c * 0.8, 0.6};
  const std::array<double, 3> d = {2.0, 2.0, -1.0};
  Mat a{};
  for (std::size_t r = 0; r < 3; ++r)
    for (std::size_t k = 0; k < 3; ++k)
      for (std::size_t j = 0; j < 3; ++j) a[3 * r + k] += q[3 * r + j] * d[j] * q[3 * k + j];
  const SymmetricEigen3 eig = decompose_symmetric_3x3(a);
  EXPECT_NEAR(eig.values[0], -1.0, 1e-14);
  EXPECT_NEAR(eig.values[1], 2.0, 1e-14);
  EXPECT_NEAR(eig.values[2], 2.0, 1e-14);
  expect_eigenpairs(a, eig, 1e-14);

  const SymmetricEigen3 scalar = decompose_symmetric_3x3({4, 0, 0, 0, 4, 0, 0, 0, 4});
  EXPECT_EQ(scalar.values, (std::array<double, 3>{4.0, 4.0, 4.0}));
  EXPECT_EQ(scalar.vectors, (Mat{1, 0, 0, 0, 1, 0, 0, 0, 1}));
}

struct ReferenceCase {
  Mat matrix;
  std::array<double, 3> values;  // from numpy.linalg.eigvalsh
};

TEST(DecomposeSymmetric3x3, MatchesIndependentEigenvalues) {
  const ReferenceCase cases[] = {
      {{0.0012301533574825742, -0.29592315062440216, -0.10699712638238955, -0.29592315062440216,
        -0.45467078517172255, 0.17428434527903558, -0.10699712638238955, 0.17428434527903558,
        -0.49220651855132963},
       {-0.6792456528024124, -0.4579488169400045, 0.19154731937684769}},
      {{-0.6204748998199404, 0.2976281495915484, 0.5260951013091743, 0.2976281495915484,
        -0.9304680447082047, -0.6867331848741777, 0.5260951013091743, -0.6867331848741777,
        -0.45761576104021817},
       {-1.7065426574976803, -0.44782400767940866, 0.14580795960872636}},
      {{-1.901222739800844, -0.7623144354298287, -0.8424919755837535, -0.7623144354298287,
        -1.2674464814437032, 0.04216670709587357, -0.8424919755837535, 0.04216670709587357,
        -2.516759710820513},
       {-3.2005842725385785, -1.8786494402392522, -0.6061952192872294}},
  };
  for (const ReferenceCase& rc : cases) {
    const SymmetricEigen3 eig = decompose_symmetric_3x3(rc.matrix);
    for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(eig.values[k], rc.values[k], 1e-14);
    expect_eigenpairs(rc.matrix, eig, 1e-14);
  }
}

TEST(DecomposeSymmetric3x3, RandomMatricesConverge) {
  std::mt19937_64 rng(20261208);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (int trial = 0; trial < 2000; ++trial) {
    Mat a{};
    for (std::size_t r = 0; r < 3; ++r) {
      for (std::size_t c = r; c < 3; ++c) a[3 * r + c] = a[3 * c + r] = normal(rng);
    }
    const SymmetricEigen3 eig = decompose_symmetric_3x3(a);
    expect_eigenpairs(a, eig, 1e-13);
    EXPECT_EQ(symmetric_eigenvalues_3x3(a), eig.values);
  }
}

struct SelectionCase {
  const char* name;
  std::array<double, 3> normal;
  double smaller;
  double larger;
};

class SelectInPlane : public ::testing::TestWithParam<SelectionCase> {};

// Eigenvalues (0, 0, 1.5) with vectors e_y, e_z, e_x.
TEST_P(SelectInPlane, RemovesMostAlignedDirection) {
  const SymmetricEigen3 eig = decompose_symmetric_3x3({1.5, 0, 0, 0, 0, 0, 0, 0, 0});
  const auto [smaller, larger] = select_in_plane_principal_values(eig, GetParam().normal);
  EXPECT_EQ(smaller, GetParam().smaller);
  EXPECT_EQ(larger, GetParam().larger);
}

const double kHalfRoot2 = std::sqrt(0.5);

INSTANTIATE_TEST_SUITE_P(
    Normals, SelectInPlane,
    ::testing::Values(SelectionCase{"AlongZRemovesIndex1", {0, 0, 1}, 0.0, 1.5},
                      SelectionCase{"SignOfTheNormalDoesNotMatter", {0, 0, -1}, 0.0, 1.5},
                      SelectionCase{"AlongXRemovesIndex2", {1, 0, 0}, 0.0, 0.0},
                      SelectionCase{"AlongYRemovesIndex0", {0, 1, 0}, 0.0, 1.5},
                      // Equal angles to e_z and e_x: the lower index (e_z) goes.
                      SelectionCase{"TieBetweenZAndXRemovesTheLowerIndex",
                                    {kHalfRoot2, 0, kHalfRoot2},
                                    0.0,
                                    1.5}),
    [](const ::testing::TestParamInfo<SelectionCase>& info) { return info.param.name; });

TEST(SelectInPlaneTies, EqualAlignmentRemovesLowerIndex) {
  SymmetricEigen3 eig{{1.0, 2.0, 3.0}, {1, 0, 0, 0, 1, 0, 0, 0, 1}};
  // Equal to axes 0 and 1: index 0 is removed.
  auto pair = select_in_plane_principal_values(eig, {kHalfRoot2, kHalfRoot2, 0});
  EXPECT_EQ(pair, (std::pair<double, double>{2.0, 3.0}));
  // Equal to axes 1 and 2: index 1 is removed.
  pair = select_in_plane_principal_values(eig, {0, kHalfRoot2, kHalfRoot2});
  EXPECT_EQ(pair, (std::pair<double, double>{1.0, 3.0}));
  // NaN alignment of axis 0 never wins over a real alignment.
  eig.vectors[0] = std::numeric_limits<double>::quiet_NaN();
  pair = select_in_plane_principal_values(eig, {1, 0, 0});
  EXPECT_EQ(pair, (std::pair<double, double>{1.0, 3.0}));
}

}  // namespace
}  // namespace vostrel
