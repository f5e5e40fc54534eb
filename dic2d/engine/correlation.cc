#include "dic2d/engine/correlation.h"

namespace dic2d {

std::optional<double> zncc_of_samples(const ReferenceSubset& subset, const double* samples,
                                      const std::uint8_t* usable, std::size_t usable_count,
                                      std::size_t min_count) {
  const std::size_t n = subset.offsets.size();
  const std::size_t kept = usable_count;
  if (kept < min_count) {
    return std::nullopt;
  }
  const double count = static_cast<double>(kept);
  double srr = 0.0;
  double sdd = 0.0;
  double sdr = 0.0;
  if (kept == n) {
    // Every pixel kept: the reference mean and Srr are the prepared ones.
    double sum_d = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      sum_d += samples[k];
    }
    const double mean_d = sum_d / count;
    for (std::size_t k = 0; k < n; ++k) {
      const double t = samples[k] - mean_d;
      sdd += t * t;
      sdr += t * subset.centred[k];
    }
    srr = subset.srr;
  } else {
    double sum_r = 0.0;
    double sum_d = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
      if (usable[k] != 0) {
        sum_r += subset.values[k];
        sum_d += samples[k];
      }
    }
    const double mean_r = sum_r / count;
    const double mean_d = sum_d / count;
    for (std::size_t k = 0; k < n; ++k) {
      if (usable[k] != 0) {
        const double tr = subset.values[k] - mean_r;
        const double td = samples[k] - mean_d;
        srr += tr * tr;
        sdd += td * td;
        sdr += td * tr;
      }
    }
  }
  return zncc_from_sums(srr, sdd, sdr);
}

}  // namespace dic2d
