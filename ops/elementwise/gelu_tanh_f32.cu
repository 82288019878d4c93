// Float GELU, tanh form: y = (x / 2) (1 + tanh(sqrt(2 / pi) (x + 0.044715 x^3))).
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct gelu_tanh_op {
  static __device__ __forceinline__ float apply(float x) {
    const float c = x * (x * x);
    const float v = __fmaf_rn(c, 0.0447149984538555145263671875f, x);
    // The scaling by sqrt(2 / pi) is done in double and rounded to float once.
    const float u = static_cast<float>(static_cast<double>(v) * 0.7978845608028654);
    return (x * 0.5f) * (tanhf(u) + 1.0f);
  }
};

}  // namespace

// float GELU, tanh form
KR_OMU_EXPORT kr_status_t taabe78(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<gelu_tanh_op, float, float>(args, kernel_failure);
}
