#include "dic2d/io/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace dic2d {

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the output binary is little-endian and is written from memory in place");

// Cell index of every reference grid point in the reduced grid, or -1 for a
// point whose cell lies outside it. Points are rounded half away from zero
// and divided by the pitch with truncation toward zero.
std::vector<std::int64_t> cell_indices(const DicResult& result, std::int64_t step) {
  const std::int64_t width = result.reduced_width;
  const std::int64_t height = result.reduced_height;
  // Beyond this magnitude a rounded coordinate divided by any 32-bit pitch
  // is still far outside a 32-bit grid; below it llround is exact and safe.
  constexpr double kLimit = 4.0e18;
  const auto cell_coordinate = [step](double value, std::int64_t extent) -> std::int64_t {
    if (!(std::fabs(value) < kLimit)) return -1;
    const std::int64_t g = std::llround(value) / step;
    return (g < 0 || g >= extent) ? -1 : g;
  };
  std::vector<std::int64_t> cells(result.reference_grid_points.size(), -1);
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const Point2& p = result.reference_grid_points[i];
    const std::int64_t gx = cell_coordinate(p[0], width);
    const std::int64_t gy = cell_coordinate(p[1], height);
    if (gx >= 0 && gy >= 0) cells[i] = gx * height + gy;
  }
  return cells;
}

void check_result_arrays(const DicResult& result) {
  const std::size_t n = result.reference_grid_points.size();
  const PointFields& f = result.fields;
  const bool consistent = f.deformed_points.size() == n && f.u.size() == n && f.v.size() == n &&
                          f.du_dx.size() == n && f.du_dy.size() == n && f.dv_dx.size() == n &&
                          f.dv_dy.size() == n && f.corrcoef.size() == n && f.valid.size() == n;
  if (!consistent) {
    throw std::invalid_argument("DicResult per-point arrays differ in length.");
  }
}

bool write_all(std::FILE* file, const void* data, std::size_t bytes) {
  return bytes == 0 || std::fwrite(data, 1, bytes, file) == bytes;
}

// Writes the whole file body; returns false on the first failed write.
bool write_body(std::FILE* file, const DicResult& result, const std::vector<std::int64_t>& cells,
                std::vector<double>& field, std::vector<std::uint8_t>& flags) {
  const std::array<std::int32_t, 2> header{result.reduced_width, result.reduced_height};
  if (!write_all(file, header.data(), sizeof header)) return false;

  const std::size_t n = cells.size();
  const auto write_field = [&](auto value_of) {
    std::fill(field.begin(), field.end(), 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      if (cells[i] >= 0) field[static_cast<std::size_t>(cells[i])] = value_of(i);
    }
    return write_all(file, field.data(), field.size() * sizeof(double));
  };
  const bool fields_ok =
      write_field([&](std::size_t i) { return result.reference_grid_points[i][0]; }) &&
      write_field([&](std::size_t i) { return result.reference_grid_points[i][1]; }) &&
      write_field([&](std::size_t i) { return result.fields.deformed_points[i][0]; }) &&
      write_field([&](std::size_t i) { return result.fields.deformed_points[i][1]; }) &&
      write_field([&](std::size_t i) { return result.fields.u[i]; }) &&
      write_field([&](std::size_t i) { return result.fields.v[i]; }) &&
      write_field([&](std::size_t i) { return result.fields.du_dx[i]; }) &&
      write_field([&](std::size_t i) { return result.fields.du_dy[i]; }) &&
      write_field([&](std::size_t i) { return result.fields.dv_dx[i]; }) &&
      write_field([&](std::size_t i) { return result.fields.dv_dy[i]; }) &&
      write_field([&](std::size_t i) { return result.fields.corrcoef[i]; });
  if (!fields_ok) return false;

  for (std::size_t i = 0; i < n; ++i) {
    if (cells[i] >= 0) flags[static_cast<std::size_t>(cells[i])] = result.fields.valid[i];
  }
  return write_all(file, flags.data(), flags.size());
}

// Flushes and closes; false when either reports an error.
bool finish(std::FILE* file) {
  const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
  const bool closed = std::fclose(file) == 0;
  return flushed && closed;
}

// Removes the temporary file unless the rename took it over.
struct TempFileGuard {
  std::string path;
  bool armed = true;
  ~TempFileGuard() {
    if (armed) ::unlink(path.c_str());
  }
};

std::uint64_t next_temp_counter() {
  static std::uint64_t counter = 0;
  return counter++;
}

}  // namespace

void write_output_binary(const std::string& path, const DicResult& result,
                         std::int32_t subset_spacing) {
  const std::string open_failure = "Could not open output binary: " + path;
  const std::string write_failure = "Failed while writing output binary: " + path;

  check_result_arrays(result);
  const std::int64_t step = std::int64_t{subset_spacing} + 1;
  if (step == 0) throw std::invalid_argument("subset_spacing must be non-negative.");
  if (result.reduced_width < 0 || result.reduced_height < 0) {
    throw std::length_error("vector::_M_default_append");
  }
  const std::int64_t cell_count =
      std::int64_t{result.reduced_width} * std::int64_t{result.reduced_height};

  // All storage is in place before any file is touched.
  const std::vector<std::int64_t> cells = cell_indices(result, step);
  std::vector<double> field(static_cast<std::size_t>(cell_count));
  std::vector<std::uint8_t> flags(static_cast<std::size_t>(cell_count), 0);

  // An empty name names no file; without this the temporary file would be
  // created in the working directory and only the rename would fail.
  if (path.empty()) throw std::runtime_error(open_failure);

  // The target, through a symbolic link to a regular file if there is one.
  std::string target = path;
  struct stat target_stat {};
  const bool target_exists = ::stat(path.c_str(), &target_stat) == 0;
  if (target_exists && !S_ISREG(target_stat.st_mode)) {
    // Devices and FIFOs cannot be replaced by a rename: write them directly.
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw std::runtime_error(open_failure);
    const bool body_ok = write_body(file, result, cells, field, flags);
    if (!finish(file) || !body_ok) throw std::runtime_error(write_failure);
    return;
  }
  if (target_exists) {
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
      target = resolved;
      std::free(resolved);
    }
  }

  // Exclusively created temporary file beside the target, renamed over it
  // only once every byte is on disk, so a failure never damages an earlier
  // file. Its name does not grow with the target's, so a target whose name
  // is near the file-name length limit can still be written.
  const std::string directory = target.substr(0, target.rfind('/') + 1);
  TempFileGuard guard;
  int fd = -1;
  for (int attempt = 0; attempt < 64 && fd < 0; ++attempt) {
    guard.path = directory + ".dic2d-output-" + std::to_string(::getpid()) + "-" +
                 std::to_string(next_temp_counter());
    fd = ::open(guard.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    guard.armed = false;
    throw std::runtime_error(open_failure);
  }
  if (target_exists) ::fchmod(fd, target_stat.st_mode & 07777);
  std::FILE* file = ::fdopen(fd, "wb");
  if (file == nullptr) {
    ::close(fd);
    throw std::runtime_error(open_failure);
  }
  const bool body_ok = write_body(file, result, cells, field, flags);
  if (!finish(file) || !body_ok) throw std::runtime_error(write_failure);
  if (std::rename(guard.path.c_str(), target.c_str()) != 0) {
    throw std::runtime_error(write_failure);
  }
  guard.armed = false;
}

}  // namespace dic2d
