// Float multiply by row vector: out[r, c] = a[r, c] x b[c].
#include "numerics/fixed_point.cuh"
#include "ops/broadcast/broadcast.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct mul_row_op {
  using out_t = float;
  using a_t = float;
  using b_t = float;
  static constexpr bool by_column = false;
  static __device__ __forceinline__ void apply(float* y, float a, float b) { *y = a * b; }
};

}  // namespace

// float multiply by row vector
KR_OMU_EXPORT kr_status_t taabe69(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t* args) {
  return kr::run_broadcast<mul_row_op>(args, kernel_failure);
}
