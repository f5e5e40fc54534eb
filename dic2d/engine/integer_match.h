#pragma once
// Integer matching: the zero-normalised cross-correlation (ZNCC) of a
// reference subset with the deformed image shifted by a whole-pixel
// displacement, and the exhaustive scan for the best displacement in a
// window.
//
// Conventions: pixel (x, y) with x bounded by the width, x-major storage;
// displacements (du, dv) in pixels. Sums run in the order of the subset
// offsets, and the means are taken over the whole subset. A displacement
// that moves any subset pixel out of the deformed image has no value, as
// does one whose subsets are flat (sum of squares <= 2^-52) or whose
// coefficient is not finite. Reference pixels must lie inside the image.

#include <cstdint>
#include <optional>
#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/engine/reference_subset.h"
#include "dic2d/roi/reduced_grid.h"

namespace dic2d {

// ZNCC of the reference subset at (cx, cy) against the deformed image shifted
// by (du, dv).
std::optional<double> zncc(const GrayImage& reference, const GrayImage& deformed,
                           const std::vector<SubsetOffset>& offsets, std::int32_t cx,
                           std::int32_t cy, std::int64_t du, std::int64_t dv);

// The same on a prepared subset; identical results.
std::optional<double> zncc(const ReferenceSubset& subset, const GrayImage& deformed,
                           std::int64_t du, std::int64_t dv);

// The best displacement of a window and its coefficient.
struct IntegerMatch {
  std::int64_t du = 0;
  std::int64_t dv = 0;
  double corrcoef = 0.0;
};

// Best zncc over du in [du_first, du_last] (outer, ascending) and dv in
// [dv_first, dv_last] (inner, ascending); the first strictly greater value
// wins. Displacements whose subset leaves the deformed image are never
// visited (they have no value), so any window costs at most the image.
// Nothing when no candidate has a value.
std::optional<IntegerMatch> best_integer_match(const ReferenceSubset& subset,
                                               const GrayImage& deformed, std::int64_t du_first,
                                               std::int64_t du_last, std::int64_t dv_first,
                                               std::int64_t dv_last);

}  // namespace dic2d
