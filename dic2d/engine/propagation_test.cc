#include "dic2d/engine/propagation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "dic2d/engine/spot_pattern_test_util.h"
#include "dic2d/roi/reduced_grid.h"

namespace dic2d {
namespace {

QueueEntry entry(std::int32_t index, double corrcoef) {
  QueueEntry e;
  e.index = index;
  e.corrcoef = corrcoef;
  return e;
}

std::vector<std::int32_t> drain(std::vector<QueueEntry>& heap) {
  std::vector<std::int32_t> order;
  while (!heap.empty()) order.push_back(queue_pop(heap).index);
  return order;
}

TEST(QueueTest, EqualCoefficientsPopInHeapRuleOrder) {
  // Worked by hand: equal pushes never move, so the array is 0 1 2 3 4.
  // Pop 0: 4 leaves, the hole takes the right child on ties (2), then 4
  // lands there: [2 1 4 3]. Pop 2: 3 leaves, hole takes 4: [4 1 3]. Pop 4:
  // one left child (1) moves up: [1 3]. Then 1, then 3.
  std::vector<QueueEntry> heap;
  for (std::int32_t i = 0; i < 5; ++i) queue_push(heap, entry(i, 0.5));
  EXPECT_EQ(drain(heap), (std::vector<std::int32_t>{0, 2, 4, 1, 3}));
}

TEST(QueueTest, MixedCoefficientsComeOutDescendingWithFixedTieOrder) {
  std::vector<QueueEntry> heap;
  const double keys[] = {0.7, 0.9, 0.7, 0.9, 0.8, 0.7};
  for (std::int32_t i = 0; i < 6; ++i) queue_push(heap, entry(i, keys[i]));
  // Pushes: [0] ; 1>0 -> [1 0] ; [1 0 2] ; 3 > 0 -> [1 3 2 0] (3 not > 1);
  // 4 > 3? no -> [1 3 2 0 4]; 5: parent 2 equal -> [1 3 2 0 4 5].
  // Pop 1: last 5 out, n=5, hole 0: children 3(0.9), 2(0.7): left strictly
  // larger -> 3 up, hole 1: children 0(0.7), 4(0.8): right -> 4 up, hole 4
  // (leaf); 5 (0.7) vs parent 4 (0.8): stays: [3 4 2 0 5].
  // Pop 3: last 5 out, n=4, hole 0: children 4(0.8), 2(0.7): 4 up, hole 1:
  // one left child 0 -> up, hole 3; 5 vs parent 0 equal: [4 0 2 5].
  // Pop 4: last 5 out, n=3: children 0, 2 equal -> right (2), hole 2; 5 vs
  // parent 2 equal: [2 0 5]. Pop 2: last 5 out, n=2: left child 0 up,
  // hole 1; 5 placed: [0 5]. Then 0, 5.
  EXPECT_EQ(drain(heap), (std::vector<std::int32_t>{1, 3, 4, 2, 0, 5}));
}

TEST(GridIndexMapTest, EntersEachPointInItsCellXMajor) {
  const std::vector<Point2> points = {{0.0, 0.0}, {0.0, 6.0}, {12.0, 6.0}, {60.0, 0.0}};
  const auto map = build_grid_index_map(points, 3, 2, 6);
  EXPECT_EQ(map, (std::vector<std::int32_t>{0, 1, -1, -1, -1, 2}));
}

// A 96 x 96 speckle pair shifted by (1.3, -0.6), full mask with a 12-pixel
// border, radius 10 and pitch 6: a 16 x 16 reduced grid of which the points
// from 12 to 78 carry subsets.
struct Scene {
  GrayImage reference;
  GrayImage deformed;
  RoiMask mask;
  DicParameters params;
  ReducedRoi roi;
  std::vector<Point2> points;
};

Scene shifted_scene() {
  Scene s;
  const auto spots = testing_util::make_spots(96, 96, 31u);
  s.reference = testing_util::render_reference(96, 96, spots);
  s.deformed = testing_util::render(96, 96, spots, [](double x, double y, double& px, double& py) {
    px = x - 1.3;
    py = y + 0.6;
  });
  s.mask = testing_util::full_mask(96, 96, 12);
  s.params.subset_radius = 10;
  s.params.subset_spacing = 5;
  s.roi.reduced_width = 16;
  s.roi.reduced_height = 16;
  s.points = list_reference_grid_points(s.mask, s.params);
  return s;
}

std::size_t index_of(const std::vector<Point2>& points, double x, double y) {
  for (std::size_t i = 0; i < points.size(); ++i)
    if (points[i][0] == x && points[i][1] == y) return i;
  ADD_FAILURE() << "no grid point at " << x << ", " << y;
  return 0;
}

TEST(PropagateRg, SeedOutsideTheGridPointsFailsBeforeAnythingIsSolved) {
  const Scene s = shifted_scene();
  // (6, 48) is in the image but within subset_radius of the border: its cell
  // holds no grid point. So does a cell beyond the reduced grid.
  for (const Pixel centre : {Pixel{6, 48}, Pixel{96, 48}, Pixel{48, 960}}) {
    const SeedMatch seed{centre, AffineParams{1.3, -0.6, 0, 0, 0, 0}, 0.99};
    try {
      propagate_rg(s.reference, s.deformed, s.mask, s.params, s.roi, s.points, seed);
      ADD_FAILURE() << "no exception for " << centre.x << ", " << centre.y;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "Seed point is not part of the reduced reference grid.");
    }
  }
}

TEST(PropagateRg, SeedIsStoredAsGivenAndTheCutoffHoldsBackEveryNeighbour) {
  Scene s = shifted_scene();
  s.params.cutoff_corrcoef = 1.5;
  // A coefficient far below the cutoff: the seed is stored all the same.
  const SeedMatch seed{Pixel{48, 42}, AffineParams{1.25, -0.5, 0.01, -0.02, 0.03, -0.04}, 0.125};
  const PointFields f =
      propagate_rg(s.reference, s.deformed, s.mask, s.params, s.roi, s.points, seed);
  const std::size_t n = s.points.size();
  ASSERT_EQ(n, 12u * 12u);
  for (const auto size :
       {f.deformed_points.size(), f.u.size(), f.v.size(), f.du_dx.size(), f.du_dy.size(),
        f.dv_dx.size(), f.dv_dy.size(), f.corrcoef.size(), f.valid.size()}) {
    EXPECT_EQ(size, n);
  }
  const std::size_t si = index_of(s.points, 48, 42);
  for (std::size_t i = 0; i < n; ++i) {
    if (i == si) continue;
    ASSERT_EQ(f.valid[i], 0) << i;
    EXPECT_EQ(f.u[i], 0.0);
    EXPECT_EQ(f.corrcoef[i], 0.0);
    EXPECT_EQ(f.deformed_points[i], (Point2{0.0, 0.0}));
  }
  EXPECT_EQ(f.valid[si], 1);
  EXPECT_EQ(f.u[si], 1.25);
  EXPECT_EQ(f.v[si], -0.5);
  EXPECT_EQ(f.du_dx[si], 0.01);
  EXPECT_EQ(f.du_dy[si], -0.02);
  EXPECT_EQ(f.dv_dx[si], 0.03);
  EXPECT_EQ(f.dv_dy[si], -0.04);
  EXPECT_EQ(f.corrcoef[si], 0.125);
  EXPECT_EQ(f.deformed_points[si], (Point2{48 + 1.25, 42 - 0.5}));
}

TEST(PropagateRg, SolvesEveryGridPointOfAShiftFromAnIntegerSeed) {
  const Scene s = shifted_scene();
  // The seed as the integer search would leave it: the rest is refined.
  const SeedMatch seed{Pixel{48, 48}, AffineParams{1.0, -1.0, 0, 0, 0, 0}, 0.9};
  const PointFields f =
      propagate_rg(s.reference, s.deformed, s.mask, s.params, s.roi, s.points, seed);
  const std::size_t si = index_of(s.points, 48, 48);
  for (std::size_t i = 0; i < s.points.size(); ++i) {
    ASSERT_EQ(f.valid[i], 1) << s.points[i][0] << ", " << s.points[i][1];
    if (i == si) continue;
    // Within the bilinear bias of a radius-10 subset.
    EXPECT_NEAR(f.u[i], 1.3, 0.05);
    EXPECT_NEAR(f.v[i], -0.6, 0.05);
    EXPECT_GT(f.corrcoef[i], 0.99);
    EXPECT_EQ(f.deformed_points[i], (Point2{s.points[i][0] + f.u[i], s.points[i][1] + f.v[i]}));
  }
  // Stored as given, not refined.
  EXPECT_EQ(f.u[si], 1.0);
  EXPECT_EQ(f.corrcoef[si], 0.9);
}

}  // namespace
}  // namespace dic2d
