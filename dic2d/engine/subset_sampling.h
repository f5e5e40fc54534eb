#pragma once
// Bilinear sampling of the deformed image over a whole subset under one
// warp: the passes the Gauss-Newton refinements and their final coefficient
// run once per iteration.
//
// Conventions: results are per offset, in the order of the subset's offsets.
// Warped positions follow warp_pixel (core/match.h); samples and gradients
// follow the border policy of interpolation.h, and an offset that cannot be
// sampled there gets usable = 0 (its other entries are then meaningless).
// The residual e is the deformed sample minus the reference sample. Two
// offsets share one register wherever possible; each lane computes exactly
// what the single-position functions give for its offset.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dic2d/core/match.h"
#include "dic2d/engine/interpolation.h"
#include "dic2d/engine/lane_dispatch.h"
#include "dic2d/engine/lanes4.h"
#include "dic2d/engine/reference_subset.h"

namespace dic2d {

// AxisCells of consecutive rows, one array per field, so that the values of
// two neighbouring rows load as one pair.
struct AxisTable {
  std::vector<std::uint8_t> inside;
  std::vector<std::int64_t> cell;
  std::vector<std::int64_t> cell_plus;
  std::vector<std::int64_t> cell_minus;
  std::vector<double> fraction;
  std::vector<double> one_minus;
  std::vector<double> fraction_plus;
  std::vector<double> one_minus_plus;
  std::vector<double> fraction_minus;
  std::vector<double> one_minus_minus;
};

// The cells of a subset's columns (x = cx + dx + u) and rows
// (y = cy + dy + v) under one translation (u, v): every pixel of a column
// shares its x and every pixel of a row its y, so a pass computes them once.
struct TranslationCells {
  std::vector<AxisCells> columns;  // dx - dx_min
  AxisTable rows;                  // dy - dy_min
};

// The samples of one pass, and the storage the passes reuse so that no
// iteration allocates.
struct SubsetSamples {
  std::vector<double> gradient;      // (gx, gy) per offset
  std::vector<double> residual;      // (e, e) per offset, twice for paired products
  std::vector<double> value;         // deformed sample per offset
  std::vector<std::uint8_t> usable;  // 1 where the offset was sampled
  TranslationCells translation;
};

// Fills `cells` for the translation (u, v) of `subset`.
void prepare_translation_cells(const ReferenceSubset& subset, const BilinearImage& deformed,
                               double u, double v, TranslationCells& cells);

// Calls visit(gx, gy, e) for every offset, in offset order, whose sample and
// gradient exist under the translation that `cells` were prepared for;
// offsets without them are passed over. The caller consumes the values as
// they come (no per-offset storage), which keeps the translation pass as fast
// as one fused loop.
//
// kLanes 4 (only in code compiled for AVX2, see lane_dispatch.h) first
// takes four vertically adjacent pixels at a time; the samples, their order
// and so every bit are those of kLanes 2.
template <int kLanes = 2, typename Visit>
__attribute__((always_inline)) inline void visit_translated_subset(const ReferenceSubset& subset,
                                                                   const BilinearImage& img,
                                                                   const TranslationCells& cells,
                                                                   Visit&& visit) {
  const std::size_t n = subset.offsets.size();
  const double* const ref = subset.values.data();
  const std::int32_t* const column = subset.column.data();
  const std::int32_t* const row = subset.row.data();
  const AxisTable& rt = cells.rows;
  // Locals, so that the loop keeps them in registers whatever the visitor
  // writes.
  const AxisCells* const columns = cells.columns.data();
  const std::uint8_t* const row_inside = rt.inside.data();
  const std::int64_t* const row_cell = rt.cell.data();
  const std::int64_t* const row_cell_plus = rt.cell_plus.data();
  const std::int64_t* const row_cell_minus = rt.cell_minus.data();
  const double* const row_fraction = rt.fraction.data();
  const double* const row_one_minus = rt.one_minus.data();
  const double* const row_fraction_plus = rt.fraction_plus.data();
  const double* const row_one_minus_plus = rt.one_minus_plus.data();
  const double* const row_fraction_minus = rt.fraction_minus.data();
  const double* const row_one_minus_minus = rt.one_minus_minus.data();
  const std::int64_t h = img.height;
  // One pixel, the two samples of each difference one per lane.
  const auto single = [&](std::size_t k) {
    const AxisCells& col = columns[static_cast<std::size_t>(column[k])];
    const auto r = static_cast<std::size_t>(row[k]);
    if (!(col.inside && row_inside[r] != 0)) {
      return;
    }
    const double a = col.fraction;
    const double one_a = col.one_minus;
    const double b = row_fraction[r];
    const double one_b = row_one_minus[r];
    const double* const p = img.pixels + col.cell + row_cell[r];
    const double value = bilinear_combine(p[0], p[h], p[1], p[h + 1], a, one_a, b, one_b);
    const double* const q = img.pixels + col.cell_plus + row_cell[r];
    const double* const m = img.pixels + col.cell_minus + row_cell[r];
    const Double2 sx = bilinear_pair(q, m, h, load_pair(col.fraction_pm),
                                     load_pair(col.one_minus_pm), broadcast(b), broadcast(one_b));
    const Double2 bs = {row_fraction_plus[r], row_fraction_minus[r]};
    const Double2 one_bs = {row_one_minus_plus[r], row_one_minus_minus[r]};
    const double* const c = img.pixels + col.cell;
    const Double2 sy = bilinear_pair(c + row_cell_plus[r], c + row_cell_minus[r], h, broadcast(a),
                                     broadcast(one_a), bs, one_bs);
    visit(sx[0] - sx[1], sy[0] - sy[1], value - ref[k]);
  };
  std::size_t k = 0;
  while (k < n) {
    const auto r = static_cast<std::size_t>(row[k]);
    const AxisCells& col = columns[static_cast<std::size_t>(column[k])];
    if constexpr (kLanes == 4) {
      // Four vertically adjacent pixels of one column, one per lane.
      if (k + 3 < n && column[k + 3] == column[k] && row[k + 3] == row[k] + 3 && col.inside &&
          row_inside[r] != 0 && row_inside[r + 1] != 0 && row_inside[r + 2] != 0 &&
          row_inside[r + 3] != 0) {
        Double4 a, one_a, ap, one_ap, am, one_am;
        broadcast4(col.fraction, a);
        broadcast4(col.one_minus, one_a);
        broadcast4(col.fraction_pm[0], ap);
        broadcast4(col.one_minus_pm[0], one_ap);
        broadcast4(col.fraction_pm[1], am);
        broadcast4(col.one_minus_pm[1], one_am);
        Double4 b, one_b, bp, one_bp, bm, one_bm;
        load_quad(row_fraction + r, b);
        load_quad(row_one_minus + r, one_b);
        load_quad(row_fraction_plus + r, bp);
        load_quad(row_one_minus_plus + r, one_bp);
        load_quad(row_fraction_minus + r, bm);
        load_quad(row_one_minus_minus + r, one_bm);
        const double* const c = img.pixels + col.cell;
        Double4 value, sxp, sxm, syp, sym;
        bilinear_column_quad(c, row_cell + r, h, a, one_a, b, one_b, value);
        bilinear_column_quad(img.pixels + col.cell_plus, row_cell + r, h, ap, one_ap, b, one_b,
                             sxp);
        bilinear_column_quad(img.pixels + col.cell_minus, row_cell + r, h, am, one_am, b, one_b,
                             sxm);
        bilinear_column_quad(c, row_cell_plus + r, h, a, one_a, bp, one_bp, syp);
        bilinear_column_quad(c, row_cell_minus + r, h, a, one_a, bm, one_bm, sym);
        Double4 reference;
        load_quad(ref + k, reference);
        double gx[4], gy[4], e[4];
        lanes_of(sxp - sxm, gx);
        lanes_of(syp - sym, gy);
        lanes_of(value - reference, e);
        for (int lane = 0; lane < 4; ++lane) visit(gx[lane], gy[lane], e[lane]);
        k += 4;
        continue;
      }
    }
    // Two vertically adjacent pixels of one column (the usual case in
    // column-by-column offsets), one per lane.
    if (k + 1 < n && column[k + 1] == column[k] && row[k + 1] == row[k] + 1 && col.inside &&
        row_inside[r] != 0 && row_inside[r + 1] != 0) {
      const Double2 a = broadcast(col.fraction);
      const Double2 one_a = broadcast(col.one_minus);
      const Double2 b = load_pair(&row_fraction[r]);
      const Double2 one_b = load_pair(&row_one_minus[r]);
      const double* const c = img.pixels + col.cell;
      const double* const cp = img.pixels + col.cell_plus;
      const double* const cm = img.pixels + col.cell_minus;
      const std::int64_t y0 = row_cell[r];
      const std::int64_t y1 = row_cell[r + 1];
      const Double2 value = bilinear_pair(c + y0, c + y1, h, a, one_a, b, one_b);
      const Double2 gx = bilinear_pair(cp + y0, cp + y1, h, broadcast(col.fraction_pm[0]),
                                       broadcast(col.one_minus_pm[0]), b, one_b) -
                         bilinear_pair(cm + y0, cm + y1, h, broadcast(col.fraction_pm[1]),
                                       broadcast(col.one_minus_pm[1]), b, one_b);
      const Double2 gy =
          bilinear_pair(c + row_cell_plus[r], c + row_cell_plus[r + 1], h, a, one_a,
                        load_pair(&row_fraction_plus[r]), load_pair(&row_one_minus_plus[r])) -
          bilinear_pair(c + row_cell_minus[r], c + row_cell_minus[r + 1], h, a, one_a,
                        load_pair(&row_fraction_minus[r]), load_pair(&row_one_minus_minus[r]));
      const Double2 e = value - load_pair(ref + k);
      visit(gx[0], gy[0], e[0]);
      visit(gx[1], gy[1], e[1]);
      k += 2;
    } else {
      single(k);
      k += 1;
    }
  }
}

// Gradient and residual of every offset under the affine warp `p`, with the
// kernels of `lanes` (kFour only where cpu_has_avx2(); the same bits).
void sample_affine_subset(const ReferenceSubset& subset, const BilinearImage& deformed,
                          const AffineParams& p, SubsetSamples& samples,
                          LaneWidth lanes = LaneWidth::kTwo);

// The deformed sample alone (`value`) of every offset under `p`, as the final
// coefficient of a stage needs it; usable needs only the sample, not the
// gradient. Returns the number of usable offsets.
std::size_t sample_warped_values(const ReferenceSubset& subset, const BilinearImage& deformed,
                                 const AffineParams& p, SubsetSamples& samples);

// The same under the translation (u, v): positions (cx + dx) + u and
// (cy + dy) + v.
std::size_t sample_translated_values(const ReferenceSubset& subset, const BilinearImage& deformed,
                                     double u, double v, SubsetSamples& samples);

}  // namespace dic2d
