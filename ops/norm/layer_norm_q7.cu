// Layer normalisation with Q7 gamma and beta: a stored scale byte g is the factor 1 + g/128, a
// shift byte b is b/128. Every lane of a row's warp computes the statistics itself in column
// order with correctly rounded operations, so all lanes hold the same statistics without a reduction.
#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// 32-column chunks of its row that a lane keeps in registers (one column each) between the
// statistics and the outputs: rows of up to 32 x held floats are read once, later chunks are read
// again for their outputs. Short rows take the narrow form, whose fewer registers leave room for
// more resident warps; rows of up to 4096 floats are read once by the wide one.
constexpr int held_short = 8;
constexpr int held_long = 128;

// block x: two rows; thread (x, y): row 2 blockIdx.x + y, columns x, x + 32, ... of that row.
// The row is read in coalesced chunks of 32 columns, one per lane, and every lane takes the
// chunk's columns in order from their lanes, so each lane adds the whole row in column order.
template <int held>
__global__ void __launch_bounds__(64)
    layer_norm_q7_kernel(int32_t row_length, float* output, const float* input, const int8_t* gamma,
                         const int8_t* beta, float epsilon, int32_t num_rows) {
  const uint32_t r = blockIdx.x * blockDim.y + threadIdx.y;
  // Whole warps leave here together: a warp is one row.
  if (r >= static_cast<uint32_t>(num_rows) || row_length <= 0) return;
  const uint32_t columns = static_cast<uint32_t>(row_length);
  // The row start in 64 bits, so that it holds past 2^31 elements; columns stay 32-bit.
  const size_t row = static_cast<size_t>(r) * columns;
  const float* x = input + row;
  float* y = output + row;
  const uint32_t lane = threadIdx.x;
  float v[held];
#pragma unroll
  for (int i = 0; i < held; ++i) {
    const uint32_t j = lane + 32u * i;
    v[i] = j < columns ? x[j] : 0.0f;
  }
  float sum = 0.0f;
  float sumsq = 0.0f;
  // Columns base .. base + 31 in order, column base + i from lane i's `mine`. The wide form
  // unrolls each chunk's exchange only partly, so that its 128 chunks stay a modest amount of code.
  const auto add_chunk = [&](uint32_t base, float mine) {
#pragma unroll(held > held_short ? 4 : 32)
    for (int i = 0; i < 32; ++i) {
      const float xi = __shfl_sync(kr::full_warp_mask, mine, i);
      if (base + static_cast<uint32_t>(i) < columns) {
        sum += xi;
        sumsq = __fmaf_rn(xi, xi, sumsq);
      }
    }
  };
#pragma unroll
  for (int i = 0; i < held; ++i) {
    if (32u * i < columns) add_chunk(32u * i, v[i]);
  }
  for (uint32_t base = 32u * held; base < columns; base += 32u) {
    const uint32_t j = base + lane;
    add_chunk(base, j < columns ? x[j] : 0.0f);
  }
  const float inv = 1.0f / static_cast<float>(row_length);
  const float mean = inv * sum;
  const float meansq = inv * sumsq;
  const float var = meansq - mean * mean;
  const float rstd = 1.0f / sqrtf(var + epsilon);
  // g / 128 + 1 is exact; the shift b / 128 is added with the scaled value rounded once.
  const auto out = [&](uint32_t j, float xj) {
    const float normalised = rstd * (xj - mean);
    const float factor = __fmaf_rn(static_cast<float>(gamma[j]), 0.0078125f, 1.0f);
    y[j] = __fmaf_rn(static_cast<float>(beta[j]), 0.0078125f, normalised * factor);
  };
#pragma unroll
  for (int i = 0; i < held; ++i) {
    const uint32_t j = lane + 32u * i;
    if (j < columns) out(j, v[i]);
  }
  for (uint32_t j = lane + 32u * held; j < columns; j += 32u) out(j, x[j]);
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
  const auto kernel = args->row_length <= 32 * held_short ? layer_norm_q7_kernel<held_short>
                                                         : layer_norm_q7_kernel<held_long>;
  const cudaError_t launched = kr::launch_kernel(kernel, dim3(blocks), dim3(32, 2), args->row_length,
                                                 output, input, gamma, beta, args->epsilon, args->num_rows);
  return kr::finish_launch(launched, kernel_failure);
}
