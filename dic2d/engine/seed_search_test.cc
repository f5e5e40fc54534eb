#include "dic2d/engine/seed_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "dic2d/engine/literal_reference_test_util.h"
#include "dic2d/engine/spot_pattern_test_util.h"

namespace dic2d {
namespace {

using testing::literal_integer_scan;
using testing::literal_offsets;
using testing::same_result;

struct SeedCase {
  GrayImage reference;
  GrayImage deformed;
  RoiMask mask;
  SeedInput seed;
  DicParameters params;
};

SeedCase speckle_seed_case() {
  SeedCase c;
  const auto spots = testing_util::make_spots(64, 56, 55u, 0.05);
  c.reference = testing_util::render_reference(64, 56, spots);
  c.deformed = testing_util::render(64, 56, spots, [](double x, double y, double& px, double& py) {
    px = x - 5.4 - 0.01 * (x - 30.0);
    py = y + 3.3 + 0.008 * (y - 25.0);
  });
  c.mask = testing::holed_mask(64, 56, 23u);
  c.mask.values[30 * 56 + 25] = 1;
  c.seed.seed_x = 30.0;
  c.seed.seed_y = 25.0;
  c.params.subset_radius = 10;
  c.params.subset_spacing = 4;
  c.params.seed_search_radius = 8;
  c.params.roi_min_region_area = 0;
  return c;
}

// The seed's match composed from the literal scan and refinements.
std::optional<SeedMatch> literal_seed(const SeedCase& c) {
  const auto cx = static_cast<std::int32_t>(std::llround(c.seed.seed_x));
  const auto cy = static_cast<std::int32_t>(std::llround(c.seed.seed_y));
  const std::int32_t r = c.params.subset_radius;
  const std::int32_t m = c.params.seed_search_radius;
  const std::int32_t w = c.deformed.width, h = c.deformed.height;
  const auto offsets = literal_offsets(c.mask, cx, cy, r, c.params.subset_truncation);
  std::int64_t x_lo = r, x_hi = w - r, y_lo = r, y_hi = h - r;
  if (m >= 1) {
    x_lo = std::max(cx - m, r);
    x_hi = std::min(cx + m + 1, w - r);
    y_lo = std::max(cy - m, r);
    y_hi = std::min(cy + m + 1, h - r);
  }
  const auto best = literal_integer_scan(c.reference, c.deformed, offsets, cx, cy, x_lo - cx,
                                         x_hi - 1 - cx, y_lo - cy, y_hi - 1 - cy);
  if (!best) return std::nullopt;
  double u = static_cast<double>(best->du), v = static_cast<double>(best->dv);
  double coefficient = best->corrcoef;
  const auto t =
      testing::literal_refine_translation(c.reference, c.deformed, c.mask, u, v, cx, cy, c.params);
  if (t) {
    u = t->u;
    v = t->v;
    coefficient = t->corrcoef;
  }
  AffineParams a{u, v, 0.0, 0.0, 0.0, 0.0};
  const auto refined =
      testing::literal_refine_affine(c.reference, c.deformed, c.mask, cx, cy, a, c.params);
  if (refined) {
    a = refined->params;
    coefficient = refined->corrcoef;
  }
  return SeedMatch{Pixel{cx, cy}, a, coefficient};
}

TEST(FindSeedTest, EqualsLiteralSearchAndRefinements) {
  for (const std::int32_t search : {8, 0, 2}) {
    for (const bool truncation : {false, true}) {
      SeedCase c = speckle_seed_case();
      c.params.seed_search_radius = search;
      c.params.subset_truncation = truncation;
      const SeedMatch seed = find_seed(c.reference, c.deformed, c.mask, c.seed, c.params);
      EXPECT_TRUE(same_result(std::optional<SeedMatch>(seed), literal_seed(c)));
      // The search from the validated pixel alone gives the same match.
      const SeedMatch from_pixel =
          find_seed(c.reference, c.deformed, c.mask, Pixel{30, 25}, c.params);
      EXPECT_TRUE(same_result(std::optional<SeedMatch>(from_pixel), literal_seed(c)));
      if (search != 2) {  // radius 2 cannot reach the true shift
        EXPECT_NEAR(seed.params.u, 5.4, 0.1);
        EXPECT_NEAR(seed.params.v, -3.3, 0.1);
      }
    }
  }
}

TEST(FindSeedTest, FailedAffineStageKeepsZeroGradients) {
  // A five-pixel ROI: the integer search and translation run, affine cannot.
  SeedCase c = speckle_seed_case();
  std::fill(c.mask.values.begin(), c.mask.values.end(), 0);
  for (const auto& [x, y] : {std::array<int, 2>{30, 25}, {30, 26}, {31, 25}, {29, 25}, {30, 24}})
    c.mask.values[static_cast<std::size_t>(x) * 56 + y] = 1;
  c.params.subset_truncation = true;
  const SeedMatch seed = find_seed(c.reference, c.deformed, c.mask, c.seed, c.params);
  EXPECT_TRUE(same_result(std::optional<SeedMatch>(seed), literal_seed(c)));
  EXPECT_EQ(seed.params.du_dx, 0.0);
  EXPECT_EQ(seed.params.dv_dy, 0.0);
}

void expect_runtime_error(const SeedCase& c, const std::string& message) {
  try {
    find_seed(c.reference, c.deformed, c.mask, c.seed, c.params);
    ADD_FAILURE() << "no exception, expected: " << message;
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), message);
  }
}

TEST(FindSeedTest, StandAloneSearchValidatesAndLabelsFirst) {
  SeedCase off_grid = speckle_seed_case();
  off_grid.seed.seed_x = 31.0;  // pitch 5
  try {
    find_seed(off_grid.reference, off_grid.deformed, off_grid.mask, off_grid.seed, off_grid.params);
    ADD_FAILURE() << "off-grid seed accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()), "Seed point must be aligned to the reduced grid.");
  }
  SeedCase small_region = speckle_seed_case();
  small_region.params.roi_min_region_area = 1000000;
  expect_runtime_error(small_region,
                       "ROI mask does not contain a region larger than roi_min_region_area.");
}

TEST(FindSeedTest, TwoPixelSubsetHasTooFewPixels) {
  SeedCase c = speckle_seed_case();
  std::fill(c.mask.values.begin(), c.mask.values.end(), 0);
  c.mask.values[30 * 56 + 25] = 1;
  c.mask.values[30 * 56 + 26] = 1;
  c.params.subset_truncation = true;
  expect_runtime_error(c, "Seed subset has too few pixels for NCC.");
}

TEST(FindSeedTest, ConstantReferenceHasNoTexture) {
  SeedCase c = speckle_seed_case();
  c.reference = testing::filled_image(64, 56, 0.3);
  expect_runtime_error(c, "Seed subset has near-zero reference texture.");
}

TEST(FindSeedTest, NoCandidateInTheWindow) {
  // Seed at the left border with truncation: the window [max(-8, 10), 9) of
  // candidate x is empty.
  SeedCase near_border = speckle_seed_case();
  near_border.params.subset_truncation = true;
  near_border.seed.seed_x = 0.0;
  near_border.mask.values[25] = 1;
  expect_runtime_error(near_border, "NCC initial guess failed to find a valid candidate.");
  // Non-empty window, but a flat deformed image gives no candidate a value.
  SeedCase flat = speckle_seed_case();
  flat.deformed = testing::filled_image(64, 56, 0.7);
  expect_runtime_error(flat, "NCC initial guess failed to find a valid candidate.");
}

}  // namespace
}  // namespace dic2d
