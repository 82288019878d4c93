// Float row sum: one thread adds its row strictly from left to right, each addition rounded to
// float, so the result does not depend on the hardware.
#include "numerics/fixed_point.cuh"
#include "ops/broadcast/rows.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// block x: one row; its single thread walks the row. An empty or negative length gives 0.
__global__ void __launch_bounds__(1) sum_rows_kernel(int32_t n, float* output, const float* input) {
  const uint32_t columns = kr::columns_of(n);
  const float* x = input + kr::row_start(blockIdx.x, columns);
  float s = 0.0f;
  for (uint32_t j = 0; j < columns; ++j) s += x[j];
  output[blockIdx.x] = s;
}

}  // namespace

// float row sum
KR_OMU_EXPORT kr_status_t taabe143(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t* args) {
  return kr::run_rows(args, sum_rows_kernel, 1, kernel_failure);
}
