// omu profile: argument handling, and the memory-access profile of the benchmark rows.
#include "profile.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace omu {

namespace {

#ifdef KR_KERNEL_PTX_DIR
const char* const default_ptx_dir = KR_KERNEL_PTX_DIR;
#else
const char* const default_ptx_dir = "";
#endif
#ifdef KR_PTXAS
const char* const default_ptxas = KR_PTXAS;
#else
const char* const default_ptxas = "ptxas";
#endif

int profile_usage() {
  std::fprintf(stderr,
               "usage: omu [--emulated | --library PATH] profile [--json FILE] [--svg FILE] [--kernels] [--small]\n"
               "                                                  [--budget FILE] [family...]\n"
               "       omu profile --static [--ptx DIR] [--ptxas PATH] [--check ALLOW-LIST] [--sources DIR]\n");
  return 2;
}

}  // namespace

int profile_command(const char* library_path, int argc, char** argv) {
  bool is_static = false;
  static_report_options s;
  s.ptx_dir = default_ptx_dir;
  s.ptxas = default_ptxas;
  memory_profile_options m;
  for (int i = 0; i < argc; ++i) {
    const bool has_value = i + 1 < argc;
    const std::string a = argv[i];
    if (a == "--static") {
      is_static = true;
    } else if (a == "--ptx" && has_value) {
      s.ptx_dir = argv[++i];
    } else if (a == "--ptxas" && has_value) {
      s.ptxas = argv[++i];
    } else if (a == "--check" && has_value) {
      s.check = true;
      s.allow_list = argv[++i];
    } else if (a == "--sources" && has_value) {
      s.source_dir = argv[++i];
    } else if (a == "--json" && has_value) {
      m.json = argv[++i];
    } else if (a == "--svg" && has_value) {
      m.svg = argv[++i];
    } else if (a == "--budget" && has_value) {
      m.budget = argv[++i];
    } else if (a == "--kernels") {
      m.kernels = true;
    } else if (a == "--small") {
      m.small = true;
    } else if (!a.empty() && a[0] != '-') {
      m.families.push_back(a);
    } else {
      return profile_usage();
    }
  }
  if (is_static) return static_report(s);
  if (library_path == nullptr) {
    std::fprintf(stderr, "omu profile: no library was built\n");
    return 2;
  }
  library lib(library_path);
  if (!lib.loaded()) {
    std::fprintf(stderr, "omu: cannot load %s: %s\n", library_path, lib.error().c_str());
    return 2;
  }
  return memory_profile(lib, m);
}

}  // namespace omu
