// Kernels whose memory-access figures are known, for the profiler's own tests (profile build).
#pragma once

#include <cuda_runtime.h>

namespace profile_kernels {

// Each launches `blocks` blocks of 256 threads (8 x 8 for rows_8x8); `flag` is written only when
// a value read equals -1, which the tests never store: those kernels make no stores that count.
cudaError_t copy_floats(int blocks, float* out, const float* in, cudaStream_t stream = 0);
cudaError_t copy_float4s(int blocks, float4* out, const float4* in);
cudaError_t store_float2s(int blocks, float2* out);  // out[i] = make_float2(...)
cudaError_t strided_read(int blocks, const float* in, float* flag, cudaStream_t stream = 0);  // in[32 * i]
cudaError_t broadcast_read(int blocks, const float* in, float* flag);  // in[0]
cudaError_t rows_8x8(int blocks, const float* in, float* flag);  // thread (x, y) reads row x, column y
cudaError_t shared_column(int blocks, const float* in, float* flag);  // tile[32 * t]: 32-way
cudaError_t shared_row(int blocks, const float* in, float* flag);  // tile[t] and tile[0]: 1-way
cudaError_t shared_float4_row(int blocks, float4* out, const float4* in);  // 16-byte tile[t]: 1-way
cudaError_t atomic_one_address(int blocks, unsigned* counter);  // every thread adds to counter[0]

// out[i] = dense[i] + strided[stride * i]; `out` reaches the kernel inside a structure argument
// (argument 1), `dense` and `strided` are arguments 2 and 3.
struct output_view {
  float* data;
};
cudaError_t dense_plus_strided(int blocks, int stride, float* out, const float* dense, const float* strided);

}  // namespace profile_kernels
