#include "dic2d/cli/options.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "dic2d/core/case_name_test_util.h"
#include "dic2d/core/parameters.h"

namespace dic2d {
namespace {

constexpr const char* kPairs = "Arguments must be provided as --key value pairs.";

// Pairs the arguments after a program path; "error: <message>" on failure,
// else the map as "key=value;" in map order.
std::string pairing(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"dic2d_cli"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  try {
    std::string out;
    for (const auto& [key, value] : pair_arguments(static_cast<int>(argv.size()), argv.data())) {
      out += key + "=" + value + ";";
    }
    return out;
  } catch (const std::invalid_argument& e) {
    return std::string("error: ") + e.what();
  }
}

struct PairingCase {
  std::vector<std::string> args;
  std::string expected;
};

class Pairing : public ::testing::TestWithParam<PairingCase> {};

TEST_P(Pairing, BuildsTheMapOrFailsAsAWhole) {
  EXPECT_EQ(pairing(GetParam().args), GetParam().expected);
}

const std::string kPairsError = std::string("error: ") + kPairs;

INSTANTIATE_TEST_SUITE_P(
    Arguments, Pairing,
    ::testing::Values(PairingCase{{}, ""}, PairingCase{{"--a", "1"}, "a=1;"},
                      // The last key has no value, however good the earlier pairs are.
                      PairingCase{{"--a"}, kPairsError},
                      PairingCase{{"--a", "1", "--b"}, kPairsError},
                      PairingCase{{"reference", "r.bin"}, kPairsError},
                      PairingCase{{"-a", "1"}, kPairsError}, PairingCase{{"x"}, kPairsError},
                      PairingCase{{"--a", "1", "b", "2"}, kPairsError},
                      PairingCase{{"—a", "1"}, kPairsError},  // an em dash is not "--"
                      // Values are never inspected.
                      PairingCase{{"--seed-x", "-40"}, "seed-x=-40;"},
                      PairingCase{{"--a", "--b"}, "a=--b;"}, PairingCase{{"--a", ""}, "a=;"},
                      PairingCase{{"--", "v"}, "=v;"}, PairingCase{{"---a", "1"}, "-a=1;"},
                      // The last occurrence wins; keys are ordered byte-wise.
                      PairingCase{{"--a", "1", "--a", "2"}, "a=2;"},
                      PairingCase{{"--b", "1", "--\xc3\xa9", "2", "--B", "3", "--a", "4"},
                                  "B=3;a=4;b=1;\xc3\xa9=2;"}),
    [](const ::testing::TestParamInfo<PairingCase>& info) {
      std::string line;
      for (const std::string& arg : info.param.args) line += (line.empty() ? "" : " ") + arg;
      return testing_util::case_name(info.index, line);
    });

TEST(RequiredOption, NamesTheMissingKeyAndAcceptsAnEmptyValue) {
  const OptionMap options{{"reference", ""}, {"deformed", "d.bin"}};
  EXPECT_EQ(required_option(options, "reference"), "");
  EXPECT_EQ(required_option(options, "deformed"), "d.bin");
  try {
    required_option(options, "mask");
    FAIL() << "no exception";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Missing required argument: --mask");
  }
}

// Outcome of one conversion: the value, or "invalid_argument: <what>" /
// "out_of_range: <what>".
template <typename F>
std::string conversion(F&& convert) {
  try {
    return "value " + convert();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::out_of_range& e) {
    return std::string("out_of_range: ") + e.what();
  }
}

struct IntCase {
  std::string text;
  std::string expected;
};

class IntOption : public ::testing::TestWithParam<IntCase> {};

TEST_P(IntOption, ConvertsLikeStrtolIntoThe32BitRange) {
  const OptionMap options{{"k", GetParam().text}};
  EXPECT_EQ(conversion([&] { return std::to_string(int_option(options, "k", -7)); }),
            GetParam().expected)
      << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Texts, IntOption,
    ::testing::Values(
        IntCase{"42", "value 42"}, IntCase{" \t\n\v\f\r42", "value 42"}, IntCase{"+5", "value 5"},
        IntCase{"-40", "value -40"}, IntCase{"007", "value 7"}, IntCase{"12abc", "value 12"},
        IntCase{"0x10", "value 0"}, IntCase{"1e3", "value 1"}, IntCase{"3.9", "value 3"},
        IntCase{"-0", "value 0"}, IntCase{"2147483647", "value 2147483647"},
        IntCase{"-2147483648", "value -2147483648"}, IntCase{"2147483648", "out_of_range: stoi"},
        IntCase{"-2147483649", "out_of_range: stoi"},
        IntCase{"99999999999999999999", "out_of_range: stoi"},
        IntCase{"-99999999999999999999x", "out_of_range: stoi"},
        IntCase{"", "invalid_argument: stoi"}, IntCase{"abc", "invalid_argument: stoi"},
        IntCase{"-", "invalid_argument: stoi"}, IntCase{"+", "invalid_argument: stoi"},
        IntCase{"  ", "invalid_argument: stoi"}, IntCase{"--5", "invalid_argument: stoi"},
        IntCase{"+-5", "invalid_argument: stoi"}, IntCase{"x12", "invalid_argument: stoi"}),
    [](const ::testing::TestParamInfo<IntCase>& info) {
      return testing_util::case_name(info.index, info.param.text);
    });

struct DoubleCase {
  std::string text;
  double expected;      // compared bit for bit (NaN: any NaN of that sign)
  std::string failure;  // empty when the conversion succeeds
};

class DoubleOption : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(DoubleOption, ConvertsLikeStrtodAndRejectsRangeErrors) {
  const DoubleCase& c = GetParam();
  const OptionMap options{{"k", c.text}};
  double value = 0;
  const std::string outcome = conversion([&] {
    value = double_option(options, "k", -7.0);
    return std::string();
  });
  if (!c.failure.empty()) {
    EXPECT_EQ(outcome, c.failure) << '"' << c.text << '"';
    return;
  }
  ASSERT_EQ(outcome, "value ") << '"' << c.text << '"';
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(value));
    EXPECT_EQ(std::signbit(value), std::signbit(c.expected));
  } else {
    EXPECT_EQ(value, c.expected);
    EXPECT_EQ(std::signbit(value), std::signbit(c.expected)) << c.text;
  }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Texts, DoubleOption,
    ::testing::Values(
        DoubleCase{"0.5", 0.5, ""}, DoubleCase{"  1e3", 1000.0, ""},
        DoubleCase{"1e3xyz", 1000.0, ""}, DoubleCase{"-40", -40.0, ""},
        DoubleCase{"0x1.8p1", 3.0, ""}, DoubleCase{"0x10", 16.0, ""}, DoubleCase{"0x", 0.0, ""},
        DoubleCase{"-0", -0.0, ""}, DoubleCase{"inf", kInf, ""}, DoubleCase{"-Infinity", -kInf, ""},
        DoubleCase{"nan", kNaN, ""}, DoubleCase{"-NAN(123)", -kNaN, ""},
        DoubleCase{"1.7976931348623157e308", 1.7976931348623157e308, ""},
        DoubleCase{"2.2250738585072014e-308", 2.2250738585072014e-308, ""},
        DoubleCase{"1e309", 0, "out_of_range: stod"}, DoubleCase{"-1e400", 0, "out_of_range: stod"},
        DoubleCase{"1e-400", 0, "out_of_range: stod"},
        DoubleCase{"4e-320", 0, "out_of_range: stod"},  // subnormal
        DoubleCase{"", 0, "invalid_argument: stod"}, DoubleCase{"  ", 0, "invalid_argument: stod"},
        DoubleCase{"e5", 0, "invalid_argument: stod"}, DoubleCase{".", 0, "invalid_argument: stod"},
        DoubleCase{"x1", 0, "invalid_argument: stod"},
        DoubleCase{"--1", 0, "invalid_argument: stod"}),
    [](const ::testing::TestParamInfo<DoubleCase>& info) {
      return testing_util::case_name(info.index, info.param.text);
    });

TEST(Options, AbsentKeysGiveTheDefaults) {
  const OptionMap options{{"other", "1"}};
  EXPECT_EQ(int_option(options, "k", -123), -123);
  EXPECT_EQ(double_option(options, "k", -0.25), -0.25);
  EXPECT_TRUE(flag_option(options, "k", true));
  EXPECT_FALSE(flag_option(options, "k", false));
}

TEST(Options, StaleErrnoDoesNotFailAConversionAndIsKept) {
  const OptionMap options{{"i", "5"}, {"d", "0.5"}};
  errno = ERANGE;
  EXPECT_EQ(int_option(options, "i", 0), 5);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(double_option(options, "d", 0), 0.5);
  EXPECT_EQ(errno, ERANGE);
  errno = 0;
}

TEST(FlagOption, TrueOnlyForThreeExactTexts) {
  for (const char* text : {"1", "true", "True"}) {
    EXPECT_TRUE(flag_option(OptionMap{{"f", text}}, "f", false)) << text;
  }
  for (const char* text :
       {"TRUE", "yes", "0", "", " true", "true ", "1.0", "01", "false", "tRUE"}) {
    EXPECT_FALSE(flag_option(OptionMap{{"f", text}}, "f", true)) << '"' << text << '"';
  }
}

TEST(ChoiceOptions, ExactNamesOnlyAndMessagesListTheAllowedValues) {
  EXPECT_EQ(criterion_option(OptionMap{{"c", "znssd"}}, "c", MatchCriterion::kSsd),
            MatchCriterion::kZnssd);
  EXPECT_EQ(criterion_option(OptionMap{{"c", "ssd"}}, "c", MatchCriterion::kZnssd),
            MatchCriterion::kSsd);
  EXPECT_EQ(criterion_option(OptionMap{}, "c", MatchCriterion::kZnssd), MatchCriterion::kZnssd);
  EXPECT_EQ(
      interpolation_option(OptionMap{{"i", "bspline3"}}, "i", SubpixelInterpolation::kBilinear),
      SubpixelInterpolation::kBspline3);
  EXPECT_EQ(
      interpolation_option(OptionMap{{"i", "bilinear"}}, "i", SubpixelInterpolation::kBspline3),
      SubpixelInterpolation::kBilinear);
  for (const char* text : {"ZNSSD", "znssd ", "zncc", ""}) {
    try {
      criterion_option(OptionMap{{"c", text}}, "c", MatchCriterion::kSsd);
      ADD_FAILURE() << '"' << text << "\" accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "criterion must be ssd or znssd.");
    }
  }
  for (const char* text : {"bspline", "cubic", "Bilinear"}) {
    try {
      interpolation_option(OptionMap{{"i", text}}, "i", SubpixelInterpolation::kBilinear);
      ADD_FAILURE() << '"' << text << "\" accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_STREQ(e.what(), "interpolation must be bilinear or bspline3.");
    }
  }
}

// The values the front end starts from before any option is applied.
TEST(DicParametersDefaults, MatchTheOptionTable) {
  const DicParameters p;
  EXPECT_EQ(std::make_tuple(p.subset_radius, p.subset_spacing, p.seed_search_radius,
                            p.rg_search_radius, p.roi_min_region_area, p.cutoff_iteration,
                            p.num_threads, p.subset_truncation),
            std::make_tuple(20, 5, 50, 1, 2000, 50, 1, false));
  EXPECT_EQ(std::make_tuple(p.cutoff_diffnorm, p.units_per_pixel, p.cutoff_corrcoef, p.lenscoef),
            std::make_tuple(1e-6, 1.0, 0.6, 0.0));
  // The extensions' defaults select today's refinement and seed window.
  EXPECT_EQ(p.criterion, MatchCriterion::kSsd);
  EXPECT_EQ(p.interpolation, SubpixelInterpolation::kBilinear);
  EXPECT_EQ(std::make_tuple(p.smoothing_sigma, p.seed_guess_u, p.seed_guess_v),
            std::make_tuple(0.0, 0.0, 0.0));
  EXPECT_FALSE(uses_icgn(p));
}

}  // namespace
}  // namespace dic2d
