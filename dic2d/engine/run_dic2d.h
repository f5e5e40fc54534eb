#pragma once

#include "dic2d/core/images.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/result.h"

namespace dic2d {

// One whole correlation run: validation, ROI regions, seed search, reference
// grid, reliability-guided propagation. Throws on any failure; no partial
// result is returned.
DicResult run_dic2d(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const SeedInput& seed, const DicParameters& params);

}  // namespace dic2d
