#include "dic2d/engine/bspline.h"

#include <cmath>
#include <vector>

namespace dic2d {
namespace {

// Pole of the cubic B-spline's inverse filter 6 / (z + 4 + 1/z).
const double kPole = std::sqrt(3.0) - 2.0;

// Index of the whole-sample mirror extension of a line of n samples.
std::int64_t mirror_index(std::int64_t i, std::int64_t n) {
  if (n == 1) return 0;
  const std::int64_t period = 2 * n - 2;
  i %= period;
  if (i < 0) i += period;
  return i < n ? i : period - i;
}

// Prefilters `lines` parallel lines of n samples: sample k of line l is
// base[k * position_stride + l]. Each line gets exactly the operations of a
// lone line in the same order, so filtering lines together changes no bit.
// `start` is scratch of at least `lines` entries.
void prefilter_lines(double* base, std::int64_t n, std::int64_t position_stride, std::int64_t lines,
                     double* start) {
  if (n < 2) return;
  const double z = kPole;
  const auto at = [&](std::int64_t k) { return base + k * position_stride; };
  // Causal start: the infinite causal sum over the mirrored line is one
  // period (2n - 2 samples) divided by 1 - z^period. Powers that underflow
  // to zero add nothing.
  const std::int64_t period = 2 * n - 2;
  for (std::int64_t l = 0; l < lines; ++l) start[l] = 0.0;
  double power = 1.0;
  for (std::int64_t k = 0; k < period && power != 0.0; ++k) {
    const double* sample = at(k < n ? k : period - k);
    for (std::int64_t l = 0; l < lines; ++l) start[l] += power * sample[l];
    power *= z;
  }
  double power_period = 1.0;
  for (std::int64_t k = 0; k < period && power_period != 0.0; ++k) power_period *= z;
  const double causal_scale = 1.0 - power_period;
  {
    double* first = at(0);
    for (std::int64_t l = 0; l < lines; ++l) first[l] = start[l] / causal_scale;
  }
  for (std::int64_t k = 1; k < n; ++k) {
    double* current = at(k);
    const double* previous = at(k - 1);
    for (std::int64_t l = 0; l < lines; ++l) current[l] = current[l] + z * previous[l];
  }
  // Anti-causal start for the mirror extension, then the backward pass.
  const double anti_scale = z / (z * z - 1.0);
  {
    double* last = at(n - 1);
    const double* before = at(n - 2);
    for (std::int64_t l = 0; l < lines; ++l) last[l] = anti_scale * (last[l] + z * before[l]);
  }
  for (std::int64_t k = n - 2; k >= 0; --k) {
    double* current = at(k);
    const double* next = at(k + 1);
    for (std::int64_t l = 0; l < lines; ++l) current[l] = z * (next[l] - current[l]);
  }
  // Gain of the cubic B-spline's inverse filter: (1 - z)(1 - 1/z) = 6.
  for (std::int64_t k = 0; k < n; ++k) {
    double* current = at(k);
    for (std::int64_t l = 0; l < lines; ++l) current[l] = 6.0 * current[l];
  }
}

}  // namespace

void bspline_prefilter_line(double* line, std::int64_t n, std::int64_t stride) {
  double start = 0.0;
  prefilter_lines(line, n, stride, 1, &start);
}

BsplineCoefficients compute_bspline_coefficients(const GrayImage& image) {
  BsplineCoefficients c;
  c.width = image.width;
  c.height = image.height;
  const std::int64_t w = image.width;
  const std::int64_t h = image.height;
  const std::int64_t ph = h + 2 * kBsplinePad;
  c.padded_height = ph;
  c.values.assign(static_cast<std::size_t>((w + 2 * kBsplinePad) * ph), 0.0);
  double* interior = c.values.data() + kBsplinePad * ph + kBsplinePad;
  for (std::int64_t x = 0; x < w; ++x) {
    const double* source = image.pixels.data() + x * h;
    double* column = interior + x * ph;
    for (std::int64_t y = 0; y < h; ++y) column[y] = source[y];
    bspline_prefilter_line(column, h, 1);
  }
  // Along x, every row at once: the inner loop then runs over contiguous y.
  std::vector<double> start(static_cast<std::size_t>(h));
  prefilter_lines(interior, w, ph, h, start.data());
  // Mirrored margin: rows first within the interior columns, then whole
  // margin columns copied from their mirror columns.
  for (std::int64_t x = 0; x < w; ++x) {
    double* column = interior + x * ph;
    for (std::int64_t k = 1; k <= kBsplinePad; ++k) {
      column[-k] = column[mirror_index(-k, h)];
      column[h - 1 + k] = column[mirror_index(h - 1 + k, h)];
    }
  }
  for (std::int64_t k = 1; k <= kBsplinePad; ++k) {
    for (const std::int64_t x : {-k, w - 1 + k}) {
      const double* from = c.values.data() + (mirror_index(x, w) + kBsplinePad) * ph;
      double* to = c.values.data() + (x + kBsplinePad) * ph;
      for (std::int64_t y = 0; y < ph; ++y) to[y] = from[y];
    }
  }
  return c;
}

std::optional<double> bspline_value(const BsplineCoefficients& c, double x, double y) {
  if (!bspline_inside(c, x, y)) return std::nullopt;
  return bspline_value_inside(c, x, y);
}

std::optional<BsplineSample> bspline_sample(const BsplineCoefficients& c, double x, double y) {
  if (!bspline_inside(c, x, y)) return std::nullopt;
  return bspline_sample_inside(c, x, y);
}

std::array<double, 2> bspline_gradient_at_pixel(const BsplineCoefficients& c, std::int64_t x,
                                                std::int64_t y) {
  constexpr double kSide = 1.0 / 6.0;
  constexpr double kMiddle = 4.0 / 6.0;
  const double dx_minus = c.at(x + 1, y - 1) - c.at(x - 1, y - 1);
  const double dx_zero = c.at(x + 1, y) - c.at(x - 1, y);
  const double dx_plus = c.at(x + 1, y + 1) - c.at(x - 1, y + 1);
  const double dy_minus = c.at(x - 1, y + 1) - c.at(x - 1, y - 1);
  const double dy_zero = c.at(x, y + 1) - c.at(x, y - 1);
  const double dy_plus = c.at(x + 1, y + 1) - c.at(x + 1, y - 1);
  return {0.5 * ((kSide * dx_minus + kMiddle * dx_zero) + kSide * dx_plus),
          0.5 * ((kSide * dy_minus + kMiddle * dy_zero) + kSide * dy_plus)};
}

}  // namespace dic2d
