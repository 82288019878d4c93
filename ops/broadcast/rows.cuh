// The entry shared by the row-wise float operators: one block per row, kernel parameters
// (row parameter N, output, input).
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "runtime/launch.h"

namespace kr {

// Grid num_rows x 1 x 1 with blocks of `block_threads`. No rows give the empty grid the runtime
// refuses; a negative row count is refused before launching, like every other negative count.
inline kr_status_t run_rows(const kr_omu_op_elementwise_broadcast_args_t* args,
                            void (*kernel)(int32_t, float*, const float*), unsigned int block_threads,
                            const kr_error_record& failure) {
  float* output = nullptr;
  const float* input = nullptr;
  if (args == nullptr || !resolve(args->output, args->output_offset, &output) ||
      !resolve(args->input, args->input_offset, &input) || args->num_rows < 0) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const cudaError_t launched = launch_kernel(kernel, dim3(static_cast<unsigned int>(args->num_rows)),
                                             dim3(block_threads), args->row_length, output, input);
  return finish_launch(launched, failure);
}

// The non-negative part of a row parameter, as the bound of an unsigned column loop.
__device__ __forceinline__ uint32_t columns_of(int32_t n) { return n > 0 ? static_cast<uint32_t>(n) : 0u; }

// The first element of row `row` of rows of `columns` elements, in 64 bits, so that it holds for
// tensors past 2^31 elements; the column index within a row stays 32-bit.
__device__ __forceinline__ size_t row_start(uint32_t row, uint32_t columns) {
  return static_cast<size_t>(row) * columns;
}

}  // namespace kr
