#pragma once
// One correlation run and its stages, which run_dic2d calls in this order:
// start_run (validation, which rounds the seed to its pixel, and the ROI
// labelling), find_seed, list_reference_grid_points, propagate_rg and
// finish_run. Each stage takes what the earlier ones produced, so a caller
// (a benchmark timing them apart) can run them one by one.

#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/core/match.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/pixel.h"
#include "dic2d/core/result.h"
#include "dic2d/roi/roi_regions.h"

namespace dic2d {

// The checked start of a run: the seed's pixel and the labelled ROI.
struct RunStart {
  Pixel seed;
  ReducedRoi roi;
};

// Validates every input (std::invalid_argument) and labels the ROI
// (std::runtime_error when no region qualifies or none holds the seed).
RunStart start_run(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                   const SeedInput& seed, const DicParameters& params);

// The completed result: ok, the success message, the grid size and region
// counts of `roi`, the seed and the per-point fields of the grid points.
DicResult finish_run(const ReducedRoi& roi, const SeedMatch& seed,
                     std::vector<Point2> reference_grid_points, PointFields fields);

// One whole correlation run. Throws on any failure; no partial result is
// returned.
DicResult run_dic2d(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const SeedInput& seed, const DicParameters& params);

}  // namespace dic2d
