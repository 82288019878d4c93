// Q7 to float conversion: x / 128, exact.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct q7_to_f32_op {
  static __device__ __forceinline__ float apply(int8_t x) { return kr::q7_to_float(x); }
};

}  // namespace

// Q7 to float conversion
KR_OMU_EXPORT kr_status_t taabe221(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<q7_to_f32_op, float, int8_t>(args, kernel_failure);
}
