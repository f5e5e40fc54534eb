#include "dic2d/engine/refinement.h"

#include <cmath>
#include <cstddef>
#include <utility>

#include "dic2d/engine/interpolation.h"

namespace dic2d {
namespace {

// Bounds of the deformed image for bilinear sampling: a base cell needs
// 0 <= x < width - 1 and 0 <= y < height - 1.
struct SampleBounds {
  double x_limit;
  double y_limit;
  std::int64_t height;
  const double* pixels;
};

SampleBounds sample_bounds(const GrayImage& image) {
  return {static_cast<double>(image.width) - 1.0, static_cast<double>(image.height) - 1.0,
          image.height, image.pixels.data()};
}

inline bool sample_at(const SampleBounds& img, double x, double y, double& value) {
  if (!(0.0 <= x && x < img.x_limit && 0.0 <= y && y < img.y_limit)) {
    return false;
  }
  const auto x0 = static_cast<std::int64_t>(x);
  const auto y0 = static_cast<std::int64_t>(y);
  value = bilinear_in_cell(img.pixels, img.height, x0, y0, x - static_cast<double>(x0),
                           y - static_cast<double>(y0));
  return true;
}

// Sample and half-pixel gradient at (x, y), sharing the cell arithmetic of
// the five bilinear samples. Same values and same success as
// bilinear_sample + half_pixel_gradient.
inline bool sample_with_gradient(const SampleBounds& img, double x, double y,
                                 double& value, double& gx, double& gy) {
  const double xp = x + 0.5;
  const double xm = x - 0.5;
  const double yp = y + 0.5;
  const double ym = y - 0.5;
  // Rounding is monotone, so xm >= 0 implies x >= 0 and xp >= 0, and
  // xp < limit implies x < limit and xm < limit; NaN fails every test.
  if (!(0.0 <= xm && xp < img.x_limit && 0.0 <= ym && yp < img.y_limit)) {
    return false;
  }
  const auto x0 = static_cast<std::int64_t>(x);
  const auto y0 = static_cast<std::int64_t>(y);
  const auto xp0 = static_cast<std::int64_t>(xp);
  const auto xm0 = static_cast<std::int64_t>(xm);
  const auto yp0 = static_cast<std::int64_t>(yp);
  const auto ym0 = static_cast<std::int64_t>(ym);
  const double a = x - static_cast<double>(x0);
  const double b = y - static_cast<double>(y0);
  const double ap = xp - static_cast<double>(xp0);
  const double am = xm - static_cast<double>(xm0);
  const double bp = yp - static_cast<double>(yp0);
  const double bm = ym - static_cast<double>(ym0);
  value = bilinear_in_cell(img.pixels, img.height, x0, y0, a, b);
  gx = bilinear_in_cell(img.pixels, img.height, xp0, y0, ap, b) -
       bilinear_in_cell(img.pixels, img.height, xm0, y0, am, b);
  gy = bilinear_in_cell(img.pixels, img.height, x0, yp0, a, bp) -
       bilinear_in_cell(img.pixels, img.height, x0, ym0, a, bm);
  return true;
}

// ZNCC between the reference subset and the deformed samples at the warped
// positions, over the offsets whose sample succeeds. `warp` maps an offset
// index to (x', y'). Nothing with fewer than `min_count` pairs, a flat side
// or a non-finite coefficient.
template <typename Warp>
std::optional<double> final_coefficient(const ReferenceSubset& subset,
                                        const GrayImage& deformed, std::size_t min_count,
                                        RefinementScratch& scratch, Warp warp) {
  const SampleBounds img = sample_bounds(deformed);
  const std::size_t n = subset.offsets.size();
  scratch.sample.resize(n);
  scratch.usable.resize(n);
  std::size_t kept = 0;
  for (std::size_t k = 0; k < n; ++k) {
    double x = 0.0;
    double y = 0.0;
    warp(k, x, y);
    const bool ok = sample_at(img, x, y, scratch.sample[k]);
    scratch.usable[k] = ok ? 1 : 0;
    kept += ok ? 1 : 0;
  }
  if (kept < min_count) {
    return std::nullopt;
  }
  const double count = static_cast<double>(kept);
  double srr = 0.0;
  double sdd = 0.0;
  double sdr = 0.0;
  if (kept == n) {
    // Every pixel kept: the reference mean and Srr are the prepared ones.
    double sum_d = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      sum_d += scratch.sample[k];
    }
    const double mean_d = sum_d / count;
    for (std::size_t k = 0; k < n; ++k) {
      const double t = scratch.sample[k] - mean_d;
      sdd += t * t;
      sdr += t * subset.centred[k];
    }
    srr = subset.srr;
  } else {
    scratch.kept_reference.clear();
    scratch.kept_deformed.clear();
    for (std::size_t k = 0; k < n; ++k) {
      if (scratch.usable[k] != 0) {
        scratch.kept_reference.push_back(subset.values[k]);
        scratch.kept_deformed.push_back(scratch.sample[k]);
      }
    }
    double sum_r = 0.0;
    double sum_d = 0.0;
    for (std::size_t k = 0; k < kept; ++k) {
      sum_r += scratch.kept_reference[k];
      sum_d += scratch.kept_deformed[k];
    }
    const double mean_r = sum_r / count;
    const double mean_d = sum_d / count;
    for (std::size_t k = 0; k < kept; ++k) {
      const double tr = scratch.kept_reference[k] - mean_r;
      const double td = scratch.kept_deformed[k] - mean_d;
      srr += tr * tr;
      sdd += td * td;
      sdr += td * tr;
    }
  }
  if (srr <= kVarianceFloor || sdd <= kVarianceFloor) {
    return std::nullopt;
  }
  const double coefficient = sdr / std::sqrt(srr * sdd);
  if (!std::isfinite(coefficient)) {
    return std::nullopt;
  }
  return coefficient;
}

}  // namespace

void prepare_reference_subset(const GrayImage& reference, const RoiMask& mask,
                              std::int32_t cx, std::int32_t cy,
                              const DicParameters& params, ReferenceSubset& subset) {
  subset.cx = cx;
  subset.cy = cy;
  build_subset_offsets(mask, cx, cy, params, subset.offsets);
  const std::size_t n = subset.offsets.size();
  subset.offset_x.resize(n);
  subset.offset_y.resize(n);
  subset.pixel_x.resize(n);
  subset.pixel_y.resize(n);
  subset.pixel_index.resize(n);
  subset.values.resize(n);
  subset.centred.resize(n);
  const std::int64_t height = reference.height;
  double sum = 0.0;
  std::int32_t dx_min = 0;
  std::int32_t dx_max = 0;
  std::int32_t dy_min = 0;
  std::int32_t dy_max = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const SubsetOffset o = subset.offsets[k];
    const std::int64_t px = static_cast<std::int64_t>(cx) + o.dx;
    const std::int64_t py = static_cast<std::int64_t>(cy) + o.dy;
    subset.offset_x[k] = o.dx;
    subset.offset_y[k] = o.dy;
    subset.pixel_x[k] = static_cast<double>(px);
    subset.pixel_y[k] = static_cast<double>(py);
    subset.pixel_index[k] = px * height + py;
    subset.values[k] = reference.pixels[static_cast<std::size_t>(px * height + py)];
    sum += subset.values[k];
    if (k == 0 || o.dx < dx_min) dx_min = o.dx;
    if (k == 0 || o.dx > dx_max) dx_max = o.dx;
    if (k == 0 || o.dy < dy_min) dy_min = o.dy;
    if (k == 0 || o.dy > dy_max) dy_max = o.dy;
  }
  subset.dx_min = dx_min;
  subset.dx_max = dx_max;
  subset.dy_min = dy_min;
  subset.dy_max = dy_max;
  subset.mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
  double srr = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    subset.centred[k] = subset.values[k] - subset.mean;
    srr += subset.centred[k] * subset.centred[k];
  }
  subset.srr = srr;
}

std::optional<std::array<double, 6>> solve_6x6(std::array<std::array<double, 6>, 6>& a,
                                               std::array<double, 6>& rhs) {
  constexpr int kN = 6;
  for (int c = 0; c < kN; ++c) {
    int pivot = c;
    double best = std::abs(a[c][c]);
    for (int r = c + 1; r < kN; ++r) {
      const double magnitude = std::abs(a[r][c]);
      if (magnitude > best) {
        best = magnitude;
        pivot = r;
      }
    }
    if (best <= kSingularLimit) {
      return std::nullopt;
    }
    if (pivot != c) {
      std::swap(a[pivot], a[c]);
      std::swap(rhs[pivot], rhs[c]);
    }
    for (int r = c + 1; r < kN; ++r) {
      const double factor = a[r][c] / a[c][c];
      for (int k = c; k < kN; ++k) {
        a[r][k] -= factor * a[c][k];
      }
      rhs[r] -= factor * rhs[c];
    }
  }
  std::array<double, 6> x{};
  for (int i = kN - 1; i >= 0; --i) {
    double s = rhs[i];
    for (int k = i + 1; k < kN; ++k) {
      s -= a[i][k] * x[k];
    }
    if (std::abs(a[i][i]) <= kSingularLimit) {
      return std::nullopt;
    }
    x[i] = s / a[i][i];
  }
  return x;
}

std::optional<TranslationResult> refine_translation(const ReferenceSubset& subset,
                                                    const GrayImage& deformed,
                                                    double u, double v,
                                                    const DicParameters& params,
                                                    RefinementScratch& scratch) {
  const std::size_t n = subset.offsets.size();
  if (n < 3) {
    return std::nullopt;
  }
  const SampleBounds img = sample_bounds(deformed);
  const double* px = subset.pixel_x.data();
  const double* py = subset.pixel_y.data();
  const double* ref = subset.values.data();
  for (std::int32_t iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    double sxx = 0.0;
    double sxy = 0.0;
    double syy = 0.0;
    double sxe = 0.0;
    double sye = 0.0;
    std::size_t k_used = 0;
    for (std::size_t k = 0; k < n; ++k) {
      double value = 0.0;
      double gx = 0.0;
      double gy = 0.0;
      if (!sample_with_gradient(img, px[k] + u, py[k] + v, value, gx, gy)) {
        continue;
      }
      const double e = value - ref[k];
      sxx += gx * gx;
      sxe += gx * e;
      sxy += gx * gy;
      syy += gy * gy;
      sye += gy * e;
      ++k_used;
    }
    if (k_used <= 2) {
      return std::nullopt;
    }
    const double det = syy * sxx - sxy * sxy;
    if (std::abs(det) <= kSingularLimit) {
      return std::nullopt;
    }
    const double delta_u = -(syy * sxe - sxy * sye) / det;
    if (!std::isfinite(delta_u)) {
      return std::nullopt;
    }
    const double delta_v = -(sxx * sye - sxy * sxe) / det;
    if (!std::isfinite(delta_v)) {
      return std::nullopt;
    }
    u += delta_u;
    v += delta_v;
    if (params.cutoff_diffnorm > std::sqrt(delta_u * delta_u + delta_v * delta_v)) {
      break;
    }
  }
  const auto coefficient =
      final_coefficient(subset, deformed, 3, scratch, [&](std::size_t k, double& x, double& y) {
        x = px[k] + u;
        y = py[k] + v;
      });
  if (!coefficient) {
    return std::nullopt;
  }
  return TranslationResult{u, v, *coefficient};
}

std::optional<AffineResult> refine_affine(const ReferenceSubset& subset,
                                          const GrayImage& deformed,
                                          const AffineParams& initial,
                                          const DicParameters& params,
                                          RefinementScratch& scratch) {
  const std::size_t n = subset.offsets.size();
  if (n < 6) {
    return std::nullopt;
  }
  const SampleBounds img = sample_bounds(deformed);
  const double* px = subset.pixel_x.data();
  const double* py = subset.pixel_y.data();
  const double* ox = subset.offset_x.data();
  const double* oy = subset.offset_y.data();
  const double* ref = subset.values.data();
  std::array<double, 6> p{initial.u,     initial.v,     initial.du_dx,
                          initial.du_dy, initial.dv_dx, initial.dv_dy};
  for (std::int32_t iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    // The 21 distinct entries of the symmetric normal matrix, row by row
    // (h01 = s0 * s1, ...), and the right-hand side.
    double h00 = 0, h01 = 0, h02 = 0, h03 = 0, h04 = 0, h05 = 0;
    double h11 = 0, h12 = 0, h13 = 0, h14 = 0, h15 = 0;
    double h22 = 0, h23 = 0, h24 = 0, h25 = 0;
    double h33 = 0, h34 = 0, h35 = 0;
    double h44 = 0, h45 = 0;
    double h55 = 0;
    double g0 = 0, g1 = 0, g2 = 0, g3 = 0, g4 = 0, g5 = 0;
    std::size_t k_used = 0;
    const double u = p[0];
    const double v = p[1];
    const double du_dx = p[2];
    const double du_dy = p[3];
    const double dv_dx = p[4];
    const double dv_dy = p[5];
    for (std::size_t k = 0; k < n; ++k) {
      const double dx = ox[k];
      const double dy = oy[k];
      const double x = ((px[k] + u) + du_dx * dx) + du_dy * dy;
      const double y = ((py[k] + v) + dv_dx * dx) + dv_dy * dy;
      double value = 0.0;
      double gx = 0.0;
      double gy = 0.0;
      if (!sample_with_gradient(img, x, y, value, gx, gy)) {
        continue;
      }
      const double e = value - ref[k];
      const double s0 = gx;
      const double s1 = gy;
      const double s2 = gx * dx;
      const double s3 = gx * dy;
      const double s4 = gy * dx;
      const double s5 = gy * dy;
      g0 += s0 * e;
      g1 += s1 * e;
      g2 += s2 * e;
      g3 += s3 * e;
      g4 += s4 * e;
      g5 += s5 * e;
      h00 += s0 * s0;
      h01 += s0 * s1;
      h02 += s0 * s2;
      h03 += s0 * s3;
      h04 += s0 * s4;
      h05 += s0 * s5;
      h11 += s1 * s1;
      h12 += s1 * s2;
      h13 += s1 * s3;
      h14 += s1 * s4;
      h15 += s1 * s5;
      h22 += s2 * s2;
      h23 += s2 * s3;
      h24 += s2 * s4;
      h25 += s2 * s5;
      h33 += s3 * s3;
      h34 += s3 * s4;
      h35 += s3 * s5;
      h44 += s4 * s4;
      h45 += s4 * s5;
      h55 += s5 * s5;
      ++k_used;
    }
    if (k_used < 6) {
      return std::nullopt;
    }
    // s_i * s_j == s_j * s_i exactly, so the mirrored entries are the sums
    // the full outer product would give.
    std::array<std::array<double, 6>, 6> h{{{h00, h01, h02, h03, h04, h05},
                                            {h01, h11, h12, h13, h14, h15},
                                            {h02, h12, h22, h23, h24, h25},
                                            {h03, h13, h23, h33, h34, h35},
                                            {h04, h14, h24, h34, h44, h45},
                                            {h05, h15, h25, h35, h45, h55}}};
    std::array<double, 6> rhs{-g0, -g1, -g2, -g3, -g4, -g5};
    const auto delta = solve_6x6(h, rhs);
    if (!delta) {
      return std::nullopt;
    }
    double norm_sq = 0.0;
    for (int i = 0; i < 6; ++i) {
      p[i] += (*delta)[i];
      if (!std::isfinite((*delta)[i])) {
        return std::nullopt;
      }
    }
    for (int i = 0; i < 6; ++i) {
      norm_sq += (*delta)[i] * (*delta)[i];
    }
    if (params.cutoff_diffnorm > std::sqrt(norm_sq)) {
      break;
    }
  }
  const auto coefficient =
      final_coefficient(subset, deformed, 6, scratch, [&](std::size_t k, double& x, double& y) {
        x = ((px[k] + p[0]) + p[2] * ox[k]) + p[3] * oy[k];
        y = ((py[k] + p[1]) + p[4] * ox[k]) + p[5] * oy[k];
      });
  if (!coefficient) {
    return std::nullopt;
  }
  return AffineResult{AffineParams{p[0], p[1], p[2], p[3], p[4], p[5]}, *coefficient};
}

std::optional<TranslationResult> refine_translation(
    const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
    double u, double v, std::int32_t cx, std::int32_t cy, const DicParameters& params) {
  ReferenceSubset subset;
  RefinementScratch scratch;
  prepare_reference_subset(reference, mask, cx, cy, params, subset);
  return refine_translation(subset, deformed, u, v, params, scratch);
}

std::optional<AffineResult> refine_affine(const GrayImage& reference,
                                          const GrayImage& deformed,
                                          const RoiMask& mask, std::int32_t cx,
                                          std::int32_t cy, const AffineParams& initial,
                                          const DicParameters& params) {
  ReferenceSubset subset;
  RefinementScratch scratch;
  prepare_reference_subset(reference, mask, cx, cy, params, subset);
  return refine_affine(subset, deformed, initial, params, scratch);
}

}  // namespace dic2d
