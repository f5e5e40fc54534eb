#pragma once
// The parameters of one correlation run and its seed, as the front end fills
// them from the command line.
//
// Conventions: radii, spacings and coordinates are in pixels; the reduced
// grid's pitch is grid_step = subset_spacing + 1 pixels.

#include <cstdint>

namespace dic2d {

// Criterion and interpolation of the sub-pixel refinement. The defaults, the
// sum of squared differences on bilinear samples, select the forward-additive
// Gauss-Newton refinement; any other choice, or smoothing, selects the
// inverse-compositional one (engine/icgn.h).
enum class MatchCriterion : std::uint8_t { kSsd, kZnssd };
enum class SubpixelInterpolation : std::uint8_t { kBilinear, kBspline3 };

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
  // Extensions; their defaults leave every result as without them.
  MatchCriterion criterion = MatchCriterion::kSsd;
  SubpixelInterpolation interpolation = SubpixelInterpolation::kBilinear;
  double smoothing_sigma = 0.0;  // Gaussian filter of both images, pixels; 0 = none
  // The seed search window is centred on the seed plus these, rounded.
  double seed_guess_u = 0.0;
  double seed_guess_v = 0.0;
};

// Whether the run refines with inverse-compositional Gauss-Newton.
inline bool uses_icgn(const DicParameters& p) {
  return p.criterion != MatchCriterion::kSsd ||
         p.interpolation != SubpixelInterpolation::kBilinear || p.smoothing_sigma > 0.0;
}

// The seed as given; the engine reads only seed_x and seed_y.
struct SeedInput {
  double seed_x = 0.0;
  double seed_y = 0.0;
  double obs_x = 0.0;  // not read by the engine
  double obs_y = 0.0;  // not read by the engine
};

}  // namespace dic2d
