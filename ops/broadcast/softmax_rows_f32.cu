// Float row softmax: e^(x - max) / sum, with the accurate expf and one correctly rounded
// reciprocal per row. A NaN element, or a row of minus infinities, gives NaN outputs.
#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "ops/broadcast/rows.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int block_threads = 512;

// Columns a thread keeps in registers between the passes: rows of up to 8 x 512 = 4096 floats
// are read once. Columns past those are read again in each pass (and their exponentials parked in
// the output), in the same order, so the result does not depend on where the split falls.
constexpr int held = 8;

// block x: one row; thread x: columns x, x + 512, ... of that row.
__global__ void __launch_bounds__(block_threads) softmax_rows_kernel(int32_t n, float* output, const float* input) {
  const uint32_t columns = kr::columns_of(n);
  const size_t row = kr::row_start(blockIdx.x, columns);
  const float* x = input + row;
  float* y = output + row;
  const uint32_t first_streamed = threadIdx.x + held * block_threads;

  float v[held];
#pragma unroll
  for (int i = 0; i < held; ++i) {
    const uint32_t j = threadIdx.x + i * block_threads;
    v[i] = j < columns ? x[j] : 0.0f;
  }

  // fmaxf ignores a NaN element; the NaN reappears in its exponential.
  float local_max = -INFINITY;
#pragma unroll
  for (int i = 0; i < held; ++i) {
    if (threadIdx.x + i * block_threads < columns) local_max = fmaxf(local_max, v[i]);
  }
  for (uint32_t j = first_streamed; j < columns; j += block_threads) local_max = fmaxf(local_max, x[j]);
  const float m = kr::block_reduce<kr::fmax_op, block_threads>(local_max, -INFINITY);

  float local_sum = 0.0f;
#pragma unroll
  for (int i = 0; i < held; ++i) {
    if (threadIdx.x + i * block_threads < columns) {
      v[i] = expf(v[i] - m);
      local_sum += v[i];
    }
  }
  for (uint32_t j = first_streamed; j < columns; j += block_threads) {
    const float e = expf(x[j] - m);
    y[j] = e;
    local_sum += e;
  }
  const float s = kr::block_reduce<kr::sum_op, block_threads>(local_sum, 0.0f);

  const float q = 1.0f / s;
#pragma unroll
  for (int i = 0; i < held; ++i) {
    const uint32_t j = threadIdx.x + i * block_threads;
    if (j < columns) y[j] = v[i] * q;
  }
  for (uint32_t j = first_streamed; j < columns; j += block_threads) y[j] = y[j] * q;
}

}  // namespace

// float row softmax
KR_OMU_EXPORT kr_status_t taabe118(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t* args) {
  return kr::run_rows(args, softmax_rows_kernel, block_threads, kernel_failure);
}
