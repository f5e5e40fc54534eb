#include "dic2d/roi/reduced_grid.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "dic2d/io/image_files.h"

namespace dic2d {

namespace {

// Largest s >= 0 with s * s <= value, for 0 <= value < 2^62.
std::int64_t integer_sqrt(std::int64_t value) {
  auto s = static_cast<std::int64_t>(std::sqrt(static_cast<double>(value)));
  while (s > 0 && s * s > value) --s;
  while ((s + 1) * (s + 1) <= value) ++s;
  return s;
}

}  // namespace

std::vector<Point2> list_reference_grid_points(const RoiMask& mask, const DicParameters& params) {
  validate_mask(mask);
  if (params.subset_spacing < 0 ||
      params.subset_spacing == std::numeric_limits<std::int32_t>::max()) {
    throw std::invalid_argument("subset_spacing must be non-negative.");
  }
  const std::int64_t step = std::int64_t{params.subset_spacing} + 1;
  const std::int64_t width = mask.width;
  const std::int64_t height = mask.height;
  const std::int64_t r = params.subset_radius;
  const bool truncation = params.subset_truncation;

  std::vector<Point2> points;
  for (std::int64_t x = 0; x < width; x += step) {
    const bool x_fits = x >= r && x < width - r;
    if (!truncation && !x_fits) continue;
    const std::uint8_t* column = mask.values.data() + x * height;
    for (std::int64_t y = 0; y < height; y += step) {
      if (column[y] == 0) continue;
      if (truncation || (y >= r && y < height - r)) {
        points.push_back(Point2{static_cast<double>(x), static_cast<double>(y)});
      }
    }
  }
  return points;
}

void build_subset_offsets(const RoiMask& mask, std::int32_t cx, std::int32_t cy,
                          const DicParameters& params, std::vector<SubsetOffset>& offsets) {
  offsets.clear();
  const std::int64_t r = params.subset_radius;
  const std::int64_t width = mask.width;
  const std::int64_t height = mask.height;
  if (r < 0 || width <= 0 || height <= 0) return;
  const bool truncation = params.subset_truncation;
  const std::int64_t r2 = r * r;
  const std::int64_t x = cx;
  const std::int64_t y = cy;
  const auto mask_size = static_cast<std::int64_t>(mask.values.size());

  // Only offsets whose pixel lies in the image are visited: the ascending
  // order of the full square is kept, but a huge radius costs no more than
  // the image itself.
  const std::int64_t dx_first = std::max(-r, -x);
  const std::int64_t dx_last = std::min(r, width - 1 - x);
  for (std::int64_t dx = dx_first; dx <= dx_last; ++dx) {
    // |dy| <= sqrt(r^2 - dx^2) is exactly dx^2 + dy^2 <= r^2.
    const std::int64_t reach = integer_sqrt(r2 - dx * dx);
    const std::int64_t dy_first = std::max(-reach, -y);
    const std::int64_t dy_last = std::min(reach, height - 1 - y);
    const std::int64_t column = (x + dx) * height;
    for (std::int64_t dy = dy_first; dy <= dy_last; ++dy) {
      if (truncation) {
        const std::int64_t index = column + y + dy;
        if (index >= mask_size || mask.values[static_cast<std::size_t>(index)] == 0) continue;
      }
      offsets.push_back(SubsetOffset{static_cast<std::int32_t>(dx), static_cast<std::int32_t>(dy)});
    }
  }
}

std::vector<SubsetOffset> build_subset_offsets(const RoiMask& mask, std::int32_t cx,
                                               std::int32_t cy, const DicParameters& params) {
  std::vector<SubsetOffset> offsets;
  build_subset_offsets(mask, cx, cy, params, offsets);
  return offsets;
}

}  // namespace dic2d
