// 16-bit row softmax: Q10 rows in, Q31 probabilities out, all in integer arithmetic.
#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int block_threads = 256;

// Columns a thread keeps in registers between the passes: rows of up to 16 x 256 = 4096 values
// are read once. Columns past those are read again in each pass (their exponentials parked in the
// output), in the same order, so the split changes no result.
constexpr int held = 16;

// block x: one row; thread x: columns x, x + 256, x + 512, ... of that row
__global__ void __launch_bounds__(block_threads)
    softmax_i16_kernel(int32_t row_length, int32_t* output, const int16_t* input) {
  const uint32_t t = threadIdx.x;
  // Columns in unsigned 32 bits (bounded by one row); the row start in 64 bits, so that no row of
  // a tensor past 2^31 elements wraps. A row length of 0 or below has no columns.
  const uint32_t columns = row_length > 0 ? static_cast<uint32_t>(row_length) : 0u;
  const size_t row_start = static_cast<size_t>(blockIdx.x) * columns;
  const int16_t* x = input + row_start;
  int32_t* y = output + row_start;
  const uint32_t first_streamed = t + held * block_threads;

  int32_t v[held];
#pragma unroll
  for (int i = 0; i < held; ++i) {
    const uint32_t c = t + i * block_threads;
    v[i] = c < columns ? static_cast<int32_t>(x[c]) : -32768;
  }

  // The padding of absent columns is the identity of the maximum.
  int32_t local_max = -32768;
#pragma unroll
  for (int i = 0; i < held; ++i) local_max = max(local_max, v[i]);
  for (uint32_t c = first_streamed; c < columns; c += block_threads) local_max = max(local_max, static_cast<int32_t>(x[c]));
  const int32_t m = kr::block_reduce<kr::max_op, block_threads, int32_t>(local_max, -32768);

  int64_t local_sum = 0;
#pragma unroll
  for (int i = 0; i < held; ++i) {
    if (t + i * block_threads < columns) {
      v[i] = kr::fixed_exp(kr::saturate16(v[i] - m));
      local_sum += v[i];
    }
  }
  for (uint32_t c = first_streamed; c < columns; c += block_threads) {
    const int32_t e = kr::fixed_exp(kr::saturate16(static_cast<int32_t>(x[c]) - m));
    y[c] = e;
    local_sum += e;
  }
  const int64_t s = kr::block_reduce<kr::sum_op, block_threads, int64_t>(local_sum, 0);

  // Threads without an element skip the division, so an empty row never divides by zero.
  if (t >= columns) return;
  // R approximates 2^31 / (S / 2^31); S is at least 242, so the quotient only needs clamping.
  const int32_t r = kr::saturate32((int64_t{1} << 62) / s);
#pragma unroll
  for (int i = 0; i < held; ++i) {
    const uint32_t c = t + i * block_threads;
    if (c < columns) y[c] = kr::saturate32((static_cast<int64_t>(r) * v[i] + (int64_t{1} << 30)) >> 31);
  }
  for (uint32_t c = first_streamed; c < columns; c += block_threads) {
    y[c] = kr::saturate32((static_cast<int64_t>(r) * y[c] + (int64_t{1} << 30)) >> 31);
  }
}

}  // namespace

// 16-bit row softmax
extern "C" KR_OMU_EXPORT kr_status_t taabe273(kr_omu_device*, kr_omu_operator*,
                                              kr_omu_op_elementwise_broadcast_args_t* args) {
  int32_t* output = nullptr;
  const int16_t* input = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input, args->input_offset, &input) || args->num_rows < 0) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // num_rows is the grid size as given; 0 gives the empty grid the runtime refuses, and a negative
  // count is refused above like every other negative count.
  const cudaError_t launched = kr::launch_kernel(softmax_i16_kernel, dim3(static_cast<unsigned int>(args->num_rows)),
                                                 dim3(block_threads), args->row_length, output, input);
  return kr::finish_launch(launched, kernel_failure);
}
