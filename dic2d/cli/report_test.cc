#include "dic2d/cli/report.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "dic2d/core/case_name_test_util.h"

namespace dic2d {
namespace {

std::string json(std::string_view text) {
  std::string out;
  write_json_string(out, text);
  return out;
}

TEST(WriteJsonString, EscapesEveryControlByteAndNothingAbove) {
  const char* const named[0x20] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, "\\b",   "\\t",   "\\n",   nullptr, "\\f",   "\\r"};
  for (int byte = 0; byte < 0x100; ++byte) {
    const std::string text(1, static_cast<char>(byte));
    std::string expected;
    if (byte == '"') {
      expected = "\\\"";
    } else if (byte == '\\') {
      expected = "\\\\";
    } else if (byte < 0x20 && named[byte] != nullptr) {
      expected = named[byte];
    } else if (byte < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", byte);
      expected = buffer;
    } else {
      expected = text;  // 0x7f and every byte >= 0x80 unchanged
    }
    EXPECT_EQ(json(text), "\"" + expected + "\"") << "byte " << byte;
  }
}

TEST(WriteJsonString, KeepsEmbeddedNulsMultiByteTextAndAppends) {
  std::string out = "prefix:";
  write_json_string(out, std::string_view("a\0b\x1f"
                                          "c",
                                          5));
  EXPECT_EQ(out, "prefix:\"a\\u0000b\\u001fc\"");
  EXPECT_EQ(json("caf\xc3\xa9 \xe2\x82\xac \xff\xfe"), "\"caf\xc3\xa9 \xe2\x82\xac \xff\xfe\"");
  EXPECT_EQ(json("C:\\dir\\\"x\".bin\r\n"), "\"C:\\\\dir\\\\\\\"x\\\".bin\\r\\n\"");
  EXPECT_EQ(json(""), "\"\"");
}

struct NumberCase {
  double value;
  const char* text;
};

class ReportNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ReportNumber, SixSignificantDigitsInGeneralNotation) {
  EXPECT_EQ(format_report_number(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, ReportNumber,
    ::testing::Values(NumberCase{0.5, "0.5"}, NumberCase{12.0, "12"}, NumberCase{0.1, "0.1"},
                      NumberCase{0.1234567, "0.123457"}, NumberCase{0.123456789, "0.123457"},
                      NumberCase{1e-7, "1e-07"}, NumberCase{0.0001, "0.0001"},
                      NumberCase{0.00001, "1e-05"}, NumberCase{123456.0, "123456"},
                      NumberCase{999999.4, "999999"},
                      NumberCase{999999.5, "1e+06"},  // rounding carries into the exponent
                      NumberCase{123456789.0, "1.23457e+08"}, NumberCase{1234567.0, "1.23457e+06"},
                      NumberCase{-2.5, "-2.5"}, NumberCase{0.0, "0"}, NumberCase{-0.0, "-0"},
                      NumberCase{1e100, "1e+100"}, NumberCase{5e-324, "4.94066e-324"},
                      NumberCase{std::numeric_limits<double>::max(), "1.79769e+308"},
                      NumberCase{std::numeric_limits<double>::infinity(), "null"},
                      NumberCase{-std::numeric_limits<double>::infinity(), "null"},
                      NumberCase{std::numeric_limits<double>::quiet_NaN(), "null"},
                      NumberCase{-std::numeric_limits<double>::quiet_NaN(), "null"}),
    [](const ::testing::TestParamInfo<NumberCase>& info) {
      return testing_util::case_name(info.index, info.param.text);
    });

TEST(SuccessLine, ExactMembersInOrder) {
  DicResult r;
  r.ok = true;
  r.message = "done \"quoted\"\n";
  r.reduced_width = 11;
  r.reduced_height = 7;
  r.roi_region_count = 0;
  r.seed_region = std::numeric_limits<std::int32_t>::min();
  r.seed = SeedMatch{
      {30, 30}, {0.123456789, -0.0, 1e-7, std::numeric_limits<double>::quiet_NaN(), 0, 0}, 1};
  r.reference_grid_points.assign(3, {0, 0});
  // Flags count as set when non-zero, whatever their value.
  r.fields.valid = {1, 0, 2};
  EXPECT_EQ(success_line(r),
            "{\"ok\":true,\"output_schema_version\":2,\"message\":\"done \\\"quoted\\\"\\n\","
            "\"reduced_width\":11,\"reduced_height\":7,\"roi_region_count\":0,"
            "\"seed_region\":-2147483648,"
            "\"seed_paramvector\":[30,30,0.123457,-0,1e-07,null,0,0,1],"
            "\"reference_grid_points\":3,\"valid_points\":2}\n");
}

TEST(SeedParamvector, PixelThenWarpInParameterOrderThenCoefficient) {
  const SeedMatch seed{{-12, 7}, {0.5, 1.5, 2.5, 3.5, 4.5, 5.5}, 0.75};
  EXPECT_EQ(seed_paramvector(seed),
            (std::array<double, 9>{-12.0, 7.0, 0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 0.75}));
}

TEST(SuccessLine, EmptyResultAndFalseFlag) {
  const DicResult r;
  EXPECT_EQ(success_line(r),
            "{\"ok\":false,\"output_schema_version\":2,\"message\":\"\",\"reduced_width\":0,"
            "\"reduced_height\":0,\"roi_region_count\":0,\"seed_region\":0,"
            "\"seed_paramvector\":[],\"reference_grid_points\":0,\"valid_points\":0}\n");
}

TEST(FailureLine, CarriesTheMessageAsAJsonString) {
  EXPECT_EQ(failure_line("stoi"), "{\"ok\":false,\"error\":\"stoi\"}\n");
  EXPECT_EQ(failure_line("a\"b\\c\nd\te"), "{\"ok\":false,\"error\":\"a\\\"b\\\\c\\nd\\te\"}\n");
  EXPECT_EQ(failure_line(""), "{\"ok\":false,\"error\":\"\"}\n");
}

}  // namespace
}  // namespace dic2d
