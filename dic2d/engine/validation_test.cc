#include "dic2d/engine/validation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "dic2d/core/pixel.h"

namespace dic2d {
namespace {

struct Inputs {
  GrayImage reference;
  GrayImage deformed;
  RoiMask mask;
  SeedInput seed;
  DicParameters params;
};

GrayImage flat_image(std::int32_t width, std::int32_t height) {
  GrayImage image;
  image.width = width;
  image.height = height;
  image.pixels.assign(static_cast<std::size_t>(width) * height, 0.5);
  return image;
}

constexpr std::int32_t kW = 40, kH = 30;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Acceptable inputs: 40 x 30, full mask, pitch 6, seed (12, 18) on the grid.
Inputs valid_inputs() {
  Inputs in;
  in.reference = flat_image(kW, kH);
  in.deformed = flat_image(kW, kH);
  in.mask.width = kW;
  in.mask.height = kH;
  in.mask.values.assign(kW * kH, 1);
  in.seed.seed_x = 12;
  in.seed.seed_y = 18;
  in.params.subset_spacing = 5;
  return in;
}

// Message of the first failing check, or "accepted".
std::string verdict(const Inputs& in) {
  try {
    validate_dic_inputs(in.reference, in.deformed, in.mask, in.seed, in.params);
  } catch (const std::invalid_argument& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception kind: ") + e.what();
  }
  return "accepted";
}

using Mutation = std::function<void(Inputs&)>;

struct Check {
  int order;  // position of the check in the validation sequence, 1-based
  const char* name;
  Mutation violate;
  const char* message;
};

void PrintTo(const Check& c, std::ostream* os) { *os << c.order << " " << c.name; }

const std::vector<Check>& checks() {
  static const std::vector<Check> table = {
      {1, "reference_width", [](Inputs& in) { in.reference.width = 0; },
       "Reference image dimensions must be positive."},
      {1, "reference_count", [](Inputs& in) { in.reference.pixels.pop_back(); },
       "Reference image pixel count does not match width*height."},
      {2, "deformed_height", [](Inputs& in) { in.deformed.height = -3; },
       "Deformed image dimensions must be positive."},
      {2, "deformed_count", [](Inputs& in) { in.deformed.pixels.push_back(0); },
       "Deformed image pixel count does not match width*height."},
      {3, "mask_width", [](Inputs& in) { in.mask.width = 0; },
       "ROI mask dimensions must be positive."},
      {3, "mask_count", [](Inputs& in) { in.mask.values.pop_back(); },
       "ROI mask value count does not match width*height."},
      // Transposed: the sample counts agree, the dimensions do not.
      {4, "deformed_transposed",
       [](Inputs& in) { std::swap(in.deformed.width, in.deformed.height); },
       "Reference and deformed images must have the same dimensions."},
      {5, "mask_transposed", [](Inputs& in) { std::swap(in.mask.width, in.mask.height); },
       "ROI mask dimensions must match the reference image."},
      {6, "subset_radius", [](Inputs& in) { in.params.subset_radius = 9; },
       "subset_radius must be at least 10."},
      {7, "subset_spacing", [](Inputs& in) { in.params.subset_spacing = -1; },
       "subset_spacing must be non-negative."},
      {8, "seed_search_radius", [](Inputs& in) { in.params.seed_search_radius = -1; },
       "seed_search_radius must be non-negative."},
      {9, "rg_search_radius", [](Inputs& in) { in.params.rg_search_radius = -1; },
       "rg_search_radius must be non-negative."},
      {10, "roi_min_region_area",
       [](Inputs& in) { in.params.roi_min_region_area = std::numeric_limits<std::int32_t>::min(); },
       "roi_min_region_area must be non-negative."},
      {11, "seed_outside_roi", [](Inputs& in) { in.mask.values.assign(in.mask.values.size(), 0); },
       "Seed point must be finite, in bounds, and inside the ROI mask."},
      {12, "seed_off_grid_x", [](Inputs& in) { in.seed.seed_x = 12.25; },
       "Seed point must be aligned to the reduced grid."},
      {12, "seed_off_grid_y", [](Inputs& in) { in.seed.seed_y = 19; },
       "Seed point must be aligned to the reduced grid."},
      {13, "cutoff_diffnorm", [](Inputs& in) { in.params.cutoff_diffnorm = 0; },
       "cutoff_diffnorm must be in (0, 1e-2]."},
      {14, "cutoff_iteration", [](Inputs& in) { in.params.cutoff_iteration = 4; },
       "cutoff_iteration must be at least 5."},
      {15, "num_threads", [](Inputs& in) { in.params.num_threads = 0; },
       "num_threads must be positive."},
      {16, "units_per_pixel", [](Inputs& in) { in.params.units_per_pixel = 0; },
       "units_per_pixel must be positive."},
      // The extensions' checks come after all of the above.
      {17, "smoothing_sigma_negative", [](Inputs& in) { in.params.smoothing_sigma = -0.1; },
       "smoothing_sigma must be in [0, 10]."},
      {17, "smoothing_sigma_large", [](Inputs& in) { in.params.smoothing_sigma = 10.001; },
       "smoothing_sigma must be in [0, 10]."},
      {17, "smoothing_sigma_nan", [](Inputs& in) { in.params.smoothing_sigma = kNaN; },
       "smoothing_sigma must be in [0, 10]."},
      {18, "seed_guess_u_infinite", [](Inputs& in) { in.params.seed_guess_u = -kInf; },
       "seed_guess_u must be finite and at most 1e9 in magnitude."},
      {18, "seed_guess_u_nan", [](Inputs& in) { in.params.seed_guess_u = kNaN; },
       "seed_guess_u must be finite and at most 1e9 in magnitude."},
      {19, "seed_guess_v_large", [](Inputs& in) { in.params.seed_guess_v = 1.5e9; },
       "seed_guess_v must be finite and at most 1e9 in magnitude."},
  };
  return table;
}

class ValidationCheck : public ::testing::TestWithParam<Check> {};

TEST_P(ValidationCheck, FailsAloneWithItsMessage) {
  Inputs in = valid_inputs();
  GetParam().violate(in);
  EXPECT_EQ(verdict(in), GetParam().message);
}

TEST_P(ValidationCheck, ComesBeforeEveryLaterCheck) {
  // Break every later check as well; the later mutations are applied first
  // so that this check's own mutation has the last word on shared fields.
  const Check& c = GetParam();
  Inputs in = valid_inputs();
  const auto& table = checks();
  for (auto it = table.rbegin(); it != table.rend(); ++it) {
    if (it->order > c.order) it->violate(in);
  }
  c.violate(in);
  EXPECT_EQ(verdict(in), c.message);
}

INSTANTIATE_TEST_SUITE_P(AllChecks, ValidationCheck, ::testing::ValuesIn(checks()),
                         [](const ::testing::TestParamInfo<Check>& info) {
                           return std::to_string(info.param.order) + "_" + info.param.name;
                         });

TEST(ValidateDicInputs, AcceptsTheBoundaryValuesAndUnboundedParameters) {
  const std::vector<Mutation> accepted = {
      [](Inputs&) {},
      [](Inputs& in) { in.params.subset_radius = 10; },
      [](Inputs& in) { in.params.subset_spacing = 0; },
      [](Inputs& in) { in.params.seed_search_radius = 0; },
      [](Inputs& in) { in.params.rg_search_radius = 0; },
      [](Inputs& in) { in.params.roi_min_region_area = 0; },
      [](Inputs& in) { in.params.cutoff_diffnorm = 0.01; },
      [](Inputs& in) { in.params.cutoff_diffnorm = 5e-324; },
      [](Inputs& in) { in.params.cutoff_iteration = 5; },
      [](Inputs& in) { in.params.num_threads = 1; },
      [](Inputs& in) { in.params.units_per_pixel = 5e-324; },
      [](Inputs& in) { in.params.units_per_pixel = kInf; },
      // The bounds are written as "<= 0" and "> limit": NaN passes them.
      [](Inputs& in) { in.params.cutoff_diffnorm = kNaN; },
      [](Inputs& in) { in.params.units_per_pixel = kNaN; },
      [](Inputs& in) { in.params.cutoff_corrcoef = kNaN; },
      [](Inputs& in) { in.params.cutoff_corrcoef = -kInf; },
      [](Inputs& in) { in.params.lenscoef = kNaN; },
      [](Inputs& in) { in.params.smoothing_sigma = 10.0; },
      [](Inputs& in) { in.params.seed_guess_u = -1e9; },
      [](Inputs& in) { in.params.seed_guess_v = 1e9; },
      [](Inputs& in) { in.mask.values[12 * kH + 18] = 255; },
      [](Inputs& in) { in.seed.seed_x = -0.0; },
      [](Inputs& in) { in.seed.obs_x = std::numeric_limits<double>::quiet_NaN(); },
      // Largest pitch: the seed (0, 0) stays aligned.
      [](Inputs& in) {
        in.params.subset_spacing = std::numeric_limits<std::int32_t>::max();
        in.seed.seed_x = 0;
        in.seed.seed_y = 0;
      },
  };
  for (std::size_t i = 0; i < accepted.size(); ++i) {
    Inputs in = valid_inputs();
    accepted[i](in);
    EXPECT_EQ(verdict(in), "accepted") << "case " << i;
  }
}

TEST(ValidateDicInputs, ReturnsTheSeedPixel) {
  Inputs in = valid_inputs();
  Pixel pixel = validate_dic_inputs(in.reference, in.deformed, in.mask, in.seed, in.params);
  EXPECT_EQ(pixel.x, 12);
  EXPECT_EQ(pixel.y, 18);
  in.seed.seed_x = 36;
  in.seed.seed_y = -0.0;
  pixel = validate_dic_inputs(in.reference, in.deformed, in.mask, in.seed, in.params);
  EXPECT_EQ(pixel.x, 36);
  EXPECT_EQ(pixel.y, 0);
}

TEST(ValidateDicInputs, RejectsNonFiniteAndOutOfRangeParameters) {
  for (const double value : {0.011, -0.0, -1e-300, kInf, -kInf}) {
    Inputs in = valid_inputs();
    in.params.cutoff_diffnorm = value;
    EXPECT_EQ(verdict(in), "cutoff_diffnorm must be in (0, 1e-2].") << value;
  }
  for (const double value : {-0.0, -1e-300, -kInf}) {
    Inputs in = valid_inputs();
    in.params.units_per_pixel = value;
    EXPECT_EQ(verdict(in), "units_per_pixel must be positive.") << value;
  }
}

// Seed check on an 8 x 6 mask that is inside only where x is 0, 3 or 7
// and y is 0, 3 or 5, with pitch 1: a coordinate that passes the seed check
// but is not an integer is then reported by the alignment check, which
// tells which pixel the coordinate rounded to.
constexpr const char* kSeedMessage =
    "Seed point must be finite, in bounds, and inside the ROI mask.";
constexpr const char* kAlignMessage = "Seed point must be aligned to the reduced grid.";

struct SeedCase {
  const char* name;
  double (*coordinate)(double extent);
  const char* outcome;
};

struct SeedAxisCase {
  SeedCase c;
  bool along_x;
};

void PrintTo(const SeedAxisCase& s, std::ostream* os) {
  *os << s.c.name << (s.along_x ? " in x" : " in y");
}

class SeedRounding : public ::testing::TestWithParam<SeedAxisCase> {};

TEST_P(SeedRounding, RoundsHalfAwayFromZeroAndRejectsEverythingOutside) {
  const auto [c, along_x] = GetParam();
  Inputs in;
  in.reference = flat_image(8, 6);
  in.deformed = flat_image(8, 6);
  in.mask.width = 8;
  in.mask.height = 6;
  in.mask.values.assign(48, 0);
  for (const int x : {0, 3, 7})
    for (const int y : {0, 3, 5}) in.mask.values[x * 6 + y] = 1;
  in.params.subset_spacing = 0;
  const double value = c.coordinate(along_x ? 8 : 6);
  in.seed.seed_x = along_x ? value : 3;
  in.seed.seed_y = along_x ? 3 : value;
  EXPECT_EQ(verdict(in), c.outcome) << "coordinate " << value;
}

const SeedCase kSeedCases[] = {
    {"zero", [](double) { return 0.0; }, "accepted"},
    {"last_pixel", [](double e) { return e - 1; }, "accepted"},
    {"minus_0_4", [](double) { return -0.4; }, kAlignMessage},
    {"just_above_minus_half", [](double) { return -0.49999999999999994; }, kAlignMessage},
    {"minus_half", [](double) { return -0.5; }, kSeedMessage},
    {"two_and_a_half", [](double) { return 2.5; }, kAlignMessage},  // rounds to 3
    {"two_point_four", [](double) { return 2.4; }, kSeedMessage},   // rounds to 2
    {"extent_minus_0_6", [](double e) { return e - 0.6; }, kAlignMessage},
    {"extent_minus_half", [](double e) { return e - 0.5; }, kSeedMessage},
    {"extent_minus_0_4", [](double e) { return e - 0.4; }, kSeedMessage},
    {"extent", [](double e) { return e; }, kSeedMessage},
    {"nan", [](double) { return std::numeric_limits<double>::quiet_NaN(); }, kSeedMessage},
    {"minus_nan", [](double) { return -std::numeric_limits<double>::quiet_NaN(); }, kSeedMessage},
    {"inf", [](double) { return std::numeric_limits<double>::infinity(); }, kSeedMessage},
    {"minus_inf", [](double) { return -std::numeric_limits<double>::infinity(); }, kSeedMessage},
    {"1e300", [](double) { return 1e300; }, kSeedMessage},
    {"minus_1e300", [](double) { return -1e300; }, kSeedMessage},
    {"1e12", [](double) { return 1e12; }, kSeedMessage},
    {"2_pow_63", [](double) { return 9223372036854775808.0; }, kSeedMessage},
    {"minus_2_pow_63", [](double) { return -9223372036854775808.0; }, kSeedMessage},
    {"int32_max_plus", [](double) { return 2147483647.6; }, kSeedMessage},
    {"int32_min_minus", [](double) { return -2147483648.5; }, kSeedMessage},
    // x * height + y would wrap to an in-mask index in 32 bits.
    {"wraps_to_inside", [](double) { return 715827883.0; }, kSeedMessage},
};

std::vector<SeedAxisCase> seed_axis_cases() {
  std::vector<SeedAxisCase> all;
  for (const SeedCase& c : kSeedCases) {
    all.push_back({c, true});
    all.push_back({c, false});
  }
  return all;
}

INSTANTIATE_TEST_SUITE_P(Coordinates, SeedRounding, ::testing::ValuesIn(seed_axis_cases()),
                         [](const ::testing::TestParamInfo<SeedAxisCase>& info) {
                           return std::string(info.param.c.name) +
                                  (info.param.along_x ? "_x" : "_y");
                         });

TEST(ValidateDicInputs, AlignmentUsesTheUnroundedCoordinate) {
  // Pitch 5: (10, 20) is on the grid; (10.4, 20) rounds to a mask pixel
  // but lies between nodes; (11, 20) is one pixel off.
  const std::vector<std::pair<Point2, std::string>> cases = {
      {{10, 20}, "accepted"},    {{10.4, 20}, kAlignMessage},
      {{11, 20}, kAlignMessage}, {{10, 20.000000000000004}, kAlignMessage},
      {{0, 25}, "accepted"},
  };
  for (const auto& [seed, expected] : cases) {
    Inputs in = valid_inputs();
    in.params.subset_spacing = 4;
    in.seed.seed_x = seed[0];
    in.seed.seed_y = seed[1];
    EXPECT_EQ(verdict(in), expected) << seed[0] << ", " << seed[1];
  }
}

}  // namespace
}  // namespace dic2d
