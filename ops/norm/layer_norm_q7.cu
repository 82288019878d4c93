// Layer normalisation with Q7 gamma and beta: a stored scale byte g is the factor 1 + g/128, a
// shift byte b is b/128. Every lane of a row's warp computes the statistics itself in column
// order with correctly rounded operations, so no exchange between lanes is needed.
#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// block x: two rows; thread (x, y): row 2 blockIdx.x + y, columns x, x + 32, ... of that row
__global__ void __launch_bounds__(64)
    layer_norm_q7_kernel(int32_t row_length, float* output, const float* input, const int8_t* gamma,
                         const int8_t* beta, float epsilon, int32_t num_rows) {
  const uint32_t r = blockIdx.x * blockDim.y + threadIdx.y;
  if (r >= static_cast<uint32_t>(num_rows) || row_length <= 0) return;
  const uint32_t columns = static_cast<uint32_t>(row_length);
  // The row start in 64 bits, so that it holds past 2^31 elements; columns stay 32-bit.
  const size_t row = static_cast<size_t>(r) * columns;
  const float* x = input + row;
  float* y = output + row;
  float sum = 0.0f;
  float sumsq = 0.0f;
  for (uint32_t j = 0; j < columns; ++j) {
    sum += x[j];
    sumsq = __fmaf_rn(x[j], x[j], sumsq);
  }
  const float inv = 1.0f / static_cast<float>(row_length);
  const float mean = inv * sum;
  const float meansq = inv * sumsq;
  const float var = meansq - mean * mean;
  const float rstd = 1.0f / sqrtf(var + epsilon);
  for (uint32_t j = threadIdx.x; j < columns; j += 32u) {
    const float normalised = rstd * (x[j] - mean);
    // g / 128 + 1 is exact; the shift b / 128 is added with the scaled value rounded once.
    const float factor = __fmaf_rn(static_cast<float>(gamma[j]), 0.0078125f, 1.0f);
    y[j] = __fmaf_rn(static_cast<float>(beta[j]), 0.0078125f, normalised * factor);
  }
}

}  // namespace

// layer normalisation, Q7 gamma and beta
KR_OMU_EXPORT kr_status_t taabe230(kr_omu_device*, kr_omu_operator*, kr_omu_op_layer_norm_args_t* args) {
  float* output = nullptr;
  const float* input = nullptr;
  const int8_t* gamma = nullptr;
  const int8_t* beta = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input, args->input_offset, &input) || !kr::resolve(args->gamma, args->gamma_offset, &gamma) ||
      !kr::resolve(args->beta, args->beta_offset, &beta)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // Grid (num_rows + 1) / 2: no rows give the empty grid the runtime refuses; a negative count is
  // refused, since its grid would be huge and its row indices would wrap.
  unsigned int blocks = 0;
  if (!kr::blocks_for(args->num_rows, 2, &blocks)) return KR_STATUS_INVALID_ARGUMENT;
  const cudaError_t launched = kr::launch_kernel(layer_norm_q7_kernel, dim3(blocks), dim3(32, 2), args->row_length,
                                                 output, input, gamma, beta, args->epsilon, args->num_rows);
  return kr::finish_launch(launched, kernel_failure);
}
