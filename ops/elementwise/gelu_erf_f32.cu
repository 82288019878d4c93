// Float GELU, error-function form: y = (x / 2) (1 + erf(x / sqrt 2)).
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct gelu_erf_op {
  // Three products and one sum, each rounded on its own; 1/sqrt(2) is the float nearest to it.
  static __device__ __forceinline__ float apply(float x) {
    const float a = x * 0.707106769084930419921875f;
    return (x * 0.5f) * (erff(a) + 1.0f);
  }
};

}  // namespace

// float GELU, erf form
KR_OMU_EXPORT kr_status_t taabe71(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<gelu_erf_op, float, float>(args, kernel_failure);
}
