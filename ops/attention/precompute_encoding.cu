// Rotary position encoding table: cosine/sine pairs of each frequency's angle at every position.
#include "ops/attention/formats.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int block_threads = 256;
constexpr int32_t max_blocks = 65535;

// block x: positions x, x + grid x, ...; thread x: frequencies x, x + 256, ... of that position.
// The frequency progression base^(2i / R) comes from the fast base-2 logarithm and exponential;
// the angles use the accurate sine and cosine, whose argument reduction stays exact for the large
// angles of late positions.
__global__ void __launch_bounds__(block_threads)
    precompute_encoding_kernel(float* table, int32_t rotary_size, int32_t length, float base,
                               const float* divisors, float scale) {
  const float log2_base = __log2f(base);
  const int32_t pairs = rotary_size / 2;
  for (uint32_t t = blockIdx.x; t < static_cast<uint32_t>(length); t += gridDim.x) {
    for (int32_t i = static_cast<int32_t>(threadIdx.x); i < pairs; i += block_threads) {
      const float f = static_cast<float>(2 * i) / static_cast<float>(rotary_size);
      const float p = exp2f(f * log2_base);
      const float angle = static_cast<float>(t) / (divisors[i] * p);
      const int64_t at = kr::attention::encoding_index(t, rotary_size, i);
      table[at] = cosf(angle) * scale;
      table[at + 1] = sinf(angle) * scale;
    }
  }
}

}  // namespace

// position encoding table
KR_OMU_EXPORT kr_status_t taabe8(kr_omu_device*, kr_omu_operator*, kr_omu_op_precompute_encoding_args_t* args) {
  float* table = nullptr;
  const float* divisors = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &table) ||
      !kr::resolve(args->frequency_divisors, args->frequency_divisors_offset, &divisors)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // A negative length would become a grid of about 2^32 blocks; 0 gives the empty grid the
  // runtime refuses.
  if (args->length < 0) return KR_STATUS_INVALID_ARGUMENT;
  const int32_t blocks = args->length < max_blocks ? args->length : max_blocks;
  const cudaError_t launched =
      kr::launch_kernel(precompute_encoding_kernel, dim3(static_cast<unsigned int>(blocks)), dim3(block_threads),
                        table, args->rotary_size, args->length, args->base, divisors, args->scale);
  return kr::finish_launch(launched, kernel_failure);
}
