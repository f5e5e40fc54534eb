#pragma once
// The reference side of a subset at one integer centre: its offsets, the
// reference samples and their statistics, gathered once and shared by the
// integer search and the refinements of that centre.
//
// Conventions: the offsets are those of build_subset_offsets around (cx, cy)
// (dx ascending, then dy ascending, inside the disc), and every per-offset
// array follows their order; every sum over the subset runs in it. Pixel
// positions are in pixels; element indices are x-major (x * height + y).
// Reference samples are read at integer pixels only.

#include <cstdint>
#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/core/parameters.h"
#include "dic2d/roi/reduced_grid.h"

namespace dic2d {

// Storage is reused between centres, so a caller keeps one of these per run.
struct ReferenceSubset {
  std::int32_t cx = 0;
  std::int32_t cy = 0;
  std::vector<SubsetOffset> offsets;
  std::vector<double> offset_x;           // dx as double
  std::vector<double> offset_y;           // dy as double
  std::vector<double> offset_xx;          // (dx, dx) per offset, as pairs
  std::vector<double> offset_yy;          // (dy, dy) per offset, as pairs
  std::vector<double> pixel_x;            // cx + dx as double
  std::vector<double> pixel_y;            // cy + dy as double
  std::vector<std::int64_t> pixel_index;  // (cx + dx) * height + (cy + dy)
  std::int64_t index_height = 0;          // the height pixel_index was built with
  std::vector<double> values;             // reference samples
  std::vector<double> centred;            // values - mean
  std::vector<std::int32_t> column;       // dx - dx_min
  std::vector<std::int32_t> row;          // dy - dy_min
  double mean = 0.0;                      // sum of values / n
  double srr = 0.0;                       // sum of centred^2
  // Bounding box of the offsets; meaningful only when offsets is non-empty.
  std::int32_t dx_min = 0;
  std::int32_t dx_max = 0;
  std::int32_t dy_min = 0;
  std::int32_t dy_max = 0;
  // Radius of the untruncated disc wholly inside the image that `offsets`
  // holds, or -1; lets the next centre with the same disc skip rebuilding it.
  std::int64_t full_disc_radius = -1;
};

// Builds the subset at (cx, cy) (build_subset_offsets) and gathers the
// reference samples with their mean and centred sum of squares. The centre
// must be a pixel of the reference image (offsets then lie inside it).
void prepare_reference_subset(const GrayImage& reference, const RoiMask& mask, std::int32_t cx,
                              std::int32_t cy, const DicParameters& params,
                              ReferenceSubset& subset);

}  // namespace dic2d
