#pragma once
// 3D surface points of one camera pair from both cameras' DIC fields: each
// point seen by both cameras is triangulated from its reference pixels and
// from its displaced pixels.
//
// Shared by the pair and the track reconstruction: the calibration and
// observation arguments, read in place through strided views.
//   K (n_cam, 3, 3): fx = K[c,0,0], fy = K[c,1,1], cx = K[c,0,2], cy = K[c,1,2]
//   dist (n_cam, n_dist): k1, k2 from the first two columns, when present
//   R (n_cam, 3, 3), t (n_cam, 3): camera coordinates = R·X + t
//   point_indices (n_obs) int64, cam_indices (>= n_obs) int32,
//   uv (>= n_obs, 2) reference pixels (x = column, y = row).

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "vostrel/reconstruction/camera.h"

namespace vostrel {

// Hidden like the pybind11 view types it holds (GCC warns otherwise).
struct __attribute__((visibility("hidden"))) ObservationInputs {
  // Creates the views in argument order (each checks its number of
  // dimensions), then checks the trailing extents of K, R, t and uv and that
  // cam_indices and uv have a row for every point_indices entry.
  ObservationInputs(const pybind11::array_t<double>& K_in, const pybind11::array_t<double>& dist_in,
                    const pybind11::array_t<double>& R_in, const pybind11::array_t<double>& t_in,
                    const pybind11::array_t<std::int64_t>& point_indices_in,
                    const pybind11::array_t<std::int32_t>& cam_indices_in,
                    const pybind11::array_t<double>& uv_in);

  // The camera model and extrinsic matrix of camera c, after checking that c
  // indexes K, dist (for the model) and R, t (for the matrix); `label` and
  // `observation` name the index in the error message.
  const CameraModel& camera(std::int64_t c, const char* label, std::int64_t observation) const;
  const Extrinsic& extrinsic(std::int64_t c, const char* label, std::int64_t observation) const;

  Vec2 pixel(std::int64_t i) const { return {uv(i, 0), uv(i, 1)}; }

  pybind11::detail::unchecked_reference<double, 3> K;
  pybind11::detail::unchecked_reference<double, 2> dist;
  pybind11::detail::unchecked_reference<double, 3> R;
  pybind11::detail::unchecked_reference<double, 2> t;
  pybind11::detail::unchecked_reference<std::int64_t, 1> point_indices;
  pybind11::detail::unchecked_reference<std::int32_t, 1> cam_indices;
  pybind11::detail::unchecked_reference<double, 2> uv;
  pybind11::ssize_t n_obs;

 private:
  // Built once per call for every camera index the arrays can serve.
  std::vector<CameraModel> cameras_;
  std::vector<Extrinsic> extrinsics_;
};

// Euclidean distance in pixels.
inline double pixel_distance(const Vec2& a, const Vec2& b) {
  const double dx = a[0] - b[0];
  const double dy = a[1] - b[1];
  return std::sqrt(dx * dx + dy * dy);
}

// (point identifier, payload) entries of the pairing and track tables.
using IdentifierTable = std::vector<std::pair<std::int64_t, std::int64_t>>;

// Sorts the table by identifier, keeping entries of equal identifier in their
// current order. For a table built in input order with ascending payloads this
// is the order of sorting the pairs themselves.
void sort_by_identifier(IdentifierTable& table);

// Returns the eighteen result arrays, rows in ascending point identifier.
pybind11::dict reconstruct_pair_surface_points(
    const pybind11::array_t<double>& K, const pybind11::array_t<double>& dist,
    const pybind11::array_t<double>& R, const pybind11::array_t<double>& t,
    const pybind11::array_t<std::int64_t>& point_indices,
    const pybind11::array_t<std::int32_t>& cam_indices, const pybind11::array_t<double>& uv,
    const pybind11::array_t<double>& dic_u, const pybind11::array_t<double>& dic_v,
    const pybind11::array_t<double>& dic_corrcoef, const pybind11::array_t<bool>& dic_valid,
    int reduced_height, int reduced_width, int subset_spacing, int cam_a, int cam_b,
    double min_corrcoef, double max_reprojection_error_px, double scale);

}  // namespace vostrel
