// The json_writer check (CTest): strings come out escaped (quotes, backslashes, every control character)
// and numbers that are not finite as null, as a JSON parser needs them.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "json.h"

int main() {
  struct {
    std::string got, want;
  } const cases[] = {
      {omu::json::string("plain"), "\"plain\""},
      {omu::json::string("a \"b\" \\ c"), "\"a \\\"b\\\" \\\\ c\""},
      {omu::json::string("line\nand\ttab"), "\"line\\nand\\ttab\""},
      {omu::json::string(std::string("\x01\x1f\r\b", 4)), "\"\\u0001\\u001f\\u000d\\u0008\""},
      {omu::json::string(std::string("nul\0end", 7)), "\"nul\\u0000end\""},
      {omu::json::string("caf\xc3\xa9"), "\"caf\xc3\xa9\""},
      {omu::json::number(NAN), "null"},
      {omu::json::number(-INFINITY), "null"},
      {omu::json::number(static_cast<double>(0.1f), 9), "0.100000001"},
      {omu::json::number(1234567.0), "1.23457e+06"},
      {omu::json::strings(std::vector<std::string>{"a", "b\n"}), "[\"a\", \"b\\n\"]"},
  };
  int failed = 0;
  for (const auto& c : cases) {
    if (c.got != c.want) {
      std::printf("got %s, want %s\n", c.got.c_str(), c.want.c_str());
      failed += 1;
    }
  }
  std::printf("json writer: %d of %zu cases wrong\n", failed, sizeof cases / sizeof cases[0]);
  return failed == 0 ? 0 : 1;
}
