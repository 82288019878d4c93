// Root-mean-square normalisation: y = (rstd x) gamma per row, rstd the fast reciprocal square root
// of the mean square plus epsilon.
#include "numerics/fixed_point.cuh"
#include "ops/norm/norm_rows.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct rms_norm_op {
  using sums = float;  // sum of squares, each square fused into the sum
  using stats = float;  // rstd
  static __device__ __forceinline__ sums add(sums s, float x) { return __fmaf_rn(x, x, s); }
  static __device__ __forceinline__ stats finish(sums sumsq, int32_t n, float epsilon) {
    return rsqrtf(sumsq / static_cast<float>(n) + epsilon);
  }
  static __device__ __forceinline__ float apply(stats rstd, float x, uint32_t c, const float* gamma) {
    return (rstd * x) * gamma[c];
  }
};

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
      kr::launch_kernel(kr::norm_rows_kernel<rms_norm_op, const float*>, dim3(static_cast<unsigned int>(args->num_rows)),
                        dim3(kr::norm_block_threads), args->row_length, args->epsilon, output, input, gamma);
  return kr::finish_launch(launched, kernel_failure);
}
