#include "vostrel/deformation/surface_deformation.h"

#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "vostrel/deformation/triangle_strain.h"

namespace py = pybind11;

namespace vostrel {

namespace {

constexpr double kFill = std::numeric_limits<double>::quiet_NaN();

[[noreturn]] void reject(const std::string& message) { throw std::invalid_argument(message); }

// The per-face loop indexes three columns of every 2-D input, M entries of
// valid_faces and the rows named by the faces; refuse any call that would make
// it read outside an array.
template <typename Faces, typename Points, typename Flags>
void check_extents(const Faces& faces, const Points& points_ref, const Points& points_def,
                   const Flags& valid_faces) {
  const py::ssize_t face_count = faces.shape(0);
  const py::ssize_t point_count = points_ref.shape(0);
  if (faces.shape(1) < 3) {
    reject("faces has " + std::to_string(faces.shape(1)) + " columns; expected at least 3");
  }
  if (points_ref.shape(1) < 3) {
    reject("points_ref has " + std::to_string(points_ref.shape(1)) +
           " columns; expected at least 3");
  }
  if (points_def.shape(1) < 3) {
    reject("points_def has " + std::to_string(points_def.shape(1)) +
           " columns; expected at least 3");
  }
  if (points_def.shape(0) != point_count) {
    reject("points_def has " + std::to_string(points_def.shape(0)) + " rows; expected " +
           std::to_string(point_count) + " as points_ref");
  }
  if (valid_faces.shape(0) < face_count) {
    reject("valid_faces has length " + std::to_string(valid_faces.shape(0)) +
           "; expected at least " + std::to_string(face_count) + " (the rows of faces)");
  }
  for (py::ssize_t i = 0; i < face_count; ++i) {
    for (py::ssize_t k = 0; k < 3; ++k) {
      const std::int32_t index = faces(i, k);
      if (index < 0 || index >= point_count) {
        reject("faces[" + std::to_string(i) + ", " + std::to_string(k) +
               "] = " + std::to_string(index) + " is outside [0, " + std::to_string(point_count) +
               ") of points_ref");
      }
    }
  }
}

template <typename Points>
TriangleVertices read_triangle(const Points& points, const std::array<std::int32_t, 3>& rows) {
  TriangleVertices triangle{};
  for (std::size_t v = 0; v < 3; ++v) {
    for (py::ssize_t k = 0; k < 3; ++k) {
      triangle.positions[v][static_cast<std::size_t>(k)] = points(rows[v], k);
    }
  }
  return triangle;
}

}  // namespace

py::dict compute_surface_deformation(const py::array_t<std::int32_t>& faces,
                                     const py::array_t<double>& points_ref,
                                     const py::array_t<double>& points_def,
                                     const py::array_t<bool>& valid_faces) {
  const auto faces_view = faces.unchecked<2>();
  const auto ref_view = points_ref.unchecked<2>();
  const auto def_view = points_def.unchecked<2>();
  const auto valid_view = valid_faces.unchecked<1>();
  check_extents(faces_view, ref_view, def_view, valid_view);

  const py::ssize_t m = faces_view.shape(0);
  py::array_t<double> Fmat({m, py::ssize_t{3}, py::ssize_t{3}});
  py::array_t<double> Cmat({m, py::ssize_t{3}, py::ssize_t{3}});
  py::array_t<double> Emat({m, py::ssize_t{3}, py::ssize_t{3}});
  py::array_t<double> emat({m, py::ssize_t{3}, py::ssize_t{3}});
  py::array_t<double> d3({m, py::ssize_t{3}});
  py::array_t<double> J(m);
  py::array_t<double> Emgn(m);
  py::array_t<double> emgn(m);
  py::array_t<double> Epc1(m);
  py::array_t<double> Epc2(m);
  py::array_t<double> epc1(m);
  py::array_t<double> epc2(m);
  py::array_t<double> EShearMax(m);
  py::array_t<double> eShearMax(m);
  py::array_t<double> Eeq(m);
  py::array_t<double> eeq(m);
  py::array_t<double> Area(m);
  py::array_t<double> Lambda1(m);
  py::array_t<double> Lambda2(m);
  py::array_t<bool> valid_strain_faces(m);

  auto F_out = Fmat.mutable_unchecked<3>();
  auto C_out = Cmat.mutable_unchecked<3>();
  auto E_out = Emat.mutable_unchecked<3>();
  auto e_out = emat.mutable_unchecked<3>();
  auto d3_out = d3.mutable_unchecked<2>();
  auto J_out = J.mutable_unchecked<1>();
  auto Emgn_out = Emgn.mutable_unchecked<1>();
  auto emgn_out = emgn.mutable_unchecked<1>();
  auto Epc1_out = Epc1.mutable_unchecked<1>();
  auto Epc2_out = Epc2.mutable_unchecked<1>();
  auto epc1_out = epc1.mutable_unchecked<1>();
  auto epc2_out = epc2.mutable_unchecked<1>();
  auto EShearMax_out = EShearMax.mutable_unchecked<1>();
  auto eShearMax_out = eShearMax.mutable_unchecked<1>();
  auto Eeq_out = Eeq.mutable_unchecked<1>();
  auto eeq_out = eeq.mutable_unchecked<1>();
  auto Area_out = Area.mutable_unchecked<1>();
  auto Lambda1_out = Lambda1.mutable_unchecked<1>();
  auto Lambda2_out = Lambda2.mutable_unchecked<1>();
  auto valid_out = valid_strain_faces.mutable_unchecked<1>();

  for (py::ssize_t i = 0; i < m; ++i) {
    for (py::ssize_t r = 0; r < 3; ++r) {
      for (py::ssize_t c = 0; c < 3; ++c) {
        F_out(i, r, c) = kFill;
        C_out(i, r, c) = kFill;
        E_out(i, r, c) = kFill;
        e_out(i, r, c) = kFill;
      }
      d3_out(i, r) = kFill;
    }
    J_out(i) = kFill;
    Emgn_out(i) = kFill;
    emgn_out(i) = kFill;
    Epc1_out(i) = kFill;
    Epc2_out(i) = kFill;
    epc1_out(i) = kFill;
    epc2_out(i) = kFill;
    EShearMax_out(i) = kFill;
    eShearMax_out(i) = kFill;
    Eeq_out(i) = kFill;
    eeq_out(i) = kFill;
    Area_out(i) = kFill;
    Lambda1_out(i) = kFill;
    Lambda2_out(i) = kFill;
    valid_out(i) = false;

    if (!valid_view(i)) continue;
    const std::array<std::int32_t, 3> rows = {faces_view(i, 0), faces_view(i, 1), faces_view(i, 2)};
    const std::optional<TriangleStrain> strain =
        compute_triangle_strain(read_triangle(ref_view, rows), read_triangle(def_view, rows));
    if (!strain) continue;

    for (py::ssize_t r = 0; r < 3; ++r) {
      for (py::ssize_t c = 0; c < 3; ++c) {
        const auto k = static_cast<std::size_t>(3 * r + c);
        F_out(i, r, c) = strain->deformation_gradient[k];
        C_out(i, r, c) = strain->right_cauchy_green[k];
        E_out(i, r, c) = strain->green_lagrange[k];
        e_out(i, r, c) = strain->euler_almansi[k];
      }
      d3_out(i, r) = strain->deformed_normal[static_cast<std::size_t>(r)];
    }
    J_out(i) = strain->jacobian;
    Emgn_out(i) = strain->green_lagrange_norm;
    emgn_out(i) = strain->euler_almansi_norm;
    Epc1_out(i) = strain->green_lagrange_principal_min;
    Epc2_out(i) = strain->green_lagrange_principal_max;
    epc1_out(i) = strain->euler_almansi_principal_min;
    epc2_out(i) = strain->euler_almansi_principal_max;
    EShearMax_out(i) = strain->green_lagrange_shear_max;
    eShearMax_out(i) = strain->euler_almansi_shear_max;
    Eeq_out(i) = strain->green_lagrange_equivalent;
    eeq_out(i) = strain->euler_almansi_equivalent;
    Area_out(i) = strain->reference_area;
    Lambda1_out(i) = strain->stretch_min;
    Lambda2_out(i) = strain->stretch_max;
    valid_out(i) = true;
  }

  py::dict result;
  result["Fmat"] = Fmat;
  result["Cmat"] = Cmat;
  result["J"] = J;
  result["Emat"] = Emat;
  result["emat"] = emat;
  result["Emgn"] = Emgn;
  result["emgn"] = emgn;
  result["Epc1"] = Epc1;
  result["Epc2"] = Epc2;
  result["epc1"] = epc1;
  result["epc2"] = epc2;
  result["EShearMax"] = EShearMax;
  result["eShearMax"] = eShearMax;
  result["Eeq"] = Eeq;
  result["eeq"] = eeq;
  result["Area"] = Area;
  result["d3"] = d3;
  result["Lambda1"] = Lambda1;
  result["Lambda2"] = Lambda2;
  result["valid_strain_faces"] = valid_strain_faces;
  return result;
}

}  // namespace vostrel
