#include "dic2d/engine/subset_sampling.h"

#include <cstddef>

#include "dic2d/engine/lanes.h"
#include "dic2d/engine/lanes4.h"

namespace dic2d {
namespace {

// The sample of every offset at position(k, cx + dx, cy + dy, x, y), its
// flag, and the number of usable offsets.
template <typename Position>
std::size_t sample_values(const ReferenceSubset& subset, const BilinearImage& image,
                          SubsetSamples& samples, Position position) {
  // A copy the stores below cannot alias, so it stays in registers.
  const BilinearImage img = image;
  const std::size_t n = subset.offsets.size();
  samples.value.resize(n);
  samples.usable.resize(n);
  const double* px = subset.pixel_x.data();
  const double* py = subset.pixel_y.data();
  double* value = samples.value.data();
  std::uint8_t* usable = samples.usable.data();
  std::size_t kept = 0;
  for (std::size_t k = 0; k < n; ++k) {
    double x = 0.0;
    double y = 0.0;
    position(k, px[k], py[k], x, y);
    const bool ok = bilinear_at(img, x, y, value[k]);
    usable[k] = ok ? 1 : 0;
    kept += ok ? 1 : 0;
  }
  return kept;
}

}  // namespace

void prepare_translation_cells(const ReferenceSubset& subset, const BilinearImage& img, double u,
                               double v, TranslationCells& cells) {
  if (subset.offsets.empty()) {
    return;
  }
  // Every pixel of a column shares x = (cx + dx) + u, every pixel of a row
  // y = (cy + dy) + v: their cells are computed once.
  const std::int64_t x_first = static_cast<std::int64_t>(subset.cx) + subset.dx_min;
  const std::int64_t y_first = static_cast<std::int64_t>(subset.cy) + subset.dy_min;
  const auto columns = static_cast<std::size_t>(subset.dx_max - subset.dx_min) + 1;
  const auto rows = static_cast<std::size_t>(subset.dy_max - subset.dy_min) + 1;
  cells.columns.resize(columns);
  AxisTable& rt = cells.rows;
  for (auto* field : {&rt.cell, &rt.cell_plus, &rt.cell_minus}) field->resize(rows);
  for (auto* field : {&rt.fraction, &rt.one_minus, &rt.fraction_plus, &rt.one_minus_plus,
                      &rt.fraction_minus, &rt.one_minus_minus}) {
    field->resize(rows);
  }
  rt.inside.resize(rows);
  for (std::size_t c = 0; c < columns; ++c) {
    const double x = static_cast<double>(x_first + static_cast<std::int64_t>(c)) + u;
    cells.columns[c] = axis_cells(x, img.x_limit, img.height);
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const double y = static_cast<double>(y_first + static_cast<std::int64_t>(r)) + v;
    const AxisCells row = axis_cells(y, img.y_limit, 1);
    rt.inside[r] = row.inside ? 1 : 0;
    rt.cell[r] = row.cell;
    rt.cell_plus[r] = row.cell_plus;
    rt.cell_minus[r] = row.cell_minus;
    rt.fraction[r] = row.fraction;
    rt.one_minus[r] = row.one_minus;
    rt.fraction_plus[r] = row.fraction_pm[0];
    rt.one_minus_plus[r] = row.one_minus_pm[0];
    rt.fraction_minus[r] = row.fraction_pm[1];
    rt.one_minus_minus[r] = row.one_minus_pm[1];
  }
}

namespace {

template <int kLanes>
__attribute__((always_inline)) inline void sample_affine_subset_body(const ReferenceSubset& subset,
                                                                     const BilinearImage& image,
                                                                     const AffineParams& warp,
                                                                     SubsetSamples& samples) {
  // Copies the stores below cannot alias, so they stay in registers.
  const BilinearImage img = image;
  const AffineParams p = warp;
  const std::size_t n = subset.offsets.size();
  samples.gradient.resize(2 * n);
  samples.residual.resize(2 * n);
  samples.usable.resize(n);
  const double* px = subset.pixel_x.data();
  const double* py = subset.pixel_y.data();
  const double* ox = subset.offset_x.data();
  const double* oy = subset.offset_y.data();
  const double* ref = subset.values.data();
  double* gradient = samples.gradient.data();
  double* residual = samples.residual.data();
  std::uint8_t* usable = samples.usable.data();
  const std::int64_t h = img.height;
  const auto single = [&](std::size_t k) {
    double x = 0.0;
    double y = 0.0;
    warp_pixel(p, px[k], py[k], ox[k], oy[k], x, y);
    double value = 0.0;
    usable[k] =
        bilinear_with_gradient(img, x, y, value, gradient[2 * k], gradient[2 * k + 1]) ? 1 : 0;
    residual[2 * k] = residual[2 * k + 1] = value - ref[k];
  };
  std::size_t k = 0;
  if constexpr (kLanes == 4) {
    // Four offsets per step, each lane what the pair loop computes for it.
    for (; k + 3 < n; k += 4) {
      Double4 pxk, pyk, oxk, oyk;
      load_quad(px + k, pxk);
      load_quad(py + k, pyk);
      load_quad(ox + k, oxk);
      load_quad(oy + k, oyk);
      const Double4 x = ((pxk + p.u) + p.du_dx * oxk) + p.du_dy * oyk;
      const Double4 y = ((pyk + p.v) + p.dv_dx * oxk) + p.dv_dy * oyk;
      const Double4 xp = x + 0.5;
      const Double4 xm = x - 0.5;
      const Double4 yp = y + 0.5;
      const Double4 ym = y - 0.5;
      if (!all_lanes((0.0 <= xm) & (xp < img.x_limit) & (0.0 <= ym) & (yp < img.y_limit))) {
        for (std::size_t j = k; j < k + 4; ++j) single(j);
        continue;
      }
      const Int4 x0 = __builtin_convertvector(x, Int4);
      const Int4 xp0 = __builtin_convertvector(xp, Int4);
      const Int4 xm0 = __builtin_convertvector(xm, Int4);
      const Int4 y0 = __builtin_convertvector(y, Int4);
      const Int4 yp0 = __builtin_convertvector(yp, Int4);
      const Int4 ym0 = __builtin_convertvector(ym, Int4);
      const Double4 a = x - __builtin_convertvector(x0, Double4);
      const Double4 ap = xp - __builtin_convertvector(xp0, Double4);
      const Double4 am = xm - __builtin_convertvector(xm0, Double4);
      const Double4 b = y - __builtin_convertvector(y0, Double4);
      const Double4 bp = yp - __builtin_convertvector(yp0, Double4);
      const Double4 bm = ym - __builtin_convertvector(ym0, Double4);
      const Double4 one_a = 1.0 - a;
      const Double4 one_ap = 1.0 - ap;
      const Double4 one_am = 1.0 - am;
      const Double4 one_b = 1.0 - b;
      const Double4 one_bp = 1.0 - bp;
      const Double4 one_bm = 1.0 - bm;
      std::int32_t cx[4], cxp[4], cxm[4], cy[4], cyp[4], cym[4];
      lanes_of(x0, cx);
      lanes_of(xp0, cxp);
      lanes_of(xm0, cxm);
      lanes_of(y0, cy);
      lanes_of(yp0, cyp);
      lanes_of(ym0, cym);
      const double* c[4];
      const double* cp[4];
      const double* cm[4];
      for (int lane = 0; lane < 4; ++lane) {
        c[lane] = img.pixels + static_cast<std::int64_t>(cx[lane]) * h;
        cp[lane] = img.pixels + static_cast<std::int64_t>(cxp[lane]) * h;
        cm[lane] = img.pixels + static_cast<std::int64_t>(cxm[lane]) * h;
      }
      Double4 value, sxp, sxm, syp, sym;
      bilinear_quad(c[0] + cy[0], c[1] + cy[1], c[2] + cy[2], c[3] + cy[3], h, a, one_a, b, one_b,
                    value);
      bilinear_quad(cp[0] + cy[0], cp[1] + cy[1], cp[2] + cy[2], cp[3] + cy[3], h, ap, one_ap, b,
                    one_b, sxp);
      bilinear_quad(cm[0] + cy[0], cm[1] + cy[1], cm[2] + cy[2], cm[3] + cy[3], h, am, one_am, b,
                    one_b, sxm);
      bilinear_quad(c[0] + cyp[0], c[1] + cyp[1], c[2] + cyp[2], c[3] + cyp[3], h, a, one_a, bp,
                    one_bp, syp);
      bilinear_quad(c[0] + cym[0], c[1] + cym[1], c[2] + cym[2], c[3] + cym[3], h, a, one_a, bm,
                    one_bm, sym);
      Double4 reference;
      load_quad(ref + k, reference);
      double gx[4], gy[4], e[4];
      lanes_of(sxp - sxm, gx);
      lanes_of(syp - sym, gy);
      lanes_of(value - reference, e);
      for (int lane = 0; lane < 4; ++lane) {
        const std::size_t j = k + static_cast<std::size_t>(lane);
        gradient[2 * j] = gx[lane];
        gradient[2 * j + 1] = gy[lane];
        residual[2 * j] = residual[2 * j + 1] = e[lane];
        usable[j] = 1;
      }
    }
  }
  for (; k + 1 < n; k += 2) {
    Double2 x;
    Double2 y;
    warp_pixel(p, load_pair(px + k), load_pair(py + k), load_pair(ox + k), load_pair(oy + k), x, y);
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
    const Int2 x0 = truncate_lanes(x);
    const Int2 xp0 = truncate_lanes(xp);
    const Int2 xm0 = truncate_lanes(xm);
    const Int2 y0 = truncate_lanes(y);
    const Int2 yp0 = truncate_lanes(yp);
    const Int2 ym0 = truncate_lanes(ym);
    const Double2 a = x - to_double_lanes(x0);
    const Double2 ap = xp - to_double_lanes(xp0);
    const Double2 am = xm - to_double_lanes(xm0);
    const Double2 b = y - to_double_lanes(y0);
    const Double2 bp = yp - to_double_lanes(yp0);
    const Double2 bm = ym - to_double_lanes(ym0);
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

DIC_FOUR_LANE_TARGET void sample_affine_subset_four(const ReferenceSubset& subset,
                                                    const BilinearImage& image,
                                                    const AffineParams& warp,
                                                    SubsetSamples& samples) {
  sample_affine_subset_body<4>(subset, image, warp, samples);
}

void sample_affine_subset_two(const ReferenceSubset& subset, const BilinearImage& image,
                              const AffineParams& warp, SubsetSamples& samples) {
  sample_affine_subset_body<2>(subset, image, warp, samples);
}

}  // namespace

void sample_affine_subset(const ReferenceSubset& subset, const BilinearImage& image,
                          const AffineParams& warp, SubsetSamples& samples, LaneWidth lanes) {
  if (lanes == LaneWidth::kFour) {
    sample_affine_subset_four(subset, image, warp, samples);
  } else {
    sample_affine_subset_two(subset, image, warp, samples);
  }
}

std::size_t sample_warped_values(const ReferenceSubset& subset, const BilinearImage& img,
                                 const AffineParams& warp, SubsetSamples& samples) {
  const AffineParams p = warp;
  const double* ox = subset.offset_x.data();
  const double* oy = subset.offset_y.data();
  return sample_values(subset, img, samples,
                       [&](std::size_t k, double px, double py, double& x, double& y) {
                         warp_pixel(p, px, py, ox[k], oy[k], x, y);
                       });
}

std::size_t sample_translated_values(const ReferenceSubset& subset, const BilinearImage& img,
                                     double u, double v, SubsetSamples& samples) {
  return sample_values(subset, img, samples,
                       [u, v](std::size_t, double px, double py, double& x, double& y) {
                         x = px + u;
                         y = py + v;
                       });
}

}  // namespace dic2d
