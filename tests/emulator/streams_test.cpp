// Streams that overlap: work queued on the context's (blocking) streams runs when something
// synchronises, the launches of different streams interleaved under the schedule seed. A plain
// read-modify-write by two launches on two streams loses updates in the plain build under some
// seed and is reported by the race build; the same add done with atomicAdd is clean in both.
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "emulator_test.h"

namespace {

using emu_test::device_array;
using emu_test::EmulatorTest;

template <class... P>
cudaError_t launch_on(cudaStream_t stream, void (*kernel)(P...), dim3 grid, dim3 block,
                      typename emu_test::identity<P>::type... args) {
  void* params[sizeof...(P) > 0 ? sizeof...(P) : 1] = {static_cast<void*>(&args)...};
  return cudaLaunchKernel(kernel, grid, block, params, 0, stream);
}

// block x: element x of `sums`; one warp. Adds the warp's 32 ones to the element: lane 0 reads it
// before the shuffle reduction and writes it after (plain), or adds with atomicAdd.
__global__ void add_warp_total(float* sums, bool atomic) {
  const unsigned lane = threadIdx.x;
  float old = 0.0f;
  if (!atomic && lane == 0) old = sums[blockIdx.x];
  float v = 1.0f;
  for (int d = 16; d > 0; d /= 2) v += __shfl_xor_sync(0xffffffffu, v, d);
  if (lane != 0) return;
  if (atomic) {
    atomicAdd(&sums[blockIdx.x], v);
  } else {
    sums[blockIdx.x] = old + v;
  }
}

__global__ void write_value(int* out, int value) { out[threadIdx.x] = value; }

__global__ void write_ones(int* out) { out[blockIdx.x * blockDim.x + threadIdx.x] = 1; }

// Block 0 thread 0 spins until *flag is set (by another launch).
__global__ void wait_for_flag(volatile int* flag) {
  while (*flag == 0) {
  }
}

__global__ void barrier_against_shuffle() {
  if (threadIdx.x < 16)
    __shfl_sync(0xffffffffu, 1, 0);
  else
    __syncthreads();
}

class StreamTest : public EmulatorTest {
 protected:
  void SetUp() override {
    EmulatorTest::SetUp();
    ASSERT_EQ(cudaStreamCreate(&a_), cudaSuccess);
    ASSERT_EQ(cudaStreamCreate(&b_), cudaSuccess);
  }
  void TearDown() override {
    cudaStreamDestroy(a_);
    cudaStreamDestroy(b_);
    EmulatorTest::TearDown();
  }
  // Two launches on streams a and b add 32 to each of 64 elements; the sum each element ends with.
  // Each stream may first run a launch of shape `before` on a buffer of its own.
  std::vector<float> two_stream_sums(bool atomic, dim3 before_grid = dim3(0), dim3 before_block = dim3(0)) {
    device_array<float> sums(std::vector<float>(64, 0.0f));
    const std::size_t own = std::size_t{before_grid.x} * before_block.x;
    device_array<int> own_a(own > 0 ? own : 1), own_b(own > 0 ? own : 1);
    if (own > 0) {
      EXPECT_EQ(launch_on(a_, write_ones, before_grid, before_block, own_a.get()), cudaSuccess);
      EXPECT_EQ(launch_on(b_, write_ones, before_grid, before_block, own_b.get()), cudaSuccess);
    }
    EXPECT_EQ(launch_on(a_, add_warp_total, dim3(64), dim3(32), sums.get(), atomic), cudaSuccess);
    EXPECT_EQ(launch_on(b_, add_warp_total, dim3(64), dim3(32), sums.get(), atomic), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    return sums.read();
  }
  cudaStream_t a_ = nullptr, b_ = nullptr;
};

TEST_F(StreamTest, LaunchesOnStreamsCompleteWhenSynchronised) {
  const struct {
    const char* name;
    std::function<cudaError_t(cudaStream_t, int*)> synchronise;
  } cases[] = {
      {"stream synchronisation", [](cudaStream_t s, int*) { return cudaStreamSynchronize(s); }},
      {"device synchronisation", [](cudaStream_t, int*) { return cudaDeviceSynchronize(); }},
      {"default-stream launch",
       [](cudaStream_t, int* other) { return launch_on(nullptr, write_value, dim3(1), dim3(1), other, 1); }},
      {"synchronous copy",
       [](cudaStream_t, int* other) {
         int v = 0;
         return cudaMemcpy(&v, other, sizeof v, cudaMemcpyDeviceToHost);
       }},
      {"copy on the stream",
       [](cudaStream_t s, int* other) {
         int v = 0;
         return cudaMemcpyAsync(&v, other, sizeof v, cudaMemcpyDeviceToHost, s);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    device_array<int> out(std::vector<int>(32, 0)), other(1);
    ASSERT_EQ(launch_on(a_, write_value, dim3(1), dim3(32), out.get(), 7), cudaSuccess);
    // Device memory is host memory here: nothing has run yet.
    EXPECT_EQ(out.get()[0], 0);
    ASSERT_EQ(c.synchronise(a_, other.get()), cudaSuccess);
    EXPECT_EQ(out.get()[31], 7);
  }
}

TEST_F(StreamTest, StreamOrderedFreeWaitsForTheStreamsWork) {
  const std::size_t live = kr_emu::live_allocation_count();
  int* scratch = nullptr;
  ASSERT_EQ(cudaMallocAsync(reinterpret_cast<void**>(&scratch), 32 * sizeof(int), a_), cudaSuccess);
  ASSERT_EQ(launch_on(a_, write_value, dim3(1), dim3(32), scratch, 3), cudaSuccess);
  ASSERT_EQ(cudaFreeAsync(scratch, a_), cudaSuccess);
  EXPECT_EQ(cudaFreeAsync(scratch, b_), cudaErrorInvalidValue);  // already on its way out
  ASSERT_EQ(cudaStreamSynchronize(a_), cudaSuccess);
  EXPECT_EQ(kr_emu::live_allocation_count(), live);
}

TEST_F(StreamTest, PlainReadModifyWriteOnTwoStreamsLosesUpdatesUnderSomeSeed) {
#if defined(KR_EMU_TSAN) || defined(KR_EMU_ASAN)
  GTEST_SKIP() << "the sanitizer builds interleave whole blocks; the race build reports this instead";
#endif
  const std::vector<float> complete(64, 64.0f);
  kr_emu::set_schedule_seed(0);
  EXPECT_EQ(two_stream_sums(false), complete);  // forward: one launch after the other
  bool lost = false;
  for (std::uint64_t seed = 2; seed < 12; ++seed) {
    kr_emu::set_schedule_seed(seed);
    lost = lost || two_stream_sums(false) != complete;
    EXPECT_EQ(two_stream_sums(true), complete) << "seed " << seed;
  }
  EXPECT_TRUE(lost);
}

TEST_F(StreamTest, WatchdogAndDeadlockReportsNameTheKernelOnItsStream) {
  kr_emu::set_schedule_seed(0);  // the spinning launch first
  kr_emu::set_watchdog_seconds(0.3);
  device_array<int> flag(std::vector<int>{0});
  ASSERT_EQ(launch_on(a_, wait_for_flag, dim3(1), dim3(1), static_cast<volatile int*>(flag.get())), cudaSuccess);
  ASSERT_EQ(launch_on(b_, write_value, dim3(1), dim3(1), flag.get(), 1), cudaSuccess);
  EXPECT_EQ(cudaStreamSynchronize(b_), cudaErrorLaunchTimeout);
  EXPECT_NE(std::string(kr_emu::last_fault_message()).find("wait_for_flag"), std::string::npos)
      << kr_emu::last_fault_message();
  kr_emu::reset();
  ASSERT_EQ(cudaStreamCreate(&a_), cudaSuccess);
  ASSERT_EQ(launch_on(a_, barrier_against_shuffle, dim3(1), dim3(32)), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  EXPECT_NE(std::string(kr_emu::last_fault_message()).find("deadlock"), std::string::npos)
      << kr_emu::last_fault_message();
}

// ---- race build ----

class StreamRaceDeathTest : public StreamTest {
 protected:
  void SetUp() override {
#if !defined(KR_EMU_TSAN)
    GTEST_SKIP() << "needs the ThreadSanitizer build (-DKR_SANITIZE=thread)";
#endif
    emu_test::stop_at_first_race_report();
    StreamTest::SetUp();
  }
};

TEST_F(StreamRaceDeathTest, TwoStreamsAddingIntoOneBufferWithoutAtomics) {
  EXPECT_DEATH(two_stream_sums(false), "ThreadSanitizer: data race(.|\n)*add_warp_total");
  EXPECT_NO_RACE(two_stream_sums(true));
}

// Each stream's threads keep contexts of their own however much the streams ran before: the
// contexts of one stream's earlier launches (or their ids, once freed) must not pass to the other.
TEST_F(StreamRaceDeathTest, TwoStreamsStillReportedAfterEachRanOtherWork) {
  const dim3 shapes[][2] = {{dim3(1), dim3(32)}, {dim3(4), dim3(256)}, {dim3(4), dim3(1024)}};
  for (const auto& shape : shapes) {
    EXPECT_DEATH(two_stream_sums(false, shape[0], shape[1]), "ThreadSanitizer: data race(.|\n)*add_warp_total")
        << shape[0].x << " blocks of " << shape[1].x;
  }
}

// What the platform orders is not reported: one stream's launches, a blocking stream and the
// default stream, and the host after a synchronisation.
TEST_F(StreamRaceDeathTest, StreamOrderAndTheDefaultStreamOrder) {
  device_array<float> sums(std::vector<float>(64, 0.0f));
  EXPECT_NO_RACE({
    launch_on(a_, add_warp_total, dim3(64), dim3(32), sums.get(), false);
    launch_on(a_, add_warp_total, dim3(64), dim3(32), sums.get(), false);
    launch_on(nullptr, add_warp_total, dim3(64), dim3(32), sums.get(), false);
    launch_on(b_, add_warp_total, dim3(64), dim3(32), sums.get(), false);
    cudaStreamSynchronize(b_);
    if (sums.get()[63] != 128.0f) std::exit(1);
  });
}

}  // namespace

