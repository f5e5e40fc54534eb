#include "dic2d/engine/icgn.h"

#include <cmath>
#include <cstddef>

#include "dic2d/engine/correlation.h"
#include "dic2d/engine/interpolation.h"
#include "dic2d/engine/lane_dispatch.h"
#include "dic2d/engine/smoothing.h"

namespace dic2d {
namespace {

using Int4 = std::int32_t __attribute__((vector_size(16)));
using Mask4 = std::int64_t __attribute__((vector_size(32)));

inline void store4(double* p, const Double4& v) { __builtin_memcpy(p, &v, sizeof v); }

// Lanes are read and written through memory rather than by subscript: GCC
// lowers a variable subscript of a 32-byte vector wrongly inside a function
// compiled for AVX2 from a translation unit without it (the temporary is
// sized for the baseline instruction set and the stack is overwritten).
inline void lanes_of(const Double4& v, double (&out)[4]) { __builtin_memcpy(out, &v, sizeof v); }

inline void add_to_lane(Double4& acc, std::size_t lane, double value) {
  double a[4];
  lanes_of(acc, a);
  a[lane] += value;
  __builtin_memcpy(&acc, a, sizeof acc);
}

inline double lane_total(const Double4& acc) {
  double a[4];
  lanes_of(acc, a);
  return (a[0] + a[1]) + (a[2] + a[3]);
}

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
  for (; k < n; ++k) add_to_lane(acc, k % 4, term(k));
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

// Lane sums of one sampling pass: sum of g and, for the first kCount
// parameters, sum of s_i g. Valid only when every pixel was sampled.
template <int kCount>
struct PassSums {
  double g = 0.0;   // sum g
  double gg = 0.0;  // sum (g - mean f)^2
  double gf = 0.0;  // sum g (f - mean f)
  double sg[6] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
};

// The lane sums of a pass, added pixel by pixel (add1) or four pixels at a
// time (add4) with the same operations.
template <int kCount>
struct PassAccumulator {
  const IcgnSubset& subset;
  Double4 g = {0.0, 0.0, 0.0, 0.0};
  Double4 gg = {0.0, 0.0, 0.0, 0.0};
  Double4 gf = {0.0, 0.0, 0.0, 0.0};
  Double4 sg[6] = {};

  __attribute__((always_inline)) void add4(std::size_t k, const Double4& v) {
    g += v;
    const Double4 d = v - subset.mean;
    gg += d * d;
    Double4 fc;
    load4(subset.centred.data() + k, fc);
    gf += v * fc;
    for (int i = 0; i < kCount; ++i) {
      Double4 s;
      load4(subset.steepest[i].data() + k, s);
      sg[i] += s * v;
    }
  }
  __attribute__((always_inline)) void add1(std::size_t k, double v) {
    const std::size_t lane = k % 4;
    add_to_lane(g, lane, v);
    const double d = v - subset.mean;
    add_to_lane(gg, lane, d * d);
    add_to_lane(gf, lane, v * subset.centred[k]);
    for (int i = 0; i < kCount; ++i) add_to_lane(sg[i], lane, subset.steepest[i][k] * v);
  }
  void finish(PassSums<kCount>& sums) const {
    sums.g = lane_total(g);
    sums.gg = lane_total(gg);
    sums.gf = lane_total(gf);
    for (int i = 0; i < kCount; ++i) sums.sg[i] = lane_total(sg[i]);
  }
};

// Samples the deformed image's B-spline at every warped pixel into `out`
// (usable[k] = 1 inside the sampled domain) and sums g and s_i g on the way;
// returns the number of pixels sampled. The four pixels of a group are
// warped, weighted and summed lane by lane; their taps are read per pixel.
template <int kCount>
__attribute__((always_inline)) inline std::size_t sample_bspline_body(
    const BsplineCoefficients& c, const WarpRows& warp, const IcgnSubset& subset, double* out,
    std::uint8_t* usable, PassSums<kCount>& sums) {
  const std::size_t n = subset.size();
  const double x_max = static_cast<double>(c.width) - 1.0;
  const double y_max = static_cast<double>(c.height) - 1.0;
  const std::int64_t h = c.padded_height;
  std::size_t kept = 0;
  PassAccumulator<kCount> acc{subset};
  const auto single = [&](std::size_t k) {
    double x = 0.0;
    double y = 0.0;
    warp.at(k, x, y);
    if (bspline_inside(c, x, y)) {
      const double g = bspline_value_inside(c, x, y);
      out[k] = g;
      usable[k] = 1;
      ++kept;
      acc.add1(k, g);
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
    std::int64_t in[4];
    __builtin_memcpy(in, &inside, sizeof in);
    if (!(in[0] && in[1] && in[2] && in[3])) {
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
    std::int32_t xs[4];
    std::int32_t ys[4];
    __builtin_memcpy(xs, &x0, sizeof xs);
    __builtin_memcpy(ys, &y0, sizeof ys);
    if (xs[1] == xs[0] && xs[2] == xs[0] && xs[3] == xs[0] && ys[1] == ys[0] + 1 &&
        ys[2] == ys[0] + 2 && ys[3] == ys[0] + 3) {
      // Four pixels whose base cells are consecutive rows of one column (the
      // usual case: offsets run down columns and the warp is near a
      // translation): tap (i, j) of the four pixels is one contiguous load,
      // and every sum runs over the pixels lane by lane, in the order of
      // bspline_rows and bspline_dot.
      const double* p = bspline_first_tap(c, xs[0], ys[0]);
      Double4 t[4];
      for (int j = 0; j < 4; ++j) {
        Double4 c0, c1, c2, c3;
        load4(p + j, c0);
        load4(p + h + j, c1);
        load4(p + 2 * h + j, c2);
        load4(p + 3 * h + j, c3);
        t[j] = ((wx[0] * c0 + wx[1] * c1) + wx[2] * c2) + wx[3] * c3;
      }
      const Double4 g = ((wy[0] * t[0] + wy[1] * t[1]) + wy[2] * t[2]) + wy[3] * t[3];
      store4(out + k, g);
      for (std::size_t j = k; j < k + 4; ++j) usable[j] = 1;
      kept += 4;
      acc.add4(k, g);
      continue;
    }
    // Rows t_j of each pixel along x, then transposed so that the sum along
    // y runs over the four pixels at once: the operations of bspline_dot.
    double w[4][4];
    for (int i = 0; i < 4; ++i) lanes_of(wx[i], w[i]);
    double t[4][4];
    for (int lane = 0; lane < 4; ++lane) {
      Double4 row;
      bspline_rows(bspline_first_tap(c, xs[lane], ys[lane]), h, w[0][lane], w[1][lane], w[2][lane],
                   w[3][lane], row);
      lanes_of(row, t[lane]);
    }
    const Double4 t0 = {t[0][0], t[1][0], t[2][0], t[3][0]};
    const Double4 t1 = {t[0][1], t[1][1], t[2][1], t[3][1]};
    const Double4 t2 = {t[0][2], t[1][2], t[2][2], t[3][2]};
    const Double4 t3 = {t[0][3], t[1][3], t[2][3], t[3][3]};
    const Double4 g = ((wy[0] * t0 + wy[1] * t1) + wy[2] * t2) + wy[3] * t3;
    store4(out + k, g);
    for (std::size_t j = k; j < k + 4; ++j) usable[j] = 1;
    kept += 4;
    acc.add4(k, g);
  }
  for (; k < n; ++k) single(k);
  acc.finish(sums);
  return kept;
}

template <int kCount>
DIC_FOUR_LANE_TARGET std::size_t sample_bspline_four(const BsplineCoefficients& c,
                                                     const WarpRows& warp, const IcgnSubset& subset,
                                                     double* out, std::uint8_t* usable,
                                                     PassSums<kCount>& sums) {
  return sample_bspline_body<kCount>(c, warp, subset, out, usable, sums);
}

template <int kCount>
std::size_t sample_bspline_two(const BsplineCoefficients& c, const WarpRows& warp,
                               const IcgnSubset& subset, double* out, std::uint8_t* usable,
                               PassSums<kCount>& sums) {
  return sample_bspline_body<kCount>(c, warp, subset, out, usable, sums);
}

// Bilinear samples at every warped pixel (border policy of interpolation.h),
// with the same sums as the B-spline pass.
template <int kCount>
std::size_t sample_bilinear(const GrayImage& image, const WarpRows& warp, const IcgnSubset& subset,
                            double* out, std::uint8_t* usable, PassSums<kCount>& sums) {
  const std::size_t n = subset.size();
  const BilinearImage img = bilinear_image(image);
  std::size_t kept = 0;
  PassAccumulator<kCount> acc{subset};
  for (std::size_t k = 0; k < n; ++k) {
    double x = 0.0;
    double y = 0.0;
    warp.at(k, x, y);
    double g = 0.0;
    if (bilinear_at(img, x, y, g)) {
      out[k] = g;
      usable[k] = 1;
      ++kept;
      acc.add1(k, g);
    } else {
      out[k] = 0.0;
      usable[k] = 0;
    }
  }
  acc.finish(sums);
  return kept;
}

template <int kCount>
std::size_t sample_deformed(const IcgnImages& images, const IcgnSubset& subset,
                            const AffineParams& p, IcgnScratch& scratch, PassSums<kCount>& sums) {
  const std::size_t n = subset.size();
  scratch.sample.resize(n);
  scratch.usable.resize(n);
  const WarpRows warp = warp_rows(subset, p);
  double* out = scratch.sample.data();
  std::uint8_t* usable = scratch.usable.data();
  if (images.interpolation == SubpixelInterpolation::kBilinear) {
    return sample_bilinear(icgn_deformed(images), warp, subset, out, usable, sums);
  }
  if (images.lanes == LaneWidth::kFour) {
    return sample_bspline_four(images.deformed_coefficients, warp, subset, out, usable, sums);
  }
  return sample_bspline_two(images.deformed_coefficients, warp, subset, out, usable, sums);
}

// Centred sums of the deformed samples from a pass over every pixel:
// sum (g - mean g)^2 from the sum about the reference mean, and
// sum (g - mean g)(f - mean f) = sum g f_c - mean g * sum f_c.
template <int kCount>
void centred_sums(const IcgnSubset& subset, const PassSums<kCount>& sums, double mean_g,
                  double& sgg, double& sgf) {
  const double shift = mean_g - subset.mean;
  sgg = sums.gg - static_cast<double>(subset.size()) * (shift * shift);
  sgf = sums.gf - mean_g * subset.centred_sum;
}

// Samples of the translation stage. Under a translation every pixel shares
// the fractions of (u, v), so the sample of pixel k is taken at base cell
// (x_k + floor(u), y_k + floor(v)) with the weights of u - floor(u) and
// v - floor(v), computed once. When the whole subset lies inside the sampled
// domain the interpolation is separable over its bounding box: each column
// is filtered along x once for all its rows, then each pixel along y. Every
// sample gets the operations of bspline_rows and bspline_dot either way.
template <int kCount>
__attribute__((always_inline)) inline std::size_t translation_pass_body(
    const BsplineCoefficients& c, const IcgnSubset& subset, double u, double v,
    IcgnScratch& scratch, PassSums<kCount>& sums) {
  const std::size_t n = subset.size();
  double* out = scratch.sample.data();
  std::uint8_t* usable = scratch.usable.data();
  PassAccumulator<kCount> acc{subset};
  constexpr double kShiftLimit = 1073741824.0;  // 2^30: far outside any image
  if (!(std::abs(u) < kShiftLimit && std::abs(v) < kShiftLimit)) {
    for (std::size_t k = 0; k < n; ++k) usable[k] = 0;
    acc.finish(sums);
    return 0;
  }
  const double floor_u = std::floor(u);
  const double floor_v = std::floor(v);
  const double fu = u - floor_u;  // exact
  const double fv = v - floor_v;
  const auto iu = static_cast<std::int64_t>(floor_u);
  const auto iv = static_cast<std::int64_t>(floor_v);
  double wx[4];
  double wy[4];
  bspline_value_weights(fu, wx);
  bspline_value_weights(fv, wy);
  const std::int64_t w = c.width;
  const std::int64_t hgt = c.height;
  // Base cell x0 with fraction f lies in [0, limit - 1] when x0 >= 0 and
  // x0 + f <= limit - 1.
  const auto inside_x = [&](std::int64_t x0) {
    return x0 >= 0 && (x0 < w - 1 || (x0 == w - 1 && fu == 0.0));
  };
  const auto inside_y = [&](std::int64_t y0) {
    return y0 >= 0 && (y0 < hgt - 1 || (y0 == hgt - 1 && fv == 0.0));
  };
  const std::int64_t h = c.padded_height;
  const std::int64_t x_lo = static_cast<std::int64_t>(subset.cx) + subset.dx_min + iu;
  const std::int64_t x_hi = static_cast<std::int64_t>(subset.cx) + subset.dx_max + iu;
  const std::int64_t y_lo = static_cast<std::int64_t>(subset.cy) + subset.dy_min + iv;
  const std::int64_t y_hi = static_cast<std::int64_t>(subset.cy) + subset.dy_max + iv;
  if (n > 0 && inside_x(x_lo) && inside_x(x_hi) && inside_y(y_lo) && inside_y(y_hi)) {
    const auto columns = static_cast<std::size_t>(subset.dx_max - subset.dx_min) + 1;
    const auto rows = static_cast<std::size_t>(subset.dy_max - subset.dy_min) + 4;
    scratch.filtered.resize(columns * rows);
    double* filtered = scratch.filtered.data();
    for (std::size_t col = 0; col < columns; ++col) {
      const double* p = bspline_first_tap(c, x_lo + static_cast<std::int64_t>(col), y_lo);
      double* t = filtered + col * rows;
      std::size_t j = 0;
      for (; j + 4 <= rows; j += 4) {
        Double4 row;
        bspline_rows(p + j, h, wx[0], wx[1], wx[2], wx[3], row);
        store4(t + j, row);
      }
      for (; j < rows; ++j) {
        t[j] = ((wx[0] * p[j] + wx[1] * p[h + j]) + wx[2] * p[2 * h + j]) + wx[3] * p[3 * h + j];
      }
    }
    const std::int32_t* column = subset.column.data();
    const std::int32_t* row = subset.row.data();
    std::size_t k = 0;
    while (k < n) {
      const double* q =
          filtered + static_cast<std::size_t>(column[k]) * rows + static_cast<std::size_t>(row[k]);
      if (k + 4 <= n && column[k + 3] == column[k] && row[k + 3] == row[k] + 3) {
        Double4 a, b, cc, d;
        load4(q, a);
        load4(q + 1, b);
        load4(q + 2, cc);
        load4(q + 3, d);
        const Double4 g = ((wy[0] * a + wy[1] * b) + wy[2] * cc) + wy[3] * d;
        store4(out + k, g);
        acc.add4(k, g);
        k += 4;
      } else {
        const double g = ((wy[0] * q[0] + wy[1] * q[1]) + wy[2] * q[2]) + wy[3] * q[3];
        out[k] = g;
        acc.add1(k, g);
        k += 1;
      }
    }
    for (std::size_t j = 0; j < n; ++j) usable[j] = 1;
    acc.finish(sums);
    return n;
  }
  std::size_t kept = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const std::int64_t x0 = static_cast<std::int64_t>(subset.pixel_x[k]) + iu;
    const std::int64_t y0 = static_cast<std::int64_t>(subset.pixel_y[k]) + iv;
    if (!(inside_x(x0) && inside_y(y0))) {
      out[k] = 0.0;
      usable[k] = 0;
      continue;
    }
    Double4 t;
    bspline_rows(bspline_first_tap(c, x0, y0), h, wx[0], wx[1], wx[2], wx[3], t);
    const double g = bspline_dot(t, wy);
    out[k] = g;
    usable[k] = 1;
    ++kept;
    acc.add1(k, g);
  }
  acc.finish(sums);
  return kept;
}

template <int kCount>
DIC_FOUR_LANE_TARGET std::size_t translation_pass_four(const BsplineCoefficients& c,
                                                       const IcgnSubset& subset, double u, double v,
                                                       IcgnScratch& scratch,
                                                       PassSums<kCount>& sums) {
  return translation_pass_body<kCount>(c, subset, u, v, scratch, sums);
}

template <int kCount>
std::size_t translation_pass_two(const BsplineCoefficients& c, const IcgnSubset& subset, double u,
                                 double v, IcgnScratch& scratch, PassSums<kCount>& sums) {
  return translation_pass_body<kCount>(c, subset, u, v, scratch, sums);
}

// Samples of the translation stage at (u, v) with every interpolation.
template <int kCount>
std::size_t sample_translation(const IcgnImages& images, const IcgnSubset& subset, double u,
                               double v, IcgnScratch& scratch, PassSums<kCount>& sums) {
  if (images.interpolation == SubpixelInterpolation::kBilinear) {
    AffineParams p;
    p.u = u;
    p.v = v;
    return sample_deformed(images, subset, p, scratch, sums);
  }
  scratch.sample.resize(subset.size());
  scratch.usable.resize(subset.size());
  if (images.lanes == LaneWidth::kFour) {
    return translation_pass_four(images.deformed_coefficients, subset, u, v, scratch, sums);
  }
  return translation_pass_two(images.deformed_coefficients, subset, u, v, scratch, sums);
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

template <int kCount>
std::optional<NormalSystem> normal_system(const IcgnImages& images, const IcgnSubset& subset,
                                          std::size_t kept, const PassSums<kCount>& sums,
                                          IcgnScratch& scratch) {
  constexpr int count = kCount;
  const std::size_t n = subset.size();
  const double* g = scratch.sample.data();
  NormalSystem system{};
  const bool znssd = images.criterion == MatchCriterion::kZnssd;
  if (kept == n) {
    system.hessian = subset.hessian;
    // b_i = sum s_i r expanded into the pass's sums and the reference's
    // prepared ones, so that no second pass over s_i is needed.
    if (znssd) {
      const double mean_g = sums.g / static_cast<double>(n);
      double sgg = 0.0;
      double sgf = 0.0;
      centred_sums(subset, sums, mean_g, sgg, sgf);
      if (!(sgg > kVarianceFloor)) return std::nullopt;
      const double scale = std::sqrt(subset.srr) / std::sqrt(sgg);
      for (int i = 0; i < count; ++i) {
        system.b[i] =
            subset.steepest_centred_sum[i] - scale * (sums.sg[i] - mean_g * subset.steepest_sum[i]);
      }
    } else {
      for (int i = 0; i < count; ++i) system.b[i] = subset.steepest_value_sum[i] - sums.sg[i];
    }
    return system;
  }
  scratch.residual.resize(n);
  double* r = scratch.residual.data();
  // Some pixels fell outside: every sum over the kept pixels only.
  const std::uint8_t* usable = scratch.usable.data();
  const auto kept_sum = [&](auto term) {
    Double4 acc = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < n; ++k) {
      if (usable[k] != 0) add_to_lane(acc, k % 4, term(k));
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
std::optional<double> final_coefficient(const IcgnSubset& subset, std::size_t kept,
                                        const PassSums<0>& sums, std::size_t min_count,
                                        IcgnScratch& scratch) {
  if (kept < min_count) return std::nullopt;
  const std::size_t n = subset.size();
  const double* g = scratch.sample.data();
  if (kept == n) {
    const double mean_g = sums.g / static_cast<double>(n);
    double sdd = 0.0;
    double sdr = 0.0;
    centred_sums(subset, sums, mean_g, sdd, sdr);
    if (subset.srr <= kVarianceFloor || sdd <= kVarianceFloor) return std::nullopt;
    const double coefficient = sdr / std::sqrt(subset.srr * sdd);
    if (!std::isfinite(coefficient)) return std::nullopt;
    return coefficient;
  }
  const double* f = subset.values.data();
  const std::uint8_t* usable = scratch.usable.data();
  const auto kept_sum = [&](auto term) {
    Double4 acc = {0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < n; ++k) {
      if (usable[k] != 0) add_to_lane(acc, k % 4, term(k));
    }
    return lane_total(acc);
  };
  const double count = static_cast<double>(kept);
  const double mean_f = kept_sum([&](std::size_t k) { return f[k]; }) / count;
  const double mean_g = kept_sum([&](std::size_t k) { return g[k]; }) / count;
  const double srr = kept_sum([&](std::size_t k) { return (f[k] - mean_f) * (f[k] - mean_f); });
  const double sdd = kept_sum([&](std::size_t k) { return (g[k] - mean_g) * (g[k] - mean_g); });
  const double sdr = kept_sum([&](std::size_t k) { return (g[k] - mean_g) * (f[k] - mean_f); });
  if (srr <= kVarianceFloor || sdd <= kVarianceFloor) return std::nullopt;
  const double coefficient = sdr / std::sqrt(srr * sdd);
  if (!std::isfinite(coefficient)) return std::nullopt;
  return coefficient;
}

// Gradients (steepest[0], steepest[1]) of the reference's B-spline at the
// subset pixels (bspline_gradient_at_pixel). Four pixels that are
// consecutive rows of one column read their taps as four-lane rows.
__attribute__((always_inline)) inline void bspline_gradients_body(const BsplineCoefficients& c,
                                                                  IcgnSubset& subset) {
  const std::size_t n = subset.size();
  const double* px = subset.pixel_x.data();
  const double* py = subset.pixel_y.data();
  double* gx = subset.steepest[0].data();
  double* gy = subset.steepest[1].data();
  const std::int64_t h = c.padded_height;
  constexpr double kSide = 1.0 / 6.0;
  constexpr double kMiddle = 4.0 / 6.0;
  std::size_t k = 0;
  while (k < n) {
    if (k + 4 <= n && px[k + 3] == px[k] && py[k + 3] == py[k] + 3.0) {
      const auto x = static_cast<std::int64_t>(px[k]);
      const auto y = static_cast<std::int64_t>(py[k]);
      // Column x - 1, x, x + 1 at rows y - 1 .. y + 2 (+ 1 and - 1 shifts).
      const double* left = c.values.data() + (x - 1 + kBsplinePad) * h + (y + kBsplinePad);
      const double* mid = left + h;
      const double* right = mid + h;
      Double4 r_m, r_0, r_p, l_m, l_0, l_p, m_m, m_p;
      load4(right - 1, r_m);
      load4(right, r_0);
      load4(right + 1, r_p);
      load4(left - 1, l_m);
      load4(left, l_0);
      load4(left + 1, l_p);
      load4(mid - 1, m_m);
      load4(mid + 1, m_p);
      const Double4 dx_minus = r_m - l_m;
      const Double4 dx_zero = r_0 - l_0;
      const Double4 dx_plus = r_p - l_p;
      const Double4 dy_minus = l_p - l_m;
      const Double4 dy_zero = m_p - m_m;
      const Double4 dy_plus = r_p - r_m;
      store4(gx + k, 0.5 * ((kSide * dx_minus + kMiddle * dx_zero) + kSide * dx_plus));
      store4(gy + k, 0.5 * ((kSide * dy_minus + kMiddle * dy_zero) + kSide * dy_plus));
      k += 4;
    } else {
      const std::array<double, 2> g = bspline_gradient_at_pixel(c, static_cast<std::int64_t>(px[k]),
                                                                static_cast<std::int64_t>(py[k]));
      gx[k] = g[0];
      gy[k] = g[1];
      k += 1;
    }
  }
}

DIC_FOUR_LANE_TARGET void bspline_gradients_four(const BsplineCoefficients& c, IcgnSubset& subset) {
  bspline_gradients_body(c, subset);
}

void bspline_gradients_two(const BsplineCoefficients& c, IcgnSubset& subset) {
  bspline_gradients_body(c, subset);
}

// From the values and the gradients: mean, centred values, srr, the other
// four steepest-descent images, the Hessian and the sums of s_i, s_i f_c and
// s_i f.
__attribute__((always_inline)) inline void reference_sums_body(IcgnSubset& subset) {
  const std::size_t n = subset.size();
  const double* f = subset.values.data();
  subset.mean = n > 0 ? lane_sum(
                            n, [&](std::size_t k, Double4& t) { load4(f + k, t); },
                            [&](std::size_t k) { return f[k]; }) /
                            static_cast<double>(n)
                      : 0.0;
  double* c = subset.centred.data();
  const double mean = subset.mean;
  for (std::size_t k = 0; k < n; ++k) c[k] = f[k] - mean;
  subset.srr = lane_sum(
      n,
      [&](std::size_t k, Double4& t) {
        load4(c + k, t);
        t = t * t;
      },
      [&](std::size_t k) { return c[k] * c[k]; });
  subset.centred_sum = lane_sum(
      n, [&](std::size_t k, Double4& t) { load4(c + k, t); }, [&](std::size_t k) { return c[k]; });
  const double* ox = subset.offset_x.data();
  const double* oy = subset.offset_y.data();
  double* s[6];
  for (std::size_t i = 0; i < 6; ++i) s[i] = subset.steepest[i].data();
  for (std::size_t k = 0; k < n; ++k) {
    s[2][k] = s[0][k] * ox[k];
    s[3][k] = s[0][k] * oy[k];
    s[4][k] = s[1][k] * ox[k];
    s[5][k] = s[1][k] * oy[k];
  }
  // One pass for the 21 Hessian entries, one for the 18 other sums.
  Double4 acc[21] = {};
  std::size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    Double4 v[6];
    for (int i = 0; i < 6; ++i) load4(s[i] + k, v[i]);
    int e = 0;
    for (int i = 0; i < 6; ++i)
      for (int j = i; j < 6; ++j) acc[e++] += v[i] * v[j];
  }
  for (; k < n; ++k) {
    int e = 0;
    for (int i = 0; i < 6; ++i)
      for (int j = i; j < 6; ++j) add_to_lane(acc[e++], k % 4, s[i][k] * s[j][k]);
  }
  for (int e = 0; e < 21; ++e) subset.hessian[static_cast<std::size_t>(e)] = lane_total(acc[e]);
  Double4 sum_s[6] = {};
  Double4 sum_sc[6] = {};
  Double4 sum_sf[6] = {};
  k = 0;
  for (; k + 4 <= n; k += 4) {
    Double4 ck;
    Double4 fk;
    load4(c + k, ck);
    load4(f + k, fk);
    for (int i = 0; i < 6; ++i) {
      Double4 v;
      load4(s[i] + k, v);
      sum_s[i] += v;
      sum_sc[i] += v * ck;
      sum_sf[i] += v * fk;
    }
  }
  for (; k < n; ++k) {
    for (int i = 0; i < 6; ++i) {
      add_to_lane(sum_s[i], k % 4, s[i][k]);
      add_to_lane(sum_sc[i], k % 4, s[i][k] * c[k]);
      add_to_lane(sum_sf[i], k % 4, s[i][k] * f[k]);
    }
  }
  for (std::size_t i = 0; i < 6; ++i) {
    subset.steepest_sum[i] = lane_total(sum_s[i]);
    subset.steepest_centred_sum[i] = lane_total(sum_sc[i]);
    subset.steepest_value_sum[i] = lane_total(sum_sf[i]);
  }
}

DIC_FOUR_LANE_TARGET void reference_sums_four(IcgnSubset& subset) { reference_sums_body(subset); }

void reference_sums_two(IcgnSubset& subset) { reference_sums_body(subset); }

}  // namespace

IcgnImages prepare_icgn_images(const GrayImage& reference, const GrayImage& deformed,
                               MatchCriterion criterion, SubpixelInterpolation interpolation,
                               double smoothing_sigma) {
  IcgnImages images;
  images.reference = &reference;
  images.deformed = &deformed;
  images.criterion = criterion;
  images.interpolation = interpolation;
  images.lanes = detected_lane_width();
  const bool bspline = interpolation == SubpixelInterpolation::kBspline3;
  if (smoothing_sigma > 0.0) {
    images.smoothed_reference = gaussian_smooth(reference, smoothing_sigma);
    if (bspline) {
      // The smoothed deformed image is needed only for its coefficients.
      images.deformed_coefficients =
          compute_bspline_coefficients(gaussian_smooth(deformed, smoothing_sigma));
    } else {
      images.smoothed_deformed = gaussian_smooth(deformed, smoothing_sigma);
    }
  } else if (bspline) {
    images.deformed_coefficients = compute_bspline_coefficients(deformed);
  }
  if (bspline) images.reference_coefficients = compute_bspline_coefficients(icgn_reference(images));
  return images;
}

const GrayImage& icgn_reference(const IcgnImages& images) {
  return images.smoothed_reference.pixels.empty() ? *images.reference : images.smoothed_reference;
}

const GrayImage& icgn_deformed(const IcgnImages& images) {
  return images.smoothed_deformed.pixels.empty() ? *images.deformed : images.smoothed_deformed;
}

namespace {

// Gradients, steepest-descent images and sums of a subset whose geometry and
// reference values are in place.
void finish_icgn_subset(const IcgnImages& images, IcgnSubset& subset) {
  const std::size_t n = subset.size();
  for (auto& s : subset.steepest) s.resize(n);
  subset.centred.resize(n);
  if (images.interpolation == SubpixelInterpolation::kBspline3) {
    if (images.lanes == LaneWidth::kFour) {
      bspline_gradients_four(images.reference_coefficients, subset);
    } else {
      bspline_gradients_two(images.reference_coefficients, subset);
    }
  } else {
    const GrayImage& reference = icgn_reference(images);
    for (std::size_t k = 0; k < n; ++k) {
      const std::array<double, 2> grad =
          central_gradient(reference, static_cast<std::int64_t>(subset.pixel_x[k]),
                           static_cast<std::int64_t>(subset.pixel_y[k]));
      subset.steepest[0][k] = grad[0];
      subset.steepest[1][k] = grad[1];
    }
  }
  if (images.lanes == LaneWidth::kFour) {
    reference_sums_four(subset);
  } else {
    reference_sums_two(subset);
  }
}

}  // namespace

void prepare_icgn_subset(const IcgnImages& images, const std::vector<SubsetOffset>& offsets,
                         std::int32_t cx, std::int32_t cy, IcgnSubset& subset) {
  const std::size_t n = offsets.size();
  subset.cx = cx;
  subset.cy = cy;
  for (auto* field :
       {&subset.offset_x, &subset.offset_y, &subset.pixel_x, &subset.pixel_y, &subset.values}) {
    field->resize(n);
  }
  const GrayImage& reference = icgn_reference(images);
  const std::int64_t height = reference.height;
  for (std::size_t k = 0; k < n; ++k) {
    const std::int64_t x = static_cast<std::int64_t>(cx) + offsets[k].dx;
    const std::int64_t y = static_cast<std::int64_t>(cy) + offsets[k].dy;
    subset.offset_x[k] = offsets[k].dx;
    subset.offset_y[k] = offsets[k].dy;
    subset.pixel_x[k] = static_cast<double>(x);
    subset.pixel_y[k] = static_cast<double>(y);
    subset.values[k] = reference.pixels[static_cast<std::size_t>(x * height + y)];
  }
  subset.dx_min = subset.dx_max = subset.dy_min = subset.dy_max = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const SubsetOffset o = offsets[k];
    if (k == 0 || o.dx < subset.dx_min) subset.dx_min = o.dx;
    if (k == 0 || o.dx > subset.dx_max) subset.dx_max = o.dx;
    if (k == 0 || o.dy < subset.dy_min) subset.dy_min = o.dy;
    if (k == 0 || o.dy > subset.dy_max) subset.dy_max = o.dy;
  }
  subset.column.resize(n);
  subset.row.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    subset.column[k] = offsets[k].dx - subset.dx_min;
    subset.row[k] = offsets[k].dy - subset.dy_min;
  }
  finish_icgn_subset(images, subset);
}

void prepare_icgn_subset(const IcgnImages& images, const ReferenceSubset& reference_subset,
                         IcgnSubset& subset) {
  const ReferenceSubset& r = reference_subset;
  subset.cx = r.cx;
  subset.cy = r.cy;
  subset.offset_x = r.offset_x;
  subset.offset_y = r.offset_y;
  subset.pixel_x = r.pixel_x;
  subset.pixel_y = r.pixel_y;
  subset.column = r.column;
  subset.row = r.row;
  const bool any = !r.offsets.empty();
  subset.dx_min = any ? r.dx_min : 0;
  subset.dx_max = any ? r.dx_max : 0;
  subset.dy_min = any ? r.dy_min : 0;
  subset.dy_max = any ? r.dy_max : 0;
  if (images.smoothed_reference.pixels.empty()) {
    subset.values = r.values;
  } else {
    const GrayImage& reference = images.smoothed_reference;
    const std::int64_t height = reference.height;
    subset.values.resize(r.values.size());
    for (std::size_t k = 0; k < subset.values.size(); ++k) {
      const auto x = static_cast<std::int64_t>(r.pixel_x[k]);
      const auto y = static_cast<std::int64_t>(r.pixel_y[k]);
      subset.values[k] = reference.pixels[static_cast<std::size_t>(x * height + y)];
    }
  }
  finish_icgn_subset(images, subset);
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
    PassSums<2> sums;
    const std::size_t kept = sample_translation(images, subset, p.u, p.v, scratch, sums);
    if (kept <= 2) return std::nullopt;
    const auto system = normal_system(images, subset, kept, sums, scratch);
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
  PassSums<0> sums;
  const std::size_t kept = sample_translation(images, subset, p.u, p.v, scratch, sums);
  const auto coefficient = final_coefficient(subset, kept, sums, 3, scratch);
  if (!coefficient) return std::nullopt;
  return TranslationResult{p.u, p.v, *coefficient};
}

std::optional<AffineResult> icgn_affine(const IcgnImages& images, const IcgnSubset& subset,
                                        const AffineParams& initial, const DicParameters& params,
                                        IcgnScratch& scratch) {
  if (subset.size() < 6) return std::nullopt;
  AffineParams p = initial;
  for (std::int32_t iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    PassSums<6> sums;
    const std::size_t kept = sample_deformed(images, subset, p, scratch, sums);
    if (kept < 6) return std::nullopt;
    const auto system = normal_system(images, subset, kept, sums, scratch);
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
  PassSums<0> sums;
  const std::size_t kept = sample_deformed(images, subset, p, scratch, sums);
  const auto coefficient = final_coefficient(subset, kept, sums, 6, scratch);
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
