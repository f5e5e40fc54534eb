#include "vostrel/deformation/surface_deformation.h"

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace vostrel {

namespace {

[[noreturn]] void reject(const std::string& message) { throw std::invalid_argument(message); }

TriangleVertices read_triangle(const StridedView<double, 2>& points,
                               const std::array<std::int32_t, 3>& rows) {
  TriangleVertices triangle{};
  for (std::size_t v = 0; v < 3; ++v) {
    for (std::size_t k = 0; k < 3; ++k) triangle.positions[v][k] = points(rows[v], k);
  }
  return triangle;
}

}  // namespace

SurfaceMesh::SurfaceMesh(const SurfaceArrays& arrays)
    : faces_(arrays.faces),
      points_ref_(arrays.points_ref),
      points_def_(arrays.points_def),
      valid_faces_(arrays.valid_faces) {
  const std::ptrdiff_t face_count = faces_.shape(0);
  const std::ptrdiff_t point_count = points_ref_.shape(0);
  if (faces_.shape(1) < 3) {
    reject("faces has " + std::to_string(faces_.shape(1)) + " columns; expected at least 3");
  }
  if (points_ref_.shape(1) < 3) {
    reject("points_ref has " + std::to_string(points_ref_.shape(1)) +
           " columns; expected at least 3");
  }
  if (points_def_.shape(1) < 3) {
    reject("points_def has " + std::to_string(points_def_.shape(1)) +
           " columns; expected at least 3");
  }
  if (points_def_.shape(0) != point_count) {
    reject("points_def has " + std::to_string(points_def_.shape(0)) + " rows; expected " +
           std::to_string(point_count) + " as points_ref");
  }
  if (valid_faces_.shape(0) < face_count) {
    reject("valid_faces has length " + std::to_string(valid_faces_.shape(0)) +
           "; expected at least " + std::to_string(face_count) + " (the rows of faces)");
  }
  for (std::ptrdiff_t i = 0; i < face_count; ++i) {
    for (std::ptrdiff_t k = 0; k < 3; ++k) {
      const std::int32_t index = faces_(i, k);
      if (index < 0 || index >= point_count) {
        reject("faces[" + std::to_string(i) + ", " + std::to_string(k) +
               "] = " + std::to_string(index) + " is outside [0, " + std::to_string(point_count) +
               ") of points_ref");
      }
    }
  }
}

std::optional<TriangleStrain> SurfaceMesh::face_strain(std::ptrdiff_t i) const {
  if (!valid_faces_(i)) return std::nullopt;
  const std::array<std::int32_t, 3> rows = {faces_(i, 0), faces_(i, 1), faces_(i, 2)};
  return compute_triangle_strain(read_triangle(points_ref_, rows),
                                 read_triangle(points_def_, rows));
}

}  // namespace vostrel
