#pragma once
// Integer zero-normalised cross-correlation (ZNCC) of subsets and the seed
// search: an exhaustive integer scan around the seed followed by translation
// and affine refinement.
//
// Conventions: pixel (x, y) with x bounded by the width, x-major storage.
// Sums run in the order of the subset offsets.

#include <cstdint>
#include <optional>
#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/core/match.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/pixel.h"
#include "dic2d/engine/refinement.h"
#include "dic2d/roi/reduced_grid.h"

namespace dic2d {

// ZNCC of the reference subset at (cx, cy) against the deformed image shifted
// by the integer displacement (du, dv). Nothing when a shifted pixel leaves
// the deformed image, either subset is flat (sum of squares <= 2^-52) or the
// coefficient is not finite. Reference pixels must lie inside the image.
std::optional<double> zncc(const GrayImage& reference, const GrayImage& deformed,
                           const std::vector<SubsetOffset>& offsets, std::int32_t cx,
                           std::int32_t cy, std::int64_t du, std::int64_t dv);

// The same on a prepared subset; identical results.
std::optional<double> zncc(const ReferenceSubset& subset, const GrayImage& deformed,
                           std::int64_t du, std::int64_t dv);

// Integer search result over a window of displacements.
struct IntegerMatch {
  std::int64_t du = 0;
  std::int64_t dv = 0;
  double corrcoef = 0.0;
};

// Best zncc over du in [du_first, du_last] (outer, ascending) and dv in
// [dv_first, dv_last] (inner, ascending); the first strictly greater value
// wins. Displacements whose subset leaves the deformed image are never
// visited (they have no value). Nothing when no candidate has a value.
std::optional<IntegerMatch> best_integer_match(const ReferenceSubset& subset,
                                               const GrayImage& deformed, std::int64_t du_first,
                                               std::int64_t du_last, std::int64_t dv_first,
                                               std::int64_t dv_last);

// Integer search around the seed's pixel (as validation returned it) over
// candidate centres at least subset_radius from every border, then
// translation and affine refinement; a failed stage keeps the estimate
// before it. Throws std::runtime_error "Seed subset has too few pixels for
// NCC.", "Seed subset has near-zero reference texture." or "NCC initial
// guess failed to find a valid candidate.".
SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    Pixel seed, const DicParameters& params);

// The seed search on its own: validates the inputs and labels the ROI first
// (with their failures), then searches from the validated pixel.
SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const SeedInput& seed, const DicParameters& params);

}  // namespace dic2d
