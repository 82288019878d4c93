// omu profile: the memory-access profile of every benchmark row (profile build of the emulated
// library), and the static report of every kernel from nvcc's own output (any build with nvcc).
#pragma once

#include <string>
#include <vector>

#include "library.h"

namespace omu {

struct static_report_options {
  std::string ptx_dir;     // the PTX the build keeps (one directory per library source)
  std::string ptxas;       // ptxas to run
  std::string allow_list;  // with check: kernels allowed a stack frame, a call or a spill
  bool check = false;      // fail (exit 1) on a kernel with any of those that the list does not name
  // The library's source tree: when given, every .cu source under its runtime/ and ops/ must have its
  // PTX, and every one that defines a kernel at least one kernel read from that PTX.
  std::string source_dir;
  std::vector<int> architectures{75, 90};
};

// Prints, per kernel and architecture: registers, spill bytes, stack frame, local memory, calls,
// static shared memory, global load and store widths and occupancy.
int static_report(const static_report_options& options);

struct memory_profile_options {
  std::string json;                   // the figures as JSON, if not empty
  std::string svg;                    // a chart of fetched over minimal bytes per row, if not empty
  std::string budget;                 // compare with this budget table, and fail on a worse row
  std::vector<std::string> families;  // only these families; all when empty
  bool kernels = false;               // a line per kernel under each row
  bool small = false;                 // the benchmark's small shapes (seconds) instead of its GPU shapes
};

// The memory-access profile of every benchmark row, on the profile build of the emulated library.
int memory_profile(const library& lib, const memory_profile_options& options);

// `omu profile ...` with the arguments after the command; `library_path` is the library chosen.
int profile_command(const char* library_path, int argc, char** argv);

}  // namespace omu
