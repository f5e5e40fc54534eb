#include "dic2d/engine/reference_subset.h"

#include <cstddef>

namespace dic2d {
namespace {

// Pixel positions, storage indices, reference values and their statistics
// at the centre (cx, cy), for offsets already in place: the same operations
// as the full preparation below.
void fill_centre_dependent(const GrayImage& reference, ReferenceSubset& subset) {
  const std::size_t n = subset.offsets.size();
  const std::int64_t height = reference.height;
  subset.index_height = height;
  double sum = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const SubsetOffset o = subset.offsets[k];
    const std::int64_t px = static_cast<std::int64_t>(subset.cx) + o.dx;
    const std::int64_t py = static_cast<std::int64_t>(subset.cy) + o.dy;
    subset.pixel_x[k] = static_cast<double>(px);
    subset.pixel_y[k] = static_cast<double>(py);
    subset.pixel_index[k] = px * height + py;
    subset.values[k] = reference.pixels[static_cast<std::size_t>(px * height + py)];
    sum += subset.values[k];
  }
  subset.mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
  double srr = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    subset.centred[k] = subset.values[k] - subset.mean;
    srr += subset.centred[k] * subset.centred[k];
  }
  subset.srr = srr;
}

}  // namespace

void prepare_reference_subset(const GrayImage& reference, const RoiMask& mask, std::int32_t cx,
                              std::int32_t cy, const DicParameters& params,
                              ReferenceSubset& subset) {
  subset.cx = cx;
  subset.cy = cy;
  // Without truncation a disc that lies wholly inside the image is the same
  // list at every centre: it and everything derived from the offsets alone
  // are kept from the previous centre when that held the same full disc.
  const std::int64_t r = params.subset_radius;
  const bool full_disc = !params.subset_truncation && r >= 0 && cx - r >= 0 && cy - r >= 0 &&
                         cx + r < static_cast<std::int64_t>(mask.width) &&
                         cy + r < static_cast<std::int64_t>(mask.height);
  if (full_disc && subset.full_disc_radius == r) {
    fill_centre_dependent(reference, subset);
    return;
  }
  build_subset_offsets(mask, cx, cy, params, subset.offsets);
  subset.full_disc_radius = full_disc ? r : -1;
  const std::size_t n = subset.offsets.size();
  subset.offset_x.resize(n);
  subset.offset_y.resize(n);
  subset.offset_xx.resize(2 * n);
  subset.offset_yy.resize(2 * n);
  subset.pixel_x.resize(n);
  subset.pixel_y.resize(n);
  subset.pixel_index.resize(n);
  subset.values.resize(n);
  subset.centred.resize(n);
  const std::int64_t height = reference.height;
  subset.index_height = height;
  double sum = 0.0;
  std::int32_t dx_min = 0;
  std::int32_t dx_max = 0;
  std::int32_t dy_min = 0;
  std::int32_t dy_max = 0;
  for (std::size_t k = 0; k < n; ++k) {
    const SubsetOffset o = subset.offsets[k];
    const std::int64_t px = static_cast<std::int64_t>(cx) + o.dx;
    const std::int64_t py = static_cast<std::int64_t>(cy) + o.dy;
    subset.offset_x[k] = o.dx;
    subset.offset_y[k] = o.dy;
    subset.offset_xx[2 * k] = subset.offset_xx[2 * k + 1] = o.dx;
    subset.offset_yy[2 * k] = subset.offset_yy[2 * k + 1] = o.dy;
    subset.pixel_x[k] = static_cast<double>(px);
    subset.pixel_y[k] = static_cast<double>(py);
    subset.pixel_index[k] = px * height + py;
    subset.values[k] = reference.pixels[static_cast<std::size_t>(px * height + py)];
    sum += subset.values[k];
    if (k == 0 || o.dx < dx_min) dx_min = o.dx;
    if (k == 0 || o.dx > dx_max) dx_max = o.dx;
    if (k == 0 || o.dy < dy_min) dy_min = o.dy;
    if (k == 0 || o.dy > dy_max) dy_max = o.dy;
  }
  subset.dx_min = dx_min;
  subset.dx_max = dx_max;
  subset.dy_min = dy_min;
  subset.dy_max = dy_max;
  subset.column.resize(n);
  subset.row.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    subset.column[k] = subset.offsets[k].dx - dx_min;
    subset.row[k] = subset.offsets[k].dy - dy_min;
  }
  subset.mean = n > 0 ? sum / static_cast<double>(n) : 0.0;
  double srr = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    subset.centred[k] = subset.values[k] - subset.mean;
    srr += subset.centred[k] * subset.centred[k];
  }
  subset.srr = srr;
}

}  // namespace dic2d
