// The generic one-element-per-thread kernel of the unary elementwise entries, and their entry.
// Each module defines a functor with `static __device__ TOut apply(TIn)` in its own anonymous
// namespace and forwards its record to run_unary.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "runtime/launch.h"

namespace kr {

// block x: 256 elements; thread x: one element
template <typename Op, typename TOut, typename TIn>
__global__ void __launch_bounds__(256) unary_kernel(int32_t count, TOut* output, const TIn* input) {
  // Unsigned, so that no index of the last block wraps negative past a count near 2^31 - 1.
  const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < static_cast<uint32_t>(count)) output[i] = Op::apply(input[i]);
}

// Block 256, grid (count + 255) / 256; a count of 0 gives the empty grid the runtime refuses, a
// negative count is refused before launching.
template <typename Op, typename TOut, typename TIn>
kr_status_t run_unary(const kr_omu_op_elementwise_args_t* args, const kr_error_record& failure) {
  TOut* output = nullptr;
  const TIn* input = nullptr;
  if (args == nullptr || !resolve(args->output, args->output_offset, &output) ||
      !resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  unsigned int blocks = 0;
  if (!blocks_for(args->count, 256, &blocks)) return KR_STATUS_INVALID_ARGUMENT;
  const cudaError_t launched = launch_kernel(unary_kernel<Op, TOut, TIn>, dim3(blocks),
                                             dim3(256), args->count, output, input);
  return finish_launch(launched, failure);
}

}  // namespace kr
