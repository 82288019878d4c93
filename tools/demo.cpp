// omu demo: runs the models, prints one line per layer and step and a verdict, writes JSON.
#include "demo.h"

#include <cstdio>

namespace omu {
namespace demo {

namespace {
using open_fn = kr_status_t (*)(int32_t, kr_omu_device**);
using close_fn = void (*)(kr_omu_device*);
using alloc_fn = kr_omu_buffer* (*)(kr_omu_device*, int32_t, int32_t);
using free_fn = void (*)(kr_omu_device*, kr_omu_buffer*);
using write_fn = kr_status_t (*)(kr_omu_device*, kr_omu_buffer*, const void*, int32_t, int32_t);
using read_fn = kr_status_t (*)(kr_omu_device*, kr_omu_buffer*, void*, int32_t, int32_t);
}  // namespace

session::session(const library& lib) : lib_(lib) {
  auto open = lib_.function<open_fn>("taabe20");
  if (open == nullptr) throw failure("the library lacks the device exports");
  const kr_status_t status = open(0, &device_);
  if (status != KR_STATUS_SUCCESS) throw failure("cannot open GPU 0 (status " + std::to_string(status) + ")");
  sync_ = buffer(4);
}

session::~session() {
  auto release = lib_.function<free_fn>("taabe10");
  for (kr_omu_buffer* b : buffers_) release(device_, b);
  lib_.function<close_fn>("taabe105")(device_);
}

kr_omu_buffer* session::buffer(size_t bytes) {
  if (bytes > 0x7FFFFFFF) throw failure("buffer too large");
  kr_omu_buffer* b = lib_.function<alloc_fn>("taabe79")(device_, static_cast<int32_t>(bytes), 0);
  if (b == nullptr) throw failure("buffer allocation of " + std::to_string(bytes) + " bytes failed");
  buffers_.push_back(b);
  return b;
}

void session::write(kr_omu_buffer* b, const void* data, size_t bytes, size_t offset) {
  if (lib_.function<write_fn>("taabe9")(device_, b, data, static_cast<int32_t>(offset), static_cast<int32_t>(bytes)) !=
      KR_STATUS_SUCCESS) {
    throw failure("writing a buffer failed");
  }
}

void session::read(kr_omu_buffer* b, void* data, size_t bytes, size_t offset) {
  if (lib_.function<read_fn>("taabe137")(device_, b, data, static_cast<int32_t>(offset), static_cast<int32_t>(bytes)) !=
      KR_STATUS_SUCCESS) {
    throw failure("reading a buffer failed (a kernel fault shows here)");
  }
}

void session::wait() {
  int32_t sink = 0;
  read(sync_, &sink, 4);
}

}  // namespace demo

namespace {

std::string json_escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

std::string number(double v) {
  if (!std::isfinite(v)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.9g", v);
  return text;
}

bool write_json(const std::string& path, const std::vector<demo::row>& report, bool passed, const std::string& error) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  std::fprintf(f, "{\n  \"passed\": %s,\n  \"error\": \"%s\",\n  \"rows\": [\n", passed ? "true" : "false",
               json_escape(error).c_str());
  for (size_t i = 0; i < report.size(); ++i) {
    const demo::row& r = report[i];
    std::fprintf(f,
                 "    {\"model\": \"%s\", \"step\": \"%s\", \"layer\": \"%s\", \"max_abs\": %s, \"max_rel\": %s, "
                 "\"bound\": %s, \"entries\": %d, \"ms\": %s, \"pass\": %s, \"note\": \"%s\"}%s\n",
                 r.model.c_str(), r.step.c_str(), r.layer.c_str(), number(r.max_abs).c_str(),
                 number(r.max_rel).c_str(), number(r.bound).c_str(), r.entries, number(r.ms).c_str(),
                 r.pass ? "true" : "false", json_escape(r.note).c_str(), i + 1 < report.size() ? "," : "");
  }
  std::fprintf(f, "  ]\n}\n");
  return std::fclose(f) == 0;
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
  if (!opt.json.empty() && !write_json(opt.json, report, passed, error)) {
    std::fprintf(stderr, "omu: cannot write %s\n", opt.json.c_str());
  }
  if (!error.empty()) std::printf("demo: FAIL: %s\n", error.c_str());
  std::printf("demo: %s: %zu lines, %d over their bound; transformer largest relative error %.3e; audio %s\n",
              passed ? "PASS" : "FAIL", report.size(), failed, worst,
              failed == 0 && error.empty() ? "bit-exact" : "see above");
  return passed ? 0 : 1;
}

}  // namespace omu
