// The kernel shared by the float layer normalisation and the root-mean-square normalisation: one
// block of 512 threads per row, the row's sums by a block-wide reduction, then every thread
// normalises its columns. Each module defines a functor in its own anonymous namespace with
//   `sums`                                   float or kr::float_pair, what the row reduction adds
//   `static sums add(sums s, float x)`       one column into a thread's running sums
//   `static stats finish(sums, int32_t n, float epsilon)` the row statistics from the totals
//   `static float apply(stats, float x, uint32_t c, const float*...)` one output column
// and launches norm_rows_kernel<Op, const float*...> with its affine parameter addresses.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

#include "numerics/reductions.cuh"

namespace kr {

constexpr int norm_block_threads = 512;

// Columns a thread keeps in registers between the sums and the outputs: rows of up to
// 8 x 512 = 4096 floats are read once. Columns past those are read again for their outputs; each
// thread still adds its columns in the same order, so the split changes no result.
constexpr int norm_held = 8;

// block x: one row; thread x: columns x, x + 512, ... of that row. Each thread adds its columns
// in increasing order; the block then reduces in the fixed tree of block_all_sum. A row length of
// 0 or below writes nothing.
template <typename Op, typename... Affine>
__global__ void __launch_bounds__(norm_block_threads)
    norm_rows_kernel(int32_t row_length, float epsilon, float* output, const float* input, Affine... affine) {
  const uint32_t columns = row_length > 0 ? static_cast<uint32_t>(row_length) : 0u;
  // The row start in 64 bits, so that it holds past 2^31 elements; columns stay 32-bit.
  const size_t row = static_cast<size_t>(blockIdx.x) * columns;
  const float* x = input + row;
  float* y = output + row;
  const uint32_t first_streamed = threadIdx.x + norm_held * norm_block_threads;
  float v[norm_held];
  const typename Op::sums totals = block_all_sum<norm_block_threads, typename Op::sums>([&] {
#pragma unroll
    for (int i = 0; i < norm_held; ++i) {
      const uint32_t j = threadIdx.x + i * norm_block_threads;
      v[i] = j < columns ? x[j] : 0.0f;
    }
    typename Op::sums s{};
#pragma unroll
    for (int i = 0; i < norm_held; ++i) {
      if (threadIdx.x + i * norm_block_threads < columns) s = Op::add(s, v[i]);
    }
    for (uint32_t j = first_streamed; j < columns; j += norm_block_threads) s = Op::add(s, x[j]);
    return s;
  });
  if (columns == 0) return;
  const auto stats = Op::finish(totals, row_length, epsilon);
#pragma unroll
  for (int i = 0; i < norm_held; ++i) {
    const uint32_t j = threadIdx.x + i * norm_block_threads;
    if (j < columns) y[j] = Op::apply(stats, v[i], j, affine...);
  }
  for (uint32_t j = first_streamed; j < columns; j += norm_block_threads) y[j] = Op::apply(stats, x[j], j, affine...);
}

}  // namespace kr
