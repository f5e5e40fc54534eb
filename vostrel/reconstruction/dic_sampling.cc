#include "vostrel/reconstruction/dic_sampling.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include "vostrel/reconstruction/camera_index.h"

namespace vostrel {

namespace {

void check_extents(const char* name, std::ptrdiff_t rows, std::ptrdiff_t cols, int height,
                   int width) {
  if (rows < height || cols < width) {
    throw std::invalid_argument(std::string(name) + " has grid extents " + std::to_string(rows) +
                                " x " + std::to_string(cols) + "; expected at least " +
                                std::to_string(height) + " x " + std::to_string(width));
  }
}

void check_not_negative(const char* name, int value) {
  if (value < 0) {
    throw std::invalid_argument(std::string(name) + " = " + std::to_string(value) + " is negative");
  }
}

// Grid coordinates are taken only strictly inside the int32 range, so that
// floor, rounding and the "+ 1" neighbour stay representable.
bool fits_int32(double g) { return g > -2147483648.0 && g < 2147483647.0; }

}  // namespace

DicFields::DicFields(const DicFieldArrays& arrays)
    : u(arrays.u),
      v(arrays.v),
      corrcoef(arrays.corrcoef),
      valid(arrays.valid),
      height(arrays.reduced_height),
      width(arrays.reduced_width),
      step(static_cast<double>(arrays.subset_spacing) + 1.0) {
  check_not_negative("reduced_height", height);
  check_not_negative("reduced_width", width);
  check_extents("dic_u", u.shape(1), u.shape(2), height, width);
  check_extents("dic_v", v.shape(1), v.shape(2), height, width);
  check_extents("dic_corrcoef", corrcoef.shape(1), corrcoef.shape(2), height, width);
  check_extents("dic_valid", valid.shape(1), valid.shape(2), height, width);
}

void DicFields::check_camera(std::int64_t c, const char* label, std::int64_t observation) const {
  if (c < 0 || c >= u.shape(0))
    throw_camera_out_of_range(c, label, observation, u.shape(0), "dic_u");
  if (c >= v.shape(0)) throw_camera_out_of_range(c, label, observation, v.shape(0), "dic_v");
  if (c >= corrcoef.shape(0)) {
    throw_camera_out_of_range(c, label, observation, corrcoef.shape(0), "dic_corrcoef");
  }
  if (c >= valid.shape(0)) {
    throw_camera_out_of_range(c, label, observation, valid.shape(0), "dic_valid");
  }
}

DicSample sample_dic_field(const DicFields& f, int c, double x_px, double y_px,
                           double min_corrcoef) {
  DicSample sample;
  if (!(f.step > 0.0)) return sample;
  const double gx = x_px / f.step;
  const double gy = y_px / f.step;
  if (!fits_int32(gx) || !fits_int32(gy)) return sample;

  const int c0 = static_cast<int>(std::floor(gx));
  const int r0 = static_cast<int>(std::floor(gy));
  if (c0 >= 0 && r0 >= 0 && static_cast<std::int64_t>(c0) + 1 < f.width &&
      static_cast<std::int64_t>(r0) + 1 < f.height && f.valid(c, r0, c0) &&
      f.valid(c, r0, c0 + 1) && f.valid(c, r0 + 1, c0) && f.valid(c, r0 + 1, c0 + 1)) {
    const double c00 = f.corrcoef(c, r0, c0);
    const double c01 = f.corrcoef(c, r0, c0 + 1);
    const double c10 = f.corrcoef(c, r0 + 1, c0);
    const double c11 = f.corrcoef(c, r0 + 1, c0 + 1);
    const double lowest = std::min(std::min(std::min(c00, c01), c10), c11);
    if (!(lowest < min_corrcoef)) {
      const double fx = gx - c0;
      const double fy = gy - r0;
      const double w00 = (1.0 - fx) * (1.0 - fy);
      const double w01 = fx * (1.0 - fy);
      const double w10 = (1.0 - fx) * fy;
      const double w11 = fx * fy;
      sample.u = w00 * f.u(c, r0, c0) + w01 * f.u(c, r0, c0 + 1) + w10 * f.u(c, r0 + 1, c0) +
                 w11 * f.u(c, r0 + 1, c0 + 1);
      sample.v = w00 * f.v(c, r0, c0) + w01 * f.v(c, r0, c0 + 1) + w10 * f.v(c, r0 + 1, c0) +
                 w11 * f.v(c, r0 + 1, c0 + 1);
      sample.corrcoef = w00 * c00 + w01 * c01 + w10 * c10 + w11 * c11;
      sample.valid = true;
      return sample;
    }
  }

  const int col = static_cast<int>(std::round(gx));
  const int row = static_cast<int>(std::round(gy));
  if (col >= 0 && row >= 0 && col < f.width && row < f.height && f.valid(c, row, col)) {
    const double cc = f.corrcoef(c, row, col);
    if (!(min_corrcoef > cc)) {
      sample.u = f.u(c, row, col);
      sample.v = f.v(c, row, col);
      sample.corrcoef = cc;
      sample.valid = true;
    }
  }
  return sample;
}

}  // namespace vostrel
