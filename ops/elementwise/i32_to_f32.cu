// int32 to float conversion: rounded to nearest-even, no scaling.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct i32_to_f32_op {
  static __device__ __forceinline__ float apply(int32_t x) { return static_cast<float>(x); }
};

}  // namespace

// int32 to float conversion
KR_OMU_EXPORT kr_status_t taabe218(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<i32_to_f32_op, float, int32_t>(args, kernel_failure);
}
