#pragma once
// Reliability-guided propagation: grid points are solved one 4-neighbour at a
// time, always continuing from the solved point of highest correlation.
//
// Conventions: grid point i of reference_grid_points lies in reduced-grid
// cell (round(x) / grid_step, round(y) / grid_step), grid_step =
// subset_spacing + 1; cells are stored x-major (gx * reduced_height + gy).
// Neighbours are tried in the order (0, -1), (+1, 0), (0, +1), (-1, 0).

#include <cstdint>
#include <vector>

#include "dic2d/core/images.h"
#include "dic2d/core/match.h"
#include "dic2d/core/parameters.h"
#include "dic2d/core/result.h"
#include "dic2d/engine/match_refiner.h"
#include "dic2d/roi/roi_regions.h"

namespace dic2d {

struct QueueEntry {
  std::int32_t index = 0;
  AffineParams params;
  double corrcoef = 0.0;
};

// Binary max-heap by corrcoef kept in `heap`, with fixed sift rules so the
// order among equal coefficients is the same on every platform and library.
// Push appends and sifts up while strictly greater than the parent.
void queue_push(std::vector<QueueEntry>& heap, const QueueEntry& entry);

// Removes and returns the root; the last entry is re-inserted through a hole
// moved down along the larger child (the right one unless the left is
// strictly larger), then sifted up. `heap` must not be empty.
QueueEntry queue_pop(std::vector<QueueEntry>& heap);

// Cell -> grid point index (-1 for cells without a point), x-major. Points
// whose cell lies outside the grid are not entered.
std::vector<std::int32_t> build_grid_index_map(const std::vector<Point2>& points,
                                               std::int32_t reduced_width,
                                               std::int32_t reduced_height, std::int64_t grid_step);

// The per-point fields of `reference_grid_points` (on the reduced grid of
// `roi`), solved outward from `seed`: the seed is stored whatever its
// coefficient, a neighbour only when its refined coefficient reaches
// cutoff_corrcoef. Points never reached or accepted hold zeros. Throws
// std::runtime_error "Seed point is not part of the reduced reference grid."
// when the seed's cell holds no grid point.
PointFields propagate_rg(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                         const DicParameters& params, const ReducedRoi& roi,
                         const std::vector<Point2>& reference_grid_points, const SeedMatch& seed);

// The same with the run's refiner (prepared once for the seed and every
// point).
PointFields propagate_rg(const GrayImage& reference, const GrayImage& deformed, const RoiMask& mask,
                         const DicParameters& params, const ReducedRoi& roi,
                         const std::vector<Point2>& reference_grid_points, const SeedMatch& seed,
                         MatchRefiner& refiner);

}  // namespace dic2d
