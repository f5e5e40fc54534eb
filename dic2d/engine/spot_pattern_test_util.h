#pragma once
// Synthetic speckle images for the engine tests: a sum of Gaussian spots
// evaluated at exactly warped coordinates, so a deformed image carries no
// interpolation error of its own. Fixed seeds; header-only, tests only.

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "dic2d/core/images.h"

namespace dic2d::testing_util {

struct Spot {
  double x, y, amplitude;
};

inline std::vector<Spot> make_spots(int width, int height, unsigned seed, double density = 0.04) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(-5.0, width + 5.0);
  std::uniform_real_distribution<double> uy(-5.0, height + 5.0);
  std::uniform_real_distribution<double> ua(0.3, 1.0);
  const int count = static_cast<int>(density * (width + 10) * (height + 10));
  std::vector<Spot> spots;
  for (int i = 0; i < count; ++i) spots.push_back({ux(rng), uy(rng), ua(rng)});
  return spots;
}

// Pixel (x, y) of the deformed image shows the reference pattern at
// (x - u(x, y), y - v(x, y)) for the inverse map given by `inverse`.
template <typename InverseMap>
GrayImage render(int width, int height, const std::vector<Spot>& spots, InverseMap inverse) {
  GrayImage image;
  image.width = width;
  image.height = height;
  image.pixels.assign(static_cast<std::size_t>(width) * height, 0.0);
  const double sigma2 = 2.0 * 1.6 * 1.6;
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; ++y) {
      double px = 0.0, py = 0.0;
      inverse(static_cast<double>(x), static_cast<double>(y), px, py);
      double value = 0.1;
      for (const Spot& s : spots) {
        const double dx = px - s.x, dy = py - s.y;
        const double d2 = dx * dx + dy * dy;
        if (d2 < 40.0) value += s.amplitude * std::exp(-d2 / sigma2);
      }
      image.pixels[static_cast<std::size_t>(x) * height + y] = value;
    }
  }
  return image;
}

inline GrayImage render_reference(int width, int height, const std::vector<Spot>& spots) {
  return render(width, height, spots, [](double x, double y, double& px, double& py) {
    px = x;
    py = y;
  });
}

inline RoiMask full_mask(int width, int height, int border) {
  RoiMask mask;
  mask.width = width;
  mask.height = height;
  mask.values.assign(static_cast<std::size_t>(width) * height, 0);
  for (int x = border; x < width - border; ++x)
    for (int y = border; y < height - border; ++y)
      mask.values[static_cast<std::size_t>(x) * height + y] = 1;
  return mask;
}

}  // namespace dic2d::testing_util
