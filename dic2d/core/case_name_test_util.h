#pragma once
// Readable names for parametrised test cases: "<index>_<text>" with every
// byte outside [A-Za-z0-9] spelled out, so that "-0x1.8p1" names its case
// "5_minus0x1point8p1" rather than a dump of the parameter's bytes. The
// index keeps names unique. Tests only.

#include <cstddef>
#include <string>
#include <string_view>

namespace dic2d::testing_util {

inline std::string case_name(std::size_t index, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string name = std::to_string(index) + "_";
  if (text.empty()) return name + "empty";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= 'a' && byte <= 'z')) {
      name.push_back(c);
      continue;
    }
    switch (byte) {
      case '-':
        name += "minus";
        break;
      case '+':
        name += "plus";
        break;
      case '.':
        name += "point";
        break;
      case ' ':
        name += "_";
        break;
      case '\t':
        name += "tab";
        break;
      case '\n':
        name += "lf";
        break;
      case '\r':
        name += "cr";
        break;
      default:
        name += "x";
        name.push_back(kHex[byte >> 4]);
        name.push_back(kHex[byte & 0x0F]);
    }
  }
  return name;
}

}  // namespace dic2d::testing_util
