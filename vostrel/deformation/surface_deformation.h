#pragma once
// Per-triangle deformation gradient and strain measures of a surface mesh.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

namespace vostrel {

// faces (M, >=3) int32 vertex rows; points_ref, points_def (N, >=3) float64;
// valid_faces (>=M) bool. Returns the twenty per-face arrays in key order.
pybind11::dict compute_surface_deformation(const pybind11::array_t<std::int32_t>& faces,
                                           const pybind11::array_t<double>& points_ref,
                                           const pybind11::array_t<double>& points_def,
                                           const pybind11::array_t<bool>& valid_faces);

}  // namespace vostrel
