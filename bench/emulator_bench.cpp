// Throughput of the CUDA emulator in emulated threads per second, for a barrier-free elementwise
// kernel and for a kernel with two block barriers and a five-step warp-shuffle reduction. A plain
// host loop over the same elementwise work runs beside them as the reference point.
#include <benchmark/benchmark.h>
#include <cuda_runtime.h>

#include <cstdlib>
#include <vector>

#include "kr_emu/control.h"

namespace {

constexpr int block_size = 256;

// block x: chunk of 256 elements, thread x: element.
__global__ void scale_by_two(int n, float* y, const float* x) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i < n) y[i] = x[i] * 2.0f;
}

// block x: chunk of 256 elements, thread x: element. Each thread takes its mirror's value from
// shared memory, sums it over its warp and reads the neighbouring warp's sum back through shared
// memory (each barrier separates a slot's write from another thread's read of it).
__global__ void mirror_warp_sums(int n, float* y, const float* x) {
  __shared__ float tile[block_size];
  const int t = static_cast<int>(threadIdx.x);
  const int i = static_cast<int>(blockIdx.x) * block_size + t;
  tile[t] = i < n ? x[i] : 0.0f;
  __syncthreads();
  float v = tile[block_size - 1 - t];
  for (int offset = 16; offset > 0; offset >>= 1) v += __shfl_xor_sync(0xffffffffu, v, offset);
  __syncthreads();
  tile[t] = v;
  __syncthreads();
  if (i < n) y[i] = tile[t ^ 32];
}

struct device_buffers {
  float* x = nullptr;
  float* y = nullptr;
  explicit device_buffers(int n) {
    std::vector<float> host(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) host[static_cast<std::size_t>(i)] = static_cast<float>(i % 97);
    if (cudaMalloc(&x, host.size() * sizeof(float)) != cudaSuccess ||
        cudaMalloc(&y, host.size() * sizeof(float)) != cudaSuccess ||
        cudaMemcpy(x, host.data(), host.size() * sizeof(float), cudaMemcpyHostToDevice) !=
            cudaSuccess)
      std::abort();
  }
  ~device_buffers() {
    cudaFree(x);
    cudaFree(y);
  }
};

void run_kernel(benchmark::State& state, void (*kernel)(int, float*, const float*)) {
  kr_emu::reset();
  int n = static_cast<int>(state.range(0));
  device_buffers buffers(n);
  float* y = buffers.y;
  const float* x = buffers.x;
  void* args[] = {&n, &y, &x};
  const dim3 grid(static_cast<unsigned>((n + block_size - 1) / block_size));
  for (auto _ : state) {
    if (cudaLaunchKernel(kernel, grid, dim3(block_size), args, 0, 0) != cudaSuccess ||
        cudaGetLastError() != cudaSuccess) {
      state.SkipWithError(kr_emu::last_fault_message());
      break;
    }
    benchmark::ClobberMemory();
  }
  state.counters["threads_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * n, benchmark::Counter::kIsRate);
}

void elementwise(benchmark::State& state) { run_kernel(state, scale_by_two); }
void barriers_and_shuffles(benchmark::State& state) { run_kernel(state, mirror_warp_sums); }

void host_loop(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<float> x(static_cast<std::size_t>(n), 3.0f), y(static_cast<std::size_t>(n));
  for (auto _ : state) {
    for (int i = 0; i < n; ++i)
      y[static_cast<std::size_t>(i)] = x[static_cast<std::size_t>(i)] * 2.0f;
    benchmark::DoNotOptimize(y.data());
    benchmark::ClobberMemory();
  }
  state.counters["threads_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * n, benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(elementwise)->Arg(1 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(barriers_and_shuffles)->Arg(1 << 18)->Unit(benchmark::kMillisecond);
BENCHMARK(host_loop)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
