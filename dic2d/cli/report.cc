#include "dic2d/cli/report.h"

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace dic2d {

void write_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out.push_back(kHex[byte >> 4]);
          out.push_back(kHex[byte & 0x0F]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

std::string format_report_number(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[32];
  const int length = std::snprintf(buffer, sizeof buffer, "%g", value);
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::array<double, 9> seed_paramvector(const SeedMatch& seed) {
  const AffineParams& p = seed.params;
  return {static_cast<double>(seed.centre.x),
          static_cast<double>(seed.centre.y),
          p.u,
          p.v,
          p.du_dx,
          p.du_dy,
          p.dv_dx,
          p.dv_dy,
          seed.corrcoef};
}

std::string success_line(const DicResult& result) {
  std::uint64_t valid_points = 0;
  for (const std::uint8_t flag : result.fields.valid) valid_points += flag != 0 ? 1 : 0;

  std::string line = "{\"ok\":";
  line += result.ok ? "true" : "false";
  line += ",\"output_schema_version\":2,\"message\":";
  write_json_string(line, result.message);
  line += ",\"reduced_width\":" + std::to_string(result.reduced_width);
  line += ",\"reduced_height\":" + std::to_string(result.reduced_height);
  line += ",\"roi_region_count\":" + std::to_string(result.roi_region_count);
  line += ",\"seed_region\":" + std::to_string(result.seed_region);
  line += ",\"seed_paramvector\":[";
  if (result.seed) {
    const std::array<double, 9> values = seed_paramvector(*result.seed);
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i > 0) line.push_back(',');
      line += format_report_number(values[i]);
    }
  }
  line += "],\"reference_grid_points\":" +
          std::to_string(static_cast<std::uint64_t>(result.reference_grid_points.size()));
  line += ",\"valid_points\":" + std::to_string(valid_points);
  line += "}\n";
  return line;
}

std::string failure_line(std::string_view error_message) {
  std::string line = "{\"ok\":false,\"error\":";
  write_json_string(line, error_message);
  line += "}\n";
  return line;
}

}  // namespace dic2d
