// The generic one-element-per-thread kernel of the float operators with a scalar operand, and
// their entry. Each module defines a functor with `static __device__ float apply(float x, float s)`
// in its own anonymous namespace and forwards its record to run_scalar.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "runtime/launch.h"

namespace kr {

// block x: 256 elements; thread x: one element
template <typename Op>
__global__ void __launch_bounds__(256) scalar_kernel(int32_t count, float* output, float scalar, const float* input) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i < count) output[i] = Op::apply(input[i], scalar);
}

// Block 256, grid (count + 255) / 256; a count of 0 gives the empty grid the runtime refuses.
template <typename Op>
kr_status_t run_scalar(const kr_omu_op_elementwise_scalar_args_t* args, const kr_error_record& failure) {
  float* output = nullptr;
  const float* input = nullptr;
  if (args == nullptr || !resolve(args->output, args->output_offset, &output) ||
      !resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const cudaError_t launched = launch_kernel(scalar_kernel<Op>, dim3(blocks_of_256(args->count)), dim3(256),
                                             args->count, output, args->scalar, input);
  return finish_launch(launched, failure);
}

}  // namespace kr
