// The pair and the track reconstruction on a two-camera rig whose DIC fields
// move every pixel by one pixel to the right.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "vostrel/reconstruction/pair_reconstruction.h"
#include "vostrel/reconstruction/track_reconstruction.h"

namespace vostrel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Cameras looking down +z from x = -0.5 and x = +0.5 (t = -centre), 5 units
// from the plane z = 0; fx = fy = 100, principal point (50, 50). The origin
// is seen at (60, 50) in camera 0 and (40, 50) in camera 1; displaced by one
// pixel to the right in both, it triangulates to (0.05, 0, 0).
struct Rig {
  static constexpr int kH = 11;
  static constexpr int kW = 11;
  std::array<double, 18> K{100, 0, 50, 0, 100, 50, 0, 0, 1, 100, 0, 50, 0, 100, 50, 0, 0, 1};
  std::array<double, 10> dist{};  // (2, 2) for "radial2", (2, 5) for "opencv"
  std::array<double, 18> R{1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 0, 0, 1, 0, 0, 0, 1};
  std::array<double, 6> t{0.5, 0, 5, -0.5, 0, 5};
  std::vector<double> u = std::vector<double>(2 * kH * kW, 1.0);
  std::vector<double> v = std::vector<double>(2 * kH * kW, 0.0);
  std::vector<double> cc = std::vector<double>(2 * kH * kW, 0.95);
  std::vector<unsigned char> ok = std::vector<unsigned char>(2 * kH * kW, 1);
  std::vector<std::int64_t> ids;
  std::vector<std::int32_t> cams;
  std::vector<double> uv;

  std::array<std::ptrdiff_t, 3> mat_shape{2, 3, 3}, mat_strides{72, 24, 8};
  std::array<std::ptrdiff_t, 2> dist_shape{2, 2}, dist_strides{16, 8};
  std::array<std::ptrdiff_t, 2> t_shape{2, 3}, t_strides{24, 8};
  std::array<std::ptrdiff_t, 3> grid_shape{2, kH, kW};
  std::array<std::ptrdiff_t, 3> grid_strides{kH * kW * 8, kW * 8, 8};
  std::array<std::ptrdiff_t, 3> flag_strides{kH * kW, kW, 1};
  std::array<std::ptrdiff_t, 1> obs_shape{0}, id_strides{8}, cam_strides{4};
  std::array<std::ptrdiff_t, 2> uv_shape{0, 2}, uv_strides{16, 8};

  void observe(std::int64_t id, std::int32_t cam, double x, double y) {
    ids.push_back(id);
    cams.push_back(cam);
    uv.push_back(x);
    uv.push_back(y);
  }

  Observations observations(DistortionModel model = DistortionModel::kRadial2) {
    obs_shape[0] = static_cast<std::ptrdiff_t>(ids.size());
    uv_shape[0] = obs_shape[0];
    return Observations(ObservationArrays{{K.data(), 3, mat_shape.data(), mat_strides.data()},
                                          {dist.data(), 2, dist_shape.data(), dist_strides.data()},
                                          {R.data(), 3, mat_shape.data(), mat_strides.data()},
                                          {t.data(), 2, t_shape.data(), t_strides.data()},
                                          {ids.data(), 1, obs_shape.data(), id_strides.data()},
                                          {cams.data(), 1, obs_shape.data(), cam_strides.data()},
                                          {uv.data(), 2, uv_shape.data(), uv_strides.data()}},
                        model);
  }

  DicFieldArrays fields() const {
    return {{u.data(), 3, grid_shape.data(), grid_strides.data()},
            {v.data(), 3, grid_shape.data(), grid_strides.data()},
            {cc.data(), 3, grid_shape.data(), grid_strides.data()},
            {ok.data(), 3, grid_shape.data(), flag_strides.data()},
            kH,
            kW,
            9};
  }
};

void expect_near(const Vec3& a, const Vec3& b) {
  for (std::size_t k = 0; k < 3; ++k) EXPECT_NEAR(a[k], b[k], 1e-12) << k;
}

TEST(PairReconstruction, PointsSeenByBothCamerasComeBackInIdentifierOrder) {
  Rig rig;
  rig.observe(4, 0, 60, 50);
  rig.observe(9, 0, 60, 50);  // cam_b never sees 9: no row
  rig.observe(-2, 0, 10, 10);
  rig.observe(4, 1, 40, 50);
  rig.observe(-2, 1, 40, 50);
  rig.observe(-2, 0, 60, 50);  // the later observation in camera 0 wins
  const std::vector<PairPoint> rows =
      reconstruct_pair_points(rig.observations(), rig.fields(), {0, 1, 0.5, 1.0});
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].id, -2);
  EXPECT_EQ(rows[1].id, 4);
  for (const PairPoint& p : rows) {
    EXPECT_EQ(p.uv_a, (Vec2{60, 50}));
    EXPECT_EQ(p.def_b, (Vec2{41, 50}));
    expect_near(p.x_ref, {0, 0, 0});
    expect_near(p.x_def, {0.05, 0, 0});
    EXPECT_EQ(p.corr_comb, 0.95);
    EXPECT_LT(p.err_ref, 1e-9);
    EXPECT_LT(p.err_def, 1e-9);
    EXPECT_TRUE(p.valid);
  }
}

TEST(PairReconstruction, UnusableSamplesDropThePointAndThresholdsOnlyFlagIt) {
  Rig rig;
  rig.observe(1, 0, 60, 50);
  rig.observe(1, 1, 40, 50);
  rig.observe(2, 0, 60, 50);
  rig.observe(2, 1, 500, 50);          // beyond half a step past the grid
  rig.cc[0 * 121 + 5 * 11 + 6] = 0.2;  // camera 0, node (5, 6) at pixel (60, 50)
  const std::vector<PairPoint> strict =
      reconstruct_pair_points(rig.observations(), rig.fields(), {0, 1, 0.5, 1.0});
  // Node (5, 6) is too poor for the bilinear branch and is the nearest node.
  EXPECT_TRUE(strict.empty());
  const std::vector<PairPoint> loose =
      reconstruct_pair_points(rig.observations(), rig.fields(), {0, 1, 0.1, 1.0});
  ASSERT_EQ(loose.size(), 1u);
  EXPECT_EQ(loose[0].corr_comb, 0.2);
  rig.cc.assign(rig.cc.size(), 0.95);
  const std::vector<PairPoint> no_error_allowed =
      reconstruct_pair_points(rig.observations(), rig.fields(), {0, 1, 0.5, -1.0});
  ASSERT_EQ(no_error_allowed.size(), 1u);
  EXPECT_FALSE(no_error_allowed[0].valid);
  expect_near(no_error_allowed[0].x_def, {0.05, 0, 0});
}

TEST(PairReconstruction, NoObservationPairNeverLooksAtTheFields) {
  Rig rig;
  rig.observe(1, 0, 60, 50);
  DicFieldArrays broken = rig.fields();
  broken.u.ndim = 2;
  EXPECT_TRUE(reconstruct_pair_points(rig.observations(), broken, {0, 1, 0.5, 1.0}).empty());
  rig.observe(1, 1, 40, 50);
  EXPECT_THROW(reconstruct_pair_points(rig.observations(), broken, {0, 1, 0.5, 1.0}),
               std::domain_error);
}

TEST(TrackReconstruction, EveryIdentifierHasARecordUsableOrNot) {
  Rig rig;
  rig.observe(7, 0, 60, 50);
  rig.observe(3, 0, 60, 50);
  rig.observe(7, 1, 40, 50);
  rig.observe(3, 1, 500, 50);  // no usable sample: one view left
  rig.observe(7, 1, 40, 50);   // a second view of camera 1 counts too
  const std::vector<TrackPoint> rows =
      reconstruct_track_points(rig.observations(), rig.fields(), {1, 0.5, 1.0});
  ASSERT_EQ(rows.size(), 2u);
  const TrackPoint& lonely = rows[0];
  EXPECT_EQ(lonely.id, 3);
  EXPECT_EQ(lonely.num_views, 1);
  EXPECT_EQ(lonely.mean_corrcoef, 0.95);
  EXPECT_EQ(lonely.err_ref, kInf);
  EXPECT_EQ(lonely.err_def, kInf);
  EXPECT_FALSE(lonely.valid);
  EXPECT_EQ(lonely.x_ref, (Vec3{0, 0, 0}));
  const TrackPoint& seen = rows[1];
  EXPECT_EQ(seen.id, 7);
  EXPECT_EQ(seen.num_views, 3);
  EXPECT_TRUE(seen.valid);
  expect_near(seen.x_ref, {0, 0, 0});
  expect_near(seen.x_def, {0.05, 0, 0});
}

TEST(TrackReconstruction, PointsFailingAThresholdKeepErrorsButNotPositions) {
  Rig rig;
  rig.observe(7, 0, 60, 50);
  rig.observe(7, 1, 40, 50);
  const std::vector<TrackPoint> too_few =
      reconstruct_track_points(rig.observations(), rig.fields(), {3, 0.5, 1.0});
  ASSERT_EQ(too_few.size(), 1u);
  EXPECT_EQ(too_few[0].err_ref, kInf);
  EXPECT_FALSE(too_few[0].valid);
  const std::vector<TrackPoint> strict =
      reconstruct_track_points(rig.observations(), rig.fields(), {2, 0.5, -1.0});
  ASSERT_EQ(strict.size(), 1u);
  EXPECT_FALSE(strict[0].valid);
  EXPECT_LT(strict[0].err_ref, 1e-9);
  EXPECT_EQ(strict[0].x_def, (Vec3{0, 0, 0}));
}

// The rig with OpenCV's model: camera 1 has k1 = -0.5 at fx = 100, so it
// cannot undistort pixels more than 54.4 px from its principal point.
void use_opencv_model(Rig& rig) {
  rig.dist = {0, 0, 0, 0, 0, -0.5, 0, 0, 0, 0};
  rig.dist_shape = {2, 5};
  rig.dist_strides = {40, 8};
}

TEST(PairReconstruction, APixelTheLensCannotUndistortDropsThePoint) {
  Rig rig;
  use_opencv_model(rig);
  rig.observe(1, 0, 60, 50);
  rig.observe(1, 1, 40, 50);  // 10 px from the centre
  rig.observe(2, 0, 60, 50);
  rig.observe(2, 1, 100, 50);  // 50 px: undistorts
  rig.observe(3, 0, 60, 50);
  rig.observe(3, 1, 50, 100);  // 50 px, but displaced to (51, 100): still inside
  rig.observe(4, 0, 60, 50);
  rig.observe(4, 1, 104, 50);  // 54 px, displaced to 55 px: past the fold
  const std::vector<PairPoint> rows = reconstruct_pair_points(
      rig.observations(DistortionModel::kOpenCv), rig.fields(), {0, 1, 0.5, 1e9});
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].id, 1);
  EXPECT_EQ(rows[1].id, 2);
  EXPECT_EQ(rows[2].id, 3);
}

TEST(TrackReconstruction, AViewTheLensCannotUndistortIsNotUsed) {
  Rig rig;
  use_opencv_model(rig);
  rig.observe(5, 0, 60, 50);
  rig.observe(5, 1, 40, 50);
  rig.observe(5, 1, 2, 50);   // 48 px, displaced to 47 px: used
  rig.observe(5, 1, 100, 0);  // 70 px: not used, its coefficient not counted
  rig.cc[121 + 0 * 11 + 10] = 0.5;
  const std::vector<TrackPoint> rows = reconstruct_track_points(
      rig.observations(DistortionModel::kOpenCv), rig.fields(), {2, 0.5, 1e9});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].num_views, 3);
  EXPECT_NEAR(rows[0].mean_corrcoef, 0.95, 1e-12);
  EXPECT_TRUE(rows[0].valid);
}

}  // namespace
}  // namespace vostrel
