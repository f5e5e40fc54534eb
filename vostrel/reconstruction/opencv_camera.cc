#include "vostrel/reconstruction/opencv_camera.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace vostrel {

double lens_domain_r2(double k1, double k2, double k3) {
  const double a1 = 3.0 * k1;
  const double a2 = 5.0 * k2;
  const double a3 = 7.0 * k3;
  if (!(std::isfinite(a1) && std::isfinite(a2) && std::isfinite(a3))) {
    return std::numeric_limits<double>::quiet_NaN();  // no lens: every pixel is refused
  }
  // h(s) = 1 + a1 s + a2 s² + a3 s³, h(0) = 1. Between the positive roots of
  // h' (at most two) and a bound past every root of h, h is monotone: the
  // first piece whose end has h <= 0 holds the first root, found by
  // bisection keeping h(lo) > 0.
  const auto h = [&](double s) { return 1.0 + s * (a1 + s * (a2 + s * a3)); };
  double bound;  // Cauchy's bound on the roots of h
  if (a3 != 0.0) {
    bound = 1.0 + std::max({std::fabs(a2), std::fabs(a1), 1.0}) / std::fabs(a3);
  } else if (a2 != 0.0) {
    bound = 1.0 + std::max(std::fabs(a1), 1.0) / std::fabs(a2);
  } else if (a1 != 0.0) {
    bound = 1.0 + 1.0 / std::fabs(a1);
  } else {
    return std::numeric_limits<double>::infinity();  // h = 1
  }
  std::array<double, 3> ends{bound, bound, bound};
  if (a3 != 0.0) {  // h'(s) = a1 + 2 a2 s + 3 a3 s²
    const double disc = a2 * a2 - 3.0 * a3 * a1;
    if (disc >= 0.0) {
      const double root = std::sqrt(disc);
      const double s1 = (-a2 - root) / (3.0 * a3);
      const double s2 = (-a2 + root) / (3.0 * a3);
      ends[0] = std::min(s1, s2);
      ends[1] = std::max(s1, s2);
    }
  } else if (a2 != 0.0) {
    ends[0] = -a1 / (2.0 * a2);
  }
  std::sort(ends.begin(), ends.end());
  double lo = 0.0;
  for (double hi : ends) {
    if (!(hi > lo) || hi > bound) continue;
    if (h(hi) <= 0.0) {
      for (int step = 0; step < 200; ++step) {
        const double mid = 0.5 * (lo + hi);
        if (!(mid > lo && mid < hi)) break;
        (h(mid) > 0.0 ? lo : hi) = mid;
      }
      return lo;
    }
    lo = hi;
  }
  return std::numeric_limits<double>::infinity();
}

OpenCvCameraModel make_opencv_camera_model(double fx, double fy, double cx, double cy, double skew,
                                           const std::array<double, 5>& dist) {
  OpenCvCameraModel c;
  c.fx = fx;
  c.fy = fy;
  c.cx = cx;
  c.cy = cy;
  c.skew = skew;
  c.k1 = dist[0];
  c.k2 = dist[1];
  c.p1 = dist[2];
  c.p2 = dist[3];
  c.k3 = dist[4];
  c.max_r2 = lens_domain_r2(c.k1, c.k2, c.k3);
  return c;
}

}  // namespace vostrel
