#pragma once
// Bilinear sampling of a gray image and its half-pixel central-difference
// gradient.
//
// Conventions: positions are (x, y) in pixels, x bounded by the image width;
// the sample of integer pixel (x, y) is element x * height + y (x-major).
// Border policy: a position is sampled only when 0 <= x < width - 1 and
// 0 <= y < height - 1, so the last column and row are never the base of an
// interpolation cell (x == width - 1 fails although it is a pixel). NaN
// positions fail. There is no padding, clamping or extrapolation.

#include <array>
#include <cstdint>
#include <optional>

#include "dic2d/core/images.h"

namespace dic2d {

// Value at (x, y), or nothing outside [0, width - 1) x [0, height - 1).
std::optional<double> bilinear_sample(const GrayImage& image, double x, double y);

// (gx, gy) = (I(x + 0.5, y) - I(x - 0.5, y), I(x, y + 0.5) - I(x, y - 0.5)) of
// bilinear samples (unit step, no division). Nothing when any of the four
// samples fails: in effect it needs 0.5 <= x < width - 1.5 and
// 0.5 <= y < height - 1.5.
std::optional<std::array<double, 2>> half_pixel_gradient(const GrayImage& image, double x,
                                                         double y);

// Bilinear interpolation with the validity test already done by the caller.
// `column_major_pixels` is the image's x-major storage, `height` its height;
// x0, y0 are the base cell and a, b the fractions in [0, 1).
inline double bilinear_in_cell(const double* column_major_pixels, std::int64_t height,
                               std::int64_t x0, std::int64_t y0, double a, double b) {
  const double* p = column_major_pixels + x0 * height + y0;
  const double one_a = 1.0 - a;
  const double one_b = 1.0 - b;
  // Products and sum in a fixed order so results carry the same bits
  // everywhere.
  return (((one_a * one_b) * p[0] + (one_b * a) * p[height]) + (one_a * b) * p[1]) +
         (a * b) * p[height + 1];
}

}  // namespace dic2d
