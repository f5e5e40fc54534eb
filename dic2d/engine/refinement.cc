#include "dic2d/engine/refinement.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <utility>

#include "dic2d/engine/interpolation.h"

namespace dic2d {
namespace {

// Two doubles operated on lane by lane (SSE2 on x86-64, NEON on AArch64).
// Each lane is the IEEE operation its scalar form would be, so packing two
// independent sums into one register changes no bit of either.
using Double2 = double __attribute__((vector_size(16)));

inline Double2 broadcast(double value) { return Double2{value, value}; }

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

inline Double2 load_pair(const double* pair) {
  Double2 value;
  std::memcpy(&value, pair, sizeof value);
  return value;
}

inline void store_pair(double* pair, Double2 value) { std::memcpy(pair, &value, sizeof value); }

// bilinear_in_cell for two positions at once, one per lane: q0 and q1 point
// at the base cells, (a, b) are the lanes' fractions.
inline Double2 bilinear_pair(const double* q0, const double* q1, std::int64_t h, Double2 a,
                             Double2 one_a, Double2 b, Double2 one_b) {
  return (((one_a * one_b) * Double2{q0[0], q1[0]} + (one_b * a) * Double2{q0[h], q1[h]}) +
          (one_a * b) * Double2{q0[1], q1[1]}) +
         (a * b) * Double2{q0[h + 1], q1[h + 1]};
}

// Sample and half-pixel gradient at (x, y). The two samples of each
// difference are interpolated together, one per lane, with the operations of
// bilinear_in_cell; same values and same success as bilinear_sample +
// half_pixel_gradient.
inline bool sample_with_gradient(const SampleBounds& img, double x, double y, double& value,
                                 double& gx, double& gy) {
  constexpr Double2 kHalfSteps = {0.5, -0.5};
  const Double2 xs = broadcast(x) + kHalfSteps;  // (x + 0.5, x - 0.5)
  const Double2 ys = broadcast(y) + kHalfSteps;
  // Rounding is monotone, so x - 0.5 >= 0 implies x >= 0 and x + 0.5 >= 0,
  // and x + 0.5 < limit implies x < limit and x - 0.5 < limit; NaN fails
  // every test.
  if (!(0.0 <= xs[1] && xs[0] < img.x_limit && 0.0 <= ys[1] && ys[0] < img.y_limit)) {
    return false;
  }
  // Every coordinate is now in [0, limit) with limit < 2^31, so truncation
  // to 32 bits is the floor.
  const auto x0 = static_cast<std::int32_t>(x);
  const auto y0 = static_cast<std::int32_t>(y);
  using Int2 = std::int32_t __attribute__((vector_size(8)));
  const Int2 xs0 = __builtin_convertvector(xs, Int2);
  const Int2 ys0 = __builtin_convertvector(ys, Int2);
  const double a = x - static_cast<double>(x0);
  const double b = y - static_cast<double>(y0);
  const Double2 as = xs - __builtin_convertvector(xs0, Double2);
  const Double2 bs = ys - __builtin_convertvector(ys0, Double2);
  const std::int64_t h = img.height;
  const double* const column = img.pixels + static_cast<std::int64_t>(x0) * h;
  const double* const base = column + y0;

  const double one_a = 1.0 - a;
  const double one_b = 1.0 - b;
  value = (((one_a * one_b) * base[0] + (one_b * a) * base[h]) + (one_a * b) * base[1]) +
          (a * b) * base[h + 1];

  // Cells (x +- 0.5, y): same row, fractions as, b. Cells (x, y +- 0.5):
  // same column, fractions a, bs.
  const Double2 sx = bilinear_pair(img.pixels + static_cast<std::int64_t>(xs0[0]) * h + y0,
                                   img.pixels + static_cast<std::int64_t>(xs0[1]) * h + y0, h, as,
                                   1.0 - as, broadcast(b), broadcast(one_b));
  const Double2 sy = bilinear_pair(column + ys0[0], column + ys0[1], h, broadcast(a),
                                   broadcast(one_a), bs, 1.0 - bs);
  gx = sx[0] - sx[1];
  gy = sy[0] - sy[1];
  return true;
}

// Cells of `coordinate` for an axis whose sampling limit is `limit`; `stride`
// is the image height for x (column-major storage) and 1 for y. The same
// arithmetic as sample_with_gradient, so the same bits.
inline AxisCells axis_cells(double coordinate, double limit, std::int64_t stride) {
  AxisCells cells;
  const double plus = coordinate + 0.5;
  const double minus = coordinate - 0.5;
  cells.inside = 0.0 <= minus && plus < limit;
  if (!cells.inside) {
    return cells;
  }
  const auto c0 = static_cast<std::int32_t>(coordinate);
  const auto cp = static_cast<std::int32_t>(plus);
  const auto cm = static_cast<std::int32_t>(minus);
  cells.cell = static_cast<std::int64_t>(c0) * stride;
  cells.cell_plus = static_cast<std::int64_t>(cp) * stride;
  cells.cell_minus = static_cast<std::int64_t>(cm) * stride;
  cells.fraction = coordinate - static_cast<double>(c0);
  cells.one_minus = 1.0 - cells.fraction;
  cells.fraction_pm[0] = plus - static_cast<double>(cp);
  cells.fraction_pm[1] = minus - static_cast<double>(cm);
  cells.one_minus_pm[0] = 1.0 - cells.fraction_pm[0];
  cells.one_minus_pm[1] = 1.0 - cells.fraction_pm[1];
  return cells;
}

// Samples, gradients and residuals of the affine warp `p` for every offset,
// two offsets per register: pass one of an affine iteration. Pixels that
// cannot be sampled get usable = 0. Each lane computes exactly what
// sample_with_gradient does for its pixel.
void sample_affine_subset(const ReferenceSubset& subset, const SampleBounds& img,
                          const std::array<double, 6>& p, RefinementScratch& scratch) {
  const std::size_t n = subset.offsets.size();
  scratch.gradient.resize(2 * n);
  scratch.residual.resize(2 * n);
  scratch.usable.resize(n);
  const double* px = subset.pixel_x.data();
  const double* py = subset.pixel_y.data();
  const double* ox = subset.offset_x.data();
  const double* oy = subset.offset_y.data();
  const double* ref = subset.values.data();
  double* gradient = scratch.gradient.data();
  double* residual = scratch.residual.data();
  std::uint8_t* usable = scratch.usable.data();
  const double u = p[0];
  const double v = p[1];
  const double du_dx = p[2];
  const double du_dy = p[3];
  const double dv_dx = p[4];
  const double dv_dy = p[5];
  const std::int64_t h = img.height;
  const auto single = [&](std::size_t k) {
    const double x = ((px[k] + u) + du_dx * ox[k]) + du_dy * oy[k];
    const double y = ((py[k] + v) + dv_dx * ox[k]) + dv_dy * oy[k];
    double value = 0.0;
    usable[k] =
        sample_with_gradient(img, x, y, value, gradient[2 * k], gradient[2 * k + 1]) ? 1 : 0;
    residual[2 * k] = residual[2 * k + 1] = value - ref[k];
  };
  using Int2 = std::int32_t __attribute__((vector_size(8)));
  using Mask2 = std::int64_t __attribute__((vector_size(16)));
  std::size_t k = 0;
  for (; k + 1 < n; k += 2) {
    const Double2 dx = load_pair(ox + k);
    const Double2 dy = load_pair(oy + k);
    const Double2 x = ((load_pair(px + k) + u) + du_dx * dx) + du_dy * dy;
    const Double2 y = ((load_pair(py + k) + v) + dv_dx * dx) + dv_dy * dy;
    const Double2 xp = x + 0.5;
    const Double2 xm = x - 0.5;
    const Double2 yp = y + 0.5;
    const Double2 ym = y - 0.5;
    const Mask2 inside = (0.0 <= xm) & (xp < img.x_limit) & (0.0 <= ym) & (yp < img.y_limit);
    if (!(inside[0] && inside[1])) {
      single(k);
      single(k + 1);
      continue;
    }
    // All coordinates lie in [0, limit) with limit < 2^31: truncation to 32
    // bits is the floor.
    const Int2 x0 = __builtin_convertvector(x, Int2);
    const Int2 xp0 = __builtin_convertvector(xp, Int2);
    const Int2 xm0 = __builtin_convertvector(xm, Int2);
    const Int2 y0 = __builtin_convertvector(y, Int2);
    const Int2 yp0 = __builtin_convertvector(yp, Int2);
    const Int2 ym0 = __builtin_convertvector(ym, Int2);
    const Double2 a = x - __builtin_convertvector(x0, Double2);
    const Double2 ap = xp - __builtin_convertvector(xp0, Double2);
    const Double2 am = xm - __builtin_convertvector(xm0, Double2);
    const Double2 b = y - __builtin_convertvector(y0, Double2);
    const Double2 bp = yp - __builtin_convertvector(yp0, Double2);
    const Double2 bm = ym - __builtin_convertvector(ym0, Double2);
    const Double2 one_a = 1.0 - a;
    const Double2 one_ap = 1.0 - ap;
    const Double2 one_am = 1.0 - am;
    const Double2 one_b = 1.0 - b;
    const Double2 one_bp = 1.0 - bp;
    const Double2 one_bm = 1.0 - bm;
    const double* const c0 = img.pixels + static_cast<std::int64_t>(x0[0]) * h;
    const double* const c1 = img.pixels + static_cast<std::int64_t>(x0[1]) * h;
    const double* const cp0 = img.pixels + static_cast<std::int64_t>(xp0[0]) * h;
    const double* const cp1 = img.pixels + static_cast<std::int64_t>(xp0[1]) * h;
    const double* const cm0 = img.pixels + static_cast<std::int64_t>(xm0[0]) * h;
    const double* const cm1 = img.pixels + static_cast<std::int64_t>(xm0[1]) * h;
    const Double2 value = bilinear_pair(c0 + y0[0], c1 + y0[1], h, a, one_a, b, one_b);
    const Double2 gx = bilinear_pair(cp0 + y0[0], cp1 + y0[1], h, ap, one_ap, b, one_b) -
                       bilinear_pair(cm0 + y0[0], cm1 + y0[1], h, am, one_am, b, one_b);
    const Double2 gy = bilinear_pair(c0 + yp0[0], c1 + yp0[1], h, a, one_a, bp, one_bp) -
                       bilinear_pair(c0 + ym0[0], c1 + ym0[1], h, a, one_a, bm, one_bm);
    const Double2 e = value - load_pair(ref + k);
    store_pair(gradient + 2 * k, Double2{gx[0], gy[0]});
    store_pair(gradient + 2 * k + 2, Double2{gx[1], gy[1]});
    store_pair(residual + 2 * k, broadcast(e[0]));
    store_pair(residual + 2 * k + 2, broadcast(e[1]));
    usable[k] = 1;
    usable[k + 1] = 1;
  }
  if (k < n) {
    single(k);
  }
}

// ZNCC between the reference subset and the deformed samples at the warped
// positions, over the offsets whose sample succeeds. `warp` maps an offset
// index to (x', y'). Nothing with fewer than `min_count` pairs, a flat side
// or a non-finite coefficient.
template <typename Warp>
std::optional<double> final_coefficient(const ReferenceSubset& subset, const GrayImage& deformed,
                                        std::size_t min_count, RefinementScratch& scratch,
                                        Warp warp) {
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

void prepare_reference_subset(const GrayImage& reference, const RoiMask& mask, std::int32_t cx,
                              std::int32_t cy, const DicParameters& params,
                              ReferenceSubset& subset) {
  subset.cx = cx;
  subset.cy = cy;
  build_subset_offsets(mask, cx, cy, params, subset.offsets);
  const std::size_t n = subset.offsets.size();
  subset.offset_x.resize(n);
  subset.offset_y.resize(n);
  subset.offset_xx.resize(2 * n);
  subset.offset_yy.resize(2 * n);
  subset.pixel_x.resize(n);
  subset.pixel_y.resize(n);
  subset.pixel_index.resize(n);
  subset.values.resize(n);
  subset.centred.resize(n);
  const std::int64_t height = reference.height;
  subset.index_height = height;
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
    subset.offset_xx[2 * k] = subset.offset_xx[2 * k + 1] = o.dx;
    subset.offset_yy[2 * k] = subset.offset_yy[2 * k + 1] = o.dy;
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
  subset.column.resize(n);
  subset.row.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    subset.column[k] = subset.offsets[k].dx - dx_min;
    subset.row[k] = subset.offsets[k].dy - dy_min;
  }
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
                                                    const GrayImage& deformed, double u, double v,
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
  const std::int32_t* column = subset.column.data();
  const std::int32_t* row = subset.row.data();
  const std::int64_t x_first = static_cast<std::int64_t>(subset.cx) + subset.dx_min;
  const std::int64_t y_first = static_cast<std::int64_t>(subset.cy) + subset.dy_min;
  const auto columns = static_cast<std::size_t>(subset.dx_max - subset.dx_min) + 1;
  const auto rows = static_cast<std::size_t>(subset.dy_max - subset.dy_min) + 1;
  scratch.columns.resize(columns);
  AxisTable& rt = scratch.rows;
  for (auto* field : {&rt.cell, &rt.cell_plus, &rt.cell_minus}) field->resize(rows);
  for (auto* field : {&rt.fraction, &rt.one_minus, &rt.fraction_plus, &rt.one_minus_plus,
                      &rt.fraction_minus, &rt.one_minus_minus}) {
    field->resize(rows);
  }
  rt.inside.resize(rows);
  for (std::int32_t iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    // Every pixel of a column shares x = (cx + dx) + u, every pixel of a row
    // y = (cy + dy) + v: their cells are computed once per iteration.
    for (std::size_t c = 0; c < columns; ++c) {
      const double x = static_cast<double>(x_first + static_cast<std::int64_t>(c)) + u;
      scratch.columns[c] = axis_cells(x, img.x_limit, img.height);
    }
    for (std::size_t r = 0; r < rows; ++r) {
      const double y = static_cast<double>(y_first + static_cast<std::int64_t>(r)) + v;
      const AxisCells cells = axis_cells(y, img.y_limit, 1);
      rt.inside[r] = cells.inside ? 1 : 0;
      rt.cell[r] = cells.cell;
      rt.cell_plus[r] = cells.cell_plus;
      rt.cell_minus[r] = cells.cell_minus;
      rt.fraction[r] = cells.fraction;
      rt.one_minus[r] = cells.one_minus;
      rt.fraction_plus[r] = cells.fraction_pm[0];
      rt.one_minus_plus[r] = cells.one_minus_pm[0];
      rt.fraction_minus[r] = cells.fraction_pm[1];
      rt.one_minus_minus[r] = cells.one_minus_pm[1];
    }
    double sxx = 0.0;
    double sxy = 0.0;
    double syy = 0.0;
    double sxe = 0.0;
    double sye = 0.0;
    std::size_t k_used = 0;
    const std::int64_t h = img.height;
    const auto accumulate = [&](double gx, double gy, double e) {
      sxx += gx * gx;
      sxe += gx * e;
      sxy += gx * gy;
      syy += gy * gy;
      sye += gy * e;
      ++k_used;
    };
    // One pixel, the two samples of each difference one per lane.
    const auto single = [&](std::size_t k) {
      const AxisCells& col = scratch.columns[static_cast<std::size_t>(column[k])];
      const auto r = static_cast<std::size_t>(row[k]);
      if (!(col.inside && rt.inside[r] != 0)) {
        return;
      }
      const double a = col.fraction;
      const double one_a = col.one_minus;
      const double b = rt.fraction[r];
      const double one_b = rt.one_minus[r];
      const double* const p = img.pixels + col.cell + rt.cell[r];
      const double value =
          (((one_a * one_b) * p[0] + (one_b * a) * p[h]) + (one_a * b) * p[1]) + (a * b) * p[h + 1];
      const double* const q = img.pixels + col.cell_plus + rt.cell[r];
      const double* const m = img.pixels + col.cell_minus + rt.cell[r];
      const Double2 sx = bilinear_pair(q, m, h, load_pair(col.fraction_pm),
                                       load_pair(col.one_minus_pm), broadcast(b), broadcast(one_b));
      const Double2 bs = {rt.fraction_plus[r], rt.fraction_minus[r]};
      const Double2 one_bs = {rt.one_minus_plus[r], rt.one_minus_minus[r]};
      const double* const c = img.pixels + col.cell;
      const Double2 sy = bilinear_pair(c + rt.cell_plus[r], c + rt.cell_minus[r], h, broadcast(a),
                                       broadcast(one_a), bs, one_bs);
      accumulate(sx[0] - sx[1], sy[0] - sy[1], value - ref[k]);
    };
    std::size_t k = 0;
    while (k < n) {
      const auto r = static_cast<std::size_t>(row[k]);
      const AxisCells& col = scratch.columns[static_cast<std::size_t>(column[k])];
      // Two vertically adjacent pixels of one column (the usual case in
      // column-by-column offsets), one per lane.
      if (k + 1 < n && column[k + 1] == column[k] && row[k + 1] == row[k] + 1 && col.inside &&
          rt.inside[r] != 0 && rt.inside[r + 1] != 0) {
        const Double2 a = broadcast(col.fraction);
        const Double2 one_a = broadcast(col.one_minus);
        const Double2 b = load_pair(&rt.fraction[r]);
        const Double2 one_b = load_pair(&rt.one_minus[r]);
        const double* const c = img.pixels + col.cell;
        const double* const cp = img.pixels + col.cell_plus;
        const double* const cm = img.pixels + col.cell_minus;
        const std::int64_t y0 = rt.cell[r];
        const std::int64_t y1 = rt.cell[r + 1];
        const Double2 value = bilinear_pair(c + y0, c + y1, h, a, one_a, b, one_b);
        const Double2 gx = bilinear_pair(cp + y0, cp + y1, h, broadcast(col.fraction_pm[0]),
                                         broadcast(col.one_minus_pm[0]), b, one_b) -
                           bilinear_pair(cm + y0, cm + y1, h, broadcast(col.fraction_pm[1]),
                                         broadcast(col.one_minus_pm[1]), b, one_b);
        const Double2 gy =
            bilinear_pair(c + rt.cell_plus[r], c + rt.cell_plus[r + 1], h, a, one_a,
                          load_pair(&rt.fraction_plus[r]), load_pair(&rt.one_minus_plus[r])) -
            bilinear_pair(c + rt.cell_minus[r], c + rt.cell_minus[r + 1], h, a, one_a,
                          load_pair(&rt.fraction_minus[r]), load_pair(&rt.one_minus_minus[r]));
        const Double2 e = value - load_pair(ref + k);
        accumulate(gx[0], gy[0], e[0]);
        accumulate(gx[1], gy[1], e[1]);
        k += 2;
      } else {
        single(k);
        k += 1;
      }
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

std::optional<AffineResult> refine_affine(const ReferenceSubset& subset, const GrayImage& deformed,
                                          const AffineParams& initial, const DicParameters& params,
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
  std::array<double, 6> p{initial.u,     initial.v,     initial.du_dx,
                          initial.du_dy, initial.dv_dx, initial.dv_dy};
  for (std::int32_t iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    // The 21 distinct entries of the symmetric normal matrix (h01 = s0 * s1,
    // ...) and the right-hand side g, two entries per register. With
    // s01 = (s0, s1), s24 = (s2, s4) and s35 = (s3, s5), lane-wise products
    // of these and of their swaps give every entry but h35 in pairs.
    Double2 h00_11 = {0.0, 0.0}, h22_44 = {0.0, 0.0}, h33_55 = {0.0, 0.0};
    Double2 h02_14 = {0.0, 0.0}, h03_15 = {0.0, 0.0}, h23_45 = {0.0, 0.0};
    Double2 h12_04 = {0.0, 0.0}, h13_05 = {0.0, 0.0}, h34_25 = {0.0, 0.0};
    Double2 h01_24 = {0.0, 0.0};
    double h35 = 0.0;
    Double2 g01 = {0.0, 0.0}, g24 = {0.0, 0.0}, g35 = {0.0, 0.0};
    std::size_t k_used = 0;
    sample_affine_subset(subset, img, p, scratch);
    const double* gradient = scratch.gradient.data();
    const double* residual = scratch.residual.data();
    const double* offset_xx = subset.offset_xx.data();
    const double* offset_yy = subset.offset_yy.data();
    const std::uint8_t* usable = scratch.usable.data();
    for (std::size_t k = 0; k < n; ++k) {
      if (usable[k] == 0) {
        continue;
      }
      // Steepest-descent vector s = (gx, gy, gx dx, gx dy, gy dx, gy dy).
      const Double2 s01 = load_pair(gradient + 2 * k);
      const Double2 e = load_pair(residual + 2 * k);
      const Double2 s24 = s01 * load_pair(offset_xx + 2 * k);
      const Double2 s35 = s01 * load_pair(offset_yy + 2 * k);
      const Double2 s10 = {s01[1], s01[0]};
      const Double2 s42 = {s24[1], s24[0]};
      g01 += s01 * e;
      g24 += s24 * e;
      g35 += s35 * e;
      h00_11 += s01 * s01;
      h22_44 += s24 * s24;
      h33_55 += s35 * s35;
      h02_14 += s01 * s24;
      h03_15 += s01 * s35;
      h23_45 += s24 * s35;
      h12_04 += s10 * s24;
      h13_05 += s10 * s35;
      h34_25 += s42 * s35;
      h01_24 += Double2{s01[0], s24[0]} * Double2{s01[1], s24[1]};
      h35 += s35[0] * s35[1];
      ++k_used;
    }
    const double h00 = h00_11[0], h11 = h00_11[1], h22 = h22_44[0], h44 = h22_44[1];
    const double h33 = h33_55[0], h55 = h33_55[1], h02 = h02_14[0], h14 = h02_14[1];
    const double h03 = h03_15[0], h15 = h03_15[1], h23 = h23_45[0], h45 = h23_45[1];
    const double h12 = h12_04[0], h04 = h12_04[1], h13 = h13_05[0], h05 = h13_05[1];
    const double h34 = h34_25[0], h25 = h34_25[1], h01 = h01_24[0], h24 = h01_24[1];
    const double g0 = g01[0], g1 = g01[1], g2 = g24[0], g4 = g24[1];
    const double g3 = g35[0], g5 = g35[1];
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

AffineResult refine_match(const ReferenceSubset& subset, const GrayImage& deformed,
                          const AffineParams& start, double start_corrcoef,
                          const DicParameters& params, RefinementScratch& scratch) {
  AffineResult result{start, start_corrcoef};
  if (const auto t = refine_translation(subset, deformed, start.u, start.v, params, scratch)) {
    result.params.u = t->u;
    result.params.v = t->v;
    result.corrcoef = t->corrcoef;
  }
  if (const auto a = refine_affine(subset, deformed, result.params, params, scratch)) {
    result = *a;
  }
  return result;
}

std::optional<TranslationResult> refine_translation(const GrayImage& reference,
                                                    const GrayImage& deformed, const RoiMask& mask,
                                                    double u, double v, std::int32_t cx,
                                                    std::int32_t cy, const DicParameters& params) {
  ReferenceSubset subset;
  RefinementScratch scratch;
  prepare_reference_subset(reference, mask, cx, cy, params, subset);
  return refine_translation(subset, deformed, u, v, params, scratch);
}

std::optional<AffineResult> refine_affine(const GrayImage& reference, const GrayImage& deformed,
                                          const RoiMask& mask, std::int32_t cx, std::int32_t cy,
                                          const AffineParams& initial,
                                          const DicParameters& params) {
  ReferenceSubset subset;
  RefinementScratch scratch;
  prepare_reference_subset(reference, mask, cx, cy, params, subset);
  return refine_affine(subset, deformed, initial, params, scratch);
}

}  // namespace dic2d
