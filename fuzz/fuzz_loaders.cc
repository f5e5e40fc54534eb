// Fuzzes the image and mask loaders and their record checks with arbitrary
// file contents. The bytes are placed in an anonymous in-memory file and
// opened through /proc/self/fd, so no disk file is involved.
//
// Every outcome is predicted from the bytes alone: the header decides
// between truncation, an unrepresentable count and a successful load, and a
// loaded record must hold exactly the announced values.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "dic2d/io/image_files.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_loaders: %s: %s\n", what, detail.c_str());
  std::abort();
}

const std::string& memfd_path() {
  static const std::string path = [] {
    const int fd = ::memfd_create("fuzz_loaders", MFD_CLOEXEC);
    if (fd < 0) fail("memfd_create", "failed");
    return "/proc/self/fd/" + std::to_string(fd);
  }();
  return path;
}

int memfd() { return std::atoi(memfd_path().c_str() + std::strlen("/proc/self/fd/")); }

void store(const std::uint8_t* data, std::size_t size) {
  const int fd = memfd();
  if (::ftruncate(fd, 0) != 0) fail("ftruncate", "failed");
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done));
    if (n <= 0) fail("pwrite", "failed");
    done += static_cast<std::size_t>(n);
  }
}

std::int32_t le32(const std::uint8_t* p) {
  const std::uint32_t raw = std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) |
                            (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
  std::int32_t value = 0;
  std::memcpy(&value, &raw, sizeof value);
  return value;
}

struct Expectation {
  std::string error;  // empty: loads
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int64_t count = 0;
};

Expectation expect(const std::uint8_t* data, std::size_t size, std::size_t element_size,
                   std::uint64_t max_elements) {
  Expectation e;
  if (size < 8) {
    e.error = "Input binary file is truncated.";
    return e;
  }
  e.width = le32(data);
  e.height = le32(data + 4);
  e.count = std::int64_t{e.width} * std::int64_t{e.height};
  if (e.count < 0 || static_cast<std::uint64_t>(e.count) > max_elements) {
    e.error = "vector::_M_default_append";
  } else if (static_cast<std::uint64_t>(size - 8) / element_size <
             static_cast<std::uint64_t>(e.count)) {
    e.error = "Input binary file is truncated.";
  }
  return e;
}

template <typename Record, typename T>
void check_load(const char* kind, Record (*load)(const std::string&),
                std::vector<T> Record::*values, const std::uint8_t* data, std::size_t size) {
  const Expectation e = expect(data, size, sizeof(T), std::vector<T>().max_size());
  try {
    const Record record = load(memfd_path());
    if (!e.error.empty()) fail(kind, "loaded, expected " + e.error);
    if (record.width != e.width || record.height != e.height) fail(kind, "header differs");
    const std::vector<T>& v = record.*values;
    if (static_cast<std::int64_t>(v.size()) != e.count) fail(kind, "value count differs");
    if (!v.empty() && std::memcmp(v.data(), data + 8, v.size() * sizeof(T)) != 0) {
      fail(kind, "values differ from the file");
    }
  } catch (const std::length_error& ex) {
    if (e.error != ex.what()) fail(kind, std::string("length_error ") + ex.what());
  } catch (const std::runtime_error& ex) {
    if (e.error != ex.what()) fail(kind, std::string("runtime_error ") + ex.what());
  }
}

void check_validation(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return;
  const std::int32_t w = le32(data);
  const std::int32_t h = le32(data + 4);
  const bool positive = w > 0 && h > 0;
  const std::int64_t count = positive ? std::int64_t{w} * h : 0;
  // Records with any value count, as a caller might hand them over.
  const std::size_t held = (size - 8) % 4096;
  dic2d::GrayImage image{w, h, std::vector<double>(held / 8)};
  dic2d::RoiMask mask{w, h, std::vector<std::uint8_t>(held)};
  const auto verdict = [&](auto check, std::size_t n, const std::string& dims,
                           const std::string& counts) {
    std::string got;
    try {
      check();
    } catch (const std::invalid_argument& ex) {
      got = ex.what();
    }
    const std::string want =
        !positive ? dims : (static_cast<std::int64_t>(n) != count ? counts : std::string());
    if (got != want) fail("validation", "'" + got + "' instead of '" + want + "'");
  };
  verdict([&] { dic2d::validate_image(image, "Deformed image"); }, image.pixels.size(),
          "Deformed image dimensions must be positive.",
          "Deformed image pixel count does not match width*height.");
  verdict([&] { dic2d::validate_mask(mask); }, mask.values.size(),
          "ROI mask dimensions must be positive.",
          "ROI mask value count does not match width*height.");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  store(data, size);
  check_load<dic2d::GrayImage, double>("image", &dic2d::load_image_binary,
                                       &dic2d::GrayImage::pixels, data, size);
  check_load<dic2d::RoiMask, std::uint8_t>("mask", &dic2d::load_mask_binary,
                                           &dic2d::RoiMask::values, data, size);
  check_validation(data, size);
  return 0;
}
