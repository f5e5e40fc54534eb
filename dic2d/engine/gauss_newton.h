#pragma once
// Sub-pixel refinement of a subset match by forward-additive Gauss-Newton
// iterations on the sum of squared differences: translation only, and the
// six-parameter affine warp, each ending with the zero-normalised
// cross-correlation (ZNCC) coefficient of the refined match.
//
// Conventions: the subset is a ReferenceSubset (offsets of
// build_subset_offsets around an integer centre); every sum over it runs in
// offset order. Warped positions follow warp_pixel (core/match.h):
// displacements in pixels, gradients dimensionless. Each iteration samples
// the deformed image bilinearly (border policy in interpolation.h) with its
// half-pixel gradient, rebuilds the normal equations and adds the solved
// update; it stops once cutoff_diffnorm exceeds the update's norm or after
// cutoff_iteration passes (no failure). Pixels whose sample or gradient
// fails drop out of that pass only. Refinements never throw: failure (too
// few usable pixels, singular system, non-finite update, flat subset at the
// end) returns nothing and the caller keeps its estimate.

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>

#include "dic2d/core/images.h"
#include "dic2d/core/match.h"
#include "dic2d/core/parameters.h"
#include "dic2d/engine/lane_dispatch.h"
#include "dic2d/engine/reference_subset.h"
#include "dic2d/engine/subset_sampling.h"

namespace dic2d {

// Magnitude at or below which a determinant or pivot counts as singular.
inline constexpr double kSingularLimit = 1e-12;

struct TranslationResult {
  double u = 0.0;
  double v = 0.0;
  double corrcoef = 0.0;
};

struct AffineResult {
  AffineParams params;
  double corrcoef = 0.0;
};

// Storage reused between refinements so that no iteration allocates; a
// caller keeps one per run.
struct RefinementScratch {
  SubsetSamples samples;
};

// Translation-only refinement from (u, v) on a prepared subset (of
// `deformed`'s reference image): at least 3 usable pixels per pass, the
// coefficient over at least 3.
std::optional<TranslationResult> refine_translation(const ReferenceSubset& subset,
                                                    const GrayImage& deformed, double u, double v,
                                                    const DicParameters& params,
                                                    RefinementScratch& scratch);

// Affine refinement from `initial`: at least 6 usable pixels per pass, the
// coefficient over at least 6.
std::optional<AffineResult> refine_affine(const ReferenceSubset& subset, const GrayImage& deformed,
                                          const AffineParams& initial, const DicParameters& params,
                                          RefinementScratch& scratch);

// The same with an explicit kernel width: kFour (only where cpu_has_avx2())
// or kTwo give identical bits; the forms above use detected_lane_width().
std::optional<TranslationResult> refine_translation(const ReferenceSubset& subset,
                                                    const GrayImage& deformed, double u, double v,
                                                    const DicParameters& params,
                                                    RefinementScratch& scratch, LaneWidth lanes);

std::optional<AffineResult> refine_affine(const ReferenceSubset& subset, const GrayImage& deformed,
                                          const AffineParams& initial, const DicParameters& params,
                                          RefinementScratch& scratch, LaneWidth lanes);

// The two stages as every match (the seed's and each propagated point's) is
// refined: translation from `start`'s (u, v), then affine from that result
// with `start`'s gradients. A stage that fails leaves the estimate it was
// given and its coefficient (`start` and `start_corrcoef` when both fail).
AffineResult refine_match(const ReferenceSubset& subset, const GrayImage& deformed,
                          const AffineParams& start, double start_corrcoef,
                          const DicParameters& params, RefinementScratch& scratch);

// The same stages on their own at the centre (cx, cy), preparing the subset
// themselves; results identical to the prepared forms.
std::optional<TranslationResult> refine_translation(const GrayImage& reference,
                                                    const GrayImage& deformed, const RoiMask& mask,
                                                    double u, double v, std::int32_t cx,
                                                    std::int32_t cy, const DicParameters& params);

std::optional<AffineResult> refine_affine(const GrayImage& reference, const GrayImage& deformed,
                                          const RoiMask& mask, std::int32_t cx, std::int32_t cy,
                                          const AffineParams& initial, const DicParameters& params);

// Solves a * x = rhs by Gaussian elimination with partial pivoting (first row
// of largest magnitude at or below the diagonal). Nothing when a pivot or a
// diagonal element has magnitude <= kSingularLimit. `a` and `rhs` are
// consumed.
std::optional<std::array<double, 6>> solve_6x6(std::array<std::array<double, 6>, 6>& a,
                                               std::array<double, 6>& rhs);

// The stop rule: an update whose squared norm (summed in parameter order) is
// `squared_norm` ends the iteration when cutoff_diffnorm exceeds its norm.
inline bool update_is_converged(const DicParameters& params, double squared_norm) {
  return params.cutoff_diffnorm > std::sqrt(squared_norm);
}

}  // namespace dic2d
