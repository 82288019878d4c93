// Float layer normalisation: y = gamma x ((x - mean) rstd) + beta per row, with the single-pass
// variance meansq - mean^2 (not clamped) and the fast reciprocal square root.
#include "numerics/fixed_point.cuh"
#include "ops/norm/norm_rows.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct layer_norm_op {
  using sums = kr::float_pair;  // sum, and sum of squares (each square fused into the sum)
  struct stats {
    float mean;
    float rstd;
  };
  static __device__ __forceinline__ sums add(sums s, float x) { return sums{s.a + x, __fmaf_rn(x, x, s.b)}; }
  static __device__ __forceinline__ stats finish(sums totals, int32_t n, float epsilon) {
    const float mean = totals.a / static_cast<float>(n);
    const float meansq = totals.b / static_cast<float>(n);
    const float var = meansq - mean * mean;
    return stats{mean, rsqrtf(var + epsilon)};
  }
  static __device__ __forceinline__ float apply(stats k, float x, uint32_t c, const float* gamma, const float* beta) {
    return __fmaf_rn(gamma[c], k.rstd * (x - k.mean), beta[c]);
  }
};

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
  const cudaError_t launched = kr::launch_kernel(
      kr::norm_rows_kernel<layer_norm_op, const float*, const float*>, dim3(static_cast<unsigned int>(args->num_rows)),
      dim3(kr::norm_block_threads), args->row_length, args->epsilon, output, input, gamma, beta);
  return kr::finish_launch(launched, kernel_failure);
}
