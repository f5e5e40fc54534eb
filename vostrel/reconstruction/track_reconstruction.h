#pragma once
// 3D points from every observation of each track (all observations sharing a
// point identifier, any number of cameras), triangulated in the reference and
// in the deformed state from all views whose DIC sample is usable.
//
// Arguments 1 to 14 are those of the pair reconstruction (see
// pair_reconstruction.h). One result row per distinct identifier, ascending.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

namespace vostrel {

// Returns the twelve result arrays; rows that are not valid hold zero
// positions and, unless both triangulations succeeded, +inf errors.
pybind11::dict reconstruct_tracks(
    const pybind11::array_t<double>& K, const pybind11::array_t<double>& dist,
    const pybind11::array_t<double>& R, const pybind11::array_t<double>& t,
    const pybind11::array_t<std::int64_t>& point_indices,
    const pybind11::array_t<std::int32_t>& cam_indices, const pybind11::array_t<double>& uv,
    const pybind11::array_t<double>& dic_u, const pybind11::array_t<double>& dic_v,
    const pybind11::array_t<double>& dic_corrcoef, const pybind11::array_t<bool>& dic_valid,
    int reduced_height, int reduced_width, int subset_spacing, int min_views, double min_corrcoef,
    double max_reprojection_error_px, double scale);

}  // namespace vostrel
