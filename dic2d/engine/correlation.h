#pragma once
// Zero-normalised cross-correlation (ZNCC) of a reference subset with
// deformed-image samples: the coefficient Sdr / sqrt(Srr * Sdd) of the sums
// of squares and products about the means.
//
// Conventions: samples are in the order of the subset's offsets and every
// sum runs in that order. A coefficient exists only when both sides vary
// (each sum of squares above the variance floor) and it is finite.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "dic2d/engine/reference_subset.h"

namespace dic2d {

// Variance floor of every correlation coefficient.
inline constexpr double kVarianceFloor = 2.220446049250313e-16;  // 2^-52

// The coefficient of the centred sums Srr (reference), Sdd (deformed) and
// Sdr; nothing when Srr or Sdd is at or below the floor or the coefficient
// is not finite.
inline std::optional<double> zncc_from_sums(double srr, double sdd, double sdr) {
  if (srr <= kVarianceFloor || sdd <= kVarianceFloor) {
    return std::nullopt;
  }
  const double coefficient = sdr / std::sqrt(srr * sdd);
  if (!std::isfinite(coefficient)) {
    return std::nullopt;
  }
  return coefficient;
}

// ZNCC of the reference subset with deformed samples (one per offset) over
// the `usable_count` offsets whose `usable` flag is set, means taken over
// those pairs. Nothing with fewer than `min_count` pairs.
std::optional<double> zncc_of_samples(const ReferenceSubset& subset, const double* samples,
                                      const std::uint8_t* usable, std::size_t usable_count,
                                      std::size_t min_count);

}  // namespace dic2d
