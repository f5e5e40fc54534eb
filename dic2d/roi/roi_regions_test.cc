#include "dic2d/roi/roi_regions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace dic2d {
namespace {

RoiMask empty_mask(std::int32_t width, std::int32_t height) {
  RoiMask mask;
  mask.width = width;
  mask.height = height;
  mask.values.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 0);
  return mask;
}

void fill(RoiMask& mask, std::int32_t x0, std::int32_t y0, std::int32_t w, std::int32_t h,
          std::uint8_t value = 1) {
  for (std::int32_t x = x0; x < x0 + w; ++x) {
    for (std::int32_t y = y0; y < y0 + h; ++y) mask.values[x * mask.height + y] = value;
  }
}

DicParameters area(std::int32_t min_area) {
  DicParameters params;
  params.roi_min_region_area = min_area;
  params.subset_spacing = 4;
  return params;
}

std::string runtime_message(const RoiMask& mask, Pixel seed, const DicParameters& p) {
  try {
    build_reduced_roi(mask, seed, p);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "no error";
}

TEST(LabelRoiRegions, RegionsAreNumberedByTheirFirstPixelInXMajorScan) {
  RoiMask mask = empty_mask(60, 120);
  fill(mask, 40, 0, 5, 5);
  fill(mask, 10, 90, 5, 5, 255);  // any non-zero byte is inside
  fill(mask, 10, 5, 5, 5, 2);
  const auto regions = label_roi_regions(mask, area(0));
  ASSERT_EQ(regions.size(), 3u);
  EXPECT_EQ(regions[0].y_min, 5);
  EXPECT_EQ(regions[1].y_min, 90);
  EXPECT_EQ(regions[2].x_min, 40);
  for (const auto& region : regions) EXPECT_EQ(region.pixel_count, 25);
}

TEST(LabelRoiRegions, CornerContactDoesNotConnect) {
  RoiMask mask = empty_mask(10, 10);
  fill(mask, 0, 0, 3, 3);
  fill(mask, 3, 3, 3, 3);
  const auto regions = label_roi_regions(mask, area(0));
  ASSERT_EQ(regions.size(), 2u);
  EXPECT_EQ(regions[0].pixel_count, 9);
  EXPECT_EQ(regions[1].pixel_count, 9);
}

TEST(LabelRoiRegions, RetainsOnlyRegionsLargerThanTheMinimumArea) {
  RoiMask mask = empty_mask(20, 20);
  fill(mask, 0, 0, 5, 5);  // 25 pixels
  EXPECT_TRUE(label_roi_regions(mask, area(25)).empty());
  EXPECT_EQ(label_roi_regions(mask, area(24)).size(), 1u);
}

TEST(LabelRoiRegions, UShapeHasTwoRunsPerColumnAcrossBothArms) {
  RoiMask mask = empty_mask(10, 10);
  fill(mask, 0, 0, 2, 6);  // base, columns 0..1
  fill(mask, 2, 0, 4, 2);  // first arm, rows 0..1
  fill(mask, 2, 4, 4, 2);  // second arm, rows 4..5
  const auto regions = label_roi_regions(mask, area(0));
  ASSERT_EQ(regions.size(), 1u);
  const auto& runs = regions[0].runs;
  ASSERT_EQ(runs.size(), 2u + 2u * 4u);
  EXPECT_EQ(runs[0].x, 0);
  EXPECT_EQ(runs[0].y_first, 0);
  EXPECT_EQ(runs[0].y_last, 5);
  EXPECT_EQ(runs[2].x, 2);
  EXPECT_EQ(runs[2].y_last, 1);
  EXPECT_EQ(runs[3].x, 2);
  EXPECT_EQ(runs[3].y_first, 4);
  EXPECT_EQ(runs[3].y_last, 5);
}

TEST(BuildReducedRoi, GridSizeAndSeedRegion) {
  RoiMask mask = empty_mask(100, 80);
  fill(mask, 0, 0, 10, 10);
  fill(mask, 50, 30, 20, 20);
  const auto roi = build_reduced_roi(mask, Pixel{60, 40}, area(50));
  EXPECT_EQ(roi.reduced_width, 20);
  EXPECT_EQ(roi.reduced_height, 16);
  EXPECT_EQ(roi.regions.size(), 2u);
  EXPECT_EQ(roi.seed_region, 1);
  EXPECT_EQ(build_reduced_roi(mask, Pixel{5, 9}, area(50)).seed_region, 0);

  RoiMask wider = empty_mask(101, 80);
  fill(wider, 0, 0, 101, 80);
  EXPECT_EQ(build_reduced_roi(wider, Pixel{60, 40}, area(0)).reduced_width, 21);
}

TEST(BuildReducedRoi, SeedMustLieOnARunNotJustInTheBoundingBox) {
  // A U whose bounding box holds the gap between its arms.
  RoiMask mask = empty_mask(20, 20);
  fill(mask, 0, 0, 2, 12);
  fill(mask, 2, 0, 8, 3);
  fill(mask, 2, 9, 8, 3);
  const auto message = [&](Pixel seed) { return runtime_message(mask, seed, area(0)); };
  EXPECT_EQ(message({5, 6}), "Seed point is not inside any retained ROI region.");
  EXPECT_EQ(message({5, 2}), "no error");
  EXPECT_EQ(message({5, 9}), "no error");
  EXPECT_EQ(message({5, 3}), "Seed point is not inside any retained ROI region.");
  // Far outside the mask in either direction.
  EXPECT_EQ(message({-2147483647 - 1, 2}), "Seed point is not inside any retained ROI region.");
  EXPECT_EQ(message({2, 2147483647}), "Seed point is not inside any retained ROI region.");
}

TEST(BuildReducedRoi, Failures) {
  RoiMask mask = empty_mask(40, 40);
  EXPECT_EQ(runtime_message(mask, Pixel{}, area(0)),
            "ROI mask does not contain a region larger than roi_min_region_area.");
  fill(mask, 0, 0, 5, 5);      // dropped for its size
  fill(mask, 20, 20, 15, 15);  // retained
  EXPECT_EQ(runtime_message(mask, Pixel{2, 2}, area(30)),
            "Seed point is not inside any retained ROI region.");
  EXPECT_EQ(runtime_message(mask, Pixel{25, 25}, area(30)), "no error");
}

}  // namespace
}  // namespace dic2d
