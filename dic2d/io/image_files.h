#pragma once
// Raw binary image and ROI mask files of dic2d_cli.
//
// Layout (little-endian, no magic, no padding): int32 width, int32 height,
// then width * height values. Element order is x-major: the value of pixel
// (x, y), 0 <= x < width, 0 <= y < height, is element x * height + y.
// Images hold float64 gray values; masks hold one byte per pixel, where any
// non-zero byte means "inside the ROI".

#include <string>

#include "dic2d/core/images.h"

namespace dic2d {

// Throws std::runtime_error "Could not open image binary: <path>" or
// "Input binary file is truncated.", std::length_error
// "vector::_M_default_append" for a negative or unrepresentable count.
// Never allocates more than the file actually supplies.
GrayImage load_image_binary(const std::string& path);

// As load_image_binary, with "Could not open mask binary: <path>".
RoiMask load_mask_binary(const std::string& path);

// std::invalid_argument "<label> dimensions must be positive." or
// "<label> pixel count does not match width*height.".
void validate_image(const GrayImage& image, const std::string& label);

// std::invalid_argument "ROI mask dimensions must be positive." or
// "ROI mask value count does not match width*height.".
void validate_mask(const RoiMask& mask);

}  // namespace dic2d
