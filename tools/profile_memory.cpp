// omu profile: the memory-access profile of every benchmark row, on the profile build of the
// emulated library (KR_PROFILE=memory), which records every load and store its kernels make and
// exports the figures per kernel (kr_emu/profile_abi.h).
//
// Each row's set-up (bench_rows.cpp) makes the buffers of one call; the call then runs once with
// recording on. Launches of more blocks than the block budget run a deterministic sample of them
// (the first, the last and an even spread) and their figures are scaled to the whole grid. Rows
// run at the benchmark's GPU shapes, or with --small at its emulator shapes (what the budget table
// and CI use). Figures are a model of the memory system, not a measurement: see the README.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bench_rows.h"
#include "json.h"
#include "profile.h"
#include "profile_abi.h"
#include "session.h"

namespace omu {

namespace {

// Launches of more blocks than this run a sample of this many.
constexpr uint64_t block_budget = 48;
// A row at the GPU shape that takes longer than this here runs at the emulator's shape instead;
// one at the emulator's shape that takes longer fails.
constexpr int gpu_row_seconds = 120;
constexpr int small_row_seconds = 180;
// The copy bandwidth the modelled floors are stated against: an H100 SXM's device-to-device copy
// reaches about 3 TB/s of read plus write traffic.
constexpr double model_bandwidth = 3.0e12;

struct profile_row {
  const bench_row* row = nullptr;
  bool ok = false;
  std::string note;  // why it has no figures
  std::string shape;
  double minimal_bytes = 0;
  std::vector<kr_emu_profile_figures> kernels;
  std::vector<std::vector<kr_emu_profile_operand_figures>> operands;  // by kernel
  kr_emu_profile_figures total{};

  double requests() const { return total.global_requests; }
  double sectors_per_request() const { return per(total.global_sectors, total.global_requests); }
  double useful_fraction() const { return per(total.useful_bytes, 32 * total.global_sectors); }
  double fetched_over_minimal() const { return per(32 * total.global_sectors, minimal_bytes); }
  double unique_over_minimal() const { return per(32 * total.unique_sectors, minimal_bytes); }
  double ways() const { return per(total.shared_ways, total.shared_requests); }
  static double per(double a, double b) { return b > 0 ? a / b : 0; }
};

void add(kr_emu_profile_figures& into, const kr_emu_profile_figures& k) {
  into.launches += k.launches;
  into.blocks += k.blocks;
  into.sampled_blocks += k.sampled_blocks;
  into.global_requests += k.global_requests;
  into.global_sectors += k.global_sectors;
  into.useful_bytes += k.useful_bytes;
  into.unique_sectors += k.unique_sectors;
  into.shared_requests += k.shared_requests;
  into.shared_ways += k.shared_ways;
  into.shared_ways_max = std::max(into.shared_ways_max, k.shared_ways_max);
  into.atomics += k.atomics;
  into.atomic_requests += k.atomic_requests;
  into.atomic_same_address += k.atomic_same_address;
}

double k_per(double a, double b) { return b > 0 ? a / b : 0; }

// "arg 4 (unsigned int const*)", "args 0, 2 (float*)", or "unnamed 0 (4096 bytes)" for an
// allocation no pointer argument points into.
std::string operand_label(const kr_emu_profile_operand_figures& o) {
  if (o.argument_count <= 0)
    return "unnamed " + std::to_string(o.unnamed) + " (" + std::to_string(o.allocation_bytes) + " bytes)";
  std::string label = o.argument_count == 1 ? "arg " : "args ";
  for (int32_t i = 0; i < o.argument_count && i < 4; ++i) label += (i > 0 ? ", " : "") + std::to_string(o.arguments[i]);
  if (o.argument_count > 4) label += ", ...";
  return label + (o.parameter[0] ? " (" + std::string(o.parameter) + ")" : "");
}

// Budget lines: "<export> <variant with _ for spaces> <sectors/request> <fetched/minimal> <ways>",
// anything after them a comment.
struct budget_line {
  double sectors_per_request, fetched_over_minimal, ways;
};

std::string budget_key(const profile_row& r) {
  std::string v = r.row->variant[0] ? r.row->variant : "-";
  std::replace(v.begin(), v.end(), ' ', '_');
  return std::string(r.row->symbol) + " " + v;
}

bool read_budget(const std::string& path, std::map<std::string, budget_line>& out) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream s(line);
    std::string symbol, variant;
    budget_line b{};
    if (s >> symbol >> variant >> b.sectors_per_request >> b.fetched_over_minimal >> b.ways) out[symbol + " " + variant] = b;
  }
  return true;
}

// A row is worse than its line when a figure exceeds it by more than rounding of the printed
// value (the table keeps two decimals).
bool worse(double measured, double line) { return measured > line + 0.006; }

std::string fixed(double v, int decimals = 2) {
  char b[64];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string to_json(const std::vector<profile_row>& rows, const std::string& library, bool small) {
  using json::number;
  using json::string;
  auto figures = [](const kr_emu_profile_figures& k, double minimal) {
    return ", \"sampled_blocks\": " + number(double(k.sampled_blocks)) + ", \"blocks\": " + number(double(k.blocks)) +
           ", \"launches\": " + number(double(k.launches)) + ", \"requests\": " + number(k.global_requests) +
           ", \"sectors_per_request\": " + number(k_per(k.global_sectors, k.global_requests)) +
           ", \"useful_fraction\": " + number(k_per(k.useful_bytes, 32 * k.global_sectors)) +
           ", \"fetched_bytes\": " + number(32 * k.global_sectors) +
           ", \"fetched_over_minimal\": " + number(k_per(32 * k.global_sectors, minimal)) +
           ", \"unique_over_minimal\": " + number(k_per(32 * k.unique_sectors, minimal)) +
           ", \"shared_requests\": " + number(k.shared_requests) +
           ", \"bank_conflict_ways\": " + number(k_per(k.shared_ways, k.shared_requests)) +
           ", \"bank_conflict_ways_max\": " + number(k.shared_ways_max) + ", \"atomics\": " + number(k.atomics) +
           ", \"atomics_same_address\": " + number(k.atomic_same_address);
  };
  std::string j = "{\n";
  j += "  \"library\": " + string(library) + ",\n";
  j += "  \"shapes\": " + string(small ? "emulator (small)" : "GPU") + ",\n";
  j += "  \"block_budget\": " + number(small ? 0.0 : double(block_budget)) + ",\n";
  j += "  \"model_bandwidth_bytes_per_second\": " + number(model_bandwidth) + ",\n";
  j += "  \"note\": " +
       string("a model of the memory system from recorded accesses: 32-byte sectors per warp request, no caches, "
              "no latency, no occupancy; the floors are fetched or minimal bytes over the model bandwidth, not "
              "measurements") +
       ",\n";
  j += "  \"entries\": [";
  bool first = true;
  for (const profile_row& r : rows) {
    j += first ? "\n" : ",\n";
    first = false;
    j += "    {\"export\": " + string(r.row->symbol) + ", \"family\": " + string(r.row->family()) +
         ", \"entry\": " + string(r.row->role()) + ", \"variant\": " + string(r.row->variant) +
         ", \"ok\": " + json::boolean(r.ok) + ", \"note\": " + string(r.note) + ", \"shape\": " + string(r.shape) +
         ", \"minimal_bytes\": " + number(r.minimal_bytes) + figures(r.total, r.minimal_bytes) +
         ", \"modelled_floor_seconds\": " + number(32 * r.total.global_sectors / model_bandwidth) +
         ", \"minimal_floor_seconds\": " + number(r.minimal_bytes / model_bandwidth) + ",\n     \"kernels\": [";
    for (size_t i = 0; i < r.kernels.size(); ++i) {
      j += (i == 0 ? "" : ", ") + std::string("{\"kernel\": ") + string(r.kernels[i].name) +
           figures(r.kernels[i], r.minimal_bytes) + ", \"operands\": [";
      const auto& operands = r.operands[i];
      for (size_t o = 0; o < operands.size(); ++o) {
        const kr_emu_profile_operand_figures& f = operands[o];
        std::string arguments;
        for (int32_t a = 0; a < f.argument_count && a < 4; ++a) arguments += (a > 0 ? ", " : "") + number(f.arguments[a]);
        j += (o == 0 ? "" : ", ") + std::string("{\"operand\": ") + string(operand_label(f)) + ", \"arguments\": [" +
             arguments + "], \"parameter\": " + string(f.parameter) +
             ", \"allocation_bytes\": " + number(double(f.allocation_bytes)) + ", \"requests\": " + number(f.global_requests) +
             ", \"sectors_per_request\": " + number(k_per(f.global_sectors, f.global_requests)) +
             ", \"useful_fraction\": " + number(k_per(f.useful_bytes, 32 * f.global_sectors)) +
             ", \"fetched_bytes\": " + number(32 * f.global_sectors) + ", \"unique_bytes\": " + number(32 * f.unique_sectors) + "}";
      }
      j += "]}";
    }
    j += "]}";
  }
  return j + "\n  ]\n}\n";
}

// Horizontal bars of fetched over minimal bytes per row (log scale from 0.5 to 64), a line at 1.
std::string to_svg(const std::vector<profile_row>& rows) {
  const int bar_left = 420, bar_width = 520, row_height = 16, top = 40;
  const int height = top + row_height * static_cast<int>(rows.size()) + 30;
  const int width = bar_left + bar_width + 80;
  auto x_of = [&](double v) {
    const double lo = std::log2(0.5), hi = std::log2(64.0);
    const double t = (std::log2(std::clamp(v, 0.5, 64.0)) - lo) / (hi - lo);
    return bar_left + static_cast<int>(t * bar_width);
  };
  auto escape = [](const std::string& s) {
    std::string o;
    for (char c : s) o += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
    return o;
  };
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                "font-family=\"sans-serif\" font-size=\"11\">\n",
                width, height, width, height);
  std::string s = buf;
  s += "<text x=\"10\" y=\"18\" font-size=\"13\">Fetched sector bytes over minimal bytes per row (emulator memory "
       "profile, a model; log scale 0.5 to 64)</text>\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    const profile_row& r = rows[i];
    const int y = top + static_cast<int>(i) * row_height;
    std::string label = std::string(r.row->family()) + " " + r.row->role() + (r.row->variant[0] ? " (" + std::string(r.row->variant) + ")" : "");
    std::snprintf(buf, sizeof buf, "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">%s</text>\n", bar_left - 6, y + 11,
                  escape(label).c_str());
    s += buf;
    if (!r.ok) continue;
    const double v = r.fetched_over_minimal();
    std::snprintf(buf, sizeof buf,
                  "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" fill=\"%s\"/><text x=\"%d\" y=\"%d\">%.2f</text>\n",
                  bar_left, y + 2, std::max(1, x_of(v) - bar_left), row_height - 4, v > 1.5 ? "#c0504d" : "#4f81bd",
                  x_of(v) + 4, y + 11, v);
    s += buf;
  }
  std::snprintf(buf, sizeof buf, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"black\"/>\n", x_of(1.0), top - 4,
                x_of(1.0), height - 24);
  s += buf;
  return s + "</svg>\n";
}

// The profile build's exports.
struct profile_api {
  kr_emu_profile_start_fn start;
  kr_emu_profile_stop_fn stop;
  kr_emu_profile_kernel_fn kernel;
  kr_emu_profile_operand_fn operand;
};

// What a row's child process sends back.
struct row_header {
  int32_t ok;
  int32_t kernels;
  double minimal_bytes;
  char shape[128];
  char note[128];
};

// Set-up and one recorded call of `row` at size `z`, in this process.
void profile_here(session& ses, const bench_row& row, const sizing& z, const profile_api& api, profile_row& r) {
  session::scope buffers(ses);
  prepared p;
  if (!row.setup(ses, row.symbol, z, p)) {
    r.note = "set-up failed";
    return;
  }
  r.shape = p.shape;
  r.minimal_bytes = p.bytes;
  ses.wait();
  // The emulator's shapes run every block: their figures are exact, as the budget table needs.
  api.start(z.emulated ? 0 : block_budget);
  const kr_status_t status = p.call();
  ses.wait();
  const int32_t count = api.stop();
  if (status != KR_STATUS_SUCCESS) {
    r.note = "call failed with status " + std::to_string(static_cast<int>(status));
    return;
  }
  r.ok = true;
  for (int32_t i = 0; i < count; ++i) {
    kr_emu_profile_figures k{};
    if (api.kernel(i, &k) == 0) {
      std::vector<kr_emu_profile_operand_figures> operands(static_cast<size_t>(std::max(k.operands, 0)));
      for (size_t o = 0; o < operands.size(); ++o) api.operand(i, static_cast<int32_t>(o), &operands[o]);
      r.kernels.push_back(k);
      r.operands.push_back(operands);
      add(r.total, k);
    }
  }
  if (r.kernels.empty()) r.note = "no kernel (runtime copies only)";
}

bool read_all(int fd, void* data, size_t bytes, std::chrono::steady_clock::time_point deadline) {
  auto* at = static_cast<char*>(data);
  while (bytes > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return false;
    const ssize_t n = read(fd, at, bytes);
    if (n <= 0) return false;
    at += n;
    bytes -= static_cast<size_t>(n);
  }
  return true;
}

// Runs the row in a child process (a fault or a sticky error stays there, and a row that takes
// longer than `seconds` is stopped); false, with the reason in r.note, when it did not finish.
bool run_row(session& ses, const bench_row& row, const sizing& z, int seconds, const profile_api& api, profile_row& r) {
  int fds[2];
  if (pipe(fds) != 0) {
    r.note = "no pipe";
    return false;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    r.note = "no process";
    return false;
  }
  if (child == 0) {
    close(fds[0]);
    profile_here(ses, row, z, api, r);
    row_header h{};
    h.ok = r.ok ? 1 : 0;
    h.kernels = static_cast<int32_t>(r.kernels.size());
    h.minimal_bytes = r.minimal_bytes;
    std::snprintf(h.shape, sizeof h.shape, "%s", r.shape.c_str());
    std::snprintf(h.note, sizeof h.note, "%s", r.note.c_str());
    bool written = write(fds[1], &h, sizeof h) == static_cast<ssize_t>(sizeof h);
    for (size_t i = 0; i < r.kernels.size(); ++i) {
      const kr_emu_profile_figures& k = r.kernels[i];
      written = written && write(fds[1], &k, sizeof k) == static_cast<ssize_t>(sizeof k);
      for (const kr_emu_profile_operand_figures& o : r.operands[i])
        written = written && write(fds[1], &o, sizeof o) == static_cast<ssize_t>(sizeof o);
    }
    _exit(written ? 0 : 1);
  }
  close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  row_header h{};
  bool done = read_all(fds[0], &h, sizeof h, deadline);
  for (int32_t i = 0; done && i < h.kernels; ++i) {
    kr_emu_profile_figures k{};
    done = read_all(fds[0], &k, sizeof k, deadline);
    std::vector<kr_emu_profile_operand_figures> operands(done ? static_cast<size_t>(std::max(k.operands, 0)) : 0);
    for (kr_emu_profile_operand_figures& o : operands) done = done && read_all(fds[0], &o, sizeof o, deadline);
    if (done) {
      r.kernels.push_back(k);
      r.operands.push_back(operands);
      add(r.total, k);
    }
  }
  close(fds[0]);
  if (!done) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  if (!done) {
    r.kernels.clear();
    r.operands.clear();
    r.total = kr_emu_profile_figures{};
    r.note = WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL ? "the row crashed"
                                                                : "over " + std::to_string(seconds) + " s here";
    return false;
  }
  r.ok = h.ok != 0;
  r.minimal_bytes = h.minimal_bytes;
  r.shape = h.shape;
  r.note = h.note;
  return true;
}

}  // namespace

int memory_profile(const library& lib, const memory_profile_options& options) {
  const profile_api api{reinterpret_cast<kr_emu_profile_start_fn>(lib.symbol(KR_EMU_PROFILE_START)),
                        reinterpret_cast<kr_emu_profile_stop_fn>(lib.symbol(KR_EMU_PROFILE_STOP)),
                        reinterpret_cast<kr_emu_profile_kernel_fn>(lib.symbol(KR_EMU_PROFILE_KERNEL)),
                        reinterpret_cast<kr_emu_profile_operand_fn>(lib.symbol(KR_EMU_PROFILE_OPERAND))};
  if (api.start == nullptr || api.stop == nullptr || api.kernel == nullptr || api.operand == nullptr) {
    std::fprintf(stderr,
                 "omu profile: %s is not the profile build of the emulated library (configure with "
                 "-DKR_PROFILE=memory, or run tools/profile.sh)\n",
                 lib.path().c_str());
    return 2;
  }
  std::map<std::string, budget_line> budget;
  if (!options.budget.empty() && !read_budget(options.budget, budget)) {
    std::fprintf(stderr, "omu profile: cannot read the budget table %s\n", options.budget.c_str());
    return 2;
  }
  std::printf("memory-access profile of %s\n", lib.path().c_str());
  std::printf("shapes: %s; launches at GPU shapes of more than %llu blocks run a sample of %llu (first, last, an "
              "even spread), scaled to the grid; emulator shapes run every block\n",
              options.small ? "the benchmark's emulator shapes (--small)"
                            : "the benchmark's GPU shapes (its emulator shape where a row takes too long here)",
              static_cast<unsigned long long>(block_budget), static_cast<unsigned long long>(block_budget));
  std::printf("modelled floor: fetched sector bytes / %.1f TB/s (a model, not a measurement); minimal: the row's "
              "bytes / the same\n\n",
              model_bandwidth / 1e12);
  const auto selected = [&](const bench_row& row) {
    return (options.families.empty() ||
            std::find(options.families.begin(), options.families.end(), row.family()) != options.families.end()) &&
           lib.symbol(row.symbol) != nullptr;
  };
  // The entry and variant columns widen to their longest text, so that the columns after them line up.
  int entry_w = 34, variant_w = 26;
  for (const bench_row& row : bench_rows()) {
    if (!selected(row)) continue;
    entry_w = std::max(entry_w, static_cast<int>(std::strlen(row.role())));
    variant_w = std::max(variant_w, static_cast<int>(std::strlen(row.variant)));
  }
  std::printf("%-14s %-*s %-*s %-24s %9s %8s %6s %7s %7s %6s %8s %10s %10s %s\n", "family", entry_w, "entry", variant_w,
              "variant", "shape", "requests", "sect/req", "useful", "fetch/m", "uniq/m", "ways", "atomics", "floor us",
              "min us", "budget");
  std::vector<profile_row> rows;
  int failures = 0;
  session ses(lib);
  if (!ses.opened()) {
    std::fprintf(stderr, "omu profile: cannot open the device: %s\n", ses.error().c_str());
    return 1;
  }
  for (const bench_row& row : bench_rows()) {
    if (!selected(row)) continue;
    profile_row r;
    r.row = &row;
    const bool gpu_shape = !options.small;
    if (!run_row(ses, row, sizing{size_class::large, options.small}, gpu_shape ? gpu_row_seconds : small_row_seconds,
                 api, r) &&
        gpu_shape) {
      // Too slow here at the GPU shape: the emulator's shape instead, said in the row.
      const std::string why = r.note;
      r = profile_row{};
      r.row = &row;
      run_row(ses, row, sizing{size_class::large, true}, small_row_seconds, api, r);
      r.shape += " (emulator shape: " + why + ")";
    }
    std::string verdict = "-";
    if (!options.budget.empty() && r.ok) {
      const auto b = budget.find(budget_key(r));
      if (b == budget.end()) {
        verdict = "NO LINE";  // every row has one: add it from the lines printed below
        ++failures;
      } else {
        std::string what;
        if (worse(r.sectors_per_request(), b->second.sectors_per_request)) what += " sectors/request";
        if (worse(r.fetched_over_minimal(), b->second.fetched_over_minimal)) what += " fetched/minimal";
        if (worse(r.ways(), b->second.ways)) what += " ways";
        verdict = what.empty() ? "ok" : "WORSE:" + what;
        if (!what.empty()) ++failures;
      }
    }
    if (!r.ok) {
      ++failures;
      std::printf("%-14s %-*s %-*s %s\n", row.family(), entry_w, row.role(), variant_w, row.variant, r.note.c_str());
    } else {
      std::printf("%-14s %-*s %-*s %-24s %9.0f %8.2f %6.2f %7.2f %7.2f %6.2f %8.0f %10.2f %10.2f %s\n", row.family(),
                  entry_w, row.role(), variant_w, row.variant, r.shape.c_str(), r.requests(), r.sectors_per_request(), r.useful_fraction(),
                  r.fetched_over_minimal(), r.unique_over_minimal(), r.ways(), r.total.atomics,
                  32 * r.total.global_sectors / model_bandwidth * 1e6, r.minimal_bytes / model_bandwidth * 1e6,
                  verdict.c_str());
      if (options.kernels) {
        for (size_t i = 0; i < r.kernels.size(); ++i) {
          const kr_emu_profile_figures& k = r.kernels[i];
          std::printf("    %-60s launches %llu, blocks %llu (sampled %llu), requests %.0f, sect/req %.2f, useful %.2f, "
                      "fetch/m %.2f, ways %.2f (max %.0f), atomics %.0f (same address %.0f)\n",
                      k.name, static_cast<unsigned long long>(k.launches), static_cast<unsigned long long>(k.blocks),
                      static_cast<unsigned long long>(k.sampled_blocks), k.global_requests,
                      k_per(k.global_sectors, k.global_requests), k_per(k.useful_bytes, 32 * k.global_sectors),
                      k_per(32 * k.global_sectors, r.minimal_bytes), k_per(k.shared_ways, k.shared_requests),
                      k.shared_ways_max, k.atomics, k.atomic_same_address);
          // Its global loads and stores by operand (an allocation reached by atomics alone has none).
          for (const kr_emu_profile_operand_figures& o : r.operands[i])
            if (o.global_requests > 0)
              std::printf("        %-56s requests %.0f, sect/req %.2f, useful %.2f, fetched %.0f bytes (%.0f%% of the "
                        "kernel's), unique %.0f bytes\n",
                        operand_label(o).c_str(), o.global_requests, k_per(o.global_sectors, o.global_requests),
                        k_per(o.useful_bytes, 32 * o.global_sectors), 32 * o.global_sectors,
                        100 * k_per(o.global_sectors, k.global_sectors), 32 * o.unique_sectors);
        }
      }
    }
    rows.push_back(r);
  }
  if (!options.budget.empty()) {
    std::printf("\nbudget lines (%s) for the rows above, as measured now:\n", options.budget.c_str());
    for (const profile_row& r : rows)
      if (r.ok)
        std::printf("%s %s %s %s  # %s: %s\n", budget_key(r).c_str(), fixed(r.sectors_per_request()).c_str(),
                    fixed(r.fetched_over_minimal()).c_str(), fixed(r.ways()).c_str(), r.row->family(), r.row->role());
  }
  if (!options.json.empty() && !write_file(options.json, to_json(rows, lib.path(), options.small))) {
    std::fprintf(stderr, "omu profile: cannot write %s\n", options.json.c_str());
    return 1;
  }
  if (!options.svg.empty() && !write_file(options.svg, to_svg(rows))) {
    std::fprintf(stderr, "omu profile: cannot write %s\n", options.svg.c_str());
    return 1;
  }
  if (failures > 0) std::printf("\n%d row(s) failed or got worse than their budget line\n", failures);
  return failures > 0 ? 1 : 0;
}

}  // namespace omu
