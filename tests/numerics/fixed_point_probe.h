// Test-only kernels that evaluate the device primitives over whole input ranges.
#pragma once

#include <cstdint>

namespace probe {

enum class primitive : int32_t { sigmoid = 0, tanh = 1, exp = 2, q17_to_q10 = 3 };

// out[i] = primitive(first + i) for i < count; returns the launch result.
int run_integer(primitive which, int32_t first, int32_t count, int32_t* out_device);

// out[i] = saturating Q10 conversion of in[i].
int run_to_q10(int32_t count, const float* in_device, int32_t* out_device);

// Copies the three tables of this module to device memory: 128 + 128 words, then 257 halves.
int copy_tables(uint32_t* msb, uint32_t* lsb, int16_t* sigmoid);

}  // namespace probe
