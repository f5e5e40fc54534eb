#pragma once
// Points, integer pixels and the rounding between them.
//
// Conventions: (x, y) with x the first coordinate, bounded by the width;
// positions in pixels. Rounding to a pixel is to the nearest integer, halves
// away from zero.

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>

namespace dic2d {

// A point or displacement in pixels, (x, y).
using Point2 = std::array<double, 2>;

// An integer pixel position (x, y).
struct Pixel {
  std::int32_t x = 0;
  std::int32_t y = 0;
};

// Nearest integer, halves away from zero (as std::llround).
inline std::int64_t round_half_away(double value) { return std::llround(value); }

// The pixel that (x, y) rounds to, or nothing when a coordinate is not finite
// or does not round into the 32-bit range. The range is tested before
// rounding, so no coordinate, however large, reaches the conversion.
inline std::optional<Pixel> round_to_pixel(double x, double y) {
  // The halves just outside the range round away from it.
  constexpr double kLow = -2147483648.5;
  constexpr double kHigh = 2147483647.5;
  const auto fits = [](double value) { return value > kLow && value < kHigh; };
  if (!fits(x) || !fits(y)) {
    return std::nullopt;
  }
  return Pixel{static_cast<std::int32_t>(round_half_away(x)),
               static_cast<std::int32_t>(round_half_away(y))};
}

}  // namespace dic2d
