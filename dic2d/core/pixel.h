#pragma once
// Points, integer pixels and the rounding between them.
//
// Conventions: (x, y) with x the first coordinate, bounded by the width;
// positions in pixels. Rounding to a pixel is to the nearest integer, halves
// away from zero.

#include <array>
#include <cmath>
#include <cstdint>

namespace dic2d {

// A point or displacement in pixels, (x, y).
using Point2 = std::array<double, 2>;

// Nearest integer, halves away from zero (as std::llround).
inline std::int64_t round_half_away(double value) { return std::llround(value); }

}  // namespace dic2d
