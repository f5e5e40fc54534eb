#pragma once
// Camera indices come from the caller (cam_indices, cam_a, cam_b) and index
// the first axis of every per-camera array; one outside an array is refused
// with a message that names where the index came from and which array it
// does not fit.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace vostrel {

// "<label>[<observation>] = <c> is outside [0, <extent>) of <array_name>";
// the "[<observation>]" part only when observation >= 0 (the index came from
// that entry of cam_indices). Thrown as std::invalid_argument (ValueError).
[[noreturn]] inline void throw_camera_out_of_range(std::int64_t c, const char* label,
                                                   std::int64_t observation, std::int64_t extent,
                                                   const char* array_name) {
  std::string where(label);
  if (observation >= 0) where += "[" + std::to_string(observation) + "]";
  throw std::invalid_argument(where + " = " + std::to_string(c) + " is outside [0, " +
                              std::to_string(extent) + ") of " + array_name);
}

}  // namespace vostrel
