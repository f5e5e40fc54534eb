#include "dic2d/engine/lanes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "dic2d/engine/literal_reference_test_util.h"

namespace dic2d {
namespace {

using testing::same_bits;

TEST(Lanes, TruncationIsTheFloorOnTheSampledRange) {
  // Sampled coordinates lie in [0, 2^31): there truncation is the floor.
  const double values[] = {0.0,          -0.0,       std::nextafter(1.0, 0.0),
                           1.0,          2.5,        std::nextafter(2147483647.0, 0.0),
                           2147483647.0, 1234.99999, 0.49999999999999994};
  for (const double x : values) {
    const Int2 t = truncate_lanes(Double2{x, 0.5 * x});
    EXPECT_EQ(t[0], static_cast<std::int32_t>(std::floor(x))) << x;
    EXPECT_EQ(t[1], static_cast<std::int32_t>(std::floor(0.5 * x))) << x;
    EXPECT_TRUE(same_bits(to_double_lanes(t)[0], std::floor(x) + 0.0)) << x;
  }
}

TEST(Lanes, UnalignedPairsRoundTrip) {
  double buffer[5] = {1.5, -2.25, 3.0, 4.0, -0.0};
  const Double2 pair = load_pair(buffer + 1);  // 8-byte aligned only
  EXPECT_EQ(pair[0], -2.25);
  EXPECT_EQ(pair[1], 3.0);
  store_pair(buffer + 3, pair * broadcast(2.0));
  EXPECT_EQ(buffer[2], 3.0);
  EXPECT_EQ(buffer[3], -4.5);
  EXPECT_EQ(buffer[4], 6.0);
}

// Everything the engine pairs relies on this: each lane rounds exactly as
// the scalar operation, special values included.
TEST(Lanes, EachLaneIsTheScalarOperation) {
  std::mt19937 rng(21u);
  std::uniform_real_distribution<double> value(-4.0, 4.0);
  const double specials[] = {0.0,
                             -0.0,
                             5e-324,
                             std::numeric_limits<double>::min(),
                             1e308,
                             std::numeric_limits<double>::infinity(),
                             std::numeric_limits<double>::quiet_NaN(),
                             1.0 / 3.0};
  for (int i = 0; i < 2000; ++i) {
    const double a = i < 64 ? specials[i % 8] : value(rng);
    const double b = i < 64 ? specials[i / 8] : value(rng);
    const double c = value(rng);
    const Double2 x = {a, b};
    const Double2 y = {b, c};
    const Double2 sum = (x * y + y) / (x - y);
    EXPECT_TRUE(same_bits(sum[0], (a * b + b) / (a - b))) << a << " " << b;
    EXPECT_TRUE(same_bits(sum[1], (b * c + c) / (b - c))) << b << " " << c;
  }
}

}  // namespace
}  // namespace dic2d
