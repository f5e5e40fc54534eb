#include "vostrel/reconstruction/observations.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <string>

#include "vostrel/reconstruction/camera_index.h"

namespace vostrel {

namespace {

std::string rows_message(const char* name, std::ptrdiff_t rows, std::ptrdiff_t n_obs) {
  return std::string(name) + " has " + std::to_string(rows) + " rows; expected at least " +
         std::to_string(n_obs) + " (the length of point_indices)";
}

void check_matrix_extents(const char* name, const StridedView<double, 3>& m) {
  if (m.shape(1) < 3 || m.shape(2) < 3) {
    throw std::invalid_argument(std::string(name) + " has trailing extents " +
                                std::to_string(m.shape(1)) + " x " + std::to_string(m.shape(2)) +
                                "; expected at least 3 x 3");
  }
}

void check_columns(const char* name, std::ptrdiff_t cols, std::ptrdiff_t least) {
  if (cols < least) {
    throw std::invalid_argument(std::string(name) + " has " + std::to_string(cols) +
                                " columns; expected at least " + std::to_string(least));
  }
}

}  // namespace

DistortionModel distortion_model_from_name(const std::string& name) {
  if (name == "radial2") return DistortionModel::kRadial2;
  if (name == "opencv") return DistortionModel::kOpenCv;
  throw std::invalid_argument("distortion_model \"" + name +
                              "\" is unknown; expected \"radial2\" or \"opencv\"");
}

Observations::Observations(const ObservationArrays& arrays, DistortionModel model)
    : K_(arrays.K),
      dist_(arrays.dist),
      R_(arrays.R),
      t_(arrays.t),
      point_indices_(arrays.point_indices),
      cam_indices_(arrays.cam_indices),
      uv_(arrays.uv),
      n_obs_(point_indices_.shape(0)),
      model_(model) {
  check_matrix_extents("K", K_);
  check_matrix_extents("R", R_);
  check_columns("t", t_.shape(1), 3);
  if (model_ == DistortionModel::kOpenCv && dist_.shape(1) < 5) {
    throw std::invalid_argument("dist has " + std::to_string(dist_.shape(1)) +
                                " columns; expected at least 5 (k1, k2, p1, p2, k3) with "
                                "distortion_model \"opencv\"");
  }
  if (cam_indices_.shape(0) < n_obs_) {
    throw std::invalid_argument(rows_message("cam_indices", cam_indices_.shape(0), n_obs_));
  }
  check_columns("uv", uv_.shape(1), 2);
  if (uv_.shape(0) < n_obs_) throw std::invalid_argument(rows_message("uv", uv_.shape(0), n_obs_));

  const std::ptrdiff_t n_models = std::min(K_.shape(0), dist_.shape(0));
  const auto n_dist = static_cast<std::size_t>(dist_.shape(1));
  if (model_ == DistortionModel::kRadial2) {
    cameras_.reserve(static_cast<std::size_t>(n_models));
    for (std::ptrdiff_t c = 0; c < n_models; ++c) {
      cameras_.push_back(make_camera_model(K_(c, 0, 0), K_(c, 1, 1), K_(c, 0, 2), K_(c, 1, 2),
                                           n_dist, n_dist >= 1 ? dist_(c, 0) : 0.0,
                                           n_dist >= 2 ? dist_(c, 1) : 0.0));
    }
  } else {
    opencv_cameras_.reserve(static_cast<std::size_t>(n_models));
    for (std::ptrdiff_t c = 0; c < n_models; ++c) {
      opencv_cameras_.push_back(make_opencv_camera_model(
          K_(c, 0, 0), K_(c, 1, 1), K_(c, 0, 2), K_(c, 1, 2), K_(c, 0, 1),
          {dist_(c, 0), dist_(c, 1), dist_(c, 2), dist_(c, 3), dist_(c, 4)}));
    }
  }
  const std::ptrdiff_t n_poses = std::min(R_.shape(0), t_.shape(0));
  extrinsics_.reserve(static_cast<std::size_t>(n_poses));
  for (std::ptrdiff_t c = 0; c < n_poses; ++c) {
    extrinsics_.push_back(
        camera_extrinsic_matrix({R_(c, 0, 0), R_(c, 0, 1), R_(c, 0, 2), R_(c, 1, 0), R_(c, 1, 1),
                                 R_(c, 1, 2), R_(c, 2, 0), R_(c, 2, 1), R_(c, 2, 2)},
                                {t_(c, 0), t_(c, 1), t_(c, 2)}));
  }
}

void Observations::check_model_index(std::int64_t c, const char* label,
                                     std::int64_t observation) const {
  if (c < 0 || c >= K_.shape(0)) {
    throw_camera_out_of_range(c, label, observation, K_.shape(0), "K");
  }
  if (c >= dist_.shape(0)) {
    throw_camera_out_of_range(c, label, observation, dist_.shape(0), "dist");
  }
}

template <>
const CameraModel& Observations::camera<CameraModel>(std::int64_t c, const char* label,
                                                     std::int64_t observation) const {
  if (model_ != DistortionModel::kRadial2) throw std::logic_error("not a \"radial2\" calibration");
  check_model_index(c, label, observation);
  return cameras_[static_cast<std::size_t>(c)];
}

template <>
const OpenCvCameraModel& Observations::camera<OpenCvCameraModel>(std::int64_t c, const char* label,
                                                                 std::int64_t observation) const {
  if (model_ != DistortionModel::kOpenCv) throw std::logic_error("not an \"opencv\" calibration");
  check_model_index(c, label, observation);
  return opencv_cameras_[static_cast<std::size_t>(c)];
}

const Extrinsic& Observations::extrinsic(std::int64_t c, const char* label,
                                         std::int64_t observation) const {
  if (c < 0 || c >= R_.shape(0)) {
    throw_camera_out_of_range(c, label, observation, R_.shape(0), "R");
  }
  if (c >= t_.shape(0)) throw_camera_out_of_range(c, label, observation, t_.shape(0), "t");
  return extrinsics_[static_cast<std::size_t>(c)];
}

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

}  // namespace vostrel
