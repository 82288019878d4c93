// Float table GELU: y = x sigmoid(1.702 x), the sigmoid taken from the fixed-point table.
#include "numerics/fixed_point.cuh"
#include "ops/elementwise/unary.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct gelu_table_op {
  // The gate comes from the table, the product with x stays in float: a NaN x converts to Q10 0
  // but still propagates through the final product.
  static __device__ __forceinline__ float apply(float x) {
    const float z = x * 1.70200002193450927734375f;
    const float g = static_cast<float>(kr::fixed_sigmoid(kr::float_to_q10(z))) / 32767.0f;
    return x * g;
  }
};

}  // namespace

// float table GELU
extern "C" KR_OMU_EXPORT kr_status_t taabe141(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t* args) {
  return kr::run_unary<gelu_table_op, float, float>(args, kernel_failure);
}
