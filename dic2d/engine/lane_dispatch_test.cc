#include "dic2d/engine/lane_dispatch.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace dic2d {
namespace {

TEST(LaneDispatch, FourLanesExactlyWhereTheCpuHasAvx2) {
  EXPECT_EQ(lane_width_for(false), LaneWidth::kTwo);
  EXPECT_EQ(lane_width_for(true), LaneWidth::kFour);
  EXPECT_EQ(detected_lane_width(), lane_width_for(cpu_has_avx2()));
  EXPECT_EQ(detected_lane_width(), detected_lane_width());  // decided once
}

TEST(LaneDispatch, AgreesWithTheKernelsCpuFlags) {
  // On Linux the kernel lists the CPU's features; "avx2" among the flags
  // must be what the dispatch sees.
  std::ifstream cpuinfo("/proc/cpuinfo");
  if (!cpuinfo) GTEST_SKIP() << "no /proc/cpuinfo";
  std::string line;
  bool listed = false;
  bool has_avx2 = false;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) != 0) continue;
    listed = true;
    std::istringstream words(line.substr(line.find(':') + 1));
    std::string word;
    while (words >> word) has_avx2 = has_avx2 || word == "avx2";
    break;
  }
  if (!listed) GTEST_SKIP() << "no x86 flags line";
  EXPECT_EQ(cpu_has_avx2(), has_avx2);
}

}  // namespace
}  // namespace dic2d
