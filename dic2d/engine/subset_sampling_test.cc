#include "dic2d/engine/subset_sampling.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "dic2d/engine/literal_reference_test_util.h"
#include "dic2d/engine/spot_pattern_test_util.h"

namespace dic2d {
namespace {

using testing::literal_bilinear;
using testing::literal_gradient;
using testing::literal_pixel;
using testing::same_bits;

constexpr int kWidth = 48;
constexpr int kHeight = 41;

using Scene = testing::SpeckleScene;

const Scene& scene() {
  static const Scene s = testing::speckle_scene(kWidth, kHeight, 404u, 9u,
                                                [](double x, double y, double& px, double& py) {
                                                  px = x - 0.8 + 0.01 * (y - 20.0);
                                                  py = y + 1.3 - 0.02 * (x - 24.0);
                                                });
  return s;
}

// What a pass must give for one offset: nothing where the sample or the
// gradient fails, else (gx, gy, e) from the literal functions.
std::optional<std::array<double, 3>> literal_pass_entry(const ReferenceSubset& subset,
                                                        std::size_t k, const AffineParams& p) {
  const Scene& s = scene();
  const SubsetOffset o = subset.offsets[k];
  const double dx = o.dx;
  const double dy = o.dy;
  const double x = static_cast<double>(subset.cx + o.dx) + p.u + p.du_dx * dx + p.du_dy * dy;
  const double y = static_cast<double>(subset.cy + o.dy) + p.v + p.dv_dx * dx + p.dv_dy * dy;
  const auto value = literal_bilinear(s.deformed, x, y);
  const auto gradient = literal_gradient(s.deformed, x, y);
  if (!value || !gradient) return std::nullopt;
  return std::array<double, 3>{
      (*gradient)[0], (*gradient)[1],
      *value - literal_pixel(s.reference, subset.cx + o.dx, subset.cy + o.dy)};
}

// Warps that keep the subset inside, push part of it out on either side,
// or all of it, with and without gradients.
const std::vector<AffineParams>& warps() {
  static const std::vector<AffineParams> w = {
      {0.0, 0.0, 0, 0, 0, 0},
      {0.8, -1.3, 0, 0, 0, 0},
      {2.25, 0.5, 0, 0, 0, 0},
      {-17.6, 3.1, 0, 0, 0, 0},
      {6.5, 14.75, 0, 0, 0, 0},
      {100.0, 0.0, 0, 0, 0, 0},
      {0.8, -1.3, 0.02, -0.01, 0.015, 0.03},
      {-9.4, 8.8, -0.2, 0.1, 0.05, 0.3},
      {std::numeric_limits<double>::quiet_NaN(), 0, 0, 0, 0, 0}};
  return w;
}

// Runs `check` for subsets of several shapes (interior, clipped by the
// border, truncated by the mask's holes, odd and even sizes) with one
// reused set of samples.
template <typename Check>
void for_each_subset(Check check) {
  const Scene& s = scene();
  ReferenceSubset subset;
  SubsetSamples samples;
  const std::array<std::array<std::int32_t, 2>, 5> centres = {
      {{24, 20}, {3, 4}, {46, 38}, {30, 8}, {10, 33}}};
  for (const bool truncation : {false, true}) {
    for (const std::int32_t radius : {7, 2, 11, 1}) {
      DicParameters params;
      params.subset_radius = radius;
      params.subset_truncation = truncation;
      for (const auto& [cx, cy] : centres) {
        prepare_reference_subset(s.reference, s.mask, cx, cy, params, subset);
        for (const AffineParams& p : warps()) check(subset, p, samples);
      }
    }
  }
}

std::string where(const ReferenceSubset& subset, const AffineParams& p, std::size_t k) {
  return "centre (" + std::to_string(subset.cx) + ", " + std::to_string(subset.cy) + "), " +
         std::to_string(subset.offsets.size()) + " offsets, warp u " + std::to_string(p.u) + " v " +
         std::to_string(p.v) + ", offset " + std::to_string(k);
}

TEST(SampleAffineSubset, EveryOffsetMatchesTheLiteralSampleAndGradient) {
  const BilinearImage img = bilinear_image(scene().deformed);
  int usable = 0, unusable = 0;
  for_each_subset([&](const ReferenceSubset& subset, const AffineParams& p, SubsetSamples& out) {
    sample_affine_subset(subset, img, p, out);
    for (std::size_t k = 0; k < subset.offsets.size(); ++k) {
      const auto expected = literal_pass_entry(subset, k, p);
      ASSERT_EQ(out.usable[k] != 0, expected.has_value()) << where(subset, p, k);
      if (!expected) {
        ++unusable;
        continue;
      }
      ++usable;
      EXPECT_TRUE(same_bits(out.gradient[2 * k], (*expected)[0])) << where(subset, p, k);
      EXPECT_TRUE(same_bits(out.gradient[2 * k + 1], (*expected)[1])) << where(subset, p, k);
      EXPECT_TRUE(same_bits(out.residual[2 * k], (*expected)[2])) << where(subset, p, k);
      EXPECT_TRUE(same_bits(out.residual[2 * k + 1], (*expected)[2])) << where(subset, p, k);
    }
  });
  EXPECT_GT(usable, 10000);
  EXPECT_GT(unusable, 1000);
}

TEST(VisitTranslatedSubset, VisitsTheUsableOffsetsInOrderWithLiteralValues) {
  const BilinearImage img = bilinear_image(scene().deformed);
  int visited = 0;
  for_each_subset([&](const ReferenceSubset& subset, const AffineParams& warp, SubsetSamples& out) {
    const AffineParams p{warp.u, warp.v, 0, 0, 0, 0};
    std::vector<std::array<double, 3>> expected;
    for (std::size_t k = 0; k < subset.offsets.size(); ++k) {
      if (const auto entry = literal_pass_entry(subset, k, p)) expected.push_back(*entry);
    }
    prepare_translation_cells(subset, img, p.u, p.v, out.translation);
    std::vector<std::array<double, 3>> seen;
    visit_translated_subset(subset, img, out.translation,
                            [&](double gx, double gy, double e) { seen.push_back({gx, gy, e}); });
    ASSERT_EQ(seen.size(), expected.size()) << where(subset, p, 0);
    for (std::size_t i = 0; i < seen.size(); ++i) {
      for (int j = 0; j < 3; ++j) {
        EXPECT_TRUE(same_bits(seen[i][j], expected[i][j])) << where(subset, p, i) << " value " << j;
      }
    }
    visited += static_cast<int>(seen.size());
  });
  EXPECT_GT(visited, 5000);
}

// The values and flags of a warped-values pass against the literal sample
// at (x(k), y(k)); the count of usable offsets returned.
template <typename Position>
void expect_values(const ReferenceSubset& subset, const SubsetSamples& out, std::size_t usable,
                   const AffineParams& p, Position position, int& sample_only) {
  const Scene& s = scene();
  std::size_t expected_usable = 0;
  for (std::size_t k = 0; k < subset.offsets.size(); ++k) {
    double x = 0.0, y = 0.0;
    position(subset.offsets[k], x, y);
    const auto expected = literal_bilinear(s.deformed, x, y);
    ASSERT_EQ(out.usable[k] != 0, expected.has_value()) << where(subset, p, k);
    if (!expected) continue;
    ++expected_usable;
    EXPECT_TRUE(same_bits(out.value[k], *expected)) << where(subset, p, k);
    if (!literal_gradient(s.deformed, x, y)) ++sample_only;
  }
  EXPECT_EQ(usable, expected_usable) << where(subset, p, 0);
}

TEST(SampleWarpedValues, NeedOnlyTheSampleNotTheGradient) {
  const BilinearImage img = bilinear_image(scene().deformed);
  int sample_only = 0;
  for_each_subset([&](const ReferenceSubset& subset, const AffineParams& p, SubsetSamples& out) {
    const std::size_t usable = sample_warped_values(subset, img, p, out);
    expect_values(
        subset, out, usable, p,
        [&](SubsetOffset o, double& x, double& y) {
          x = static_cast<double>(subset.cx + o.dx) + p.u + p.du_dx * o.dx + p.du_dy * o.dy;
          y = static_cast<double>(subset.cy + o.dy) + p.v + p.dv_dx * o.dx + p.dv_dy * o.dy;
        },
        sample_only);
  });
  EXPECT_GT(sample_only, 100);  // border pixels with a sample but no gradient
}

TEST(SampleTranslatedValues, SampleAtThePixelPlusTheDisplacement) {
  const BilinearImage img = bilinear_image(scene().deformed);
  int sample_only = 0;
  for_each_subset([&](const ReferenceSubset& subset, const AffineParams& p, SubsetSamples& out) {
    const std::size_t usable = sample_translated_values(subset, img, p.u, p.v, out);
    expect_values(
        subset, out, usable, p,
        [&](SubsetOffset o, double& x, double& y) {
          x = static_cast<double>(subset.cx + o.dx) + p.u;
          y = static_cast<double>(subset.cy + o.dy) + p.v;
        },
        sample_only);
  });
  EXPECT_GT(sample_only, 100);
}

}  // namespace
}  // namespace dic2d
