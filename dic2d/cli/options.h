#pragma once
// Command-line options of dic2d_cli: "--key value" pairs collected into an
// ordered map, and typed look-ups with defaults.

#include <cstdint>
#include <map>
#include <string>

#include "dic2d/core/parameters.h"

namespace dic2d {

// Key (argument text without its leading "--") to value text, ordered by
// byte-wise key comparison. The last occurrence of a key wins.
using OptionMap = std::map<std::string, std::string>;

// Pairs argv[1..argc-1] into keys and values. Throws std::invalid_argument
// "Arguments must be provided as --key value pairs." for a key candidate
// without the "--" prefix or a key without a value.
OptionMap pair_arguments(int argc, const char* const* argv);

// Value of `key`; std::invalid_argument "Missing required argument: --<key>"
// when absent.
std::string required_option(const OptionMap& options, const std::string& key);

// strtol base 10 (leading blanks, sign, digits; trailing text ignored).
// std::invalid_argument "stoi" without digits, std::out_of_range "stoi"
// outside the 32-bit range.
std::int32_t int_option(const OptionMap& options, const std::string& key,
                        std::int32_t default_value);

// strtod (every form it accepts; trailing text ignored). std::invalid_argument
// "stod" without a number, std::out_of_range "stod" on overflow or underflow.
double double_option(const OptionMap& options, const std::string& key, double default_value);

// "ssd" or "znssd" (whole text, case-sensitive); std::invalid_argument
// "criterion must be ssd or znssd." for any other text.
MatchCriterion criterion_option(const OptionMap& options, const std::string& key,
                                MatchCriterion default_value);

// "bilinear" or "bspline3"; std::invalid_argument "interpolation must be
// bilinear or bspline3." for any other text.
SubpixelInterpolation interpolation_option(const OptionMap& options, const std::string& key,
                                           SubpixelInterpolation default_value);

// True exactly for "1", "true" and "True".
bool flag_option(const OptionMap& options, const std::string& key, bool default_value);

}  // namespace dic2d
