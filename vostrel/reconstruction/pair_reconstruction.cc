#include "vostrel/reconstruction/pair_reconstruction.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "vostrel/reconstruction/dic_sampling.h"

namespace vostrel {

namespace py = pybind11;

namespace {

std::string rows_message(const char* name, py::ssize_t rows, py::ssize_t n_obs) {
  return std::string(name) + " has " + std::to_string(rows) + " rows; expected at least " +
         std::to_string(n_obs) + " (the length of point_indices)";
}

void check_matrix_extents(const char* name, const py::detail::unchecked_reference<double, 3>& m) {
  if (m.shape(1) < 3 || m.shape(2) < 3) {
    throw std::invalid_argument(std::string(name) + " has trailing extents " +
                                std::to_string(m.shape(1)) + " x " + std::to_string(m.shape(2)) +
                                "; expected at least 3 x 3");
  }
}

void check_columns(const char* name, py::ssize_t cols, py::ssize_t least) {
  if (cols < least) {
    throw std::invalid_argument(std::string(name) + " has " + std::to_string(cols) +
                                " columns; expected at least " + std::to_string(least));
  }
}

struct PairRow {
  std::int64_t id;
  Vec2 uv_a, uv_b, def_a, def_b;
  Vec3 x_ref, x_def;
  double corr_a, corr_b, corr_comb;
  double err_ref, err_def;
  bool valid;
};

}  // namespace

void sort_by_identifier(IdentifierTable& table) {
  const std::size_t n = table.size();
  if (n < 64) {
    std::stable_sort(table.begin(), table.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    return;
  }
  // Stable least-significant-byte-first radix sort on the identifier's
  // offset from the smallest one (unsigned, so in identifier order); passes
  // in which every entry has the same byte, such as the high bytes of a
  // compact range of identifiers, are skipped.
  std::int64_t lowest = table[0].first;
  for (const auto& entry : table) lowest = std::min(lowest, entry.first);
  const auto key = [base = static_cast<std::uint64_t>(lowest)](std::int64_t id) {
    return static_cast<std::uint64_t>(id) - base;
  };
  std::array<std::array<std::size_t, 256>, 8> counts{};
  for (const auto& entry : table) {
    const std::uint64_t k = key(entry.first);
    for (int b = 0; b < 8; ++b) ++counts[b][(k >> (8 * b)) & 0xff];
  }
  IdentifierTable buffer(n);
  auto* src = &table;
  auto* dst = &buffer;
  for (int b = 0; b < 8; ++b) {
    std::array<std::size_t, 256>& count = counts[b];
    if (count[(key((*src)[0].first) >> (8 * b)) & 0xff] == n) continue;
    std::size_t start = 0;
    for (std::size_t& c : count) {
      const std::size_t size = c;
      c = start;
      start += size;
    }
    for (const auto& entry : *src) (*dst)[count[(key(entry.first) >> (8 * b)) & 0xff]++] = entry;
    std::swap(src, dst);
  }
  if (src != &table) table.swap(buffer);
}

ObservationInputs::ObservationInputs(const py::array_t<double>& K_in,
                                     const py::array_t<double>& dist_in,
                                     const py::array_t<double>& R_in,
                                     const py::array_t<double>& t_in,
                                     const py::array_t<std::int64_t>& point_indices_in,
                                     const py::array_t<std::int32_t>& cam_indices_in,
                                     const py::array_t<double>& uv_in)
    : K(K_in.unchecked<3>()),
      dist(dist_in.unchecked<2>()),
      R(R_in.unchecked<3>()),
      t(t_in.unchecked<2>()),
      point_indices(point_indices_in.unchecked<1>()),
      cam_indices(cam_indices_in.unchecked<1>()),
      uv(uv_in.unchecked<2>()),
      n_obs(point_indices.shape(0)) {
  check_matrix_extents("K", K);
  check_matrix_extents("R", R);
  check_columns("t", t.shape(1), 3);
  if (cam_indices.shape(0) < n_obs) {
    throw std::invalid_argument(rows_message("cam_indices", cam_indices.shape(0), n_obs));
  }
  check_columns("uv", uv.shape(1), 2);
  if (uv.shape(0) < n_obs) throw std::invalid_argument(rows_message("uv", uv.shape(0), n_obs));

  const py::ssize_t n_models = std::min(K.shape(0), dist.shape(0));
  const auto n_dist = static_cast<std::size_t>(dist.shape(1));
  cameras_.reserve(static_cast<std::size_t>(n_models));
  for (py::ssize_t c = 0; c < n_models; ++c) {
    cameras_.push_back(make_camera_model(K(c, 0, 0), K(c, 1, 1), K(c, 0, 2), K(c, 1, 2), n_dist,
                                         n_dist >= 1 ? dist(c, 0) : 0.0,
                                         n_dist >= 2 ? dist(c, 1) : 0.0));
  }
  const py::ssize_t n_poses = std::min(R.shape(0), t.shape(0));
  extrinsics_.reserve(static_cast<std::size_t>(n_poses));
  for (py::ssize_t c = 0; c < n_poses; ++c) {
    extrinsics_.push_back(
        camera_extrinsic_matrix({R(c, 0, 0), R(c, 0, 1), R(c, 0, 2), R(c, 1, 0), R(c, 1, 1),
                                 R(c, 1, 2), R(c, 2, 0), R(c, 2, 1), R(c, 2, 2)},
                                {t(c, 0), t(c, 1), t(c, 2)}));
  }
}

const CameraModel& ObservationInputs::camera(std::int64_t c, const char* label,
                                             std::int64_t observation) const {
  if (c < 0 || c >= K.shape(0)) throw_camera_out_of_range(c, label, observation, K.shape(0), "K");
  if (c >= dist.shape(0)) {
    throw_camera_out_of_range(c, label, observation, dist.shape(0), "dist");
  }
  return cameras_[static_cast<std::size_t>(c)];
}

const Extrinsic& ObservationInputs::extrinsic(std::int64_t c, const char* label,
                                              std::int64_t observation) const {
  if (c < 0 || c >= R.shape(0)) throw_camera_out_of_range(c, label, observation, R.shape(0), "R");
  if (c >= t.shape(0)) throw_camera_out_of_range(c, label, observation, t.shape(0), "t");
  return extrinsics_[static_cast<std::size_t>(c)];
}

py::dict reconstruct_pair_surface_points(
    const py::array_t<double>& K, const py::array_t<double>& dist, const py::array_t<double>& R,
    const py::array_t<double>& t, const py::array_t<std::int64_t>& point_indices,
    const py::array_t<std::int32_t>& cam_indices, const py::array_t<double>& uv,
    const py::array_t<double>& dic_u, const py::array_t<double>& dic_v,
    const py::array_t<double>& dic_corrcoef, const py::array_t<bool>& dic_valid, int reduced_height,
    int reduced_width, int subset_spacing, int cam_a, int cam_b, double min_corrcoef,
    double max_reprojection_error_px, double scale) {
  const ObservationInputs in(K, dist, R, t, point_indices, cam_indices, uv);

  // Pairing table as (identifier, 2 · observation + in_b) sorted ascending:
  // groups come in identifier order and, within a group, in input order, so a
  // later observation in the same camera replaces an earlier one. The camera
  // travels in the low bit so that the group scan does not go back to
  // cam_indices.
  IdentifierTable table;
  table.reserve(static_cast<std::size_t>(in.n_obs));
  for (py::ssize_t i = 0; i < in.n_obs; ++i) {
    const std::int32_t cam = in.cam_indices(i);
    if (cam == cam_a) {
      table.emplace_back(in.point_indices(i), 2 * i);
    } else if (cam == cam_b) {
      table.emplace_back(in.point_indices(i), 2 * i + 1);
    }
  }
  sort_by_identifier(table);

  // Resolved at the first point that needs them, in the order the checks
  // would otherwise run for every point (they do not depend on the point).
  std::optional<DicFields> fields;
  const CameraModel* camera_a = nullptr;
  const CameraModel* camera_b = nullptr;
  Extrinsic matrices[2];

  std::vector<PairRow> rows;
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
        __builtin_prefetch(&in.uv(table[g + 1 + kPrefetch].second >> 1, 0));
      }
    }
    if (obs_a < 0 || obs_b < 0) continue;

    PairRow row;
    row.id = id;
    row.uv_a = in.pixel(obs_a);
    row.uv_b = in.pixel(obs_b);
    if (!fields) {
      fields.emplace(dic_u, dic_v, dic_corrcoef, dic_valid, reduced_height, reduced_width,
                     subset_spacing);
      fields->check_camera(cam_a, "cam_a", -1);
      fields->check_camera(cam_b, "cam_b", -1);
    }
    const DicSample s_a = sample_dic_field(*fields, cam_a, row.uv_a[0], row.uv_a[1], min_corrcoef);
    const DicSample s_b = sample_dic_field(*fields, cam_b, row.uv_b[0], row.uv_b[1], min_corrcoef);
    if (!s_a.valid || !s_b.valid) continue;

    row.def_a = {row.uv_a[0] + s_a.u, row.uv_a[1] + s_a.v};
    row.def_b = {row.uv_b[0] + s_b.u, row.uv_b[1] + s_b.v};
    if (camera_a == nullptr) {
      camera_a = &in.camera(cam_a, "cam_a", -1);
      camera_b = &in.camera(cam_b, "cam_b", -1);
      matrices[0] = in.extrinsic(cam_a, "cam_a", -1);
      matrices[1] = in.extrinsic(cam_b, "cam_b", -1);
    }
    // Reference observations first, deformed ones after, camera a before b.
    const std::array<Vec2, 4> normalised = undistort_pixels<4>(
        {camera_a, camera_b, camera_a, camera_b}, {row.uv_a, row.uv_b, row.def_a, row.def_b});

    // Both solves at once; the deformed one is simply discarded when the
    // reference one fails.
    const std::array<std::optional<Vec3>, 2> x =
        triangulate_dlt_pair(&normalised[0], &normalised[2], matrices, 2);
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

  const auto n = static_cast<py::ssize_t>(rows.size());
  py::array_t<std::int64_t> ids(n);
  py::array_t<double> uv_ref_a({n, py::ssize_t{2}});
  py::array_t<double> uv_ref_b({n, py::ssize_t{2}});
  py::array_t<double> uv_def_a({n, py::ssize_t{2}});
  py::array_t<double> uv_def_b({n, py::ssize_t{2}});
  py::array_t<double> ref_sfm({n, py::ssize_t{3}});
  py::array_t<double> def_sfm({n, py::ssize_t{3}});
  py::array_t<double> ref_world({n, py::ssize_t{3}});
  py::array_t<double> def_world({n, py::ssize_t{3}});
  py::array_t<double> disp_sfm({n, py::ssize_t{3}});
  py::array_t<double> disp_world({n, py::ssize_t{3}});
  py::array_t<double> disp_norm(n);
  py::array_t<double> corr_a(n);
  py::array_t<double> corr_b(n);
  py::array_t<double> corr_comb(n);
  py::array_t<double> err_ref(n);
  py::array_t<double> err_def(n);
  py::array_t<bool> valid(n);

  auto ids_v = ids.mutable_unchecked<1>();
  auto uv_ref_a_v = uv_ref_a.mutable_unchecked<2>();
  auto uv_ref_b_v = uv_ref_b.mutable_unchecked<2>();
  auto uv_def_a_v = uv_def_a.mutable_unchecked<2>();
  auto uv_def_b_v = uv_def_b.mutable_unchecked<2>();
  auto ref_sfm_v = ref_sfm.mutable_unchecked<2>();
  auto def_sfm_v = def_sfm.mutable_unchecked<2>();
  auto ref_world_v = ref_world.mutable_unchecked<2>();
  auto def_world_v = def_world.mutable_unchecked<2>();
  auto disp_sfm_v = disp_sfm.mutable_unchecked<2>();
  auto disp_world_v = disp_world.mutable_unchecked<2>();
  auto disp_norm_v = disp_norm.mutable_unchecked<1>();
  auto corr_a_v = corr_a.mutable_unchecked<1>();
  auto corr_b_v = corr_b.mutable_unchecked<1>();
  auto corr_comb_v = corr_comb.mutable_unchecked<1>();
  auto err_ref_v = err_ref.mutable_unchecked<1>();
  auto err_def_v = err_def.mutable_unchecked<1>();
  auto valid_v = valid.mutable_unchecked<1>();

  for (py::ssize_t k = 0; k < n; ++k) {
    const PairRow& row = rows[static_cast<std::size_t>(k)];
    ids_v(k) = row.id;
    for (py::ssize_t j = 0; j < 2; ++j) {
      uv_ref_a_v(k, j) = row.uv_a[j];
      uv_ref_b_v(k, j) = row.uv_b[j];
      uv_def_a_v(k, j) = row.def_a[j];
      uv_def_b_v(k, j) = row.def_b[j];
    }
    Vec3 dw{};
    for (py::ssize_t j = 0; j < 3; ++j) {
      ref_sfm_v(k, j) = row.x_ref[j];
      def_sfm_v(k, j) = row.x_def[j];
      ref_world_v(k, j) = scale * row.x_ref[j];
      def_world_v(k, j) = scale * row.x_def[j];
      const double d = row.x_def[j] - row.x_ref[j];
      disp_sfm_v(k, j) = d;
      dw[j] = d * scale;
      disp_world_v(k, j) = dw[j];
    }
    disp_norm_v(k) = std::sqrt(dw[0] * dw[0] + dw[1] * dw[1] + dw[2] * dw[2]);
    corr_a_v(k) = row.corr_a;
    corr_b_v(k) = row.corr_b;
    corr_comb_v(k) = row.corr_comb;
    err_ref_v(k) = row.err_ref;
    err_def_v(k) = row.err_def;
    valid_v(k) = row.valid;
  }

  py::dict result;
  result["point_indices"] = ids;
  result["uv_ref_a"] = uv_ref_a;
  result["uv_ref_b"] = uv_ref_b;
  result["uv_def_a"] = uv_def_a;
  result["uv_def_b"] = uv_def_b;
  result["points_ref_sfm"] = ref_sfm;
  result["points_def_sfm"] = def_sfm;
  result["points_ref_world"] = ref_world;
  result["points_def_world"] = def_world;
  result["displacement_sfm"] = disp_sfm;
  result["displacement_world"] = disp_world;
  result["displacement_norm_world"] = disp_norm;
  result["corr_a"] = corr_a;
  result["corr_b"] = corr_b;
  result["corr_comb"] = corr_comb;
  result["reprojection_error_ref"] = err_ref;
  result["reprojection_error_def"] = err_def;
  result["valid_points"] = valid;
  return result;
}

}  // namespace vostrel
