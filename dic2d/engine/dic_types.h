#pragma once
// Records that cross between the dic2d_cli front end and the correlation
// engine.
//
// Conventions: pixel coordinates are (x, y) with x the first coordinate,
// bounded by the image width; displacements are in pixels; gradients are
// dimensionless. Per-point arrays of DicResult are indexed by the position of
// the point in reference_grid_points.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace dic2d {

// A point or displacement in pixels, (x, y).
using Point2 = std::array<double, 2>;

struct DicParameters {
  std::int32_t subset_radius = 20;
  std::int32_t subset_spacing = 5;       // grid pitch is subset_spacing + 1
  std::int32_t seed_search_radius = 50;  // 0 searches the whole image
  std::int32_t rg_search_radius = 1;
  std::int32_t roi_min_region_area = 2000;
  double cutoff_diffnorm = 1e-6;
  std::int32_t cutoff_iteration = 50;
  std::int32_t num_threads = 1;  // validated only; the engine is single-threaded
  bool subset_truncation = false;
  double units_per_pixel = 1.0;  // validated only
  double cutoff_corrcoef = 0.6;
  double lenscoef = 0.0;  // stored, read by no computation
};

struct SeedInput {
  double seed_x = 0.0;
  double seed_y = 0.0;
  double obs_x = 0.0;  // not read by the engine
  double obs_y = 0.0;  // not read by the engine
};

inline constexpr const char* kDicSuccessMessage =
    "Reduced-grid DIC2D displacement field computed with no-GUI RG "
    "propagation and six-parameter affine IC-GN refinement.";

struct DicResult {
  bool ok = false;
  std::string message;
  std::int32_t reduced_width = 0;
  std::int32_t reduced_height = 0;
  std::int32_t roi_region_count = 0;
  std::int32_t seed_region = 0;
  // x, y, u, v, du_dx, du_dy, dv_dx, dv_dy, corrcoef of the seed.
  std::vector<double> seed_paramvector;
  std::vector<Point2> reference_grid_points;
  std::vector<Point2> deformed_points;
  std::vector<double> u;
  std::vector<double> v;
  std::vector<double> du_dx;
  std::vector<double> du_dy;
  std::vector<double> dv_dx;
  std::vector<double> dv_dy;
  std::vector<double> corrcoef;
  std::vector<std::uint8_t> valid;
};

}  // namespace dic2d
