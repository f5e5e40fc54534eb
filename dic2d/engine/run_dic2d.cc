#include "dic2d/engine/run_dic2d.h"

#include <utility>

#include "dic2d/engine/propagation.h"
#include "dic2d/engine/seed_search.h"
#include "dic2d/engine/validation.h"
#include "dic2d/roi/reduced_grid.h"
#include "dic2d/roi/roi_regions.h"

namespace dic2d {

DicResult run_dic2d(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const SeedInput& seed, const DicParameters& params) {
  validate_dic_inputs(reference, deformed, mask, seed, params);

  DicResult result;
  const ReducedRoi roi = build_reduced_roi(mask, seed, params);
  result.reduced_width = roi.reduced_width;
  result.reduced_height = roi.reduced_height;
  result.roi_region_count = static_cast<std::int32_t>(roi.regions.size());
  result.seed_region = roi.seed_region;

  result.seed_paramvector = find_seed(reference, deformed, mask, seed, params);
  result.reference_grid_points = list_reference_grid_points(mask, params);

  propagate_rg(reference, deformed, mask, seed, params, result.reduced_width, result.reduced_height,
               result.reference_grid_points, result.seed_paramvector, result);

  result.ok = true;
  result.message = kDicSuccessMessage;
  return result;
}

}  // namespace dic2d
