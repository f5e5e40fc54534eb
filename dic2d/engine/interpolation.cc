#include "dic2d/engine/interpolation.h"

namespace dic2d {

std::optional<double> bilinear_sample(const GrayImage& image, double x, double y) {
  const double x_limit = static_cast<double>(image.width) - 1.0;
  const double y_limit = static_cast<double>(image.height) - 1.0;
  if (!(0.0 <= x && x < x_limit && 0.0 <= y && y < y_limit)) {
    return std::nullopt;
  }
  // Non-negative and below 2^31: truncation is the floor.
  const auto x0 = static_cast<std::int64_t>(x);
  const auto y0 = static_cast<std::int64_t>(y);
  const double a = x - static_cast<double>(x0);
  const double b = y - static_cast<double>(y0);
  return bilinear_in_cell(image.pixels.data(), image.height, x0, y0, a, b);
}

std::optional<std::array<double, 2>> half_pixel_gradient(const GrayImage& image, double x,
                                                         double y) {
  const auto right = bilinear_sample(image, x + 0.5, y);
  const auto left = bilinear_sample(image, x - 0.5, y);
  const auto down = bilinear_sample(image, x, y + 0.5);
  const auto up = bilinear_sample(image, x, y - 0.5);
  if (!right || !left || !down || !up) {
    return std::nullopt;
  }
  return std::array<double, 2>{*right - *left, *down - *up};
}

}  // namespace dic2d
