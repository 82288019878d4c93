// Float layer normalisation: y = gamma x ((x - mean) rstd) + beta per row, with the single-pass
// variance meansq - mean^2 (not clamped) and the fast reciprocal square root.
#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int block_threads = 512;

// block x: one row; thread x: columns x, x + 512, ... of that row. Sums run in a fixed tree:
// per-thread column order, then butterflies within warps, then over the warp slots.
__global__ void __launch_bounds__(block_threads)
    layer_norm_kernel(int32_t row_length, float epsilon, float* output, const float* input, const float* gamma,
                      const float* beta) {
  const int32_t row = static_cast<int32_t>(blockIdx.x * static_cast<uint32_t>(row_length));
  const float* x = input + row;
  float* y = output + row;
  const uint32_t columns = row_length > 0 ? static_cast<uint32_t>(row_length) : 0u;
  const kr::float_pair totals = kr::block_all_sum<block_threads, kr::float_pair>([&] {
    kr::float_pair s{0.0f, 0.0f};
    for (uint32_t j = threadIdx.x; j < columns; j += block_threads) {
      s.a += x[j];
      s.b = __fmaf_rn(x[j], x[j], s.b);
    }
    return s;
  });
  if (columns == 0) return;
  const float n = static_cast<float>(row_length);
  const float mean = totals.a / n;
  const float meansq = totals.b / n;
  const float var = meansq - mean * mean;
  const float rstd = rsqrtf(var + epsilon);
  for (uint32_t j = threadIdx.x; j < columns; j += block_threads) {
    y[j] = __fmaf_rn(gamma[j], rstd * (x[j] - mean), beta[j]);
  }
}

}  // namespace

// float layer normalisation
KR_OMU_EXPORT kr_status_t taabe120(kr_omu_device*, kr_omu_operator*, kr_omu_op_layer_norm_args_t* args) {
  float* output = nullptr;
  const float* input = nullptr;
  const float* gamma = nullptr;
  const float* beta = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input, args->input_offset, &input) || !kr::resolve(args->gamma, args->gamma_offset, &gamma) ||
      !kr::resolve(args->beta, args->beta_offset, &beta)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // One block per row: no rows give the empty grid the runtime refuses; a negative count is refused.
  if (args->num_rows < 0) return KR_STATUS_INVALID_ARGUMENT;
  const cudaError_t launched =
      kr::launch_kernel(layer_norm_kernel, dim3(static_cast<unsigned int>(args->num_rows)), dim3(block_threads),
                        args->row_length, args->epsilon, output, input, gamma, beta);
  return kr::finish_launch(launched, kernel_failure);
}
