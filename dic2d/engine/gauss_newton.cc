#include "dic2d/engine/gauss_newton.h"

#include <cstddef>
#include <utility>

#include "dic2d/engine/correlation.h"
#include "dic2d/engine/interpolation.h"
#include "dic2d/engine/lane_dispatch.h"
#include "dic2d/engine/lanes.h"
#include "dic2d/engine/lanes4.h"

namespace dic2d {
namespace {

// Normal equations of the translation: the sums of gx^2, gx gy, gy^2, gx e
// and gy e over the usable pixels, and their count.
struct TranslationSums {
  double sxx = 0.0;
  double sxy = 0.0;
  double syy = 0.0;
  double sxe = 0.0;
  double sye = 0.0;
  std::size_t count = 0;

  void add(double gx, double gy, double e) {
    sxx += gx * gx;
    sxe += gx * e;
    sxy += gx * gy;
    syy += gy * gy;
    sye += gy * e;
    ++count;
  }
};

using Matrix6 = std::array<std::array<double, 6>, 6>;
using Vector6 = std::array<double, 6>;

// Normal equations of the affine warp, h = sum of s s^T and g = sum of s e
// over the usable pixels with the steepest-descent vector
// s = (gx, gy, gx dx, gx dy, gy dx, gy dy); returns their count.
//
// kLanes 4 packs the 27 sums into seven four-lane accumulators; every sum
// still adds its products in pixel order, so the bits are those of kLanes 2.
template <int kLanes>
__attribute__((always_inline)) inline std::size_t affine_normal_sums(const ReferenceSubset& subset,
                                                                     const SubsetSamples& samples,
                                                                     Matrix6& h, Vector6& g) {
  // The 21 distinct entries of the symmetric matrix (h01 = s0 * s1, ...) and
  // g, two entries per register. With s01 = (s0, s1), s24 = (s2, s4) and
  // s35 = (s3, s5), lane-wise products of these and of their swaps give
  // every entry but h35 in pairs.
  Double2 h00_11 = {0.0, 0.0}, h22_44 = {0.0, 0.0}, h33_55 = {0.0, 0.0};
  Double2 h02_14 = {0.0, 0.0}, h03_15 = {0.0, 0.0}, h23_45 = {0.0, 0.0};
  Double2 h12_04 = {0.0, 0.0}, h13_05 = {0.0, 0.0}, h34_25 = {0.0, 0.0};
  Double2 h01_24 = {0.0, 0.0};
  double h35 = 0.0;
  Double2 g01 = {0.0, 0.0}, g24 = {0.0, 0.0}, g35 = {0.0, 0.0};
  std::size_t count = 0;
  const std::size_t n = subset.offsets.size();
  const double* gradient = samples.gradient.data();
  const double* residual = samples.residual.data();
  const double* offset_xx = subset.offset_xx.data();
  const double* offset_yy = subset.offset_yy.data();
  const std::uint8_t* usable = samples.usable.data();
  if constexpr (kLanes == 4) {
    // Lanes: q1 = (h00, h11, h22, h44), q2 = (h33, h55, h02, h14),
    // q3 = (h03, h15, h23, h45), q4 = (h12, h04, h13, h05),
    // q5 = (h34, h25, h01, h24), q6 = (g0, g1, g2, g4),
    // q7 = (g3, g5, h35, unused).
    Double4 q1 = {0.0, 0.0, 0.0, 0.0}, q2 = q1, q3 = q1, q4 = q1, q5 = q1, q6 = q1, q7 = q1;
    for (std::size_t k = 0; k < n; ++k) {
      if (usable[k] == 0) {
        continue;
      }
      const Double2 s01 = load_pair(gradient + 2 * k);
      const Double2 e = load_pair(residual + 2 * k);
      const Double2 s24 = s01 * load_pair(offset_xx + 2 * k);
      const Double2 s35 = s01 * load_pair(offset_yy + 2 * k);
      const Double2 s10 = {s01[1], s01[0]};
      const Double2 s42 = {s24[1], s24[0]};
      const Double2 s53 = {s35[1], s35[0]};
      const Double2 s02 = {s01[0], s24[0]};
      const Double2 s14 = {s01[1], s24[1]};
      Double4 s0124, s3501, s3524, s3535, s1010, s2435, s4202, s3514, ee, e53;
      join_pairs(s01, s24, s0124);
      join_pairs(s35, s01, s3501);
      join_pairs(s35, s24, s3524);
      join_pairs(s35, s35, s3535);
      join_pairs(s10, s10, s1010);
      join_pairs(s24, s35, s2435);
      join_pairs(s42, s02, s4202);
      join_pairs(s35, s14, s3514);
      join_pairs(e, e, ee);
      join_pairs(e, s53, e53);
      q1 += s0124 * s0124;
      q2 += s3501 * s3524;
      q3 += s0124 * s3535;
      q4 += s1010 * s2435;
      q5 += s4202 * s3514;
      q6 += s0124 * ee;
      q7 += s3535 * e53;
      ++count;
    }
    double l1[4], l2[4], l3[4], l4[4], l5[4], l6[4], l7[4];
    lanes_of(q1, l1);
    lanes_of(q2, l2);
    lanes_of(q3, l3);
    lanes_of(q4, l4);
    lanes_of(q5, l5);
    lanes_of(q6, l6);
    lanes_of(q7, l7);
    h00_11 = Double2{l1[0], l1[1]};
    h22_44 = Double2{l1[2], l1[3]};
    h33_55 = Double2{l2[0], l2[1]};
    h02_14 = Double2{l2[2], l2[3]};
    h03_15 = Double2{l3[0], l3[1]};
    h23_45 = Double2{l3[2], l3[3]};
    h12_04 = Double2{l4[0], l4[1]};
    h13_05 = Double2{l4[2], l4[3]};
    h34_25 = Double2{l5[0], l5[1]};
    h01_24 = Double2{l5[2], l5[3]};
    g01 = Double2{l6[0], l6[1]};
    g24 = Double2{l6[2], l6[3]};
    g35 = Double2{l7[0], l7[1]};
    h35 = l7[2];
  }
  for (std::size_t k = 0; kLanes == 2 && k < n; ++k) {
    if (usable[k] == 0) {
      continue;
    }
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
    ++count;
  }
  const double h00 = h00_11[0], h11 = h00_11[1], h22 = h22_44[0], h44 = h22_44[1];
  const double h33 = h33_55[0], h55 = h33_55[1], h02 = h02_14[0], h14 = h02_14[1];
  const double h03 = h03_15[0], h15 = h03_15[1], h23 = h23_45[0], h45 = h23_45[1];
  const double h12 = h12_04[0], h04 = h12_04[1], h13 = h13_05[0], h05 = h13_05[1];
  const double h34 = h34_25[0], h25 = h34_25[1], h01 = h01_24[0], h24 = h01_24[1];
  // s_i * s_j == s_j * s_i exactly, so the mirrored entries are the sums the
  // full outer product would give.
  h = {{{h00, h01, h02, h03, h04, h05},
        {h01, h11, h12, h13, h14, h15},
        {h02, h12, h22, h23, h24, h25},
        {h03, h13, h23, h33, h34, h35},
        {h04, h14, h24, h34, h44, h45},
        {h05, h15, h25, h35, h45, h55}}};
  g = {g01[0], g01[1], g24[0], g35[0], g24[1], g35[1]};
  return count;
}

// The coefficient a stage ends with over at least `min_count` sampled
// pixels, once `samples` hold the values at its final warp.
std::optional<double> final_coefficient(const ReferenceSubset& subset, const SubsetSamples& samples,
                                        std::size_t usable_count, std::size_t min_count) {
  return zncc_of_samples(subset, samples.value.data(), samples.usable.data(), usable_count,
                         min_count);
}

}  // namespace

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

namespace {

template <int kLanes>
__attribute__((always_inline)) inline std::optional<TranslationResult> refine_translation_body(
    const ReferenceSubset& subset, const GrayImage& deformed, double u, double v,
    const DicParameters& params, RefinementScratch& scratch) {
  if (subset.offsets.size() < 3) {
    return std::nullopt;
  }
  const BilinearImage img = bilinear_image(deformed);
  for (std::int32_t iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    TranslationCells& cells = scratch.samples.translation;
    prepare_translation_cells(subset, img, u, v, cells);
    TranslationSums s;
    visit_translated_subset<kLanes>(subset, img, cells,
                                    [&s](double gx, double gy, double e) { s.add(gx, gy, e); });
    if (s.count <= 2) {
      return std::nullopt;
    }
    const double det = s.syy * s.sxx - s.sxy * s.sxy;
    if (std::abs(det) <= kSingularLimit) {
      return std::nullopt;
    }
    const double delta_u = -(s.syy * s.sxe - s.sxy * s.sye) / det;
    if (!std::isfinite(delta_u)) {
      return std::nullopt;
    }
    const double delta_v = -(s.sxx * s.sye - s.sxy * s.sxe) / det;
    if (!std::isfinite(delta_v)) {
      return std::nullopt;
    }
    u += delta_u;
    v += delta_v;
    if (update_is_converged(params, delta_u * delta_u + delta_v * delta_v)) {
      break;
    }
  }
  const std::size_t usable = sample_translated_values(subset, img, u, v, scratch.samples);
  const auto coefficient = final_coefficient(subset, scratch.samples, usable, 3);
  if (!coefficient) {
    return std::nullopt;
  }
  return TranslationResult{u, v, *coefficient};
}

template <int kLanes>
__attribute__((always_inline)) inline std::optional<AffineResult> refine_affine_body(
    const ReferenceSubset& subset, const GrayImage& deformed, const AffineParams& initial,
    const DicParameters& params, RefinementScratch& scratch) {
  if (subset.offsets.size() < 6) {
    return std::nullopt;
  }
  const BilinearImage img = bilinear_image(deformed);
  Vector6 p{initial.u, initial.v, initial.du_dx, initial.du_dy, initial.dv_dx, initial.dv_dy};
  const auto warp = [&p] { return AffineParams{p[0], p[1], p[2], p[3], p[4], p[5]}; };
  for (std::int32_t iteration = 0; iteration < params.cutoff_iteration; ++iteration) {
    sample_affine_subset(subset, img, warp(), scratch.samples,
                         kLanes == 4 ? LaneWidth::kFour : LaneWidth::kTwo);
    Matrix6 h;
    Vector6 g;
    if (affine_normal_sums<kLanes>(subset, scratch.samples, h, g) < 6) {
      return std::nullopt;
    }
    Vector6 rhs{-g[0], -g[1], -g[2], -g[3], -g[4], -g[5]};
    const auto delta = solve_6x6(h, rhs);
    if (!delta) {
      return std::nullopt;
    }
    for (int i = 0; i < 6; ++i) {
      p[i] += (*delta)[i];
      if (!std::isfinite((*delta)[i])) {
        return std::nullopt;
      }
    }
    double norm_sq = 0.0;
    for (int i = 0; i < 6; ++i) {
      norm_sq += (*delta)[i] * (*delta)[i];
    }
    if (update_is_converged(params, norm_sq)) {
      break;
    }
  }
  const std::size_t usable = sample_warped_values(subset, img, warp(), scratch.samples);
  const auto coefficient = final_coefficient(subset, scratch.samples, usable, 6);
  if (!coefficient) {
    return std::nullopt;
  }
  return AffineResult{warp(), *coefficient};
}

DIC_FOUR_LANE_TARGET std::optional<TranslationResult> refine_translation_four(
    const ReferenceSubset& subset, const GrayImage& deformed, double u, double v,
    const DicParameters& params, RefinementScratch& scratch) {
  return refine_translation_body<4>(subset, deformed, u, v, params, scratch);
}

std::optional<TranslationResult> refine_translation_two(const ReferenceSubset& subset,
                                                        const GrayImage& deformed, double u,
                                                        double v, const DicParameters& params,
                                                        RefinementScratch& scratch) {
  return refine_translation_body<2>(subset, deformed, u, v, params, scratch);
}

DIC_FOUR_LANE_TARGET std::optional<AffineResult> refine_affine_four(const ReferenceSubset& subset,
                                                                    const GrayImage& deformed,
                                                                    const AffineParams& initial,
                                                                    const DicParameters& params,
                                                                    RefinementScratch& scratch) {
  return refine_affine_body<4>(subset, deformed, initial, params, scratch);
}

std::optional<AffineResult> refine_affine_two(const ReferenceSubset& subset,
                                              const GrayImage& deformed,
                                              const AffineParams& initial,
                                              const DicParameters& params,
                                              RefinementScratch& scratch) {
  return refine_affine_body<2>(subset, deformed, initial, params, scratch);
}

}  // namespace

std::optional<TranslationResult> refine_translation(const ReferenceSubset& subset,
                                                    const GrayImage& deformed, double u, double v,
                                                    const DicParameters& params,
                                                    RefinementScratch& scratch, LaneWidth lanes) {
  return lanes == LaneWidth::kFour
             ? refine_translation_four(subset, deformed, u, v, params, scratch)
             : refine_translation_two(subset, deformed, u, v, params, scratch);
}

std::optional<TranslationResult> refine_translation(const ReferenceSubset& subset,
                                                    const GrayImage& deformed, double u, double v,
                                                    const DicParameters& params,
                                                    RefinementScratch& scratch) {
  return refine_translation(subset, deformed, u, v, params, scratch, detected_lane_width());
}

std::optional<AffineResult> refine_affine(const ReferenceSubset& subset, const GrayImage& deformed,
                                          const AffineParams& initial, const DicParameters& params,
                                          RefinementScratch& scratch, LaneWidth lanes) {
  return lanes == LaneWidth::kFour ? refine_affine_four(subset, deformed, initial, params, scratch)
                                   : refine_affine_two(subset, deformed, initial, params, scratch);
}

std::optional<AffineResult> refine_affine(const ReferenceSubset& subset, const GrayImage& deformed,
                                          const AffineParams& initial, const DicParameters& params,
                                          RefinementScratch& scratch) {
  return refine_affine(subset, deformed, initial, params, scratch, detected_lane_width());
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
