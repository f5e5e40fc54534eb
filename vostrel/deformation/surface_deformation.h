#pragma once
// Strain of every face of a surface mesh whose vertices are given in a
// reference and in a deformed state.
//
//   faces (M, >= 3) int32: columns 0, 1, 2 are the vertex rows of face i
//   points_ref, points_def (N, >= 3) float64: x, y, z of each vertex
//   valid_faces (>= M) bool: false means face i is not evaluated
//
// Faces are independent of one another; compute_triangle_strain gives the
// kinematics of one face.

#include <cstddef>
#include <optional>

#include "vostrel/core/strided_view.h"
#include "vostrel/deformation/triangle_strain.h"

namespace vostrel {

struct SurfaceArrays {
  ArrayRef faces;
  ArrayRef points_ref;
  ArrayRef points_def;
  ArrayRef valid_faces;
};

class SurfaceMesh {
 public:
  // Creates the views of faces, points_ref, points_def (2 dimensions each)
  // and valid_faces (1), in that order, then refuses with
  // std::invalid_argument any mesh that would make a face read outside an
  // array: fewer than three columns, point arrays of different lengths, a
  // short valid_faces, or a vertex row outside points_ref (every face is
  // checked, flagged or not).
  explicit SurfaceMesh(const SurfaceArrays& arrays);

  std::ptrdiff_t face_count() const { return faces_.shape(0); }

  // The strain of face i, or nothing when the face is flagged invalid or
  // cannot be evaluated (see compute_triangle_strain).
  std::optional<TriangleStrain> face_strain(std::ptrdiff_t i) const;

 private:
  StridedView<std::int32_t, 2> faces_;
  StridedView<double, 2> points_ref_;
  StridedView<double, 2> points_def_;
  StridedView<bool, 1> valid_faces_;
};

}  // namespace vostrel
