// Kernel launches: configuration checks, the built-in variables, argument passing, schedule
// orders and sticky faults.
#include <algorithm>
#include <numeric>
#include <stdexcept>

#include "emulator_test.h"

namespace {

using emu_test::device_array;
using emu_test::EmulatorTest;
using emu_test::expect_fault;
using emu_test::launch;

// One thread per record: where it ran and what it saw.
__global__ void record_indices(uint3* where, dim3* shape) {
  const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
  const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  const unsigned i = block * blockDim.x * blockDim.y * blockDim.z + thread;
  where[2 * i] = blockIdx;
  where[2 * i + 1] = threadIdx;
  shape[2 * i] = gridDim;
  shape[2 * i + 1] = blockDim;
}

TEST_F(EmulatorTest, EveryThreadRunsOnceWithItsIndices) {
  const dim3 grid(2, 3, 2), block(4, 2, 3);
  const unsigned n = 12 * 24;
  for (std::uint64_t seed : {0u, 1u, 99u}) {
    kr_emu::set_schedule_seed(seed);
    device_array<uint3> where(2 * n);
    device_array<dim3> shape(2 * n);
    ASSERT_EQ(launch(record_indices, grid, block, where.get(), shape.get()), cudaSuccess);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<uint3> w = where.read();
    const std::vector<dim3> s = shape.read();
    unsigned i = 0;
    for (unsigned bz = 0; bz < 2; ++bz)
      for (unsigned by = 0; by < 3; ++by)
        for (unsigned bx = 0; bx < 2; ++bx)
          for (unsigned tz = 0; tz < 3; ++tz)
            for (unsigned ty = 0; ty < 2; ++ty)
              for (unsigned tx = 0; tx < 4; ++tx, ++i) {
                ASSERT_EQ(w[2 * i].x, bx);
                ASSERT_EQ(w[2 * i].y, by);
                ASSERT_EQ(w[2 * i].z, bz);
                ASSERT_EQ(w[2 * i + 1].x, tx);
                ASSERT_EQ(w[2 * i + 1].y, ty);
                ASSERT_EQ(w[2 * i + 1].z, tz);
                ASSERT_EQ(s[2 * i].y, 3u);
                ASSERT_EQ(s[2 * i + 1].z, 3u);
              }
  }
}

__global__ void count_runs(int* runs) { atomicAdd(runs, 1); }

TEST_F(EmulatorTest, InvalidConfigurationsRunNothing) {
  struct {
    dim3 grid, block;
    cudaError_t expected;
  } const cases[] = {
      {dim3(0), dim3(1), cudaErrorInvalidConfiguration},
      {dim3(1, 0), dim3(1), cudaErrorInvalidConfiguration},
      {dim3(1, 1, 0), dim3(1), cudaErrorInvalidConfiguration},
      {dim3(1), dim3(0), cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1, 0), cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1, 1, 0), cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1025), cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1, 1025), cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1, 1, 65), cudaErrorInvalidConfiguration},
      {dim3(1), dim3(32, 32, 2), cudaErrorInvalidConfiguration},
      {dim3(1), dim3(33, 32), cudaErrorInvalidConfiguration},
      {dim3(2147483648u), dim3(1), cudaErrorInvalidConfiguration},
      {dim3(1, 65536), dim3(1), cudaErrorInvalidConfiguration},
      {dim3(1, 1, 65536), dim3(1), cudaErrorInvalidConfiguration},
      {dim3(1), dim3(1024), cudaSuccess},
      {dim3(1), dim3(1, 1024), cudaSuccess},
      {dim3(1), dim3(16, 1, 64), cudaSuccess},
      {dim3(3, 2, 2), dim3(32, 32), cudaSuccess},
  };
  device_array<int> runs(std::vector<int>{0});
  int expected_runs = 0;
  for (const auto& c : cases) {
    EXPECT_EQ(launch(count_runs, c.grid, c.block, runs.get()), c.expected)
        << c.grid.x << "," << c.grid.y << "," << c.grid.z << " x " << c.block.x << "," << c.block.y
        << "," << c.block.z;
    EXPECT_EQ(cudaGetLastError(), c.expected);
    if (c.expected == cudaSuccess)
      expected_runs +=
          static_cast<int>(c.grid.x * c.grid.y * c.grid.z * c.block.x * c.block.y * c.block.z);
  }
  EXPECT_EQ(runs.read()[0], expected_runs);
}

TEST_F(EmulatorTest, LimitsComeFromTheCurrentDevicesProperties) {
  device_array<int> runs(std::vector<int>{0});
  kr_emu::device_properties(0).maxGridSize[1] = 4;
  kr_emu::device_properties(0).maxThreadsPerBlock = 64;
  EXPECT_EQ(launch(count_runs, dim3(1, 5), dim3(1), runs.get()), cudaErrorInvalidConfiguration);
  EXPECT_EQ(launch(count_runs, dim3(1), dim3(65), runs.get()), cudaErrorInvalidConfiguration);
  EXPECT_EQ(launch(count_runs, dim3(1, 4), dim3(64), runs.get()), cudaSuccess);
  EXPECT_EQ(runs.read()[0], 256);
}

TEST_F(EmulatorTest, OtherLaunchRefusals) {
  device_array<int> runs(std::vector<int>{0});
  int* target = runs.get();
  void* args[] = {&target};
  cudaStream_t dead = nullptr;
  ASSERT_EQ(cudaStreamCreate(&dead), cudaSuccess);
  ASSERT_EQ(cudaStreamDestroy(dead), cudaSuccess);
  void (*null_kernel)(int*) = nullptr;
  EXPECT_EQ(cudaLaunchKernel(count_runs, dim3(1), dim3(1), args, 49153, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaLaunchKernel(count_runs, dim3(1), dim3(1), nullptr, 0, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaLaunchKernel(null_kernel, dim3(1), dim3(1), args, 0, 0),
            cudaErrorInvalidDeviceFunction);
  EXPECT_EQ(cudaLaunchKernel(count_runs, dim3(1), dim3(1), args, 0, dead),
            cudaErrorInvalidResourceHandle);
  kr_emu::fail_call("cudaLaunchKernel", cudaErrorNoKernelImageForDevice);
  EXPECT_EQ(cudaLaunchKernel(count_runs, dim3(1), dim3(1), args, 0, 0),
            cudaErrorNoKernelImageForDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorNoKernelImageForDevice);
  EXPECT_EQ(runs.read()[0], 0);
  // Dynamic shared memory within the limit is accepted.
  EXPECT_EQ(cudaLaunchKernel(count_runs, dim3(1), dim3(1), args, 49152, cudaStreamLegacy),
            cudaSuccess);
  EXPECT_EQ(runs.read()[0], 1);
  kr_emu::set_device_count(0);
  EXPECT_EQ(cudaLaunchKernel(count_runs, dim3(1), dim3(1), args, 0, 0), cudaErrorNoDevice);
}

// Each thread gets its own copy of the arguments, taken when the launch is made.
__global__ void consume_argument(int n, int* out) {
  n += static_cast<int>(threadIdx.x);
  out[threadIdx.x] = n;
}

TEST_F(EmulatorTest, ArgumentsAreCopiedPerThread) {
  device_array<int> out(4);
  int n = 10;
  int* p = out.get();
  void* args[] = {&n, &p};
  ASSERT_EQ(cudaLaunchKernel(consume_argument, dim3(1), dim3(4), args, 0, 0), cudaSuccess);
  EXPECT_EQ(out.read(), (std::vector<int>{10, 11, 12, 13}));
  EXPECT_EQ(n, 10);
}

// Tickets drawn in execution order show the order of blocks and of threads.
__global__ void draw_tickets(int* counter, int* block_tickets, int* thread_tickets) {
  const int ticket = atomicAdd(counter, 1);
  if (threadIdx.x == 0) block_tickets[blockIdx.x] = ticket / static_cast<int>(blockDim.x);
  if (blockIdx.x == 0) thread_tickets[threadIdx.x] = ticket;
}

TEST_F(EmulatorTest, ScheduleSeedOrdersBlocksAndThreads) {
  const int blocks = 40, threads = 64;
  std::vector<int> forward(blocks), reverse(blocks);
  std::iota(forward.begin(), forward.end(), 0);
  std::iota(reverse.rbegin(), reverse.rend(), 0);
  std::vector<std::vector<int>> seen_blocks, seen_threads;
  for (std::uint64_t seed : {0u, 1u, 7u, 8u}) {
    kr_emu::set_schedule_seed(seed);
    device_array<int> counter(std::vector<int>{0});
    device_array<int> block_tickets(blocks), thread_tickets(threads);
    ASSERT_EQ(launch(draw_tickets, dim3(blocks), dim3(threads), counter.get(), block_tickets.get(),
                     thread_tickets.get()),
              cudaSuccess);
    seen_blocks.push_back(block_tickets.read());
    std::vector<int> t = thread_tickets.read();
    const int base = *std::min_element(t.begin(), t.end());
    for (int& v : t) v -= base;
    seen_threads.push_back(t);
  }
  EXPECT_EQ(seen_blocks[0], forward);
  EXPECT_EQ(seen_blocks[1], reverse);
  std::vector<int> threads_forward(threads), threads_reverse(threads);
  std::iota(threads_forward.begin(), threads_forward.end(), 0);
  std::iota(threads_reverse.rbegin(), threads_reverse.rend(), 0);
  EXPECT_EQ(seen_threads[0], threads_forward);
  EXPECT_EQ(seen_threads[1], threads_reverse);
  for (std::size_t i = 2; i < seen_blocks.size(); ++i) {
    // Other seeds draw permutations that are neither order and differ between seeds.
    std::vector<int> sorted = seen_blocks[i];
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, forward);
    EXPECT_NE(seen_blocks[i], forward);
    EXPECT_NE(seen_blocks[i], reverse);
    EXPECT_NE(seen_threads[i], seen_threads[0]);
    EXPECT_NE(seen_threads[i], seen_threads[1]);
  }
  EXPECT_NE(seen_blocks[2], seen_blocks[3]);
}

__global__ void trap_in_block(int faulting_block, int* out) {
  if (static_cast<int>(blockIdx.x) == faulting_block) __trap();
  if (threadIdx.x == 0) out[blockIdx.x] = 1;
}

__global__ void throw_from_kernel() { throw std::runtime_error("boom"); }

TEST_F(EmulatorTest, FaultsAreStickyUntilReset) {
  kr_emu::set_schedule_seed(0);
  device_array<int> out(std::vector<int>(8, 0));
  ASSERT_EQ(launch(trap_in_block, dim3(8), dim3(32), 3, out.get()), cudaSuccess);
  expect_fault("__trap() at ");
  EXPECT_NE(std::string(kr_emu::last_fault_message()).find("block (3,0,0)"), std::string::npos);
  // Every later launch, copy and error query reports the fault.
  std::vector<int> host(8);
  EXPECT_EQ(launch(trap_in_block, dim3(1), dim3(1), -1, out.get()), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaMemcpy(host.data(), out.get(), 32, cudaMemcpyDeviceToHost), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  // The other device of a two-device machine is unaffected.
  kr_emu::set_device_count(2);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  kr_emu::reset();
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_STREQ(kr_emu::last_fault_message(), "");
  ASSERT_EQ(cudaMemcpy(host.data(), out.get(), 32, cudaMemcpyDeviceToHost), cudaSuccess);
  // Blocks that ran before the faulting one completed; the fault stopped the grid.
  EXPECT_EQ(host, (std::vector<int>{1, 1, 1, 0, 0, 0, 0, 0}));
  ASSERT_EQ(launch(throw_from_kernel, dim3(1), dim3(1)), cudaSuccess);
  expect_fault("exception escape");
}

__global__ void launch_from_kernel(int* status) {
  void* args[] = {&status};
  *status = static_cast<int>(cudaLaunchKernel(launch_from_kernel, dim3(1), dim3(1), args, 0, 0));
}

TEST_F(EmulatorTest, KernelsCannotLaunchKernels) {
  device_array<int> status(std::vector<int>{-1});
  ASSERT_EQ(launch(launch_from_kernel, dim3(1), dim3(1), status.get()), cudaSuccess);
  EXPECT_EQ(status.read()[0], static_cast<int>(cudaErrorNotSupported));
}

}  // namespace
