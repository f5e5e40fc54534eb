#include "dic2d/cli/options.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace dic2d {

namespace {

const std::string* find_value(const OptionMap& options, const std::string& key) {
  const auto it = options.find(key);
  return it == options.end() ? nullptr : &it->second;
}

// Keeps the caller's errno, as the standard string conversions do.
class ErrnoGuard {
 public:
  ErrnoGuard() : saved_(errno) { errno = 0; }
  ~ErrnoGuard() {
    if (errno == 0) errno = saved_;
  }
  ErrnoGuard(const ErrnoGuard&) = delete;
  ErrnoGuard& operator=(const ErrnoGuard&) = delete;

 private:
  int saved_;
};

}  // namespace

OptionMap pair_arguments(int argc, const char* const* argv) {
  OptionMap options;
  for (int i = 1; i < argc; i += 2) {
    const std::string key = argv[i];
    if (key.compare(0, 2, "--") != 0 || i + 1 >= argc) {
      throw std::invalid_argument("Arguments must be provided as --key value pairs.");
    }
    options[key.substr(2)] = argv[i + 1];
  }
  return options;
}

std::string required_option(const OptionMap& options, const std::string& key) {
  const std::string* value = find_value(options, key);
  if (value == nullptr) throw std::invalid_argument("Missing required argument: --" + key);
  return *value;
}

std::int32_t int_option(const OptionMap& options, const std::string& key,
                        std::int32_t default_value) {
  const std::string* value = find_value(options, key);
  if (value == nullptr) return default_value;
  const char* text = value->c_str();
  char* end = nullptr;
  const ErrnoGuard guard;
  const long parsed = std::strtol(text, &end, 10);
  if (end == text) throw std::invalid_argument("stoi");
  if (errno == ERANGE || parsed < std::numeric_limits<std::int32_t>::min() ||
      parsed > std::numeric_limits<std::int32_t>::max()) {
    throw std::out_of_range("stoi");
  }
  return static_cast<std::int32_t>(parsed);
}

double double_option(const OptionMap& options, const std::string& key, double default_value) {
  const std::string* value = find_value(options, key);
  if (value == nullptr) return default_value;
  const char* text = value->c_str();
  char* end = nullptr;
  const ErrnoGuard guard;
  const double parsed = std::strtod(text, &end);
  if (end == text) throw std::invalid_argument("stod");
  if (errno == ERANGE) throw std::out_of_range("stod");
  return parsed;
}

MatchCriterion criterion_option(const OptionMap& options, const std::string& key,
                                MatchCriterion default_value) {
  const std::string* value = find_value(options, key);
  if (value == nullptr) return default_value;
  if (*value == "ssd") return MatchCriterion::kSsd;
  if (*value == "znssd") return MatchCriterion::kZnssd;
  throw std::invalid_argument("criterion must be ssd or znssd.");
}

SubpixelInterpolation interpolation_option(const OptionMap& options, const std::string& key,
                                           SubpixelInterpolation default_value) {
  const std::string* value = find_value(options, key);
  if (value == nullptr) return default_value;
  if (*value == "bilinear") return SubpixelInterpolation::kBilinear;
  if (*value == "bspline3") return SubpixelInterpolation::kBspline3;
  throw std::invalid_argument("interpolation must be bilinear or bspline3.");
}

bool flag_option(const OptionMap& options, const std::string& key, bool default_value) {
  const std::string* value = find_value(options, key);
  if (value == nullptr) return default_value;
  return *value == "1" || *value == "true" || *value == "True";
}

}  // namespace dic2d
