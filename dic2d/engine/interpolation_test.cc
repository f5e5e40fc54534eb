#include "dic2d/engine/interpolation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace dic2d {
namespace {

GrayImage bilinear_image(int w, int h, double a, double b, double c, double d) {
  GrayImage img;
  img.width = w;
  img.height = h;
  img.pixels.resize(static_cast<std::size_t>(w) * h);
  for (int x = 0; x < w; ++x)
    for (int y = 0; y < h; ++y)
      img.pixels[static_cast<std::size_t>(x) * h + y] = a + b * x + c * y + d * x * y;
  return img;
}

TEST(BilinearSampleTest, ReproducesBilinearFunction) {
  const GrayImage img = bilinear_image(7, 5, 2.0, 0.75, -1.25, 0.5);
  for (double x = 0.0; x < 6.0; x += 0.37) {
    for (double y = 0.0; y < 4.0; y += 0.29) {
      const auto s = bilinear_sample(img, x, y);
      ASSERT_TRUE(s.has_value());
      EXPECT_NEAR(*s, 2.0 + 0.75 * x - 1.25 * y + 0.5 * x * y, 1e-12) << x << "," << y;
    }
  }
}

TEST(BilinearSampleTest, BorderAndNanFail) {
  const GrayImage img = bilinear_image(7, 5, 1.0, 1.0, 1.0, 0.0);
  EXPECT_FALSE(bilinear_sample(img, 6.0, 1.0));  // x = width - 1 is outside
  EXPECT_FALSE(bilinear_sample(img, 1.0, 4.0));
  EXPECT_FALSE(bilinear_sample(img, -1e-9, 1.0));
  EXPECT_FALSE(bilinear_sample(img, std::nan(""), 1.0));
  EXPECT_TRUE(bilinear_sample(img, 0.0, 0.0));
  EXPECT_TRUE(bilinear_sample(img, 5.999, 3.999));
}

TEST(HalfPixelGradientTest, ExactOnLinearImage) {
  const GrayImage img = bilinear_image(9, 9, 3.0, 0.5, -2.0, 0.0);
  const auto g = half_pixel_gradient(img, 4.25, 3.5);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ((*g)[0], 0.5);
  EXPECT_EQ((*g)[1], -2.0);
  EXPECT_FALSE(half_pixel_gradient(img, 0.25, 3.0));  // x - 0.5 leaves the image
}

}  // namespace
}  // namespace dic2d
