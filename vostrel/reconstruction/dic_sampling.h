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

#include <cstdint>

#include "vostrel/core/strided_view.h"

namespace vostrel {

struct DicSample {
  double u = 0.0;
  double v = 0.0;
  double corrcoef = 0.0;
  bool valid = false;
};

// The four per-camera fields as the caller gave them, with the grid they
// describe; nothing is checked until DicFields is made from them.
struct DicFieldArrays {
  ArrayRef u;         // x displacement, pixels
  ArrayRef v;         // y displacement, pixels
  ArrayRef corrcoef;  // correlation coefficient
  ArrayRef valid;     // bool: the node has a solution
  int reduced_height = 0;
  int reduced_width = 0;
  int subset_spacing = 0;
};

// Views of the four fields. Construction checks, in order: the number of
// dimensions of u, v, corrcoef, valid (3 each), that reduced_height and
// reduced_width are not negative, and that the last two extents of every
// array cover reduced_height × reduced_width (std::invalid_argument naming
// the array as dic_u, dic_v, dic_corrcoef or dic_valid).
struct DicFields {
  explicit DicFields(const DicFieldArrays& arrays);

  // Throws std::invalid_argument unless camera c lies within the first extent
  // of all four arrays; `label` names where c came from ("cam_a",
  // "cam_indices"), `observation` is its index in cam_indices or -1.
  void check_camera(std::int64_t c, const char* label, std::int64_t observation) const;

  StridedView<double, 3> u;
  StridedView<double, 3> v;
  StridedView<double, 3> corrcoef;
  StridedView<bool, 3> valid;
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

}  // namespace vostrel
