#include "dic2d/engine/run_dic2d.h"

#include <cstdint>
#include <utility>

#include "dic2d/engine/match_refiner.h"
#include "dic2d/engine/propagation.h"
#include "dic2d/engine/seed_search.h"
#include "dic2d/engine/validation.h"
#include "dic2d/roi/reduced_grid.h"

namespace dic2d {

RunStart start_run(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                   const SeedInput& seed, const DicParameters& params) {
  RunStart start;
  start.seed = validate_dic_inputs(reference, deformed, mask, seed, params);
  start.roi = build_reduced_roi(mask, start.seed, params);
  return start;
}

DicResult finish_run(const ReducedRoi& roi, const SeedMatch& seed,
                     std::vector<Point2> reference_grid_points, PointFields fields) {
  DicResult result;
  result.ok = true;
  result.message = kDicSuccessMessage;
  result.reduced_width = roi.reduced_width;
  result.reduced_height = roi.reduced_height;
  result.roi_region_count = static_cast<std::int32_t>(roi.regions.size());
  result.seed_region = roi.seed_region;
  result.seed = seed;
  result.reference_grid_points = std::move(reference_grid_points);
  result.fields = std::move(fields);
  return result;
}

DicResult run_dic2d(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const SeedInput& seed, const DicParameters& params) {
  const RunStart start = start_run(reference, deformed, mask, seed, params);
  MatchRefiner refiner = make_match_refiner(reference, deformed, params);
  const SeedMatch seed_match = find_seed(reference, deformed, mask, start.seed, params, refiner);
  std::vector<Point2> points = list_reference_grid_points(mask, params);
  PointFields fields =
      propagate_rg(reference, deformed, mask, params, start.roi, points, seed_match, refiner);
  return finish_run(start.roi, seed_match, std::move(points), std::move(fields));
}

}  // namespace dic2d
