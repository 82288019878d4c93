// Float x-times-sigmoid: y = x / (1 + e^-x).
#include "numerics/fixed_point.cuh"
#include "numerics/float_math.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct silu_op {
  // e^-x is p x scale as expf builds it; its last multiplication and the 1 + are one fused step,
  // rounded once. Below about -88.7 the denominator overflows to infinity and y is -0; at -inf
  // it is inf / inf, NaN.
  static __device__ __forceinline__ float apply(float x) {
    const kr::exp_split e = kr::exp_parts(-x);
    const float d = __fmaf_rn(e.p, e.scale, 1.0f);
    return x / d;
  }
};

}  // namespace

// float x-times-sigmoid
KR_OMU_EXPORT kr_status_t taabe190(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<silu_op, float, float>(args, kernel_failure);
}
