#include "dic2d/engine/smoothing.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace dic2d {
namespace {

std::int64_t mirror(std::int64_t i, std::int64_t n) {
  if (n == 1) return 0;
  const std::int64_t period = 2 * n - 2;
  i %= period;
  if (i < 0) i += period;
  return i < n ? i : period - i;
}

// Filters `lines` lines of n samples (sample j of line l at
// in[j * position_stride + l]) into `out` with the same layout.
void filter_lines(const double* in, double* out, std::int64_t n, std::int64_t position_stride,
                  std::int64_t lines, const std::vector<double>& kernel) {
  const auto r = static_cast<std::int64_t>(kernel.size() / 2);
  for (std::int64_t j = 0; j < n; ++j) {
    double* target = out + j * position_stride;
    for (std::int64_t l = 0; l < lines; ++l) target[l] = 0.0;
    for (std::int64_t k = -r; k <= r; ++k) {
      const double w = kernel[static_cast<std::size_t>(k + r)];
      const double* source = in + mirror(j + k, n) * position_stride;
      for (std::int64_t l = 0; l < lines; ++l) target[l] += w * source[l];
    }
  }
}

}  // namespace

std::vector<double> gaussian_kernel(double sigma) {
  if (!(sigma > 0.0)) return {1.0};
  const auto r = static_cast<std::int64_t>(std::ceil(3.0 * sigma));
  std::vector<double> kernel(static_cast<std::size_t>(2 * r + 1));
  double total = 0.0;
  for (std::int64_t k = -r; k <= r; ++k) {
    const double kd = static_cast<double>(k);
    const double w = std::exp(-(kd * kd) / (2.0 * sigma * sigma));
    kernel[static_cast<std::size_t>(k + r)] = w;
    total += w;
  }
  for (double& w : kernel) w /= total;
  return kernel;
}

GrayImage gaussian_smooth(const GrayImage& image, double sigma) {
  if (!(sigma > 0.0)) return image;
  const std::vector<double> kernel = gaussian_kernel(sigma);
  const std::int64_t w = image.width;
  const std::int64_t h = image.height;
  std::vector<double> along_y(image.pixels.size());
  for (std::int64_t x = 0; x < w; ++x) {
    filter_lines(image.pixels.data() + x * h, along_y.data() + x * h, h, 1, 1, kernel);
  }
  GrayImage out;
  out.width = image.width;
  out.height = image.height;
  out.pixels.resize(image.pixels.size());
  // Along x, every row at once (contiguous inner loop).
  filter_lines(along_y.data(), out.pixels.data(), w, h, h, kernel);
  return out;
}

}  // namespace dic2d
