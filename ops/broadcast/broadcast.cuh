// The generic kernel of the six broadcast arithmetic entries (a matrix with a row or column vector)
// and their entry. Each module defines a functor in its own anonymous namespace with the element
// types `out_t`, `a_t`, `b_t`, `by_column` (whether b is indexed by the row instead of the column)
// and `static __device__ void apply(out_t* y, a_t a, b_t b)`, and forwards its record to
// run_broadcast.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "runtime/launch.h"

namespace kr {

// block x: 8 rows, block y: 8 columns; thread (x, y): element (row, column). Row and column are
// unsigned, so no thread of the last block wraps past a shape near 2^31 - 1, and the element index
// r x row_length + c is formed in 64 bits, so that it holds past 2^31 elements. a[r, c] is read
// before out[r, c] is written, so the output may be input_a.
template <typename Op>
__global__ void __launch_bounds__(64)
    broadcast_kernel(int32_t num_rows, int32_t row_length, typename Op::out_t* output,
                     const typename Op::a_t* input_a, const typename Op::b_t* input_b) {
  const uint32_t r = blockIdx.x * 8u + threadIdx.x;
  const uint32_t c = blockIdx.y * 8u + threadIdx.y;
  if (r >= static_cast<uint32_t>(num_rows) || c >= static_cast<uint32_t>(row_length)) return;
  const size_t i = static_cast<size_t>(r) * static_cast<uint32_t>(row_length) + c;
  Op::apply(output + i, input_a[i], input_b[Op::by_column ? r : c]);
}

// Block 8 x 8, grid ((num_rows + 7) / 8) x ((row_length + 7) / 8) in unsigned arithmetic. An empty
// shape gives the empty grid the runtime refuses; a negative one is refused before launching,
// since its grid would be huge and its indices would wrap.
template <typename Op>
kr_status_t run_broadcast(const kr_omu_op_pairwise_broadcast_args_t* args, const kr_error_record& failure) {
  typename Op::out_t* output = nullptr;
  const typename Op::a_t* a = nullptr;
  const typename Op::b_t* b = nullptr;
  if (args == nullptr || !resolve(args->output, args->output_offset, &output) ||
      !resolve(args->input_a, args->input_a_offset, &a) || !resolve(args->input_b, args->input_b_offset, &b)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  unsigned int row_blocks = 0;
  unsigned int column_blocks = 0;
  if (!blocks_for(args->num_rows, 8, &row_blocks) || !blocks_for(args->row_length, 8, &column_blocks)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const cudaError_t launched = launch_kernel(broadcast_kernel<Op>, dim3(row_blocks, column_blocks), dim3(8, 8),
                                             args->num_rows, args->row_length, output, a, b);
  return finish_launch(launched, failure);
}

}  // namespace kr
