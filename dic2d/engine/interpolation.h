#pragma once
// Bilinear interpolation of a gray image and its half-pixel central-difference
// gradient: the single-position functions, and the inline kernels that the
// subset sampling passes build on.
//
// Conventions: positions are (x, y) in pixels, x bounded by the image width;
// the sample of integer pixel (x, y) is element x * height + y (x-major).
// Border policy: a position is sampled only when 0 <= x < width - 1 and
// 0 <= y < height - 1, so the last column and row are never the base of an
// interpolation cell (x == width - 1 fails although it is a pixel). NaN
// positions fail. There is no padding, clamping or extrapolation. The
// gradient is (I(x + 0.5, y) - I(x - 0.5, y), I(x, y + 0.5) - I(x, y - 0.5))
// (unit step, no division), so it needs 0.5 <= x < width - 1.5 and
// 0.5 <= y < height - 1.5.

#include <array>
#include <cstdint>
#include <optional>

#include "dic2d/core/images.h"
#include "dic2d/engine/lanes.h"

namespace dic2d {

// Value at (x, y), or nothing outside [0, width - 1) x [0, height - 1).
std::optional<double> bilinear_sample(const GrayImage& image, double x, double y);

// (gx, gy) of bilinear samples half a pixel apart; nothing when any of the
// four samples fails.
std::optional<std::array<double, 2>> half_pixel_gradient(const GrayImage& image, double x,
                                                         double y);

// The bilinear formula, the only place it is written: corner values
// p00 = I(x0, y0), p10 = I(x0 + 1, y0), p01 = I(x0, y0 + 1),
// p11 = I(x0 + 1, y0 + 1), fractions a (along x) and b (along y) with
// one_a = 1 - a and one_b = 1 - b. Products and sum in this fixed order, so
// results carry the same bits everywhere. T is double or Double2 (two
// positions, one per lane).
template <typename T>
inline T bilinear_combine(T p00, T p10, T p01, T p11, T a, T one_a, T b, T one_b) {
  return (((one_a * one_b) * p00 + (one_b * a) * p10) + (one_a * b) * p01) + (a * b) * p11;
}

// The formula at base cells q0 and q1 (pointers to I(x0, y0) of each lane's
// cell) of an image of height h.
inline Double2 bilinear_pair(const double* q0, const double* q1, std::int64_t h, Double2 a,
                             Double2 one_a, Double2 b, Double2 one_b) {
  return bilinear_combine(Double2{q0[0], q1[0]}, Double2{q0[h], q1[h]}, Double2{q0[1], q1[1]},
                          Double2{q0[h + 1], q1[h + 1]}, a, one_a, b, one_b);
}

// An image prepared for bilinear sampling: its storage and the sampling
// limits width - 1 and height - 1.
struct BilinearImage {
  double x_limit = 0.0;
  double y_limit = 0.0;
  std::int64_t height = 0;
  const double* pixels = nullptr;
};

inline BilinearImage bilinear_image(const GrayImage& image) {
  return {static_cast<double>(image.width) - 1.0, static_cast<double>(image.height) - 1.0,
          image.height, image.pixels.data()};
}

// The sample at (x, y) into `value`; false (value untouched) outside the
// border policy.
inline bool bilinear_at(const BilinearImage& img, double x, double y, double& value) {
  if (!(0.0 <= x && x < img.x_limit && 0.0 <= y && y < img.y_limit)) {
    return false;
  }
  // Non-negative and below 2^31: truncation is the floor.
  const auto x0 = static_cast<std::int64_t>(x);
  const auto y0 = static_cast<std::int64_t>(y);
  const double a = x - static_cast<double>(x0);
  const double b = y - static_cast<double>(y0);
  const double* const p = img.pixels + x0 * img.height + y0;
  value = bilinear_combine(p[0], p[img.height], p[1], p[img.height + 1], a, 1.0 - a, b, 1.0 - b);
  return true;
}

// Sample and half-pixel gradient at (x, y); false when the gradient's four
// samples are not all inside. The two samples of each difference are
// interpolated together, one per lane: the same values and the same success
// as bilinear_sample and half_pixel_gradient.
inline bool bilinear_with_gradient(const BilinearImage& img, double x, double y, double& value,
                                   double& gx, double& gy) {
  constexpr Double2 kHalfSteps = {0.5, -0.5};
  const Double2 xs = broadcast(x) + kHalfSteps;  // (x + 0.5, x - 0.5)
  const Double2 ys = broadcast(y) + kHalfSteps;
  // Rounding is monotone, so x - 0.5 >= 0 implies x >= 0 and x + 0.5 >= 0,
  // and x + 0.5 < limit implies x < limit and x - 0.5 < limit; NaN fails
  // every test.
  if (!(0.0 <= xs[1] && xs[0] < img.x_limit && 0.0 <= ys[1] && ys[0] < img.y_limit)) {
    return false;
  }
  // Every coordinate is now in [0, limit) with limit < 2^31, so truncation
  // to 32 bits is the floor.
  const auto x0 = static_cast<std::int32_t>(x);
  const auto y0 = static_cast<std::int32_t>(y);
  const Int2 xs0 = truncate_lanes(xs);
  const Int2 ys0 = truncate_lanes(ys);
  const double a = x - static_cast<double>(x0);
  const double b = y - static_cast<double>(y0);
  const Double2 as = xs - to_double_lanes(xs0);
  const Double2 bs = ys - to_double_lanes(ys0);
  const std::int64_t h = img.height;
  const double* const column = img.pixels + static_cast<std::int64_t>(x0) * h;
  const double* const base = column + y0;

  const double one_a = 1.0 - a;
  const double one_b = 1.0 - b;
  value = bilinear_combine(base[0], base[h], base[1], base[h + 1], a, one_a, b, one_b);

  // Cells (x +- 0.5, y): same row, fractions as, b. Cells (x, y +- 0.5):
  // same column, fractions a, bs.
  const Double2 sx = bilinear_pair(img.pixels + static_cast<std::int64_t>(xs0[0]) * h + y0,
                                   img.pixels + static_cast<std::int64_t>(xs0[1]) * h + y0, h, as,
                                   1.0 - as, broadcast(b), broadcast(one_b));
  const Double2 sy = bilinear_pair(column + ys0[0], column + ys0[1], h, broadcast(a),
                                   broadcast(one_a), bs, 1.0 - bs);
  gx = sx[0] - sx[1];
  gy = sy[0] - sy[1];
  return true;
}

// Bilinear cells of one coordinate and of that coordinate +- 0.5, as a
// sample and its half-pixel gradient need them; for a subset under
// translation every pixel of a column shares its x and every pixel of a row
// its y, so these are computed once per column and row.
struct AxisCells {
  bool inside = false;    // coordinate - 0.5 >= 0 and coordinate + 0.5 < limit
  std::int64_t cell = 0;  // floor(coordinate) times the stride
  std::int64_t cell_plus = 0;
  std::int64_t cell_minus = 0;
  double fraction = 0.0;   // coordinate - floor(coordinate)
  double one_minus = 1.0;  // 1 - fraction
  // The same at coordinate + 0.5 and coordinate - 0.5, side by side so that
  // both samples of a gradient difference are interpolated together.
  alignas(16) double fraction_pm[2] = {0.0, 0.0};
  alignas(16) double one_minus_pm[2] = {1.0, 1.0};
};

// Cells of `coordinate` for an axis whose sampling limit is `limit`; `stride`
// is the image height for x (x-major storage) and 1 for y. The arithmetic of
// bilinear_with_gradient, so the same bits.
inline AxisCells axis_cells(double coordinate, double limit, std::int64_t stride) {
  AxisCells cells;
  const double plus = coordinate + 0.5;
  const double minus = coordinate - 0.5;
  cells.inside = 0.0 <= minus && plus < limit;
  if (!cells.inside) {
    return cells;
  }
  const auto c0 = static_cast<std::int32_t>(coordinate);
  const auto cp = static_cast<std::int32_t>(plus);
  const auto cm = static_cast<std::int32_t>(minus);
  cells.cell = static_cast<std::int64_t>(c0) * stride;
  cells.cell_plus = static_cast<std::int64_t>(cp) * stride;
  cells.cell_minus = static_cast<std::int64_t>(cm) * stride;
  cells.fraction = coordinate - static_cast<double>(c0);
  cells.one_minus = 1.0 - cells.fraction;
  cells.fraction_pm[0] = plus - static_cast<double>(cp);
  cells.fraction_pm[1] = minus - static_cast<double>(cm);
  cells.one_minus_pm[0] = 1.0 - cells.fraction_pm[0];
  cells.one_minus_pm[1] = 1.0 - cells.fraction_pm[1];
  return cells;
}

}  // namespace dic2d
