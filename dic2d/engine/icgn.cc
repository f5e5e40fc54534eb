#include "dic2d/engine/icgn.h"

#include <cmath>
#include <cstddef>

#include "dic2d/engine/interpolation.h"

namespace dic2d {
namespace {

using Int4 = std::int32_t __attribute__((vector_size(16)));
using Mask4 = std::int64_t __attribute__((vector_size(32)));

inline void store4(double* p, const Double4& v) { __builtin_memcpy(p, &v, sizeof v); }

inline double lane_total(const Double4& acc) { return (acc[0] + acc[1]) + (acc[2] + acc[3]); }

// Sum of term(k) over k < n, pixel k in lane k mod 4. `term4` computes the
// four terms of pixels k .. k + 3 lane by lane with the same operations as
// `term`.
template <typename Term4, typename Term>
inline double lane_sum(std::size_t n, Term4 term4, Term term) {
  Double4 acc = {0.0, 0.0, 0.0, 0.0};
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    Double4 t;
    term4(k, t);
    acc += t;
  }
  for (; k < n; ++k) acc[k % 4] += term(k);
  return lane_total(acc);
}

// The warp's position of pixel k.
struct WarpRows {
  const double* px;
  const double* py;
  const double* ox;
  const double* oy;
  double u, v, du_dx, du_dy, dv_dx, dv_dy;

  void at(std::size_t k, double& x, double& y) const {
    x = ((px[k] + u) + du_dx * ox[k]) + du_dy * oy[k];
    y = ((py[k] + v) + dv_dx * ox[k]) + dv_dy * oy[k];
  }
  void at4(std::size_t k, Double4& x, Double4& y) const {
    Double4 pxk, pyk, oxk, oyk;
    load4(px + k, pxk);
    load4(py + k, pyk);
    load4(ox + k, oxk);
    load4(oy + k, oyk);
    x = ((pxk + u) + du_dx * oxk) + du_dy * oyk;
    y = ((pyk + v) + dv_dx * oxk) + dv_dy * oyk;
  }
};

WarpRows warp_rows(const IcgnSubset& s, const AffineParams& p) {
  return {s.pixel_x.data(),
          s.pixel_y.data(),
          s.offset_x.data(),
          s.offset_y.data(),
          p.u,
          p.v,
          p.du_dx,
          p.du_dy,
          p.dv_dx,
          p.dv_dy};
}

// Samples the deformed image's B-spline at every warped pixel; returns the
// number of pixels inside the sampled domain.
std::size_t sample_bspline(const BsplineCoefficients& c, const WarpRows& warp, std::size_t n,
                           double* out, std::uint8_t* usable) {
  const double x_max = static_cast<double>(c.width) - 1.0;
  const double y_max = static_cast<double>(c.height) - 1.0;
  const std::int64_t h = c.padded_height;
  std::size_t kept = 0;
  const auto single = [&](std::size_t k) {
    double x = 0.0;
    double y = 0.0;
    warp.at(k, x, y);
    if (bspline_inside(c, x, y)) {
      out[k] = bspline_value_inside(c, x, y);
      usable[k] = 1;
      ++kept;
    } else {
      out[k] = 0.0;
      usable[k] = 0;
    }
  };
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    Double4 x;
    Double4 y;
    warp.at4(k, x, y);
    const Mask4 inside = (0.0 <= x) & (x <= x_max) & (0.0 <= y) & (y <= y_max);
    if (!(inside[0] && inside[1] && inside[2] && inside[3])) {
      for (std::size_t j = k; j < k + 4; ++j) single(j);
      continue;
    }
    // In [0, limit] with limit < 2^31: truncation is the floor.
    const Int4 x0 = __builtin_convertvector(x, Int4);
    const Int4 y0 = __builtin_convertvector(y, Int4);
    const Double4 fx = x - __builtin_convertvector(x0, Double4);
    const Double4 fy = y - __builtin_convertvector(y0, Double4);
    Double4 wx[4];
    Double4 wy[4];
    bspline_value_weights(fx, wx);
    bspline_value_weights(fy, wy);
    for (int lane = 0; lane < 4; ++lane) {
      const double* p = bspline_first_tap(c, x0[lane], y0[lane]);
      Double4 t;
      bspline_rows(p, h, wx[0][lane], wx[1][lane], wx[2][lane], wx[3][lane], t);
      const double w[4] = {wy[0][lane], wy[1][lane], wy[2][lane], wy[3][lane]};
      out[k + static_cast<std::size_t>(lane)] = bspline_dot(t, w);
    }
    for (std::size_t j = k; j < k + 4; ++j) usable[j] = 1;
    kept += 4;
  }
  for (; k < n; ++k) single(k);
  return kept;
}

// Bilinear samples at every warped pixel (border policy of interpolation.h).
std::size_t sample_bilinear(const GrayImage& image, const WarpRows& warp, std::size_t n,
                            double* out, std::uint8_t* usable) {
  const double x_limit = static_cast<double>(image.width) - 1.0;
  const double y_limit = static_cast<double>(image.height) - 1.0;
  std::size_t kept = 0;
  for (std::size_t k = 0; k < n; ++k) {
    double x = 0.0;
    double y = 0.0;
    warp.at(k, x, y);
    if (0.0 <= x && x < x_limit && 0.0 <= y && y < y_limit) {
      const auto x0 = static_cast<std::int64_t>(x);
      const auto y0 = static_cast<std::int64_t>(y);
      out[k] = bilinear_in_cell(image.pixels.data(), image.height, x0, y0,
                                x - static_cast<double>(x0), y - static_cast<double>(y0));
      usable[k] = 1;
      ++kept;
    } else {
      out[k] = 0.0;
      usable[k] = 0;
    }
  }
  return kept;
}

std::size_t sample_deformed(const IcgnImages& images, const IcgnSubset& subset,
                            const AffineParams& p, IcgnScratch& scratch) {
  const std::size_t n = subset.size();
  scratch.sample.resize(n);
  scratch.usable.resize(n);
  const WarpRows warp = warp_rows(subset, p);
  if (images.interpolation == SubpixelInterpolation::kBspline3) {
    return sample_bspline(images.deformed_coefficients, warp, n, scratch.sample.data(),
                          scratch.usable.data());
  }
  return sample_bilinear(*images.deformed, warp, n, scratch.sample.data(), scratch.usable.data());
}

// Gradient of the reference at pixel (x, y) by mirrored central differences.
std::array<double, 2> central_gradient(const GrayImage& image, std::int64_t x, std::int64_t y) {
  const std::int64_t w = image.width;
  const std::int64_t h = image.height;
  const auto mirror = [](std::int64_t i, std::int64_t n) {
    return i < 0 ? -i : (i >= n ? 2 * (n - 1) - i : i);
  };
  const auto at = [&](std::int64_t i, std::int64_t j) {
    return image.pixels[static_cast<std::size_t>(i * h + j)];
  };
  // A line of one sample is flat.
  const double gx = w < 2 ? 0.0 : 0.5 * (at(mirror(x + 1, w), y) - at(mirror(x - 1, w), y));
  const double gy = h < 2 ? 0.0 : 0.5 * (at(x, mirror(y + 1, h)) - at(x, mirror(y - 1, h)));
  return {gx, gy};
}

// Index of entry (i, j), i <= j, in the packed upper triangle.
constexpr int packed(int i, int j) { return i * 6 - (i * (i - 1)) / 2 + (j - i); }

// The right-hand side b = sum s r (first `count` parameters) and, when some
// pixels were not sampled, the Hessian over the kept ones. Nothing when the
// deformed subset is flat (ZNSSD) or too few pixels are kept.
struct NormalSystem {
  std::array<double, 21> hessian;
  std::array<double, 6> b;
};

std::optional<NormalSystem> normal_system(const IcgnImages& images, const IcgnSubset& subset,
                                          std::size_t kept, int count, IcgnScratch& scratch) {
  const std::size_t n = subset.size();
  const double* g = scratch.sample.data();
  scratch.residual.resize(n);
  double* r = scratch.residual.data();
  NormalSystem system{};
  const bool znssd = images.criterion == MatchCriterion::kZnssd;
  if (kept == n) {
    system.hessian = subset.hessian;
    if (znssd) {
      const double mean_g = lane_sum(
                                n, [&](std::size_t k, Double4& t) { load4(g + k, t); },
                                [&](std::size_t k) { return g[k]; }) /
                            static_cast<double>(n);
      const double sgg = lane_sum(
          n,
          [&](std::size_t k, Double4& t) {
            load4(g + k, t);
            t = (t - mean_g) * (t - mean_g);
          },
          [&](std::size_t k) { return (g[k] - mean_g) * (g[k] - mean_g); });
      if (!(sgg > kVarianceFloor)) return std::nullopt;
      const double scale = std::sqrt(subset.srr) / std::sqrt(sgg);
      const double* f = subset.centred.data();
      std::size_t k = 0;
      for (; k + 4 <= n; k += 4) {
        Double4 fk;
        Double4 gk;
        load4(f + k, fk);
        load4(g + k, gk);
        store4(r + k, fk - scale * (gk - mean_g));
      }
      for (; k < n; ++k) r[k] = f[k] - scale * (g[k] - mean_g);
    } else {
      const double* f = subset.values.data();
      for (std::size_t k = 0; k < n; ++k) r[k] = f[k] - g[k];
    }
    for (int i = 0; i < count; ++i) {
      const double* s = subset.steepest[static_cast<std::size_t>(i)].data();
      system.b[static_cast<std::size_t>(i)] = lane_sum(
          n,
          [&](std::size_t k, Double4& t) {
            Double4 sk;
            Double4 rk;
            load4(s + k, sk);
            load4(r + k, rk);
            t = sk * rk;
          },
          [&](std::size_t k) { return s[k] * r[k]; });
    }
    return system;
  }
  // Some pixels fell outside: every sum over the kept pixels only.
  const std::uint8_t* usable = scratch.usable.data();
  const auto kept_sum = [&](auto term) {
    Double4 acc = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < n; ++k) {
      if (usable[k] != 0) acc[k % 4] += term(k);
    }
    return lane_total(acc);
  };
  const double count_kept = static_cast<double>(kept);
  const double* fv = subset.values.data();
  if (znssd) {
    const double mean_f = kept_sum([&](std::size_t k) { return fv[k]; }) / count_kept;
    const double mean_g = kept_sum([&](std::size_t k) { return g[k]; }) / count_kept;
    const double sff = kept_sum([&](std::size_t k) { return (fv[k] - mean_f) * (fv[k] - mean_f); });
    const double sgg = kept_sum([&](std::size_t k) { return (g[k] - mean_g) * (g[k] - mean_g); });
    if (!(sgg > kVarianceFloor)) return std::nullopt;
    const double scale = std::sqrt(sff) / std::sqrt(sgg);
    for (std::size_t k = 0; k < n; ++k) r[k] = (fv[k] - mean_f) - scale * (g[k] - mean_g);
  } else {
    for (std::size_t k = 0; k < n; ++k) r[k] = fv[k] - g[k];
  }
  for (int i = 0; i < count; ++i) {
    const double* si = subset.steepest[static_cast<std::size_t>(i)].data();
    system.b[static_cast<std::size_t>(i)] = kept_sum([&](std::size_t k) { return si[k] * r[k]; });
    for (int j = i; j < count; ++j) {
      const double* sj = subset.steepest[static_cast<std::size_t>(j)].data();
      system.hessian[static_cast<std::size_t>(packed(i, j))] =
          kept_sum([&](std::size_t k) { return si[k] * sj[k]; });
    }
  }
  return system;
}

// ZNCC over the pixels sampled at `p`: nothing with fewer than `min_count`
// of them, a flat side or a non-finite coefficient.
std::optional<double> final_coefficient(const IcgnImages& images, const IcgnSubset& subset,
                                        const AffineParams& p, std::size_t min_count,
                                        IcgnScratch& scratch) {
  const std::size_t kept = sample_deformed(images, subset, p, scratch);
  if (kept < min_count) return std::nullopt;
  const std::size_t n = subset.size();
  const double* g = scratch.sample.data();
  const double* f = subset.values.data();
  const std::uint8_t* usable = scratch.usable.data();
  const auto kept_sum = [&](auto term) {
    Double4 acc = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < n; ++k) {
      if (usable[k] != 0) acc[k % 4] += term(k);
    }
    return lane_total(acc);
  };
  const double count = static_cast<double>(kept);
  const double mean_f =
      kept == n ? subset.mean : kept_sum([&](std::size_t k) { return f[k]; }) / count;
  const double mean_g = kept_sum([&](std::size_t k) { return g[k]; }) / count;
  const double srr =
      kept == n ? subset.srr
                : kept_sum([&](std::size_t k) { return (f[k] - mean_f) * (f[k] - mean_f); });
  const double sdd = kept_sum([&](std::size_t k) { return (g[k] - mean_g) * (g[k] - mean_g); });
  const double sdr = kept_sum([&](std::size_t k) { return (g[k] - mean_g) * (f[k] - mean_f); });
  if (srr <= kVarianceFloor || sdd <= kVarianceFloor) return std::nullopt;
  const double coefficient = sdr / std::sqrt(srr * sdd);
  if (!std::isfinite(coefficient)) return std::nullopt;
  return coefficient;
}

}  // namespace

IcgnImages prepare_icgn_images(const GrayImage& reference, const GrayImage& deformed,
                               MatchCriterion criterion, SubpixelInterpolation interpolation) {
  IcgnImages images;
  images.reference = &reference;
  images.deformed = &deformed;
  images.criterion = criterion;
  images.interpolation = interpolation;
  if (interpolation == SubpixelInterpolation::kBspline3) {
    images.reference_coefficients = compute_bspline_coefficients(reference);
    images.deformed_coefficients = compute_bspline_coefficients(deformed);
  }
  return images;
}

void prepare_icgn_subset(const IcgnImages& images, const std::vector<SubsetOffset>& offsets,
                         std::int32_t cx, std::int32_t cy, IcgnSubset& subset) {
  const std::size_t n = offsets.size();
  subset.cx = cx;
  subset.cy = cy;
  for (auto* field : {&subset.offset_x, &subset.offset_y, &subset.pixel_x, &subset.pixel_y,
                      &subset.values, &subset.centred}) {
    field->resize(n);
  }
  for (auto& s : subset.steepest) s.resize(n);
  const GrayImage& reference = *images.reference;
  const std::int64_t height = reference.height;
  const bool bspline = images.interpolation == SubpixelInterpolation::kBspline3;
  for (std::size_t k = 0; k < n; ++k) {
    const std::int64_t x = static_cast<std::int64_t>(cx) + offsets[k].dx;
    const std::int64_t y = static_cast<std::int64_t>(cy) + offsets[k].dy;
    const double dx = offsets[k].dx;
    const double dy = offsets[k].dy;
    subset.offset_x[k] = dx;
    subset.offset_y[k] = dy;
    subset.pixel_x[k] = static_cast<double>(x);
    subset.pixel_y[k] = static_cast<double>(y);
    subset.values[k] = reference.pixels[static_cast<std::size_t>(x * height + y)];
    const std::array<double, 2> grad =
        bspline ? bspline_gradient_at_pixel(images.reference_coefficients, x, y)
                : central_gradient(reference, x, y);
    subset.steepest[0][k] = grad[0];
    subset.steepest[1][k] = grad[1];
    subset.steepest[2][k] = grad[0] * dx;
    subset.steepest[3][k] = grad[0] * dy;
    subset.steepest[4][k] = grad[1] * dx;
    subset.steepest[5][k] = grad[1] * dy;
  }
  const double* f = subset.values.data();
  subset.mean = n > 0 ? lane_sum(
                            n, [&](std::size_t k, Double4& t) { load4(f + k, t); },
                            [&](std::size_t k) { return f[k]; }) /
                            static_cast<double>(n)
                      : 0.0;
  for (std::size_t k = 0; k < n; ++k) subset.centred[k] = f[k] - subset.mean;
  const double* c = subset.centred.data();
  subset.srr = lane_sum(
      n,
      [&](std::size_t k, Double4& t) {
        load4(c + k, t);
        t = t * t;
      },
      [&](std::size_t k) { return c[k] * c[k]; });
  for (int i = 0; i < 6; ++i) {
    const double* si = subset.steepest[static_cast<std::size_t>(i)].data();
    for (int j = i; j < 6; ++j) {
      const double* sj = subset.steepest[static_cast<std::size_t>(j)].data();
      subset.hessian[static_cast<std::size_t>(packed(i, j))] = lane_sum(
          n,
          [&](std::size_t k, Double4& t) {
            Double4 a;
            Double4 b;
            load4(si + k, a);
            load4(sj + k, b);
            t = a * b;
          },
          [&](std::size_t k) { return si[k] * sj[k]; });
    }
  }
}

std::optional<AffineParams> compose_inverse_update(const AffineParams& p, const AffineParams& dp) {
  // Written in differences from the identity so that small gradients keep
  // their relative precision (1 + g - 1 would round g to the ulp of 1).
  // W(dp)^-1 has linear part I + M and translation -(I + M) t_dp.
  const double det_minus_one = (dp.du_dx + dp.dv_dy) + (dp.du_dx * dp.dv_dy - dp.du_dy * dp.dv_dx);
  const double det = 1.0 + det_minus_one;
  if (!(std::abs(det) > kSingularLimit)) return std::nullopt;
  const double m00 = (dp.dv_dy - det_minus_one) / det;
  const double m01 = -dp.du_dy / det;
  const double m10 = -dp.dv_dx / det;
  const double m11 = (dp.du_dx - det_minus_one) / det;
  const double t0 = -(dp.u + (m00 * dp.u + m01 * dp.v));
  const double t1 = -(dp.v + (m10 * dp.u + m11 * dp.v));
  // W(p) (I + M, t): gradients G + M + G M, translation t_p + t + G t.
  AffineParams out;
  out.du_dx = (p.du_dx + m00) + (p.du_dx * m00 + p.du_dy * m10);
  out.du_dy = (p.du_dy + m01) + (p.du_dx * m01 + p.du_dy * m11);
  out.dv_dx = (p.dv_dx + m10) + (p.dv_dx * m00 + p.dv_dy * m10);
  out.dv_dy = (p.dv_dy + m11) + (p.dv_dx * m01 + p.dv_dy * m11);
  out.u = (p.u + t0) + (p.du_dx * t0 + p.du_dy * t1);
  out.v = (p.v + t1) + (p.dv_dx * t0 + p.dv_dy * t1);
  return out;
}

std::optional<TranslationResult> icgn_translation(const IcgnImages& images,
                                                  const IcgnSubset& subset, double u, double v,
                                                  const DicParameters& params,
                                                  IcgnScratch& scratch) {
  if (subset.size() < 3) return std::nullopt;
  AffineParams p;
  p.u = u;
  p.v = v;
  for (std::int32_t iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    const std::size_t kept = sample_deformed(images, subset, p, scratch);
    if (kept <= 2) return std::nullopt;
    const auto system = normal_system(images, subset, kept, 2, scratch);
    if (!system) return std::nullopt;
    const double h00 = system->hessian[packed(0, 0)];
    const double h01 = system->hessian[packed(0, 1)];
    const double h11 = system->hessian[packed(1, 1)];
    const double det = h11 * h00 - h01 * h01;
    if (std::abs(det) <= kSingularLimit) return std::nullopt;
    const double b0 = system->b[0];
    const double b1 = system->b[1];
    const double delta_u = -(h11 * b0 - h01 * b1) / det;
    const double delta_v = -(h00 * b1 - h01 * b0) / det;
    if (!std::isfinite(delta_u) || !std::isfinite(delta_v)) return std::nullopt;
    // Composing with an inverse translation subtracts it.
    p.u -= delta_u;
    p.v -= delta_v;
    if (params.cutoff_diffnorm > std::sqrt(delta_u * delta_u + delta_v * delta_v)) break;
  }
  const auto coefficient = final_coefficient(images, subset, p, 3, scratch);
  if (!coefficient) return std::nullopt;
  return TranslationResult{p.u, p.v, *coefficient};
}

std::optional<AffineResult> icgn_affine(const IcgnImages& images, const IcgnSubset& subset,
                                        const AffineParams& initial, const DicParameters& params,
                                        IcgnScratch& scratch) {
  if (subset.size() < 6) return std::nullopt;
  AffineParams p = initial;
  for (std::int32_t iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    const std::size_t kept = sample_deformed(images, subset, p, scratch);
    if (kept < 6) return std::nullopt;
    const auto system = normal_system(images, subset, kept, 6, scratch);
    if (!system) return std::nullopt;
    std::array<std::array<double, 6>, 6> h{};
    for (int i = 0; i < 6; ++i) {
      for (int j = i; j < 6; ++j) {
        h[i][j] = h[j][i] = system->hessian[static_cast<std::size_t>(packed(i, j))];
      }
    }
    std::array<double, 6> rhs{};
    for (int i = 0; i < 6; ++i) rhs[i] = -system->b[i];
    const auto delta = solve_6x6(h, rhs);
    if (!delta) return std::nullopt;
    double norm_sq = 0.0;
    for (int i = 0; i < 6; ++i) {
      if (!std::isfinite((*delta)[i])) return std::nullopt;
      norm_sq += (*delta)[i] * (*delta)[i];
    }
    const AffineParams dp{(*delta)[0], (*delta)[1], (*delta)[2],
                          (*delta)[3], (*delta)[4], (*delta)[5]};
    const auto composed = compose_inverse_update(p, dp);
    if (!composed) return std::nullopt;
    p = *composed;
    if (params.cutoff_diffnorm > std::sqrt(norm_sq)) break;
  }
  const auto coefficient = final_coefficient(images, subset, p, 6, scratch);
  if (!coefficient) return std::nullopt;
  return AffineResult{p, *coefficient};
}

AffineResult icgn_refine_match(const IcgnImages& images, const IcgnSubset& subset,
                               const AffineParams& start, double start_corrcoef,
                               const DicParameters& params, IcgnScratch& scratch) {
  AffineResult result{start, start_corrcoef};
  if (const auto t = icgn_translation(images, subset, start.u, start.v, params, scratch)) {
    result.params.u = t->u;
    result.params.v = t->v;
    result.corrcoef = t->corrcoef;
  }
  if (const auto a = icgn_affine(images, subset, result.params, params, scratch)) {
    result = *a;
  }
  return result;
}

}  // namespace dic2d
