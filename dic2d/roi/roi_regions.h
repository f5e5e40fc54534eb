#pragma once
// 4-connected regions of the ROI mask and the reduced grid size.

#include <cstdint>
#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/pixel.h"

namespace dic2d {

// One vertical run of a region: column x, rows y_first..y_last inclusive.
struct RoiRun {
  std::int32_t x = 0;
  std::int32_t y_first = 0;
  std::int32_t y_last = 0;
};

struct RoiRegion {
  std::int32_t y_min = 0;
  std::int32_t y_max = 0;
  std::int32_t x_min = 0;
  std::int32_t x_max = 0;
  std::int32_t pixel_count = 0;
  std::vector<RoiRun> runs;  // by increasing x, then increasing y_first
};

struct ReducedRoi {
  std::int32_t reduced_width = 0;
  std::int32_t reduced_height = 0;
  std::vector<RoiRegion> regions;  // retained regions, in discovery order
  std::int32_t seed_region = 0;    // index in regions of the seed's region
};

// Retained regions (more than roi_min_region_area pixels), ordered by the
// x-major scan position of their first pixel.
std::vector<RoiRegion> label_roi_regions(const RoiMask& mask, const DicParameters& params);

// The reduced grid size, the retained regions and the one holding the seed's
// pixel. Throws std::invalid_argument "subset_spacing must be
// non-negative.", std::runtime_error "ROI mask does not contain a region
// larger than roi_min_region_area." or "Seed point is not inside any
// retained ROI region.".
ReducedRoi build_reduced_roi(const RoiMask& mask, Pixel seed, const DicParameters& params);

}  // namespace dic2d
