// 16-bit ReLU: y = max(x, 0).
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct relu_i16_op {
  static __device__ __forceinline__ int16_t apply(int16_t x) {
    return static_cast<int16_t>(max(static_cast<int32_t>(x), 0));
  }
};

}  // namespace

// 16-bit ReLU
KR_OMU_EXPORT kr_status_t taabe88(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<relu_i16_op, int16_t, int16_t>(args, kernel_failure);
}
