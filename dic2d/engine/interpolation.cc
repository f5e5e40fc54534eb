#include "dic2d/engine/interpolation.h"

namespace dic2d {

std::optional<double> bilinear_sample(const GrayImage& image, double x, double y) {
  double value = 0.0;
  if (!bilinear_at(bilinear_image(image), x, y, value)) {
    return std::nullopt;
  }
  return value;
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
