// Float multiply by scalar: y = x s.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/scalar.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct mul_scalar_op {
  static __device__ __forceinline__ float apply(float x, float s) { return x * s; }
};

}  // namespace

// float multiply by scalar
KR_OMU_EXPORT kr_status_t taabe106(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t* args) {
  return kr::run_scalar<mul_scalar_op>(args, kernel_failure);
}
