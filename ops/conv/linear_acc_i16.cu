// 16-bit by 8-bit linear layer fused with a residual add: the requantised result, unclamped, is
// added to the value already in the output and the sum saturated. Only layers of at least 1024
// outputs take the packed kernel.
#include "ops/conv/linear.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

bool packed_allowed(int32_t out_features) { return out_features >= 1024; }

}  // namespace

// 16-bit by 8-bit linear layer, accumulating
extern "C" KR_OMU_EXPORT kr_status_t taabe153(kr_omu_device*, kr_omu_operator*, kr_omu_op_linear_args_t* args) {
  return kr::run_linear<true>(args, packed_allowed, kernel_failure);
}
