// Float table tanh: the fixed-point tanh of x in Q10, as a float fraction of 32767.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct tanh_table_op {
  static __device__ __forceinline__ float apply(float x) {
    return static_cast<float>(kr::fixed_tanh(kr::float_to_q10(x))) / 32767.0f;
  }
};

}  // namespace

// float table tanh
KR_OMU_EXPORT kr_status_t taabe257(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<tanh_table_op, float, float>(args, kernel_failure);
}
