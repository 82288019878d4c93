// omu profile --static: what nvcc made of every kernel, from the PTX the build keeps (one directory
// per library source) and ptxas on it for each architecture asked for. No GPU needed.
//
// Per kernel: registers, spill stores and loads, stack frame (ptxas); local memory, calls of
// non-inlined device functions, the widths of global loads and stores (PTX); static shared memory
// (ptxas); occupancy from registers, shared memory and the launch bounds on that architecture.
// A source built for several architectures has one PTX per target; each architecture reads the
// newest target not above it, and ptxas is told the architecture it compiles for.
#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "kernel_name.h"
#include "profile.h"

namespace omu {

namespace {

namespace fs = std::filesystem;

struct ptx_file {
  fs::path path;
  std::string source;  // relative directory: the library source it was compiled from
  int target = 0;      // .target sm_NN
};

struct kernel_static {
  std::string source;
  std::string mangled;
  std::string name;
  int threads = 0;  // .maxntid; 0 without launch bounds
  int calls = 0;
  long local_bytes = 0;
  std::map<int, int> load_widths, store_widths;  // width in bytes -> instructions
  // ptxas
  bool compiled = false;
  int registers = 0;
  long stack = 0, spill_stores = 0, spill_loads = 0, shared = 0;
};

// Limits of one streaming multiprocessor that occupancy depends on.
struct sm_limits {
  int max_warps, max_blocks;
  long shared_bytes;
};

sm_limits limits_of(int arch) {
  if (arch < 80) return {32, 16, 64 * 1024};                   // Turing
  if (arch == 80 || arch == 87) return {64, 32, 164 * 1024};   // A100, Orin
  if (arch < 90) return {48, 16, 100 * 1024};                  // GA10x, Ada
  return {64, 32, 228 * 1024};                                 // Hopper and later
}

// Resident warps per SM over the most it can hold, for a block of `threads`.
double occupancy(int arch, int registers, long shared, int threads) {
  if (threads <= 0) return 0;
  const sm_limits l = limits_of(arch);
  const int warps = (threads + 31) / 32;
  // Registers are allocated per warp in units of 256, from four quarters of 16384.
  const int per_warp = std::max(1, (registers * 32 + 255) / 256 * 256);
  const int warps_by_registers = 4 * (16384 / per_warp);
  int blocks = std::min(l.max_blocks, warps_by_registers / warps);
  blocks = std::min(blocks, l.max_warps / warps);
  if (shared > 0) blocks = std::min<long>(blocks, l.shared_bytes / ((shared + 255) / 256 * 256));
  return static_cast<double>(blocks * warps) / l.max_warps;
}

std::string read_text(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string demangle_short(const std::string& mangled) {
  int status = 0;
  char* d = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
  const std::string name = status == 0 && d != nullptr ? d : mangled;
  std::free(d);
  return kr_emu::short_kernel_name(name);
}

int type_bytes(const std::string& t) {
  if (t == "u8" || t == "s8" || t == "b8") return 1;
  if (t == "u16" || t == "s16" || t == "b16" || t == "f16") return 2;
  if (t == "u32" || t == "s32" || t == "b32" || t == "f32") return 4;
  if (t == "u64" || t == "s64" || t == "b64" || t == "f64") return 8;
  if (t == "b128") return 16;
  return 0;
}

// Width in bytes of an ld.global / st.global instruction from its modifiers.
int access_width(const std::string& instruction) {
  int vector = 1, bytes = 0;
  std::stringstream parts(instruction);
  std::string m;
  while (std::getline(parts, m, '.')) {
    if (m == "v2") vector = 2;
    if (m == "v4") vector = 4;
    if (m == "v8") vector = 8;
    if (int b = type_bytes(m)) bytes = b;
  }
  return vector * bytes;
}

// The kernels of one PTX file with what the PTX itself says about them.
std::vector<kernel_static> parse_ptx(const std::string& text, const std::string& source) {
  std::vector<kernel_static> kernels;
  std::istringstream lines(text);
  std::string line;
  kernel_static* current = nullptr;
  bool in_header = false;
  while (std::getline(lines, line)) {
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    const std::string t = line.substr(first);
    // Top-level items start in column 0.
    if (first == 0 && (t.rfind(".visible", 0) == 0 || t.rfind(".weak", 0) == 0 || t.rfind(".entry", 0) == 0 ||
                       t.rfind(".func", 0) == 0 || t.rfind(".extern", 0) == 0 || t.rfind(".global", 0) == 0 ||
                       t.rfind(".const", 0) == 0 || t.rfind(".shared", 0) == 0)) {
      current = nullptr;
      const std::size_t entry = t.find(".entry ");
      if (entry != std::string::npos) {
        kernels.push_back(kernel_static{});
        current = &kernels.back();
        current->source = source;
        std::string rest = t.substr(entry + 7);
        current->mangled = rest.substr(0, rest.find_first_of("( \t"));
        current->name = demangle_short(current->mangled);
        in_header = true;
      }
      continue;
    }
    if (current == nullptr) continue;
    if (in_header) {
      if (t.rfind(".maxntid", 0) == 0) {
        int x = 1, y = 1, z = 1;
        std::sscanf(t.c_str(), ".maxntid %d, %d, %d", &x, &y, &z);
        current->threads = x * y * z;
      }
      if (t[0] == '{') in_header = false;
      continue;
    }
    if (t.rfind(".local", 0) == 0) {
      const std::size_t open = t.find('['), close = t.find(']');
      if (open != std::string::npos && close != std::string::npos && close > open)
        current->local_bytes += std::strtol(t.c_str() + open + 1, nullptr, 10);
    } else if (t.rfind("call", 0) == 0) {
      ++current->calls;
    } else {
      // Predicated instructions start with @p.
      std::string op = t;
      if (op[0] == '@') op = op.substr(std::min(op.size(), op.find_first_of(" \t") + 1));
      op = op.substr(0, op.find_first_of(" \t"));
      if (op.rfind("ld.global", 0) == 0) ++current->load_widths[access_width(op)];
      if (op.rfind("st.global", 0) == 0) ++current->store_widths[access_width(op)];
    }
  }
  return kernels;
}

// ptxas -v on one file for one architecture; false when ptxas fails.
bool run_ptxas(const std::string& ptxas, const fs::path& ptx, int arch, std::vector<kernel_static>& kernels,
               std::string& error) {
  const std::string command = "'" + ptxas + "' -arch=sm_" + std::to_string(arch) + " -v '" + ptx.string() + "' -o /dev/null 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    error = "cannot run " + ptxas;
    return false;
  }
  std::string output;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  const int status = pclose(pipe);
  if (status != 0) {
    error = output;
    return false;
  }
  std::map<std::string, kernel_static*> by_name;
  for (kernel_static& k : kernels) by_name[k.mangled] = &k;
  std::istringstream lines(output);
  std::string line;
  kernel_static* entry = nullptr;      // the entry being compiled
  kernel_static* properties = nullptr;  // the function whose properties come next
  while (std::getline(lines, line)) {
    std::size_t at;
    if ((at = line.find("Compiling entry function '")) != std::string::npos) {
      const std::string name = line.substr(at + 26, line.find('\'', at + 26) - at - 26);
      entry = by_name.count(name) ? by_name[name] : nullptr;
    } else if ((at = line.find("Function properties for ")) != std::string::npos) {
      const std::string name = line.substr(at + 24);
      properties = by_name.count(name) ? by_name[name] : nullptr;
    } else if (properties != nullptr && line.find("bytes stack frame") != std::string::npos) {
      std::sscanf(line.c_str(), " %ld bytes stack frame, %ld bytes spill stores, %ld bytes spill loads", &properties->stack,
                  &properties->spill_stores, &properties->spill_loads);
      properties = nullptr;
    } else if (entry != nullptr && (at = line.find("Used ")) != std::string::npos) {
      entry->registers = std::atoi(line.c_str() + at + 5);
      const std::size_t smem = line.find(" bytes smem");
      if (smem != std::string::npos) {
        std::size_t from = line.rfind(' ', smem - 1);
        entry->shared = std::atol(line.c_str() + from + 1);
      }
      entry->compiled = true;
      entry = nullptr;
    }
  }
  return true;
}

std::string widths(const std::map<int, int>& w) {
  if (w.empty()) return "-";
  std::string s;
  for (const auto& [bytes, count] : w) s += (s.empty() ? "" : ",") + std::to_string(bytes) + "x" + std::to_string(count);
  return s;
}

bool flagged(const kernel_static& k) { return k.stack > 0 || k.calls > 0 || k.spill_stores > 0 || k.spill_loads > 0; }

// "name | reason" per line; '#' starts a comment. Names are as the report prints them.
std::map<std::string, std::string> read_allow_list(const std::string& path, std::vector<std::string>& problems) {
  std::map<std::string, std::string> allowed;
  std::ifstream in(path);
  if (!in) {
    problems.push_back("cannot read the allow-list " + path);
    return allowed;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    const std::size_t bar = line.find('|');
    auto trim = [](std::string s) {
      const std::size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t\r");
      return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
    };
    const std::string name = trim(line.substr(0, bar));
    const std::string reason = bar == std::string::npos ? "" : trim(line.substr(bar + 1));
    if (name.empty() || reason.empty()) {
      problems.push_back(path + ":" + std::to_string(number) + ": a line must read `kernel | reason`");
      continue;
    }
    allowed[name] = reason;
  }
  return allowed;
}

// The library's .cu sources under `root` (runtime/ and ops/, as the build collects them), relative
// to it, each with whether its text defines a kernel.
std::map<std::string, bool> library_sources(const fs::path& root) {
  std::map<std::string, bool> out;
  std::error_code ec;
  for (const char* part : {"runtime", "ops"}) {
    if (!fs::is_directory(root / part, ec)) continue;
    for (const auto& e : fs::recursive_directory_iterator(root / part, ec)) {
      if (!e.is_regular_file() || e.path().extension() != ".cu") continue;
      out[fs::relative(e.path(), root).generic_string()] = read_text(e.path()).find("__global__") != std::string::npos;
    }
  }
  return out;
}

std::string joined(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s;
}

// What a PTX directory that lacks some of the library's sources misses: a source without PTX, or a
// source defining a kernel whose PTX gave none (nvcc keeps PTX only when it compiles; a compiler
// cache's hit keeps none, and the report would pass on what is left).
void check_coverage(const static_report_options& options, const std::set<std::string>& sources,
                    const std::map<std::string, int>& kernels_read, std::vector<std::string>& problems) {
  const std::map<std::string, bool> expected = library_sources(options.source_dir);
  if (expected.empty()) {
    problems.push_back("no library sources (.cu) under " + options.source_dir + "/runtime or /ops");
    return;
  }
  std::vector<std::string> missing, without_kernels;
  for (const auto& [source, defines_kernel] : expected) {
    if (sources.count(source) == 0) {
      missing.push_back(source);
    } else if (defines_kernel) {
      const auto k = kernels_read.find(source);
      if (k == kernels_read.end() || k->second == 0) without_kernels.push_back(source);
    }
  }
  if (!missing.empty())
    problems.push_back(std::to_string(missing.size()) + " of the library's " + std::to_string(expected.size()) +
                       " sources have no PTX under " + options.ptx_dir + " (a compiler cache hit keeps no PTX: build " +
                       "the GPU library without a CUDA compiler launcher, or with its cache off): " + joined(missing));
  if (!without_kernels.empty())
    problems.push_back("no kernel was read from the PTX of " + std::to_string(without_kernels.size()) +
                       " source(s) that define one: " + joined(without_kernels));
}

}  // namespace

int static_report(const static_report_options& options) {
  std::error_code ec;
  std::vector<ptx_file> files;
  if (!options.ptx_dir.empty() && fs::is_directory(options.ptx_dir, ec)) {
    for (const auto& e : fs::recursive_directory_iterator(options.ptx_dir, ec)) {
      if (!e.is_regular_file() || e.path().extension() != ".ptx") continue;
      ptx_file f;
      f.path = e.path();
      f.source = fs::relative(e.path().parent_path(), options.ptx_dir).string();
      const std::string text = read_text(f.path);
      const std::size_t at = text.find("\n.target sm_");
      if (at != std::string::npos) f.target = std::atoi(text.c_str() + at + 12);
      files.push_back(f);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "omu profile --static: no PTX under '%s' (build the GPU library, or pass --ptx DIR)\n",
                 options.ptx_dir.c_str());
    return 2;
  }
  std::sort(files.begin(), files.end(), [](const ptx_file& a, const ptx_file& b) {
    return a.source != b.source ? a.source < b.source : a.target < b.target;
  });
  std::set<std::string> sources;
  for (const ptx_file& f : files) sources.insert(f.source);

  std::vector<std::string> problems;
  std::map<std::string, std::string> allowed;
  if (options.check) allowed = read_allow_list(options.allow_list, problems);
  std::map<std::string, std::string> needs;  // kernel -> what it has, on which architectures
  std::set<std::string> seen_names;
  int kernel_count = 0;
  std::map<std::string, int> kernels_read;  // by source, the most any architecture's PTX gave

  std::printf("%-34s %-40s %4s %4s %7s %6s %6s %5s %6s %5s %4s %s\n", "source", "kernel", "sm", "regs", "spill", "stack",
              "local", "calls", "smem", "block", "occ", "global ld / st widths (bytes x instructions)");
  for (int arch : options.architectures) {
    for (const std::string& source : sources) {
      // The newest target not above the architecture; else the lowest, compiled for its own.
      const ptx_file* chosen = nullptr;
      for (const ptx_file& f : files)
        if (f.source == source && f.target <= arch) chosen = &f;
      int compile_for = arch;
      if (chosen == nullptr) {
        for (const ptx_file& f : files)
          if (f.source == source && chosen == nullptr) chosen = &f;
        std::printf("%-34s (no PTX for sm_%d or below; the lowest target is sm_%d: skipped)\n", source.c_str(), arch,
                    chosen->target);
        continue;
      }
      std::vector<kernel_static> kernels = parse_ptx(read_text(chosen->path), source);
      kernels_read[source] = std::max(kernels_read[source], static_cast<int>(kernels.size()));
      std::string error;
      if (!run_ptxas(options.ptxas, chosen->path, compile_for, kernels, error)) {
        problems.push_back(source + ": ptxas -arch=sm_" + std::to_string(compile_for) + " failed: " + error);
        continue;
      }
      for (const kernel_static& k : kernels) {
        ++kernel_count;
        seen_names.insert(k.name);
        const std::string spill = std::to_string(k.spill_stores) + "/" + std::to_string(k.spill_loads);
        std::printf("%-34s %-40s %4d %4d %7s %6ld %6ld %5d %6ld %5d %4.2f ld %s / st %s\n", source.c_str(), k.name.c_str(),
                    arch, k.registers, spill.c_str(), k.stack, k.local_bytes, k.calls, k.shared, k.threads,
                    occupancy(arch, k.registers, k.shared, k.threads), widths(k.load_widths).c_str(),
                    widths(k.store_widths).c_str());
        if (!k.compiled) problems.push_back(source + ": " + k.name + ": ptxas reported nothing for it");
        if (flagged(k)) {
          std::string what;
          if (k.stack > 0) what += " stack " + std::to_string(k.stack);
          if (k.calls > 0) what += " calls " + std::to_string(k.calls);
          if (k.spill_stores > 0 || k.spill_loads > 0) what += " spill " + spill;
          needs[k.name] += (needs[k.name].empty() ? "" : ";") + std::string(" sm_") + std::to_string(arch) + ":" + what;
        }
      }
    }
  }
  std::printf("\n%d kernels x architectures; with a stack frame, a call or a spill:\n", kernel_count);
  int failures = 0;
  for (const auto& [name, what] : needs) {
    const auto a = allowed.find(name);
    const bool ok = !options.check || a != allowed.end();
    std::printf("  %-40s%s%s\n", name.c_str(), what.c_str(),
                !options.check ? "" : ok ? ("  (allowed: " + a->second + ")").c_str() : "  NOT ALLOWED");
    if (!ok) ++failures;
  }
  if (needs.empty()) std::printf("  none\n");
  if (options.check) {
    for (const auto& [name, reason] : allowed) {
      if (needs.count(name) == 0)
        std::printf("note: %s is allowed but needs it no more (or no longer exists): remove its line from %s\n",
                    name.c_str(), options.allow_list.c_str());
    }
  }
  if (!options.source_dir.empty()) check_coverage(options, sources, kernels_read, problems);
  for (const std::string& p : problems) std::printf("error: %s\n", p.c_str());
  if (options.check && failures > 0)
    std::printf("%d kernel(s) with a stack frame, a call or a spill that %s does not name\n", failures,
                options.allow_list.c_str());
  return (!problems.empty() || (options.check && failures > 0)) ? 1 : 0;
}

}  // namespace omu
