// Cases of `omu check`: each runs one export once on small data through the loaded library and
// compares the result with a host reference.
#pragma once

#include <string>
#include <vector>

#include "library.h"

namespace omu {

struct check_case {
  const char* symbol;  // exported name, as dlsym sees it
  const char* name;    // what the entry computes
  // Returns true on a match; otherwise fills `detail` with the first mismatch.
  bool (*run)(const library& lib, kr_omu_device* device, std::string& detail);
};

// Buffer helpers over the loaded library's exports.
kr_omu_buffer* upload_bytes(const library& lib, kr_omu_device* device, const void* data, int32_t bytes);
bool download_bytes(const library& lib, kr_omu_device* device, kr_omu_buffer* buffer, void* data, int32_t bytes);
void release(const library& lib, kr_omu_device* device, kr_omu_buffer* buffer);

// One list per family.
std::vector<check_case> float_checks();   // float unary, scalar and pairwise entries
std::vector<check_case> int16_checks();   // 16-bit entries and conversions

}  // namespace omu
