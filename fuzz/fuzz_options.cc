// Fuzzes argument pairing and option conversion. The input is split at NUL
// bytes into an argument vector. Pairing, int_option, double_option and
// flag_option are checked against strtol / strtod directly; run_cli is run
// on the same vector with every file path replaced by one in a directory
// that does not exist, so no file is ever read or written, and its single
// report line must carry the expected failure.

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "dic2d/cli/cli_run.h"
#include "dic2d/cli/options.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_options: %s\n", what.c_str());
  std::abort();
}

constexpr const char* kPairs = "Arguments must be provided as --key value pairs.";
constexpr const char* kNowhere = "/nonexistent-fuzz-dir/input.bin";

// Independent pairing: nothing, or the failure message.
std::string expected_pairing(const std::vector<std::string>& args, dic2d::OptionMap& out) {
  for (std::size_t i = 1; i < args.size(); i += 2) {
    if (args[i].compare(0, 2, "--") != 0 || i + 1 >= args.size()) return kPairs;
    out[args[i].substr(2)] = args[i + 1];
  }
  return {};
}

void check_int(const dic2d::OptionMap& map, const std::string& key) {
  const std::string& text = map.at(key);
  errno = 0;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  std::string want;
  if (end == text.c_str())
    want = "invalid:stoi";
  else if (errno == ERANGE || v < std::numeric_limits<std::int32_t>::min() ||
           v > std::numeric_limits<std::int32_t>::max())
    want = "range:stoi";
  try {
    const std::int32_t got = dic2d::int_option(map, key, 7);
    if (!want.empty()) fail("int_option accepted '" + text + "'");
    if (got != v) fail("int_option value of '" + text + "'");
  } catch (const std::out_of_range& e) {
    if (want != std::string("range:") + e.what())
      fail("int_option out_of_range for '" + text + "'");
  } catch (const std::invalid_argument& e) {
    if (want != std::string("invalid:") + e.what()) fail("int_option invalid for '" + text + "'");
  }
}

void check_double(const dic2d::OptionMap& map, const std::string& key) {
  const std::string& text = map.at(key);
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  std::string want;
  if (end == text.c_str())
    want = "invalid:stod";
  else if (errno == ERANGE)
    want = "range:stod";
  try {
    const double got = dic2d::double_option(map, key, 7.0);
    if (!want.empty()) fail("double_option accepted '" + text + "'");
    if (std::memcmp(&got, &v, sizeof v) != 0 && !(std::isnan(got) && std::isnan(v))) {
      fail("double_option value of '" + text + "'");
    }
  } catch (const std::out_of_range& e) {
    if (want != std::string("range:") + e.what())
      fail("double_option out_of_range for '" + text + "'");
  } catch (const std::invalid_argument& e) {
    if (want != std::string("invalid:") + e.what())
      fail("double_option invalid for '" + text + "'");
  }
}

bool is_path_key(const std::string& arg) {
  return arg == "--reference" || arg == "--deformed" || arg == "--mask" || arg == "--output";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"dic2d_cli"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (size > 0) args.push_back(current);
  if (args.size() > 400) return -1;

  dic2d::OptionMap want;
  const std::string pairing_error = expected_pairing(args, want);
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::string got_error;
  dic2d::OptionMap got;
  try {
    got = dic2d::pair_arguments(static_cast<int>(argv.size()), argv.data());
  } catch (const std::invalid_argument& e) {
    got_error = e.what();
  }
  if (got_error != pairing_error) fail("pairing: '" + got_error + "' vs '" + pairing_error + "'");
  if (pairing_error.empty() && got != want) fail("pairing: maps differ");

  for (const auto& [key, value] : got) {
    check_int(got, key);
    check_double(got, key);
    const bool flag = dic2d::flag_option(got, key, false);
    if (flag != (value == "1" || value == "true" || value == "True"))
      fail("flag_option '" + value + "'");
  }
  const std::string absent =
      "\x01"
      "absent";
  if (!got.count(absent) &&
      (dic2d::int_option(got, absent, -5) != -5 || dic2d::double_option(got, absent, 2.5) != 2.5 ||
       dic2d::flag_option(got, absent, true) != true)) {
    fail("defaults of absent keys");
  }

  // The whole front end on the same arguments, with every path made
  // unreachable: the run must end at pairing, at the first required option
  // or at the first input file, always in one failure line.
  std::vector<std::string> safe = args;
  for (std::size_t i = 1; i + 1 < safe.size(); i += 2) {
    if (is_path_key(safe[i])) safe[i + 1] = kNowhere;
  }
  std::vector<const char*> safe_argv;
  for (const auto& a : safe) safe_argv.push_back(a.c_str());
  std::ostringstream out;
  const int status = dic2d::run_cli(static_cast<int>(safe_argv.size()), safe_argv.data(), out);
  std::string message = pairing_error;
  if (message.empty()) {
    message = want.count("reference") ? std::string("Could not open image binary: ") + kNowhere
                                      : "Missing required argument: --reference";
  }
  std::string escaped;
  for (const char ch : message) {
    if (ch == '"' || ch == '\\') escaped.push_back('\\');
    if (ch == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped.push_back(ch);
  }
  const std::string line = "{\"ok\":false,\"error\":\"" + escaped + "\"}\n";
  if (status != 1 || out.str() != line)
    fail("run_cli printed '" + out.str() + "', expected '" + line + "'");
  return 0;
}
