#pragma once
// Helpers of the file tests: a scratch directory removed with its contents,
// exception text, and the bits of a double. Header-only, tests only.

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>

namespace dic2d::testing_util {

// A fresh directory under the system's temporary directory, named after the
// test binary's `prefix`, the process and a counter.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix) {
    static int counter = 0;
    path_ = std::filesystem::temp_directory_path() /
            (prefix + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directory(path_);
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string file(const std::string& name) const { return (path_ / name).string(); }

  // Names of everything in the directory tree, relative to it.
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::recursive_directory_iterator(path_)) {
      names.insert(e.path().lexically_relative(path_).string());
    }
    return names;
  }

 private:
  std::filesystem::path path_;
};

// "<kind>: <message>" of what `f` throws, or "no exception".
template <typename F>
std::string failure_of(F&& f) {
  try {
    f();
  } catch (const std::length_error& e) {
    return std::string("length_error: ") + e.what();
  } catch (const std::invalid_argument& e) {
    return std::string("invalid_argument: ") + e.what();
  } catch (const std::runtime_error& e) {
    return std::string("runtime_error: ") + e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "no exception";
}

inline std::uint64_t bits(double v) {
  std::uint64_t b = 0;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

}  // namespace dic2d::testing_util
