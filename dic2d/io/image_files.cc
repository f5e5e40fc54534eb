#include "dic2d/io/image_files.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace dic2d {

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the binary files are little-endian and are read in place");

constexpr const char* kTruncated = "Input binary file is truncated.";

// Upper bound of one read from a stream whose length is unknown (a pipe):
// storage grows only after the bytes have actually arrived.
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;

bool is_directory(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_directory(path, ec);
}

std::int32_t read_int32(std::ifstream& in) {
  std::array<unsigned char, 4> bytes{};
  if (!in.read(reinterpret_cast<char*>(bytes.data()), 4)) throw std::runtime_error(kTruncated);
  const std::uint32_t raw = std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) |
                            (std::uint32_t{bytes[2]} << 16) | (std::uint32_t{bytes[3]} << 24);
  std::int32_t value = 0;
  std::memcpy(&value, &raw, sizeof value);
  return value;
}

// Bytes left between the current position and the end of a seekable
// stream, or -1 when the stream cannot tell (pipes, character devices).
std::int64_t remaining_bytes(std::ifstream& in) {
  const std::streampos here = in.tellg();
  if (here == std::streampos(-1)) {
    in.clear();
    return -1;
  }
  if (!in.seekg(0, std::ios::end)) {
    in.clear();
    in.seekg(here);
    return -1;
  }
  const std::streampos end = in.tellg();
  in.seekg(here);
  if (end == std::streampos(-1) || !in) {
    in.clear();
    in.seekg(here);
    return -1;
  }
  return static_cast<std::int64_t>(end - here);
}

// Reads `count` elements of type T (count already known to be within
// vector::max_size) without allocating more than the stream delivers.
template <typename T>
void read_elements(std::ifstream& in, std::int64_t count, std::vector<T>& out) {
  if (count == 0) return;
  const std::int64_t want_bytes = count * static_cast<std::int64_t>(sizeof(T));
  const std::int64_t available = remaining_bytes(in);
  if (available >= 0) {
    if (available < want_bytes) throw std::runtime_error(kTruncated);
    out.resize(static_cast<std::size_t>(count));
    if (!in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(want_bytes))) {
      throw std::runtime_error(kTruncated);
    }
    return;
  }
  // Unknown length: read bounded chunks into a fixed buffer and append.
  constexpr std::size_t chunk_elements = kChunkBytes / sizeof(T);
  std::vector<T> chunk(chunk_elements);
  std::int64_t left = count;
  while (left > 0) {
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::int64_t>(left, static_cast<std::int64_t>(chunk_elements)));
    if (!in.read(reinterpret_cast<char*>(chunk.data()),
                 static_cast<std::streamsize>(n * sizeof(T)))) {
      throw std::runtime_error(kTruncated);
    }
    out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    left -= static_cast<std::int64_t>(n);
  }
}

template <typename Record, typename T>
Record load_binary(const std::string& path, const char* open_failure,
                   std::vector<T> Record::*storage) {
  const std::string open_message = open_failure + path;
  // A directory opens as a stream on Linux but has no bytes to give.
  if (is_directory(path)) throw std::runtime_error(open_message);
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw std::runtime_error(open_message);

  Record record;
  record.width = read_int32(in);
  record.height = read_int32(in);
  const std::int64_t count = std::int64_t{record.width} * std::int64_t{record.height};
  if (count < 0 || static_cast<std::uint64_t>(count) >
                       static_cast<std::uint64_t>((record.*storage).max_size())) {
    throw std::length_error("vector::_M_default_append");
  }
  read_elements(in, count, record.*storage);
  return record;
}

}  // namespace

GrayImage load_image_binary(const std::string& path) {
  return load_binary(path, "Could not open image binary: ", &GrayImage::pixels);
}

RoiMask load_mask_binary(const std::string& path) {
  return load_binary(path, "Could not open mask binary: ", &RoiMask::values);
}

void validate_image(const GrayImage& image, const std::string& label) {
  if (image.width <= 0 || image.height <= 0) {
    throw std::invalid_argument(label + " dimensions must be positive.");
  }
  const std::int64_t count = std::int64_t{image.width} * std::int64_t{image.height};
  if (static_cast<std::uint64_t>(count) != image.pixels.size()) {
    throw std::invalid_argument(label + " pixel count does not match width*height.");
  }
}

void validate_mask(const RoiMask& mask) {
  if (mask.width <= 0 || mask.height <= 0) {
    throw std::invalid_argument("ROI mask dimensions must be positive.");
  }
  const std::int64_t count = std::int64_t{mask.width} * std::int64_t{mask.height};
  if (static_cast<std::uint64_t>(count) != mask.values.size()) {
    throw std::invalid_argument("ROI mask value count does not match width*height.");
  }
}

}  // namespace dic2d
