// The two kernels and the launch of the 16-bit by 8-bit linear layers. One warp per output value:
// acc = sum over k of input[r, k] x weights[n, k] (Q17, wrapping at 32 bits), then
// v = (acc + 1024 bias[n] + 64) >> 7 (Q10, ties up), clamped to 16 bits; the accumulating layer
// adds the unclamped v to the old output and clamps the sum.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "numerics/vector_types.cuh"
#include "ops/conv/packing.cuh"
#include "runtime/launch.h"

namespace kr {

constexpr int linear_warps = 16;

// Lane 0's requantisation of the warp's sum and the store; every lane passes its partial sum.
template <bool accumulate>
__device__ __forceinline__ void linear_finish(uint32_t partial, int16_t* out, int8_t bias) {
  const uint32_t acc = warp_reduce_sum<32>(partial);
  if (threadIdx.x != 0) return;
  // The rounding sum wraps like the 32-bit accumulator; the shift is arithmetic.
  const int32_t v = static_cast<int32_t>(acc + (static_cast<uint32_t>(int32_t{bias}) << 10) + 64u) >> 7;
  // |v| < 2^25, so the residual sum cannot overflow.
  *out = static_cast<int16_t>(saturate16(accumulate ? v + *out : v));
}

// block x: 16 output features, block y: one row; warp y: feature 16 bx + y; lane x: inputs
// k = x, x + 32, ..., paired four lane steps at a time for the two-way dot product.
template <bool accumulate>
__global__ void __launch_bounds__(32 * linear_warps) linear_plain_kernel(int16_t* output, const int16_t* input,
                                                                         const int8_t* weights, const int8_t* bias,
                                                                         int32_t num_rows, int32_t out_features,
                                                                         int32_t in_features) {
  const uint32_t n = blockIdx.x * linear_warps + threadIdx.y;
  if (n >= static_cast<uint32_t>(out_features) || blockIdx.y >= static_cast<uint32_t>(num_rows)) return;
  const uint32_t r = blockIdx.y;
  const uint32_t count = in_features > 0 ? static_cast<uint32_t>(in_features) : 0u;
  const int16_t* x = input + static_cast<int64_t>(r) * count;
  const int8_t* w = weights + static_cast<int64_t>(n) * count;
  int32_t partial = 0;
  uint32_t k = threadIdx.x;
  for (; k + 96 < count; k += 128) {
    partial = dot2(x[k], x[k + 32], w[k], w[k + 32], partial);
    partial = dot2(x[k + 64], x[k + 96], w[k + 64], w[k + 96], partial);
  }
  for (; k < count; k += 32) partial = add_product(partial, x[k], w[k]);
  linear_finish<accumulate>(static_cast<uint32_t>(partial), output + static_cast<int64_t>(r) * out_features + n,
                            bias[n]);
}

// As the plain kernel, over G = in_features / 4 groups of four: lane x takes groups x, x + 32, ...
// and keeps x0 w0 + x1 w1 and x2 w2 + x3 w3 in two partial sums.
template <bool accumulate>
__global__ void __launch_bounds__(32 * linear_warps) linear_packed_kernel(int16_t* output, const short2x2* input,
                                                                          const char4* weights, const int8_t* bias,
                                                                          int32_t num_rows, int32_t out_features,
                                                                          int32_t groups) {
  const uint32_t n = blockIdx.x * linear_warps + threadIdx.y;
  if (n >= static_cast<uint32_t>(out_features) || blockIdx.y >= static_cast<uint32_t>(num_rows)) return;
  const uint32_t r = blockIdx.y;
  const uint32_t count = groups > 0 ? static_cast<uint32_t>(groups) : 0u;
  const short2x2* x = input + static_cast<int64_t>(r) * count;
  const char4* w = weights + static_cast<int64_t>(n) * count;
  int32_t low = 0, high = 0;
  for (uint32_t g = threadIdx.x; g < count; g += 32) {
    const short2x2 xv = x[g];
    const char4 wv = w[g];
    low = __dp2a_lo(xv.lo, wv, low);
    high = __dp2a_hi(xv.hi, wv, high);
  }
  linear_finish<accumulate>(static_cast<uint32_t>(low) + static_cast<uint32_t>(high),
                            output + static_cast<int64_t>(r) * out_features + n, bias[n]);
}

// Grid: (out_features + 15) / 16 blocks across, num_rows down (a grid dimension as given: 0 or
// past the device's y limit fails the launch). The packed kernel needs whole groups of four and
// 4-byte aligned input and weights; `packed_allowed` adds the entry's own condition.
template <bool accumulate>
kr_status_t run_linear(const kr_omu_op_linear_args_t* args, bool (*packed_allowed)(int32_t out_features),
                       const kr_error_record& failure) {
  int16_t* output = nullptr;
  const int16_t* input = nullptr;
  const int8_t* weights = nullptr;
  const int8_t* bias = nullptr;
  if (args == nullptr || !resolve(args->output, args->output_offset, &output) ||
      !resolve(args->input, args->input_offset, &input) || !resolve(args->weights, 0, &weights) ||
      !resolve(args->bias, 0, &bias)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // A negative feature count would give a huge grid whose feature indices wrap.
  unsigned int columns = 0;
  if (!blocks_for(args->out_features, linear_warps, &columns)) return KR_STATUS_INVALID_ARGUMENT;
  const dim3 grid(columns, static_cast<unsigned int>(args->num_rows));
  const dim3 block(32, linear_warps);
  cudaError_t launched;
  if (args->in_features % 4 == 0 && packed_allowed(args->out_features) && all_aligned(4, input, weights)) {
    launched = launch_kernel(linear_packed_kernel<accumulate>, grid, block, output,
                             reinterpret_cast<const short2x2*>(input), reinterpret_cast<const char4*>(weights), bias,
                             args->num_rows, args->out_features, args->in_features / 4);
  } else {
    launched = launch_kernel(linear_plain_kernel<accumulate>, grid, block, output, input, weights, bias,
                             args->num_rows, args->out_features, args->in_features);
  }
  return finish_launch(launched, failure);
}

}  // namespace kr
