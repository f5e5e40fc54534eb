#include "vostrel/reconstruction/opencv_camera.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "vostrel/reconstruction/camera.h"

namespace vostrel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const Extrinsic kIdentity = camera_extrinsic_matrix({1, 0, 0, 0, 1, 0, 0, 0, 1}, {0, 0, 0});

struct Lens {
  const char* name;
  std::array<double, 5> dist;  // k1, k2, p1, p2, k3
};

// Strong lenses of a 1280 x 960 image with fx = 1000: the image corners lie
// at r ≈ 0.8 in normalised units.
const Lens kLenses[] = {
    {"StrongBarrel", {-0.32, 0.11, 0.0021, -0.0014, -0.015}},
    {"StrongPincushion", {0.28, 0.06, -0.0018, 0.0025, 0.012}},
    {"TangentialOnly", {0.0, 0.0, 0.004, -0.003, 0.0}},
};

OpenCvCameraModel camera_with(const Lens& lens, double skew = 0.7) {
  return make_opencv_camera_model(1000.0, 990.0, 641.5, 479.5, skew, lens.dist);
}

class OpenCvLens : public ::testing::TestWithParam<Lens> {};

TEST_P(OpenCvLens, PixelsRoundTripThroughUndistortionAndProjection) {
  const OpenCvCameraModel camera = camera_with(GetParam());
  double worst = 0.0;
  for (double v = -20.0; v <= 980.0; v += 25.0) {
    for (double u = -20.0; u <= 1300.0; u += 25.0) {
      const std::optional<Vec2> n = undistort_pixel(camera, u, v);
      ASSERT_TRUE(n.has_value()) << u << " " << v;
      for (const double depth : {0.5, 3.0}) {
        const Vec2 back =
            project_point({(*n)[0] * depth, (*n)[1] * depth, depth}, camera, kIdentity);
        worst = std::max(worst, pixel_distance(back, {u, v}));
      }
    }
  }
  EXPECT_LT(worst, 1e-9);
}

TEST_P(OpenCvLens, PointsRoundTripThroughProjectionAndUndistortion) {
  const OpenCvCameraModel camera = camera_with(GetParam());
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> coord(-0.75, 0.75);
  for (int i = 0; i < 2000; ++i) {
    const Vec2 n{coord(rng), coord(rng) * 0.75};
    const Vec2 px = project_point({n[0], n[1], 1.0}, camera, kIdentity);
    const std::optional<Vec2> back = undistort_pixel(camera, px[0], px[1]);
    ASSERT_TRUE(back.has_value()) << n[0] << " " << n[1];
    // In pixels: the normalised error scaled by the focal length.
    EXPECT_LT(std::hypot((*back)[0] - n[0], (*back)[1] - n[1]) * 1000.0, 1e-9);
  }
}

TEST_P(OpenCvLens, JacobianMatchesCentralDifferences) {
  const OpenCvCameraModel camera = camera_with(GetParam());
  const double h = 1e-6;
  for (const Vec2 p : {Vec2{0.3, -0.2}, Vec2{-0.6, 0.45}, Vec2{0.05, 0.7}}) {
    const LensMap m = lens_map(camera, p[0], p[1]);
    const Vec2 d = distort_normalised(camera, p[0], p[1]);
    EXPECT_EQ(m.distorted, d);
    const Vec2 xp = distort_normalised(camera, p[0] + h, p[1]);
    const Vec2 xm = distort_normalised(camera, p[0] - h, p[1]);
    const Vec2 yp = distort_normalised(camera, p[0], p[1] + h);
    const Vec2 ym = distort_normalised(camera, p[0], p[1] - h);
    EXPECT_NEAR(m.dxd_dx, (xp[0] - xm[0]) / (2 * h), 1e-8);
    EXPECT_NEAR(m.dyd_dx, (xp[1] - xm[1]) / (2 * h), 1e-8);
    EXPECT_NEAR(m.dxd_dy, (yp[0] - ym[0]) / (2 * h), 1e-8);
    EXPECT_NEAR(m.dyd_dy, (yp[1] - ym[1]) / (2 * h), 1e-8);
  }
}

INSTANTIATE_TEST_SUITE_P(Lenses, OpenCvLens, ::testing::ValuesIn(kLenses),
                         [](const ::testing::TestParamInfo<Lens>& info) -> std::string {
                           return info.param.name;
                         });

TEST(OpenCvCamera, SkewAndPrincipalPointPlaceThePixel) {
  // No distortion: u = fx x + s y + cx, v = fy y + cy exactly.
  const OpenCvCameraModel camera =
      make_opencv_camera_model(800.0, 700.0, 300.0, 200.0, 4.0, {0, 0, 0, 0, 0});
  const Vec2 px = project_point({0.5, -0.25, 2.0}, camera, kIdentity);
  EXPECT_EQ(px[0], 800.0 * 0.25 + 4.0 * -0.125 + 300.0);
  EXPECT_EQ(px[1], 700.0 * -0.125 + 200.0);
  const std::optional<Vec2> n = undistort_pixel(camera, px[0], px[1]);
  ASSERT_TRUE(n.has_value());
  EXPECT_NEAR((*n)[0], 0.25, 1e-15);
  EXPECT_NEAR((*n)[1], -0.125, 1e-15);
}

TEST(OpenCvCamera, WithoutTangentialTermsK3OrSkewItIsTheTwoCoefficientModel) {
  const CameraModel radial2 = make_camera_model(1000.0, 990.0, 641.5, 479.5, 2, -0.08, 0.02);
  const OpenCvCameraModel opencv =
      make_opencv_camera_model(1000.0, 990.0, 641.5, 479.5, 0.0, {-0.08, 0.02, 0, 0, 0});
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> coord(-0.45, 0.45);
  std::uniform_real_distribution<double> depth(1.0, 4.0);
  for (int i = 0; i < 500; ++i) {
    const double z = depth(rng);
    const Vec3 p{coord(rng) * z, coord(rng) * z, z};
    const Vec2 a = project_point(p, radial2, kIdentity);
    const Vec2 b = project_point(p, opencv, kIdentity);
    EXPECT_LT(pixel_distance(a, b), 1e-9);
    // The two-coefficient inverse runs eight fixed-point steps; at this
    // distortion they leave far less than a nanopixel.
    const Vec2 na = undistort_pixel(radial2, a[0], a[1]);
    const std::optional<Vec2> nb = undistort_pixel(opencv, a[0], a[1]);
    ASSERT_TRUE(nb.has_value());
    EXPECT_LT(std::hypot(na[0] - (*nb)[0], na[1] - (*nb)[1]) * 1000.0, 1e-9);
  }
}

// 1 + 3 k1 s + 5 k2 s² + 7 k3 s³, the derivative of the radial map in ρ.
double radial_slope(double k1, double k2, double k3, double s) {
  return 1.0 + 3.0 * k1 * s + 5.0 * k2 * s * s + 7.0 * k3 * s * s * s;
}

TEST(LensDomain, FirstFoldOfTheRadialMap) {
  EXPECT_NEAR(lens_domain_r2(-0.5, 0, 0), 1.0 / 1.5, 1e-15);
  EXPECT_EQ(lens_domain_r2(0.3, 0, 0), kInf);
  EXPECT_EQ(lens_domain_r2(0, 0, 0), kInf);
  EXPECT_EQ(lens_domain_r2(-0.5, 0.3, 0), kInf);  // 1 - 1.5 s + 1.5 s² has no real root
  EXPECT_TRUE(std::isnan(lens_domain_r2(kNaN, 0, 0)));
  EXPECT_TRUE(std::isnan(lens_domain_r2(0, kInf, 0)));
  // Random lenses: the slope vanishes at the bound and is positive below it.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> k(-1.0, 1.0);
  for (int i = 0; i < 300; ++i) {
    const double k1 = k(rng);
    const double k2 = k(rng);
    const double k3 = 0.3 * k(rng);
    const double s = lens_domain_r2(k1, k2, k3);
    const double top = std::isinf(s) ? 1e3 : s;
    for (int j = 0; j < 2000; ++j) {
      ASSERT_GT(radial_slope(k1, k2, k3, top * j / 2000.0), 0.0) << k1 << " " << k2 << " " << k3;
    }
    if (!std::isinf(s)) {
      const double terms =
          1.0 + std::fabs(3 * k1 * s) + std::fabs(5 * k2 * s * s) + std::fabs(7 * k3 * s * s * s);
      EXPECT_NEAR(radial_slope(k1, k2, k3, s) / terms, 0.0, 1e-12);
    }
  }
}

TEST(OpenCvCamera, PixelsPastTheFoldHaveNoCoordinates) {
  // k1 = -0.5: the radial map peaks at ρ² = 2/3, where it reaches
  // ρ_d = 0.544; no normalised point distorts beyond it.
  const OpenCvCameraModel camera =
      make_opencv_camera_model(100.0, 100.0, 320.0, 240.0, 0.0, {-0.5, 0, 0, 0, 0});
  EXPECT_TRUE(undistort_pixel(camera, 320.0 + 50.0, 240.0).has_value());
  for (const double r : {56.0, 80.0, 150.0, 1e4, 1e12}) {
    EXPECT_FALSE(undistort_pixel(camera, 320.0 + r, 240.0).has_value()) << r;
    EXPECT_FALSE(undistort_pixel(camera, 320.0 - 0.6 * r, 240.0 + 0.8 * r).has_value()) << r;
  }
  EXPECT_FALSE(undistort_pixel(camera, kNaN, 240.0).has_value());
  EXPECT_FALSE(undistort_pixel(camera, 320.0, kInf).has_value());
}

TEST(OpenCvCamera, AnAnswerIsAlwaysThePreimageInsideTheLensDomain) {
  // A lens that folds and unfolds again: below the peak a distorted radius
  // has a preimage inside the domain and others beyond the fold. An answer,
  // when there is one, must be the inner one.
  const OpenCvCameraModel camera =
      make_opencv_camera_model(100.0, 100.0, 0.0, 0.0, 0.0, {-1.0, 0.0, 0.0, 0.0, 0.5});
  ASSERT_LT(camera.max_r2, 1.0);
  for (double r = 0.0; r < 300.0; r += 0.5) {
    const std::optional<Vec2> n = undistort_pixel(camera, r, 0.0);
    // Well below the peak (about 40 px) Newton's method finds the inner one.
    if (r <= 30.0) {
      EXPECT_TRUE(n.has_value()) << r;
    }
    if (!n) continue;
    EXPECT_LT((*n)[0] * (*n)[0], camera.max_r2) << r;
    EXPECT_NEAR(project_point({(*n)[0], 0.0, 1.0}, camera, kIdentity)[0], r, 1e-9) << r;
  }
}

TEST(OpenCvCamera, NonFiniteCoefficientsRefuseEveryPixel) {
  const OpenCvCameraModel camera =
      make_opencv_camera_model(100.0, 100.0, 0.0, 0.0, 0.0, {kNaN, 0, 0, 0, 0});
  EXPECT_FALSE(undistort_pixel(camera, 0.0, 0.0).has_value());
  EXPECT_FALSE(undistort_pixel(camera, 10.0, 5.0).has_value());
}

TEST(OpenCvCamera, BatchIsAllOrNothing) {
  const OpenCvCameraModel good = camera_with(kLenses[0]);
  const OpenCvCameraModel folded =
      make_opencv_camera_model(100.0, 100.0, 320.0, 240.0, 0.0, {-0.5, 0, 0, 0, 0});
  const std::array<Vec2, 2> pixels{Vec2{700.0, 400.0}, Vec2{400.0, 240.0}};
  const auto both = undistort_all<2>({&good, &good}, pixels);
  ASSERT_TRUE(both.has_value());
  EXPECT_EQ((*both)[1], *undistort_pixel(good, 400.0, 240.0));
  EXPECT_FALSE(undistort_all<2>({&good, &folded}, pixels).has_value());
}

}  // namespace
}  // namespace vostrel
