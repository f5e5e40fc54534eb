#include "vostrel/reconstruction/pair_reconstruction.h"

#include <array>
#include <cstddef>
#include <optional>

namespace vostrel {

namespace {

// The reconstruction with the calibration's lens model, Camera.
template <typename Camera>
std::vector<PairPoint> reconstruct_pair(const Observations& in, const DicFieldArrays& dic,
                                        const PairSettings& settings) {
  const int cam_a = settings.cam_a;
  const int cam_b = settings.cam_b;
  const double min_corrcoef = settings.min_corrcoef;
  const double max_reprojection_error_px = settings.max_reprojection_error_px;

  // Pairing table as (identifier, 2 · observation + in_b) sorted ascending:
  // groups come in identifier order and, within a group, in input order, so a
  // later observation in the same camera replaces an earlier one. The camera
  // travels in the low bit so that the group scan does not go back to
  // cam_indices.
  IdentifierTable table;
  table.reserve(static_cast<std::size_t>(in.size()));
  for (std::ptrdiff_t i = 0; i < in.size(); ++i) {
    const std::int32_t cam = in.camera_index(i);
    if (cam == cam_a) {
      table.emplace_back(in.point(i), 2 * i);
    } else if (cam == cam_b) {
      table.emplace_back(in.point(i), 2 * i + 1);
    }
  }
  sort_by_identifier(table);

  // Resolved at the first point that needs them, in the order the checks
  // would otherwise run for every point (they do not depend on the point).
  std::optional<DicFields> fields;
  const Camera* camera_a = nullptr;
  const Camera* camera_b = nullptr;
  Extrinsic matrices[2];

  std::vector<PairPoint> rows;
  rows.reserve(table.size() / 2);
  // The pixels are read in identifier order, i.e. at random; fetch them a
  // few table entries ahead.
  constexpr std::size_t kPrefetch = 16;
  for (std::size_t g = 0; g < table.size();) {
    const std::int64_t id = table[g].first;
    std::int64_t obs_a = -1;
    std::int64_t obs_b = -1;
    for (; g < table.size() && table[g].first == id; ++g) {
      const std::int64_t key = table[g].second;
      if ((key & 1) == 0) {
        obs_a = key >> 1;
      } else {
        obs_b = key >> 1;
      }
      if (g + 1 + kPrefetch < table.size()) {
        __builtin_prefetch(in.pixel_address(table[g + 1 + kPrefetch].second >> 1));
      }
    }
    if (obs_a < 0 || obs_b < 0) continue;

    PairPoint row;
    row.id = id;
    row.uv_a = in.pixel(obs_a);
    row.uv_b = in.pixel(obs_b);
    if (!fields) {
      fields.emplace(dic);
      fields->check_camera(cam_a, "cam_a", -1);
      fields->check_camera(cam_b, "cam_b", -1);
    }
    const DicSample s_a = sample_dic_field(*fields, cam_a, row.uv_a[0], row.uv_a[1], min_corrcoef);
    const DicSample s_b = sample_dic_field(*fields, cam_b, row.uv_b[0], row.uv_b[1], min_corrcoef);
    if (!s_a.valid || !s_b.valid) continue;

    row.def_a = {row.uv_a[0] + s_a.u, row.uv_a[1] + s_a.v};
    row.def_b = {row.uv_b[0] + s_b.u, row.uv_b[1] + s_b.v};
    if (camera_a == nullptr) {
      camera_a = &in.camera<Camera>(cam_a, "cam_a", -1);
      camera_b = &in.camera<Camera>(cam_b, "cam_b", -1);
      matrices[0] = in.extrinsic(cam_a, "cam_a", -1);
      matrices[1] = in.extrinsic(cam_b, "cam_b", -1);
    }
    // Reference observations first, deformed ones after, camera a before b.
    // A pixel the lens cannot undistort drops the point.
    const std::optional<std::array<Vec2, 4>> normalised = undistort_all<4>(
        {camera_a, camera_b, camera_a, camera_b}, {row.uv_a, row.uv_b, row.def_a, row.def_b});
    if (!normalised) continue;

    // Both solves at once; the deformed one is simply discarded when the
    // reference one fails.
    const std::array<std::optional<Vec3>, 2> x =
        triangulate_dlt_pair(&(*normalised)[0], &(*normalised)[2], matrices, 2);
    if (!x[0] || !x[1]) continue;
    row.x_ref = *x[0];
    row.x_def = *x[1];

    row.err_ref =
        0.5 * (pixel_distance(project_point(row.x_ref, *camera_a, matrices[0]), row.uv_a) +
               pixel_distance(project_point(row.x_ref, *camera_b, matrices[1]), row.uv_b));
    row.err_def =
        0.5 * (pixel_distance(project_point(row.x_def, *camera_a, matrices[0]), row.def_a) +
               pixel_distance(project_point(row.x_def, *camera_b, matrices[1]), row.def_b));
    row.corr_a = s_a.corrcoef;
    row.corr_b = s_b.corrcoef;
    row.corr_comb = row.corr_b < row.corr_a ? row.corr_b : row.corr_a;
    row.valid = row.corr_comb >= min_corrcoef && row.err_ref <= max_reprojection_error_px &&
                row.err_def <= max_reprojection_error_px;
    rows.push_back(row);
  }
  return rows;
}

}  // namespace

std::vector<PairPoint> reconstruct_pair_points(const Observations& in, const DicFieldArrays& dic,
                                               const PairSettings& settings) {
  if (in.distortion_model() == DistortionModel::kOpenCv) {
    return reconstruct_pair<OpenCvCameraModel>(in, dic, settings);
  }
  return reconstruct_pair<CameraModel>(in, dic, settings);
}

}  // namespace vostrel
