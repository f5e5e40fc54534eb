#pragma once
// The gray-level images and the ROI mask of one correlation run.
//
// Conventions: pixel (x, y) has x as its first coordinate, bounded by the
// width, and y bounded by the height. Storage is x-major: the value of pixel
// (x, y), 0 <= x < width, 0 <= y < height, is element x * height + y, so the
// `height` values of one column are contiguous.

#include <cstdint>
#include <vector>

namespace dic2d {

struct GrayImage {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<double> pixels;  // x-major, element x * height + y
};

struct RoiMask {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> values;  // x-major, non-zero = inside the ROI
};

}  // namespace dic2d
