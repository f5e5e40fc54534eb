#include "dic2d/engine/icgn.h"

#include "dic2d/engine/smoothing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

namespace dic2d {
namespace {

// A smooth analytic gray pattern (periods of 9 to 25 pixels), well inside the
// band that cubic B-splines interpolate to better than 1e-3 gray levels.
double pattern(double x, double y) {
  return 100.0 + 40.0 * std::sin(0.31 * x + 0.17 * y) * std::cos(0.23 * y - 0.11 * x) +
         25.0 * std::sin(0.52 * y + 1.0) + 18.0 * std::cos(0.69 * x - 0.3 * y);
}

// Global motion x' = X + t + G (X - o) about the point o.
struct Motion {
  double u0 = 0.0;
  double v0 = 0.0;
  double gxx = 0.0;  // du/dx
  double gxy = 0.0;  // du/dy
  double gyx = 0.0;  // dv/dx
  double gyy = 0.0;  // dv/dy
  double ox = 0.0;
  double oy = 0.0;

  // Parameters of the warp of a subset centred at (cx, cy).
  AffineParams at(double cx, double cy) const {
    return {u0 + gxx * (cx - ox) + gxy * (cy - oy),
            v0 + gyx * (cx - ox) + gyy * (cy - oy),
            gxx,
            gxy,
            gyx,
            gyy};
  }
};

GrayImage render(std::int32_t size, const Motion& m, double gain = 1.0, double offset = 0.0) {
  GrayImage img;
  img.width = img.height = size;
  img.pixels.resize(static_cast<std::size_t>(size) * size);
  const double a = 1.0 + m.gxx;
  const double b = m.gxy;
  const double c = m.gyx;
  const double d = 1.0 + m.gyy;
  const double det = a * d - b * c;
  for (std::int32_t x = 0; x < size; ++x) {
    for (std::int32_t y = 0; y < size; ++y) {
      // Invert the motion: the deformed pixel shows the reference at X.
      const double rx = x - m.ox - m.u0;
      const double ry = y - m.oy - m.v0;
      const double X = m.ox + (d * rx - b * ry) / det;
      const double Y = m.oy + (-c * rx + a * ry) / det;
      img.pixels[static_cast<std::size_t>(x) * size + y] = gain * pattern(X, Y) + offset;
    }
  }
  return img;
}

std::vector<SubsetOffset> disc(std::int32_t r) {
  std::vector<SubsetOffset> offsets;
  for (std::int32_t dx = -r; dx <= r; ++dx)
    for (std::int32_t dy = -r; dy <= r; ++dy)
      if (dx * dx + dy * dy <= r * r) offsets.push_back({dx, dy});
  return offsets;
}

struct Fixture {
  GrayImage reference;
  GrayImage deformed;
  IcgnImages images;
  IcgnSubset subset;
  IcgnScratch scratch;
  DicParameters params;

  Fixture(const Motion& m, MatchCriterion criterion, SubpixelInterpolation interpolation,
          std::int32_t cx, std::int32_t cy, std::int32_t radius = 15, double gain = 1.0,
          double offset = 0.0)
      : reference(render(96, Motion{})), deformed(render(96, m, gain, offset)) {
    images = prepare_icgn_images(reference, deformed, criterion, interpolation);
    prepare_icgn_subset(images, disc(radius), cx, cy, subset);
    params.cutoff_diffnorm = 1e-10;
  }
};

void expect_params_near(const AffineParams& got, const AffineParams& want, double tol_u,
                        double tol_grad) {
  EXPECT_NEAR(got.u, want.u, tol_u);
  EXPECT_NEAR(got.v, want.v, tol_u);
  EXPECT_NEAR(got.du_dx, want.du_dx, tol_grad);
  EXPECT_NEAR(got.du_dy, want.du_dy, tol_grad);
  EXPECT_NEAR(got.dv_dx, want.dv_dx, tol_grad);
  EXPECT_NEAR(got.dv_dy, want.dv_dy, tol_grad);
}

TEST(IcgnConvergence, SubPixelTranslationBothCriteriaWithBspline) {
  Motion m;
  m.u0 = 2.37;
  m.v0 = -1.62;
  for (const MatchCriterion criterion : {MatchCriterion::kZnssd, MatchCriterion::kSsd}) {
    Fixture f(m, criterion, SubpixelInterpolation::kBspline3, 48, 48);
    const auto t = icgn_translation(f.images, f.subset, 2.0, -2.0, f.params, f.scratch);
    ASSERT_TRUE(t.has_value());
    EXPECT_NEAR(t->u, 2.37, 2e-4);
    EXPECT_NEAR(t->v, -1.62, 2e-4);
    EXPECT_GT(t->corrcoef, 0.99999);
    const AffineResult a =
        icgn_refine_match(f.images, f.subset, AffineParams{2.0, -2.0}, 0.5, f.params, f.scratch);
    expect_params_near(a.params, m.at(48, 48), 2e-4, 2e-5);
  }
}

TEST(IcgnConvergence, AffineMotionFromTranslationStart) {
  Motion m;
  m.u0 = 1.3;
  m.v0 = 0.45;
  m.gxx = 0.012;
  m.gxy = -0.008;
  m.gyx = 0.005;
  m.gyy = -0.015;
  m.ox = 40.0;
  m.oy = 52.0;
  const AffineParams want = m.at(50, 46);
  Fixture f(m, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, 50, 46);
  const AffineResult a =
      icgn_refine_match(f.images, f.subset, AffineParams{1.0, 0.0}, 0.5, f.params, f.scratch);
  expect_params_near(a.params, want, 2e-4, 2e-5);
  EXPECT_GT(a.corrcoef, 0.99999);
  // Bilinear interpolation converges to the same warp, less precisely.
  Fixture g(m, MatchCriterion::kZnssd, SubpixelInterpolation::kBilinear, 50, 46);
  const AffineResult b =
      icgn_refine_match(g.images, g.subset, AffineParams{1.0, 0.0}, 0.5, g.params, g.scratch);
  expect_params_near(b.params, want, 0.03, 3e-3);
}

TEST(IcgnCriterion, ZnssdIgnoresGainAndOffsetOfTheDeformedImage) {
  Motion m;
  m.u0 = -0.73;
  m.v0 = 1.41;
  m.gxx = 0.01;
  m.gyy = -0.006;
  m.ox = m.oy = 48.0;
  Fixture plain(m, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, 44, 50);
  Fixture lit(m, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, 44, 50, 15, 1.3, 25.0);
  const AffineParams start{-1.0, 1.0};
  const AffineResult a =
      icgn_refine_match(plain.images, plain.subset, start, 0.0, plain.params, plain.scratch);
  const AffineResult b =
      icgn_refine_match(lit.images, lit.subset, start, 0.0, lit.params, lit.scratch);
  expect_params_near(b.params, a.params, 1e-9, 1e-11);
  EXPECT_NEAR(b.corrcoef, a.corrcoef, 1e-12);
  // SSD has no such invariance: the lit pair pulls it far off.
  Fixture ssd(m, MatchCriterion::kSsd, SubpixelInterpolation::kBspline3, 44, 50, 15, 1.3, 25.0);
  const AffineResult c =
      icgn_refine_match(ssd.images, ssd.subset, start, 0.0, ssd.params, ssd.scratch);
  const double miss = std::abs(c.params.u - a.params.u) + std::abs(c.params.v - a.params.v) +
                      std::abs(c.params.du_dx - a.params.du_dx);
  EXPECT_GT(miss, 1e-4);
}

TEST(IcgnStages, IdenticalImagesStayAtZeroWithUnitCoefficient) {
  Fixture f(Motion{}, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, 48, 48);
  const auto a = icgn_affine(f.images, f.subset, AffineParams{}, f.params, f.scratch);
  ASSERT_TRUE(a.has_value());
  expect_params_near(a->params, AffineParams{}, 1e-12, 1e-13);
  EXPECT_NEAR(a->corrcoef, 1.0, 1e-12);
}

TEST(IcgnStages, SubsetDriftingPartlyOutsideKeepsTheRestAndConverges) {
  // Centre 14 px from the left border, radius 15, motion to the left: part
  // of the warped subset leaves the deformed image on every iteration.
  Motion m;
  m.u0 = -3.4;
  m.v0 = 0.2;
  Fixture f(m, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, 16, 48);
  const AffineResult a =
      icgn_refine_match(f.images, f.subset, AffineParams{-3.0, 0.0}, 0.1, f.params, f.scratch);
  // Samples within two pixels of the border carry the mirror extension's
  // interpolation error, hence the looser tolerance.
  EXPECT_NEAR(a.params.u, -3.4, 3e-3);
  EXPECT_NEAR(a.params.v, 0.2, 3e-3);
  EXPECT_GT(a.corrcoef, 0.9999);
}

TEST(IcgnStages, FailuresLeaveTheEstimate) {
  Fixture f(Motion{}, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, 48, 48);
  // Every pixel warped outside the image.
  EXPECT_FALSE(icgn_translation(f.images, f.subset, 500.0, 0.0, f.params, f.scratch));
  EXPECT_FALSE(icgn_affine(f.images, f.subset, AffineParams{0.0, -500.0}, f.params, f.scratch));
  const AffineResult kept = icgn_refine_match(f.images, f.subset, AffineParams{500.0, 1.0, 0.1},
                                              0.25, f.params, f.scratch);
  EXPECT_EQ(kept.params.u, 500.0);
  EXPECT_EQ(kept.params.du_dx, 0.1);
  EXPECT_EQ(kept.corrcoef, 0.25);
  // A flat deformed image has no ZNSSD solution.
  GrayImage flat = f.deformed;
  for (double& p : flat.pixels) p = 7.0;
  const IcgnImages flat_images = prepare_icgn_images(f.reference, flat, MatchCriterion::kZnssd,
                                                     SubpixelInterpolation::kBspline3);
  EXPECT_FALSE(icgn_translation(flat_images, f.subset, 0.0, 0.0, f.params, f.scratch));
  // Five pixels: translation runs, affine needs six.
  IcgnSubset small;
  prepare_icgn_subset(f.images, {{0, 0}, {1, 0}, {0, 1}, {-1, 0}, {0, -1}}, 48, 48, small);
  EXPECT_TRUE(icgn_translation(f.images, small, 0.0, 0.0, f.params, f.scratch));
  EXPECT_FALSE(icgn_affine(f.images, small, AffineParams{}, f.params, f.scratch));
}

TEST(IcgnStages, IterationLimitIsNoFailure) {
  Motion m;
  m.u0 = 0.4;
  Fixture f(m, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, 48, 48);
  f.params.cutoff_iteration = 1;
  const auto one = icgn_translation(f.images, f.subset, 0.0, 0.0, f.params, f.scratch);
  ASSERT_TRUE(one.has_value());
  f.params.cutoff_iteration = 50;
  const auto many = icgn_translation(f.images, f.subset, 0.0, 0.0, f.params, f.scratch);
  ASSERT_TRUE(many.has_value());
  // One step gets most of the way, not all of it.
  EXPECT_LT(std::abs(one->u - 0.4), 0.2);
  EXPECT_GT(std::abs(one->u - many->u), 1e-6);
}

TEST(IcgnReference, HessianIsTheSumOfSteepestDescentProducts) {
  Fixture f(Motion{}, MatchCriterion::kSsd, SubpixelInterpolation::kBilinear, 30, 60, 11);
  const IcgnSubset& s = f.subset;
  int entry = 0;
  for (int i = 0; i < 6; ++i) {
    for (int j = i; j < 6; ++j, ++entry) {
      double sum = 0.0;
      for (std::size_t k = 0; k < s.size(); ++k) sum += s.steepest[i][k] * s.steepest[j][k];
      EXPECT_NEAR(s.hessian[entry], sum, 1e-9 * std::abs(sum) + 1e-12) << i << "," << j;
    }
  }
  // Bilinear mode: mirrored central differences of the reference.
  const std::size_t k = 0;
  const auto x = static_cast<std::int64_t>(s.pixel_x[k]);
  const auto y = static_cast<std::int64_t>(s.pixel_y[k]);
  const auto I = [&](std::int64_t i, std::int64_t j) { return f.reference.pixels[i * 96 + j]; };
  EXPECT_EQ(s.steepest[0][k], 0.5 * (I(x + 1, y) - I(x - 1, y)));
  EXPECT_EQ(s.steepest[1][k], 0.5 * (I(x, y + 1) - I(x, y - 1)));
  EXPECT_EQ(s.steepest[3][k], s.steepest[0][k] * s.offset_y[k]);
}

TEST(IcgnWarp, ComposeInverseUpdate) {
  const AffineParams p{1.5, -0.25, 0.02, -0.01, 0.003, 0.04};
  const auto same = compose_inverse_update(p, AffineParams{});
  ASSERT_TRUE(same.has_value());
  expect_params_near(*same, p, 0.0, 0.0);
  const auto identity = compose_inverse_update(p, p);
  ASSERT_TRUE(identity.has_value());
  expect_params_near(*identity, AffineParams{}, 1e-15, 1e-17);
  // Pure translations subtract.
  const auto shifted = compose_inverse_update(AffineParams{2.0, 3.0}, AffineParams{0.5, -1.0});
  expect_params_near(*shifted, AffineParams{1.5, 4.0}, 0.0, 0.0);
  EXPECT_FALSE(compose_inverse_update(p, AffineParams{0.0, 0.0, -1.0, 0.0, 0.0, 0.0}));
}

}  // namespace
}  // namespace dic2d

namespace dic2d {
namespace {

TEST(LaneDispatch, IcgnImagesTakeTheDetectedWidth) {
  Fixture f(Motion{}, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, 48, 48);
  EXPECT_EQ(f.images.lanes, detected_lane_width());
}

// Runs the whole refinement with one lane width and returns its result.
AffineResult refine_with(LaneWidth lanes, const Motion& m, std::int32_t cx, std::int32_t cy,
                         std::int32_t radius, const AffineParams& start) {
  Fixture f(m, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, cx, cy, radius);
  f.images.lanes = lanes;
  prepare_icgn_subset(f.images, disc(radius), cx, cy, f.subset);
  return icgn_refine_match(f.images, f.subset, start, 0.0, f.params, f.scratch);
}

TEST(LaneDispatch, TwoAndFourLanesGiveIdenticalBits) {
  if (!cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this CPU: the four-lane path cannot run";
  Motion m;
  m.u0 = 1.7;
  m.v0 = -0.6;
  m.gxx = 0.01;
  m.gyx = -0.004;
  m.ox = m.oy = 48.0;
  // Radius 13 gives 529 pixels (not a multiple of four: the tail runs too);
  // the second centre loses pixels beyond the border on every iteration.
  for (const auto& [cx, cy] : {std::pair{48, 48}, std::pair{82, 48}}) {
    const AffineParams start{2.0, -1.0};
    const AffineResult two = refine_with(LaneWidth::kTwo, m, cx, cy, 13, start);
    const AffineResult four = refine_with(LaneWidth::kFour, m, cx, cy, 13, start);
    EXPECT_EQ(two.params.u, four.params.u);
    EXPECT_EQ(two.params.v, four.params.v);
    EXPECT_EQ(two.params.du_dx, four.params.du_dx);
    EXPECT_EQ(two.params.du_dy, four.params.du_dy);
    EXPECT_EQ(two.params.dv_dx, four.params.dv_dx);
    EXPECT_EQ(two.params.dv_dy, four.params.dv_dy);
    EXPECT_EQ(two.corrcoef, four.corrcoef);
    EXPECT_NE(two.params.u, start.u);  // it did refine
  }
}

}  // namespace
}  // namespace dic2d

namespace dic2d {
namespace {

TEST(IcgnSmoothing, FiltersBothImagesAndKeepsTheMotion) {
  Motion m;
  m.u0 = 0.31;
  m.v0 = -1.27;
  Fixture f(m, MatchCriterion::kZnssd, SubpixelInterpolation::kBspline3, 48, 48);
  const IcgnImages smoothed = prepare_icgn_images(f.reference, f.deformed, MatchCriterion::kZnssd,
                                                  SubpixelInterpolation::kBspline3, 0.8);
  EXPECT_EQ(icgn_reference(smoothed).pixels, gaussian_smooth(f.reference, 0.8).pixels);
  EXPECT_EQ(&icgn_deformed(smoothed), &f.deformed);  // read through its coefficients
  EXPECT_EQ(&icgn_reference(f.images), &f.reference);
  IcgnSubset subset;
  prepare_icgn_subset(smoothed, disc(15), 48, 48, subset);
  EXPECT_EQ(subset.values[0], icgn_reference(smoothed).pixels[(48 - 15) * 96 + 48]);
  const AffineResult a =
      icgn_refine_match(smoothed, subset, AffineParams{0.0, -1.0}, 0.0, f.params, f.scratch);
  expect_params_near(a.params, m.at(48, 48), 2e-4, 2e-5);
  // Bilinear sampling keeps the smoothed deformed image itself.
  const IcgnImages bilinear = prepare_icgn_images(f.reference, f.deformed, MatchCriterion::kZnssd,
                                                  SubpixelInterpolation::kBilinear, 0.8);
  EXPECT_EQ(icgn_deformed(bilinear).pixels, gaussian_smooth(f.deformed, 0.8).pixels);
  EXPECT_TRUE(bilinear.deformed_coefficients.values.empty());
}

}  // namespace
}  // namespace dic2d
