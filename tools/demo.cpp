// omu demo: runs the models, prints one line per layer and step and a verdict, writes JSON.
#include "demo.h"

#include <cstdio>

#include "json.h"

namespace omu {

namespace {

std::string number(double v) { return json::number(v, 9); }

std::string to_json(const std::vector<demo::row>& report, bool passed, const std::string& error) {
  std::string j = "{\n  \"passed\": " + std::string(json::boolean(passed)) + ",\n  \"error\": " + json::string(error) +
                  ",\n  \"rows\": [\n";
  for (size_t i = 0; i < report.size(); ++i) {
    const demo::row& r = report[i];
    j += "    {\"model\": " + json::string(r.model) + ", \"step\": " + json::string(r.step) +
         ", \"layer\": " + json::string(r.layer) + ", \"max_abs\": " + number(r.max_abs) +
         ", \"max_rel\": " + number(r.max_rel) + ", \"bound\": " + number(r.bound) +
         ", \"entries\": " + std::to_string(r.entries) + ", \"ms\": " + number(r.ms) +
         ", \"pass\": " + json::boolean(r.pass) + ", \"note\": " + json::string(r.note) + "}" +
         (i + 1 < report.size() ? "," : "") + "\n";
  }
  return j + "  ]\n}\n";
}

}  // namespace

int run_demo(const library& lib, const demo::options& opt) {
  std::vector<demo::row> report;
  std::string error;
  std::printf("%-12s %-10s %-6s %12s %12s %10s %8s %10s  %s\n", "model", "step", "layer", "max_abs_err",
              "max_rel_err", "bound", "entries", "ms", "result");
  size_t shown = 0;
  auto print_new = [&]() {
    for (; shown < report.size(); ++shown) {
      const demo::row& r = report[shown];
      if (r.bound < 0) {  // a timing line: nothing compared
        std::printf("%-12s %-10s %-6s %12s %12s %10s %8d %10.3f\n", r.model.c_str(), r.step.c_str(), r.layer.c_str(),
                    "-", "-", "-", r.entries, r.ms);
        continue;
      }
      std::printf("%-12s %-10s %-6s %12.3e %12.3e %10s %8d %10.3f  %s%s%s\n", r.model.c_str(), r.step.c_str(),
                  r.layer.c_str(), r.max_abs, r.max_rel, r.bound > 0 ? number(r.bound).c_str() : "exact", r.entries,
                  r.ms, r.pass ? "ok" : "FAIL", r.note.empty() ? "" : ": ", r.note.c_str());
    }
    std::fflush(stdout);
  };
  try {
    demo::run_transformer(lib, opt, report);
    print_new();
    demo::run_audio(lib, opt, report);
    print_new();
  } catch (const demo::failure& f) {
    print_new();
    error = f.what();
  }
  int failed = 0;
  double worst = 0;
  for (const demo::row& r : report) {
    failed += r.pass ? 0 : 1;
    if (r.model == "transformer" && r.max_rel > worst) worst = r.max_rel;
  }
  const bool passed = error.empty() && failed == 0 && !report.empty();
  if (!opt.json.empty() && !write_file(opt.json, to_json(report, passed, error))) {
    std::fprintf(stderr, "omu: cannot write %s\n", opt.json.c_str());
  }
  if (!error.empty()) std::printf("demo: FAIL: %s\n", error.c_str());
  std::printf("demo: %s: %zu lines, %d over their bound; transformer largest relative error %.3e; audio %s\n",
              passed ? "PASS" : "FAIL", report.size(), failed, worst,
              failed == 0 && error.empty() ? "bit-exact" : "see above");
  return passed ? 0 : 1;
}

}  // namespace omu
