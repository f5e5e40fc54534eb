#include "vostrel/reconstruction/camera.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
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

// Equal bits, or both NaN (the sign and payload of a NaN result are not fixed
// by the arithmetic: they depend on which operand the compiler puts first).
bool same_value(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

template <std::size_t N>
bool same_values(const std::array<double, N>& a, const std::array<double, N>& b) {
  for (std::size_t i = 0; i < N; ++i) {
    if (!same_value(a[i], b[i])) return false;
  }
  return true;
}

// The eigen-solver written the plain way, with the pair scan and the two
// rotation steps as loops over runtime indices: the reference that the
// production solvers must reproduce bit for bit.
std::array<double, 4> plain_smallest_eigenvector(const std::array<double, 16>& m_in) {
  double m[4][4];
  double v[4][4];
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      m[i][j] = m_in[4 * i + j];
      v[i][j] = i == j ? 1.0 : 0.0;
    }
  }
  for (int rotation = 0; rotation < 64; ++rotation) {
    int p = 0;
    int q = 1;
    double largest = std::fabs(m[0][1]);
    for (int i = 0; i < 3; ++i) {
      for (int j = i + 1; j < 4; ++j) {
        if (std::fabs(m[i][j]) > largest) {
          largest = std::fabs(m[i][j]);
          p = i;
          q = j;
        }
      }
    }
    if (largest < 1e-12) break;
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
  for (const Vec2 pixel :
       {Vec2{640.0, 512.0}, Vec2{900.0, 300.0}, Vec2{100.0, 950.0}, Vec2{1200.0, 1000.0}}) {
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

TEST(CameraModelTest, BatchedUndistortionMatchesSingleCalls) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const CameraModel distorted = distorted_camera();
  const CameraModel pinhole = make_camera_model(1200.0, 1180.0, 640.0, 512.0, 0, 0.0, 0.0);
  // Radial factor 0 at the first step for pixel (1, 0).
  const CameraModel vanishing = make_camera_model(1.0, 1.0, 0.0, 0.0, 1, -1.0, 0.0);
  const CameraModel k2_only = make_camera_model(900.0, 910.0, 300.0, 200.0, 2, 0.0, 0.4);
  const std::vector<const CameraModel*> cameras{&distorted, &pinhole, &vanishing, &k2_only};
  const std::vector<Vec2> pixels{{640.0, 512.0}, {1.0, 0.0},  {1200.0, 3.0}, {-400.0, 1500.0},
                                 {nan, 10.0},    {inf, -inf}, {0.5, 0.25},   {1e200, 1e200}};
  // Every camera with every pixel, four lanes at a time in rotating
  // combinations, so that lanes stop at different steps beside each other.
  for (std::size_t start = 0; start < cameras.size() * pixels.size(); ++start) {
    std::array<const CameraModel*, 4> lane_cameras;
    std::array<Vec2, 4> lane_pixels;
    for (std::size_t i = 0; i < 4; ++i) {
      const std::size_t k = (start + 5 * i) % (cameras.size() * pixels.size());
      lane_cameras[i] = cameras[k % cameras.size()];
      lane_pixels[i] = pixels[k / cameras.size()];
    }
    const std::array<Vec2, 4> batch = undistort_pixels<4>(lane_cameras, lane_pixels);
    for (std::size_t i = 0; i < 4; ++i) {
      const Vec2 single = undistort_pixel(*lane_cameras[i], lane_pixels[i][0], lane_pixels[i][1]);
      EXPECT_TRUE(same_values(batch[i], single)) << "start " << start << ", lane " << i;
    }
  }
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
  const std::array<std::array<double, 4>, 3> basis{{{2, -1, 0, 0}, {1, 0, 1, 0}, {0, 0, 1, 1}}};
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

// Normal matrices of noisy two-view observations (what the reconstructions
// solve), then symmetric matrices with integer entries (ties in the pair scan
// and on the diagonal), with off-diagonal entries around the 1e-12 threshold,
// with special values, and unsymmetric ones.
std::vector<std::array<double, 16>> solver_inputs() {
  std::mt19937_64 rng(20240611);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::vector<std::array<double, 16>> out;
  const TwoViewRig rig;
  const Extrinsic matrices[2] = {rig.left, rig.right};
  for (int k = 0; k < 400; ++k) {
    const Vec3 x{0.4 * unit(rng), 0.4 * unit(rng), 0.2 * unit(rng)};
    Vec2 obs[2] = {rig.observe(rig.left, x), rig.observe(rig.right, x)};
    for (Vec2& o : obs) {
      o[0] += 1e-4 * unit(rng);
      o[1] += 1e-4 * unit(rng);
    }
    std::array<double, 16> m{};
    for (int c = 0; c < 2; ++c) {
      const Extrinsic& e = matrices[c];
      double a[4];
      double b[4];
      for (int j = 0; j < 4; ++j) {
        a[j] = obs[c][0] * e[8 + j] - e[j];
        b[j] = obs[c][1] * e[8 + j] - e[4 + j];
      }
      for (int i = 0; i < 16; ++i) m[i] += a[i / 4] * a[i % 4] + b[i / 4] * b[i % 4];
    }
    out.push_back(m);
  }
  const double specials[] = {0.0,
                             -0.0,
                             1e-13,
                             1e-12,
                             std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -1e300};
  for (int k = 0; k < 800; ++k) {
    std::array<double, 16> m{};
    for (int i = 0; i < 4; ++i) {
      for (int j = i; j < 4; ++j) {
        double value = 10.0 * unit(rng);
        switch (k % 4) {
          case 0:
            value = std::round(value);
            break;
          case 1:
            value = i == j ? value : 1e-12 * value;
            break;
          case 2:
            if (unit(rng) > 0.7) value = specials[rng() % 7];
            break;
          default:
            break;
        }
        m[4 * i + j] = value;
        m[4 * j + i] = value;
      }
    }
    if (k % 8 == 3) m[rng() % 16] = 10.0 * unit(rng);  // no longer symmetric
    out.push_back(m);
  }
  return out;
}

TEST(JacobiTest, SingleAndInterleavedSolvesMatchThePlainSolverBitForBit) {
  const std::vector<std::array<double, 16>> inputs = solver_inputs();
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::array<double, 4> expected = plain_smallest_eigenvector(inputs[i]);
    EXPECT_TRUE(same_values(smallest_eigenvector_4x4(inputs[i]), expected)) << "matrix " << i;
    // Partner matrices from elsewhere in the list, so that the two
    // interleaved solves need different numbers of rotations.
    const std::size_t j = (7 * i + 3) % inputs.size();
    const auto both = smallest_eigenvectors_4x4(inputs[i], inputs[j]);
    EXPECT_TRUE(same_values(both[0], expected)) << "matrix " << i << " beside " << j;
    EXPECT_TRUE(same_values(both[1], plain_smallest_eigenvector(inputs[j])))
        << "matrix " << j << " beside " << i;
  }
}

TEST(JacobiTest, InterleavedSolveRunsOnAloneAfterItsPartnerStops) {
  // A NaN in the first pair never lets the scan stop, so that solve makes all
  // 64 rotations; the diagonal partner needs none.
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::array<double, 16> endless{4, nan, 1, 0, nan, 3, 0, 2, 1, 0, 2, 0, 0, 2, 0, 1};
  const std::array<double, 16> diagonal{3, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2};
  // A 2 × 2 problem inside, solved in a rotation or two.
  const std::array<double, 16> one_rotation{2, 1, 0, 0, 1, 2, 0, 0, 0, 0, 5, 0, 0, 0, 0, 7};
  const std::array<std::array<double, 16>, 3> inputs{endless, diagonal, one_rotation};
  for (const auto& a : inputs) {
    for (const auto& b : inputs) {
      const auto both = smallest_eigenvectors_4x4(a, b);
      EXPECT_TRUE(same_values(both[0], plain_smallest_eigenvector(a)));
      EXPECT_TRUE(same_values(both[1], plain_smallest_eigenvector(b)));
    }
  }
  const std::array<double, 4> e1{0, 1, 0, 0};
  EXPECT_EQ(smallest_eigenvectors_4x4(endless, diagonal)[1], e1);
}

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
  const Extrinsic above = camera_extrinsic_matrix(
      {1, 0, 0, 0, std::cos(0.2), -std::sin(0.2), 0, std::sin(0.2), std::cos(0.2)},
      {0.0, 0.3, 2.6});
  const Vec3 x{0.12, 0.07, -0.05};
  const Vec2 obs[3] = {rig.observe(rig.left, x), rig.observe(rig.right, x), rig.observe(above, x)};
  const Extrinsic matrices[3] = {rig.left, rig.right, above};
  const std::optional<Vec3> p = triangulate_dlt(obs, matrices, 3);
  ASSERT_TRUE(p.has_value());
  for (int i = 0; i < 3; ++i) EXPECT_NEAR((*p)[i], x[i], 1e-6);
}

TEST(TriangulationTest, PairOfTriangulationsMatchesSingleOnes) {
  const TwoViewRig rig;
  const Extrinsic above = camera_extrinsic_matrix(
      {1, 0, 0, 0, std::cos(0.2), -std::sin(0.2), 0, std::sin(0.2), std::cos(0.2)},
      {0.0, 0.3, 2.6});
  const Extrinsic matrices[3] = {rig.left, rig.right, above};
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Vec3 x{0.12, 0.07, -0.05};
  const Vec3 moved{0.125, 0.06, -0.04};
  const std::vector<std::array<Vec2, 3>> lists{
      {rig.observe(rig.left, x), rig.observe(rig.right, x), rig.observe(above, x)},
      {rig.observe(rig.left, moved), rig.observe(rig.right, moved), rig.observe(above, moved)},
      {Vec2{nan, 0.0}, rig.observe(rig.right, x), rig.observe(above, x)},
      // Observations of no common point.
      {Vec2{0.1, 0.0}, Vec2{-0.3, 0.2}, Vec2{0.0, 0.5}}};
  for (std::size_t n = 0; n <= 3; ++n) {
    for (const auto& a : lists) {
      for (const auto& b : lists) {
        const auto both = triangulate_dlt_pair(a.data(), b.data(), matrices, n);
        const std::optional<Vec3> single[2] = {triangulate_dlt(a.data(), matrices, n),
                                               triangulate_dlt(b.data(), matrices, n)};
        for (int k = 0; k < 2; ++k) {
          ASSERT_EQ(both[k].has_value(), single[k].has_value()) << n;
          if (single[k]) {
            EXPECT_TRUE(same_values(*both[k], *single[k]));
          }
        }
      }
    }
  }
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
