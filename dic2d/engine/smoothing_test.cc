#include "dic2d/engine/smoothing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace dic2d {
namespace {

GrayImage random_image(std::int32_t w, std::int32_t h, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> gray(0.0, 255.0);
  GrayImage img;
  img.width = w;
  img.height = h;
  img.pixels.resize(static_cast<std::size_t>(w) * h);
  for (double& p : img.pixels) p = gray(rng);
  return img;
}

TEST(GaussianKernel, NormalisedSymmetricAndThreeSigmaWide) {
  const std::vector<double> k = gaussian_kernel(0.7);
  ASSERT_EQ(k.size(), 2u * 3 + 1);  // r = ceil(2.1) = 3
  double total = 0.0;
  for (double w : k) total += w;
  EXPECT_NEAR(total, 1.0, 1e-15);
  for (std::size_t i = 0; i < k.size(); ++i) EXPECT_EQ(k[i], k[k.size() - 1 - i]);
  EXPECT_NEAR(k[4] / k[3], std::exp(-1.0 / (2 * 0.49)), 1e-15);
  EXPECT_EQ(gaussian_kernel(0.0), std::vector<double>{1.0});
  EXPECT_EQ(gaussian_kernel(1.0).size(), 7u);
}

TEST(GaussianSmooth, ZeroSigmaIsACopyAndConstantsStay) {
  const GrayImage img = random_image(7, 5, 1);
  EXPECT_EQ(gaussian_smooth(img, 0.0).pixels, img.pixels);
  GrayImage flat = img;
  for (double& p : flat.pixels) p = 42.0;
  for (double p : gaussian_smooth(flat, 1.3).pixels) EXPECT_NEAR(p, 42.0, 1e-12);
}

TEST(GaussianSmooth, MatchesDirectMirroredConvolution) {
  // A 2 x 9 image with sigma 1.5 (r = 5): the two-sample axis is mirrored
  // several times over.
  const GrayImage img = random_image(2, 9, 3);
  const double sigma = 1.5;
  const std::vector<double> k = gaussian_kernel(sigma);
  const int r = static_cast<int>(k.size() / 2);
  const auto m = [](int i, int n) {
    if (n == 1) return 0;
    const int period = 2 * n - 2;
    i = ((i % period) + period) % period;
    return i < n ? i : period - i;
  };
  const GrayImage out = gaussian_smooth(img, sigma);
  for (int x = 0; x < 2; ++x) {
    for (int y = 0; y < 9; ++y) {
      double want = 0.0;
      for (int a = -r; a <= r; ++a)
        for (int b = -r; b <= r; ++b)
          want += k[a + r] * k[b + r] * img.pixels[m(x + a, 2) * 9 + m(y + b, 9)];
      EXPECT_NEAR(out.pixels[x * 9 + y], want, 1e-11);
    }
  }
}

TEST(GaussianSmooth, CommutesWithAnIntegerShiftAwayFromTheBorder) {
  const GrayImage img = random_image(40, 30, 5);
  GrayImage shifted = img;  // shifted(x, y) = img(x - 3, y + 2)
  for (int x = 0; x < 40; ++x)
    for (int y = 0; y < 30; ++y) {
      const int sx = std::min(39, std::max(0, x - 3));
      const int sy = std::min(29, std::max(0, y + 2));
      shifted.pixels[x * 30 + y] = img.pixels[sx * 30 + sy];
    }
  const GrayImage a = gaussian_smooth(img, 0.8);
  const GrayImage b = gaussian_smooth(shifted, 0.8);
  for (int x = 10; x < 30; ++x)
    for (int y = 5; y < 22; ++y)
      EXPECT_NEAR(b.pixels[x * 30 + y], a.pixels[(x - 3) * 30 + y + 2], 1e-11);
}

}  // namespace
}  // namespace dic2d
