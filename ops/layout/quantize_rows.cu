// Row quantisation: each float row scaled so that its largest magnitude M maps to 31 x 1024, with
// s = 31 / M, q = trunc((s x x) x 1024) saturated to 16 bits (NaN to 0), and the row's scale
// 1 / (s x 131072) stored beside it, so that x ~ q x scale x 128. Every step is one correctly
// rounded single-precision operation, and subnormal values are kept, never flushed.
#include <math.h>

#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// Columns a lane keeps in registers between the maximum and the outputs: rows of up to 32 x held
// floats are read once. Columns past those are read again for their outputs; the maximum takes the
// same values in the same order either way. Short rows take the narrow form, whose fewer registers
// leave room for more resident warps; rows of up to 4096 floats are read once by the wide one.
constexpr int held_short = 32;
constexpr int held_long = 128;

// block x: one row; thread x: columns x, x + 32, ... (one warp per row)
template <int held>
__global__ void __launch_bounds__(32) quantize_rows_kernel(int32_t row_length, int16_t* output, float* scales,
                                                           const float* input) {
  const uint32_t r = blockIdx.x;
  const uint32_t n = row_length > 0 ? static_cast<uint32_t>(row_length) : 0u;
  const int64_t row = static_cast<int64_t>(r) * n;
  const uint32_t first_streamed = threadIdx.x + held * 32;
  float v[held];
#pragma unroll
  for (int i = 0; i < held; ++i) {
    const uint32_t k = threadIdx.x + i * 32;
    v[i] = k < n ? input[row + k] : 0.0f;
  }
  // fmaxf ignores a NaN operand; lanes without an element keep minus infinity and still join the
  // exchange, so an empty row gives M = -infinity.
  float m = -INFINITY;
#pragma unroll
  for (int i = 0; i < held; ++i) {
    if (threadIdx.x + i * 32 < n) m = fmaxf(m, fabsf(v[i]));
  }
  for (uint32_t k = first_streamed; k < n; k += 32) m = fmaxf(m, fabsf(input[row + k]));
#pragma unroll
  for (int d = 16; d > 0; d /= 2) m = fmaxf(m, __shfl_xor_sync(kr::full_warp_mask, m, d));
  const float s = 31.0f / __shfl_sync(kr::full_warp_mask, m, 0);
  // A zero or tiny M makes s infinite: zeros become NaN and then 0, the rest saturate.
#pragma unroll
  for (int i = 0; i < held; ++i) {
    const uint32_t k = threadIdx.x + i * 32;
    if (k < n) output[row + k] = static_cast<int16_t>(kr::float_to_q10(s * v[i]));
  }
  for (uint32_t k = first_streamed; k < n; k += 32) {
    output[row + k] = static_cast<int16_t>(kr::float_to_q10(s * input[row + k]));
  }
  if (threadIdx.x == 0) scales[r] = 1.0f / (s * 131072.0f);
}

}  // namespace

// float to 16-bit row quantisation
KR_OMU_EXPORT kr_status_t taabe240(kr_omu_device*, kr_omu_operator*, kr_omu_op_quantize_args_t* args) {
  int16_t* output = nullptr;
  float* scales = nullptr;
  const float* input = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->scales, args->scales_offset, &scales) ||
      !kr::resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // num_rows is the grid as given: 0 or a negative number fails the launch.
  const auto kernel = args->row_length <= 32 * held_short ? quantize_rows_kernel<held_short>
                                                         : quantize_rows_kernel<held_long>;
  const cudaError_t launched = kr::launch_kernel(kernel, dim3(static_cast<uint32_t>(args->num_rows)),
                                                 dim3(32), args->row_length, output, scales, input);
  return kr::finish_launch(launched, kernel_failure);
}
