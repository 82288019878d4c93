#include "bench_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "json.h"

namespace omu {

const char* const emulator_note = "emulated library: tiny sizes on the CPU; the figures mean nothing here";

namespace {

// The entry column of a row: its role, then the variant in brackets.
std::string entry_text(const result& r) {
  std::string entry = r.row->role();
  if (r.row->variant[0] != '\0') entry += " (" + std::string(r.row->variant) + ")";
  return entry;
}

std::string xml_text(const std::string& s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

void print_header(const run_info& info, const std::string& library_path) {
  std::printf("omu bench on %s (%s)\n", info.device.c_str(), library_path.c_str());
  if (info.emulated) std::printf("NOTE: %s\n", emulator_note);
  std::printf("reference launch (%s): %.2f us per call\n", info.reference.c_str(), info.launch_seconds * 1e6);
}

void print_table(const run_info& info, const std::vector<result>& results) {
  // The entry and shape columns widen to their longest text, so that nothing is cut.
  int entry_w = 34, shape_w = 26;
  for (const result& r : results) {
    entry_w = std::max(entry_w, static_cast<int>(entry_text(r).size()));
    shape_w = std::max(shape_w, static_cast<int>(r.large.shape.size()));
  }
  std::printf("\n%-11s %-9s %-*s %-*s %10s %9s %8s %8s %10s %9s\n", "family", "export", entry_w, "entry", shape_w,
              "large size", "us/call", "GB/s", "vs copy", "GFLOP/s", "small us", "x launch");
  for (const result& r : results) {
    std::printf("%-11s %-9s %-*s %-*s ", r.row->family(), r.row->symbol, entry_w, entry_text(r).c_str(), shape_w,
                r.large.shape.c_str());
    if (r.large.ok) {
      std::printf("%10.2f %9.2f %8.3f ", r.large.seconds * 1e6, r.large.bytes / r.large.seconds / 1e9, r.ratio());
      if (r.large.flops > 0) {
        std::printf("%8.1f ", r.large.flops / r.large.seconds / 1e9);
      } else {
        std::printf("%8s ", "-");
      }
    } else {
      std::printf("%10s %9s %8s %8s ", "FAILED", "", "", "");
    }
    if (r.small.ok) {
      std::printf("%10.2f %9.2f\n", r.small.seconds * 1e6, r.small.seconds / info.launch_seconds);
    } else {
      std::printf("%10s\n", "FAILED");
    }
  }
  if (!info.not_implemented.empty()) {
    std::printf("\nnot in this library (skipped):");
    for (const std::string& n : info.not_implemented) std::printf(" %s", n.c_str());
    std::printf("\n");
  }
  if (!info.without_row.empty()) {
    std::printf("implemented but without a benchmark row yet:");
    for (const std::string& n : info.without_row) std::printf(" %s", n.c_str());
    std::printf("\n");
  }
  if (info.emulated) std::printf("NOTE: %s\n", emulator_note);
}

std::string to_json(const run_info& info, const std::vector<result>& results) {
  using json::number;
  using json::string;
  std::string j = "{\n";
  j += "  \"library\": " + string(info.library) + ",\n";
  j += "  \"device\": " + string(info.device) + ",\n";
  j += "  \"emulated\": " + std::string(json::boolean(info.emulated)) + ",\n";
  if (info.emulated) j += "  \"note\": " + string(emulator_note) + ",\n";
  j += "  \"reference_launch_seconds\": " + number(info.launch_seconds) + ",\n";
  j += "  \"entries\": [";
  for (size_t i = 0; i < results.size(); ++i) {
    const result& r = results[i];
    j += i == 0 ? "\n" : ",\n";
    j += "    {\"export\": " + string(r.row->symbol) + ", \"family\": " + string(r.row->family()) +
         ", \"entry\": " + string(r.row->role()) + ", \"variant\": " + string(r.row->variant) + ",\n";
    const measurement& l = r.large;
    j += "     \"large\": {\"ok\": " + std::string(json::boolean(l.ok)) + ", \"shape\": " + string(l.shape) +
         ", \"bytes\": " + number(l.bytes) + ", \"seconds\": " + number(l.ok ? l.seconds : NAN) +
         ", \"bytes_per_second\": " + number(l.ok ? l.bytes / l.seconds : NAN) +
         ", \"copy_bytes_per_second\": " + number(l.ok ? l.bytes / l.copy_seconds : NAN) +
         ", \"ratio_to_copy\": " + number(l.ok ? r.ratio() : NAN) +
         ", \"flops_per_second\": " + number(l.ok && l.flops > 0 ? l.flops / l.seconds : NAN) + "},\n";
    const measurement& s = r.small;
    j += "     \"small\": {\"ok\": " + std::string(json::boolean(s.ok)) + ", \"shape\": " + string(s.shape) +
         ", \"bytes\": " + number(s.bytes) + ", \"seconds\": " + number(s.ok ? s.seconds : NAN) +
         ", \"launch_multiple\": " + number(s.ok ? s.seconds / info.launch_seconds : NAN) + "}}";
  }
  j += "\n  ],\n";
  j += "  \"not_implemented\": " + json::strings(info.not_implemented) + ",\n";
  j += "  \"without_benchmark_row\": " + json::strings(info.without_row) + "\n";
  return j + "}\n";
}

std::string to_svg(const run_info& info, const std::vector<result>& results) {
  // Labels get a column as wide as the longest needs at 12 px sans-serif (at most 7 px a
  // character), so that no label runs into its bar; each value sits right of its bar.
  std::vector<std::string> labels;
  size_t longest = 0;
  for (const result& r : results) {
    std::string label = std::string(r.row->family()) + "  " + r.row->symbol + "  " + r.row->role();
    if (r.row->variant[0] != '\0') label += " (" + std::string(r.row->variant) + ")";
    longest = std::max(longest, label.size());
    labels.push_back(label);
  }
  const int label_w = std::max(380, static_cast<int>(longest) * 7 + 16);
  const int bar_w = 420, row_h = 18, top = 56, left = 10;
  double most = 1.25;
  for (const result& r : results) most = std::max(most, r.ratio());
  const double scale = bar_w / most;
  const int height = top + static_cast<int>(results.size()) * row_h + 30;
  const int width = left + label_w + bar_w + 80;
  static const char* const colours[] = {"#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#76b7b2",
                                        "#edc948", "#b07aa1", "#ff9da7", "#9c755f", "#bab0ac"};
  std::map<std::string, int> family_colour;
  char buf[512];
  std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  std::snprintf(buf, sizeof buf,
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                "font-family=\"sans-serif\" font-size=\"12\">\n",
                width, height, width, height);
  s += buf;
  s += "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  s += "<text x=\"" + std::to_string(left) + "\" y=\"18\" font-size=\"14\">" +
       xml_text("omu bench: throughput as a ratio to a device-to-device copy of the same bytes (" + info.device +
                ")") +
       "</text>\n";
  if (info.emulated) {
    s += "<text x=\"" + std::to_string(left) + "\" y=\"36\" fill=\"#c00\">" + xml_text(emulator_note) + "</text>\n";
  }
  const int x0 = left + label_w;
  for (size_t i = 0; i < results.size(); ++i) {
    const result& r = results[i];
    const int y = top + static_cast<int>(i) * row_h;
    auto it = family_colour.emplace(r.row->family(), static_cast<int>(family_colour.size()) % 10).first;
    std::snprintf(buf, sizeof buf, "<text x=\"%d\" y=\"%d\">", left, y + 13);
    s += buf + xml_text(labels[i]) + "</text>\n";
    const double ratio = r.ratio();
    std::snprintf(buf, sizeof buf, "<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"/>\n", x0, y + 2,
                  ratio * scale, row_h - 4, colours[it->second]);
    s += buf;
    char value[32];
    std::snprintf(value, sizeof value, r.large.ok ? "%.3f" : "failed", ratio);
    std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%d\">%s</text>\n", x0 + ratio * scale + 4, y + 13, value);
    s += buf;
  }
  const double x1 = x0 + scale;
  std::snprintf(buf, sizeof buf,
                "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"black\" stroke-dasharray=\"4 3\"/>\n"
                "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">copy = 1</text>\n",
                x1, top - 4, x1, height - 24, x1, height - 10);
  s += buf;
  return s + "</svg>\n";
}

}  // namespace omu
