#pragma once
// Reading a camera's reduced-grid DIC field at an arbitrary pixel.
//
// The four arrays are indexed [camera, row, column]. Grid node (row r,
// column col) lies at pixel (col · step, r · step), step = subset_spacing + 1.
// Border policy: bilinear interpolation between four usable nodes where they
// exist, otherwise the nearest node (halves rounded away from zero) if it is
// usable, otherwise an invalid sample. A position that is not finite, whose
// grid coordinate does not fit a 32-bit integer, or a non-positive step gives
// an invalid sample.

#include <pybind11/numpy.h>

#include <cstdint>

namespace vostrel {

struct DicSample {
  double u = 0.0;
  double v = 0.0;
  double corrcoef = 0.0;
  bool valid = false;
};

// Read-only views of the four per-camera fields with the grid they describe.
// Construction checks, in order: the number of dimensions of dic_u, dic_v,
// dic_corrcoef, dic_valid (3 each; ValueError text of the array views), that
// reduced_height and reduced_width are not negative, and that the last two
// extents of every array cover reduced_height × reduced_width.
// Hidden like the pybind11 view types it holds (GCC warns otherwise).
struct __attribute__((visibility("hidden"))) DicFields {
  DicFields(const pybind11::array_t<double>& dic_u, const pybind11::array_t<double>& dic_v,
            const pybind11::array_t<double>& dic_corrcoef, const pybind11::array_t<bool>& dic_valid,
            int reduced_height, int reduced_width, int subset_spacing);

  // Throws std::invalid_argument unless camera c lies within the first extent
  // of all four arrays; `label` names where c came from ("cam_a",
  // "cam_indices"), `observation` is its index in cam_indices or -1.
  void check_camera(std::int64_t c, const char* label, std::int64_t observation) const;

  pybind11::detail::unchecked_reference<double, 3> u;
  pybind11::detail::unchecked_reference<double, 3> v;
  pybind11::detail::unchecked_reference<double, 3> corrcoef;
  pybind11::detail::unchecked_reference<bool, 3> valid;
  int height;
  int width;
  double step;
};

// Samples camera c (already checked) at pixel (x_px, y_px). Interpolation
// needs all four nodes valid with their smallest coefficient not below
// min_corrcoef; the nearest node needs to be valid with min_corrcoef not
// greater than its coefficient.
DicSample sample_dic_field(const DicFields& fields, int c, double x_px, double y_px,
                           double min_corrcoef);

// Message of a camera index outside [0, extent) of the named array.
[[noreturn]] void throw_camera_out_of_range(std::int64_t c, const char* label,
                                            std::int64_t observation, pybind11::ssize_t extent,
                                            const char* array_name);

}  // namespace vostrel
