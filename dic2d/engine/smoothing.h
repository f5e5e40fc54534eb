#pragma once
// Gaussian low-pass filtering of a gray image, applied to both images before
// sub-pixel interpolation when asked for. Image noise and content near the
// sampling limit bias a Gauss-Newton match towards whole pixels (an error
// that swings with the sub-pixel shift); filtering both images alike removes
// most of that bias and leaves the motion itself unchanged, since the
// filter commutes with a translation.
//
// Conventions: x-major images (element x * height + y). The kernel is the
// sampled Gaussian exp(-k^2 / (2 sigma^2)), k = -r .. r with
// r = ceil(3 sigma), divided by its sum; it is applied along y, then along
// x. Border policy: the image is extended by whole-sample mirror symmetry
// (I(-k) = I(k), I(n - 1 + k) = I(n - 1 - k)), as the B-spline's; a line
// shorter than the kernel is mirrored as often as needed. Sums run over the
// taps in ascending k.

#include <vector>

#include "dic2d/core/images.h"

namespace dic2d {

// The normalised taps for k = -r .. r; a single tap of 1 when sigma is 0.
// sigma must be finite and non-negative (checked by the caller).
std::vector<double> gaussian_kernel(double sigma);

// The filtered image; a copy when sigma is 0.
GrayImage gaussian_smooth(const GrayImage& image, double sigma);

}  // namespace dic2d
