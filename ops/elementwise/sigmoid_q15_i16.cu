// 16-bit sigmoid with a Q15 result (11 to 32755).
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct sigmoid_q15_op {
  static __device__ __forceinline__ int16_t apply(int16_t x) { return static_cast<int16_t>(kr::fixed_sigmoid(x)); }
};

}  // namespace

// 16-bit sigmoid, Q15 result
KR_OMU_EXPORT kr_status_t taabe35(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<sigmoid_q15_op, int16_t, int16_t>(args, kernel_failure);
}
