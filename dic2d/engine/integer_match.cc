#include "dic2d/engine/integer_match.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>

#include "dic2d/engine/correlation.h"

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
    const std::optional<double> c = zncc_from_sums(subset.srr, sdd[j], sdr[j]);
    has_value[j] = c.has_value();
    if (c) coefficient[j] = *c;
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
  return zncc_from_sums(srr, sdd, sdr);
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

}  // namespace dic2d
