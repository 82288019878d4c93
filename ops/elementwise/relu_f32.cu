// Float ReLU: y = max(x, 0); a NaN input gives 0.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct relu_op {
  // fmaxf returns the non-NaN operand.
  static __device__ __forceinline__ float apply(float x) { return fmaxf(x, 0.0f); }
};

}  // namespace

// float ReLU
extern "C" KR_OMU_EXPORT kr_status_t taabe169(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<relu_op, float, float>(args, kernel_failure);
}
