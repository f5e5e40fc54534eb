#pragma once
// The sub-pixel refinement of every match of a run, as its parameters choose
// it: forward-additive Gauss-Newton on bilinear samples (gauss_newton.h) by
// default; inverse-compositional Gauss-Newton (icgn.h) when the criterion,
// the interpolation or the smoothing differ from the defaults. The images
// the latter needs (B-spline coefficients, smoothed copies) are prepared
// once per run here.

#include <optional>

#include "dic2d/core/images.h"
#include "dic2d/core/match.h"
#include "dic2d/core/parameters.h"
#include "dic2d/engine/gauss_newton.h"
#include "dic2d/engine/icgn.h"
#include "dic2d/engine/reference_subset.h"

namespace dic2d {

struct MatchRefiner {
  std::optional<IcgnImages> icgn;  // set exactly when uses_icgn(params)
  RefinementScratch scratch;
  IcgnSubset icgn_subset;
  IcgnScratch icgn_scratch;
};

// The images must outlive the refiner (IC-GN borrows them).
MatchRefiner make_match_refiner(const GrayImage& reference, const GrayImage& deformed,
                                const DicParameters& params);

// Translation then affine refinement of the match at `subset` (prepared on
// the unsmoothed reference), starting from `start`; a failed stage keeps the
// estimate before it (refine_match of gauss_newton.h, icgn_refine_match).
AffineResult refine_match(MatchRefiner& refiner, const ReferenceSubset& subset,
                          const GrayImage& deformed, const AffineParams& start,
                          double start_corrcoef, const DicParameters& params);

}  // namespace dic2d
