#pragma once
// For the unit tests: what a call throws, as text.

#include <string>

namespace vostrel {

// The what() of the E that f() throws, or "" when f returns. Exceptions of
// other types pass through, so a test also pins the kind of error.
template <typename E, typename F>
std::string thrown_message(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

}  // namespace vostrel
