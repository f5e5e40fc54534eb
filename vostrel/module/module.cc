// Python bindings of the reconstruction and surface deformation kernels.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "vostrel/deformation/surface_deformation.h"
#include "vostrel/reconstruction/pair_reconstruction.h"
#include "vostrel/reconstruction/track_reconstruction.h"

namespace py = pybind11;

// Plain PYBIND11_MODULE: multi-phase initialisation, and the module declares
// no support for sub-interpreters, so CPython refuses to load it in one.
PYBIND11_MODULE(native_vostrel, m) {
  m.doc() = "Native acceleration kernels for Orvalle vostrel.";

  m.def("reconstruct_tracks", &vostrel::reconstruct_tracks, py::arg("K"), py::arg("dist"),
        py::arg("R"), py::arg("t"), py::arg("point_indices"), py::arg("cam_indices"), py::arg("uv"),
        py::arg("dic_u"), py::arg("dic_v"), py::arg("dic_corrcoef"), py::arg("dic_valid"),
        py::arg("reduced_height"), py::arg("reduced_width"), py::arg("subset_spacing"),
        py::arg("min_views"), py::arg("min_corrcoef"), py::arg("max_reprojection_error_px"),
        py::arg("scale"));

  m.def("reconstruct_pair_surface_points", &vostrel::reconstruct_pair_surface_points, py::arg("K"),
        py::arg("dist"), py::arg("R"), py::arg("t"), py::arg("point_indices"),
        py::arg("cam_indices"), py::arg("uv"), py::arg("dic_u"), py::arg("dic_v"),
        py::arg("dic_corrcoef"), py::arg("dic_valid"), py::arg("reduced_height"),
        py::arg("reduced_width"), py::arg("subset_spacing"), py::arg("cam_a"), py::arg("cam_b"),
        py::arg("min_corrcoef"), py::arg("max_reprojection_error_px"), py::arg("scale"));

  m.def("compute_surface_deformation", &vostrel::compute_surface_deformation, py::arg("faces"),
        py::arg("points_ref"), py::arg("points_def"), py::arg("valid_faces"));
}
