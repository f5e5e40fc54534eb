#pragma once
// The reduced grid (pitch grid_step = subset_spacing + 1 pixels, starting at
// pixel (0, 0)), its reference grid points and the disc-shaped subset.

#include <cstdint>
#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/pixel.h"

namespace dic2d {

// Pixel offset (dx, dy) of a subset pixel from its integer centre.
struct SubsetOffset {
  std::int32_t dx = 0;
  std::int32_t dy = 0;
};

// Reference grid points in x-major order (increasing x, then increasing y).
// Throws std::invalid_argument "subset_spacing must be non-negative." for a
// negative spacing or one whose pitch would not fit in 32 bits.
std::vector<Point2> list_reference_grid_points(const RoiMask& mask, const DicParameters& params);

// Subset offsets around the integer centre (cx, cy): dx ascending (outer),
// dy ascending (inner), inside the disc of radius subset_radius, clipped to
// the mask's extent and, with subset_truncation, to the ROI. Every sum over a
// subset runs in this order. Clears and refills `offsets` so a caller can
// reuse its storage.
void build_subset_offsets(const RoiMask& mask, std::int32_t cx, std::int32_t cy,
                          const DicParameters& params, std::vector<SubsetOffset>& offsets);

std::vector<SubsetOffset> build_subset_offsets(const RoiMask& mask, std::int32_t cx,
                                               std::int32_t cy, const DicParameters& params);

}  // namespace dic2d
