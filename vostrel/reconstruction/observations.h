#pragma once
// The calibration and the observations shared by the pair and the track
// reconstruction, read in place through strided views:
//   K (n_cam, 3, 3): fx = K[c,0,0], fy = K[c,1,1], cx = K[c,0,2], cy = K[c,1,2],
//     and with the "opencv" model the skew s = K[c,0,1]
//   dist (n_cam, n_dist): "radial2" takes k1, k2 from the first two columns,
//     when present (camera.h); "opencv" takes k1, k2, p1, p2, k3 from the
//     first five, which must be there (opencv_camera.h)
//   R (n_cam, 3, 3), t (n_cam, 3): camera coordinates = R·X + t
//   point_indices (n_obs) int64, cam_indices (>= n_obs) int32,
//   uv (>= n_obs, 2) reference pixels (x = column, y = row).
// and the table that groups observations by point identifier.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vostrel/core/strided_view.h"
#include "vostrel/reconstruction/camera.h"
#include "vostrel/reconstruction/opencv_camera.h"

namespace vostrel {

// The lens model the calibration's K and dist are read with.
enum class DistortionModel {
  kRadial2,  // "radial2": fx, fy, cx, cy and 1 + k1 r² + k2 r⁴ (CameraModel)
  kOpenCv,   // "opencv": skew and k1, k2, p1, p2, k3 (OpenCvCameraModel)
};

// The model of a name, or std::invalid_argument listing the names.
DistortionModel distortion_model_from_name(const std::string& name);

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
  // number of dimensions), then checks the trailing extents of K, R and t,
  // the columns of dist the model needs, the columns of uv, and that
  // cam_indices and uv have a row for every point_indices entry
  // (std::invalid_argument naming the array).
  explicit Observations(const ObservationArrays& arrays,
                        DistortionModel model = DistortionModel::kRadial2);

  DistortionModel distortion_model() const { return model_; }

  // The camera model (CameraModel for "radial2", OpenCvCameraModel for
  // "opencv"; std::logic_error for the other one) and the extrinsic matrix of camera c, after
  // checking that c indexes K, dist (for the model) and R, t (for the matrix); `label` and
  // `observation` name the index in the error message.
  template <typename Camera>
  const Camera& camera(std::int64_t c, const char* label, std::int64_t observation) const;
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
  DistortionModel model_;
  // Built once per call for every camera index the arrays can serve, in the
  // calibration's model.
  std::vector<CameraModel> cameras_;
  std::vector<OpenCvCameraModel> opencv_cameras_;
  std::vector<Extrinsic> extrinsics_;

  void check_model_index(std::int64_t c, const char* label, std::int64_t observation) const;
};

template <>
const CameraModel& Observations::camera<CameraModel>(std::int64_t c, const char* label,
                                                     std::int64_t observation) const;
template <>
const OpenCvCameraModel& Observations::camera<OpenCvCameraModel>(std::int64_t c, const char* label,
                                                                 std::int64_t observation) const;

// (point identifier, payload) entries of the pairing and track tables.
using IdentifierTable = std::vector<std::pair<std::int64_t, std::int64_t>>;

// Sorts the table by identifier, keeping entries of equal identifier in their
// current order. For a table built in input order with ascending payloads this
// is the order of sorting the pairs themselves.
void sort_by_identifier(IdentifierTable& table);

}  // namespace vostrel
