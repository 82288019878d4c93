// A minimal kernel module in the library's style: a constant table, static shared memory, block
// barriers and a warp shuffle, launched through cudaLaunchKernel. nvcc and the host compiler both
// build it; the emulated build runs it in the emulator's tests.
#include "sample_module.h"

static __constant__ float sample_weights[4] = {1.0f, 2.0f, 4.0f, 8.0f};

// block x: row, thread x: column (64 threads, two warps).
static __global__ void __launch_bounds__(64) weighted_row_sums(int width, float* out, const float* in) {
  __shared__ float tile[64];
  __shared__ float warp_sums[2];
  const int t = static_cast<int>(threadIdx.x);
  const float* row = in + static_cast<size_t>(blockIdx.x) * static_cast<size_t>(width);
  tile[t] = t < width ? row[t] * sample_weights[t % 4] : 0.0f;
  __syncthreads();
  // Each thread continues with another thread's product, which only the barrier makes visible.
  float v = tile[63 - t];
  for (int offset = 16; offset > 0; offset >>= 1) v += __shfl_xor_sync(0xffffffffu, v, offset);
  if ((t & 31) == 0) warp_sums[t >> 5] = v;
  __syncthreads();
  if (t == 0) out[blockIdx.x] = warp_sums[0] + warp_sums[1];
}

cudaError_t sample_weighted_row_sums(int rows, int width, float* out, const float* in) {
  void* args[] = {&width, &out, &in};
  return cudaLaunchKernel(weighted_row_sums, dim3(static_cast<unsigned>(rows)), dim3(64), args, 0,
                          0);
}
