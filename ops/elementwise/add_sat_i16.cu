// 16-bit saturating add: y = a + b clamped to -32768..32767. Even lengths over 4-byte aligned
// vectors take a packed kernel that adds two elements per 32-bit word with half the threads.
#include "numerics/fixed_point.cuh"
#include "numerics/vector_types.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// Signed 32-bit addition that saturates instead of wrapping.
__device__ __forceinline__ int32_t add_sat32(int32_t a, int32_t b) {
  return kr::saturate32(static_cast<int64_t>(a) + static_cast<int64_t>(b));
}

// block x: 256 elements; thread x: one element
__global__ void __launch_bounds__(256)
    add_sat_i16_kernel(int32_t count, int16_t* output, const int16_t* a, const int16_t* b) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i < count) output[i] = static_cast<int16_t>(kr::saturate16(a[i] + b[i]));
}

// block x: 256 packed pairs; thread x: one 32-bit word (two elements)
__global__ void __launch_bounds__(256) add_sat_i16_packed_kernel(int32_t pairs, kr::packed_pair* output,
                                                                 const kr::packed_pair* a, const kr::packed_pair* b) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= pairs) return;
  const uint32_t wa = a[i];
  const uint32_t wb = b[i];
  // With a half in the upper 16 bits and zeros below, 32-bit saturation of the sum is exactly
  // 16-bit saturation of the halves, and the sum's upper 16 bits are the result.
  const int32_t low = add_sat32(static_cast<int32_t>(wa << 16), static_cast<int32_t>(wb << 16));
  const int32_t high = add_sat32(static_cast<int32_t>(wa & 0xFFFF0000u), static_cast<int32_t>(wb & 0xFFFF0000u));
  output[i] = (static_cast<uint32_t>(high) & 0xFFFF0000u) | (static_cast<uint32_t>(low) >> 16);
}

kr_status_t add_sat_i16(int32_t count, int16_t* output, const int16_t* a, const int16_t* b) {
  cudaError_t launched;
  if (count % 2 == 0 && kr::all_aligned(4, output, a, b)) {
    const int32_t pairs = count / 2;
    launched =
        kr::launch_kernel(add_sat_i16_packed_kernel, dim3(kr::blocks_of_256(pairs)), dim3(256), pairs,
                          reinterpret_cast<kr::packed_pair*>(output), reinterpret_cast<const kr::packed_pair*>(a),
                          reinterpret_cast<const kr::packed_pair*>(b));
  } else {
    launched = kr::launch_kernel(add_sat_i16_kernel, dim3(kr::blocks_of_256(count)), dim3(256), count, output, a, b);
  }
  return kr::finish_launch(launched, kernel_failure);
}

}  // namespace

// 16-bit saturating add
extern "C" KR_OMU_EXPORT kr_status_t taabe177(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t* args) {
  int16_t* output = nullptr;
  const int16_t* a = nullptr;
  const int16_t* b = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input_a, args->input_a_offset, &a) || !kr::resolve(args->input_b, args->input_b_offset, &b)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  return add_sat_i16(args->count, output, a, b);
}
