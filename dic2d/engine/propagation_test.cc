#include "dic2d/engine/propagation.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace dic2d
