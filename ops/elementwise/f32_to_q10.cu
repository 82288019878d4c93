// Float to Q10 conversion: x * 1024 truncated towards zero, saturated to 16 bits, NaN to 0.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct f32_to_q10_op {
  static __device__ __forceinline__ int16_t apply(float x) { return static_cast<int16_t>(kr::float_to_q10(x)); }
};

}  // namespace

// float to Q10 conversion
KR_OMU_EXPORT kr_status_t taabe77(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<f32_to_q10_op, int16_t, float>(args, kernel_failure);
}
