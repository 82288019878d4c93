// Float table sigmoid: the fixed-point sigmoid of x in Q10, as a float fraction of 32767.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct sigmoid_table_op {
  // The Q10 conversion saturates and sends NaN to 0, so every input lands on the table.
  static __device__ __forceinline__ float apply(float x) {
    return static_cast<float>(kr::fixed_sigmoid(kr::float_to_q10(x))) / 32767.0f;
  }
};

}  // namespace

// float table sigmoid
KR_OMU_EXPORT kr_status_t taabe39(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<sigmoid_table_op, float, float>(args, kernel_failure);
}
