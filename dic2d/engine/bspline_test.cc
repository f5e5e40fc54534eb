#include "dic2d/engine/bspline.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace dic2d {
namespace {

std::vector<double> random_values(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> gray(0.0, 255.0);
  std::vector<double> v(n);
  for (double& x : v) x = gray(rng);
  return v;
}

GrayImage image_of(std::int32_t w, std::int32_t h, std::vector<double> pixels) {
  GrayImage img;
  img.width = w;
  img.height = h;
  img.pixels = std::move(pixels);
  return img;
}

// Dense solve of the interpolation condition of a mirror-extended line,
// (c[k-1] + 4 c[k] + c[k+1]) / 6 = f[k] with c[-1] = c[1], c[n] = c[n-2]:
// the banded system the recursive prefilter must invert exactly.
std::vector<double> direct_coefficients(const std::vector<double>& f) {
  const std::size_t n = f.size();
  if (n == 1) return f;
  // Augmented matrix [A | f], row-major, n rows of n + 1 entries.
  const std::size_t cols = n + 1;
  std::vector<double> a(n * cols, 0.0);
  for (std::size_t k = 0; k < n; ++k) {
    a[k * cols + k] += 4.0 / 6.0;
    const std::size_t left = k == 0 ? 1 : k - 1;
    const std::size_t right = k == n - 1 ? n - 2 : k + 1;
    a[k * cols + left] += 1.0 / 6.0;
    a[k * cols + right] += 1.0 / 6.0;
    a[k * cols + n] = f[k];
  }
  for (std::size_t c = 0; c < n; ++c) {  // diagonally dominant: no pivoting
    for (std::size_t r = c + 1; r < n; ++r) {
      const double factor = a[r * cols + c] / a[c * cols + c];
      for (std::size_t k = c; k <= n; ++k) a[r * cols + k] -= factor * a[c * cols + k];
    }
  }
  std::vector<double> x(n);
  for (std::size_t i = n; i-- > 0;) {
    double s = a[i * cols + n];
    for (std::size_t k = i + 1; k < n; ++k) s -= a[i * cols + k] * x[k];
    x[i] = s / a[i * cols + i];
  }
  return x;
}

TEST(BsplinePrefilter, MatchesDirectSolveOfMirroredBandedSystem) {
  for (const std::size_t n : {1u, 2u, 3u, 4u, 7u, 16u, 61u}) {
    const std::vector<double> f = random_values(n, static_cast<unsigned>(n));
    std::vector<double> line = f;
    bspline_prefilter_line(line.data(), static_cast<std::int64_t>(n), 1);
    const std::vector<double> expected = direct_coefficients(f);
    for (std::size_t k = 0; k < n; ++k) {
      EXPECT_NEAR(line[k], expected[k], 1e-11) << "n " << n << " k " << k;
    }
  }
}

TEST(BsplinePrefilter, StridedLineEqualsContiguousLineBitForBit) {
  const std::vector<double> f = random_values(9, 5);
  std::vector<double> contiguous = f;
  bspline_prefilter_line(contiguous.data(), 9, 1);
  std::vector<double> strided(27, -1.0);
  for (std::size_t k = 0; k < 9; ++k) strided[3 * k] = f[k];
  bspline_prefilter_line(strided.data(), 9, 3);
  for (std::size_t k = 0; k < 9; ++k) {
    EXPECT_EQ(strided[3 * k], contiguous[k]);
    EXPECT_EQ(strided[3 * k + 1], -1.0);  // neighbours untouched
  }
}

TEST(BsplineCoefficients, SeparableDirectSolveAndMirroredMargin) {
  const std::int32_t w = 5;
  const std::int32_t h = 7;
  const GrayImage img = image_of(w, h, random_values(w * h, 11));
  const BsplineCoefficients c = compute_bspline_coefficients(img);
  ASSERT_EQ(c.padded_height, h + 2 * kBsplinePad);
  ASSERT_EQ(c.values.size(), static_cast<std::size_t>((w + 4) * (h + 4)));
  // Columns (y) solved first, then rows (x).
  std::vector<std::vector<double>> tmp(w);
  for (std::int32_t x = 0; x < w; ++x) {
    tmp[x] = direct_coefficients(
        std::vector<double>(img.pixels.begin() + x * h, img.pixels.begin() + (x + 1) * h));
  }
  for (std::int32_t y = 0; y < h; ++y) {
    std::vector<double> row(w);
    for (std::int32_t x = 0; x < w; ++x) row[x] = tmp[x][y];
    const std::vector<double> solved = direct_coefficients(row);
    for (std::int32_t x = 0; x < w; ++x) EXPECT_NEAR(c.at(x, y), solved[x], 1e-10);
  }
  // Margin: c(-k) = c(k), c(n - 1 + k) = c(n - 1 - k) on both axes, corners too.
  for (std::int64_t x = -2; x < w + 2; ++x) {
    for (std::int64_t y = -2; y < h + 2; ++y) {
      const std::int64_t mx = x < 0 ? -x : (x >= w ? 2 * (w - 1) - x : x);
      const std::int64_t my = y < 0 ? -y : (y >= h ? 2 * (h - 1) - y : y);
      EXPECT_EQ(c.at(x, y), c.at(mx, my)) << x << "," << y;
    }
  }
}

TEST(BsplineInterpolation, PassesThroughEverySampleIncludingLastRowAndColumn) {
  const std::int32_t w = 9;
  const std::int32_t h = 6;
  const GrayImage img = image_of(w, h, random_values(w * h, 3));
  const BsplineCoefficients c = compute_bspline_coefficients(img);
  for (std::int32_t x = 0; x < w; ++x) {
    for (std::int32_t y = 0; y < h; ++y) {
      const auto value = bspline_value(c, x, y);
      ASSERT_TRUE(value.has_value());
      EXPECT_NEAR(*value, img.pixels[x * h + y], 1e-10);
      const auto s = bspline_sample(c, x, y);
      ASSERT_TRUE(s.has_value());
      EXPECT_EQ(s->value, *value);
      // The gradient at a node equals the closed form of the node gradient.
      const auto g = bspline_gradient_at_pixel(c, x, y);
      EXPECT_NEAR(s->gx, g[0], 1e-10);
      EXPECT_NEAR(s->gy, g[1], 1e-10);
    }
  }
}

TEST(BsplineInterpolation, TinyImagesAreConstantOrLinearAlongTheirLongAxis) {
  const GrayImage one = image_of(1, 1, {42.0});
  const BsplineCoefficients c1 = compute_bspline_coefficients(one);
  EXPECT_EQ(*bspline_value(c1, 0.0, 0.0), 42.0);
  EXPECT_FALSE(bspline_value(c1, 0.5, 0.0).has_value());
  const GrayImage two = image_of(2, 1, {10.0, 20.0});
  const BsplineCoefficients c2 = compute_bspline_coefficients(two);
  EXPECT_NEAR(*bspline_value(c2, 0.0, 0.0), 10.0, 1e-12);
  EXPECT_NEAR(*bspline_value(c2, 1.0, 0.0), 20.0, 1e-12);
  // Mirrored two-sample line: symmetric about the midpoint.
  EXPECT_NEAR(*bspline_value(c2, 0.5, 0.0), 15.0, 1e-12);
}

// p(x, y) = sum a_ij x^i y^j, i, j <= 3, in coordinates centred on the image.
struct Cubic {
  double a[4][4];
  double value(double x, double y) const {
    double s = 0.0;
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) s += a[i][j] * std::pow(x, i) * std::pow(y, j);
    return s;
  }
  double dx(double x, double y) const {
    double s = 0.0;
    for (int i = 1; i < 4; ++i)
      for (int j = 0; j < 4; ++j) s += i * a[i][j] * std::pow(x, i - 1) * std::pow(y, j);
    return s;
  }
  double dy(double x, double y) const {
    double s = 0.0;
    for (int i = 0; i < 4; ++i)
      for (int j = 1; j < 4; ++j) s += j * a[i][j] * std::pow(x, i) * std::pow(y, j - 1);
    return s;
  }
};

TEST(BsplineInterpolation, ReproducesBicubicPolynomialsAwayFromTheBorder) {
  // The mirror extension bends a polynomial at the border; its effect on the
  // coefficients decays as |sqrt(3) - 2|^d, below 1e-13 at d = 24.
  const std::int32_t w = 64;
  const std::int32_t h = 72;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> coef(-1.0, 1.0);
  Cubic p{};
  for (auto& row : p.a)
    for (double& v : row) v = coef(rng);
  const double sx = 32.0;
  const double sy = 36.0;
  std::vector<double> pixels(static_cast<std::size_t>(w) * h);
  for (std::int32_t x = 0; x < w; ++x)
    for (std::int32_t y = 0; y < h; ++y)
      pixels[x * h + y] = 100.0 * p.value(x / sx - 1, y / sy - 1);
  const BsplineCoefficients c = compute_bspline_coefficients(image_of(w, h, pixels));
  std::uniform_real_distribution<double> px(24.0, w - 25.0), py(24.0, h - 25.0);
  for (int trial = 0; trial < 200; ++trial) {
    const double x = px(rng);
    const double y = py(rng);
    const auto s = bspline_sample(c, x, y);
    ASSERT_TRUE(s.has_value());
    EXPECT_NEAR(s->value, 100.0 * p.value(x / sx - 1, y / sy - 1), 1e-9);
    EXPECT_NEAR(s->gx, 100.0 * p.dx(x / sx - 1, y / sy - 1) / sx, 1e-9);
    EXPECT_NEAR(s->gy, 100.0 * p.dy(x / sx - 1, y / sy - 1) / sy, 1e-9);
  }
}

TEST(BsplineInterpolation, QuarticIsNotReproduced) {
  // Guards the polynomial test against a degenerate pass: degree 4 must leave
  // a visible error between the nodes.
  const std::int32_t n = 48;
  std::vector<double> pixels(static_cast<std::size_t>(n) * n);
  for (std::int32_t x = 0; x < n; ++x)
    for (std::int32_t y = 0; y < n; ++y) pixels[x * n + y] = std::pow((x - 24.0) / 4.0, 4);
  const BsplineCoefficients c = compute_bspline_coefficients(image_of(n, n, pixels));
  EXPECT_GT(std::abs(*bspline_value(c, 24.5, 24.0) - std::pow(0.5 / 4.0, 4)), 1e-4);
}

TEST(BsplineInterpolation, GradientMatchesDifferencesOfTheValue) {
  const std::int32_t w = 20;
  const std::int32_t h = 17;
  const BsplineCoefficients c =
      compute_bspline_coefficients(image_of(w, h, random_values(w * h, 9)));
  std::mt19937 rng(1);
  std::uniform_real_distribution<double> px(1.0, w - 2.0), py(1.0, h - 2.0);
  const double step = 1e-5;
  for (int trial = 0; trial < 100; ++trial) {
    const double x = px(rng);
    const double y = py(rng);
    const BsplineSample s = *bspline_sample(c, x, y);
    EXPECT_EQ(s.value, *bspline_value(c, x, y));
    const double gx =
        (*bspline_value(c, x + step, y) - *bspline_value(c, x - step, y)) / (2 * step);
    const double gy =
        (*bspline_value(c, x, y + step) - *bspline_value(c, x, y - step)) / (2 * step);
    EXPECT_NEAR(s.gx, gx, 1e-5 * (1.0 + std::abs(gx)));
    EXPECT_NEAR(s.gy, gy, 1e-5 * (1.0 + std::abs(gy)));
  }
}

TEST(BsplineBorder, ClosedDomainAndMirrorSymmetry) {
  const std::int32_t w = 12;
  const std::int32_t h = 10;
  const BsplineCoefficients c =
      compute_bspline_coefficients(image_of(w, h, random_values(w * h, 21)));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_TRUE(bspline_value(c, 0.0, 0.0).has_value());
  EXPECT_TRUE(bspline_value(c, w - 1.0, h - 1.0).has_value());
  EXPECT_FALSE(bspline_value(c, -1e-12, 3.0).has_value());
  EXPECT_FALSE(bspline_value(c, 3.0, -1e-12).has_value());
  EXPECT_FALSE(bspline_value(c, std::nextafter(w - 1.0, w), 3.0).has_value());
  EXPECT_FALSE(bspline_value(c, 3.0, std::nextafter(h - 1.0, h)).has_value());
  EXPECT_FALSE(bspline_sample(c, nan, 3.0).has_value());
  EXPECT_FALSE(bspline_sample(c, 3.0, nan).has_value());
  // The mirrored image is even about its first and last samples, so the
  // slope across each border vanishes there.
  for (double y : {0.0, 2.3, 9.0}) {
    EXPECT_NEAR(bspline_sample(c, 0.0, y)->gx, 0.0, 1e-10);
    EXPECT_NEAR(bspline_sample(c, w - 1.0, y)->gx, 0.0, 1e-10);
  }
  for (double x : {0.0, 5.7, 11.0}) {
    EXPECT_NEAR(bspline_sample(c, x, 0.0)->gy, 0.0, 1e-10);
    EXPECT_NEAR(bspline_sample(c, x, h - 1.0)->gy, 0.0, 1e-10);
  }
}

}  // namespace
}  // namespace dic2d
