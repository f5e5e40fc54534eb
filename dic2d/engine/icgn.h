#pragma once
// Inverse-compositional Gauss-Newton (IC-GN) refinement of a subset match for
// the sum of squared differences (SSD) or the zero-normalised sum of squared
// differences (ZNSSD), with bilinear or cubic B-spline interpolation of the
// deformed image.
//
// Conventions: the subset is an ordered offsets list (dx, dy) around an
// integer centre (cx, cy); the warp of AffineParams p maps a subset pixel to
//   x' = (cx + dx) + u + du_dx * dx + du_dy * dy,
//   y' = (cy + dy) + v + dv_dx * dx + dv_dy * dy,
// evaluated left to right, exactly as the forward-additive refinement.
// Written as a 3 x 3 matrix on local coordinates (dx, dy, 1),
//   W(p) = [[1 + du_dx, du_dy, u], [dv_dx, 1 + dv_dy, v], [0, 0, 1]].
//
// The reference side is prepared once per point (IcgnSubset): the gradient
// of the reference at every subset pixel, the steepest-descent images
// s = (gx, gy, gx dx, gx dy, gy dx, gy dy) and the Hessian sum s s^T. Each
// iteration samples the deformed image once per pixel, solves H dp = -b with
//   b = sum s r,  r = (f - mean f) - (|f| / |g|) (g - mean g)   (ZNSSD),
//                 r = f - g                                     (SSD),
// (|f| the root of the centred sum of squares) and composes the update,
// W(p) <- W(p) W(dp)^-1. The stop rule, minimum pixel counts, singularity
// limits and final zero-normalised cross-correlation (ZNCC) coefficient are
// those of the forward-additive refinement: translation stops when
// cutoff_diffnorm > |(du, dv)|, the affine stage when it exceeds the norm of
// all six update entries; at most cutoff_iteration iterations, reaching the
// limit is no failure. ZNSSD is invariant to a gain and an offset of the
// deformed gray values within the subset; SSD is not.
//
// Reference gradients: the analytic gradient of the reference's B-spline at
// the pixel for kBspline3; for kBilinear the central difference
// (I(x + 1) - I(x - 1)) / 2 (which is the half-pixel bilinear gradient at an
// integer pixel), with the image mirrored about its first and last samples
// at the border. Deformed samples follow the border policy of the chosen
// interpolation (interpolation.h, bspline.h); pixels that cannot be sampled
// are left out of that iteration, and the Hessian and reference statistics
// are then summed over the pixels kept.
//
// Sums over pixels run in offset order in four interleaved partial sums
// (pixel k adds to lane k mod 4), combined as (l0 + l1) + (l2 + l3), so that
// four-lane and two-lane hardware give the same bits.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/core/match.h"
#include "dic2d/core/parameters.h"
#include "dic2d/engine/bspline.h"
#include "dic2d/engine/gauss_newton.h"
#include "dic2d/engine/lane_dispatch.h"
#include "dic2d/engine/reference_subset.h"
#include "dic2d/roi/reduced_grid.h"

namespace dic2d {

// The two images of a run as IC-GN reads them. The images themselves are
// borrowed (the caller keeps them alive); smoothed copies and B-spline
// coefficients are computed once here and owned.
struct IcgnImages {
  const GrayImage* reference = nullptr;
  const GrayImage* deformed = nullptr;
  MatchCriterion criterion = MatchCriterion::kZnssd;
  SubpixelInterpolation interpolation = SubpixelInterpolation::kBspline3;
  // Kernel width; the detected one by default. Both give the same bits.
  LaneWidth lanes = LaneWidth::kTwo;
  BsplineCoefficients reference_coefficients;  // empty unless kBspline3
  BsplineCoefficients deformed_coefficients;   // empty unless kBspline3
  // With smoothing: the smoothed reference, and the smoothed deformed image
  // when it is sampled bilinearly (empty otherwise).
  GrayImage smoothed_reference;
  GrayImage smoothed_deformed;
};

// The images must have positive sizes and matching pixel counts (validated
// by the caller). With smoothing_sigma > 0 both images are Gaussian-filtered
// (smoothing.h) first, and IC-GN reads only the filtered images.
IcgnImages prepare_icgn_images(const GrayImage& reference, const GrayImage& deformed,
                               MatchCriterion criterion, SubpixelInterpolation interpolation,
                               double smoothing_sigma = 0.0);

// The reference and deformed images IC-GN reads: the smoothed copies when
// there are, else the borrowed images.
const GrayImage& icgn_reference(const IcgnImages& images);
const GrayImage& icgn_deformed(const IcgnImages& images);

// Reference side of one subset. Storage is reused between points.
struct IcgnSubset {
  std::int32_t cx = 0;
  std::int32_t cy = 0;
  std::vector<double> offset_x;      // dx, offset order
  std::vector<double> offset_y;      // dy
  std::vector<double> pixel_x;       // cx + dx
  std::vector<double> pixel_y;       // cy + dy
  std::vector<double> values;        // reference gray values f
  std::vector<double> centred;       // f - mean
  std::vector<std::int32_t> column;  // dx - dx_min
  std::vector<std::int32_t> row;     // dy - dy_min
  // Bounding box of the offsets (zeros for an empty subset).
  std::int32_t dx_min = 0;
  std::int32_t dx_max = 0;
  std::int32_t dy_min = 0;
  std::int32_t dy_max = 0;
  // Steepest-descent images, one array per parameter in AffineParams order.
  std::array<std::vector<double>, 6> steepest;
  // Upper triangle of sum s s^T over all pixels, row by row
  // (h00, h01, ..., h05, h11, ..., h55).
  std::array<double, 21> hessian{};
  // Per parameter i: sum s_i, sum s_i (f - mean), sum s_i f.
  std::array<double, 6> steepest_sum{};
  std::array<double, 6> steepest_centred_sum{};
  std::array<double, 6> steepest_value_sum{};
  double mean = 0.0;
  double srr = 0.0;          // sum of centred^2
  double centred_sum = 0.0;  // sum of centred (0 up to rounding)
  std::size_t size() const { return values.size(); }
};

// Per-iteration storage, reused between calls so that no iteration
// allocates.
struct IcgnScratch {
  std::vector<double> sample;
  std::vector<std::uint8_t> usable;
  std::vector<double> residual;
  std::vector<double> filtered;  // bounding box filtered along x
};

// Gathers the reference side of the subset `offsets` around (cx, cy); every
// offset must lie inside the reference image.
void prepare_icgn_subset(const IcgnImages& images, const std::vector<SubsetOffset>& offsets,
                         std::int32_t cx, std::int32_t cy, IcgnSubset& subset);

// The same from a prepared ReferenceSubset of the unsmoothed reference (its
// geometry is reused; the reference values are re-read from the smoothed
// reference when there is one).
void prepare_icgn_subset(const IcgnImages& images, const ReferenceSubset& reference_subset,
                         IcgnSubset& subset);

// Translation-only IC-GN from (u, v). Every pixel shares the fractional part
// of the shift, so with kBspline3 a pixel is sampled at base cell
// (x + floor(u), y + floor(v)) with the weights of u - floor(u),
// v - floor(v): the same point as (x + u, y + v), without its rounding.
// Nothing on failure (fewer than 3
// usable pixels, singular 2 x 2 system, non-finite update, flat subset).
std::optional<TranslationResult> icgn_translation(const IcgnImages& images,
                                                  const IcgnSubset& subset, double u, double v,
                                                  const DicParameters& params,
                                                  IcgnScratch& scratch);

// Affine IC-GN from `initial`; nothing on failure (fewer than 6 usable
// pixels, singular system or warp update, non-finite update, flat subset).
std::optional<AffineResult> icgn_affine(const IcgnImages& images, const IcgnSubset& subset,
                                        const AffineParams& initial, const DicParameters& params,
                                        IcgnScratch& scratch);

// Translation from `start`'s (u, v), then affine from that result with
// `start`'s gradients; a failed stage leaves the estimate it was given.
AffineResult icgn_refine_match(const IcgnImages& images, const IcgnSubset& subset,
                               const AffineParams& start, double start_corrcoef,
                               const DicParameters& params, IcgnScratch& scratch);

// W(p) W(dp)^-1 in AffineParams form; nothing when dp's linear part is
// singular (|det| <= kSingularLimit).
std::optional<AffineParams> compose_inverse_update(const AffineParams& p, const AffineParams& dp);

}  // namespace dic2d
