// omu: a command-line front end to a built kr_omu_impl_cuda library.
//
//   omu [--emulated | --library PATH] devices   list the GPUs and show what opening each captures
//   omu [--emulated | --library PATH] check     run every implemented entry once against a host reference
//   omu [--emulated | --library PATH] bench [--json FILE] [--svg FILE] [family...]
//                                               per-family throughput relative to a copy
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench.h"
#include "profile.h"
#include "bench_rows.h"
#include "check.h"
#include "demo.h"
#include "devices.h"
#include "library.h"

namespace {

int usage(const char* unknown = nullptr) {
  if (unknown != nullptr) std::fprintf(stderr, "omu: unknown command or argument '%s'\n", unknown);
  std::string families;
  for (const std::string& f : omu::bench_families()) families += (families.empty() ? "" : ", ") + f;
  std::fprintf(stderr,
               "usage: omu [--emulated | --library PATH] <command>\n"
               "commands:\n"
               "  devices   list the GPUs and show the properties captured when each is opened\n"
               "  check     run every implemented operator once on small data against a host reference\n"
               "  bench [--json FILE] [--svg FILE] [family...]\n"
               "            throughput of every implemented entry with a benchmark row, as a ratio to\n"
               "            a device-to-device copy of the same bytes (large size) and as a multiple of\n"
               "            a minimal launch (small size); families: %s\n"
               "  profile [--json FILE] [--svg FILE] [--kernels] [--small] [--budget FILE] [family...]\n"
               "            memory-access profile of every benchmark row (profile build of the emulated\n"
               "            library: warp requests, sectors, useful bytes, bank conflicts, atomics)\n"
               "  profile --static [--ptx DIR] [--ptxas PATH] [--check ALLOW-LIST]\n"
               "            registers, spills, stack, calls, shared memory, load widths and occupancy of\n"
               "            every kernel for sm_75 and sm_90, from the PTX the GPU build keeps\n"
               "  demo [--seed N] [--steps N] [--json FILE]\n"
               "            a small transformer and a 16-bit audio path through the exports, checked\n"
               "            against host models (on the GPU when one is usable, else emulated)\n"
               "The default library is the GPU build when it was built, else the emulated build.\n",
               families.c_str());
  return 2;
}

#ifdef KR_GPU_LIBRARY_PATH
const char* const gpu_library = KR_GPU_LIBRARY_PATH;
#else
const char* const gpu_library = nullptr;
#endif
#ifdef KR_EMULATED_LIBRARY_PATH
const char* const emulated_library = KR_EMULATED_LIBRARY_PATH;
#else
const char* const emulated_library = nullptr;
#endif

// Whether the library can open GPU 0 (a GPU build on a machine without a usable GPU cannot).
bool opens_a_device(const omu::library& lib) { return omu::session(lib).opened(); }

int demo_command(const char* chosen, bool explicit_choice, int argc, char** argv) {
  omu::demo::options opt;
  for (int i = 0; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    if (std::strcmp(argv[i], "--seed") == 0 && has_value) {
      opt.seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (std::strcmp(argv[i], "--steps") == 0 && has_value) {
      opt.steps = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
      if (opt.steps < 0 || opt.steps > 100000) return usage();
    } else if (std::strcmp(argv[i], "--json") == 0 && has_value) {
      opt.json = argv[++i];
    } else if (std::strcmp(argv[i], "--corrupt") == 0) {  // self-test: must make the demo fail
      opt.corrupt = true;
    } else {
      return usage(argv[i]);
    }
  }
  std::string path = chosen;
  auto lib = std::make_unique<omu::library>(path);
  if (lib->loaded() && !explicit_choice && emulated_library != nullptr && path != emulated_library &&
      !opens_a_device(*lib)) {
    std::printf("demo: no usable GPU; running on the emulated library\n");
    path = emulated_library;
    lib = std::make_unique<omu::library>(path);
  }
  if (!lib->loaded()) {
    std::fprintf(stderr, "omu: cannot load %s: %s\n", path.c_str(), lib->error().c_str());
    return 2;
  }
  const bool emulated = emulated_library != nullptr && path == emulated_library;
  std::printf("demo: library %s (%s), seed %llu, %d decode steps\n", path.c_str(),
              emulated ? "emulated: the times mean nothing" : "GPU", static_cast<unsigned long long>(opt.seed),
              opt.steps);
  return omu::run_demo(*lib, opt);
}

}  // namespace

int main(int argc, char** argv) {
  const char* chosen = gpu_library != nullptr ? gpu_library : emulated_library;
  bool explicit_choice = false;
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; ++i) {
    explicit_choice = true;
    if (std::strcmp(argv[i], "--emulated") == 0) {
      chosen = emulated_library;
      if (chosen == nullptr) {
        std::fprintf(stderr, "omu: the emulated library was not built\n");
        return 2;
      }
    } else if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      chosen = argv[++i];
    } else {
      return usage(argv[i]);
    }
  }
  if (i >= argc) return usage();
  const std::string command = argv[i];
  if (command == "demo") return demo_command(chosen, explicit_choice, argc - i - 1, argv + i + 1);
  if (command == "profile") return omu::profile_command(chosen, argc - i - 1, argv + i + 1);
  omu::bench_options bench_options;
  if (command == "bench") {
    const std::vector<std::string> families = omu::bench_families();
    for (int a = i + 1; a < argc; ++a) {
      if ((std::strcmp(argv[a], "--json") == 0 || std::strcmp(argv[a], "--svg") == 0) && a + 1 < argc) {
        (argv[a][2] == 'j' ? bench_options.json : bench_options.svg) = argv[a + 1];
        ++a;
      } else if (std::find(families.begin(), families.end(), argv[a]) != families.end()) {
        bench_options.families.push_back(argv[a]);
      } else {
        return usage(argv[a]);
      }
    }
    bench_options.emulated = chosen != nullptr && emulated_library != nullptr && std::string(chosen) == emulated_library;
  } else if (command != "devices" && command != "check") {
    return usage(argv[i]);
  } else if (i + 1 != argc) {
    return usage(argv[i + 1]);
  }
  const std::string path = chosen;
  omu::library lib(path);
  if (!lib.loaded()) {
    std::fprintf(stderr, "omu: cannot load %s: %s\n", path.c_str(), lib.error().c_str());
    return 2;
  }
  if (command == "devices") return omu::devices(lib);
  if (command == "check") return omu::check(lib);
  if (command == "bench") return omu::bench(lib, bench_options);
  return usage();
}
