// Float row concatenation: output row r is row r of a followed by row r of b. Rows whose length is
// a multiple of 4 over 16-byte aligned addresses move as float4; otherwise element by element.
// Both paths write the same bytes.
#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// block x: two rows; thread (x, y): row 2 blockIdx.x + y, columns x, x + 32, ... of its L elements
// (T is float, or float4 with L a quarter of the row length). A negative L writes nothing.
template <typename T>
__global__ void __launch_bounds__(64)
    concat_rows_kernel(int32_t num_rows, int32_t length, T* output, const T* a, const T* b) {
  const uint32_t r = blockIdx.x * 2u + threadIdx.y;
  if (r >= static_cast<uint32_t>(num_rows) || length <= 0) return;
  const uint32_t n = static_cast<uint32_t>(length);
  // Row starts in 64 bits, so that they hold past 2^31 elements; within a row the column index
  // stays unsigned 32-bit (n + c < 2^32).
  const size_t in_row = static_cast<size_t>(r) * n;
  T* y = output + 2u * in_row;
  const T* x_a = a + in_row;
  const T* x_b = b + in_row;
  for (uint32_t c = threadIdx.x; c < n; c += 32u) {
    y[c] = x_a[c];
    y[n + c] = x_b[c];
  }
}

}  // namespace

// float row concatenation
KR_OMU_EXPORT kr_status_t taabe24(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t* args) {
  float* output = nullptr;
  const float* a = nullptr;
  const float* b = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->input_a, args->input_a_offset, &a) || !kr::resolve(args->input_b, args->input_b_offset, &b)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // Grid (num_rows + 1) / 2: 0 rows give the empty grid the runtime refuses; a negative count is
  // refused, since its grid would be huge and its row indices would wrap.
  unsigned int blocks = 0;
  if (!kr::blocks_for(args->num_rows, 2, &blocks)) return KR_STATUS_INVALID_ARGUMENT;
  const int32_t row_length = args->row_length;
  cudaError_t launched;
  if (row_length % 4 == 0 && kr::all_aligned(16, output, a, b)) {
    launched = kr::launch_kernel(concat_rows_kernel<float4>, dim3(blocks), dim3(32, 2), args->num_rows, row_length / 4,
                                 reinterpret_cast<float4*>(output), reinterpret_cast<const float4*>(a),
                                 reinterpret_cast<const float4*>(b));
  } else {
    launched = kr::launch_kernel(concat_rows_kernel<float>, dim3(blocks), dim3(32, 2), args->num_rows, row_length,
                                 output, a, b);
  }
  return kr::finish_launch(launched, kernel_failure);
}
