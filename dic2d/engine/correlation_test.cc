#include "dic2d/engine/correlation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "dic2d/engine/literal_reference_test_util.h"
#include "dic2d/engine/spot_pattern_test_util.h"

namespace dic2d {
namespace {

using testing::same_result;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(ZnccFromSums, VarianceFloorOnEitherSideThenAFiniteCoefficient) {
  const double above = std::nextafter(kVarianceFloor, 1.0);
  EXPECT_FALSE(zncc_from_sums(kVarianceFloor, 4.0, 1.0));
  EXPECT_FALSE(zncc_from_sums(4.0, kVarianceFloor, 1.0));
  EXPECT_FALSE(zncc_from_sums(0.0, 0.0, 0.0));
  EXPECT_FALSE(zncc_from_sums(-1.0, 4.0, 1.0));
  ASSERT_TRUE(zncc_from_sums(above, above, above));
  EXPECT_EQ(*zncc_from_sums(4.0, 9.0, 3.0), 0.5);
  EXPECT_EQ(*zncc_from_sums(4.0, 9.0, -6.0), -1.0);
  // Only the coefficient is tested for finiteness: an infinite or overflowing
  // denominator under a finite Sdr gives 0, an infinite Sdr nothing.
  EXPECT_EQ(zncc_from_sums(4.0, kInf, 1.0), 0.0);
  EXPECT_EQ(zncc_from_sums(1e300, 1e300, 1e301), 0.0);
  EXPECT_FALSE(zncc_from_sums(4.0, kInf, kInf));
  EXPECT_FALSE(zncc_from_sums(4.0, 9.0, kInf));
  EXPECT_FALSE(zncc_from_sums(4.0, 9.0, kNaN));
  EXPECT_FALSE(zncc_from_sums(kNaN, 9.0, 1.0));
}

// zncc_of_samples with the flags counted here.
std::optional<double> coefficient(const ReferenceSubset& subset, const std::vector<double>& samples,
                                  const std::vector<std::uint8_t>& usable, std::size_t min_count) {
  std::size_t count = 0;
  for (const std::uint8_t u : usable) count += u != 0 ? 1 : 0;
  return zncc_of_samples(subset, samples.data(), usable.data(), count, min_count);
}

struct Case {
  GrayImage reference;
  RoiMask mask;
  ReferenceSubset subset;
};

Case speckle_subset(std::int32_t radius) {
  Case c;
  const auto spots = testing_util::make_spots(40, 40, 17u);
  c.reference = testing_util::render_reference(40, 40, spots);
  c.mask = testing::holed_mask(40, 40, 3u);
  DicParameters params;
  params.subset_radius = radius;
  prepare_reference_subset(c.reference, c.mask, 20, 20, params, c.subset);
  return c;
}

// The literal coefficient of the kept pairs.
std::optional<double> literal(const ReferenceSubset& subset, const std::vector<double>& samples,
                              const std::vector<std::uint8_t>& usable, std::size_t min_count) {
  std::vector<double> r;
  std::vector<double> d;
  for (std::size_t k = 0; k < samples.size(); ++k) {
    if (usable[k] == 0) continue;
    r.push_back(subset.values[k]);
    d.push_back(samples[k]);
  }
  return testing::literal_pair_coefficient(r, d, min_count);
}

TEST(ZnccOfSamples, AllOrSomePairsKeptMatchTheLiteralCoefficient) {
  const Case c = speckle_subset(6);
  const std::size_t n = c.subset.offsets.size();
  std::mt19937 rng(12u);
  std::uniform_real_distribution<double> noise(-0.2, 0.2);
  std::bernoulli_distribution drop(0.2);
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<double> samples(n);
    for (std::size_t k = 0; k < n; ++k) samples[k] = 0.5 * c.subset.values[k] + noise(rng);
    // Half the trials keep every pair (the prepared reference statistics).
    std::vector<std::uint8_t> usable(n, 1);
    if (trial % 2 == 1) {
      for (auto& u : usable) u = drop(rng) ? 0 : 1;
    }
    EXPECT_TRUE(same_result(coefficient(c.subset, samples, usable, 6),
                            literal(c.subset, samples, usable, 6)))
        << "trial " << trial;
  }
}

TEST(ZnccOfSamples, MinimumCountAndFlatSides) {
  const Case c = speckle_subset(4);
  const std::size_t n = c.subset.offsets.size();
  std::vector<double> samples(c.subset.values);
  std::vector<std::uint8_t> usable(n, 0);
  for (std::size_t k = 0; k < 6; ++k) usable[k] = 1;
  EXPECT_TRUE(coefficient(c.subset, samples, usable, 6));
  EXPECT_FALSE(coefficient(c.subset, samples, usable, 7));
  // Identical samples correlate perfectly.
  std::fill(usable.begin(), usable.end(), 1);
  const auto perfect = coefficient(c.subset, samples, usable, 3);
  ASSERT_TRUE(perfect);
  EXPECT_NEAR(*perfect, 1.0, 1e-14);
  // A flat deformed side has no coefficient, with every pair kept or not.
  std::vector<double> flat(n, 0.25);
  EXPECT_FALSE(coefficient(c.subset, flat, usable, 3));
  usable[0] = 0;
  EXPECT_FALSE(coefficient(c.subset, flat, usable, 3));
}

TEST(ZnccOfSamples, FlatReferenceAmongTheKeptPairs) {
  // A flat reference with one brighter pixel, the first offset's.
  GrayImage reference = testing::filled_image(30, 30, 0.4);
  const RoiMask mask = testing::holed_mask(30, 30, 8u);
  DicParameters params;
  params.subset_radius = 3;
  ReferenceSubset subset;
  prepare_reference_subset(reference, mask, 15, 15, params, subset);
  const SubsetOffset first = subset.offsets[0];
  testing::set_pixel(reference, 15 + first.dx, 15 + first.dy, 0.9);
  prepare_reference_subset(reference, mask, 15, 15, params, subset);
  const std::size_t n = subset.offsets.size();
  std::vector<double> samples(n, 0.0);
  samples[0] = 1.0;
  samples[1] = 2.0;
  samples[2] = 3.0;
  std::vector<std::uint8_t> usable(n, 0);
  usable[1] = usable[2] = 1;  // both 0.4 in the reference
  EXPECT_FALSE(coefficient(subset, samples, usable, 2));
  usable[0] = 1;
  const auto c = coefficient(subset, samples, usable, 2);
  ASSERT_TRUE(c);
  EXPECT_TRUE(same_result(c, literal(subset, samples, usable, 2)));
}

}  // namespace
}  // namespace dic2d
