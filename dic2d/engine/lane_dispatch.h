#pragma once
// Choice between the two-lane kernels (any x86-64 or AArch64 CPU) and the
// four-lane kernels (x86-64 CPUs with AVX2) of the correlation engine.
//
// Both widths run the same scalar IEEE operations in the same order on each
// lane (no fused multiply-add, no reassociation), so they give identical
// bits; four lanes only do the work in fewer instructions.

#include <cstdint>

// Marks the four-lane instantiation of a kernel: compiled for AVX2 (without
// FMA: -ffp-contract=off still holds) and called only when cpu_has_avx2().
#if defined(__x86_64__)
#define DIC_FOUR_LANE_TARGET __attribute__((target("avx2")))
#else
#define DIC_FOUR_LANE_TARGET
#endif

namespace dic2d {

enum class LaneWidth : std::uint8_t { kTwo, kFour };

// Four lanes exactly when the CPU has AVX2.
constexpr LaneWidth lane_width_for(bool cpu_has_avx2) {
  return cpu_has_avx2 ? LaneWidth::kFour : LaneWidth::kTwo;
}

// Whether this CPU executes AVX2 instructions (always false off x86-64).
bool cpu_has_avx2();

// lane_width_for(cpu_has_avx2()), determined once per process.
LaneWidth detected_lane_width();

}  // namespace dic2d
