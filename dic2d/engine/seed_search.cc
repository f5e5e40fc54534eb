#include "dic2d/engine/seed_search.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>

#include "dic2d/engine/validation.h"
#include "dic2d/roi/roi_regions.h"

namespace dic2d {
namespace {

// ZNCC of `count` consecutive vertical displacements (dv, dv + 1, ...) at one
// du, sharing the offset walk. Each candidate keeps its own sums in offset
// order, so every value equals that of a separate evaluation. The caller
// guarantees every shifted pixel lies inside the deformed image.
template <int kCount>
void zncc_batch(const ReferenceSubset& subset, const std::int64_t* index, const double* shifted,
                double* coefficient, bool* has_value) {
  const std::size_t n = subset.offsets.size();
  const double* centred = subset.centred.data();
  double sum[kCount];
  for (int j = 0; j < kCount; ++j) sum[j] = 0.0;
  for (std::size_t k = 0; k < n; ++k) {
    const double* d = shifted + index[k];
    for (int j = 0; j < kCount; ++j) sum[j] += d[j];
  }
  const double count = static_cast<double>(n);
  double mean[kCount];
  double sdd[kCount];
  double sdr[kCount];
  for (int j = 0; j < kCount; ++j) {
    mean[j] = sum[j] / count;
    sdd[j] = 0.0;
    sdr[j] = 0.0;
  }
  for (std::size_t k = 0; k < n; ++k) {
    const double* d = shifted + index[k];
    const double r = centred[k];
    for (int j = 0; j < kCount; ++j) {
      const double t = d[j] - mean[j];
      sdd[j] += t * t;
      sdr[j] += t * r;
    }
  }
  for (int j = 0; j < kCount; ++j) {
    has_value[j] = false;
    if (subset.srr <= kVarianceFloor || sdd[j] <= kVarianceFloor) continue;
    const double c = sdr[j] / std::sqrt(sdd[j] * subset.srr);
    if (!std::isfinite(c)) continue;
    coefficient[j] = c;
    has_value[j] = true;
  }
}

// Range of integer displacements along one axis for which every subset pixel
// (centre + offset + shift) stays inside [0, extent).
void feasible_shift_range(std::int64_t centre, std::int32_t offset_min, std::int32_t offset_max,
                          std::int32_t extent, std::int64_t& first, std::int64_t& last) {
  first = -(centre + offset_min);
  last = static_cast<std::int64_t>(extent) - 1 - (centre + offset_max);
}

}  // namespace

std::optional<double> zncc(const GrayImage& reference, const GrayImage& deformed,
                           const std::vector<SubsetOffset>& offsets, std::int32_t cx,
                           std::int32_t cy, std::int64_t du, std::int64_t dv) {
  const std::size_t n = offsets.size();
  if (n == 0) {
    return std::nullopt;
  }
  const std::int64_t ref_height = reference.height;
  const std::int64_t def_height = deformed.height;
  double sum_d = 0.0;
  double sum_r = 0.0;
  for (const SubsetOffset& o : offsets) {
    const std::int64_t x = static_cast<std::int64_t>(cx) + du + o.dx;
    const std::int64_t y = static_cast<std::int64_t>(cy) + dv + o.dy;
    if (x < 0 || x >= deformed.width || y < 0 || y >= deformed.height) {
      return std::nullopt;
    }
  }
  for (const SubsetOffset& o : offsets) {
    const std::int64_t rx = static_cast<std::int64_t>(cx) + o.dx;
    const std::int64_t ry = static_cast<std::int64_t>(cy) + o.dy;
    sum_d += deformed.pixels[static_cast<std::size_t>((rx + du) * def_height + ry + dv)];
    sum_r += reference.pixels[static_cast<std::size_t>(rx * ref_height + ry)];
  }
  const double count = static_cast<double>(n);
  const double mean_d = sum_d / count;
  const double mean_r = sum_r / count;
  double sdd = 0.0;
  double srr = 0.0;
  double sdr = 0.0;
  for (const SubsetOffset& o : offsets) {
    const std::int64_t rx = static_cast<std::int64_t>(cx) + o.dx;
    const std::int64_t ry = static_cast<std::int64_t>(cy) + o.dy;
    const double td =
        deformed.pixels[static_cast<std::size_t>((rx + du) * def_height + ry + dv)] - mean_d;
    const double tr = reference.pixels[static_cast<std::size_t>(rx * ref_height + ry)] - mean_r;
    sdd += td * td;
    srr += tr * tr;
    sdr += td * tr;
  }
  if (srr <= kVarianceFloor || sdd <= kVarianceFloor) {
    return std::nullopt;
  }
  const double c = sdr / std::sqrt(sdd * srr);
  if (!std::isfinite(c)) {
    return std::nullopt;
  }
  return c;
}

std::optional<double> zncc(const ReferenceSubset& subset, const GrayImage& deformed,
                           std::int64_t du, std::int64_t dv) {
  const auto match = best_integer_match(subset, deformed, du, du, dv, dv);
  if (!match) {
    return std::nullopt;
  }
  return match->corrcoef;
}

std::optional<IntegerMatch> best_integer_match(const ReferenceSubset& subset,
                                               const GrayImage& deformed, std::int64_t du_first,
                                               std::int64_t du_last, std::int64_t dv_first,
                                               std::int64_t dv_last) {
  if (subset.offsets.empty() || !(subset.srr > kVarianceFloor)) {
    // A flat (or empty) reference subset gives no candidate a value.
    return std::nullopt;
  }
  // The reference pixels index the deformed image too (same dimensions), so
  // a shift (du, dv) reads element pixel_index + du * height + dv.
  std::int64_t du_min = 0;
  std::int64_t du_max = 0;
  std::int64_t dv_min = 0;
  std::int64_t dv_max = 0;
  feasible_shift_range(subset.cx, subset.dx_min, subset.dx_max, deformed.width, du_min, du_max);
  feasible_shift_range(subset.cy, subset.dy_min, subset.dy_max, deformed.height, dv_min, dv_max);
  // Only shifts that keep the whole subset inside the image can have a
  // value; the others are not visited. The scan order is unchanged.
  du_first = std::max(du_first, du_min);
  du_last = std::min(du_last, du_max);
  dv_first = std::max(dv_first, dv_min);
  dv_last = std::min(dv_last, dv_max);
  if (du_first > du_last || dv_first > dv_last) {
    return std::nullopt;
  }
  const std::int64_t height = deformed.height;
  const double* pixels = deformed.pixels.data();
  // The prepared element indices assume the reference image's height; a
  // deformed image of another height needs its own.
  const std::int64_t* index = subset.pixel_index.data();
  std::vector<std::int64_t> own_index;
  if (height != subset.index_height) {
    own_index.resize(subset.offsets.size());
    for (std::size_t k = 0; k < own_index.size(); ++k) {
      own_index[k] = (static_cast<std::int64_t>(subset.cx) + subset.offsets[k].dx) * height +
                     (static_cast<std::int64_t>(subset.cy) + subset.offsets[k].dy);
    }
    index = own_index.data();
  }
  bool found = false;
  IntegerMatch best{0, 0, -std::numeric_limits<double>::infinity()};
  constexpr int kBatch = 4;
  double coefficient[kBatch];
  bool has_value[kBatch];
  for (std::int64_t du = du_first; du <= du_last; ++du) {
    for (std::int64_t dv = dv_first; dv <= dv_last; dv += kBatch) {
      const std::int64_t remaining = dv_last - dv + 1;
      const double* shifted = pixels + (du * height + dv);
      int count = kBatch;
      if (remaining >= kBatch) {
        zncc_batch<4>(subset, index, shifted, coefficient, has_value);
      } else if (remaining == 3) {
        zncc_batch<3>(subset, index, shifted, coefficient, has_value);
        count = 3;
      } else if (remaining == 2) {
        zncc_batch<2>(subset, index, shifted, coefficient, has_value);
        count = 2;
      } else {
        zncc_batch<1>(subset, index, shifted, coefficient, has_value);
        count = 1;
      }
      for (int j = 0; j < count; ++j) {
        if (has_value[j] && coefficient[j] > best.corrcoef) {
          best = IntegerMatch{du, dv + j, coefficient[j]};
          found = true;
        }
      }
    }
  }
  if (!found) {
    return std::nullopt;
  }
  return best;
}

SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const Pixel seed, const DicParameters& params) {
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
    x_begin = std::max<std::int64_t>(cx - m, r);
    x_end = std::min<std::int64_t>(cx + m + 1, width - r);
    y_begin = std::max<std::int64_t>(cy - m, r);
    y_end = std::min<std::int64_t>(cy + m + 1, height - r);
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
  RefinementScratch scratch;
  const AffineResult refined =
      refine_match(subset, deformed, start, match->corrcoef, params, scratch);
  return SeedMatch{seed, refined.params, refined.corrcoef};
}

SeedMatch find_seed(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                    const SeedInput& seed, const DicParameters& params) {
  const Pixel pixel = validate_dic_inputs(reference, deformed, mask, seed, params);
  build_reduced_roi(mask, pixel, params);  // for its failures only
  return find_seed(reference, deformed, mask, pixel, params);
}

}  // namespace dic2d
