// Root-mean-square normalisation: y = (rstd x) gamma per row, rstd the fast reciprocal square root
// of the mean square plus epsilon.
#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int block_threads = 512;

// block x: one row; thread x: columns x, x + 512, ... of that row; the same reduction tree as the
// float layer normalisation.
__global__ void __launch_bounds__(block_threads)
    rms_norm_kernel(int32_t row_length, float epsilon, float* output, const float* input, const float* gamma) {
  const int32_t row = static_cast<int32_t>(blockIdx.x * static_cast<uint32_t>(row_length));
  const float* x = input + row;
  float* y = output + row;
  const uint32_t columns = row_length > 0 ? static_cast<uint32_t>(row_length) : 0u;
  const float sumsq = kr::block_all_sum<block_threads, float>([&] {
    float s = 0.0f;
    for (uint32_t j = threadIdx.x; j < columns; j += block_threads) s = __fmaf_rn(x[j], x[j], s);
    return s;
  });
  if (columns == 0) return;
  const float ms = sumsq / static_cast<float>(row_length);
  const float rstd = rsqrtf(ms + epsilon);
  for (uint32_t j = threadIdx.x; j < columns; j += block_threads) y[j] = (rstd * x[j]) * gamma[j];
}

}  // namespace

// root-mean-square normalisation
KR_OMU_EXPORT kr_status_t taabe167(kr_omu_device*, kr_omu_operator*, kr_omu_op_norm_args_t* args) {
  float* output = nullptr;
  const float* input = nullptr;
  const float* gamma = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input, args->input_offset, &input) || !kr::resolve(args->gamma, args->gamma_offset, &gamma)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // One block per row: no rows give the empty grid the runtime refuses; a negative count is refused.
  if (args->num_rows < 0) return KR_STATUS_INVALID_ARGUMENT;
  const cudaError_t launched =
      kr::launch_kernel(rms_norm_kernel, dim3(static_cast<unsigned int>(args->num_rows)), dim3(block_threads),
                        args->row_length, args->epsilon, output, input, gamma);
  return kr::finish_launch(launched, kernel_failure);
}
