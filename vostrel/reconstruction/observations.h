#pragma once
// The calibration and the observations shared by the pair and the track
// reconstruction, read in place through strided views:
//   K (n_cam, 3, 3): fx = K[c,0,0], fy = K[c,1,1], cx = K[c,0,2], cy = K[c,1,2]
//   dist (n_cam, n_dist): k1, k2 from the first two columns, when present
//   R (n_cam, 3, 3), t (n_cam, 3): camera coordinates = R·X + t
//   point_indices (n_obs) int64, cam_indices (>= n_obs) int32,
//   uv (>= n_obs, 2) reference pixels (x = column, y = row).
// and the table that groups observations by point identifier.

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "vostrel/core/strided_view.h"
#include "vostrel/reconstruction/camera.h"

namespace vostrel {

struct ObservationArrays {
  ArrayRef K;
  ArrayRef dist;
  ArrayRef R;
  ArrayRef t;
  ArrayRef point_indices;
  ArrayRef cam_indices;
  ArrayRef uv;
};

class Observations {
 public:
  // Creates the views in the order of ObservationArrays (each checks its
  // number of dimensions), then checks the trailing extents of K, R, t and uv
  // and that cam_indices and uv have a row for every point_indices entry
  // (std::invalid_argument naming the array).
  explicit Observations(const ObservationArrays& arrays);

  // The camera model and extrinsic matrix of camera c, after checking that c
  // indexes K, dist (for the model) and R, t (for the matrix); `label` and
  // `observation` name the index in the error message.
  const CameraModel& camera(std::int64_t c, const char* label, std::int64_t observation) const;
  const Extrinsic& extrinsic(std::int64_t c, const char* label, std::int64_t observation) const;

  std::ptrdiff_t size() const { return n_obs_; }
  std::int64_t point(std::ptrdiff_t i) const { return point_indices_(i); }
  std::int32_t camera_index(std::ptrdiff_t i) const { return cam_indices_(i); }
  Vec2 pixel(std::ptrdiff_t i) const { return {uv_(i, 0), uv_(i, 1)}; }

  // Where observation i's camera index and pixel lie, to fetch them early.
  const void* camera_index_address(std::ptrdiff_t i) const { return cam_indices_.address(i); }
  const void* pixel_address(std::ptrdiff_t i) const { return uv_.address(i, 0); }

 private:
  StridedView<double, 3> K_;
  StridedView<double, 2> dist_;
  StridedView<double, 3> R_;
  StridedView<double, 2> t_;
  StridedView<std::int64_t, 1> point_indices_;
  StridedView<std::int32_t, 1> cam_indices_;
  StridedView<double, 2> uv_;
  std::ptrdiff_t n_obs_;
  // Built once per call for every camera index the arrays can serve.
  std::vector<CameraModel> cameras_;
  std::vector<Extrinsic> extrinsics_;
};

// (point identifier, payload) entries of the pairing and track tables.
using IdentifierTable = std::vector<std::pair<std::int64_t, std::int64_t>>;

// Sorts the table by identifier, keeping entries of equal identifier in their
// current order. For a table built in input order with ascending payloads this
// is the order of sorting the pairs themselves.
void sort_by_identifier(IdentifierTable& table);

}  // namespace vostrel
