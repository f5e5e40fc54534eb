#pragma once
// 3D points from every observation of each track (all observations sharing a
// point identifier, any number of cameras), triangulated in the reference and
// in the deformed state from all views whose DIC sample is usable.
//
// One record per distinct identifier, ascending. Positions are in the
// calibration's frame and units ("sfm"); pixels are (x = column, y = row).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "vostrel/reconstruction/camera.h"
#include "vostrel/reconstruction/dic_sampling.h"
#include "vostrel/reconstruction/observations.h"

namespace vostrel {

struct TrackSettings {
  int min_views = 2;
  double min_corrcoef = 0.0;
  double max_reprojection_error_px = 0.0;
};

struct TrackPoint {
  std::int64_t id;
  Vec3 x_ref;              // (0, 0, 0) unless valid
  Vec3 x_def;              // (0, 0, 0) unless valid
  std::int32_t num_views;  // observations with a usable DIC sample
  double mean_corrcoef;    // mean coefficient of those samples; 0 without any
  double err_ref;          // mean reprojection distance in pixels, +inf unless
  double err_def;          // both triangulations succeeded
  bool valid;              // num_views >= min_views, both triangulations succeeded, both
                           // errors within the limit
};

// The observations of each track: (identifier, observation) sorted by
// identifier, the observations of one identifier in input order.
IdentifierTable group_tracks(const Observations& observations);

// The number of distinct identifiers of a grouped table.
std::size_t count_tracks(const IdentifierTable& tracks);

// Reconstructs the tracks of `tracks` (from group_tracks) in identifier order
// and hands each record to `emit` as it is made, so that a caller can write
// it straight into its results. The DIC fields are first looked at (views
// made and checked) at the first observation; each observation's camera
// index is checked against them before it is sampled, and against the
// calibration once its sample is valid.
void reconstruct_track_points(const Observations& observations, const IdentifierTable& tracks,
                              const DicFieldArrays& dic, const TrackSettings& settings,
                              const std::function<void(const TrackPoint&)>& emit);

// All records at once, in identifier order.
std::vector<TrackPoint> reconstruct_track_points(const Observations& observations,
                                                 const DicFieldArrays& dic,
                                                 const TrackSettings& settings);

}  // namespace vostrel
