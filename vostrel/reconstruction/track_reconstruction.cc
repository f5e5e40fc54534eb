#include "vostrel/reconstruction/track_reconstruction.h"

#include <array>
#include <cstddef>
#include <functional>
#include <limits>
#include <optional>

namespace vostrel {

namespace {

// The used views of one track; cleared per track, capacity kept.
template <typename Camera>
struct TrackViews {
  std::vector<const Camera*> cameras;
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

template <typename Camera>
double mean_reprojection_error(const Vec3& x, const TrackViews<Camera>& views,
                               const std::vector<Vec2>& pixels) {
  double sum = 0.0;
  for (std::size_t k = 0; k < pixels.size(); ++k) {
    sum += pixel_distance(project_point(x, *views.cameras[k], views.matrices[k]), pixels[k]);
  }
  return (1.0 / static_cast<double>(pixels.size())) * sum;
}

// The reconstruction with the calibration's lens model, Camera.
template <typename Camera>
void reconstruct_tracks(const Observations& in, const IdentifierTable& table,
                        const DicFieldArrays& dic, const TrackSettings& settings,
                        const std::function<void(const TrackPoint&)>& emit) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  std::optional<DicFields> fields;
  TrackViews<Camera> views;
  // Observations are read in identifier order, i.e. at random; fetch them a
  // few table entries ahead.
  constexpr std::size_t kPrefetch = 16;
  for (std::size_t g = 0; g < table.size();) {
    const std::int64_t id = table[g].first;
    views.clear();
    double corr_sum = 0.0;
    for (; g < table.size() && table[g].first == id; ++g) {
      if (g + kPrefetch < table.size()) {
        const std::int64_t ahead = table[g + kPrefetch].second;
        __builtin_prefetch(in.camera_index_address(ahead));
        __builtin_prefetch(in.pixel_address(ahead));
      }
      const std::int64_t i = table[g].second;
      const std::int32_t c = in.camera_index(i);
      const Vec2 p = in.pixel(i);
      if (!fields) fields.emplace(dic);
      fields->check_camera(c, "cam_indices", i);
      const DicSample s = sample_dic_field(*fields, c, p[0], p[1], settings.min_corrcoef);
      if (!s.valid) continue;
      const Vec2 q{p[0] + s.u, p[1] + s.v};
      const Camera& camera = in.camera<Camera>(c, "cam_indices", i);
      const Extrinsic& matrix = in.extrinsic(c, "cam_indices", i);
      // A view whose pixel the lens cannot undistort is not used.
      const std::optional<std::array<Vec2, 2>> normalised =
          undistort_all<2>({&camera, &camera}, {p, q});
      if (!normalised) continue;
      views.cameras.push_back(&camera);
      views.ref_pixels.push_back(p);
      views.def_pixels.push_back(q);
      views.ref_obs.push_back((*normalised)[0]);
      views.def_obs.push_back((*normalised)[1]);
      views.matrices.push_back(matrix);
      corr_sum += s.corrcoef;
    }

    const std::size_t n_used = views.matrices.size();
    TrackPoint row{id, {}, {}, static_cast<std::int32_t>(n_used), 0.0, kInf, kInf, false};
    row.mean_corrcoef = n_used == 0 ? 0.0 : corr_sum / static_cast<double>(n_used);
    if (static_cast<std::int64_t>(n_used) >= settings.min_views) {
      // Both solves at once; the deformed one is simply discarded when the
      // reference one fails.
      const std::array<std::optional<Vec3>, 2> x = triangulate_dlt_pair(
          views.ref_obs.data(), views.def_obs.data(), views.matrices.data(), n_used);
      const std::optional<Vec3>& ref = x[0];
      const std::optional<Vec3>& def = x[1];
      if (ref && def) {
        row.err_ref = mean_reprojection_error(*ref, views, views.ref_pixels);
        row.err_def = mean_reprojection_error(*def, views, views.def_pixels);
        row.valid = settings.max_reprojection_error_px >= row.err_ref &&
                    settings.max_reprojection_error_px >= row.err_def;
        if (row.valid) {
          row.x_ref = *ref;
          row.x_def = *def;
        }
      }
    }
    emit(row);
  }
}

}  // namespace

IdentifierTable group_tracks(const Observations& in) {
  IdentifierTable table;
  table.reserve(static_cast<std::size_t>(in.size()));
  for (std::ptrdiff_t i = 0; i < in.size(); ++i) table.emplace_back(in.point(i), i);
  sort_by_identifier(table);
  return table;
}

std::size_t count_tracks(const IdentifierTable& tracks) {
  std::size_t n = 0;
  for (std::size_t g = 0; g < tracks.size(); ++g) {
    if (g == 0 || tracks[g].first != tracks[g - 1].first) ++n;
  }
  return n;
}

void reconstruct_track_points(const Observations& in, const IdentifierTable& tracks,
                              const DicFieldArrays& dic, const TrackSettings& settings,
                              const std::function<void(const TrackPoint&)>& emit) {
  if (in.distortion_model() == DistortionModel::kOpenCv) {
    reconstruct_tracks<OpenCvCameraModel>(in, tracks, dic, settings, emit);
  } else {
    reconstruct_tracks<CameraModel>(in, tracks, dic, settings, emit);
  }
}

std::vector<TrackPoint> reconstruct_track_points(const Observations& in, const DicFieldArrays& dic,
                                                 const TrackSettings& settings) {
  const IdentifierTable tracks = group_tracks(in);
  std::vector<TrackPoint> rows;
  rows.reserve(count_tracks(tracks));
  reconstruct_track_points(in, tracks, dic, settings,
                           [&rows](const TrackPoint& row) { rows.push_back(row); });
  return rows;
}

}  // namespace vostrel
