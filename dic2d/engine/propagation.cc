#include "dic2d/engine/propagation.h"

#include <cstddef>
#include <stdexcept>
#include <utility>

#include "dic2d/engine/gauss_newton.h"
#include "dic2d/engine/integer_match.h"
#include "dic2d/engine/reference_subset.h"
#include "dic2d/roi/reduced_grid.h"

namespace dic2d {

void queue_push(std::vector<QueueEntry>& heap, const QueueEntry& entry) {
  heap.push_back(entry);
  std::size_t k = heap.size() - 1;
  while (k > 0) {
    const std::size_t parent = (k - 1) / 2;
    if (!(heap[k].corrcoef > heap[parent].corrcoef)) break;
    std::swap(heap[k], heap[parent]);
    k = parent;
  }
}

QueueEntry queue_pop(std::vector<QueueEntry>& heap) {
  const QueueEntry top = heap.front();
  const QueueEntry last = heap.back();
  heap.pop_back();
  const std::size_t n = heap.size();
  if (n == 0) return top;
  std::size_t hole = 0;
  // Move the hole down along the larger child (right unless left is larger).
  while (2 * hole + 2 < n) {
    std::size_t child = 2 * hole + 2;
    if (heap[child - 1].corrcoef > heap[child].corrcoef) --child;
    heap[hole] = heap[child];
    hole = child;
  }
  if (2 * hole + 2 == n) {
    heap[hole] = heap[2 * hole + 1];
    hole = 2 * hole + 1;
  }
  while (hole > 0) {
    const std::size_t parent = (hole - 1) / 2;
    if (!(last.corrcoef > heap[parent].corrcoef)) break;
    heap[hole] = heap[parent];
    hole = parent;
  }
  heap[hole] = last;
  return top;
}

std::vector<std::int32_t> build_grid_index_map(const std::vector<Point2>& points,
                                               std::int32_t reduced_width,
                                               std::int32_t reduced_height,
                                               std::int64_t grid_step) {
  const std::int64_t w = reduced_width > 0 ? reduced_width : 0;
  const std::int64_t h = reduced_height > 0 ? reduced_height : 0;
  std::vector<std::int32_t> map(static_cast<std::size_t>(w * h), -1);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const std::int64_t gx = round_half_away(points[i][0]) / grid_step;
    const std::int64_t gy = round_half_away(points[i][1]) / grid_step;
    if (gx < 0 || gy < 0 || gx >= w || gy >= h) continue;
    map[static_cast<std::size_t>(gx * h + gy)] = static_cast<std::int32_t>(i);
  }
  return map;
}

PointFields propagate_rg(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                         const DicParameters& params, const ReducedRoi& roi,
                         const std::vector<Point2>& reference_grid_points, const SeedMatch& seed) {
  MatchRefiner refiner = make_match_refiner(reference, deformed, params);
  return propagate_rg(reference, deformed, mask, params, roi, reference_grid_points, seed, refiner);
}

PointFields propagate_rg(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                         const DicParameters& params, const ReducedRoi& roi,
                         const std::vector<Point2>& reference_grid_points, const SeedMatch& seed,
                         MatchRefiner& refiner) {
  const std::size_t n = reference_grid_points.size();
  PointFields fields;
  fields.deformed_points.assign(n, Point2{0.0, 0.0});
  for (auto* field : {&fields.u, &fields.v, &fields.du_dx, &fields.du_dy, &fields.dv_dx,
                      &fields.dv_dy, &fields.corrcoef}) {
    field->assign(n, 0.0);
  }
  fields.valid.assign(n, 0);
  // Point i is solved with warp p and coefficient c.
  const auto store = [&](std::size_t i, const AffineParams& p, double c) {
    fields.u[i] = p.u;
    fields.v[i] = p.v;
    fields.du_dx[i] = p.du_dx;
    fields.du_dy[i] = p.du_dy;
    fields.dv_dx[i] = p.dv_dx;
    fields.dv_dy[i] = p.dv_dy;
    fields.corrcoef[i] = c;
    fields.deformed_points[i] = {reference_grid_points[i][0] + p.u,
                                 reference_grid_points[i][1] + p.v};
    fields.valid[i] = 1;
  };

  const std::int64_t grid_step = static_cast<std::int64_t>(params.subset_spacing) + 1;
  const std::vector<std::int32_t> map =
      build_grid_index_map(reference_grid_points, roi.reduced_width, roi.reduced_height, grid_step);
  const std::int64_t w = roi.reduced_width;
  const std::int64_t h = roi.reduced_height;

  const std::int64_t sgx = seed.centre.x / grid_step;
  const std::int64_t sgy = seed.centre.y / grid_step;
  std::int32_t s = -1;
  if (sgx >= 0 && sgy >= 0 && sgx < w && sgy < h) {
    s = map[static_cast<std::size_t>(sgx * h + sgy)];
  }
  if (s < 0) {
    throw std::runtime_error("Seed point is not part of the reduced reference grid.");
  }
  store(static_cast<std::size_t>(s), seed.params, seed.corrcoef);

  std::vector<QueueEntry> heap;
  heap.reserve(n);
  queue_push(heap, QueueEntry{s, seed.params, seed.corrcoef});

  static constexpr int kNeighbour[4][2] = {{0, -1}, {1, 0}, {0, 1}, {-1, 0}};
  const std::int64_t radius = params.rg_search_radius;
  ReferenceSubset subset;

  while (!heap.empty()) {
    const QueueEntry parent = queue_pop(heap);
    const auto pi = static_cast<std::size_t>(parent.index);
    const double x = reference_grid_points[pi][0];
    const double y = reference_grid_points[pi][1];
    const std::int64_t gx = round_half_away(x) / grid_step;
    const std::int64_t gy = round_half_away(y) / grid_step;
    const AffineParams& p = parent.params;
    for (const auto& d : kNeighbour) {
      const std::int64_t nx = gx + d[0];
      const std::int64_t ny = gy + d[1];
      if (nx < 0 || ny < 0 || nx >= w || ny >= h) continue;
      const std::int32_t j = map[static_cast<std::size_t>(nx * h + ny)];
      if (j < 0 || fields.valid[static_cast<std::size_t>(j)] == 1) continue;
      const auto ji = static_cast<std::size_t>(j);
      const double X = reference_grid_points[ji][0];
      const double Y = reference_grid_points[ji][1];
      const auto cx = static_cast<std::int32_t>(round_half_away(X));
      const auto cy = static_cast<std::int32_t>(round_half_away(Y));
      const std::int64_t pu = round_half_away((p.u + p.du_dx * (X - x)) + p.du_dy * (Y - y));
      const std::int64_t pv = round_half_away((p.dv_dx * (X - x) + p.v) + p.dv_dy * (Y - y));

      prepare_reference_subset(reference, mask, cx, cy, params, subset);
      if (subset.offsets.size() <= 2) continue;
      // Only displacements keeping the subset inside the image are visited,
      // so a huge search radius stays bounded.
      const auto match =
          best_integer_match(subset, deformed, pu - radius, pu + radius, pv - radius, pv + radius);
      if (!match) continue;

      const AffineResult refined =
          refine_match(refiner, subset, deformed,
                       AffineParams{static_cast<double>(match->du), static_cast<double>(match->dv),
                                    p.du_dx, p.du_dy, p.dv_dx, p.dv_dy},
                       match->corrcoef, params);
      if (refined.corrcoef < params.cutoff_corrcoef) continue;

      store(ji, refined.params, refined.corrcoef);
      queue_push(heap, QueueEntry{j, refined.params, refined.corrcoef});
    }
  }
  return fields;
}

}  // namespace dic2d
