// omu bench: for every row of the benchmark table (bench_rows.cpp) whose entry the loaded library
// has, the achieved throughput at two sizes:
// - large (at least 256 MiB of traffic, or a real decoder's shape): bytes read and written per
//   second, as a ratio to a device-to-device copy of the same number of bytes measured in the same
//   run (and FLOP/s where the entry does arithmetic worth counting);
// - small (a few KiB, or one decode-sized call where the entry's shape needs more): time per call
//   as a multiple of the time of a reference launch, a float ReLU of one element, which is the
//   launch overhead an entry cannot go below.
// Measurement in bench_measure.cpp, output in bench_report.cpp.
#include "bench.h"

#include <cstdio>

#include "bench_measure.h"
#include "bench_report.h"
#include "json.h"

namespace omu {

namespace {

std::string first_device_name(const library& lib) {
  auto list = OMU_EXPORT(lib, taabe21);
  auto release_list = OMU_EXPORT(lib, taabe5);
  char** names = nullptr;
  int32_t count = 0;
  std::string name = "unknown device";
  if (list != nullptr && release_list != nullptr && list(&names, &count) == KR_STATUS_SUCCESS) {
    if (count > 0 && names[0] != nullptr) name = names[0];
    release_list(names, count);
  }
  return name;
}

}  // namespace

int bench(const library& lib, const bench_options& options) {
  for (const char* needed : {"taabe20", "taabe105", "taabe79", "taabe10", "taabe9", "taabe137", "taabe140", "taabe267"}) {
    if (lib.symbol(needed) == nullptr) {
      std::fprintf(stderr, "omu: %s lacks %s, which the benchmark needs\n", lib.path().c_str(), needed);
      return 2;
    }
  }
  run_info info;
  info.library = lib.path();
  info.device = first_device_name(lib);
  // The emulator names its device so; this also catches its library loaded with --library.
  info.emulated = options.emulated || info.device.find("Emulated CUDA Device") != std::string::npos;
  std::vector<result> results;
  int rc = 0;
  {
    session ses(lib);
    if (!ses.opened()) {
      std::fprintf(stderr, "omu: cannot open GPU 0\n");
      return 1;
    }
    std::string error;
    if (!measure_reference(ses, info, error)) {
      std::fprintf(stderr, "omu: %s\n", error.c_str());
      return 1;
    }
    print_header(info, lib.path());
    rc = measure_rows(ses, options, info, results);
  }  // every buffer is released and the context closed

  print_table(info, results);
  if (!options.json.empty() && !write_file(options.json, to_json(info, results))) {
    std::fprintf(stderr, "omu: cannot write %s\n", options.json.c_str());
    rc = 1;
  }
  if (!options.svg.empty() && !write_file(options.svg, to_svg(info, results))) {
    std::fprintf(stderr, "omu: cannot write %s\n", options.svg.c_str());
    rc = 1;
  }
  return rc;
}

}  // namespace omu
