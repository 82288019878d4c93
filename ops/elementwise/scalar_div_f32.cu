// Float scalar divided by element: y = s / x, correctly rounded (x = 0 gives a signed infinity).
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/scalar.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct scalar_div_op {
  static __device__ __forceinline__ float apply(float x, float s) { return s / x; }
};

}  // namespace

// float scalar divided by element
KR_OMU_EXPORT kr_status_t taabe272(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t* args) {
  return kr::run_scalar<scalar_div_op>(args, kernel_failure);
}
