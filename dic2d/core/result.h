#pragma once
// The result of one correlation run, which the front end writes to the
// output binary and summarises in its report.
//
// Conventions: points are (x, y) in pixels, gradients dimensionless; every
// per-point array has one entry per reference grid point, indexed by the
// point's position in reference_grid_points. Unsolved points hold zeros and
// valid 0.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "dic2d/core/match.h"
#include "dic2d/core/pixel.h"

namespace dic2d {

inline constexpr const char* kDicSuccessMessage =
    "Reduced-grid DIC2D displacement field computed with no-GUI RG "
    "propagation and six-parameter affine IC-GN refinement.";

// What the propagation finds at each reference grid point.
struct PointFields {
  std::vector<Point2> deformed_points;  // reference point + (u, v)
  std::vector<double> u;
  std::vector<double> v;
  std::vector<double> du_dx;
  std::vector<double> du_dy;
  std::vector<double> dv_dx;
  std::vector<double> dv_dy;
  std::vector<double> corrcoef;
  std::vector<std::uint8_t> valid;  // 1 for a solved point
};

struct DicResult {
  bool ok = false;
  std::string message;
  std::int32_t reduced_width = 0;
  std::int32_t reduced_height = 0;
  std::int32_t roi_region_count = 0;
  std::int32_t seed_region = 0;
  // Nothing until the seed search has run; the report writes it as the
  // seed_paramvector values.
  std::optional<SeedMatch> seed;
  std::vector<Point2> reference_grid_points;
  PointFields fields;
};

}  // namespace dic2d
