#include "vostrel/deformation/triangle_strain.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>

namespace vostrel {
namespace {

using Mat = std::array<double, 9>;

const TriangleVertices kUnitRight = {{{{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}}};

TriangleVertices triangle(std::array<double, 3> a, std::array<double, 3> b,
                          std::array<double, 3> c) {
  return TriangleVertices{{{a, b, c}}};
}

void expect_matrix_near(const Mat& actual, const Mat& expected, double tol) {
  for (std::size_t i = 0; i < 9; ++i) EXPECT_NEAR(actual[i], expected[i], tol) << "element " << i;
}

TEST(TriangleStrain, UniaxialStretch) {
  const auto s = compute_triangle_strain(kUnitRight, triangle({0, 0, 0}, {2, 0, 0}, {0, 1, 0}));
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->deformation_gradient, (Mat{2, 0, 0, 0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(s->right_cauchy_green, (Mat{4, 0, 0, 0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(s->green_lagrange, (Mat{1.5, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s->euler_almansi, (Mat{0.375, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(s->jacobian, 2.0);
  EXPECT_EQ(s->green_lagrange_norm, 1.5);
  EXPECT_EQ(s->euler_almansi_norm, 0.375);
  EXPECT_EQ(s->green_lagrange_principal_min, 0.0);
  EXPECT_EQ(s->green_lagrange_principal_max, 1.5);
  EXPECT_EQ(s->euler_almansi_principal_min, 0.0);
  EXPECT_EQ(s->euler_almansi_principal_max, 0.375);
  EXPECT_EQ(s->green_lagrange_shear_max, 0.75);
  EXPECT_EQ(s->euler_almansi_shear_max, 0.1875);
  EXPECT_NEAR(s->green_lagrange_equivalent, 1.0, 1e-15);
  EXPECT_NEAR(s->euler_almansi_equivalent, 0.25, 1e-15);
  EXPECT_EQ(s->reference_area, 0.5);
  EXPECT_EQ(s->deformed_normal, (std::array<double, 3>{0, 0, 1}));
  EXPECT_EQ(s->stretch_min, 1.0);
  EXPECT_EQ(s->stretch_max, 2.0);
}

TEST(TriangleStrain, MirrorImageIsStrainFree) {
  const auto s = compute_triangle_strain(kUnitRight, triangle({0, 0, 0}, {1, 0, 0}, {0, -1, 0}));
  ASSERT_TRUE(s.has_value());
  expect_matrix_near(s->deformation_gradient, {1, 0, 0, 0, -1, 0, 0, 0, -1}, 0.0);
  expect_matrix_near(s->right_cauchy_green, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 0.0);
  expect_matrix_near(s->green_lagrange, {}, 0.0);
  expect_matrix_near(s->euler_almansi, {}, 0.0);
  EXPECT_EQ(s->jacobian, 1.0);
  EXPECT_EQ(s->deformed_normal, (std::array<double, 3>{0, 0, -1}));
  EXPECT_EQ(s->stretch_min, 1.0);
  EXPECT_EQ(s->stretch_max, 1.0);
}

TEST(TriangleStrain, RigidMotionOfTiltedTriangle) {
  // Rotation about the axis (1, 2, 2)/3 by 0.9 rad, then a translation.
  const double th = 0.9, c = std::cos(th), s = std::sin(th);
  const double ux = 1.0 / 3.0, uy = 2.0 / 3.0, uz = 2.0 / 3.0;
  const Mat rot = {
      c + ux * ux * (1 - c),      ux * uy * (1 - c) - uz * s, ux * uz * (1 - c) + uy * s,
      uy * ux * (1 - c) + uz * s, c + uy * uy * (1 - c),      uy * uz * (1 - c) - ux * s,
      uz * ux * (1 - c) - uy * s, uz * uy * (1 - c) + ux * s, c + uz * uz * (1 - c)};
  const TriangleVertices ref = triangle({0.3, -1.2, 0.7}, {2.1, 0.4, 1.9}, {-0.5, 1.3, 0.2});
  TriangleVertices def{};
  for (std::size_t v = 0; v < 3; ++v) {
    for (std::size_t r = 0; r < 3; ++r) {
      const auto& p = ref.positions[v];
      def.positions[v][r] = rot[3 * r] * p[0] + rot[3 * r + 1] * p[1] + rot[3 * r + 2] * p[2] +
                            (r == 0   ? 5.0
                             : r == 1 ? -3.0
                                      : 11.0);
    }
  }
  const auto out = compute_triangle_strain(ref, def);
  ASSERT_TRUE(out.has_value());
  expect_matrix_near(out->deformation_gradient, rot, 1e-14);
  expect_matrix_near(out->green_lagrange, {}, 1e-14);
  expect_matrix_near(out->euler_almansi, {}, 1e-14);
  EXPECT_NEAR(out->jacobian, 1.0, 1e-14);
  EXPECT_NEAR(out->stretch_min, 1.0, 1e-14);
  EXPECT_NEAR(out->stretch_max, 1.0, 1e-14);
  EXPECT_NEAR(out->green_lagrange_equivalent, 0.0, 1e-14);
  EXPECT_NEAR(out->euler_almansi_shear_max, 0.0, 1e-14);
}

TEST(TriangleStrain, NearlyCollapsedDeformedTriangle) {
  // |n| = 1e-10 passes the normal test but det b = 1e-20 is rejected.
  EXPECT_FALSE(compute_triangle_strain(kUnitRight, triangle({0, 0, 0}, {1, 0, 0}, {0, 1e-10, 0})));
  const auto s = compute_triangle_strain(kUnitRight, triangle({0, 0, 0}, {1, 0, 0}, {0, 2e-9, 0}));
  ASSERT_TRUE(s.has_value());
  EXPECT_NEAR(s->jacobian, 2e-9, 1e-24);
  EXPECT_NEAR(s->stretch_min, 2e-9, 1e-24);
  EXPECT_NEAR(s->stretch_max, 1.0, 1e-15);
}

TEST(TriangleStrain, DegenerateTrianglesAreRejected) {
  const TriangleVertices degenerate[] = {
      triangle({0, 0, 0}, {1, 0, 0}, {1, 0, 0}),         // repeated vertex
      triangle({0, 0, 0}, {1, 1, 1}, {2, 2, 2}),         // collinear
      triangle({0, 0, 0}, {1e-10, 0, 0}, {0, 1e-9, 0}),  // |N| = 1e-19
  };
  for (const TriangleVertices& t : degenerate) {
    EXPECT_FALSE(compute_triangle_strain(t, kUnitRight));
    EXPECT_FALSE(compute_triangle_strain(kUnitRight, t));
  }
}

class NonFiniteCoordinate : public ::testing::TestWithParam<double> {};

TEST_P(NonFiniteCoordinate, AnyVertexInEitherStateIsRejected) {
  for (int state = 0; state < 2; ++state) {
    for (std::size_t v = 0; v < 3; ++v) {
      for (std::size_t k = 0; k < 3; ++k) {
        TriangleVertices ref = kUnitRight;
        TriangleVertices def = triangle({0, 0, 0}, {2, 0, 0}, {0, 1, 0});
        (state == 0 ? ref : def).positions[v][k] = GetParam();
        EXPECT_FALSE(compute_triangle_strain(ref, def)) << state << " " << v << " " << k;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Values, NonFiniteCoordinate,
                         ::testing::Values(std::numeric_limits<double>::quiet_NaN(),
                                           std::numeric_limits<double>::infinity(),
                                           -std::numeric_limits<double>::infinity()),
                         [](const ::testing::TestParamInfo<double>& info) -> std::string {
                           if (std::isnan(info.param)) return "NaN";
                           return info.param > 0 ? "PlusInfinity" : "MinusInfinity";
                         });

TEST(TriangleStrain, LargestFiniteCoordinateIsNotRejectedAsNonFinite) {
  // Far from the origin but finite: the edges are fine, the face is computed.
  const double big = 1e300;
  const auto s = compute_triangle_strain(triangle({big, 0, 0}, {big, 1, 0}, {big, 0, 1}),
                                         triangle({big, 0, 0}, {big, 1, 0}, {big, 0, 1}));
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->jacobian, 1.0);
}

}  // namespace
}  // namespace vostrel
