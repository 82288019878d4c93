// 16-bit sigmoid with a Q10 result: the Q15 sigmoid shifted down by 5 (rounding down), 0 to 1023.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct sigmoid_q10_op {
  static __device__ __forceinline__ int16_t apply(int16_t x) { return static_cast<int16_t>(kr::fixed_sigmoid(x) >> 5); }
};

}  // namespace

// 16-bit sigmoid, Q10 result
KR_OMU_EXPORT kr_status_t taabe27(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<sigmoid_q10_op, int16_t, int16_t>(args, kernel_failure);
}
