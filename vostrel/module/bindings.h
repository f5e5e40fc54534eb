#pragma once
// The module's three functions as Python sees them: typed arrays and numbers
// in (converted by pybind11 with forced casting), the kernels called on plain
// strided views of those arrays, a new dict of new arrays out. The lens model
// name is checked before any array is looked at.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace vostrel::binding {

pybind11::dict reconstruct_tracks(
    const pybind11::array_t<double>& K, const pybind11::array_t<double>& dist,
    const pybind11::array_t<double>& R, const pybind11::array_t<double>& t,
    const pybind11::array_t<std::int64_t>& point_indices,
    const pybind11::array_t<std::int32_t>& cam_indices, const pybind11::array_t<double>& uv,
    const pybind11::array_t<double>& dic_u, const pybind11::array_t<double>& dic_v,
    const pybind11::array_t<double>& dic_corrcoef, const pybind11::array_t<bool>& dic_valid,
    int reduced_height, int reduced_width, int subset_spacing, int min_views, double min_corrcoef,
    double max_reprojection_error_px, double scale, const std::string& distortion_model);

pybind11::dict reconstruct_pair_surface_points(
    const pybind11::array_t<double>& K, const pybind11::array_t<double>& dist,
    const pybind11::array_t<double>& R, const pybind11::array_t<double>& t,
    const pybind11::array_t<std::int64_t>& point_indices,
    const pybind11::array_t<std::int32_t>& cam_indices, const pybind11::array_t<double>& uv,
    const pybind11::array_t<double>& dic_u, const pybind11::array_t<double>& dic_v,
    const pybind11::array_t<double>& dic_corrcoef, const pybind11::array_t<bool>& dic_valid,
    int reduced_height, int reduced_width, int subset_spacing, int cam_a, int cam_b,
    double min_corrcoef, double max_reprojection_error_px, double scale,
    const std::string& distortion_model);

pybind11::dict compute_surface_deformation(const pybind11::array_t<std::int32_t>& faces,
                                           const pybind11::array_t<double>& points_ref,
                                           const pybind11::array_t<double>& points_def,
                                           const pybind11::array_t<bool>& valid_faces);

}  // namespace vostrel::binding
