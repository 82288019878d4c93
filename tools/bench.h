// omu bench: per-family throughput of the library's operator entries.
#pragma once

#include <string>
#include <vector>

#include "library.h"

namespace omu {

struct bench_options {
  std::string json;                   // write the results as JSON here, if not empty
  std::string svg;                    // write a bar chart of the ratios here, if not empty
  std::vector<std::string> families;  // only these families; all when empty
  bool emulated = false;              // the loaded library is the CPU-emulated one
};

int bench(const library& lib, const bench_options& options);

}  // namespace omu
