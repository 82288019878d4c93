// 16-bit table GELU: y = x sigmoid(1.702 x), Q10 in and out.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct gelu_i16_op {
  static __device__ __forceinline__ int16_t apply(int16_t x) {
    // 1743 / 1024 = 1.7021484375 stands for 1.702; both products stay well inside 32 bits.
    const int32_t t = kr::saturate16((x * 1743 + 512) >> 10);
    const int32_t s = kr::fixed_sigmoid(t);
    return static_cast<int16_t>(kr::saturate16((s * x + 16384) >> 15));
  }
};

}  // namespace

// 16-bit table GELU
extern "C" KR_OMU_EXPORT kr_status_t taabe165(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<gelu_i16_op, int16_t, int16_t>(args, kernel_failure);
}
