// Float pairwise multiply: out = a b.
#include "numerics/fixed_point.cuh"
#include "ops/broadcast/pairwise.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct mul_op {
  static __device__ __forceinline__ float apply(float a, float b) { return a * b; }
};

}  // namespace

// float pairwise multiply
KR_OMU_EXPORT kr_status_t taabe66(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t* args) {
  return kr::run_pairwise<mul_op>(args, kernel_failure);
}
