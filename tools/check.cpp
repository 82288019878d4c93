// omu check: runs every operator entry once on small data through the loaded library and prints a
// pass/fail table.
#include "check.h"

#include <algorithm>
#include <cstdio>

#include "registry/exports.h"

namespace omu {

std::vector<check_case> all_checks() {
  std::vector<check_case> cases;
  for (auto family : {float_checks, int16_checks, broadcast_checks, norm_checks, conv_checks, layout_checks,
                      matmul_checks, attention_checks}) {
    for (const check_case& c : family()) cases.push_back(c);
  }
  return cases;
}

std::vector<std::string> entries_without_check() {
  const std::vector<check_case> cases = all_checks();
  std::vector<std::string> names;
  for (const kr_exports::entry& e : kr_exports::table) {
    const bool has_case = std::any_of(cases.begin(), cases.end(), [&](const check_case& c) { return c.symbol == std::string(e.name); });
    if (kr_exports::is_operator(e) && !has_case) names.push_back(e.name);
  }
  return names;
}

int check(const library& lib) {
  session ses(lib);
  if (!ses.opened()) {
    if (OMU_EXPORT(lib, taabe20) == nullptr || OMU_EXPORT(lib, taabe105) == nullptr) {
      std::fprintf(stderr, "omu: %s lacks the device exports\n", lib.path().c_str());
      return 2;
    }
    std::fprintf(stderr, "omu: %s\n", ses.error().c_str());
    return 1;
  }
  int passed = 0, failed = 0, missing = 0;
  std::printf("%-10s %-40s %s\n", "export", "operator", "result");
  for (const check_case& c : all_checks()) {
    std::string detail;
    const char* result = "pass";
    if (lib.symbol(c.symbol) == nullptr) {
      result = "MISSING";
      missing += 1;
    } else if (c.run(ses, detail)) {
      passed += 1;
    } else {
      result = "FAIL";
      failed += 1;
    }
    ses.release_buffers();
    std::string name = kr_exports::role_of(c.symbol);
    if (c.variant[0] != '\0') name += std::string(", ") + c.variant;
    std::printf("%-10s %-40s %s%s%s\n", c.symbol, name.c_str(), result, detail.empty() ? "" : ": ", detail.c_str());
  }
  std::printf("%d passed, %d failed, %d missing\n", passed, failed, missing);
  const std::vector<std::string> uncovered = entries_without_check();
  if (!uncovered.empty()) {
    std::printf("operator entries without a check case:");
    for (const std::string& n : uncovered) std::printf(" %s", n.c_str());
    std::printf("\n");
  }
  return failed == 0 && missing == 0 && uncovered.empty() ? 0 : 1;
}

}  // namespace omu
