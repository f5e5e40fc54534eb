#include "vostrel/reconstruction/camera.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <vector>

namespace vostrel {
namespace {

// Rotation about the y axis by `angle` radians, row-major.
std::array<double, 9> rotation_y(double angle) {
  const double c = std::cos(angle);
  const double s = std::sin(angle);
  return {c, 0.0, s, 0.0, 1.0, 0.0, -s, 0.0, c};
}

CameraModel distorted_camera() {
  return make_camera_model(1200.0, 1180.0, 640.0, 512.0, 2, -0.12, 0.03);
}

TEST(CameraModelTest, DistortionActivityFollowsCoefficientCountAndThreshold) {
  EXPECT_FALSE(make_camera_model(1, 1, 0, 0, 0, 0.5, 0.5).distortion_active);
  EXPECT_EQ(make_camera_model(1, 1, 0, 0, 0, 0.5, 0.5).k1, 0.0);
  EXPECT_FALSE(make_camera_model(1, 1, 0, 0, 1, 1e-13, 0.5).distortion_active);
  EXPECT_EQ(make_camera_model(1, 1, 0, 0, 1, 1e-13, 0.5).k2, 0.0);
  EXPECT_FALSE(make_camera_model(1, 1, 0, 0, 2, 1e-13, 0.0).distortion_active);
  EXPECT_TRUE(make_camera_model(1, 1, 0, 0, 2, 0.0, 2e-12).distortion_active);
  EXPECT_TRUE(make_camera_model(1, 1, 0, 0, 1, -2e-12, 0.0).distortion_active);
}

TEST(CameraModelTest, InactiveDistortionIsPurePinhole) {
  const CameraModel camera = make_camera_model(800.0, 900.0, 320.0, 240.0, 2, 1e-13, 0.0);
  const Vec2 n = undistort_pixel(camera, 500.0, 100.0);
  EXPECT_EQ(n[0], (500.0 - 320.0) / 800.0);
  EXPECT_EQ(n[1], (100.0 - 240.0) / 900.0);
  const Extrinsic identity = camera_extrinsic_matrix({1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0});
  const Vec2 px = project_point({0.5, -0.25, 2.0}, camera, identity);
  EXPECT_EQ(px[0], 800.0 * 0.25 + 320.0);
  EXPECT_EQ(px[1], 900.0 * -0.125 + 240.0);
}

TEST(CameraModelTest, ExtrinsicMatrixIsRotationBesideTranslation) {
  const Extrinsic e = camera_extrinsic_matrix({1, 2, 3, 4, 5, 6, 7, 8, 9}, {10, 11, 12});
  const Extrinsic expected{1, 2, 3, 10, 4, 5, 6, 11, 7, 8, 9, 12};
  EXPECT_EQ(e, expected);
}

TEST(CameraModelTest, UndistortThenProjectReturnsThePixel) {
  const CameraModel camera = distorted_camera();
  const Extrinsic e = camera_extrinsic_matrix(rotation_y(0.2), {0.1, -0.05, 3.0});
  for (const Vec2 pixel : {Vec2{640.0, 512.0}, Vec2{900.0, 300.0}, Vec2{100.0, 950.0},
                           Vec2{1200.0, 1000.0}}) {
    const Vec2 n = undistort_pixel(camera, pixel[0], pixel[1]);
    // A point on the pixel's ray, at depth 4 in camera coordinates, mapped
    // back to the reconstruction frame: X = Rᵀ (Xc − t).
    const Vec3 xc{n[0] * 4.0, n[1] * 4.0, 4.0};
    const double d[3] = {xc[0] - e[3], xc[1] - e[7], xc[2] - e[11]};
    const Vec3 x{e[0] * d[0] + e[4] * d[1] + e[8] * d[2], e[1] * d[0] + e[5] * d[1] + e[9] * d[2],
                 e[2] * d[0] + e[6] * d[1] + e[10] * d[2]};
    const Vec2 back = project_point(x, camera, e);
    // Eight fixed-point steps leave a residual far below a thousandth pixel
    // at this moderate distortion.
    EXPECT_NEAR(back[0], pixel[0], 1e-3);
    EXPECT_NEAR(back[1], pixel[1], 1e-3);
  }
}

TEST(CameraModelTest, UndistortStopsWhenTheRadialFactorVanishes) {
  // k1 = -1 and a point at r² = 1 give f = 0 on the first step: the distorted
  // coordinates come back unchanged instead of a division by zero.
  const CameraModel camera = make_camera_model(1.0, 1.0, 0.0, 0.0, 1, -1.0, 0.0);
  const Vec2 n = undistort_pixel(camera, 1.0, 0.0);
  EXPECT_EQ(n[0], 1.0);
  EXPECT_EQ(n[1], 0.0);
}

TEST(CameraModelTest, PointOnTheCameraPlaneProjectsToNonFinitePixels) {
  const CameraModel camera = distorted_camera();
  const Extrinsic identity = camera_extrinsic_matrix({1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0});
  const Vec2 px = project_point({1.0, 0.0, 0.0}, camera, identity);
  EXPECT_FALSE(std::isfinite(px[0]));
}

TEST(JacobiTest, DiagonalMatrixNeedsNoRotationAndTiesKeepTheLowerIndex) {
  const std::array<double, 16> m{3, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2};
  const std::array<double, 4> v = smallest_eigenvector_4x4(m);
  const std::array<double, 4> e1{0, 1, 0, 0};
  EXPECT_EQ(v, e1);
}

TEST(JacobiTest, FindsTheNullVectorOfARankThreeMatrix) {
  // M = Σ a aᵀ over three vectors orthogonal to h = (1, 2, -1, 1).
  const std::array<std::array<double, 4>, 3> basis{
      {{2, -1, 0, 0}, {1, 0, 1, 0}, {0, 0, 1, 1}}};
  std::array<double, 16> m{};
  for (const auto& a : basis) {
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) m[4 * i + j] += a[i] * a[j];
    }
  }
  const std::array<double, 4> v = smallest_eigenvector_4x4(m);
  const std::array<double, 4> h{1, 2, -1, 1};
  // Rotations stop once every off-diagonal element is below 1e-12, which
  // leaves an error of that order over the eigenvalue gap.
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(v[i] / v[3], h[i], 1e-10);
  EXPECT_NEAR(v[0] * v[0] + v[1] * v[1] + v[2] * v[2] + v[3] * v[3], 1.0, 1e-14);
}

struct TwoViewRig {
  CameraModel camera = distorted_camera();
  Extrinsic left = camera_extrinsic_matrix(rotation_y(0.15), {0.2, 0.0, 2.5});
  Extrinsic right = camera_extrinsic_matrix(rotation_y(-0.15), {-0.2, 0.0, 2.5});

  Vec2 observe(const Extrinsic& e, const Vec3& x) const {
    const Vec2 px = project_point(x, camera, e);
    return undistort_pixel(camera, px[0], px[1]);
  }
};

TEST(TriangulationTest, NoiseFreeViewsTriangulateExactly) {
  const TwoViewRig rig;
  for (const Vec3 x : {Vec3{0.0, 0.0, 0.0}, Vec3{0.3, -0.2, 0.1}, Vec3{-0.4, 0.25, -0.3}}) {
    // Pure pinhole views so the observations carry no undistortion residual.
    const CameraModel pinhole = make_camera_model(1200, 1180, 640, 512, 0, 0, 0);
    const Vec2 obs[2] = {project_point(x, pinhole, rig.left), project_point(x, pinhole, rig.right)};
    const Vec2 normalised[2] = {undistort_pixel(pinhole, obs[0][0], obs[0][1]),
                                undistort_pixel(pinhole, obs[1][0], obs[1][1])};
    const Extrinsic matrices[2] = {rig.left, rig.right};
    const std::optional<Vec3> p = triangulate_dlt(normalised, matrices, 2);
    ASSERT_TRUE(p.has_value());
    for (int i = 0; i < 3; ++i) EXPECT_NEAR((*p)[i], x[i], 1e-10);
  }
}

TEST(TriangulationTest, ThreeDistortedViewsRecoverThePoint) {
  const TwoViewRig rig;
  const Extrinsic above = camera_extrinsic_matrix({1, 0, 0, 0, std::cos(0.2), -std::sin(0.2), 0,
                                                   std::sin(0.2), std::cos(0.2)},
                                                  {0.0, 0.3, 2.6});
  const Vec3 x{0.12, 0.07, -0.05};
  const Vec2 obs[3] = {rig.observe(rig.left, x), rig.observe(rig.right, x), rig.observe(above, x)};
  const Extrinsic matrices[3] = {rig.left, rig.right, above};
  const std::optional<Vec3> p = triangulate_dlt(obs, matrices, 3);
  ASSERT_TRUE(p.has_value());
  for (int i = 0; i < 3; ++i) EXPECT_NEAR((*p)[i], x[i], 1e-6);
}

TEST(TriangulationTest, FewerThanTwoViewsFail) {
  const TwoViewRig rig;
  const Vec2 obs[1] = {{0.1, 0.1}};
  const Extrinsic matrices[1] = {rig.left};
  EXPECT_FALSE(triangulate_dlt(obs, matrices, 1).has_value());
  EXPECT_FALSE(triangulate_dlt(obs, matrices, 0).has_value());
}

TEST(TriangulationTest, ParallelRaysOrNonFiniteInputFail) {
  // Two cameras with the same orientation and parallel rays meet at infinity
  // (homogeneous weight zero).
  const Extrinsic a = camera_extrinsic_matrix({1, 0, 0, 0, 1, 0, 0, 0, 1}, {0.0, 0.0, 0.0});
  const Extrinsic b = camera_extrinsic_matrix({1, 0, 0, 0, 1, 0, 0, 0, 1}, {-1.0, 0.0, 0.0});
  const Extrinsic matrices[2] = {a, b};
  const Vec2 parallel[2] = {{0.25, 0.0}, {0.25, 0.0}};
  EXPECT_FALSE(triangulate_dlt(parallel, matrices, 2).has_value());
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Vec2 broken[2] = {{nan, 0.0}, {0.25, 0.0}};
  EXPECT_FALSE(triangulate_dlt(broken, matrices, 2).has_value());
}

}  // namespace
}  // namespace vostrel
