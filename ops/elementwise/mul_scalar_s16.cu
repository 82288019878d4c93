// 16-bit multiply by scalar: y = (x s + r) >> 10 saturated to 16 bits, x and s in Q10; r = 512
// rounds to nearest with ties up, r = 0 rounds down.
#include <stdint.h>

#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// block x: 256 elements; thread x: one element
__global__ void __launch_bounds__(256)
    mul_scalar_s16_kernel(int32_t count, int32_t r, int16_t* output, int16_t scalar, const int16_t* input) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= count) return;
  // |x s| is at most 2^30, so x s + r fits in 32 bits.
  const int32_t product = static_cast<int32_t>(input[i]) * static_cast<int32_t>(scalar) + r;
  output[i] = static_cast<int16_t>(kr::saturate16(product >> 10));
}

}  // namespace

// 16-bit multiply by scalar
KR_OMU_EXPORT kr_status_t taabe263(kr_omu_device*, kr_omu_operator*, kr_omu_op_mulsv_args_t* args) {
  int16_t* output = nullptr;
  const int16_t* input = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const int32_t r = args->truncate == 0 ? 512 : 0;
  const cudaError_t launched = kr::launch_kernel(mul_scalar_s16_kernel, dim3(kr::blocks_of_256(args->count)), dim3(256),
                                                 args->count, r, output, args->scalar, input);
  return kr::finish_launch(launched, kernel_failure);
}
