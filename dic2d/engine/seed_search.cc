#include "dic2d/engine/seed_search.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <stdexcept>

#include "dic2d/engine/correlation.h"
#include "dic2d/engine/gauss_newton.h"
#include "dic2d/engine/integer_match.h"
#include "dic2d/engine/match_refiner.h"
#include "dic2d/engine/reference_subset.h"
#include "dic2d/engine/validation.h"
#include "dic2d/roi/roi_regions.h"

namespace dic2d {

SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const Pixel seed, const DicParameters& params) {
  MatchRefiner refiner = make_match_refiner(reference, deformed, params);
  return find_seed(reference, deformed, mask, seed, params, refiner);
}

SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const Pixel seed, const DicParameters& params, MatchRefiner& refiner) {
  const std::int32_t cx = seed.x;
  const std::int32_t cy = seed.y;

  ReferenceSubset subset;
  prepare_reference_subset(reference, mask, cx, cy, params, subset);
  if (subset.offsets.size() < 3) {
    throw std::runtime_error("Seed subset has too few pixels for NCC.");
  }
  if (subset.srr <= kVarianceFloor) {
    throw std::runtime_error("Seed subset has near-zero reference texture.");
  }

  // Candidate centres keep a margin of subset_radius from every border. All
  // bounds in 64 bits: cx + m + 1 overflows 32 bits for large radii.
  const std::int64_t m = params.seed_search_radius;
  const std::int64_t r = params.subset_radius;
  const std::int64_t width = deformed.width;
  const std::int64_t height = deformed.height;
  std::int64_t x_begin = r;
  std::int64_t x_end = width - r;
  std::int64_t y_begin = r;
  std::int64_t y_end = height - r;
  if (m >= 1) {
    // The window's centre: the seed moved by the rounded guess (validated to
    // at most 1e9 px, so these sums stay far inside 64 bits).
    const std::int64_t wx = cx + round_half_away(params.seed_guess_u);
    const std::int64_t wy = cy + round_half_away(params.seed_guess_v);
    x_begin = std::max<std::int64_t>(wx - m, r);
    x_end = std::min<std::int64_t>(wx + m + 1, width - r);
    y_begin = std::max<std::int64_t>(wy - m, r);
    y_end = std::min<std::int64_t>(wy + m + 1, height - r);
  }
  if (x_begin >= x_end) {
    throw std::runtime_error("NCC initial guess failed to find a valid candidate.");
  }
  std::optional<IntegerMatch> match;
  if (y_begin < y_end) {
    match = best_integer_match(subset, deformed, x_begin - cx, x_end - 1 - cx, y_begin - cy,
                               y_end - 1 - cy);
  }
  if (!match) {
    throw std::runtime_error("NCC initial guess failed to find a valid candidate.");
  }

  AffineParams start;
  start.u = static_cast<double>(match->du);
  start.v = static_cast<double>(match->dv);
  const AffineResult refined =
      refine_match(refiner, subset, deformed, start, match->corrcoef, params);
  return SeedMatch{seed, refined.params, refined.corrcoef};
}

SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const SeedInput& seed, const DicParameters& params) {
  const Pixel pixel = validate_dic_inputs(reference, deformed, mask, seed, params);
  build_reduced_roi(mask, pixel, params);  // for its failures only
  return find_seed(reference, deformed, mask, pixel, params);
}

}  // namespace dic2d
