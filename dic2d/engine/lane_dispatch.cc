#include "dic2d/engine/lane_dispatch.h"

namespace dic2d {

bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;
#else
  return false;
#endif
}

LaneWidth detected_lane_width() {
  static const LaneWidth width = lane_width_for(cpu_has_avx2());
  return width;
}

}  // namespace dic2d
