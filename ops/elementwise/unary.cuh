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
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i < count) output[i] = Op::apply(input[i]);
}

// Block 256, grid (count + 255) / 256; a count of 0 gives the empty grid the runtime refuses.
template <typename Op, typename TOut, typename TIn>
kr_status_t run_unary(const kr_omu_op_elementwise_args_t* args, const kr_error_record& failure) {
  TOut* output = nullptr;
  const TIn* input = nullptr;
  if (args == nullptr || !resolve(args->output, args->output_offset, &output) ||
      !resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const cudaError_t launched = launch_kernel(unary_kernel<Op, TOut, TIn>, dim3(blocks_of_256(args->count)),
                                             dim3(256), args->count, output, input);
  return finish_launch(launched, failure);
}

}  // namespace kr
