#include "dic2d/roi/reduced_grid.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

namespace dic2d {
namespace {

RoiMask full_mask(std::int32_t width, std::int32_t height) {
  RoiMask mask;
  mask.width = width;
  mask.height = height;
  mask.values.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 1);
  return mask;
}

DicParameters grid_params(std::int32_t radius, std::int32_t spacing, bool truncation) {
  DicParameters params;
  params.subset_radius = radius;
  params.subset_spacing = spacing;
  params.subset_truncation = truncation;
  return params;
}

TEST(ListReferenceGridPoints, KeepsTheSubsetMarginInXMajorOrder) {
  const auto points = list_reference_grid_points(full_mask(100, 80), grid_params(20, 4, false));
  ASSERT_EQ(points.size(), 96u);  // x in 20..75, y in 20..55, step 5
  EXPECT_EQ(points.front(), (Point2{20, 20}));
  EXPECT_EQ(points[1], (Point2{20, 25}));
  EXPECT_EQ(points.back(), (Point2{75, 55}));
}

TEST(ListReferenceGridPoints, TruncationUsesEveryGridPositionInTheRoi) {
  const auto points = list_reference_grid_points(full_mask(100, 80), grid_params(20, 4, true));
  ASSERT_EQ(points.size(), 320u);
  EXPECT_EQ(points.front(), (Point2{0, 0}));
  EXPECT_EQ(points.back(), (Point2{95, 75}));
}

TEST(ListReferenceGridPoints, MarginIsInclusiveOnTheLeftAndExclusiveOnTheRight) {
  // Width 41, radius 20, step 1: only x = 20 satisfies 20 <= x < 21.
  const auto points = list_reference_grid_points(full_mask(41, 41), grid_params(20, 0, false));
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0], (Point2{20, 20}));
}

TEST(ListReferenceGridPoints, MaskBetweenGridPositionsGivesNoPoint) {
  RoiMask mask = full_mask(30, 30);
  for (std::int32_t x = 0; x < 30; ++x) {
    for (std::int32_t y = 0; y < 30; ++y) mask.values[x * 30 + y] = (x % 2 == 1) ? 1 : 0;
  }
  EXPECT_TRUE(list_reference_grid_points(mask, grid_params(10, 1, true)).empty());
}

TEST(ListReferenceGridPoints, RejectsASpacingWhosePitchOverflows) {
  for (const std::int32_t spacing : {-1, std::numeric_limits<std::int32_t>::max()}) {
    EXPECT_THROW(
        {
          try {
            list_reference_grid_points(full_mask(10, 10), grid_params(10, spacing, false));
          } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "subset_spacing must be non-negative.");
            throw;
          }
        },
        std::invalid_argument);
  }
}

TEST(BuildSubsetOffsets, FullDiscOfRadiusTwentyInOffsetOrder) {
  const auto offsets = build_subset_offsets(full_mask(100, 100), 50, 50, grid_params(20, 4, false));
  ASSERT_EQ(offsets.size(), 1257u);
  EXPECT_EQ(offsets.front().dx, -20);
  EXPECT_EQ(offsets.front().dy, 0);
  EXPECT_EQ(offsets.back().dx, 20);
  EXPECT_EQ(offsets.back().dy, 0);
  // dx ascending, then dy ascending, and every offset inside the disc.
  for (std::size_t k = 1; k < offsets.size(); ++k) {
    const auto& a = offsets[k - 1];
    const auto& b = offsets[k];
    EXPECT_TRUE(a.dx < b.dx || (a.dx == b.dx && a.dy < b.dy)) << k;
    EXPECT_LE(b.dx * b.dx + b.dy * b.dy, 400);
  }
}

TEST(BuildSubsetOffsets, CornerCentreKeepsTheQuarterDisc) {
  const auto offsets = build_subset_offsets(full_mask(50, 50), 0, 0, grid_params(10, 0, false));
  EXPECT_EQ(offsets.size(), 90u);
  for (const auto& o : offsets) {
    EXPECT_GE(o.dx, 0);
    EXPECT_GE(o.dy, 0);
  }
}

TEST(BuildSubsetOffsets, TruncationClipsToTheRoi) {
  RoiMask mask = full_mask(40, 40);
  mask.values.assign(mask.values.size(), 0);
  mask.values[20 * 40 + 20] = 1;
  mask.values[21 * 40 + 20] = 1;
  EXPECT_EQ(build_subset_offsets(mask, 20, 20, grid_params(10, 0, true)).size(), 2u);
  // Without truncation the same centre keeps the whole disc inside the image.
  EXPECT_EQ(build_subset_offsets(mask, 20, 20, grid_params(10, 0, false)).size(), 317u);
}

TEST(BuildSubsetOffsets, HugeRadiusIsBoundedByTheImage) {
  // Regression: the square of side 2r + 1 used to be walked (and squared in
  // 32 bits) whatever the image size.
  const auto offsets = build_subset_offsets(
      full_mask(7, 5), 3, 2, grid_params(std::numeric_limits<std::int32_t>::max(), 0, false));
  EXPECT_EQ(offsets.size(), 35u);
}

TEST(BuildSubsetOffsets, ReusedStorageGivesTheSameOffsets) {
  const RoiMask mask = full_mask(60, 60);
  const DicParameters params = grid_params(12, 0, false);
  std::vector<SubsetOffset> reused;
  build_subset_offsets(mask, 30, 30, params, reused);
  build_subset_offsets(mask, 5, 7, params, reused);
  const auto fresh = build_subset_offsets(mask, 5, 7, params);
  ASSERT_EQ(reused.size(), fresh.size());
  for (std::size_t k = 0; k < fresh.size(); ++k) {
    EXPECT_EQ(reused[k].dx, fresh[k].dx);
    EXPECT_EQ(reused[k].dy, fresh[k].dy);
  }
}

}  // namespace
}  // namespace dic2d
