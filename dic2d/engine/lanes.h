#pragma once
// Two doubles operated on lane by lane (SSE2 on x86-64, NEON on AArch64).
//
// Each lane is the IEEE operation its scalar form would be, in the same
// order, so packing two independent computations into one register changes
// no bit of either. Code that pairs values must keep every sum's own order.

#include <cstdint>
#include <cstring>

namespace dic2d {

using Double2 = double __attribute__((vector_size(16)));
using Int2 = std::int32_t __attribute__((vector_size(8)));
// Lane-wise comparison results: all bits set where true.
using Mask2 = std::int64_t __attribute__((vector_size(16)));

inline Double2 broadcast(double value) { return Double2{value, value}; }

// Two consecutive doubles; `pair` needs no alignment.
inline Double2 load_pair(const double* pair) {
  Double2 value;
  std::memcpy(&value, pair, sizeof value);
  return value;
}

inline void store_pair(double* pair, Double2 value) { std::memcpy(pair, &value, sizeof value); }

// Truncation toward zero, lane by lane; the floor for lanes in [0, 2^31).
inline Int2 truncate_lanes(Double2 value) { return __builtin_convertvector(value, Int2); }

inline Double2 to_double_lanes(Int2 value) { return __builtin_convertvector(value, Double2); }

}  // namespace dic2d
