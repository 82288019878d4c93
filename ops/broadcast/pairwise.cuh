// The generic one-element-per-thread kernel of the float pairwise operators, and their entry. Each
// module defines a functor with `static __device__ float apply(float a, float b)` in its own
// anonymous namespace and forwards its record to run_pairwise.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "runtime/launch.h"

namespace kr {

// block x: 256 elements; thread x: one element. Both operands are read before the output is
// written, so the output may alias either input.
template <typename Op>
__global__ void __launch_bounds__(256) pairwise_kernel(int32_t count, float* output, const float* a, const float* b) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i < count) output[i] = Op::apply(a[i], b[i]);
}

// Block 256, grid (count + 255) / 256; a count of 0 gives the empty grid the runtime refuses.
template <typename Op>
kr_status_t run_pairwise(const kr_omu_op_pairwise_args_t* args, const kr_error_record& failure) {
  float* output = nullptr;
  const float* a = nullptr;
  const float* b = nullptr;
  if (args == nullptr || !resolve(args->output, args->output_offset, &output) ||
      !resolve(args->input_a, args->input_a_offset, &a) || !resolve(args->input_b, args->input_b_offset, &b)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const cudaError_t launched =
      launch_kernel(pairwise_kernel<Op>, dim3(blocks_of_256(args->count)), dim3(256), args->count, output, a, b);
  return finish_launch(launched, failure);
}

}  // namespace kr
