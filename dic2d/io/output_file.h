#pragma once
// Output binary of one dic2d_cli run: the displacement field on the reduced
// grid.
//
// Layout (little-endian): int32 reduced_width, int32 reduced_height, then for
// N = reduced_width * reduced_height cells eleven float64 arrays (reference
// x, reference y, deformed x, deformed y, u, v, du_dx, du_dy, dv_dx, dv_dy,
// corrcoef) and one uint8 array (valid). Cell (gx, gy) is element
// gx * reduced_height + gy. The file is 8 + 89 N bytes.

#include <cstdint>
#include <string>

#include "dic2d/core/result.h"

namespace dic2d {

// Writes to a temporary file beside `path` and renames it over the target
// once complete, so an earlier result survives any failure. A target that
// exists and is not a regular file (a device, a FIFO) is written directly.
// Throws std::runtime_error "Could not open output binary: <path>" or
// "Failed while writing output binary: <path>".
void write_output_binary(const std::string& path, const DicResult& result,
                         std::int32_t subset_spacing);

}  // namespace dic2d
