#include "vostrel/reconstruction/dic_sampling.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "vostrel/core/thrown_message.h"

namespace vostrel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Four fields of n_cam cameras on an h x w grid, held in C order
// ([camera][row][column]) or, with `permuted`, camera fastest and row
// slowest; u = 10 col + row + 100 c, v = -u, corrcoef 0.9, all solved.
struct Grid {
  Grid(int n_cam_in, int h_in, int w_in, int spacing_in, bool permuted = false)
      : n_cam(n_cam_in), h(h_in), w(w_in), spacing(spacing_in) {
    const std::size_t n = static_cast<std::size_t>(n_cam * h * w);
    u.resize(n);
    v.resize(n);
    cc.assign(n, 0.9);
    ok.assign(n, 1);
    shape = {n_cam, h, w};
    if (permuted) {
      element_strides = {1, n_cam * w, n_cam};
    } else {
      element_strides = {h * w, w, 1};
    }
    for (int c = 0; c < n_cam; ++c) {
      for (int r = 0; r < h; ++r) {
        for (int col = 0; col < w; ++col) {
          u[at(c, r, col)] = 10.0 * col + r + 100.0 * c;
          v[at(c, r, col)] = -u[at(c, r, col)];
        }
      }
    }
    for (std::size_t d = 0; d < 3; ++d) {
      double_strides[d] = element_strides[d] * static_cast<std::ptrdiff_t>(sizeof(double));
      bool_strides[d] = element_strides[d];
    }
  }

  std::size_t at(int c, int r, int col) const {
    return static_cast<std::size_t>(c * element_strides[0] + r * element_strides[1] +
                                    col * element_strides[2]);
  }

  DicFieldArrays arrays() const {
    return {{u.data(), 3, shape.data(), double_strides.data()},
            {v.data(), 3, shape.data(), double_strides.data()},
            {cc.data(), 3, shape.data(), double_strides.data()},
            {ok.data(), 3, shape.data(), bool_strides.data()},
            h,
            w,
            spacing};
  }

  int n_cam, h, w, spacing;
  std::vector<double> u, v, cc;
  std::vector<unsigned char> ok;
  std::array<std::ptrdiff_t, 3> shape{};
  std::array<std::ptrdiff_t, 3> element_strides{};
  std::array<std::ptrdiff_t, 3> double_strides{};
  std::array<std::ptrdiff_t, 3> bool_strides{};
};

DicSample sample(const Grid& g, int c, double x, double y, double min_corrcoef = 0.5) {
  return sample_dic_field(DicFields(g.arrays()), c, x, y, min_corrcoef);
}

void expect_node(const DicSample& s, const Grid& g, int c, int r, int col) {
  ASSERT_TRUE(s.valid);
  EXPECT_EQ(s.u, g.u[g.at(c, r, col)]);
  EXPECT_EQ(s.v, g.v[g.at(c, r, col)]);
  EXPECT_EQ(s.corrcoef, g.cc[g.at(c, r, col)]);
}

void expect_invalid(const DicSample& s) {
  EXPECT_FALSE(s.valid);
  EXPECT_EQ(s.u, 0.0);
  EXPECT_EQ(s.v, 0.0);
  EXPECT_EQ(s.corrcoef, 0.0);
}

TEST(DicSampling, NodePixelsReturnTheNodeThroughEitherBranch) {
  const Grid g(2, 4, 5, 4);
  // Interior node: the bilinear branch with weights (1, 0, 0, 0).
  expect_node(sample(g, 1, 10.0, 5.0), g, 1, 1, 2);
  // Last column and last row: the nearest-node branch.
  expect_node(sample(g, 1, 20.0, 5.0), g, 1, 1, 4);
  expect_node(sample(g, 0, 0.0, 15.0), g, 0, 3, 0);
}

TEST(DicSampling, BilinearBetweenFourNodesReproducesALinearField) {
  const Grid g(1, 4, 5, 4);
  // (12.0, 7.5) is grid position (2.4, 1.5): u = 10 * 2.4 + 1.5 exactly for
  // a field linear in both grid coordinates.
  const DicSample s = sample(g, 0, 12.0, 7.5);
  ASSERT_TRUE(s.valid);
  EXPECT_NEAR(s.u, 25.5, 1e-12);
  EXPECT_NEAR(s.v, -25.5, 1e-12);
  EXPECT_NEAR(s.corrcoef, 0.9, 1e-15);
}

TEST(DicSampling, PermutedStorageGivesTheSameSamples) {
  const Grid c_order(2, 4, 5, 4);
  const Grid f_order(2, 4, 5, 4, true);
  for (const std::array<double, 2>& p :
       {std::array<double, 2>{12.0, 7.5}, {3.3, 14.9}, {19.0, 0.2}, {-1.0, 6.0}}) {
    for (int c = 0; c < 2; ++c) {
      const DicSample a = sample(c_order, c, p[0], p[1]);
      const DicSample b = sample(f_order, c, p[0], p[1]);
      EXPECT_EQ(a.valid, b.valid);
      EXPECT_EQ(a.u, b.u);
      EXPECT_EQ(a.v, b.v);
      EXPECT_EQ(a.corrcoef, b.corrcoef);
    }
  }
}

TEST(DicSampling, PositionsWithinHalfAStepOutsideTakeTheBorderNode) {
  const Grid g(1, 4, 5, 4);
  expect_node(sample(g, 0, -1.0, 6.0), g, 0, 1, 0);   // gx = -0.2
  expect_invalid(sample(g, 0, -3.0, 6.0));            // gx = -0.6
  expect_node(sample(g, 0, 22.4, 15.0), g, 0, 3, 4);  // gx = 4.48
  expect_invalid(sample(g, 0, 22.5, 15.0));           // gx = 4.5 rounds away to 5
  expect_invalid(sample(g, 0, 5.0, 17.5));            // gy = 3.5 rounds to row 4
}

TEST(DicSampling, UnsolvedOrPoorNodesFallBackToTheNearestNode) {
  Grid g(1, 4, 5, 4);
  g.ok[g.at(0, 2, 3)] = 0;
  // (12.0, 7.5) needs (1..2, 2..3); the nearest node (2, 2) is used instead.
  expect_node(sample(g, 0, 12.0, 7.5), g, 0, 2, 2);
  // Nearest node (2, 3) is the unsolved one: no sample.
  expect_invalid(sample(g, 0, 13.0, 8.0));

  Grid poor(1, 4, 5, 4);
  poor.cc[poor.at(0, 1, 3)] = 0.4;
  expect_node(sample(poor, 0, 12.0, 7.5), poor, 0, 2, 2);
  expect_invalid(sample(poor, 0, 14.0, 6.0));  // nearest (1, 3) is too poor
  EXPECT_TRUE(sample(poor, 0, 14.0, 6.0, 0.4).valid);
}

TEST(DicSampling, NaNCoefficientsDoNotMakeASampleInvalid) {
  Grid g(1, 4, 5, 4);
  g.cc[g.at(0, 1, 2)] = kNaN;
  g.cc[g.at(0, 1, 4)] = kNaN;
  // A NaN among the four never compares below min_corrcoef: interpolated.
  const DicSample between = sample(g, 0, 9.0, 5.0);
  EXPECT_TRUE(between.valid);
  EXPECT_TRUE(std::isnan(between.corrcoef));
  const DicSample node = sample(g, 0, 10.0, 5.0);
  EXPECT_TRUE(node.valid);
  EXPECT_TRUE(std::isnan(node.corrcoef));
  // Nor is min_corrcoef greater than a NaN nearest node.
  const DicSample border = sample(g, 0, 20.0, 5.0);
  EXPECT_TRUE(border.valid);
  EXPECT_EQ(border.u, 41.0);
  EXPECT_TRUE(std::isnan(border.corrcoef));
}

TEST(DicSampling, NonFiniteHugeOrNonPositiveStepPositionsAreInvalid) {
  const Grid g(1, 4, 5, 4);
  for (const double x : {kNaN, std::numeric_limits<double>::infinity(), 1e12, -1e12}) {
    expect_invalid(sample(g, 0, x, 5.0));
    expect_invalid(sample(g, 0, 5.0, x));
  }
  Grid zero_step(1, 4, 5, -1);
  expect_invalid(sample(zero_step, 0, 0.0, 0.0));
  Grid negative_step(1, 4, 5, -7);
  expect_invalid(sample(negative_step, 0, 0.0, 0.0));
  // The largest spacing: step 2^31 computed in floating point, no overflow.
  Grid largest(1, 4, 5, std::numeric_limits<int>::max());
  expect_node(sample(largest, 0, 0.0, 0.0), largest, 0, 0, 0);
}

std::string construction_error(const DicFieldArrays& arrays) {
  return thrown_message<std::logic_error>([&] { DicFields{arrays}; });
}

TEST(DicSampling, ConstructionChecksDimensionsThenSizesThenExtents) {
  const Grid g(2, 4, 5, 4);
  DicFieldArrays a = g.arrays();
  EXPECT_EQ(construction_error(a), "");

  DicFieldArrays flat = a;
  flat.v.ndim = 2;
  flat.valid.ndim = 1;
  flat.reduced_height = -1;
  EXPECT_EQ(construction_error(flat), "array has incorrect number of dimensions: 2; expected 3");

  DicFieldArrays negative = a;
  negative.reduced_width = -2;
  negative.reduced_height = -1;
  EXPECT_EQ(construction_error(negative), "reduced_height = -1 is negative");
  negative.reduced_height = 4;
  EXPECT_EQ(construction_error(negative), "reduced_width = -2 is negative");

  DicFieldArrays large = a;
  large.reduced_width = 6;
  EXPECT_EQ(construction_error(large), "dic_u has grid extents 4 x 5; expected at least 4 x 6");
  const std::array<std::ptrdiff_t, 3> short_shape{2, 3, 5};
  DicFieldArrays short_cc = a;
  short_cc.corrcoef.shape = short_shape.data();
  EXPECT_EQ(construction_error(short_cc),
            "dic_corrcoef has grid extents 3 x 5; expected at least 4 x 5");
}

std::string camera_error(const DicFields& fields, std::int64_t c, const char* label,
                         std::int64_t observation) {
  return thrown_message<std::invalid_argument>([&] { fields.check_camera(c, label, observation); });
}

TEST(DicSampling, CameraIndicesOutsideAnyFieldAreRefusedByName) {
  const Grid g(2, 4, 5, 4);
  DicFieldArrays a = g.arrays();
  const std::array<std::ptrdiff_t, 3> one_camera{1, 4, 5};
  a.valid.shape = one_camera.data();
  const DicFields fields(a);
  EXPECT_EQ(camera_error(fields, 0, "cam_a", -1), "");
  EXPECT_EQ(camera_error(fields, 2, "cam_b", -1), "cam_b = 2 is outside [0, 2) of dic_u");
  EXPECT_EQ(camera_error(fields, -1, "cam_indices", 7),
            "cam_indices[7] = -1 is outside [0, 2) of dic_u");
  EXPECT_EQ(camera_error(fields, 1, "cam_indices", 3),
            "cam_indices[3] = 1 is outside [0, 1) of dic_valid");
}

}  // namespace
}  // namespace vostrel
