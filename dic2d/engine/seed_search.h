#pragma once
// The seed search: an exhaustive integer scan of the zero-normalised
// cross-correlation around the seed's pixel, then translation and affine
// refinement.
//
// Conventions: pixel (x, y) with x bounded by the width, x-major storage;
// displacements in pixels. Candidate centres keep a margin of subset_radius
// from every border of the deformed image, with or without truncation; the
// window is seed_search_radius around the seed moved by the rounded
// (seed_guess_u, seed_guess_v), or the whole image for 0.

#include "dic2d/core/images.h"
#include "dic2d/core/match.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/pixel.h"
#include "dic2d/engine/match_refiner.h"

namespace dic2d {

// Integer search around the seed's pixel (as validation returned it), then
// translation and affine refinement; a failed stage keeps the estimate
// before it. Throws std::runtime_error "Seed subset has too few pixels for
// NCC.", "Seed subset has near-zero reference texture." or "NCC initial
// guess failed to find a valid candidate.".
SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    Pixel seed, const DicParameters& params);

// The same with the run's refiner.
SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    Pixel seed, const DicParameters& params, MatchRefiner& refiner);

// The seed search on its own: validates the inputs and labels the ROI first
// (with their failures), then searches from the validated pixel.
SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const SeedInput& seed, const DicParameters& params);

}  // namespace dic2d
