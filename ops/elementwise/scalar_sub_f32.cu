// Float scalar minus element: y = s - x (the scalar is the left operand).
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/scalar.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct scalar_sub_op {
  static __device__ __forceinline__ float apply(float x, float s) { return s - x; }
};

}  // namespace

// float scalar minus element
KR_OMU_EXPORT kr_status_t taabe224(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t* args) {
  return kr::run_scalar<scalar_sub_op>(args, kernel_failure);
}
