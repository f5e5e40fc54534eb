#include "dic2d/io/image_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "dic2d/io/file_test_util.h"

// Largest single allocation request since the last reset. The loaders must
// size their storage by what the file supplies, never by what a hostile
// header announces; replacing the global allocator is the only way to see
// that directly.
namespace {
std::atomic<std::size_t> g_largest_request{0};
}  // namespace

void* operator new(std::size_t size) {
  std::size_t seen = g_largest_request.load(std::memory_order_relaxed);
  while (size > seen &&
         !g_largest_request.compare_exchange_weak(seen, size, std::memory_order_relaxed)) {
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
// GCC sees the replacement pair through inlining and mistakes it for a
// mismatch.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace dic2d {
namespace {

using testing_util::bits;
using testing_util::failure_of;

struct TempDir : testing_util::TempDir {
  TempDir() : testing_util::TempDir("dic2d_image_files_test") {}
};

constexpr std::size_t kMiB = std::size_t{1} << 20;

std::string header(std::int32_t width, std::int32_t height) {
  std::string bytes;
  for (const std::int32_t v : {width, height}) {
    const auto u = static_cast<std::uint32_t>(v);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(u >> shift));
  }
  return bytes;
}

std::string doubles(const std::vector<double>& values) {
  std::string bytes(values.size() * sizeof(double), '\0');
  if (!values.empty()) std::memcpy(bytes.data(), values.data(), bytes.size());
  return bytes;
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

TEST(LoadImageBinary, ReadsXMajorValuesBitExactAndIgnoresTrailingBytes) {
  TempDir dir;
  // Width 3, height 2: the file order is (0,0), (0,1), (1,0), (1,1), (2,0), (2,1).
  std::vector<double> values;
  for (int x = 0; x < 3; ++x)
    for (int y = 0; y < 2; ++y) values.push_back(10.0 * x + y + 0.25);
  // Values a text or arithmetic path would not carry through unchanged.
  values[1] = -0.0;
  values[2] = std::numeric_limits<double>::denorm_min();
  values[3] = std::numeric_limits<double>::infinity();
  std::uint64_t payload_nan = 0x7ff4000000000123ULL;
  std::memcpy(&values[4], &payload_nan, sizeof payload_nan);
  write_file(dir.file("img.bin"), header(3, 2) + doubles(values) + "tail");

  const GrayImage image = load_image_binary(dir.file("img.bin"));
  EXPECT_EQ(image.width, 3);
  EXPECT_EQ(image.height, 2);
  ASSERT_EQ(image.pixels.size(), 6u);
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(bits(image.pixels[i]), bits(values[i])) << i;
  }
  EXPECT_EQ(image.pixels[2 * 2 + 1], 21.25);  // pixel (2, 1)
  EXPECT_NO_THROW(validate_image(image, "Reference image"));
}

TEST(LoadMaskBinary, KeepsEveryByteValue) {
  TempDir dir;
  const std::string data{'\0', '\1', '\2', '\x7f', '\x80', '\xff'};
  write_file(dir.file("mask.bin"), header(2, 3) + data + std::string(5, '\xee'));
  const RoiMask mask = load_mask_binary(dir.file("mask.bin"));
  EXPECT_EQ(mask.width, 2);
  EXPECT_EQ(mask.height, 3);
  EXPECT_EQ(mask.values, (std::vector<std::uint8_t>{0, 1, 2, 0x7f, 0x80, 0xff}));
  EXPECT_NO_THROW(validate_mask(mask));
}

// Headers whose element count is zero or positive load as they are; the
// record checks reject the non-positive dimensions afterwards.
TEST(LoadBinary, HeadersThatLoadAreJudgedByTheRecordChecks) {
  struct Case {
    std::int32_t width, height;
    std::size_t elements;
  };
  // Two negative dimensions give a positive count: that data is read.
  for (const Case c : {Case{0, 7, 0}, Case{7, 0, 0}, Case{-5, 0, 0}, Case{-4, -3, 12}}) {
    TempDir dir;
    write_file(dir.file("img.bin"),
               header(c.width, c.height) + doubles(std::vector<double>(c.elements, 1.5)));
    write_file(dir.file("mask.bin"), header(c.width, c.height) + std::string(c.elements, '\1'));
    const GrayImage image = load_image_binary(dir.file("img.bin"));
    const RoiMask mask = load_mask_binary(dir.file("mask.bin"));
    EXPECT_EQ(image.width, c.width);
    EXPECT_EQ(image.height, c.height);
    EXPECT_EQ(image.pixels.size(), c.elements);
    EXPECT_EQ(mask.values.size(), c.elements);
    EXPECT_EQ(failure_of([&] { validate_image(image, "L"); }),
              "invalid_argument: L dimensions must be positive.");
    EXPECT_EQ(failure_of([&] { validate_mask(mask); }),
              "invalid_argument: ROI mask dimensions must be positive.");
  }
}

struct LoadFailure {
  const char* name;
  std::string content;
  const char* image_failure;
  const char* mask_failure;
};

void PrintTo(const LoadFailure& c, std::ostream* os) { *os << c.name; }

constexpr const char* kTruncated = "runtime_error: Input binary file is truncated.";
constexpr const char* kLength = "length_error: vector::_M_default_append";

class ShortOrHostileFile : public ::testing::TestWithParam<LoadFailure> {};

TEST_P(ShortOrHostileFile, FailsWithoutAllocatingTheAnnouncedSize) {
  const LoadFailure& c = GetParam();
  TempDir dir;
  const std::string path = dir.file("in.bin");
  write_file(path, c.content);
  g_largest_request = 0;
  EXPECT_EQ(failure_of([&] { load_image_binary(path); }), c.image_failure);
  EXPECT_EQ(failure_of([&] { load_mask_binary(path); }), c.mask_failure);
  EXPECT_LT(g_largest_request.load(), kMiB);
}

INSTANTIATE_TEST_SUITE_P(
    Files, ShortOrHostileFile,
    ::testing::Values(
        LoadFailure{"empty", "", kTruncated, kTruncated},
        LoadFailure{"three_bytes", std::string(3, '\0'), kTruncated, kTruncated},
        LoadFailure{"seven_bytes", header(4, 3).substr(0, 7), kTruncated, kTruncated},
        // 4 x 3 announced: 96 bytes for an image, 12 for a mask.
        LoadFailure{"data_short_by_one", header(4, 3) + std::string(95, 'a'), kTruncated,
                    "no exception"},
        LoadFailure{"mask_data_short", header(4, 3) + std::string(11, 'a'), kTruncated, kTruncated},
        LoadFailure{"no_data", header(4, 3), kTruncated, kTruncated},
        LoadFailure{"negative_width", header(-1, 5) + std::string(64, 'a'), kLength, kLength},
        LoadFailure{"negative_height", header(5, -1), kLength, kLength},
        LoadFailure{"int_min_width", header(std::numeric_limits<std::int32_t>::min(), 1), kLength,
                    kLength},
        // 34 GB of doubles announced by a 24-byte file.
        LoadFailure{"huge_positive",
                    header(std::numeric_limits<std::int32_t>::max(), 2) + std::string(16, 'a'),
                    kTruncated, kTruncated},
        // 2^62 elements: too many doubles for any vector, but not bytes.
        LoadFailure{"max_by_max",
                    header(std::numeric_limits<std::int32_t>::max(),
                           std::numeric_limits<std::int32_t>::max()),
                    kLength, kTruncated},
        LoadFailure{"two_negatives", header(-65536, -65536) + std::string(8, 'a'), kTruncated,
                    kTruncated}),
    [](const ::testing::TestParamInfo<LoadFailure>& info) { return std::string(info.param.name); });

TEST(LoadBinary, PathsThatCannotBeOpenedNameThePathVerbatim) {
  TempDir dir;
  const std::string missing = dir.file("no such \"file\".bin");
  const std::string directory = dir.file("");
  for (const std::string& path : {missing, directory, std::string()}) {
    EXPECT_EQ(failure_of([&] { load_image_binary(path); }),
              "runtime_error: Could not open image binary: " + path);
    EXPECT_EQ(failure_of([&] { load_mask_binary(path); }),
              "runtime_error: Could not open mask binary: " + path);
  }
}

// A pipe cannot tell its length in advance: the loader grows its storage
// only as bytes arrive.
class PipeInput : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
  }
  void TearDown() override { std::signal(SIGPIPE, previous_); }

  // Feeds `bytes` through the FIFO while `load` reads it.
  template <typename Load>
  std::string load_through_fifo(const std::string& bytes, Load load) {
    std::thread writer([&] {
      const int fd = ::open(fifo_.c_str(), O_WRONLY);
      if (fd < 0) return;
      std::size_t done = 0;
      while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      ::close(fd);
    });
    const std::string failure = failure_of([&] { load(fifo_); });
    writer.join();
    return failure;
  }

  TempDir dir_;
  std::string fifo_ = dir_.file("pipe");
  void (*previous_)(int) = SIG_DFL;
};

TEST_F(PipeInput, ImageLargerThanOneReadChunkRoundTrips) {
  // 400 x 400 doubles is 1.28 MB: more than one bounded read.
  std::vector<double> values(400 * 400);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<double>(i) * 0.5 - 7.0;
  GrayImage image;
  g_largest_request = 0;
  EXPECT_EQ(load_through_fifo(header(400, 400) + doubles(values),
                              [&](const std::string& p) { image = load_image_binary(p); }),
            "no exception");
  EXPECT_EQ(image.width, 400);
  EXPECT_EQ(image.pixels, values);
  // The allocation probe sees the storage that really was needed.
  EXPECT_GE(g_largest_request.load(), values.size() * sizeof(double));
}

TEST_F(PipeInput, HugeHeaderWithShortDataFailsWithinOneChunk) {
  // 40000 x 40000 announced: 12.8 GB of doubles, 1.6 GB of mask bytes.
  const std::string content = header(40000, 40000) + std::string(3000, 'a');
  g_largest_request = 0;
  EXPECT_EQ(load_through_fifo(content, [](const std::string& p) { load_image_binary(p); }),
            kTruncated);
  EXPECT_EQ(load_through_fifo(content, [](const std::string& p) { load_mask_binary(p); }),
            kTruncated);
  EXPECT_LE(g_largest_request.load(), 2 * kMiB);
}

TEST(RecordChecks, DimensionsFirstThenCountIn64Bits) {
  const std::string image_dims = "invalid_argument: Deformed image dimensions must be positive.";
  const std::string image_count =
      "invalid_argument: Deformed image pixel count does not match width*height.";
  const std::string mask_dims = "invalid_argument: ROI mask dimensions must be positive.";
  const std::string mask_count =
      "invalid_argument: ROI mask value count does not match width*height.";
  struct Case {
    std::int32_t width, height;
    std::size_t elements;
    std::string image_failure, mask_failure;
  };
  const Case cases[] = {
      {2, 3, 6, "no exception", "no exception"},
      {0, 3, 0, image_dims, mask_dims},
      {3, -1, 6, image_dims, mask_dims},
      {-2, -3, 6, image_dims, mask_dims},
      {2, 3, 5, image_count, mask_count},
      {2, 3, 7, image_count, mask_count},
      // 65536 * 65537 wraps to 65536 in 32 bits, 65536 * 65536 to 0.
      {65536, 65537, 65536, image_count, mask_count},
      {65536, 65536, 0, image_count, mask_count},
  };
  for (const Case& c : cases) {
    const GrayImage image{c.width, c.height, std::vector<double>(c.elements, 0.0)};
    const RoiMask mask{c.width, c.height, std::vector<std::uint8_t>(c.elements, 1)};
    EXPECT_EQ(failure_of([&] { validate_image(image, "Deformed image"); }), c.image_failure)
        << c.width << " x " << c.height << ", " << c.elements;
    EXPECT_EQ(failure_of([&] { validate_mask(mask); }), c.mask_failure)
        << c.width << " x " << c.height << ", " << c.elements;
  }
}

}  // namespace
}  // namespace dic2d
