// Byte inner transpose: transposes each of dim0 byte matrices of dim1 rows by dim2 columns,
// output[i][k][j] = input[i][j][k], copying the bytes bit for bit.
#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// block (x, y, z): matrix i = 2 bx + y, row j = 2 by + z; thread x: columns x, x + 32, ... Each
// warp reads 32 consecutive bytes of one input row per step and scatters them dim1 apart.
__global__ void __launch_bounds__(128) transpose_inner_kernel(int32_t dim0, int32_t dim1, int32_t dim2,
                                                              int8_t* output, const int8_t* input) {
  const int64_t i = blockIdx.x * 2 + threadIdx.y;
  const int64_t j = blockIdx.y * 2 + threadIdx.z;
  if (i >= dim0 || j >= dim1 || dim2 <= 0 || threadIdx.x >= static_cast<uint32_t>(dim2)) return;
  const int64_t source = (i * dim1 + j) * dim2;
  const int64_t target = i * dim2 * dim1 + j;
  for (uint32_t k = threadIdx.x; k < static_cast<uint32_t>(dim2); k += 32) output[target + k * int64_t{dim1}] = input[source + k];
}

}  // namespace

// byte inner transpose
KR_OMU_EXPORT kr_status_t taabe110(kr_omu_device*, kr_omu_operator*, kr_omu_op_transpose_args_t* args) {
  int8_t* output = nullptr;
  const int8_t* input = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // A negative matrix count would give a huge grid whose matrix indices wrap. A negative or zero
  // row count gives a grid the device refuses, a zero or negative column count threads that do nothing.
  if (args->dim0 < 0) return KR_STATUS_INVALID_ARGUMENT;
  // The kernel forms byte indices of dim0 x dim1 x dim2 in 64 bits; a shape of more bytes than any
  // address space holds would overflow them, so it is refused.
  if (args->dim1 > 0 && args->dim2 > 0 && args->dim0 > INT64_MAX / args->dim1 / args->dim2) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const dim3 grid((static_cast<uint32_t>(args->dim0) + 1u) >> 1, (static_cast<uint32_t>(args->dim1) + 1u) >> 1);
  const cudaError_t launched = kr::launch_kernel(transpose_inner_kernel, grid, dim3(32, 2, 2), args->dim0, args->dim1,
                                                 args->dim2, output, input);
  return kr::finish_launch(launched, kernel_failure);
}
