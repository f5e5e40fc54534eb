#include "dic2d/engine/run_dic2d.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "dic2d/engine/spot_pattern_test_util.h"

namespace dic2d {
namespace {

using testing_util::full_mask;
using testing_util::make_spots;
using testing_util::render;
using testing_util::render_reference;

constexpr int kSize = 160;

DicParameters small_params() {
  DicParameters p;
  p.subset_radius = 15;
  p.subset_spacing = 5;
  p.seed_search_radius = 10;
  p.roi_min_region_area = 100;
  return p;
}

SeedInput seed_at(double x, double y) {
  SeedInput s;
  s.seed_x = x;
  s.seed_y = y;
  return s;
}

std::int64_t count_valid(const DicResult& r) {
  std::int64_t n = 0;
  for (auto v : r.fields.valid) n += v;
  return n;
}

// Grid points whose subset, displaced, stays well inside both images.
bool interior(const Point2& p, double margin) {
  return p[0] >= margin && p[1] >= margin && p[0] <= kSize - 1 - margin &&
         p[1] <= kSize - 1 - margin;
}

TEST(RunDic2dTest, IdenticalImagesGiveZeroFieldAndUnitCoefficient) {
  const auto spots = make_spots(kSize, kSize, 11);
  const GrayImage ref = render_reference(kSize, kSize, spots);
  const RoiMask mask = full_mask(kSize, kSize, 15);
  const DicResult r = run_dic2d(ref, ref, mask, seed_at(78, 78), small_params());
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.message, kDicSuccessMessage);
  ASSERT_GT(count_valid(r), 100);
  for (std::size_t i = 0; i < r.fields.valid.size(); ++i) {
    if (!r.fields.valid[i]) continue;
    EXPECT_NEAR(r.fields.u[i], 0.0, 1e-9);
    EXPECT_NEAR(r.fields.v[i], 0.0, 1e-9);
    EXPECT_NEAR(r.fields.du_dx[i], 0.0, 1e-9);
    EXPECT_NEAR(r.fields.dv_dy[i], 0.0, 1e-9);
    EXPECT_NEAR(r.fields.corrcoef[i], 1.0, 1e-9);
  }
}

struct FieldCase {
  const char* name;
  double u0, v0, ux, uy, vx, vy;
  double rms_limit, gradient_limit;
};

class RunDic2dFieldTest : public ::testing::TestWithParam<FieldCase> {};

TEST_P(RunDic2dFieldTest, RecoversDisplacementField) {
  const FieldCase c = GetParam();
  const auto spots = make_spots(kSize, kSize, 23);
  const GrayImage ref = render_reference(kSize, kSize, spots);
  // Forward map x' = x + u0 + ux (x - 80) + uy (y - 80); invert the affine.
  const double a = 1 + c.ux, b = c.uy, cc = c.vx, d = 1 + c.vy;
  const double det = a * d - b * cc;
  const GrayImage def =
      render(kSize, kSize, spots, [&](double x, double y, double& px, double& py) {
        const double rx = x - 80 - c.u0, ry = y - 80 - c.v0;
        px = 80 + (d * rx - b * ry) / det;
        py = 80 + (-cc * rx + a * ry) / det;
      });
  const RoiMask mask = full_mask(kSize, kSize, 15);
  const DicResult r = run_dic2d(ref, def, mask, seed_at(78, 78), small_params());
  ASSERT_TRUE(r.ok);
  double su = 0, sv = 0;
  double sg[4] = {0, 0, 0, 0};
  std::int64_t n = 0;
  for (std::size_t i = 0; i < r.fields.valid.size(); ++i) {
    const Point2& p = r.reference_grid_points[i];
    if (!interior(p, 25)) continue;
    ASSERT_EQ(r.fields.valid[i], 1) << p[0] << "," << p[1];
    const double eu = r.fields.u[i] - (c.u0 + c.ux * (p[0] - 80) + c.uy * (p[1] - 80));
    const double ev = r.fields.v[i] - (c.v0 + c.vx * (p[0] - 80) + c.vy * (p[1] - 80));
    su += eu * eu;
    sv += ev * ev;
    ++n;
    const double g[4] = {r.fields.du_dx[i] - c.ux, r.fields.du_dy[i] - c.uy,
                         r.fields.dv_dx[i] - c.vx, r.fields.dv_dy[i] - c.vy};
    for (int k = 0; k < 4; ++k) sg[k] += g[k] * g[k];
  }
  ASSERT_GT(n, 200);
  EXPECT_LT(std::sqrt(su / n), c.rms_limit);
  EXPECT_LT(std::sqrt(sv / n), c.rms_limit);
  for (int k = 0; k < 4; ++k) EXPECT_LT(std::sqrt(sg[k] / n), c.gradient_limit) << k;
}

INSTANTIATE_TEST_SUITE_P(
    Fields, RunDic2dFieldTest,
    ::testing::Values(FieldCase{"translation", 3.3, -1.7, 0, 0, 0, 0, 0.02, 2e-3},
                      FieldCase{"affine", 1.4, 0.6, 0.01, -0.008, 0.006, -0.012, 0.03, 2e-3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RunDic2dTest, SeedSearchFindsDisplacementBeyondPropagationReach) {
  const auto spots = make_spots(kSize, kSize, 5);
  const GrayImage ref = render_reference(kSize, kSize, spots);
  const GrayImage def = render(kSize, kSize, spots, [](double x, double y, double& px, double& py) {
    px = x - 30.0;
    py = y;
  });
  DicParameters p = small_params();
  p.seed_search_radius = 40;
  const RoiMask mask = full_mask(kSize, kSize, 15);
  const DicResult r = run_dic2d(ref, def, mask, seed_at(54, 78), p);
  ASSERT_TRUE(r.seed);
  EXPECT_NEAR(r.seed->params.u, 30.0, 0.02);
  EXPECT_NEAR(r.seed->params.v, 0.0, 0.02);
}

TEST(RunDic2dTest, CutoffAboveOneLeavesOnlyTheSeed) {
  const auto spots = make_spots(kSize, kSize, 7);
  const GrayImage ref = render_reference(kSize, kSize, spots);
  DicParameters p = small_params();
  p.cutoff_corrcoef = 1.5;
  const DicResult r = run_dic2d(ref, ref, full_mask(kSize, kSize, 15), seed_at(78, 78), p);
  EXPECT_EQ(count_valid(r), 1);
}

TEST(RunDic2dTest, OnlyTheSeedBlobIsSolved) {
  const auto spots = make_spots(kSize, kSize, 9);
  const GrayImage ref = render_reference(kSize, kSize, spots);
  RoiMask mask = full_mask(kSize, kSize, kSize);  // empty
  auto fill = [&](int x0, int y0) {
    for (int x = x0; x < x0 + 30; ++x)
      for (int y = y0; y < y0 + 30; ++y) mask.values[std::size_t(x) * kSize + y] = 1;
  };
  fill(15, 15);
  fill(110, 110);
  const DicResult r = run_dic2d(ref, ref, mask, seed_at(30, 30), small_params());
  ASSERT_TRUE(r.ok);
  std::int64_t far_points = 0;
  for (std::size_t i = 0; i < r.fields.valid.size(); ++i) {
    if (r.reference_grid_points[i][0] >= 100) {
      ++far_points;
      EXPECT_EQ(r.fields.valid[i], 0);
    }
  }
  EXPECT_GT(far_points, 0);
  EXPECT_GT(count_valid(r), 1);
}

TEST(RunDic2dTest, HugeSearchRadiiStayBoundedAndAgree) {
  // Regression: window bounds overflowed 32 bits and the propagation search
  // walked (2L+1)^2 displacements; both radii at INT32_MAX must finish.
  const int size = 96;
  const auto spots = make_spots(size, size, 3);
  const GrayImage ref = render_reference(size, size, spots);
  const GrayImage def = render(size, size, spots, [](double x, double y, double& px, double& py) {
    px = x - 0.4;
    py = y + 0.3;
  });
  const RoiMask mask = full_mask(size, size, 12);
  DicParameters p = small_params();
  p.subset_radius = 10;
  p.seed_search_radius = std::numeric_limits<std::int32_t>::max();
  p.rg_search_radius = std::numeric_limits<std::int32_t>::max();
  const DicResult r = run_dic2d(ref, def, mask, seed_at(48, 48), p);
  ASSERT_TRUE(r.ok);
  ASSERT_TRUE(r.seed);
  EXPECT_NEAR(r.seed->params.u, 0.4, 0.05);
  EXPECT_NEAR(r.seed->params.v, -0.3, 0.05);
  EXPECT_GT(count_valid(r), 10);
}

}  // namespace
}  // namespace dic2d
