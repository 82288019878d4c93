// The registry_coverage check: every operator entry of the export registry has a case in
// `omu check` and a row in `omu bench`, and every case and row names an export of the registry.
// Needs no library: it reads the tables only.
#include <cstdio>
#include <set>
#include <string>

#include "bench_rows.h"
#include "check.h"
#include "registry/exports.h"

int main() {
  int problems = 0;
  auto report = [&](const char* what, const std::string& name) {
    std::printf("%s: %s\n", what, name.c_str());
    problems += 1;
  };
  std::set<std::string> names;
  for (const kr_exports::entry& e : kr_exports::table) {
    if (!names.insert(e.name).second) report("listed twice in the export registry", e.name);
  }
  for (const std::string& n : omu::entries_without_check()) report("operator entry without an omu check case", n);
  for (const std::string& n : omu::entries_without_row()) report("operator entry without an omu bench row", n);
  for (const omu::check_case& c : omu::all_checks()) {
    const kr_exports::entry* e = kr_exports::find(c.symbol);
    if (e == nullptr || !kr_exports::is_operator(*e)) report("check case of no operator entry", c.symbol);
  }
  for (const omu::bench_row& r : omu::bench_rows()) {
    if (r.entry == nullptr || !kr_exports::is_operator(*r.entry)) report("bench row of no operator entry", r.symbol);
  }
  std::printf("registry coverage: %zu exports, %d problem(s)\n", names.size(), problems);
  return problems == 0 ? 0 : 1;
}
