#include "dic2d/io/output_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dic2d/io/file_test_util.h"

namespace dic2d {
namespace {

using testing_util::bits;
using testing_util::failure_of;

struct TempDir : testing_util::TempDir {
  TempDir() : testing_util::TempDir("dic2d_output_file_test") {}
};

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

double from_bits(std::uint64_t b) {
  double v = 0;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

// A result whose per-point values are all distinct: the k-th per-point
// field of point i holds 1000 k + i + 0.5 (k = 2 for deformed x up to
// k = 10 for corrcoef), so every decoded value names its field and point.
DicResult numbered_result(std::int32_t width, std::int32_t height,
                          const std::vector<Point2>& refs) {
  DicResult r;
  r.ok = true;
  r.reduced_width = width;
  r.reduced_height = height;
  r.reference_grid_points = refs;
  for (std::size_t i = 0; i < refs.size(); ++i) {
    const double k = static_cast<double>(i) + 0.5;
    r.fields.deformed_points.push_back({2000 + k, 3000 + k});
    r.fields.u.push_back(4000 + k);
    r.fields.v.push_back(5000 + k);
    r.fields.du_dx.push_back(6000 + k);
    r.fields.du_dy.push_back(7000 + k);
    r.fields.dv_dx.push_back(8000 + k);
    r.fields.dv_dy.push_back(9000 + k);
    r.fields.corrcoef.push_back(10000 + k);
    r.fields.valid.push_back(i % 2 == 0 ? 1 : 0);
  }
  return r;
}

// The eleven float64 arrays per point, in file order.
std::vector<double> fields_of(const DicResult& r, std::size_t i) {
  return {r.reference_grid_points[i][0],
          r.reference_grid_points[i][1],
          r.fields.deformed_points[i][0],
          r.fields.deformed_points[i][1],
          r.fields.u[i],
          r.fields.v[i],
          r.fields.du_dx[i],
          r.fields.du_dy[i],
          r.fields.dv_dx[i],
          r.fields.dv_dy[i],
          r.fields.corrcoef[i]};
}

TEST(WriteOutputBinary, PlacesEachPointInItsRoundedCellBitExact) {
  constexpr std::int32_t kW = 3, kH = 2;  // subset_spacing 4: pitch 5
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Placed {
    Point2 ref;
    int cell;  // expected gx * kH + gy, -1 when outside the grid
  };
  const std::vector<Placed> placed = {
      {{0, 0}, 0},        {{5, 0}, 2},     {{4.5, 5.2}, 3},  // 4.5 rounds away from zero to 5
      {{14.4, 9.49}, 5},  {{15, 0}, -1},                     // gx 3 == reduced_width
      {{0, 10}, -1},                                         // gy 2 == reduced_height
      {{-5, 0}, -1},      {{nan, 0}, -1},  {{inf, 5}, -1},  {{1e300, 0}, -1},
      {{-9.3e18, 5}, -1}, {{2.4, 0.2}, 0},  // a later point in a cell replaces the earlier one
      {{-2.6, 4.9}, 1},                     // round(-2.6) = -3, and -3 / 5 truncates to 0
  };
  std::vector<Point2> refs;
  for (const Placed& p : placed) refs.push_back(p.ref);
  DicResult r = numbered_result(kW, kH, refs);
  r.fields.u[2] = -0.0;
  r.fields.v[3] = from_bits(0x7ff8000000000abcULL);
  r.fields.valid[3] = 1;

  TempDir dir;
  const std::string path = dir.file("out.bin");
  write_output_binary(path, r, 4);
  const std::string bytes = read_file(path);
  constexpr std::size_t kN = kW * kH;
  ASSERT_EQ(bytes.size(), 8 + 89 * kN);

  std::int32_t header[2];
  std::memcpy(header, bytes.data(), sizeof header);
  EXPECT_EQ(header[0], kW);
  EXPECT_EQ(header[1], kH);

  std::vector<std::vector<std::uint64_t>> expected(11, std::vector<std::uint64_t>(kN, bits(0.0)));
  std::vector<std::uint8_t> expected_valid(kN, 0);
  for (std::size_t i = 0; i < placed.size(); ++i) {
    if (placed[i].cell < 0) continue;
    const auto values = fields_of(r, i);
    for (std::size_t f = 0; f < 11; ++f) expected[f][placed[i].cell] = bits(values[f]);
    expected_valid[placed[i].cell] = r.fields.valid[i];
  }
  for (std::size_t f = 0; f < 11; ++f) {
    for (std::size_t c = 0; c < kN; ++c) {
      std::uint64_t got = 0;
      std::memcpy(&got, bytes.data() + 8 + 8 * (f * kN + c), sizeof got);
      EXPECT_EQ(got, expected[f][c]) << "field " << f << " cell " << c;
    }
  }
  for (std::size_t c = 0; c < kN; ++c) {
    EXPECT_EQ(static_cast<std::uint8_t>(bytes[8 + 88 * kN + c]), expected_valid[c]) << c;
  }
}

TEST(WriteOutputBinary, FileIsHeaderPlus89BytesPerCell) {
  TempDir dir;
  for (const auto& [w, h] :
       {std::pair{0, 0}, std::pair{0, 5}, std::pair{1, 1}, std::pair{20, 16}}) {
    write_output_binary(dir.file("out.bin"), numbered_result(w, h, {}), 4);
    EXPECT_EQ(fs::file_size(dir.file("out.bin")), 8u + 89u * static_cast<std::uint64_t>(w) * h);
  }
}

constexpr const char* kEarlier = "earlier result";

TEST(WriteOutputBinary, ReplacesAnEarlierFileKeepingItsMode) {
  TempDir dir;
  const std::string path = dir.file("out.bin");
  write_file(path, kEarlier);
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  write_output_binary(path, numbered_result(2, 2, {{0, 0}}), 0);
  EXPECT_EQ(fs::file_size(path), 8u + 89u * 4);
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"out.bin"});
}

TEST(WriteOutputBinary, TargetNameAtTheLengthLimitIsWrittenAndReplaced) {
  // A temporary name derived from the target's would exceed the 255-byte
  // limit of one path component.
  TempDir dir;
  const std::string path = dir.file(std::string(255, 'n'));
  write_output_binary(path, numbered_result(1, 1, {}), 0);
  write_output_binary(path, numbered_result(2, 1, {}), 0);
  EXPECT_EQ(fs::file_size(path), 8u + 89u * 2);
  EXPECT_EQ(dir.entries(), std::set<std::string>{std::string(255, 'n')});
}

// Guards of the writer's own: nothing on disk is touched.
struct Inconsistency {
  const char* name;
  void (*spoil)(DicResult& result, std::int32_t& spacing);
  const char* failure;
};

class InconsistentResult : public ::testing::TestWithParam<Inconsistency> {};

TEST_P(InconsistentResult, FailsBeforeTouchingTheFile) {
  DicResult r = numbered_result(2, 2, {{0, 0}, {1, 1}});
  std::int32_t spacing = 0;
  GetParam().spoil(r, spacing);
  TempDir dir;
  const std::string path = dir.file("out.bin");
  write_file(path, kEarlier);
  EXPECT_EQ(failure_of([&] { write_output_binary(path, r, spacing); }), GetParam().failure);
  EXPECT_EQ(read_file(path), kEarlier);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"out.bin"});
}

constexpr const char* kLengths = "invalid_argument: DicResult per-point arrays differ in length.";

INSTANTIATE_TEST_SUITE_P(
    Guards, InconsistentResult,
    ::testing::Values(
        Inconsistency{"valid_one_short",
                      [](DicResult& r, std::int32_t&) { r.fields.valid.pop_back(); }, kLengths},
        Inconsistency{
            "deformed_points_one_long",
            [](DicResult& r, std::int32_t&) { r.fields.deformed_points.push_back({0, 0}); },
            kLengths},
        Inconsistency{"corrcoef_empty",
                      [](DicResult& r, std::int32_t&) { r.fields.corrcoef.clear(); }, kLengths},
        Inconsistency{"pitch_zero", [](DicResult&, std::int32_t& spacing) { spacing = -1; },
                      "invalid_argument: subset_spacing must be non-negative."},
        Inconsistency{"negative_grid_height",
                      [](DicResult& r, std::int32_t&) { r.reduced_height = -1; },
                      "length_error: vector::_M_default_append"}),
    [](const ::testing::TestParamInfo<Inconsistency>& info) {
      return std::string(info.param.name);
    });

// A file size limit makes the writes fail part-way on a regular file.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previous_signal_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previous_signal_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  void (*previous_signal_)(int) = SIG_DFL;
};

TEST(WriteOutputBinary, FailedWriteKeepsTheEarlierFileAndLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir.file("out.bin");
  write_file(path, kEarlier);
  std::string failure;
  {
    const FileSizeLimit limit(1000);  // the file needs 28488 bytes
    failure = failure_of([&] { write_output_binary(path, numbered_result(20, 16, {}), 4); });
  }
  EXPECT_EQ(failure, "runtime_error: Failed while writing output binary: " + path);
  EXPECT_EQ(read_file(path), kEarlier);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"out.bin"});
}

TEST(WriteOutputBinary, UnopenablePathsNameThePath) {
  TempDir dir;
  write_file(dir.file("plain"), kEarlier);
  fs::create_directory(dir.file("sub"));
  const DicResult r = numbered_result(1, 1, {});
  for (const std::string& path : {dir.file("missing/out.bin"), dir.file("plain/out.bin"),
                                  dir.file("sub"), dir.file("sub/"), std::string("")}) {
    EXPECT_EQ(failure_of([&] { write_output_binary(path, r, 0); }),
              "runtime_error: Could not open output binary: " + path);
  }
  // The empty name used to reach the rename (after a temporary file had been
  // created in the working directory) and was reported as a write failure.
  EXPECT_EQ(read_file(dir.file("plain")), kEarlier);
  EXPECT_TRUE(fs::is_directory(dir.file("sub")));
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"plain", "sub"}));
}

TEST(WriteOutputBinary, CharacterDeviceIsWrittenInPlace) {
  write_output_binary("/dev/null", numbered_result(3, 3, {{0, 0}}), 0);
  struct stat st {};
  ASSERT_EQ(::stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(WriteOutputBinary, FifoReceivesTheSameBytesAsARegularFile) {
  TempDir dir;
  const DicResult r = numbered_result(4, 3, {{0, 0}, {1, 2}, {3, 3}});
  write_output_binary(dir.file("regular.bin"), r, 0);
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = read_file(fifo); });
  write_output_binary(fifo, r, 0);
  reader.join();
  EXPECT_EQ(received, read_file(dir.file("regular.bin")));
  struct stat st {};
  ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"pipe", "regular.bin"}));
}

TEST(WriteOutputBinary, SymlinkKeepsPointingAtTheReplacedFile) {
  TempDir dir;
  fs::create_directory(dir.file("data"));
  fs::create_directory(dir.file("links"));
  const std::string target = dir.file("data/out.bin");
  const std::string link = dir.file("links/out.bin");
  write_file(target, kEarlier);
  fs::create_symlink("../data/out.bin", link);
  write_output_binary(link, numbered_result(2, 3, {}), 0);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), fs::path("../data/out.bin"));
  EXPECT_EQ(fs::file_size(target), 8u + 89u * 6);
  EXPECT_EQ(dir.entries(),
            (std::set<std::string>{"data", "data/out.bin", "links", "links/out.bin"}));
}

}  // namespace
}  // namespace dic2d
