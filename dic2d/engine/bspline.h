#pragma once
// Cubic B-spline interpolation of a gray image: coefficients by the exact
// recursive prefilter, value and analytic gradient at sub-pixel positions.
//
// Conventions: positions are (x, y) in pixels, x bounded by the image width;
// images and coefficients are stored x-major (element x * height + y), as
// every image of dic2d_cli. The interpolant is
//   s(x, y) = sum_i sum_j c(i, j) * beta3(x - i) * beta3(y - j)
// with beta3 the centred cubic B-spline; it passes exactly through every
// sample (s(i, j) = I(i, j)) and reproduces cubic polynomials.
//
// Border policy: the image is extended by whole-sample mirror symmetry about
// its first and last samples (I(-k) = I(k), I(n - 1 + k) = I(n - 1 - k)) on
// both axes. The coefficients then obey the same symmetry, and the prefilter
// of each line is exact for that extension (the causal start sums a whole
// period of the mirrored line in closed form, nothing is truncated). A
// position is sampled only when 0 <= x <= width - 1 and 0 <= y <= height - 1
// (closed bounds: the last column and row are sampled); NaN and positions
// outside fail. Nothing is extrapolated beyond the image.
//
// Every weight and sum is evaluated in a fixed order with separate multiply
// and add (no fused contraction), so values carry the same bits everywhere.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "dic2d/io/image_files.h"

namespace dic2d {

// Coefficients of one image, stored with a mirrored margin of kBsplinePad
// entries on every side so that the 4 x 4 support of any sampled position is
// read without index tests.
inline constexpr std::int32_t kBsplinePad = 2;

struct BsplineCoefficients {
  std::int32_t width = 0;   // of the image
  std::int32_t height = 0;  // of the image
  // (width + 2 * pad) x (height + 2 * pad), x-major; the coefficient of pixel
  // (x, y) is at (x + pad) * padded_height + (y + pad).
  std::int64_t padded_height = 0;
  std::vector<double> values;

  // Coefficient of pixel (x, y), -pad <= x < width + pad (same for y).
  double at(std::int64_t x, std::int64_t y) const {
    return values[static_cast<std::size_t>((x + kBsplinePad) * padded_height + y + kBsplinePad)];
  }
};

// In-place prefilter of one line of n samples read and written with the given
// stride: afterwards the line holds the cubic B-spline coefficients of the
// mirror-extended samples. n = 1 leaves the sample unchanged.
void bspline_prefilter_line(double* line, std::int64_t n, std::int64_t stride);

// Coefficients of `image` (width and height at least 1, pixel count checked
// by the caller), prefiltered along y then along x, with the mirrored margin
// filled. Computed once per image and run.
BsplineCoefficients compute_bspline_coefficients(const GrayImage& image);

// The four weights of the cubic B-spline and of its derivative for the taps
// floor(t) - 1 .. floor(t) + 2 at fraction f = t - floor(t) in [0, 1).
struct BsplineWeights {
  std::array<double, 4> value;
  std::array<double, 4> slope;
};

inline BsplineWeights bspline_weights(double f) {
  const double g = 1.0 - f;
  const double f2 = f * f;
  const double f3 = f2 * f;
  const double g2 = g * g;
  constexpr double kSixth = 1.0 / 6.0;
  BsplineWeights w;
  w.value[0] = (g2 * g) * kSixth;
  w.value[1] = ((0.5 * f3) - f2) + (4.0 * kSixth);
  w.value[2] = (((-0.5 * f3) + (0.5 * f2)) + (0.5 * f)) + kSixth;
  w.value[3] = f3 * kSixth;
  w.slope[0] = -0.5 * g2;
  w.slope[1] = (1.5 * f2) - (2.0 * f);
  w.slope[2] = ((-1.5 * f2) + f) + 0.5;
  w.slope[3] = 0.5 * f2;
  return w;
}

struct BsplineSample {
  double value = 0.0;
  double gx = 0.0;  // d/dx, gray levels per pixel
  double gy = 0.0;  // d/dy
};

// True when (x, y) lies in the sampled domain [0, width - 1] x [0, height - 1].
inline bool bspline_inside(const BsplineCoefficients& c, double x, double y) {
  return 0.0 <= x && x <= static_cast<double>(c.width) - 1.0 && 0.0 <= y &&
         y <= static_cast<double>(c.height) - 1.0;
}

// Value only, position already checked with bspline_inside.
inline double bspline_value_inside(const BsplineCoefficients& c, double x, double y) {
  // Non-negative and below 2^31: truncation is the floor.
  const auto x0 = static_cast<std::int64_t>(x);
  const auto y0 = static_cast<std::int64_t>(y);
  const BsplineWeights wx = bspline_weights(x - static_cast<double>(x0));
  const BsplineWeights wy = bspline_weights(y - static_cast<double>(y0));
  const std::int64_t h = c.padded_height;
  // First tap (x0 - 1, y0 - 1) in padded storage.
  const double* p = c.values.data() + (x0 - 1 + kBsplinePad) * h + (y0 - 1 + kBsplinePad);
  double sum = 0.0;
  for (int i = 0; i < 4; ++i) {
    const double* q = p + i * h;
    const double column =
        ((wy.value[0] * q[0] + wy.value[1] * q[1]) + wy.value[2] * q[2]) + wy.value[3] * q[3];
    sum += wx.value[i] * column;
  }
  return sum;
}

// Value and gradient, position already checked with bspline_inside.
inline BsplineSample bspline_sample_inside(const BsplineCoefficients& c, double x, double y) {
  const auto x0 = static_cast<std::int64_t>(x);
  const auto y0 = static_cast<std::int64_t>(y);
  const BsplineWeights wx = bspline_weights(x - static_cast<double>(x0));
  const BsplineWeights wy = bspline_weights(y - static_cast<double>(y0));
  const std::int64_t h = c.padded_height;
  const double* p = c.values.data() + (x0 - 1 + kBsplinePad) * h + (y0 - 1 + kBsplinePad);
  BsplineSample s;
  for (int i = 0; i < 4; ++i) {
    const double* q = p + i * h;
    const double column =
        ((wy.value[0] * q[0] + wy.value[1] * q[1]) + wy.value[2] * q[2]) + wy.value[3] * q[3];
    const double column_slope =
        ((wy.slope[0] * q[0] + wy.slope[1] * q[1]) + wy.slope[2] * q[2]) + wy.slope[3] * q[3];
    s.value += wx.value[i] * column;
    s.gx += wx.slope[i] * column;
    s.gy += wx.value[i] * column_slope;
  }
  return s;
}

// Value at (x, y), or nothing outside the sampled domain.
std::optional<double> bspline_value(const BsplineCoefficients& c, double x, double y);

// Value and gradient at (x, y), or nothing outside the sampled domain.
std::optional<BsplineSample> bspline_sample(const BsplineCoefficients& c, double x, double y);

// Gradient of the interpolant at the integer pixel (x, y), 0 <= x < width,
// 0 <= y < height: only the taps at distance 1 carry slope, so it is
//   gx = sum_b w_b * (c(x + 1, y + b) - c(x - 1, y + b)) / 2, w = (1, 4, 1) / 6,
// and the same along y.
std::array<double, 2> bspline_gradient_at_pixel(const BsplineCoefficients& c, std::int64_t x,
                                                std::int64_t y);

}  // namespace dic2d
