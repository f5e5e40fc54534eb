// The native_vostrel module: its docstring and its three functions with
// their argument names, in the order Python lists them. pybind11 copies the
// function docstrings when it installs them.
#include <pybind11/pybind11.h>

#include "vostrel/module/bindings.h"
#include "vostrel/module/docstrings.h"

namespace py = pybind11;
namespace binding = vostrel::binding;

// The lens model is a keyword-only argument whose default, "radial2", is the
// two-coefficient model every call used before it existed.
//
// Plain PYBIND11_MODULE: multi-phase initialisation, and the module declares
// no support for sub-interpreters, so CPython refuses to load it in one.
PYBIND11_MODULE(native_vostrel, m) {
  m.doc() = "Native acceleration kernels for Orvalle vostrel.";

  m.def("reconstruct_tracks", &binding::reconstruct_tracks,
        binding::reconstruct_tracks_doc().c_str(), py::arg("K"), py::arg("dist"), py::arg("R"),
        py::arg("t"), py::arg("point_indices"), py::arg("cam_indices"), py::arg("uv"),
        py::arg("dic_u"), py::arg("dic_v"), py::arg("dic_corrcoef"), py::arg("dic_valid"),
        py::arg("reduced_height"), py::arg("reduced_width"), py::arg("subset_spacing"),
        py::arg("min_views"), py::arg("min_corrcoef"), py::arg("max_reprojection_error_px"),
        py::arg("scale"), py::kw_only(), py::arg("distortion_model") = "radial2");

  m.def("reconstruct_pair_surface_points", &binding::reconstruct_pair_surface_points,
        binding::reconstruct_pair_surface_points_doc().c_str(), py::arg("K"), py::arg("dist"),
        py::arg("R"), py::arg("t"), py::arg("point_indices"), py::arg("cam_indices"), py::arg("uv"),
        py::arg("dic_u"), py::arg("dic_v"), py::arg("dic_corrcoef"), py::arg("dic_valid"),
        py::arg("reduced_height"), py::arg("reduced_width"), py::arg("subset_spacing"),
        py::arg("cam_a"), py::arg("cam_b"), py::arg("min_corrcoef"),
        py::arg("max_reprojection_error_px"), py::arg("scale"), py::kw_only(),
        py::arg("distortion_model") = "radial2");

  m.def("compute_surface_deformation", &binding::compute_surface_deformation,
        binding::compute_surface_deformation_doc().c_str(), py::arg("faces"), py::arg("points_ref"),
        py::arg("points_def"), py::arg("valid_faces"));
}
