// omu: a command-line front end to a built kr_omu_impl_cuda library.
//
//   omu [--emulated | --library PATH] devices   list the GPUs and show what opening each captures
//   omu [--emulated | --library PATH] check     run every implemented entry once against a host reference
//   omu [--emulated | --library PATH] bench [--json FILE] [--svg FILE] [family...]
//                                               per-family throughput relative to a copy
#include <dlfcn.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "bench.h"
#include "profile.h"
#include "demo.h"
#include "library.h"
#include "support/exports.h"

namespace omu {

library::library(const std::string& path) : path_(path) {
  // NODELETE keeps the library's static state reachable until exit, as for an engine that never unloads it.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle_ == nullptr) {
    const char* e = dlerror();
    error_ = e != nullptr ? e : "dlopen failed";
  }
}

library::~library() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* library::symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, kr_exports::symbol_of(name).c_str()) : nullptr;
}

namespace {

using list_fn = kr_status_t (*)(char***, int32_t*);
using release_fn = void (*)(char**, int32_t);
using open_fn = kr_status_t (*)(int32_t, kr_omu_device**);
using close_fn = void (*)(kr_omu_device*);

const char* or_none(const char* s) { return s != nullptr ? s : "-"; }

void print_properties(const kr_omu_device& device) {
  const kr_omu_device_properties& p = *device.properties;
  std::printf("  %-32s %d\n", "ordinal", device.ordinal);
  std::printf("  %-32s %d.%d\n", "compute capability", p.major, p.minor);
  std::printf("  %-32s %d (%s)\n", "driver version", p.driver_version, or_none(p.driver_version_error));
  std::printf("  %-32s %d (%s)\n", "runtime version", p.runtime_version, or_none(p.runtime_version_error));
  std::printf("  %-32s %" PRIu64 " MiB\n", "global memory", p.total_global_mem >> 20);
  std::printf("  %-32s %d\n", "multiprocessors", p.multiprocessor_count);
  std::printf("  %-32s %d\n", "max threads per multiprocessor", p.max_threads_per_multiprocessor);
  std::printf("  %-32s %d\n", "max threads per block", p.max_threads_per_block);
  std::printf("  %-32s %d\n", "shared memory per block", p.shared_mem_per_block);
  std::printf("  %-32s %d\n", "shared memory per multiprocessor", p.shared_mem_per_multiprocessor);
  std::printf("  %-32s %d x %d x %d\n", "max block", p.max_threads_dim[0], p.max_threads_dim[1],
              p.max_threads_dim[2]);
  std::printf("  %-32s %d x %d x %d\n", "max grid", p.max_grid_size[0], p.max_grid_size[1], p.max_grid_size[2]);
  if (p.properties_error != nullptr) std::printf("  %-32s %s\n", "property query error", p.properties_error);
}

}  // namespace

int devices(const library& lib) {
  auto list = lib.function<list_fn>("taabe21");
  auto release = lib.function<release_fn>("taabe5");
  auto open = lib.function<open_fn>("taabe20");
  auto close = lib.function<close_fn>("taabe105");
  if (list == nullptr || release == nullptr || open == nullptr || close == nullptr) {
    std::fprintf(stderr, "omu: %s lacks the device exports\n", lib.path().c_str());
    return 2;
  }
  char** names = nullptr;
  int32_t count = 0;
  const kr_status_t listed = list(&names, &count);
  if (listed != KR_STATUS_SUCCESS) {
    std::fprintf(stderr, "omu: listing failed with status %d\n", static_cast<int>(listed));
    return 1;
  }
  std::printf("%d GPU(s) in %s\n", count, lib.path().c_str());
  if (count == 0) std::printf("(no usable GPU or driver here; `omu --emulated devices` shows the CPU emulation)\n");
  int failures = 0;
  for (int32_t i = 0; i < count; ++i) {
    std::printf("\n%s\n", names[i]);
    kr_omu_device* device = nullptr;
    const kr_status_t opened = open(i, &device);
    if (opened != KR_STATUS_SUCCESS) {
      std::printf("  open failed with status %d\n", static_cast<int>(opened));
      failures += 1;
      continue;
    }
    print_properties(*device);
    close(device);
  }
  release(names, count);
  return failures == 0 ? 0 : 1;
}

}  // namespace omu

namespace {

int usage() {
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
bool opens_a_device(const omu::library& lib) {
  using open_fn = kr_status_t (*)(int32_t, kr_omu_device**);
  using close_fn = void (*)(kr_omu_device*);
  auto open = lib.function<open_fn>("taabe20");
  auto close = lib.function<close_fn>("taabe105");
  kr_omu_device* device = nullptr;
  if (open == nullptr || close == nullptr || open(0, &device) != KR_STATUS_SUCCESS) return false;
  close(device);
  return true;
}

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
      return usage();
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
      return usage();
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
        return usage();
      }
    }
    bench_options.emulated = chosen != nullptr && emulated_library != nullptr && std::string(chosen) == emulated_library;
  } else if (i + 1 != argc) {
    return usage();
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
