#pragma once
// Sub-pixel Gauss-Newton refinement of a subset match: translation only, and
// the six-parameter affine warp, each ending with the zero-normalised
// cross-correlation (ZNCC) coefficient of the refined match.
//
// Conventions: the subset is the ordered offsets list of build_subset_offsets
// around an integer centre (cx, cy); every sum over it runs in that order.
// A subset pixel (dx, dy) maps into the deformed image at
//   x' = (cx + dx) + u + du_dx * dx + du_dy * dy,
//   y' = (cy + dy) + v + dv_dx * dx + dv_dy * dy,
// evaluated left to right. Displacements are in pixels, gradients are
// dimensionless. Deformed samples are bilinear (border policy in
// interpolation.h); reference samples are read at integer pixels only.
// Refinements never throw: failure (too few usable pixels, singular system,
// non-finite update, flat subset) returns nothing and the caller keeps its
// estimate.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/core/match.h"
#include "dic2d/core/parameters.h"
#include "dic2d/roi/reduced_grid.h"

namespace dic2d {

// Variance floor of every correlation coefficient.
inline constexpr double kVarianceFloor = 2.220446049250313e-16;  // 2^-52
// Magnitude at or below which a determinant or pivot counts as singular.
inline constexpr double kSingularLimit = 1e-12;

struct TranslationResult {
  double u = 0.0;
  double v = 0.0;
  double corrcoef = 0.0;
};

struct AffineResult {
  AffineParams params;
  double corrcoef = 0.0;
};

// The reference side of a subset at one integer centre, gathered once and
// shared by the integer search and both refinements of that centre. Storage
// is reused between centres, so a caller keeps one of these per run.
struct ReferenceSubset {
  std::int32_t cx = 0;
  std::int32_t cy = 0;
  std::vector<SubsetOffset> offsets;
  std::vector<double> offset_x;           // dx as double
  std::vector<double> offset_y;           // dy as double
  std::vector<double> offset_xx;          // (dx, dx) per offset, as pairs
  std::vector<double> offset_yy;          // (dy, dy) per offset, as pairs
  std::vector<double> pixel_x;            // cx + dx as double
  std::vector<double> pixel_y;            // cy + dy as double
  std::vector<std::int64_t> pixel_index;  // (cx + dx) * height + (cy + dy)
  std::int64_t index_height = 0;          // the height pixel_index was built with
  std::vector<double> values;             // reference samples, offset order
  std::vector<double> centred;            // values - mean
  std::vector<std::int32_t> column;       // dx - dx_min
  std::vector<std::int32_t> row;          // dy - dy_min
  double mean = 0.0;                      // sum of values / n
  double srr = 0.0;                       // sum of centred^2
  // Bounding box of the offsets; meaningful only when offsets is non-empty.
  std::int32_t dx_min = 0;
  std::int32_t dx_max = 0;
  std::int32_t dy_min = 0;
  std::int32_t dy_max = 0;
};

// Bilinear cells of one coordinate (a column's x or a row's y) and of that
// coordinate +- 0.5, as sampling and the half-pixel gradient need them. Under
// a translation every pixel of a column shares its x and every pixel of a
// row its y, so these are computed once per column and row.
struct AxisCells {
  bool inside = false;    // coordinate - 0.5 >= 0 and coordinate + 0.5 < limit
  std::int64_t cell = 0;  // floor(coordinate), times the height for x
  std::int64_t cell_plus = 0;
  std::int64_t cell_minus = 0;
  double fraction = 0.0;   // coordinate - floor(coordinate)
  double one_minus = 1.0;  // 1 - fraction
  // The same at coordinate + 0.5 and coordinate - 0.5, side by side so that
  // both samples of a gradient difference are interpolated together.
  alignas(16) double fraction_pm[2] = {0.0, 0.0};
  alignas(16) double one_minus_pm[2] = {1.0, 1.0};
};

// The same cells for consecutive rows, one array per field, so that the
// values of two neighbouring rows load as one pair.
struct AxisTable {
  std::vector<std::uint8_t> inside;
  std::vector<std::int64_t> cell;
  std::vector<std::int64_t> cell_plus;
  std::vector<std::int64_t> cell_minus;
  std::vector<double> fraction;
  std::vector<double> one_minus;
  std::vector<double> fraction_plus;
  std::vector<double> one_minus_plus;
  std::vector<double> fraction_minus;
  std::vector<double> one_minus_minus;
};

// Scratch storage of the refinements (per-axis cells, deformed samples, kept
// pairs), reused between calls so that no iteration allocates.
struct RefinementScratch {
  std::vector<AxisCells> columns;
  AxisTable rows;
  // Per offset of one affine iteration: the gradient as (gx, gy), the
  // residual twice as (e, e), and whether the pixel could be sampled.
  std::vector<double> gradient;
  std::vector<double> residual;
  std::vector<double> sample;
  std::vector<std::uint8_t> usable;
  std::vector<double> kept_reference;
  std::vector<double> kept_deformed;
};

// Builds the subset at (cx, cy) (build_subset_offsets) and gathers the
// reference samples with their mean and centred sum of squares. The centre
// must be a pixel of the reference image (offsets then lie inside it).
void prepare_reference_subset(const GrayImage& reference, const RoiMask& mask, std::int32_t cx,
                              std::int32_t cy, const DicParameters& params,
                              ReferenceSubset& subset);

// Translation-only refinement from (u, v); the gradients of the warp are 0.
std::optional<TranslationResult> refine_translation(const GrayImage& reference,
                                                    const GrayImage& deformed, const RoiMask& mask,
                                                    double u, double v, std::int32_t cx,
                                                    std::int32_t cy, const DicParameters& params);

std::optional<AffineResult> refine_affine(const GrayImage& reference, const GrayImage& deformed,
                                          const RoiMask& mask, std::int32_t cx, std::int32_t cy,
                                          const AffineParams& initial, const DicParameters& params);

// The same refinements on a prepared subset (of `deformed`'s reference image),
// reusing `scratch`. Results are identical to the overloads above.
std::optional<TranslationResult> refine_translation(const ReferenceSubset& subset,
                                                    const GrayImage& deformed, double u, double v,
                                                    const DicParameters& params,
                                                    RefinementScratch& scratch);

std::optional<AffineResult> refine_affine(const ReferenceSubset& subset, const GrayImage& deformed,
                                          const AffineParams& initial, const DicParameters& params,
                                          RefinementScratch& scratch);

// The two stages as every match is refined: translation from `start`'s
// (u, v), then affine from that result with `start`'s gradients. A stage that
// fails leaves the estimate it was given and its coefficient (`start` and
// `start_corrcoef` when both fail).
AffineResult refine_match(const ReferenceSubset& subset, const GrayImage& deformed,
                          const AffineParams& start, double start_corrcoef,
                          const DicParameters& params, RefinementScratch& scratch);

// Solves a * x = rhs by Gaussian elimination with partial pivoting (first row
// of largest magnitude at or below the diagonal). Nothing when a pivot or a
// diagonal element has magnitude <= kSingularLimit. `a` and `rhs` are
// consumed.
std::optional<std::array<double, 6>> solve_6x6(std::array<std::array<double, 6>, 6>& a,
                                               std::array<double, 6>& rhs);

}  // namespace dic2d
