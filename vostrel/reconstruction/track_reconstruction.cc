#include "vostrel/reconstruction/track_reconstruction.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "vostrel/reconstruction/camera.h"
#include "vostrel/reconstruction/dic_sampling.h"
#include "vostrel/reconstruction/pair_reconstruction.h"

namespace vostrel {

namespace py = pybind11;

namespace {

// The used views of one track; cleared per track, capacity kept.
struct TrackViews {
  std::vector<const CameraModel*> cameras;
  std::vector<Vec2> ref_pixels;
  std::vector<Vec2> def_pixels;
  std::vector<Vec2> ref_obs;
  std::vector<Vec2> def_obs;
  std::vector<Extrinsic> matrices;

  void clear() {
    cameras.clear();
    ref_pixels.clear();
    def_pixels.clear();
    ref_obs.clear();
    def_obs.clear();
    matrices.clear();
  }
};

double mean_reprojection_error(const Vec3& x, const TrackViews& views,
                               const std::vector<Vec2>& pixels) {
  double sum = 0.0;
  for (std::size_t k = 0; k < pixels.size(); ++k) {
    sum += pixel_distance(project_point(x, *views.cameras[k], views.matrices[k]), pixels[k]);
  }
  return (1.0 / static_cast<double>(pixels.size())) * sum;
}

}  // namespace

py::dict reconstruct_tracks(const py::array_t<double>& K, const py::array_t<double>& dist,
                            const py::array_t<double>& R, const py::array_t<double>& t,
                            const py::array_t<std::int64_t>& point_indices,
                            const py::array_t<std::int32_t>& cam_indices,
                            const py::array_t<double>& uv, const py::array_t<double>& dic_u,
                            const py::array_t<double>& dic_v,
                            const py::array_t<double>& dic_corrcoef,
                            const py::array_t<bool>& dic_valid, int reduced_height,
                            int reduced_width, int subset_spacing, int min_views,
                            double min_corrcoef, double max_reprojection_error_px, double scale) {
  const ObservationInputs in(K, dist, R, t, point_indices, cam_indices, uv);

  // Track table as (identifier, observation) sorted ascending: groups in
  // identifier order, observations of a group in input order.
  IdentifierTable table;
  table.reserve(static_cast<std::size_t>(in.n_obs));
  for (py::ssize_t i = 0; i < in.n_obs; ++i) table.emplace_back(in.point_indices(i), i);
  sort_by_identifier(table);
  py::ssize_t n = 0;
  for (std::size_t g = 0; g < table.size(); ++g) {
    if (g == 0 || table[g].first != table[g - 1].first) ++n;
  }

  py::array_t<std::int64_t> ids(n);
  py::array_t<double> ref_sfm({n, py::ssize_t{3}});
  py::array_t<double> def_sfm({n, py::ssize_t{3}});
  py::array_t<double> disp_sfm({n, py::ssize_t{3}});
  py::array_t<double> ref_world({n, py::ssize_t{3}});
  py::array_t<double> def_world({n, py::ssize_t{3}});
  py::array_t<double> disp_world({n, py::ssize_t{3}});
  py::array_t<std::int32_t> num_views(n);
  py::array_t<double> mean_corr(n);
  py::array_t<double> err_ref_out(n);
  py::array_t<double> err_def_out(n);
  py::array_t<bool> valid_out(n);

  auto ids_v = ids.mutable_unchecked<1>();
  auto ref_sfm_v = ref_sfm.mutable_unchecked<2>();
  auto def_sfm_v = def_sfm.mutable_unchecked<2>();
  auto disp_sfm_v = disp_sfm.mutable_unchecked<2>();
  auto ref_world_v = ref_world.mutable_unchecked<2>();
  auto def_world_v = def_world.mutable_unchecked<2>();
  auto disp_world_v = disp_world.mutable_unchecked<2>();
  auto num_views_v = num_views.mutable_unchecked<1>();
  auto mean_corr_v = mean_corr.mutable_unchecked<1>();
  auto err_ref_v = err_ref_out.mutable_unchecked<1>();
  auto err_def_v = err_def_out.mutable_unchecked<1>();
  auto valid_v = valid_out.mutable_unchecked<1>();

  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::optional<DicFields> fields;
  TrackViews views;
  // Observations are read in identifier order, i.e. at random; fetch them a
  // few table entries ahead.
  constexpr std::size_t kPrefetch = 16;
  py::ssize_t row = 0;
  for (std::size_t g = 0; g < table.size(); ++row) {
    const std::int64_t id = table[g].first;
    ids_v(row) = id;
    views.clear();
    double corr_sum = 0.0;
    for (; g < table.size() && table[g].first == id; ++g) {
      if (g + kPrefetch < table.size()) {
        const std::int64_t ahead = table[g + kPrefetch].second;
        __builtin_prefetch(&in.cam_indices(ahead));
        __builtin_prefetch(&in.uv(ahead, 0));
      }
      const std::int64_t i = table[g].second;
      const std::int32_t c = in.cam_indices(i);
      const Vec2 p = in.pixel(i);
      if (!fields) {
        fields.emplace(dic_u, dic_v, dic_corrcoef, dic_valid, reduced_height, reduced_width,
                       subset_spacing);
      }
      fields->check_camera(c, "cam_indices", i);
      const DicSample s = sample_dic_field(*fields, c, p[0], p[1], min_corrcoef);
      if (!s.valid) continue;
      const Vec2 q{p[0] + s.u, p[1] + s.v};
      const CameraModel& camera = in.camera(c, "cam_indices", i);
      views.cameras.push_back(&camera);
      views.ref_pixels.push_back(p);
      views.def_pixels.push_back(q);
      const std::array<Vec2, 2> normalised = undistort_pixels<2>({&camera, &camera}, {p, q});
      views.ref_obs.push_back(normalised[0]);
      views.def_obs.push_back(normalised[1]);
      views.matrices.push_back(in.extrinsic(c, "cam_indices", i));
      corr_sum += s.corrcoef;
    }

    const std::size_t n_used = views.matrices.size();
    bool valid = false;
    double err_ref = kInf;
    double err_def = kInf;
    Vec3 x_ref{};
    Vec3 x_def{};
    if (static_cast<std::int64_t>(n_used) >= min_views) {
      // Both solves at once; the deformed one is simply discarded when the
      // reference one fails.
      const std::array<std::optional<Vec3>, 2> x = triangulate_dlt_pair(
          views.ref_obs.data(), views.def_obs.data(), views.matrices.data(), n_used);
      const std::optional<Vec3>& ref = x[0];
      const std::optional<Vec3>& def = x[1];
      if (ref && def) {
        err_ref = mean_reprojection_error(*ref, views, views.ref_pixels);
        err_def = mean_reprojection_error(*def, views, views.def_pixels);
        valid = max_reprojection_error_px >= err_ref && max_reprojection_error_px >= err_def;
        if (valid) {
          x_ref = *ref;
          x_def = *def;
        }
      }
    }

    for (py::ssize_t j = 0; j < 3; ++j) {
      const double d = valid ? x_def[j] - x_ref[j] : 0.0;
      ref_sfm_v(row, j) = x_ref[j];
      def_sfm_v(row, j) = x_def[j];
      disp_sfm_v(row, j) = d;
      ref_world_v(row, j) = x_ref[j] * scale;
      def_world_v(row, j) = x_def[j] * scale;
      disp_world_v(row, j) = d * scale;
    }
    num_views_v(row) = static_cast<std::int32_t>(n_used);
    mean_corr_v(row) = n_used == 0 ? 0.0 : corr_sum / static_cast<double>(n_used);
    err_ref_v(row) = err_ref;
    err_def_v(row) = err_def;
    valid_v(row) = valid;
  }

  py::dict result;
  result["point_indices"] = ids;
  result["points_ref_sfm"] = ref_sfm;
  result["points_def_sfm"] = def_sfm;
  result["displacement_sfm"] = disp_sfm;
  result["points_ref_world"] = ref_world;
  result["points_def_world"] = def_world;
  result["displacement_world"] = disp_world;
  result["num_views"] = num_views;
  result["mean_corrcoef"] = mean_corr;
  result["reprojection_error_ref"] = err_ref_out;
  result["reprojection_error_def"] = err_def_out;
  result["valid"] = valid_out;
  return result;
}

}  // namespace vostrel
