// Cases of `omu check`: each runs one export once on small data through the loaded library and
// compares the result with a host reference.
#pragma once

#include <string>
#include <vector>

#include "library.h"

namespace omu {

struct check_case {
  const char* symbol;  // export name, taabe<N> (resolved through the export list)
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
std::vector<check_case> broadcast_checks();  // broadcast and row-wise entries
std::vector<check_case> norm_checks();       // normalisation, gate and 16-bit fused entries
std::vector<check_case> conv_checks();       // 16-bit by 8-bit convolutions and linear layers
std::vector<check_case> layout_checks();     // transposes and row quantisation
std::vector<check_case> matmul_checks();     // float and block-quantised matrix multiplication
std::vector<check_case> attention_checks();  // attention, encoding and the key/value cache

}  // namespace omu
