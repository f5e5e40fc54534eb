#include "dic2d/cli/cli_run.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "dic2d/cli/report.h"
#include "dic2d/core/result.h"

namespace dic2d {
namespace {

namespace fs = std::filesystem;

constexpr int kSize = 64;

void write_raw(const std::string& path, std::int32_t width, std::int32_t height, const void* data,
               std::size_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(&width), 4);
  out.write(reinterpret_cast<const char*>(&height), 4);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
}

// A 64 x 64 reference image (a smooth random texture of plane waves in
// several directions, fixed seed), used as both images, and a full mask,
// in a per-test directory.
class CliRun : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    dir_ = fs::temp_directory_path() /
           ("dic2d_cli_run_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::remove_all(dir_);
    fs::create_directory(dir_);

    std::mt19937 rng(20240611);
    std::uniform_real_distribution<double> frequency(0.25, 0.9), phase(0.0, 6.283185307179586);
    struct Wave {
      double fx, fy, phase;
    };
    std::vector<Wave> waves;
    for (int k = 0; k < 8; ++k) {
      const double angle = 0.4 * k + 0.3 * phase(rng) / 6.283185307179586;
      const double f = frequency(rng);
      waves.push_back({f * std::cos(angle), f * std::sin(angle), phase(rng)});
    }
    std::vector<double> pixels(kSize * kSize);
    for (int x = 0; x < kSize; ++x) {
      for (int y = 0; y < kSize; ++y) {
        double value = 0.5;
        for (const Wave& w : waves) value += 0.05 * std::sin(w.fx * x + w.fy * y + w.phase);
        pixels[x * kSize + y] = value;
      }
    }
    write_raw(file("ref.bin"), kSize, kSize, pixels.data(), pixels.size() * sizeof(double));
    write_raw(file("def.bin"), kSize, kSize, pixels.data(), pixels.size() * sizeof(double));
    const std::vector<std::uint8_t> mask(kSize * kSize, 1);
    write_raw(file("mask.bin"), kSize, kSize, mask.data(), mask.size());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  // Arguments of a run that succeeds: seed (30, 30) on the pitch-6 grid.
  std::vector<std::string> good_args() const {
    return {"--reference",
            file("ref.bin"),
            "--deformed",
            file("def.bin"),
            "--mask",
            file("mask.bin"),
            "--seed-x",
            "30",
            "--seed-y",
            "30",
            "--subset-radius",
            "10",
            "--seed-search-radius",
            "3"};
  }

  // Runs with the program path prepended; the report lands in `out`.
  int run(const std::vector<std::string>& args, std::ostream& out) const {
    std::vector<const char*> argv{"dic2d_cli"};
    for (const std::string& a : args) argv.push_back(a.c_str());
    return run_cli(static_cast<int>(argv.size()), argv.data(), out);
  }

  fs::path dir_;
};

TEST_F(CliRun, IdenticalImagesSolveEveryGridPoint) {
  std::ostringstream out;
  const std::string output = file("field.bin");
  std::vector<std::string> args = good_args();
  args.insert(args.end(), {"--output", output});
  EXPECT_EQ(run(args, out), 0);
  const std::string line = out.str();

  // x and y run over 12, 18, ..., 48 (at least 10 pixels from every border).
  const std::string head = std::string("{\"ok\":true,\"output_schema_version\":2,\"message\":\"") +
                           kDicSuccessMessage +
                           "\",\"reduced_width\":11,\"reduced_height\":11,\"roi_region_count\":1,"
                           "\"seed_region\":0,\"seed_paramvector\":[30,30,";
  const std::string tail = "],\"reference_grid_points\":49,\"valid_points\":49}\n";
  EXPECT_EQ(line.compare(0, head.size(), head), 0) << line;
  ASSERT_GE(line.size(), tail.size());
  EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
  EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);

  std::ifstream in(output, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  constexpr std::size_t kCells = 11 * 11;
  ASSERT_EQ(bytes.size(), 8 + 89 * kCells);
  std::int32_t header[2];
  std::memcpy(header, bytes.data(), sizeof header);
  EXPECT_EQ(header[0], 11);
  EXPECT_EQ(header[1], 11);
  EXPECT_EQ(std::count(bytes.end() - kCells, bytes.end(), '\1'), 49);
}

// A stream that refuses every byte, like a closed standard output.
class RejectingBuffer : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST_F(CliRun, UndeliverableReportFailsTheRun) {
  RejectingBuffer buffer;
  std::ostream out(&buffer);
  EXPECT_EQ(run(good_args(), out), 1);
}

// "@" in an argument or message stands for the test directory; "+good"
// as the first argument prepends the arguments of a good run.
struct FailureCase {
  const char* name;
  std::vector<std::string> args;
  std::string message;
};

class CliRunFailure : public CliRun, public ::testing::WithParamInterface<FailureCase> {
 protected:
  std::string expand(std::string text) const {
    const std::size_t at = text.find('@');
    return at == std::string::npos ? text : text.replace(at, 1, file(""));
  }
};

TEST_P(CliRunFailure, PrintsOnlyTheFailureLineAndExitsWithOne) {
  std::vector<std::string> args;
  for (const std::string& a : GetParam().args) {
    if (a == "+good") {
      args = good_args();
    } else {
      args.push_back(expand(a));
    }
  }
  std::ostringstream out;
  EXPECT_EQ(run(args, out), 1);
  EXPECT_EQ(out.str(), failure_line(expand(GetParam().message)));
  EXPECT_FALSE(fs::exists(file("field.bin")));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CliRunFailure,
    ::testing::Values(
        FailureCase{"no_arguments", {}, "Missing required argument: --reference"},
        // Each file is loaded before the next key is looked up.
        FailureCase{"missing_reference_file",
                    {"--reference", "@nope.bin"},
                    "Could not open image binary: @nope.bin"},
        FailureCase{"deformed_absent",
                    {"--reference", "@ref.bin"},
                    "Missing required argument: --deformed"},
        FailureCase{
            "mask_is_a_directory", {"+good", "--mask", "@"}, "Could not open mask binary: @"},
        FailureCase{"trailing_key",
                    {"+good", "--output", "@field.bin", "--output"},
                    "Arguments must be provided as --key value pairs."},
        FailureCase{"integer_out_of_range", {"+good", "--subset-radius", "3000000000"}, "stoi"},
        FailureCase{
            "validation", {"+good", "--subset-radius", "9"}, "subset_radius must be at least 10."},
        FailureCase{"seed_off_the_grid",
                    {"+good", "--seed-x", "31", "--output", "@field.bin"},
                    "Seed point must be aligned to the reduced grid."},
        // Written only after the engine has run; the path is named verbatim.
        FailureCase{"output_in_missing_directory",
                    {"+good", "--output", "@no/dir\"x\".bin"},
                    "Could not open output binary: @no/dir\"x\".bin"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace dic2d
