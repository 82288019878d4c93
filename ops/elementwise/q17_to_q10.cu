// Q17 to Q10 conversion: (x + 64) >> 7, saturated to 16 bits; the rounding addition never wraps.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct q17_to_q10_op {
  static __device__ __forceinline__ int16_t apply(int32_t x) { return static_cast<int16_t>(kr::q17_to_q10(x)); }
};

}  // namespace

// Q17 to Q10 conversion
KR_OMU_EXPORT kr_status_t taabe82(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<q17_to_q10_op, int16_t, int32_t>(args, kernel_failure);
}
