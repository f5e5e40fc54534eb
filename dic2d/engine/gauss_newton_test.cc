#include "dic2d/engine/gauss_newton.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "dic2d/engine/literal_reference_test_util.h"
#include "dic2d/engine/spot_pattern_test_util.h"

namespace dic2d {
namespace {

using testing::literal_refine_affine;
using testing::literal_refine_translation;
using testing::LiteralTrace;
using testing::same_result;

constexpr int kWidth = 64;
constexpr int kHeight = 56;

using Scene = testing::SpeckleScene;

// Speckle pair: the deformed image shows the reference under a smooth affine
// motion of about (1.6, -0.7) pixels.
const Scene& speckle_scene() {
  static const Scene scene = testing::speckle_scene(
      kWidth, kHeight, 1234u, 99u, [](double x, double y, double& px, double& py) {
        px = x - 1.6 - 0.02 * (x - 32.0) + 0.01 * (y - 28.0);
        py = y + 0.7 + 0.015 * (x - 32.0) - 0.012 * (y - 28.0);
      });
  return scene;
}

DicParameters params_with(std::int32_t radius, bool truncation) {
  DicParameters p;
  p.subset_radius = radius;
  p.subset_truncation = truncation;
  return p;
}

// Runs both engine overloads (the prepared one with shared, reused storage)
// and the literal version, and checks all three agree bit for bit.
class Refiner {
 public:
  explicit Refiner(Scene scene) : scene_(std::move(scene)) {}

  std::optional<TranslationResult> translation(std::int32_t cx, std::int32_t cy, double u, double v,
                                               const DicParameters& params,
                                               LiteralTrace* trace = nullptr) {
    const auto expected = literal_refine_translation(scene_.reference, scene_.deformed, scene_.mask,
                                                     u, v, cx, cy, params, trace);
    const auto direct =
        refine_translation(scene_.reference, scene_.deformed, scene_.mask, u, v, cx, cy, params);
    prepare_reference_subset(scene_.reference, scene_.mask, cx, cy, params, subset_);
    const auto prepared = refine_translation(subset_, scene_.deformed, u, v, params, scratch_);
    EXPECT_TRUE(same_result(direct, expected)) << where(cx, cy, params) << " u=" << u << " v=" << v;
    EXPECT_TRUE(same_result(prepared, expected)) << where(cx, cy, params) << " prepared";
    for (const LaneWidth lanes : widths()) {
      const auto forced =
          refine_translation(subset_, scene_.deformed, u, v, params, scratch_, lanes);
      EXPECT_TRUE(same_result(forced, expected)) << where(cx, cy, params) << name(lanes);
    }
    return expected;
  }

  std::optional<AffineResult> affine(std::int32_t cx, std::int32_t cy, const AffineParams& initial,
                                     const DicParameters& params, LiteralTrace* trace = nullptr) {
    const auto expected = literal_refine_affine(scene_.reference, scene_.deformed, scene_.mask, cx,
                                                cy, initial, params, trace);
    const auto direct =
        refine_affine(scene_.reference, scene_.deformed, scene_.mask, cx, cy, initial, params);
    prepare_reference_subset(scene_.reference, scene_.mask, cx, cy, params, subset_);
    const auto prepared = refine_affine(subset_, scene_.deformed, initial, params, scratch_);
    EXPECT_TRUE(same_result(direct, expected))
        << where(cx, cy, params) << " u=" << initial.u << " v=" << initial.v;
    EXPECT_TRUE(same_result(prepared, expected)) << where(cx, cy, params) << " prepared";
    for (const LaneWidth lanes : widths()) {
      const auto forced = refine_affine(subset_, scene_.deformed, initial, params, scratch_, lanes);
      EXPECT_TRUE(same_result(forced, expected)) << where(cx, cy, params) << name(lanes);
    }
    return expected;
  }

 private:
  // Both kernel widths where the CPU runs them, two lanes elsewhere.
  static std::vector<LaneWidth> widths() {
    if (cpu_has_avx2()) return {LaneWidth::kTwo, LaneWidth::kFour};
    return {LaneWidth::kTwo};
  }
  static const char* name(LaneWidth lanes) {
    return lanes == LaneWidth::kFour ? " four lanes" : " two lanes";
  }

  static std::string where(std::int32_t cx, std::int32_t cy, const DicParameters& p) {
    return "centre (" + std::to_string(cx) + ", " + std::to_string(cy) + ") radius " +
           std::to_string(p.subset_radius) + (p.subset_truncation ? " truncated" : "");
  }

  const Scene scene_;
  ReferenceSubset subset_;
  RefinementScratch scratch_;
};

// Many centres (interior, on the border, in the mask's hole) x starting
// guesses (near, far, partly and wholly outside the image) x radii; radii
// change between calls so the shared scratch shrinks and grows.
class RefinementSweepTest : public ::testing::TestWithParam<bool> {};

TEST_P(RefinementSweepTest, BothStagesMatchLiteralBitForBit) {
  const bool truncation = GetParam();
  Refiner refiner(speckle_scene());
  const std::array<std::array<int, 2>, 7> centres = {
      {{31, 27}, {18, 40}, {0, 0}, {63, 12}, {45, 55}, {34, 7}, {2, 30}}};
  const std::array<std::array<double, 2>, 5> guesses = {
      {{1.6, -0.7}, {0.0, 0.0}, {2.45, -1.25}, {-30.0, 3.0}, {300.0, 0.5}}};
  const std::array<AffineParams, 2> gradients = {AffineParams{},
                                                 AffineParams{0.0, 0.0, -0.03, 0.02, 0.01, -0.02}};
  int succeeded = 0, failed = 0;
  for (const auto& centre : centres) {
    for (const std::int32_t radius : {9, 3, 13, 6}) {
      const DicParameters p = params_with(radius, truncation);
      for (const auto& guess : guesses) {
        const auto t = refiner.translation(centre[0], centre[1], guess[0], guess[1], p);
        (t ? succeeded : failed) += 1;
        for (AffineParams start : gradients) {
          start.u = t ? t->u : guess[0];
          start.v = t ? t->v : guess[1];
          (refiner.affine(centre[0], centre[1], start, p) ? succeeded : failed) += 1;
        }
      }
    }
  }
  // The sweep must exercise both outcomes.
  EXPECT_GT(succeeded, 100);
  EXPECT_GT(failed, 20);
}

INSTANTIATE_TEST_SUITE_P(Truncation, RefinementSweepTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "TruncatedToTheRoi" : "WholeDisc");
                         });

TEST(RefinementTest, ConvergedMatchRecoversTheMotion) {
  Refiner refiner(speckle_scene());
  const DicParameters p = params_with(12, false);
  // Inverting the scene's map at (31, 27) gives u = 1.63, v = -0.73 and the
  // gradients (0.0206, -0.0103, -0.0155, 0.0123); translation alone is biased
  // by the unmodelled strain.
  const auto t = refiner.translation(31, 27, 1.0, 0.0, p);
  ASSERT_TRUE(t);
  EXPECT_NEAR(t->u, 1.63, 0.1);
  EXPECT_NEAR(t->v, -0.73, 0.1);
  const auto a = refiner.affine(31, 27, AffineParams{t->u, t->v, 0, 0, 0, 0}, p);
  ASSERT_TRUE(a);
  EXPECT_GT(a->corrcoef, 0.998);
  EXPECT_NEAR(a->params.u, 1.63, 0.02);
  EXPECT_NEAR(a->params.v, -0.73, 0.02);
  EXPECT_NEAR(a->params.du_dx, 0.0206, 0.003);
  EXPECT_NEAR(a->params.du_dy, -0.0103, 0.003);
  EXPECT_NEAR(a->params.dv_dx, -0.0155, 0.003);
  EXPECT_NEAR(a->params.dv_dy, 0.0123, 0.003);
}

TEST(RefinementTest, DeformedImageOfOtherSize) {
  // Sampling bounds come from the deformed image alone.
  const Scene& s = speckle_scene();
  const auto spots = testing_util::make_spots(kWidth, kHeight, 1234u, 0.05);
  for (const auto& [w, h] : {std::array<int, 2>{50, 61}, {70, 40}}) {
    const GrayImage other =
        testing_util::render(w, h, spots, [](double x, double y, double& px, double& py) {
          px = x - 1.2;
          py = y + 0.4;
        });
    Refiner refiner(Scene{s.reference, other, s.mask});
    for (const bool truncation : {false, true}) {
      const DicParameters p = params_with(9, truncation);
      for (const auto& [cx, cy] : {std::array<int, 2>{30, 30}, {45, 36}, {60, 50}}) {
        const auto t = refiner.translation(cx, cy, 1.0, -0.2, p);
        refiner.affine(cx, cy, AffineParams{t ? t->u : 1.0, t ? t->v : -0.2, 0, 0, 0, 0}, p);
      }
    }
  }
}

TEST(RefinementTest, IdenticalImagesStopAfterOnePassAtZero) {
  const Scene& s = speckle_scene();
  Refiner refiner(Scene{s.reference, s.reference, s.mask});
  const DicParameters p = params_with(10, false);
  LiteralTrace trace;
  const auto t = refiner.translation(30, 30, 0.0, 0.0, p, &trace);
  ASSERT_TRUE(t);
  EXPECT_EQ(trace.iterations, 1);
  EXPECT_EQ(t->u, 0.0);
  EXPECT_EQ(t->v, 0.0);
  EXPECT_NEAR(t->corrcoef, 1.0, 1e-14);
  LiteralTrace affine_trace;
  const auto a = refiner.affine(30, 30, AffineParams{}, p, &affine_trace);
  ASSERT_TRUE(a);
  EXPECT_EQ(affine_trace.iterations, 1);
  EXPECT_EQ(a->params.du_dx, 0.0);
  EXPECT_EQ(a->params.dv_dy, 0.0);
}

TEST(RefinementFailureTest, FlatReferenceFailsAtTheFinalCoefficient) {
  const Scene& s = speckle_scene();
  Refiner refiner(Scene{testing::filled_image(kWidth, kHeight, 0.4), s.deformed, s.mask});
  const DicParameters p = params_with(8, false);
  EXPECT_FALSE(refiner.translation(30, 30, 1.5, -0.5, p));
  EXPECT_FALSE(refiner.affine(30, 30, AffineParams{1.5, -0.5, 0, 0, 0, 0}, p));
}

TEST(RefinementFailureTest, FlatOrStripedDeformedImageIsSingular) {
  const Scene& s = speckle_scene();
  GrayImage stripes = testing::filled_image(kWidth, kHeight, 0.0);
  for (int x = 0; x < kWidth; ++x)
    for (int y = 0; y < kHeight; ++y) testing::set_pixel(stripes, x, y, std::sin(0.7 * x));
  for (const GrayImage& deformed : {testing::filled_image(kWidth, kHeight, 0.4), stripes}) {
    Refiner refiner(Scene{s.reference, deformed, s.mask});
    const DicParameters p = params_with(8, false);
    LiteralTrace trace;
    EXPECT_FALSE(refiner.translation(30, 30, 0.25, 0.0, p, &trace));
    EXPECT_EQ(trace.iterations, 0);  // the first system is already singular
    EXPECT_FALSE(refiner.affine(30, 30, AffineParams{0.25, 0, 0, 0, 0, 0}, p, &trace));
    EXPECT_EQ(trace.iterations, 0);
  }
}

TEST(RefinementFailureTest, TooFewSubsetPixels) {
  const Scene& s = speckle_scene();
  // Truncated subsets of 2, 5 and 6 pixels.
  for (const int pixels : {2, 5, 6}) {
    RoiMask mask = testing::holed_mask(kWidth, kHeight, 1u);
    std::fill(mask.values.begin(), mask.values.end(), 0);
    const int cells[6][2] = {{30, 30}, {31, 30}, {30, 31}, {29, 31}, {31, 28}, {32, 32}};
    for (int i = 0; i < pixels; ++i)
      mask.values[static_cast<std::size_t>(cells[i][0]) * kHeight + cells[i][1]] = 1;
    Refiner refiner(Scene{s.reference, s.deformed, mask});
    const DicParameters p = params_with(10, true);
    const auto t = refiner.translation(30, 30, 1.6, -0.7, p);
    if (pixels == 2) {
      EXPECT_FALSE(t);
    }
    const auto a = refiner.affine(30, 30, AffineParams{1.6, -0.7, 0, 0, 0, 0}, p);
    if (pixels < 6) {
      EXPECT_FALSE(a);
    }
  }
}

TEST(RefinementFailureTest, TranslationNeedsThreeUsableGradients) {
  // Three subset pixels on a pattern shifted by 0.6 in x; at u = 0.56 the one
  // at x = 62 lands at 62.56, where a sample exists (x < 63) but not the
  // half-pixel gradient (x + 0.5 >= 63). Two gradients would give a
  // solvable system and a good single update, yet the stage must fail.
  const Scene& s = speckle_scene();
  const auto spots = testing_util::make_spots(kWidth, kHeight, 1234u, 0.05);
  RoiMask mask = s.mask;
  std::fill(mask.values.begin(), mask.values.end(), 0);
  for (const auto& [x, y] : {std::array<int, 2>{59, 30}, {60, 31}, {62, 29}})
    mask.values[static_cast<std::size_t>(x) * kHeight + y] = 1;
  Refiner refiner(Scene{s.reference,
                        testing_util::render(kWidth, kHeight, spots,
                                             [](double x, double y, double& px, double& py) {
                                               px = x - 0.6;
                                               py = y;
                                             }),
                        mask});
  DicParameters p = params_with(10, true);
  for (const std::int32_t iterations : {1, 50}) {
    p.cutoff_iteration = iterations;
    LiteralTrace trace;
    EXPECT_FALSE(refiner.translation(60, 30, 0.56, 0.0, p, &trace));
    EXPECT_EQ(trace.iterations, 0);
  }
  // Slightly further left all three have gradients and the iteration runs.
  LiteralTrace runs;
  refiner.translation(60, 30, 0.45, 0.0, p, &runs);
  EXPECT_GT(runs.iterations, 0);
}

TEST(RefinementFailureTest, GuessOutsideTheDeformedImage) {
  Refiner refiner(speckle_scene());
  const DicParameters p = params_with(8, false);
  for (const double u : {1e6, -45.0, 70.0, std::numeric_limits<double>::quiet_NaN(),
                         -std::numeric_limits<double>::infinity()}) {
    EXPECT_FALSE(refiner.translation(30, 30, u, 0.0, p)) << u;
    EXPECT_FALSE(refiner.affine(30, 30, AffineParams{u, 0, 0, 0, 0, 0}, p)) << u;
  }
  // Partly outside: the pixels that leave the image drop out of each pass.
  refiner.translation(30, 30, -26.0, 0.3, p);
  refiner.affine(30, 30, AffineParams{-26.0, 0.3, 0, 0, 0, 0}, p);
}

class IterationLimitTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(IterationLimitTest, UnreachableCutoffRunsExactlyTheLimit) {
  Refiner refiner(speckle_scene());
  DicParameters p = params_with(10, false);
  p.cutoff_iteration = GetParam();
  p.cutoff_diffnorm = 1e-300;
  LiteralTrace trace;
  ASSERT_TRUE(refiner.translation(24, 33, 3.2, -2.1, p, &trace));
  EXPECT_EQ(trace.iterations, p.cutoff_iteration);
  LiteralTrace affine_trace;
  ASSERT_TRUE(refiner.affine(24, 33, AffineParams{3.2, -2.1, 0.05, 0, 0, -0.04}, p, &affine_trace));
  EXPECT_EQ(affine_trace.iterations, p.cutoff_iteration);
}

INSTANTIATE_TEST_SUITE_P(Limits, IterationLimitTest, ::testing::Values(1, 2, 3, 5, 8),
                         [](const ::testing::TestParamInfo<std::int32_t>& info) {
                           return std::to_string(info.param) + "Iterations";
                         });

TEST(StoppingRuleTest, StopsOnlyWhenCutoffExceedsTheStepNorm) {
  Refiner refiner(speckle_scene());
  DicParameters p = params_with(10, false);
  p.cutoff_iteration = 50;
  const AffineParams start{2.9, -1.8, 0.02, 0, 0, 0.01};
  for (const bool affine : {false, true}) {
    // Norm of the third update, with a cutoff nothing reaches.
    p.cutoff_diffnorm = 1e-300;
    p.cutoff_iteration = 3;
    LiteralTrace probe;
    if (affine)
      refiner.affine(26, 30, start, p, &probe);
    else
      refiner.translation(26, 30, start.u, start.v, p, &probe);
    ASSERT_EQ(probe.step_norms.size(), 3u);
    const double third = probe.step_norms[2];
    ASSERT_LT(third, std::min(probe.step_norms[0], probe.step_norms[1]));
    // A cutoff equal to the norm does not stop; the next double up does.
    p.cutoff_iteration = 50;
    for (const double cutoff : {third, std::nextafter(third, 1.0)}) {
      p.cutoff_diffnorm = cutoff;
      LiteralTrace trace;
      if (affine)
        refiner.affine(26, 30, start, p, &trace);
      else
        refiner.translation(26, 30, start.u, start.v, p, &trace);
      const bool stops_at_third = trace.iterations == 3;
      EXPECT_EQ(stops_at_third, cutoff != third) << "affine " << affine;
    }
  }
}

// ---- solve_6x6 ----

using Matrix6 = std::array<std::array<double, 6>, 6>;
using Vector6 = std::array<double, 6>;

std::optional<Vector6> engine_solve(Matrix6 a, Vector6 rhs) { return solve_6x6(a, rhs); }

TEST(Solve6x6Test, PermutedTriangularSystemIsSolvedExactly) {
  // Rows of an upper-triangular matrix with power-of-two diagonal, shuffled:
  // each column has one candidate pivot, every elimination factor is 0, and
  // back-substitution stays in small integers.
  const Matrix6 upper = {{{2, 3, -1, 5, 7, -2},
                          {0, -4, 2, 1, -3, 6},
                          {0, 0, 8, -5, 2, 1},
                          {0, 0, 0, 1, 4, -7},
                          {0, 0, 0, 0, -2, 3},
                          {0, 0, 0, 0, 0, 16}}};
  const Vector6 x = {3, -1, 2, 5, -4, 1};
  const int order[6] = {4, 1, 5, 0, 3, 2};
  Matrix6 a{};
  Vector6 rhs{};
  for (int i = 0; i < 6; ++i) {
    a[i] = upper[order[i]];
    for (int j = 0; j < 6; ++j) rhs[i] += upper[order[i]][j] * x[j];
  }
  const auto solved = engine_solve(a, rhs);
  ASSERT_TRUE(solved);
  for (int i = 0; i < 6; ++i) EXPECT_EQ((*solved)[i], x[i]) << i;
}

TEST(Solve6x6Test, RandomSystemsMatchLiteralBitForBit) {
  std::mt19937 rng(77u);
  std::uniform_real_distribution<double> value(-3.0, 3.0);
  for (int trial = 0; trial < 300; ++trial) {
    Matrix6 a{};
    Vector6 rhs{};
    for (auto& row : a)
      for (double& e : row) e = value(rng);
    for (double& e : rhs) e = value(rng);
    EXPECT_TRUE(same_result(engine_solve(a, rhs), testing::literal_solve_6x6(a, rhs))) << trial;
  }
}

TEST(Solve6x6Test, EqualMagnitudePivotTakesTheFirstRow) {
  // Rows 1 and 4 share the largest first-column magnitude (opposite signs).
  // Swapping them poses the same system, but the first-row rule then picks the
  // other row; the rounding shows which one the solver took.
  std::mt19937 rng(3u);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  int differing = 0;
  for (int trial = 0; trial < 50; ++trial) {
    Matrix6 a{};
    Vector6 rhs{};
    for (auto& row : a)
      for (double& e : row) e = value(rng);
    for (double& e : rhs) e = value(rng);
    a[1][0] = 2.5;
    a[4][0] = -2.5;
    Matrix6 swapped = a;
    Vector6 swapped_rhs = rhs;
    std::swap(swapped[1], swapped[4]);
    std::swap(swapped_rhs[1], swapped_rhs[4]);
    const auto x = engine_solve(a, rhs);
    const auto y = engine_solve(swapped, swapped_rhs);
    EXPECT_TRUE(same_result(x, testing::literal_solve_6x6(a, rhs)));
    EXPECT_TRUE(same_result(y, testing::literal_solve_6x6(swapped, swapped_rhs)));
    if (!same_result(x, y)) ++differing;
  }
  EXPECT_GT(differing, 0);  // the tie rule is observable
}

TEST(Solve6x6Test, RejectsSingularAndNearSingularPivots) {
  Matrix6 identity{};
  for (int i = 0; i < 6; ++i) identity[i][i] = 1.0;
  const Vector6 rhs = {1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(engine_solve(Matrix6{}, rhs));
  Matrix6 zero_column = identity;
  zero_column[2][2] = 0.0;
  EXPECT_FALSE(engine_solve(zero_column, rhs));
  Matrix6 duplicate = identity;  // row 5 = 2 * row 3: exact zero after elimination
  duplicate[3] = {0.5, 0, 0.25, 1, 0, 0};
  duplicate[5] = {1, 0, 0.5, 2, 0, 0};
  EXPECT_FALSE(engine_solve(duplicate, rhs));
  Matrix6 tiny = identity;
  tiny[4][4] = kSingularLimit;  // at the limit: singular
  EXPECT_FALSE(engine_solve(tiny, rhs));
  tiny[4][4] = std::nextafter(kSingularLimit, 1.0);
  const auto solved = engine_solve(tiny, rhs);
  ASSERT_TRUE(solved);
  EXPECT_TRUE(same_result(solved, testing::literal_solve_6x6(tiny, rhs)));
  EXPECT_EQ((*solved)[0], 1.0);
}

}  // namespace
}  // namespace dic2d
