#include "vostrel/reconstruction/observations.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "vostrel/core/thrown_message.h"

namespace vostrel {
namespace {

// A C-ordered float64, int64 or int32 array with its ArrayRef.
template <typename T>
struct Owned {
  std::vector<T> values;
  std::vector<std::ptrdiff_t> shape;
  std::vector<std::ptrdiff_t> strides;

  Owned(std::vector<T> v, std::vector<std::ptrdiff_t> s)
      : values(std::move(v)), shape(std::move(s)) {
    strides.assign(shape.size(), static_cast<std::ptrdiff_t>(sizeof(T)));
    for (std::size_t d = shape.size(); d-- > 1;) strides[d - 1] = strides[d] * shape[d];
  }
  ArrayRef ref() const {
    return {values.data(), static_cast<int>(shape.size()), shape.data(), strides.data()};
  }
};

// Two cameras with distinct intrinsics and poses, three observations.
struct Scene {
  Owned<double> K{{100, 0, 50, 0, 110, 40, 0, 0, 1, 200, 0, 60, 0, 210, 70, 0, 0, 1}, {2, 3, 3}};
  Owned<double> dist{{-0.1, 0.02, 0.0, 0.0}, {2, 2}};
  Owned<double> R{{1, 0, 0, 0, 1, 0, 0, 0, 1, 0, -1, 0, 1, 0, 0, 0, 0, 1}, {2, 3, 3}};
  Owned<double> t{{1, 2, 3, 4, 5, 6}, {2, 3}};
  Owned<std::int64_t> point_indices{{7, -3, 7}, {3}};
  Owned<std::int32_t> cam_indices{{0, 1, 1}, {3}};
  Owned<double> uv{{1.5, 2.5, 3.5, 4.5, 5.5, 6.5}, {3, 2}};

  ObservationArrays arrays() const {
    return {K.ref(),           dist.ref(), R.ref(), t.ref(), point_indices.ref(),
            cam_indices.ref(), uv.ref()};
  }
};

std::string construction_error(const ObservationArrays& arrays) {
  return thrown_message<std::logic_error>([&] { Observations{arrays}; });
}

TEST(Observations, ReadsObservationsAndBuildsEveryCamera) {
  const Scene scene;
  const Observations in(scene.arrays());
  ASSERT_EQ(in.size(), 3);
  EXPECT_EQ(in.point(1), -3);
  EXPECT_EQ(in.camera_index(2), 1);
  EXPECT_EQ(in.pixel(2), (Vec2{5.5, 6.5}));
  const CameraModel& c1 = in.camera<CameraModel>(1, "cam_b", -1);
  EXPECT_EQ(c1.fx, 200.0);
  EXPECT_EQ(c1.fy, 210.0);
  EXPECT_EQ(c1.cx, 60.0);
  EXPECT_EQ(c1.cy, 70.0);
  EXPECT_FALSE(c1.distortion_active);
  const CameraModel& c0 = in.camera<CameraModel>(0, "cam_a", -1);
  EXPECT_TRUE(c0.distortion_active);
  EXPECT_EQ(c0.k1, -0.1);
  EXPECT_EQ(c0.k2, 0.02);
  const Extrinsic expected{0, -1, 0, 4, 1, 0, 0, 5, 0, 0, 1, 6};
  EXPECT_EQ(in.extrinsic(1, "cam_b", -1), expected);
}

TEST(Observations, DimensionsAreCheckedInArgumentOrderBeforeExtents) {
  Scene scene;
  ObservationArrays a = scene.arrays();
  a.uv.ndim = 1;
  a.t.ndim = 3;
  EXPECT_EQ(construction_error(a), "array has incorrect number of dimensions: 3; expected 2");
  a.t.ndim = 2;
  EXPECT_EQ(construction_error(a), "array has incorrect number of dimensions: 1; expected 2");
  // A short K is found only once every view is made.
  scene.K.shape = {2, 3, 2};
  a = scene.arrays();
  a.uv.ndim = 1;
  EXPECT_EQ(construction_error(a), "array has incorrect number of dimensions: 1; expected 2");
}

TEST(Observations, ShortArraysAreRefusedByName) {
  struct Case {
    void (*cut)(Scene&);
    const char* message;
  };
  const Case cases[] = {
      {[](Scene& s) { s.K.shape = {2, 2, 3}; },
       "K has trailing extents 2 x 3; expected at least 3 x 3"},
      {[](Scene& s) { s.R.shape = {2, 3, 2}; },
       "R has trailing extents 3 x 2; expected at least 3 x 3"},
      {[](Scene& s) { s.t.shape = {2, 2}; }, "t has 2 columns; expected at least 3"},
      {[](Scene& s) { s.cam_indices.shape = {2}; },
       "cam_indices has 2 rows; expected at least 3 (the length of point_indices)"},
      {[](Scene& s) { s.uv.shape = {3, 1}; }, "uv has 1 columns; expected at least 2"},
      {[](Scene& s) { s.uv.shape = {2, 2}; },
       "uv has 2 rows; expected at least 3 (the length of point_indices)"},
  };
  for (const Case& c : cases) {
    Scene scene;
    c.cut(scene);
    EXPECT_EQ(construction_error(scene.arrays()), c.message);
  }
  // Longer arrays than needed are fine: extra rows and columns are not read.
  Scene longer;
  longer.cam_indices = Owned<std::int32_t>({0, 1, 1, 5}, {4});
  longer.dist = Owned<double>({-0.1, 0.02, 9.0, 0.0, 0.0, 9.0}, {2, 3});
  EXPECT_EQ(construction_error(longer.arrays()), "");
}

std::string camera_error(const Observations& in, std::int64_t c, bool model) {
  return thrown_message<std::invalid_argument>([&] {
    if (model) {
      in.camera<CameraModel>(c, "cam_indices", 4);
    } else {
      in.extrinsic(c, "cam_a", -1);
    }
  });
}

TEST(Observations, CameraIndicesAreCheckedAgainstEachPerCameraArray) {
  Scene scene;
  scene.dist = Owned<double>({-0.1, 0.02}, {1, 2});
  scene.t = Owned<double>({1, 2, 3}, {1, 3});
  const Observations in(scene.arrays());
  EXPECT_EQ(camera_error(in, 0, true), "");
  EXPECT_EQ(camera_error(in, 2, true), "cam_indices[4] = 2 is outside [0, 2) of K");
  EXPECT_EQ(camera_error(in, -1, true), "cam_indices[4] = -1 is outside [0, 2) of K");
  EXPECT_EQ(camera_error(in, 1, true), "cam_indices[4] = 1 is outside [0, 1) of dist");
  EXPECT_EQ(camera_error(in, 1, false), "cam_a = 1 is outside [0, 1) of t");
  EXPECT_EQ(camera_error(in, 3, false), "cam_a = 3 is outside [0, 2) of R");
}

TEST(Observations, MissingDistortionColumnsAreAPinhole) {
  Scene scene;
  scene.dist = Owned<double>({}, {2, 0});
  const Observations in(scene.arrays());
  EXPECT_FALSE(in.camera<CameraModel>(0, "cam_a", -1).distortion_active);
  scene.dist = Owned<double>({-0.1, 0.3}, {2, 1});
  const Observations one(scene.arrays());
  EXPECT_EQ(one.camera<CameraModel>(0, "cam_a", -1).k1, -0.1);
  EXPECT_EQ(one.camera<CameraModel>(0, "cam_a", -1).k2, 0.0);
}

TEST(Observations, TheOpenCvModelReadsSkewAndFiveCoefficients) {
  Scene scene;
  scene.K.values[1] = 0.5;  // skew of camera 0
  scene.dist = Owned<double>({-0.1, 0.02, 0.003, -0.004, 0.005, 9.0, 0, 0, 0, 0, 0, 9.0}, {2, 6});
  const Observations in(scene.arrays(), DistortionModel::kOpenCv);
  EXPECT_EQ(in.distortion_model(), DistortionModel::kOpenCv);
  const OpenCvCameraModel& c0 = in.camera<OpenCvCameraModel>(0, "cam_a", -1);
  EXPECT_EQ(c0.skew, 0.5);
  EXPECT_EQ(c0.fx, 100.0);
  EXPECT_EQ(c0.cy, 40.0);
  EXPECT_EQ((std::array<double, 5>{c0.k1, c0.k2, c0.p1, c0.p2, c0.k3}),
            (std::array<double, 5>{-0.1, 0.02, 0.003, -0.004, 0.005}));
  EXPECT_EQ(thrown_message<std::invalid_argument>(
                [&] { in.camera<OpenCvCameraModel>(2, "cam_indices", 1); }),
            "cam_indices[1] = 2 is outside [0, 2) of K");
  // The other model's cameras were never built.
  EXPECT_THROW(in.camera<CameraModel>(0, "cam_a", -1), std::logic_error);
  EXPECT_THROW(Observations(Scene().arrays()).camera<OpenCvCameraModel>(0, "cam_a", -1),
               std::logic_error);
}

TEST(Observations, TheOpenCvModelNeedsFiveColumnsOfDist) {
  for (const std::ptrdiff_t columns : {0, 2, 4}) {
    Scene scene;
    scene.dist =
        Owned<double>(std::vector<double>(static_cast<std::size_t>(2 * columns)), {2, columns});
    EXPECT_EQ(thrown_message<std::invalid_argument>(
                  [&] { Observations(scene.arrays(), DistortionModel::kOpenCv); }),
              "dist has " + std::to_string(columns) +
                  " columns; expected at least 5 (k1, k2, p1, p2, k3) with distortion_model "
                  "\"opencv\"");
    EXPECT_EQ(construction_error(scene.arrays()), "");  // two coefficients or fewer are fine
  }
}

TEST(Observations, DistortionModelsByName) {
  EXPECT_EQ(distortion_model_from_name("radial2"), DistortionModel::kRadial2);
  EXPECT_EQ(distortion_model_from_name("opencv"), DistortionModel::kOpenCv);
  for (const char* name : {"OpenCV", "radial", "", "opencv "}) {
    EXPECT_EQ(thrown_message<std::invalid_argument>([&] { distortion_model_from_name(name); }),
              std::string("distortion_model \"") + name +
                  "\" is unknown; expected \"radial2\" or \"opencv\"");
  }
}

// sort_by_identifier must equal std::stable_sort on the identifier, on the
// insertion-sort path (< 64 entries) and the radix path alike.
void expect_stable_order(IdentifierTable table) {
  IdentifierTable expected = table;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  sort_by_identifier(table);
  EXPECT_EQ(table, expected);
}

IdentifierTable random_table(std::size_t n, std::int64_t low, std::int64_t high, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_int_distribution<std::int64_t> id(low, high);
  IdentifierTable table;
  for (std::size_t i = 0; i < n; ++i) table.emplace_back(id(rng), static_cast<std::int64_t>(i));
  return table;
}

TEST(SortByIdentifier, EqualsAStableSortOnEveryPath) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  expect_stable_order({});
  expect_stable_order({{5, 0}});
  for (const std::size_t n :
       {std::size_t{10}, std::size_t{63}, std::size_t{64}, std::size_t{5000}}) {
    expect_stable_order(random_table(n, -20, 20, 1));             // many duplicates
    expect_stable_order(random_table(n, 1000, 1000 + 3 * n, 2));  // compact range
    expect_stable_order(random_table(n, kMin, kMax, 3));          // full 64-bit range
  }
  IdentifierTable extremes = random_table(300, -5, 5, 4);
  extremes[17].first = kMin;
  extremes[200].first = kMax;
  extremes[201].first = kMin;
  expect_stable_order(extremes);
  IdentifierTable same(200, {42, 0});
  for (std::size_t i = 0; i < same.size(); ++i) same[i].second = static_cast<std::int64_t>(i);
  expect_stable_order(same);
}

}  // namespace
}  // namespace vostrel
