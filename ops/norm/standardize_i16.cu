// 16-bit column standardisation: out[r, c] = sat16(((in[r, c] - mean[c]) scale[c]) >> 10), the
// shift rounding toward minus infinity; scale is Q10.
#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// block x: 16 columns, block y: 16 rows; thread (x, y): element (row, column)
__global__ void __launch_bounds__(256)
    standardize_kernel(int32_t num_columns, int32_t num_rows, int16_t* output, const int16_t* input,
                       const int16_t* mean, const int16_t* scale) {
  const uint32_t c = blockIdx.x * 16u + threadIdx.x;
  const uint32_t r = blockIdx.y * 16u + threadIdx.y;
  if (c >= static_cast<uint32_t>(num_columns) || r >= static_cast<uint32_t>(num_rows)) return;
  // In 64 bits, so that the index holds past 2^31 elements.
  const size_t i = static_cast<size_t>(r) * static_cast<uint32_t>(num_columns) + c;
  // |d| <= 65535 and |scale| <= 32768, so the product fits in 32 bits.
  const int32_t d = static_cast<int32_t>(input[i]) - static_cast<int32_t>(mean[c]);
  const int32_t p = d * static_cast<int32_t>(scale[c]);
  output[i] = static_cast<int16_t>(kr::saturate16(p >> 10));
}

}  // namespace

// 16-bit column standardisation
extern "C" KR_OMU_EXPORT kr_status_t taabe86(kr_omu_device*, kr_omu_operator*, kr_omu_op_standardize_args_t* args) {
  int16_t* output = nullptr;
  const int16_t* input = nullptr;
  const int16_t* mean = nullptr;
  const int16_t* scale = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input, args->input_offset, &input) || !kr::resolve(args->mean, 0, &mean) ||
      !kr::resolve(args->scale, 0, &scale)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // Grid ((num_columns + 15) / 16) x ((num_rows + 15) / 16): an empty shape gives the empty grid the
  // runtime refuses; a negative one is refused before launching.
  unsigned int column_blocks = 0;
  unsigned int row_blocks = 0;
  if (!kr::blocks_for(args->num_columns, 16, &column_blocks) || !kr::blocks_for(args->num_rows, 16, &row_blocks)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const cudaError_t launched = kr::launch_kernel(standardize_kernel, dim3(column_blocks, row_blocks), dim3(16, 16),
                                                 args->num_columns, args->num_rows, output, input, mean, scale);
  return kr::finish_launch(launched, kernel_failure);
}
