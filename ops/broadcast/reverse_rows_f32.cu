// Float row reverse: out[r, N - 1 - j] = in[r, j].
#include "numerics/fixed_point.cuh"
#include "ops/broadcast/rows.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr unsigned int block_threads = 256;

// block x: one row; thread x: columns x, x + 256, ... of that row
__global__ void __launch_bounds__(block_threads) reverse_rows_kernel(int32_t n, float* output, const float* input) {
  const uint32_t columns = kr::columns_of(n);
  const size_t row = kr::row_start(blockIdx.x, columns);
  float* y = output + row;
  const float* x = input + row;
  for (uint32_t j = threadIdx.x; j < columns; j += block_threads) y[columns - 1u - j] = x[j];
}

}  // namespace

// float row reverse
KR_OMU_EXPORT kr_status_t taabe194(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t* args) {
  return kr::run_rows(args, reverse_rows_kernel, block_threads, kernel_failure);
}
