#pragma once

#include "dic2d/core/images.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/pixel.h"

namespace dic2d {

// Checks the images, the mask, the seed and the parameters in a fixed order
// and throws std::invalid_argument with the message of the first failing
// check. When everything is acceptable, returns the seed's pixel: the seed
// rounded half away from zero, inside the mask and the ROI. This is the one
// place a run rounds the seed.
Pixel validate_dic_inputs(const GrayImage& reference, const GrayImage& deformed,
                          const RoiMask& mask, const SeedInput& seed, const DicParameters& params);

}  // namespace dic2d
