#pragma once
// The affine subset warp and the seed's match expressed with it.
//
// Conventions: for the integer subset centre (cx, cy) and a subset pixel at
// offset (dx, dy), the warped position in the deformed image is
//   x' = (cx + dx) + u + du_dx * dx + du_dy * dy,
//   y' = (cy + dy) + v + dv_dx * dx + dv_dy * dy,
// evaluated left to right. u and v are in pixels, the four gradients are
// dimensionless.

#include "dic2d/core/pixel.h"

namespace dic2d {

// u, v, du_dx, du_dy, dv_dx, dv_dy, in this order everywhere (normal
// equations, queue entries, the seed's report values).
struct AffineParams {
  double u = 0.0;
  double v = 0.0;
  double du_dx = 0.0;
  double du_dy = 0.0;
  double dv_dx = 0.0;
  double dv_dy = 0.0;
};

// The warped position (x, y) of the subset pixel at `pixel` = (cx + dx,
// cy + dy), offset (dx, dy), under `p`, by the formula above. T is double,
// or a vector type that holds several pixels, one per lane.
template <typename T>
inline void warp_pixel(const AffineParams& p, T pixel_x, T pixel_y, T dx, T dy, T& x, T& y) {
  x = ((pixel_x + p.u) + p.du_dx * dx) + p.du_dy * dy;
  y = ((pixel_y + p.v) + p.dv_dx * dx) + p.dv_dy * dy;
}

// The seed's match: its pixel (the subset centre, the seed rounded once by
// validation), the refined warp there and the correlation coefficient of
// that warp.
struct SeedMatch {
  Pixel centre;
  AffineParams params;
  double corrcoef = 0.0;
};

}  // namespace dic2d
