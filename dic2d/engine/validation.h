#pragma once

#include "dic2d/core/images.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/pixel.h"

namespace dic2d {

// Bounds of the extension parameters: smoothing_sigma in [0, 10] pixels,
// |seed_guess_u|, |seed_guess_v| at most 1e9 pixels (finite).
inline constexpr double kMaxSmoothingSigma = 10.0;
inline constexpr double kMaxSeedGuess = 1e9;

// Checks the images, the mask, the seed and the parameters in a fixed order
// and throws std::invalid_argument with the message of the first failing
// check. When everything is acceptable, returns the seed's pixel: the seed
// rounded half away from zero, inside the mask and the ROI. This is the one
// place a run rounds the seed.
Pixel validate_dic_inputs(const GrayImage& reference, const GrayImage& deformed,
                          const RoiMask& mask, const SeedInput& seed, const DicParameters& params);

}  // namespace dic2d
