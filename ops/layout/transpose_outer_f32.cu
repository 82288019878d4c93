// Float outer transpose: swaps the two outer axes of a dim1 x dim0 x dim2 float array, moving each
// innermost row of dim2 floats as a unit: output[i][j][k] = input[j][i][k].
#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// The block is one innermost row, so dim2 can be at most this many threads.
constexpr int max_block = 1024;

// block x: i, block y: j; thread x: k. Consecutive threads touch consecutive floats on both sides.
__global__ void __launch_bounds__(max_block) transpose_outer_kernel(int32_t dim0, int32_t dim1, int32_t dim2,
                                                                    float* output, const float* input) {
  const int64_t i = blockIdx.x, j = blockIdx.y, k = threadIdx.x;
  if (i >= dim0 || j >= dim1 || k >= dim2) return;
  output[(i * dim1 + j) * dim2 + k] = input[(j * dim0 + i) * dim2 + k];
}

}  // namespace

// float outer transpose
KR_OMU_EXPORT kr_status_t taabe116(kr_omu_device*, kr_omu_operator*, kr_omu_op_transpose_args_t* args) {
  float* output = nullptr;
  const float* input = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // Grid and block are the shape numbers as given: 0, a negative number or one past the device's
  // limits fails the launch and nothing runs.
  const dim3 grid(static_cast<uint32_t>(args->dim0), static_cast<uint32_t>(args->dim1));
  const dim3 block(static_cast<uint32_t>(args->dim2));
  const cudaError_t launched =
      kr::launch_kernel(transpose_outer_kernel, grid, block, args->dim0, args->dim1, args->dim2, output, input);
  return kr::finish_launch(launched, kernel_failure);
}
