// The JSON text the tools write: strings escaped (quotes, backslashes and every control character),
// numbers that are not finite written as null.
#pragma once

#include <string>

namespace omu {
namespace json {

// `s` as a quoted JSON string.
std::string string(const std::string& s);

// `v` printed with `digits` significant digits (%g), or null when it is not finite.
std::string number(double v, int digits = 6);

inline const char* boolean(bool b) { return b ? "true" : "false"; }

// A list of strings: ["a", "b"].
template <typename List>
std::string strings(const List& list) {
  std::string out = "[";
  bool first = true;
  for (const auto& s : list) {
    out += (first ? "" : ", ") + string(s);
    first = false;
  }
  return out + "]";
}

}  // namespace json

// Writes `text` to `path`; false when the file cannot be written.
bool write_file(const std::string& path, const std::string& text);

}  // namespace omu
