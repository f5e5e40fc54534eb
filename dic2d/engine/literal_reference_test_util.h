#pragma once
// Plain, unoptimised versions of the subset correlation, the integer scan,
// bilinear sampling and both Gauss-Newton refinements, written as straight
// loops over the subset in offset order: nothing precomputed, cached or
// reordered. The engine's fast code must reproduce every result of these bit
// for bit; the engine tests compare the two. Tests only.
//
// Conventions as in the engine: pixel (x, y) is element x * height + y; the
// subset is dx ascending (outer), dy ascending (inner) inside the disc.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/core/match.h"
#include "dic2d/core/parameters.h"
#include "dic2d/engine/correlation.h"
#include "dic2d/engine/gauss_newton.h"
#include "dic2d/engine/integer_match.h"
#include "dic2d/engine/spot_pattern_test_util.h"
#include "dic2d/roi/reduced_grid.h"

namespace dic2d::testing {

inline double literal_pixel(const GrayImage& image, std::int64_t x, std::int64_t y) {
  return image.pixels[static_cast<std::size_t>(x * image.height + y)];
}

inline std::vector<SubsetOffset> literal_offsets(const RoiMask& mask, std::int32_t cx,
                                                 std::int32_t cy, std::int32_t r, bool truncation) {
  std::vector<SubsetOffset> offsets;
  for (std::int64_t dx = -r; dx <= r; ++dx) {
    for (std::int64_t dy = -r; dy <= r; ++dy) {
      if (dx * dx + dy * dy > static_cast<std::int64_t>(r) * r) continue;
      const std::int64_t x = cx + dx;
      const std::int64_t y = cy + dy;
      if (x < 0 || x >= mask.width || y < 0 || y >= mask.height) continue;
      if (truncation && mask.values[static_cast<std::size_t>(x * mask.height + y)] == 0) continue;
      offsets.push_back({static_cast<std::int32_t>(dx), static_cast<std::int32_t>(dy)});
    }
  }
  return offsets;
}

inline std::optional<double> literal_bilinear(const GrayImage& image, double x, double y) {
  if (!(x >= 0.0 && x < image.width - 1.0 && y >= 0.0 && y < image.height - 1.0))
    return std::nullopt;
  const double fx = std::floor(x);
  const double fy = std::floor(y);
  const auto x0 = static_cast<std::int64_t>(fx);
  const auto y0 = static_cast<std::int64_t>(fy);
  const double a = x - fx;
  const double b = y - fy;
  double value = (1.0 - a) * (1.0 - b) * literal_pixel(image, x0, y0);
  value = value + (1.0 - b) * a * literal_pixel(image, x0 + 1, y0);
  value = value + (1.0 - a) * b * literal_pixel(image, x0, y0 + 1);
  value = value + a * b * literal_pixel(image, x0 + 1, y0 + 1);
  return value;
}

inline std::optional<std::array<double, 2>> literal_gradient(const GrayImage& image, double x,
                                                             double y) {
  const auto right = literal_bilinear(image, x + 0.5, y);
  const auto left = literal_bilinear(image, x - 0.5, y);
  const auto down = literal_bilinear(image, x, y + 0.5);
  const auto up = literal_bilinear(image, x, y - 0.5);
  if (!right || !left || !down || !up) return std::nullopt;
  return std::array<double, 2>{*right - *left, *down - *up};
}

// Coefficient of paired samples in offset order; nothing below `min_count`
// pairs, for a flat side, or for a non-finite value.
inline std::optional<double> literal_pair_coefficient(const std::vector<double>& r,
                                                      const std::vector<double>& d,
                                                      std::size_t min_count) {
  if (r.size() < min_count) return std::nullopt;
  const double n = static_cast<double>(r.size());
  double sum_r = 0.0;
  double sum_d = 0.0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    sum_r += r[i];
    sum_d += d[i];
  }
  const double mean_r = sum_r / n;
  const double mean_d = sum_d / n;
  double srr = 0.0;
  double sdd = 0.0;
  double sdr = 0.0;
  for (std::size_t i = 0; i < r.size(); ++i) {
    srr += (r[i] - mean_r) * (r[i] - mean_r);
    sdd += (d[i] - mean_d) * (d[i] - mean_d);
    sdr += (d[i] - mean_d) * (r[i] - mean_r);
  }
  if (srr <= kVarianceFloor || sdd <= kVarianceFloor) return std::nullopt;
  const double c = sdr / std::sqrt(srr * sdd);
  if (!std::isfinite(c)) return std::nullopt;
  return c;
}

inline std::optional<double> literal_zncc(const GrayImage& reference, const GrayImage& deformed,
                                          const std::vector<SubsetOffset>& offsets, std::int32_t cx,
                                          std::int32_t cy, std::int64_t du, std::int64_t dv) {
  std::vector<double> r;
  std::vector<double> d;
  for (const SubsetOffset& o : offsets) {
    const std::int64_t x = cx + du + o.dx;
    const std::int64_t y = cy + dv + o.dy;
    if (x < 0 || x >= deformed.width || y < 0 || y >= deformed.height) return std::nullopt;
    d.push_back(literal_pixel(deformed, x, y));
    r.push_back(literal_pixel(reference, cx + o.dx, cy + o.dy));
  }
  return literal_pair_coefficient(r, d, 0);
}

// Exhaustive scan, du ascending (outer), dv ascending (inner); a candidate is
// retained only when strictly better than the best so far.
inline std::optional<IntegerMatch> literal_integer_scan(
    const GrayImage& reference, const GrayImage& deformed, const std::vector<SubsetOffset>& offsets,
    std::int32_t cx, std::int32_t cy, std::int64_t du_first, std::int64_t du_last,
    std::int64_t dv_first, std::int64_t dv_last) {
  std::optional<IntegerMatch> best;
  double best_value = -std::numeric_limits<double>::infinity();
  for (std::int64_t du = du_first; du <= du_last; ++du) {
    for (std::int64_t dv = dv_first; dv <= dv_last; ++dv) {
      const auto z = literal_zncc(reference, deformed, offsets, cx, cy, du, dv);
      if (z && *z > best_value) {
        best_value = *z;
        best = IntegerMatch{du, dv, *z};
      }
    }
  }
  return best;
}

// Final coefficient of a refinement stage at warp p.
inline std::optional<double> literal_final_coefficient(
    const GrayImage& reference, const GrayImage& deformed, const std::vector<SubsetOffset>& offsets,
    std::int32_t cx, std::int32_t cy, const AffineParams& p, std::size_t min_count) {
  std::vector<double> r;
  std::vector<double> d;
  for (const SubsetOffset& o : offsets) {
    const double dx = o.dx;
    const double dy = o.dy;
    const double x = static_cast<double>(cx + o.dx) + p.u + p.du_dx * dx + p.du_dy * dy;
    const double y = static_cast<double>(cy + o.dy) + p.v + p.dv_dx * dx + p.dv_dy * dy;
    const auto s = literal_bilinear(deformed, x, y);
    if (!s) continue;
    r.push_back(literal_pixel(reference, cx + o.dx, cy + o.dy));
    d.push_back(*s);
  }
  return literal_pair_coefficient(r, d, min_count);
}

// What a literal refinement did: the passes completed and the norm of each
// update, for tests of the stopping rule.
struct LiteralTrace {
  int iterations = 0;
  std::vector<double> step_norms;
};

inline std::optional<TranslationResult> literal_refine_translation(
    const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask, double u, double v,
    std::int32_t cx, std::int32_t cy, const DicParameters& params, LiteralTrace* trace = nullptr) {
  const auto offsets =
      literal_offsets(mask, cx, cy, params.subset_radius, params.subset_truncation);
  if (offsets.size() < 3) return std::nullopt;
  for (int iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    double sxx = 0.0, sxy = 0.0, syy = 0.0, sxe = 0.0, sye = 0.0;
    int k = 0;
    for (const SubsetOffset& o : offsets) {
      const double px = static_cast<double>(cx + o.dx) + u;
      const double py = static_cast<double>(cy + o.dy) + v;
      const auto s = literal_bilinear(deformed, px, py);
      const auto g = literal_gradient(deformed, px, py);
      if (!s || !g) continue;
      const double e = *s - literal_pixel(reference, cx + o.dx, cy + o.dy);
      const double gx = (*g)[0];
      const double gy = (*g)[1];
      sxx += gx * gx;
      sxe += gx * e;
      sxy += gx * gy;
      syy += gy * gy;
      sye += gy * e;
      ++k;
    }
    if (k <= 2) return std::nullopt;
    const double det = syy * sxx - sxy * sxy;
    if (std::fabs(det) <= kSingularLimit) return std::nullopt;
    const double delta_u = -(syy * sxe - sxy * sye) / det;
    if (!std::isfinite(delta_u)) return std::nullopt;
    const double delta_v = -(sxx * sye - sxy * sxe) / det;
    if (!std::isfinite(delta_v)) return std::nullopt;
    u += delta_u;
    v += delta_v;
    const double norm = std::sqrt(delta_u * delta_u + delta_v * delta_v);
    if (trace) {
      trace->iterations = iteration + 1;
      trace->step_norms.push_back(norm);
    }
    if (params.cutoff_diffnorm > norm) break;
  }
  AffineParams p;
  p.u = u;
  p.v = v;
  const auto c = literal_final_coefficient(reference, deformed, offsets, cx, cy, p, 3);
  if (!c) return std::nullopt;
  return TranslationResult{u, v, *c};
}

// Gaussian elimination with partial pivoting, first row of largest magnitude.
inline std::optional<std::array<double, 6>> literal_solve_6x6(
    std::array<std::array<double, 6>, 6> a, std::array<double, 6> rhs) {
  for (int col = 0; col < 6; ++col) {
    int pivot = col;
    for (int row = col + 1; row < 6; ++row)
      if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
    if (std::fabs(a[pivot][col]) <= kSingularLimit) return std::nullopt;
    std::swap(a[pivot], a[col]);
    std::swap(rhs[pivot], rhs[col]);
    for (int row = col + 1; row < 6; ++row) {
      const double factor = a[row][col] / a[col][col];
      for (int c = col; c < 6; ++c) a[row][c] -= factor * a[col][c];
      rhs[row] -= factor * rhs[col];
    }
  }
  std::array<double, 6> x{};
  for (int row = 5; row >= 0; --row) {
    double s = rhs[row];
    for (int c = row + 1; c < 6; ++c) s -= a[row][c] * x[c];
    if (std::fabs(a[row][row]) <= kSingularLimit) return std::nullopt;
    x[row] = s / a[row][row];
  }
  return x;
}

inline std::optional<AffineResult> literal_refine_affine(
    const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask, std::int32_t cx,
    std::int32_t cy, const AffineParams& initial, const DicParameters& params,
    LiteralTrace* trace = nullptr) {
  const auto offsets =
      literal_offsets(mask, cx, cy, params.subset_radius, params.subset_truncation);
  if (offsets.size() < 6) return std::nullopt;
  std::array<double, 6> p = {initial.u,     initial.v,     initial.du_dx,
                             initial.du_dy, initial.dv_dx, initial.dv_dy};
  for (int iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    std::array<std::array<double, 6>, 6> h{};
    std::array<double, 6> g{};
    int k = 0;
    for (const SubsetOffset& o : offsets) {
      const double dx = o.dx;
      const double dy = o.dy;
      const double x = static_cast<double>(cx + o.dx) + p[0] + p[2] * dx + p[3] * dy;
      const double y = static_cast<double>(cy + o.dy) + p[1] + p[4] * dx + p[5] * dy;
      const auto s = literal_bilinear(deformed, x, y);
      const auto grad = literal_gradient(deformed, x, y);
      if (!s || !grad) continue;
      const double e = *s - literal_pixel(reference, cx + o.dx, cy + o.dy);
      const double gx = (*grad)[0];
      const double gy = (*grad)[1];
      const std::array<double, 6> sd = {gx, gy, gx * dx, gx * dy, gy * dx, gy * dy};
      for (int i = 0; i < 6; ++i) {
        g[i] += sd[i] * e;
        for (int j = 0; j < 6; ++j) h[i][j] += sd[i] * sd[j];
      }
      ++k;
    }
    if (k < 6) return std::nullopt;
    std::array<double, 6> minus_g{};
    for (int i = 0; i < 6; ++i) minus_g[i] = -g[i];
    const auto delta = literal_solve_6x6(h, minus_g);
    if (!delta) return std::nullopt;
    for (int i = 0; i < 6; ++i) p[i] += (*delta)[i];
    for (int i = 0; i < 6; ++i)
      if (!std::isfinite((*delta)[i])) return std::nullopt;
    double norm2 = 0.0;
    for (int i = 0; i < 6; ++i) norm2 += (*delta)[i] * (*delta)[i];
    const double norm = std::sqrt(norm2);
    if (trace) {
      trace->iterations = iteration + 1;
      trace->step_norms.push_back(norm);
    }
    if (params.cutoff_diffnorm > norm) break;
  }
  const AffineParams result{p[0], p[1], p[2], p[3], p[4], p[5]};
  const auto c = literal_final_coefficient(reference, deformed, offsets, cx, cy, result, 6);
  if (!c) return std::nullopt;
  return AffineResult{result, *c};
}

// ---- Comparison of results bit for bit ----

inline bool same_bits(double a, double b) {
  std::uint64_t x = 0;
  std::uint64_t y = 0;
  std::memcpy(&x, &a, sizeof x);
  std::memcpy(&y, &b, sizeof y);
  return x == y;
}

inline std::vector<double> fields(const double& c) { return {c}; }
inline std::vector<double> fields(const TranslationResult& t) { return {t.u, t.v, t.corrcoef}; }
inline std::vector<double> fields(const AffineResult& a) {
  const AffineParams& p = a.params;
  return {p.u, p.v, p.du_dx, p.du_dy, p.dv_dx, p.dv_dy, a.corrcoef};
}
inline std::vector<double> fields(const SeedMatch& s) {
  std::vector<double> values = fields(AffineResult{s.params, s.corrcoef});
  values.insert(values.begin(), {static_cast<double>(s.centre.x), static_cast<double>(s.centre.y)});
  return values;
}
inline std::vector<double> fields(const IntegerMatch& m) {
  // Displacements are far below 2^53, so the doubles carry them exactly.
  return {static_cast<double>(m.du), static_cast<double>(m.dv), m.corrcoef};
}
template <std::size_t N>
std::vector<double> fields(const std::array<double, N>& x) {
  return std::vector<double>(x.begin(), x.end());
}

inline std::string describe(const std::vector<double>& values) {
  std::ostringstream out;
  out << std::hexfloat << "{";
  for (std::size_t i = 0; i < values.size(); ++i) out << (i ? ", " : "") << values[i];
  out << "}";
  return out.str();
}

// Equal outcome and, on success, every field with the same bit pattern
// (NaN payloads and signed zeros included).
template <typename T>
::testing::AssertionResult same_result(const std::optional<T>& actual,
                                       const std::optional<T>& expected) {
  if (actual.has_value() != expected.has_value()) {
    return ::testing::AssertionFailure()
           << "actual " << (actual ? describe(fields(*actual)) : "nothing") << ", expected "
           << (expected ? describe(fields(*expected)) : "nothing");
  }
  if (!actual) return ::testing::AssertionSuccess();
  const auto a = fields(*actual);
  const auto e = fields(*expected);
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!same_bits(a[i], e[i])) {
      return ::testing::AssertionFailure()
             << "field " << i << ": actual " << describe(a) << ", expected " << describe(e);
    }
  }
  return ::testing::AssertionSuccess();
}

// ---- Synthetic scenes ----

inline GrayImage filled_image(int width, int height, double value) {
  GrayImage image;
  image.width = width;
  image.height = height;
  image.pixels.assign(static_cast<std::size_t>(width) * height, value);
  return image;
}

inline void set_pixel(GrayImage& image, int x, int y, double value) {
  image.pixels[static_cast<std::size_t>(x) * image.height + y] = value;
}

// Full mask with a rectangular hole and scattered single-pixel holes, so
// truncated subsets have irregular offsets.
inline RoiMask holed_mask(int width, int height, unsigned seed) {
  RoiMask mask;
  mask.width = width;
  mask.height = height;
  mask.values.assign(static_cast<std::size_t>(width) * height, 1);
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pick(0, 9);
  for (int x = 0; x < width; ++x) {
    for (int y = 0; y < height; ++y) {
      const bool in_block = x >= width / 2 && x < width / 2 + 7 && y >= 4 && y < 11;
      if (in_block || pick(rng) == 0) mask.values[static_cast<std::size_t>(x) * height + y] = 0;
    }
  }
  return mask;
}

// A speckle reference, the deformed image showing it through the inverse
// map `inverse` (as testing_util::render takes it) and a holed mask.
struct SpeckleScene {
  GrayImage reference;
  GrayImage deformed;
  RoiMask mask;
};

template <typename InverseMap>
SpeckleScene speckle_scene(int width, int height, unsigned spots_seed, unsigned mask_seed,
                           InverseMap inverse) {
  const auto spots = testing_util::make_spots(width, height, spots_seed, 0.05);
  return {testing_util::render_reference(width, height, spots),
          testing_util::render(width, height, spots, inverse),
          holed_mask(width, height, mask_seed)};
}

}  // namespace dic2d::testing
