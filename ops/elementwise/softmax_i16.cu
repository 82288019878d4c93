// 16-bit row softmax: Q10 rows in, Q31 probabilities out, all in integer arithmetic.
#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int block_threads = 256;
constexpr int block_warps = block_threads / 32;

struct max_reducer {
  template <int width>
  static __device__ __forceinline__ int32_t warp(int32_t v) {
    return kr::warp_reduce_max<width>(v);
  }
};
struct sum_reducer {
  template <int width>
  static __device__ __forceinline__ int64_t warp(int64_t v) {
    return kr::warp_reduce_sum<width>(v);
  }
};

// Block-wide reduction in two stages: butterflies at distances 16 to 1 within each warp, one
// shared slot per warp, then warp 0 combines the eight slots by butterflies at distances 4, 2, 1
// within groups of 8 lanes. Lanes 8 to 31 of that stage never reach lane 0, so they start from the
// identity instead of reading slots no warp wrote. Every thread returns the block's result. The
// second barrier orders thread 0's write of slot 0 before everyone's read of it; a later reduction
// must use slots of its own, since slower threads may still be reading these.
template <typename Reducer, typename R, typename S>
__device__ __forceinline__ R block_reduce(R value, R identity, S* slots) {
  const int lane = static_cast<int>(threadIdx.x) & 31;
  const int warp = static_cast<int>(threadIdx.x) >> 5;
  value = Reducer::template warp<32>(value);
  if (lane == 0) slots[warp] = static_cast<S>(value);
  __syncthreads();
  if (warp == 0) {
    const R v = Reducer::template warp<block_warps>(lane < block_warps ? static_cast<R>(slots[lane]) : identity);
    if (lane == 0) slots[0] = static_cast<S>(v);
  }
  __syncthreads();
  return static_cast<R>(slots[0]);
}

// block x: one row; thread x: columns x, x + 256, x + 512, ... of that row
__global__ void __launch_bounds__(block_threads)
    softmax_i16_kernel(int32_t row_length, int32_t* output, const int16_t* input) {
  __shared__ int16_t max_slots[32];
  __shared__ int64_t sum_slots[32];
  const int32_t t = static_cast<int32_t>(threadIdx.x);
  // Row offset as a signed 32-bit product (wrapping, like the hardware's).
  const int32_t row_start = static_cast<int32_t>(blockIdx.x * static_cast<uint32_t>(row_length));
  const int16_t* x = input + row_start;
  int32_t* y = output + row_start;

  int32_t local_max = -32768;
  for (int32_t c = t; c < row_length; c += block_threads) local_max = max(local_max, static_cast<int32_t>(x[c]));
  const int32_t m = block_reduce<max_reducer, int32_t>(local_max, -32768, max_slots);

  // The exponentials are parked in the output and normalised once the row sum is known.
  int64_t local_sum = 0;
  for (int32_t c = t; c < row_length; c += block_threads) {
    const int32_t e = kr::fixed_exp(kr::saturate16(static_cast<int32_t>(x[c]) - m));
    y[c] = e;
    local_sum += e;
  }
  const int64_t s = block_reduce<sum_reducer, int64_t>(local_sum, 0, sum_slots);

  // Threads without an element skip the division, so an empty row never divides by zero.
  if (t >= row_length) return;
  // R approximates 2^31 / (S / 2^31); S is at least 242, so the quotient only needs clamping.
  const int32_t r = kr::saturate32((int64_t{1} << 62) / s);
  for (int32_t c = t; c < row_length; c += block_threads) {
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
      !kr::resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // num_rows is the grid size as given; 0 gives the empty grid the runtime refuses.
  const cudaError_t launched = kr::launch_kernel(softmax_i16_kernel, dim3(static_cast<unsigned int>(args->num_rows)),
                                                 dim3(block_threads), args->row_length, output, input);
  return kr::finish_launch(launched, kernel_failure);
}
