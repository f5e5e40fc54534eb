#include "dic2d/engine/validation.h"

#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "dic2d/io/image_files.h"

namespace dic2d {

Pixel validate_dic_inputs(const GrayImage& reference, const GrayImage& deformed,
                          const RoiMask& mask, const SeedInput& seed, const DicParameters& params) {
  validate_image(reference, "Reference image");
  validate_image(deformed, "Deformed image");
  validate_mask(mask);
  if (reference.width != deformed.width || reference.height != deformed.height) {
    throw std::invalid_argument("Reference and deformed images must have the same dimensions.");
  }
  if (reference.width != mask.width || reference.height != mask.height) {
    throw std::invalid_argument("ROI mask dimensions must match the reference image.");
  }
  if (params.subset_radius < 10) {
    throw std::invalid_argument("subset_radius must be at least 10.");
  }
  if (params.subset_spacing < 0) {
    throw std::invalid_argument("subset_spacing must be non-negative.");
  }
  if (params.seed_search_radius < 0) {
    throw std::invalid_argument("seed_search_radius must be non-negative.");
  }
  if (params.rg_search_radius < 0) {
    throw std::invalid_argument("rg_search_radius must be non-negative.");
  }
  if (params.roi_min_region_area < 0) {
    throw std::invalid_argument("roi_min_region_area must be non-negative.");
  }

  const double x = seed.seed_x;
  const double y = seed.seed_y;
  const std::optional<Pixel> pixel = round_to_pixel(x, y);
  const bool seed_inside =
      pixel && pixel->x >= 0 && pixel->x < mask.width && pixel->y >= 0 && pixel->y < mask.height &&
      mask.values[static_cast<std::size_t>(std::int64_t{pixel->x} * mask.height + pixel->y)] != 0;
  if (!seed_inside) {
    throw std::invalid_argument("Seed point must be finite, in bounds, and inside the ROI mask.");
  }

  // The pitch in floating point: subset_spacing + 1 cannot overflow here.
  const double step = static_cast<double>(params.subset_spacing) + 1.0;
  if (std::fmod(x, step) != 0.0 || std::fmod(y, step) != 0.0) {
    throw std::invalid_argument("Seed point must be aligned to the reduced grid.");
  }

  if (params.cutoff_diffnorm <= 0 || params.cutoff_diffnorm > 0.01) {
    throw std::invalid_argument("cutoff_diffnorm must be in (0, 1e-2].");
  }
  if (params.cutoff_iteration < 5) {
    throw std::invalid_argument("cutoff_iteration must be at least 5.");
  }
  if (params.num_threads < 1) {
    throw std::invalid_argument("num_threads must be positive.");
  }
  if (params.units_per_pixel <= 0) {
    throw std::invalid_argument("units_per_pixel must be positive.");
  }
  // Extensions, checked after every check above so that those keep their
  // order.
  if (!(params.smoothing_sigma >= 0.0 && params.smoothing_sigma <= kMaxSmoothingSigma)) {
    throw std::invalid_argument("smoothing_sigma must be in [0, 10].");
  }
  if (!(std::abs(params.seed_guess_u) <= kMaxSeedGuess)) {
    throw std::invalid_argument("seed_guess_u must be finite and at most 1e9 in magnitude.");
  }
  if (!(std::abs(params.seed_guess_v) <= kMaxSeedGuess)) {
    throw std::invalid_argument("seed_guess_v must be finite and at most 1e9 in magnitude.");
  }
  return *pixel;
}

}  // namespace dic2d
