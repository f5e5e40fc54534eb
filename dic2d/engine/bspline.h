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

#include "dic2d/core/images.h"

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

// Four doubles operated on lane by lane; each lane is the IEEE operation its
// scalar form would be, so four-lane code gives the bits of the scalar code
// (on CPUs without 256-bit registers the compiler uses two halves).
using Double4 = double __attribute__((vector_size(32)));

// (Four-lane values are passed by reference: returning one by value would
// depend on the instruction set in the calling convention.)
inline void load4(const double* p, Double4& v) { __builtin_memcpy(&v, p, sizeof v); }

// The four weights of the cubic B-spline (value) and of its derivative
// (slope) for the taps floor(t) - 1 .. floor(t) + 2 at fraction
// f = t - floor(t) in [0, 1). T is double, or Double4 for four positions.
template <typename T>
inline void bspline_value_weights(const T& f, T (&w)[4]) {
  const T g = 1.0 - f;
  const T f2 = f * f;
  const T f3 = f2 * f;
  constexpr double kSixth = 1.0 / 6.0;
  constexpr double kTwoThirds = 4.0 / 6.0;
  w[0] = ((g * g) * g) * kSixth;
  w[1] = ((0.5 * f3) - f2) + kTwoThirds;
  w[2] = (((-0.5 * f3) + (0.5 * f2)) + (0.5 * f)) + kSixth;
  w[3] = f3 * kSixth;
}

template <typename T>
inline void bspline_slope_weights(const T& f, T (&w)[4]) {
  const T g = 1.0 - f;
  const T f2 = f * f;
  w[0] = -0.5 * (g * g);
  w[1] = (1.5 * f2) - (2.0 * f);
  w[2] = ((-1.5 * f2) + f) + 0.5;
  w[3] = 0.5 * f2;
}

// The interpolation sum over the 4 x 4 taps whose first tap is `p` (the
// column of x0 - 1 at row y0 - 1; columns `h` apart, rows contiguous), in
// the one order every caller uses: along x for the four rows at once,
//   t_j = ((wx0 c_0j + wx1 c_1j) + wx2 c_2j) + wx3 c_3j,
// then along y, ((wy0 t_0 + wy1 t_1) + wy2 t_2) + wy3 t_3.
inline void bspline_rows(const double* p, std::int64_t h, double wx0, double wx1, double wx2,
                         double wx3, Double4& t) {
  Double4 c0, c1, c2, c3;
  load4(p, c0);
  load4(p + h, c1);
  load4(p + 2 * h, c2);
  load4(p + 3 * h, c3);
  t = ((wx0 * c0 + wx1 * c1) + wx2 * c2) + wx3 * c3;
}

inline double bspline_dot(const Double4& rows, const double (&wy)[4]) {
  // Lanes read through memory, which every instruction set lowers alike.
  double t[4];
  __builtin_memcpy(t, &rows, sizeof t);
  return ((wy[0] * t[0] + wy[1] * t[1]) + wy[2] * t[2]) + wy[3] * t[3];
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

// First tap of the support of base cell (x0, y0) in padded storage.
inline const double* bspline_first_tap(const BsplineCoefficients& c, std::int64_t x0,
                                       std::int64_t y0) {
  return c.values.data() + (x0 - 1 + kBsplinePad) * c.padded_height + (y0 - 1 + kBsplinePad);
}

// Value only, position already checked with bspline_inside.
inline double bspline_value_inside(const BsplineCoefficients& c, double x, double y) {
  // Non-negative and below 2^31: truncation is the floor.
  const auto x0 = static_cast<std::int64_t>(x);
  const auto y0 = static_cast<std::int64_t>(y);
  double wx[4];
  double wy[4];
  bspline_value_weights(x - static_cast<double>(x0), wx);
  bspline_value_weights(y - static_cast<double>(y0), wy);
  Double4 t;
  bspline_rows(bspline_first_tap(c, x0, y0), c.padded_height, wx[0], wx[1], wx[2], wx[3], t);
  return bspline_dot(t, wy);
}

// Value and gradient, position already checked with bspline_inside.
inline BsplineSample bspline_sample_inside(const BsplineCoefficients& c, double x, double y) {
  const auto x0 = static_cast<std::int64_t>(x);
  const auto y0 = static_cast<std::int64_t>(y);
  const double fx = x - static_cast<double>(x0);
  const double fy = y - static_cast<double>(y0);
  double wx[4];
  double wy[4];
  double sx[4];
  double sy[4];
  bspline_value_weights(fx, wx);
  bspline_value_weights(fy, wy);
  bspline_slope_weights(fx, sx);
  bspline_slope_weights(fy, sy);
  const double* p = bspline_first_tap(c, x0, y0);
  const std::int64_t h = c.padded_height;
  Double4 t;
  Double4 ts;
  bspline_rows(p, h, wx[0], wx[1], wx[2], wx[3], t);
  bspline_rows(p, h, sx[0], sx[1], sx[2], sx[3], ts);
  return {bspline_dot(t, wy), bspline_dot(ts, wy), bspline_dot(t, sy)};
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
