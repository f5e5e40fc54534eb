#pragma once
// 3D surface points of one camera pair from both cameras' DIC fields: each
// point seen by both cameras is triangulated from its reference pixels and
// from its displaced pixels.
//
// Points come in ascending identifier order. A point produces no record
// unless it has an observation in cam_a and one in cam_b (the later one wins
// within a camera), both samples of the DIC fields are valid and both
// triangulations succeed. Positions are in the calibration's frame and units
// ("sfm"); pixels are (x = column, y = row).

#include <cstdint>
#include <vector>

#include "vostrel/reconstruction/camera.h"
#include "vostrel/reconstruction/dic_sampling.h"
#include "vostrel/reconstruction/observations.h"

namespace vostrel {

struct PairSettings {
  int cam_a = 0;
  int cam_b = 1;
  double min_corrcoef = 0.0;
  double max_reprojection_error_px = 0.0;
};

struct PairPoint {
  std::int64_t id;
  Vec2 uv_a, uv_b;    // reference pixels in cam_a, cam_b
  Vec2 def_a, def_b;  // displaced pixels: reference pixel + sampled (u, v)
  Vec3 x_ref, x_def;  // triangulated from the reference, the displaced pixels
  double corr_a, corr_b;
  double corr_comb;  // the smaller of corr_a and corr_b (corr_a on ties)
  double err_ref;    // mean distance in pixels of the two reprojections of x_ref
  double err_def;    // likewise of x_def to the displaced pixels
  bool valid;        // corr_comb >= min_corrcoef and both errors within the limit
};

// The DIC fields are first looked at (their views made and checked, cam_a and
// cam_b checked against them) at the first point that both cameras observe,
// the calibration of cam_a and cam_b at the first point with two valid
// samples.
std::vector<PairPoint> reconstruct_pair_points(const Observations& observations,
                                               const DicFieldArrays& dic,
                                               const PairSettings& settings);

}  // namespace vostrel
