#include "dic2d/engine/integer_match.h"

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
using testing::literal_zncc;
using testing::same_result;

// Speckle reference 48 x 40 and a deformed image of the same size showing
// it shifted by (3, -2); `other_size` is the shifted pattern on 52 x 37. Each
// has a flat block, so some subsets have no texture on one side.
struct Pair {
  GrayImage reference;
  GrayImage deformed;
  GrayImage other_size;
  RoiMask mask;
};

const Pair& speckle_pair() {
  static const Pair pair = [] {
    Pair p;
    const auto spots = testing_util::make_spots(52, 40, 321u, 0.06);
    const auto shifted = [](double x, double y, double& px, double& py) {
      px = x - 3.0;
      py = y + 2.0;
    };
    p.reference = testing_util::render_reference(48, 40, spots);
    p.deformed = testing_util::render(48, 40, spots, shifted);
    p.other_size = testing_util::render(52, 37, spots, shifted);
    for (int x = 4; x < 15; ++x)
      for (int y = 24; y < 35; ++y) testing::set_pixel(p.reference, x, y, 0.25);
    for (int x = 36; x < 47; ++x) {
      for (int y = 2; y < 14; ++y) {
        testing::set_pixel(p.deformed, x, y, 0.5);
        testing::set_pixel(p.other_size, x, y, 0.5);
      }
    }
    p.mask = testing::holed_mask(48, 40, 17u);
    return p;
  }();
  return pair;
}

const std::array<std::array<std::int32_t, 2>, 6> kCentres = {
    {{20, 20}, {0, 0}, {47, 39}, {9, 29}, {26, 7}, {40, 12}}};

TEST(ZnccTest, BothOverloadsMatchLiteralBitForBit) {
  const Pair& p = speckle_pair();
  ReferenceSubset subset;
  int with_value = 0, without_value = 0;
  for (const bool truncation : {false, true}) {
    for (const std::int32_t radius : {4, 0, 9, 1}) {
      DicParameters params;
      params.subset_radius = radius;
      params.subset_truncation = truncation;
      for (const auto& [cx, cy] : kCentres) {
        const auto offsets = literal_offsets(p.mask, cx, cy, radius, truncation);
        prepare_reference_subset(p.reference, p.mask, cx, cy, params, subset);
        for (std::int64_t du = -51; du <= 55; du += 2) {
          for (std::int64_t dv = -41; dv <= 39; dv += 3) {
            const auto expected = literal_zncc(p.reference, p.deformed, offsets, cx, cy, du, dv);
            EXPECT_TRUE(
                same_result(zncc(p.reference, p.deformed, offsets, cx, cy, du, dv), expected))
                << cx << "," << cy << " r" << radius << " d " << du << "," << dv;
            EXPECT_TRUE(same_result(zncc(subset, p.deformed, du, dv), expected))
                << cx << "," << cy << " r" << radius << " d " << du << "," << dv << " prepared";
            (expected ? with_value : without_value) += 1;
            // The image overload takes the bounds from the deformed image alone.
            EXPECT_TRUE(
                same_result(zncc(p.reference, p.other_size, offsets, cx, cy, du, dv),
                            literal_zncc(p.reference, p.other_size, offsets, cx, cy, du, dv)))
                << cx << "," << cy << " r" << radius << " d " << du << "," << dv << " 52 x 37";
          }
        }
      }
    }
  }
  EXPECT_GT(with_value, 1000);
  EXPECT_GT(without_value, 1000);
}

TEST(ZnccTest, FlatSubsetsAndLeavingTheImageHaveNoValue) {
  const Pair& p = speckle_pair();
  const auto flat_reference = literal_offsets(p.mask, 9, 29, 4, false);
  EXPECT_FALSE(zncc(p.reference, p.deformed, flat_reference, 9, 29, 3, -2));
  const auto textured = literal_offsets(p.mask, 40, 12, 3, false);
  // Shifted onto the deformed image's flat block.
  EXPECT_FALSE(zncc(p.reference, p.deformed, textured, 40, 12, 2, -4));
  // One pixel past the right border of the deformed image (width 48 or 52).
  EXPECT_TRUE(zncc(p.reference, p.deformed, textured, 40, 12, 4, 20));
  EXPECT_FALSE(zncc(p.reference, p.deformed, textured, 40, 12, 5, 20));
  EXPECT_TRUE(zncc(p.reference, p.other_size, textured, 40, 12, 8, 20));
  EXPECT_FALSE(zncc(p.reference, p.other_size, textured, 40, 12, 9, 20));
  // Far displacements must not wrap around.
  const std::int64_t far = std::int64_t{1} << 40;
  EXPECT_FALSE(zncc(p.reference, p.deformed, textured, 40, 12, far, 0));
  EXPECT_FALSE(zncc(p.reference, p.deformed, textured, 40, 12, 0, -far));
  // The true shift matches exactly.
  const auto interior = literal_offsets(p.mask, 20, 20, 6, false);
  const auto match = zncc(p.reference, p.deformed, interior, 20, 20, 3, -2);
  ASSERT_TRUE(match);
  EXPECT_NEAR(*match, 1.0, 1e-12);
}

struct Window {
  std::int64_t du_first, du_last, dv_first, dv_last;
};

// Displacements outside (-reference size, deformed size) cannot keep a
// subset pixel in the deformed image, so the literal scan may skip them.
Window restrict_to_possible(const Window& w, const GrayImage& reference,
                            const GrayImage& deformed) {
  return {std::max<std::int64_t>(w.du_first, -reference.width),
          std::min<std::int64_t>(w.du_last, deformed.width),
          std::max<std::int64_t>(w.dv_first, -reference.height),
          std::min<std::int64_t>(w.dv_last, deformed.height)};
}

TEST(BestIntegerMatchTest, MatchesLiteralScanForAnyWindow) {
  const Pair& p = speckle_pair();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  const std::vector<Window> windows = {{0, 6, -5, 1},
                                       {3, 3, -2, -2},
                                       {-60, 60, -50, 50},
                                       {-1000000, 1000000, -1000000, 1000000},
                                       {kMin, kMax, kMin, kMax},
                                       {100, 200, 0, 0},
                                       {5, 4, 0, 0},
                                       {0, 0, 7, 6},
                                       {40, 1000, -1000, -30},
                                       {-30, -20, 30, kMax}};
  ReferenceSubset subset;
  int found = 0;
  for (const bool truncation : {false, true}) {
    for (const std::int32_t radius : {3, 8, 0}) {
      DicParameters params;
      params.subset_radius = radius;
      params.subset_truncation = truncation;
      for (const auto& [cx, cy] : kCentres) {
        const auto offsets = literal_offsets(p.mask, cx, cy, radius, truncation);
        prepare_reference_subset(p.reference, p.mask, cx, cy, params, subset);
        // The large windows all reduce to the same possible range: scan it once.
        Window scanned{1, 0, 1, 0};
        std::optional<IntegerMatch> expected;
        for (const Window& w : windows) {
          const Window r = restrict_to_possible(w, p.reference, p.deformed);
          if (r.du_first != scanned.du_first || r.du_last != scanned.du_last ||
              r.dv_first != scanned.dv_first || r.dv_last != scanned.dv_last) {
            expected = literal_integer_scan(p.reference, p.deformed, offsets, cx, cy, r.du_first,
                                            r.du_last, r.dv_first, r.dv_last);
            scanned = r;
          }
          const auto actual =
              best_integer_match(subset, p.deformed, w.du_first, w.du_last, w.dv_first, w.dv_last);
          EXPECT_TRUE(same_result(actual, expected))
              << cx << "," << cy << " r" << radius << (truncation ? " truncated" : "") << " window "
              << w.du_first << ".." << w.du_last << " x " << w.dv_first << ".." << w.dv_last;
          if (expected) ++found;
        }
      }
    }
  }
  EXPECT_GT(found, 60);
}

// Regression: the prepared overloads once read the deformed image at the
// subset's reference-image element index plus du * height + dv, which names
// the right pixel only when both images have the same height. On a 52 x 37
// deformed image they returned other pixels' coefficients and could read past
// its end.
TEST(ZnccTest, PreparedSubsetOnDifferentlySizedDeformedImage) {
  const Pair& p = speckle_pair();
  DicParameters params;
  params.subset_radius = 4;
  ReferenceSubset subset;
  prepare_reference_subset(p.reference, p.mask, 20, 20, params, subset);
  const auto offsets = literal_offsets(p.mask, 20, 20, 4, false);
  for (std::int64_t du = -15; du <= 27; ++du) {
    for (std::int64_t dv = -15; dv <= 12; ++dv) {
      EXPECT_TRUE(same_result(zncc(subset, p.other_size, du, dv),
                              literal_zncc(p.reference, p.other_size, offsets, 20, 20, du, dv)))
          << du << "," << dv;
    }
  }
  const auto expected =
      literal_integer_scan(p.reference, p.other_size, offsets, 20, 20, -20, 31, -20, 16);
  EXPECT_TRUE(same_result(best_integer_match(subset, p.other_size, -20, 31, -20, 16), expected));
}

TEST(BestIntegerMatchTest, EmptySubsetHasNoMatch) {
  const Pair& p = speckle_pair();
  RoiMask empty = p.mask;
  std::fill(empty.values.begin(), empty.values.end(), 0);
  DicParameters params;
  params.subset_radius = 5;
  params.subset_truncation = true;
  ReferenceSubset subset;
  prepare_reference_subset(p.reference, empty, 20, 20, params, subset);
  ASSERT_TRUE(subset.offsets.empty());
  EXPECT_FALSE(best_integer_match(subset, p.deformed, -10, 10, -10, 10));
}

// A pattern of period 7 in x and 5 in y: displacements that differ by whole
// periods see identical samples and tie exactly.
TEST(BestIntegerMatchTest, ExactTiesGoToTheFirstInScanOrder) {
  std::mt19937 rng(8u);
  std::uniform_real_distribution<double> value(0.0, 1.0);
  double tile[7][5];
  for (auto& column : tile)
    for (double& v : column) v = value(rng);
  GrayImage image = testing::filled_image(60, 50, 0.0);
  for (int x = 0; x < 60; ++x)
    for (int y = 0; y < 50; ++y) testing::set_pixel(image, x, y, tile[x % 7][y % 5]);
  RoiMask mask = testing::holed_mask(60, 50, 4u);
  DicParameters params;
  params.subset_radius = 3;
  ReferenceSubset subset;
  prepare_reference_subset(image, mask, 30, 25, params, subset);
  const auto tied = zncc(subset, image, 0, 0);
  ASSERT_TRUE(tied);
  for (const auto& [du, dv] : {std::array<int, 2>{-7, -5}, {7, 0}, {0, 5}, {-21, -20}}) {
    const auto other = zncc(subset, image, du, dv);
    ASSERT_TRUE(other);
    ASSERT_TRUE(testing::same_bits(*other, *tied)) << du << "," << dv;
  }
  struct Case {
    Window window;
    std::int64_t du, dv;
  };
  // The subset spans dx, dy in [-3, 3]; the first possible du is -27, dv -22.
  const Case cases[] = {{{-10, 10, -8, 8}, -7, -5},
                        {{0, 0, -8, 8}, 0, -5},
                        {{-1000, 1000, -1000, 1000}, -21, -20},
                        {{std::numeric_limits<std::int64_t>::min(), 3, -22, 40}, -21, -20}};
  const auto offsets = literal_offsets(mask, 30, 25, 3, false);
  for (const Case& c : cases) {
    const Window r = restrict_to_possible(c.window, image, image);
    const auto expected = literal_integer_scan(image, image, offsets, 30, 25, r.du_first, r.du_last,
                                               r.dv_first, r.dv_last);
    ASSERT_TRUE(expected);
    EXPECT_EQ(expected->du, c.du);
    EXPECT_EQ(expected->dv, c.dv);
    EXPECT_TRUE(same_result(best_integer_match(subset, image, c.window.du_first, c.window.du_last,
                                               c.window.dv_first, c.window.dv_last),
                            expected));
  }
}

}  // namespace
}  // namespace dic2d
