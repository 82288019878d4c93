// 16-bit by 8-bit linear layer: Q10 activations, Q7 weights and bias, Q10 output requantised with
// rounding and saturation. Whole groups of four inputs take the packed kernel.
#include "ops/conv/linear.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

bool packed_allowed(int32_t) { return true; }

}  // namespace

// 16-bit by 8-bit linear layer
extern "C" KR_OMU_EXPORT kr_status_t taabe34(kr_omu_device*, kr_omu_operator*, kr_omu_op_linear_args_t* args) {
  return kr::run_linear<false>(args, packed_allowed, kernel_failure);
}
