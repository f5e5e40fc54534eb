#pragma once
// The one-line JSON report of a dic2d_cli run.
//
// Success: {"ok":...,"output_schema_version":2,"message":...,"reduced_width":...,
// "reduced_height":...,"roi_region_count":...,"seed_region":...,
// "seed_paramvector":[...],"reference_grid_points":...,"valid_points":...}
// Failure: {"ok":false,"error":...}. No white space; one trailing line feed.
// Every line is strict JSON.

#include <array>
#include <string>
#include <string_view>

#include "dic2d/core/match.h"
#include "dic2d/core/result.h"

namespace dic2d {

// Appends `text` as a JSON string: `"` and `\` are escaped with a backslash,
// every byte below 0x20 as \b \t \n \f \r or \u00xx (lower-case hex); all
// other bytes, those above 0x7F included, are copied unchanged.
void write_json_string(std::string& out, std::string_view text);

// %g with six significant digits in the C locale (0.5, 12, 1.23457e+06, -0).
// Non-finite values have no JSON form and are written as null.
std::string format_report_number(double value);

// The seed as the report's nine seed_paramvector values: x, y, u, v, du_dx,
// du_dy, dv_dx, dv_dy, corrcoef.
std::array<double, 9> seed_paramvector(const SeedMatch& seed);

std::string success_line(const DicResult& result);

std::string failure_line(std::string_view error_message);

}  // namespace dic2d
