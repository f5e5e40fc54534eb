#include "dic2d/engine/interpolation.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>

#include "dic2d/engine/literal_reference_test_util.h"
#include "dic2d/engine/spot_pattern_test_util.h"

namespace dic2d {
namespace {

GrayImage polynomial_image(int w, int h, double a, double b, double c, double d) {
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
  const GrayImage img = polynomial_image(7, 5, 2.0, 0.75, -1.25, 0.5);
  for (double x = 0.0; x < 6.0; x += 0.37) {
    for (double y = 0.0; y < 4.0; y += 0.29) {
      const auto s = bilinear_sample(img, x, y);
      ASSERT_TRUE(s.has_value());
      EXPECT_NEAR(*s, 2.0 + 0.75 * x - 1.25 * y + 0.5 * x * y, 1e-12) << x << "," << y;
    }
  }
}

TEST(BilinearSampleTest, BorderAndNanFail) {
  const GrayImage img = polynomial_image(7, 5, 1.0, 1.0, 1.0, 0.0);
  EXPECT_FALSE(bilinear_sample(img, 6.0, 1.0));  // x = width - 1 is outside
  EXPECT_FALSE(bilinear_sample(img, 1.0, 4.0));
  EXPECT_FALSE(bilinear_sample(img, -1e-9, 1.0));
  EXPECT_FALSE(bilinear_sample(img, std::nan(""), 1.0));
  EXPECT_TRUE(bilinear_sample(img, 0.0, 0.0));
  EXPECT_TRUE(bilinear_sample(img, 5.999, 3.999));
}

TEST(HalfPixelGradientTest, ExactOnLinearImage) {
  const GrayImage img = polynomial_image(9, 9, 3.0, 0.5, -2.0, 0.0);
  const auto g = half_pixel_gradient(img, 4.25, 3.5);
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ((*g)[0], 0.5);
  EXPECT_EQ((*g)[1], -2.0);
  EXPECT_FALSE(half_pixel_gradient(img, 0.25, 3.0));  // x - 0.5 leaves the image
}

using testing::same_result;

constexpr int kWidth = 64;
constexpr int kHeight = 56;

// Speckle under a smooth affine motion.
const GrayImage& speckle_image() {
  static const GrayImage image = [] {
    const auto spots = testing_util::make_spots(kWidth, kHeight, 1234u, 0.05);
    return testing_util::render(kWidth, kHeight, spots,
                                [](double x, double y, double& px, double& py) {
                                  px = x - 1.6 - 0.02 * (x - 32.0) + 0.01 * (y - 28.0);
                                  py = y + 0.7 + 0.015 * (x - 32.0) - 0.012 * (y - 28.0);
                                });
  }();
  return image;
}

// Random positions over the image and a little beyond, and every
// combination of the borders of sampling (width - 1) and of the gradient
// (0.5, width - 1.5) with the doubles just below them.
std::vector<std::array<double, 2>> probe_positions() {
  std::vector<std::array<double, 2>> positions;
  std::mt19937 rng(5u);
  std::uniform_real_distribution<double> ux(-1.0, kWidth + 0.5);
  std::uniform_real_distribution<double> uy(-1.0, kHeight + 0.5);
  for (int i = 0; i < 4000; ++i) positions.push_back({ux(rng), uy(rng)});
  const auto edges = [](double limit) {
    return std::array<double, 8>{-0.0,        0.0,
                                 0.5,         std::nextafter(0.5, 0.0),
                                 limit - 1.5, std::nextafter(limit - 1.5, 0.0),
                                 limit - 1.0, std::nextafter(limit - 1.0, 0.0)};
  };
  for (const double x : edges(kWidth))
    for (const double y : edges(kHeight)) positions.push_back({x, y});
  positions.push_back({std::nan(""), 3.0});
  positions.push_back({3.0, -std::numeric_limits<double>::infinity()});
  return positions;
}

TEST(BilinearSampleTest, EngineSamplesMatchLiteralBitForBit) {
  const GrayImage& image = speckle_image();
  for (const auto& [x, y] : probe_positions()) {
    EXPECT_TRUE(same_result(bilinear_sample(image, x, y), testing::literal_bilinear(image, x, y)))
        << x << ", " << y;
    EXPECT_TRUE(
        same_result(half_pixel_gradient(image, x, y), testing::literal_gradient(image, x, y)))
        << x << ", " << y;
  }
}

TEST(BilinearPairTest, EachLaneIsTheScalarFormula) {
  const GrayImage& image = speckle_image();
  std::mt19937 rng(6u);
  std::uniform_int_distribution<int> cell_x(0, kWidth - 2);
  std::uniform_int_distribution<int> cell_y(0, kHeight - 2);
  std::uniform_real_distribution<double> fraction(0.0, 1.0);
  const std::int64_t h = image.height;
  for (int i = 0; i < 500; ++i) {
    const double* q0 = image.pixels.data() + cell_x(rng) * h + cell_y(rng);
    const double* q1 = image.pixels.data() + cell_x(rng) * h + cell_y(rng);
    const Double2 a = {fraction(rng), fraction(rng)};
    const Double2 b = {fraction(rng), fraction(rng)};
    const Double2 pair = bilinear_pair(q0, q1, h, a, 1.0 - a, b, 1.0 - b);
    const double* q[2] = {q0, q1};
    for (int lane = 0; lane < 2; ++lane) {
      const double* p = q[lane];
      const double scalar = bilinear_combine(p[0], p[h], p[1], p[h + 1], a[lane], 1.0 - a[lane],
                                             b[lane], 1.0 - b[lane]);
      EXPECT_TRUE(testing::same_bits(pair[lane], scalar)) << i << " lane " << lane;
    }
  }
}

// The two-lane kernel the sampling passes use gives the single-position
// functions' success and bits.
TEST(BilinearWithGradientTest, EqualsSampleAndHalfPixelGradient) {
  const GrayImage& image = speckle_image();
  const BilinearImage view = bilinear_image(image);
  int inside = 0;
  for (const auto& [x, y] : probe_positions()) {
    double value = -1.0, gx = -1.0, gy = -1.0;
    const bool ok = bilinear_with_gradient(view, x, y, value, gx, gy);
    const auto gradient = half_pixel_gradient(image, x, y);
    ASSERT_EQ(ok, gradient.has_value()) << x << ", " << y;
    if (!ok) continue;
    ++inside;
    EXPECT_TRUE(same_result(std::optional<double>(value), bilinear_sample(image, x, y)));
    EXPECT_TRUE(same_result(std::optional<std::array<double, 2>>({gx, gy}), gradient));
  }
  EXPECT_GT(inside, 2000);
}

// The per-axis cells reproduce the kernel's fractions and cells, and its
// inside test, for one coordinate.
TEST(AxisCellsTest, MatchTheGradientKernelAlongOneAxis) {
  const GrayImage& image = speckle_image();
  const BilinearImage view = bilinear_image(image);
  for (const auto& [x, y] : probe_positions()) {
    const AxisCells cx = axis_cells(x, view.x_limit, view.height);
    const AxisCells cy = axis_cells(y, view.y_limit, 1);
    double value = 0.0, gx = 0.0, gy = 0.0;
    ASSERT_EQ(cx.inside && cy.inside, bilinear_with_gradient(view, x, y, value, gx, gy))
        << x << ", " << y;
    if (!(cx.inside && cy.inside)) continue;
    const double* p = image.pixels.data();
    const std::int64_t h = image.height;
    const double at = bilinear_combine(p[cx.cell + cy.cell], p[cx.cell + cy.cell + h],
                                       p[cx.cell + cy.cell + 1], p[cx.cell + cy.cell + h + 1],
                                       cx.fraction, cx.one_minus, cy.fraction, cy.one_minus);
    EXPECT_TRUE(testing::same_bits(at, value)) << x << ", " << y;
    EXPECT_EQ(cx.cell_plus, static_cast<std::int64_t>(std::floor(x + 0.5)) * h);
    EXPECT_EQ(cy.cell_minus, static_cast<std::int64_t>(std::floor(y - 0.5)));
    EXPECT_TRUE(testing::same_bits(cx.fraction_pm[1], (x - 0.5) - std::floor(x - 0.5)));
  }
}

}  // namespace
}  // namespace dic2d
