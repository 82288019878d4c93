// Kernels whose memory-access figures are known, for the profiler's own tests (profile build).
#include "profile_kernels.h"

namespace profile_kernels {
namespace {

constexpr int threads = 256;

// block x: 256 consecutive elements, thread x: one element.
__global__ void __launch_bounds__(256) copy_floats_kernel(float* out, const float* in) {
  const int i = static_cast<int>(blockIdx.x) * threads + static_cast<int>(threadIdx.x);
  out[i] = in[i];
}

// block x: 256 consecutive float4s, thread x: one float4.
__global__ void __launch_bounds__(256) copy_float4s_kernel(float4* out, const float4* in) {
  const int i = static_cast<int>(blockIdx.x) * threads + static_cast<int>(threadIdx.x);
  out[i] = in[i];
}

// block x: 256 consecutive float2s, thread x: one, built from two values computed apart (the host
// compiler would store them one by one, the GPU stores the pair at once).
__global__ void __launch_bounds__(256) store_float2s_kernel(float2* out) {
  const int i = static_cast<int>(blockIdx.x) * threads + static_cast<int>(threadIdx.x);
  out[i] = make_float2(static_cast<float>(i), static_cast<float>(i) * 0.5f);
}

// block x: 256 elements 128 bytes apart, thread x: one of them.
__global__ void __launch_bounds__(256) strided_read_kernel(const float* in, float* flag) {
  const int i = static_cast<int>(blockIdx.x) * threads + static_cast<int>(threadIdx.x);
  if (in[32 * i] == -1.0f) *flag = 1.0f;
}

// every thread reads the same element.
__global__ void __launch_bounds__(256) broadcast_read_kernel(const float* in, float* flag) {
  if (in[0] == -1.0f) *flag = 1.0f;
}

// block: an 8 x 8 tile of a matrix of rows of 64 floats; thread x: row, thread y: column.
__global__ void __launch_bounds__(64) rows_8x8_kernel(const float* in, float* flag) {
  const int row = static_cast<int>(blockIdx.x) * 8 + static_cast<int>(threadIdx.x);
  if (in[row * 64 + static_cast<int>(threadIdx.y)] == -1.0f) *flag = 1.0f;
}

// thread x writes and reads column 0 of its own row of a 256 x 32 tile: every lane in bank 0.
__global__ void __launch_bounds__(256) shared_column_kernel(const float* in, float* flag) {
  __shared__ float tile[threads * 32];
  const int t = static_cast<int>(threadIdx.x);
  tile[32 * t] = in[static_cast<int>(blockIdx.x) * threads + t];
  __syncthreads();
  if (tile[32 * (threads - 1 - t)] == -1.0f) *flag = 1.0f;
}

// thread x writes and reads its own word, then every thread reads word `first` (0: a run-time
// index, since the instrumentation does not see a constant one).
__global__ void __launch_bounds__(256) shared_row_kernel(const float* in, float* flag, int first) {
  __shared__ float tile[threads];
  const int t = static_cast<int>(threadIdx.x);
  tile[t] = in[static_cast<int>(blockIdx.x) * threads + t];
  __syncthreads();
  if (tile[threads - 1 - t] == -1.0f || tile[first] == -1.0f) *flag = 1.0f;
}

// block x: 256 float4s, reversed through shared memory; thread x: one float4.
__global__ void __launch_bounds__(256) shared_float4_row_kernel(float4* out, const float4* in) {
  __shared__ float4 tile[threads];
  const int t = static_cast<int>(threadIdx.x);
  const int i = static_cast<int>(blockIdx.x) * threads + t;
  tile[t] = in[i];
  __syncthreads();
  out[i] = tile[threads - 1 - t];
}

// every thread adds 1 to the same counter.
__global__ void __launch_bounds__(256) atomic_one_address_kernel(unsigned* counter) {
  atomicAdd(counter, 1u);
}

// block x: 256 outputs, thread x: one; out[i] = dense[i] + strided[stride * i], the output reached
// through a structure argument.
__global__ void __launch_bounds__(256) dense_plus_strided_kernel(int stride, output_view out, const float* dense,
                                                                 const float* strided) {
  const int i = static_cast<int>(blockIdx.x) * threads + static_cast<int>(threadIdx.x);
  out.data[i] = dense[i] + strided[stride * i];
}

template <class... P>
cudaError_t launch_on(cudaStream_t stream, void (*kernel)(P...), int blocks, dim3 block, P... args) {
  void* params[] = {static_cast<void*>(&args)...};
  return cudaLaunchKernel(kernel, dim3(static_cast<unsigned>(blocks)), block, params, 0, stream);
}

template <class... P>
cudaError_t launch(void (*kernel)(P...), int blocks, dim3 block, P... args) {
  return launch_on(0, kernel, blocks, block, args...);
}

}  // namespace

cudaError_t copy_floats(int blocks, float* out, const float* in, cudaStream_t stream) {
  return launch_on(stream, copy_floats_kernel, blocks, dim3(threads), out, in);
}
cudaError_t store_float2s(int blocks, float2* out) { return launch(store_float2s_kernel, blocks, dim3(threads), out); }

cudaError_t copy_float4s(int blocks, float4* out, const float4* in) {
  return launch(copy_float4s_kernel, blocks, dim3(threads), out, in);
}
cudaError_t strided_read(int blocks, const float* in, float* flag, cudaStream_t stream) {
  return launch_on(stream, strided_read_kernel, blocks, dim3(threads), in, flag);
}
cudaError_t broadcast_read(int blocks, const float* in, float* flag) {
  return launch(broadcast_read_kernel, blocks, dim3(threads), in, flag);
}
cudaError_t rows_8x8(int blocks, const float* in, float* flag) {
  return launch(rows_8x8_kernel, blocks, dim3(8, 8), in, flag);
}
cudaError_t shared_column(int blocks, const float* in, float* flag) {
  return launch(shared_column_kernel, blocks, dim3(threads), in, flag);
}
cudaError_t shared_row(int blocks, const float* in, float* flag) {
  return launch(shared_row_kernel, blocks, dim3(threads), in, flag, 0);
}
cudaError_t shared_float4_row(int blocks, float4* out, const float4* in) {
  return launch(shared_float4_row_kernel, blocks, dim3(threads), out, in);
}
cudaError_t dense_plus_strided(int blocks, int stride, float* out, const float* dense, const float* strided) {
  return launch(dense_plus_strided_kernel, blocks, dim3(threads), stride, output_view{out}, dense, strided);
}
cudaError_t atomic_one_address(int blocks, unsigned* counter) {
  return launch(atomic_one_address_kernel, blocks, dim3(threads), counter);
}

}  // namespace profile_kernels
