#include "vostrel/module/bindings.h"

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "vostrel/core/strided_view.h"
#include "vostrel/deformation/surface_deformation.h"
#include "vostrel/module/output_table.h"
#include "vostrel/reconstruction/dic_sampling.h"
#include "vostrel/reconstruction/observations.h"
#include "vostrel/reconstruction/pair_reconstruction.h"
#include "vostrel/reconstruction/track_reconstruction.h"

namespace py = pybind11;

namespace vostrel::binding {

namespace {

static_assert(std::is_same_v<py::ssize_t, std::ptrdiff_t>,
              "NumPy's extents and strides are read as std::ptrdiff_t");

// The array as it lies, its number of dimensions unchecked: the kernels make
// their views of it when they read it, in their own order.
ArrayRef array_ref(const py::array& a) {
  return {a.data(), static_cast<int>(a.ndim()), a.shape(), a.strides()};
}

Observations read_observations(const py::array_t<double>& K, const py::array_t<double>& dist,
                               const py::array_t<double>& R, const py::array_t<double>& t,
                               const py::array_t<std::int64_t>& point_indices,
                               const py::array_t<std::int32_t>& cam_indices,
                               const py::array_t<double>& uv, DistortionModel model) {
  return Observations({array_ref(K), array_ref(dist), array_ref(R), array_ref(t),
                       array_ref(point_indices), array_ref(cam_indices), array_ref(uv)},
                      model);
}

DicFieldArrays dic_field_arrays(const py::array_t<double>& dic_u, const py::array_t<double>& dic_v,
                                const py::array_t<double>& dic_corrcoef,
                                const py::array_t<bool>& dic_valid, int reduced_height,
                                int reduced_width, int subset_spacing) {
  return {array_ref(dic_u), array_ref(dic_v), array_ref(dic_corrcoef), array_ref(dic_valid),
          reduced_height,   reduced_width,    subset_spacing};
}

// "sfm" positions are in the calibration's frame and units; "world" ones are
// those multiplied by `scale`.
Vec3 scaled(const Vec3& v, double scale) { return {v[0] * scale, v[1] * scale, v[2] * scale}; }

Vec3 difference(const Vec3& to, const Vec3& from) {
  return {to[0] - from[0], to[1] - from[1], to[2] - from[2]};
}

double length(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

// A strain measure of a face, NaN in every element where the face has none.
template <typename V>
auto strain(V TriangleStrain::*measure) {
  return [measure](const std::optional<TriangleStrain>& face) {
    if (face) return (*face).*measure;
    constexpr double kFill = std::numeric_limits<double>::quiet_NaN();
    if constexpr (std::is_same_v<V, double>) {
      return kFill;
    } else {
      V filled;
      filled.fill(kFill);
      return filled;
    }
  };
}

}  // namespace

py::dict reconstruct_tracks(
    const py::array_t<double>& K, const py::array_t<double>& dist, const py::array_t<double>& R,
    const py::array_t<double>& t, const py::array_t<std::int64_t>& point_indices,
    const py::array_t<std::int32_t>& cam_indices, const py::array_t<double>& uv,
    const py::array_t<double>& dic_u, const py::array_t<double>& dic_v,
    const py::array_t<double>& dic_corrcoef, const py::array_t<bool>& dic_valid, int reduced_height,
    int reduced_width, int subset_spacing, int min_views, double min_corrcoef,
    double max_reprojection_error_px, double scale, const std::string& distortion_model) {
  const DistortionModel model = distortion_model_from_name(distortion_model);
  const Observations observations =
      read_observations(K, dist, R, t, point_indices, cam_indices, uv, model);
  // The records go straight into the result arrays, made at their final size
  // before the first track is reconstructed.
  const IdentifierTable tracks = group_tracks(observations);
  using P = TrackPoint;
  auto table = output_table<P>(
      static_cast<py::ssize_t>(count_tracks(tracks)), column("point_indices", &P::id),
      column("points_ref_sfm", &P::x_ref), column("points_def_sfm", &P::x_def),
      column("displacement_sfm", [](const P& p) { return difference(p.x_def, p.x_ref); }),
      column("points_ref_world", [scale](const P& p) { return scaled(p.x_ref, scale); }),
      column("points_def_world", [scale](const P& p) { return scaled(p.x_def, scale); }),
      column("displacement_world",
             [scale](const P& p) { return scaled(difference(p.x_def, p.x_ref), scale); }),
      column("num_views", &P::num_views), column("mean_corrcoef", &P::mean_corrcoef),
      column("reprojection_error_ref", &P::err_ref), column("reprojection_error_def", &P::err_def),
      column("valid", &P::valid));
  py::ssize_t row = 0;
  reconstruct_track_points(observations, tracks,
                           dic_field_arrays(dic_u, dic_v, dic_corrcoef, dic_valid, reduced_height,
                                            reduced_width, subset_spacing),
                           {min_views, min_corrcoef, max_reprojection_error_px},
                           [&table, &row](const P& point) { table.write(row++, point); });
  return std::move(table).dict();
}

py::dict reconstruct_pair_surface_points(
    const py::array_t<double>& K, const py::array_t<double>& dist, const py::array_t<double>& R,
    const py::array_t<double>& t, const py::array_t<std::int64_t>& point_indices,
    const py::array_t<std::int32_t>& cam_indices, const py::array_t<double>& uv,
    const py::array_t<double>& dic_u, const py::array_t<double>& dic_v,
    const py::array_t<double>& dic_corrcoef, const py::array_t<bool>& dic_valid, int reduced_height,
    int reduced_width, int subset_spacing, int cam_a, int cam_b, double min_corrcoef,
    double max_reprojection_error_px, double scale, const std::string& distortion_model) {
  const DistortionModel model = distortion_model_from_name(distortion_model);
  const Observations observations =
      read_observations(K, dist, R, t, point_indices, cam_indices, uv, model);
  const std::vector<PairPoint> points =
      reconstruct_pair_points(observations,
                              dic_field_arrays(dic_u, dic_v, dic_corrcoef, dic_valid,
                                               reduced_height, reduced_width, subset_spacing),
                              {cam_a, cam_b, min_corrcoef, max_reprojection_error_px});
  using P = PairPoint;
  const auto displacement_world = [scale](const P& p) {
    return scaled(difference(p.x_def, p.x_ref), scale);
  };
  return table_of(
      points, column("point_indices", &P::id), column("uv_ref_a", &P::uv_a),
      column("uv_ref_b", &P::uv_b), column("uv_def_a", &P::def_a), column("uv_def_b", &P::def_b),
      column("points_ref_sfm", &P::x_ref), column("points_def_sfm", &P::x_def),
      column("points_ref_world", [scale](const P& p) { return scaled(p.x_ref, scale); }),
      column("points_def_world", [scale](const P& p) { return scaled(p.x_def, scale); }),
      column("displacement_sfm", [](const P& p) { return difference(p.x_def, p.x_ref); }),
      column("displacement_world", displacement_world),
      column("displacement_norm_world",
             [displacement_world](const P& p) { return length(displacement_world(p)); }),
      column("corr_a", &P::corr_a), column("corr_b", &P::corr_b),
      column("corr_comb", &P::corr_comb), column("reprojection_error_ref", &P::err_ref),
      column("reprojection_error_def", &P::err_def), column("valid_points", &P::valid));
}

py::dict compute_surface_deformation(const py::array_t<std::int32_t>& faces,
                                     const py::array_t<double>& points_ref,
                                     const py::array_t<double>& points_def,
                                     const py::array_t<bool>& valid_faces) {
  const SurfaceMesh mesh(
      {array_ref(faces), array_ref(points_ref), array_ref(points_def), array_ref(valid_faces)});
  using S = TriangleStrain;
  auto table = output_table<std::optional<S>>(
      mesh.face_count(), column("Fmat", strain(&S::deformation_gradient)),
      column("Cmat", strain(&S::right_cauchy_green)), column("J", strain(&S::jacobian)),
      column("Emat", strain(&S::green_lagrange)), column("emat", strain(&S::euler_almansi)),
      column("Emgn", strain(&S::green_lagrange_norm)),
      column("emgn", strain(&S::euler_almansi_norm)),
      column("Epc1", strain(&S::green_lagrange_principal_min)),
      column("Epc2", strain(&S::green_lagrange_principal_max)),
      column("epc1", strain(&S::euler_almansi_principal_min)),
      column("epc2", strain(&S::euler_almansi_principal_max)),
      column("EShearMax", strain(&S::green_lagrange_shear_max)),
      column("eShearMax", strain(&S::euler_almansi_shear_max)),
      column("Eeq", strain(&S::green_lagrange_equivalent)),
      column("eeq", strain(&S::euler_almansi_equivalent)),
      column("Area", strain(&S::reference_area)), column("d3", strain(&S::deformed_normal)),
      column("Lambda1", strain(&S::stretch_min)), column("Lambda2", strain(&S::stretch_max)),
      column("valid_strain_faces", [](const std::optional<S>& face) { return face.has_value(); }));
  for (std::ptrdiff_t i = 0; i < mesh.face_count(); ++i) table.write(i, mesh.face_strain(i));
  return std::move(table).dict();
}

}  // namespace vostrel::binding
