#include "dic2d/core/pixel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

namespace dic2d {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The rounded x of (value, 0), or nothing.
std::optional<std::int32_t> rounded_x(double value) {
  const auto pixel = round_to_pixel(value, 0.0);
  if (!pixel) return std::nullopt;
  EXPECT_EQ(pixel->y, 0);
  return pixel->x;
}

TEST(RoundToPixel, HalvesGoAwayFromZero) {
  EXPECT_EQ(rounded_x(2.5), 3);
  EXPECT_EQ(rounded_x(-2.5), -3);
  EXPECT_EQ(rounded_x(2.4999999999999996), 2);
  EXPECT_EQ(rounded_x(-0.5), -1);
  EXPECT_EQ(rounded_x(-0.49999999999999994), 0);
  EXPECT_EQ(rounded_x(0.49999999999999994), 0);
  EXPECT_EQ(rounded_x(-0.0), 0);
  const auto pixel = round_to_pixel(10.5, -7.5);
  ASSERT_TRUE(pixel);
  EXPECT_EQ(pixel->x, 11);
  EXPECT_EQ(pixel->y, -8);
}

TEST(RoundToPixel, OnlyCoordinatesThatRoundIntoThe32BitRange) {
  EXPECT_EQ(rounded_x(2147483647.0), 2147483647);
  EXPECT_EQ(rounded_x(std::nextafter(2147483647.5, 0.0)), 2147483647);
  EXPECT_EQ(rounded_x(-2147483648.0), -2147483647 - 1);
  EXPECT_EQ(rounded_x(std::nextafter(-2147483648.5, 0.0)), -2147483647 - 1);
  // These round to 2^31 and -2^31 - 1.
  EXPECT_FALSE(rounded_x(2147483647.5));
  EXPECT_FALSE(rounded_x(-2147483648.5));
  for (const double far : {1e12, -1e12, 9223372036854775808.0, 1e300, kInf, -kInf, kNaN, -kNaN}) {
    EXPECT_FALSE(rounded_x(far)) << far;
    EXPECT_FALSE(round_to_pixel(0.0, far)) << far;
  }
}

}  // namespace
}  // namespace dic2d
