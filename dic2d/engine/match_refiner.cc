#include "dic2d/engine/match_refiner.h"

namespace dic2d {

MatchRefiner make_match_refiner(const GrayImage& reference, const GrayImage& deformed,
                                const DicParameters& params) {
  MatchRefiner refiner;
  if (uses_icgn(params)) {
    refiner.icgn = prepare_icgn_images(reference, deformed, params.criterion, params.interpolation,
                                       params.smoothing_sigma);
  }
  return refiner;
}

AffineResult refine_match(MatchRefiner& refiner, const ReferenceSubset& subset,
                          const GrayImage& deformed, const AffineParams& start,
                          double start_corrcoef, const DicParameters& params) {
  if (!refiner.icgn) {
    return refine_match(subset, deformed, start, start_corrcoef, params, refiner.scratch);
  }
  prepare_icgn_subset(*refiner.icgn, subset, refiner.icgn_subset);
  return icgn_refine_match(*refiner.icgn, refiner.icgn_subset, start, start_corrcoef, params,
                           refiner.icgn_scratch);
}

}  // namespace dic2d
