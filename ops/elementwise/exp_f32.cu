// Float exponential: y = expf(x), the device library's accurate expf (infinity above about 88.72,
// 0 far below -87.3).
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct exp_op {
  static __device__ __forceinline__ float apply(float x) { return expf(x); }
};

}  // namespace

// float exponential
KR_OMU_EXPORT kr_status_t taabe178(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<exp_op, float, float>(args, kernel_failure);
}
