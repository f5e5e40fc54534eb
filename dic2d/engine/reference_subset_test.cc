#include "dic2d/engine/reference_subset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "dic2d/engine/correlation.h"
#include "dic2d/engine/literal_reference_test_util.h"
#include "dic2d/engine/spot_pattern_test_util.h"

namespace dic2d {
namespace {

using testing::literal_offsets;
using testing::literal_pixel;
using testing::same_bits;

constexpr int kWidth = 40;
constexpr int kHeight = 33;

// Every field of `subset` against a literal reading of the reference image
// at the offsets of the literal subset.
void expect_prepared(const ReferenceSubset& subset, const GrayImage& reference, const RoiMask& mask,
                     std::int32_t cx, std::int32_t cy, const DicParameters& params,
                     const std::string& where) {
  const auto offsets =
      literal_offsets(mask, cx, cy, params.subset_radius, params.subset_truncation);
  const std::size_t n = offsets.size();
  ASSERT_EQ(subset.offsets.size(), n) << where;
  EXPECT_EQ(subset.cx, cx);
  EXPECT_EQ(subset.cy, cy);
  for (const auto* field : {&subset.offset_x, &subset.offset_y, &subset.pixel_x, &subset.pixel_y,
                            &subset.values, &subset.centred}) {
    ASSERT_EQ(field->size(), n) << where;
  }
  ASSERT_EQ(subset.offset_xx.size(), 2 * n);
  ASSERT_EQ(subset.pixel_index.size(), n);
  ASSERT_EQ(subset.column.size(), n);
  ASSERT_EQ(subset.row.size(), n);
  EXPECT_EQ(subset.index_height, reference.height);
  double sum = 0.0;
  std::int32_t dx_min = 0, dx_max = 0, dy_min = 0, dy_max = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const SubsetOffset o = offsets[k];
    ASSERT_EQ(subset.offsets[k].dx, o.dx) << where << " offset " << k;
    ASSERT_EQ(subset.offsets[k].dy, o.dy) << where << " offset " << k;
    EXPECT_EQ(subset.offset_x[k], o.dx);
    EXPECT_EQ(subset.offset_xx[2 * k], o.dx);
    EXPECT_EQ(subset.offset_xx[2 * k + 1], o.dx);
    EXPECT_EQ(subset.offset_yy[2 * k + 1], o.dy);
    EXPECT_EQ(subset.pixel_x[k], cx + o.dx);
    EXPECT_EQ(subset.pixel_y[k], cy + o.dy);
    EXPECT_EQ(subset.pixel_index[k], std::int64_t{cx + o.dx} * reference.height + (cy + o.dy));
    EXPECT_TRUE(same_bits(subset.values[k], literal_pixel(reference, cx + o.dx, cy + o.dy)));
    sum += literal_pixel(reference, cx + o.dx, cy + o.dy);
    dx_min = k == 0 ? o.dx : std::min(dx_min, o.dx);
    dx_max = k == 0 ? o.dx : std::max(dx_max, o.dx);
    dy_min = k == 0 ? o.dy : std::min(dy_min, o.dy);
    dy_max = k == 0 ? o.dy : std::max(dy_max, o.dy);
  }
  if (n == 0) return;
  EXPECT_EQ(subset.dx_min, dx_min) << where;
  EXPECT_EQ(subset.dx_max, dx_max) << where;
  EXPECT_EQ(subset.dy_min, dy_min) << where;
  EXPECT_EQ(subset.dy_max, dy_max) << where;
  const double mean = sum / static_cast<double>(n);
  EXPECT_TRUE(same_bits(subset.mean, mean)) << where;
  double srr = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    EXPECT_EQ(subset.column[k], offsets[k].dx - dx_min);
    EXPECT_EQ(subset.row[k], offsets[k].dy - dy_min);
    const double centred = subset.values[k] - mean;
    EXPECT_TRUE(same_bits(subset.centred[k], centred));
    srr += centred * centred;
  }
  EXPECT_TRUE(same_bits(subset.srr, srr)) << where;
}

TEST(PrepareReferenceSubset, MatchesALiteralReadingWhileStorageIsReused) {
  const auto spots = testing_util::make_spots(kWidth, kHeight, 71u);
  const GrayImage reference = testing_util::render_reference(kWidth, kHeight, spots);
  const RoiMask mask = testing::holed_mask(kWidth, kHeight, 5u);
  // One subset for every call: radii grow and shrink, centres sit inside, on
  // the borders and in the corners, so clipped and truncated discs occur.
  ReferenceSubset subset;
  const std::array<std::array<std::int32_t, 2>, 5> centres = {
      {{20, 16}, {0, 0}, {39, 32}, {23, 7}, {2, 30}}};
  for (const bool truncation : {false, true}) {
    for (const std::int32_t radius : {6, 1, 12, 0, 3}) {
      DicParameters params;
      params.subset_radius = radius;
      params.subset_truncation = truncation;
      for (const auto& [cx, cy] : centres) {
        prepare_reference_subset(reference, mask, cx, cy, params, subset);
        expect_prepared(subset, reference, mask, cx, cy, params,
                        "centre (" + std::to_string(cx) + ", " + std::to_string(cy) + ") radius " +
                            std::to_string(radius) + (truncation ? " truncated" : ""));
      }
    }
  }
}

TEST(PrepareReferenceSubset, ReusedFullDiscMatchesAFreshPreparation) {
  // Consecutive interior centres with the same radius reuse the disc; a
  // clipped disc, a new radius or truncation (mask holes) must rebuild it.
  const auto spots = testing_util::make_spots(kWidth, kHeight, 72u);
  const GrayImage reference = testing_util::render_reference(kWidth, kHeight, spots);
  const RoiMask mask = testing::holed_mask(kWidth, kHeight, 6u);
  struct Step {
    std::int32_t cx, cy, radius;
    bool truncation;
  };
  const std::array<Step, 8> steps = {{{20, 16, 6, false},
                                      {21, 18, 6, false},
                                      {3, 16, 6, false},
                                      {14, 9, 6, false},
                                      {25, 20, 6, false},
                                      {25, 20, 7, false},
                                      {20, 16, 7, true},
                                      {19, 15, 7, false}}};
  ReferenceSubset subset;
  for (const Step& step : steps) {
    DicParameters params;
    params.subset_radius = step.radius;
    params.subset_truncation = step.truncation;
    prepare_reference_subset(reference, mask, step.cx, step.cy, params, subset);
    const std::string where = "centre (" + std::to_string(step.cx) + ", " +
                              std::to_string(step.cy) + ") radius " + std::to_string(step.radius) +
                              (step.truncation ? " truncated" : "");
    expect_prepared(subset, reference, mask, step.cx, step.cy, params, where);
    ReferenceSubset fresh;
    prepare_reference_subset(reference, mask, step.cx, step.cy, params, fresh);
    EXPECT_EQ(subset.column, fresh.column) << where;
    EXPECT_EQ(subset.row, fresh.row) << where;
    EXPECT_EQ(subset.offset_xx, fresh.offset_xx) << where;
    EXPECT_EQ(subset.pixel_index, fresh.pixel_index) << where;
    EXPECT_EQ(std::make_tuple(subset.dx_min, subset.dx_max, subset.dy_min, subset.dy_max),
              std::make_tuple(fresh.dx_min, fresh.dx_max, fresh.dy_min, fresh.dy_max))
        << where;
    EXPECT_TRUE(same_bits(subset.srr, fresh.srr)) << where;
  }
}

TEST(PrepareReferenceSubset, EmptySubsetHasNoStatistics) {
  const GrayImage reference = testing::filled_image(10, 10, 0.5);
  RoiMask mask = testing::holed_mask(10, 10, 1u);
  std::fill(mask.values.begin(), mask.values.end(), 0);
  DicParameters params;
  params.subset_radius = 3;
  params.subset_truncation = true;
  ReferenceSubset subset;
  prepare_reference_subset(reference, mask, 5, 5, params, subset);
  EXPECT_TRUE(subset.offsets.empty());
  EXPECT_TRUE(subset.values.empty());
  EXPECT_EQ(subset.mean, 0.0);
  EXPECT_EQ(subset.srr, 0.0);
}

TEST(PrepareReferenceSubset, FlatReferenceFallsUnderTheVarianceFloor) {
  const GrayImage reference = testing::filled_image(20, 20, 0.3);
  const RoiMask mask = testing::holed_mask(20, 20, 2u);
  DicParameters params;
  params.subset_radius = 4;
  ReferenceSubset subset;
  prepare_reference_subset(reference, mask, 10, 10, params, subset);
  ASSERT_EQ(subset.offsets.size(), 49u);  // disc of radius 4
  // The mean of 49 times 0.3 is not 0.3 exactly: what remains is rounding,
  // far under the floor every coefficient applies.
  EXPECT_LE(subset.srr, kVarianceFloor);
  for (const double c : subset.centred) EXPECT_LE(std::abs(c), 1e-15);
}

}  // namespace
}  // namespace dic2d
