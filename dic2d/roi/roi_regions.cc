#include "dic2d/roi/roi_regions.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "dic2d/io/image_files.h"

namespace dic2d {

namespace {

struct PixelXY {
  std::int32_t x;
  std::int32_t y;
};

// Bounding box and x-major runs of one region from its pixels (any order).
RoiRegion describe_region(const std::vector<PixelXY>& pixels, std::int64_t height,
                          std::vector<std::int64_t>& scratch) {
  RoiRegion region;
  region.x_min = region.x_max = pixels.front().x;
  region.y_min = region.y_max = pixels.front().y;
  scratch.clear();
  for (const PixelXY& p : pixels) {
    region.x_min = std::min(region.x_min, p.x);
    region.x_max = std::max(region.x_max, p.x);
    region.y_min = std::min(region.y_min, p.y);
    region.y_max = std::max(region.y_max, p.y);
    scratch.push_back(std::int64_t{p.x} * height + p.y);
  }
  // Linear x-major indices sort by column, then by row within a column.
  std::sort(scratch.begin(), scratch.end());
  std::size_t i = 0;
  while (i < scratch.size()) {
    const std::int64_t first = scratch[i];
    std::size_t j = i + 1;
    // A run continues while the next index is the next row of the same
    // column (consecutive indices across a column boundary are not rows of
    // one column).
    while (j < scratch.size() && scratch[j] == scratch[j - 1] + 1 && scratch[j] % height != 0) {
      ++j;
    }
    RoiRun run;
    run.x = static_cast<std::int32_t>(first / height);
    run.y_first = static_cast<std::int32_t>(first % height);
    run.y_last = static_cast<std::int32_t>(scratch[j - 1] % height);
    region.runs.push_back(run);
    i = j;
  }
  return region;
}

}  // namespace

std::vector<RoiRegion> label_roi_regions(const RoiMask& mask, const DicParameters& params) {
  validate_mask(mask);
  const std::int32_t width = mask.width;
  const std::int32_t height = mask.height;
  const std::int64_t h64 = height;
  std::vector<std::uint8_t> visited(mask.values.size(), 0);
  std::vector<RoiRegion> regions;
  // FIFO queue whose consumed prefix is the region's pixel list.
  std::vector<PixelXY> queue;
  std::vector<std::int64_t> scratch;

  const auto try_visit = [&](std::int32_t x, std::int32_t y) {
    const std::size_t index = static_cast<std::size_t>(std::int64_t{x} * h64 + y);
    if (visited[index] != 0 || mask.values[index] == 0) return;
    visited[index] = 1;
    queue.push_back(PixelXY{x, y});
  };

  for (std::int32_t x0 = 0; x0 < width; ++x0) {
    for (std::int32_t y0 = 0; y0 < height; ++y0) {
      const std::size_t start = static_cast<std::size_t>(std::int64_t{x0} * h64 + y0);
      if (visited[start] != 0 || mask.values[start] == 0) continue;
      queue.clear();
      visited[start] = 1;
      queue.push_back(PixelXY{x0, y0});
      for (std::size_t head = 0; head < queue.size(); ++head) {
        const PixelXY p = queue[head];
        if (p.x > 0) try_visit(p.x - 1, p.y);
        if (p.x + 1 < width) try_visit(p.x + 1, p.y);
        if (p.y > 0) try_visit(p.x, p.y - 1);
        if (p.y + 1 < height) try_visit(p.x, p.y + 1);
      }
      const std::int64_t pixel_count = static_cast<std::int64_t>(queue.size());
      if (!(pixel_count > std::int64_t{params.roi_min_region_area})) continue;
      RoiRegion region = describe_region(queue, h64, scratch);
      region.pixel_count = static_cast<std::int32_t>(
          std::min<std::int64_t>(pixel_count, std::numeric_limits<std::int32_t>::max()));
      regions.push_back(std::move(region));
    }
  }
  return regions;
}

ReducedRoi build_reduced_roi(const RoiMask& mask, const Pixel seed, const DicParameters& params) {
  validate_mask(mask);
  if (params.subset_spacing < 0 ||
      params.subset_spacing == std::numeric_limits<std::int32_t>::max()) {
    throw std::invalid_argument("subset_spacing must be non-negative.");
  }
  const double step = static_cast<double>(params.subset_spacing) + 1.0;

  ReducedRoi roi;
  roi.reduced_width = static_cast<std::int32_t>(std::ceil(static_cast<double>(mask.width) / step));
  roi.reduced_height =
      static_cast<std::int32_t>(std::ceil(static_cast<double>(mask.height) / step));
  roi.regions = label_roi_regions(mask, params);
  if (roi.regions.empty()) {
    throw std::runtime_error("ROI mask does not contain a region larger than roi_min_region_area.");
  }

  const std::int32_t sx = seed.x;
  const std::int32_t sy = seed.y;

  bool found = false;
  for (std::size_t r = 0; r < roi.regions.size() && !found; ++r) {
    const RoiRegion& region = roi.regions[r];
    if (sx < region.x_min || sx > region.x_max || sy < region.y_min || sy > region.y_max) {
      continue;
    }
    for (const RoiRun& run : region.runs) {
      if (run.x == sx && run.y_first <= sy && sy <= run.y_last) {
        roi.seed_region = static_cast<std::int32_t>(r);
        found = true;
        break;
      }
    }
  }
  if (!found) throw std::runtime_error("Seed point is not inside any retained ROI region.");
  return roi;
}

}  // namespace dic2d
