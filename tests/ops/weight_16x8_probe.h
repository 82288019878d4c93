// Test-only copies of the block-quantised product's section kernels in their earlier, plainer form
// (row words read through run-time plane shapes, one column block at a time, scalar activation
// loads), launched on the same operands as the library's kernels so that the two can be compared
// bit for bit.
#pragma once

#include <cstdint>

namespace probe {

// One section of width b on the vector path: output[16 rb + r] += the section's terms, one float
// atomic per group of four column blocks. Returns the launch result.
int run_vector_section(int b, const float* xs, uint64_t x_offset, const uint16_t* codes, int32_t param_cursor,
                       const uint32_t* weights, int32_t weight_cursor, int32_t count, int32_t row_blocks,
                       float* output);

// One section of width b on the batched path, into the blocked output (row block, activation row,
// 16 rows), from column-block-major activations and decoded codes (offset, step per block).
int run_batched_section(int b, const float* xt, uint64_t x_offset, const float* decoded, const uint32_t* weights,
                        int32_t weight_cursor, int32_t count, int32_t row_blocks, int32_t rows, float* output);

}  // namespace probe
