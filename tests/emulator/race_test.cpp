// Races between CUDA threads, reported by ThreadSanitizer in the race build (-DKR_SANITIZE=thread),
// where every CUDA thread is a fiber of its own and only barriers, warp collectives, atomics and
// the launch itself order their accesses. Each faulty kernel must die with the sanitizer's report;
// its corrected form must run clean. In the other builds these tests are skipped.
#include <cstdlib>
#include <string>

#include "emulator_test.h"

namespace {

using emu_test::device_array;
using emu_test::launch;

// Every thread adds to one shared slot with a plain +=: on a GPU updates are lost.
__global__ void shared_plus_equals(float* out, bool atomic) {
  __shared__ float sum;
  if (threadIdx.x == 0) sum = 0.0f;
  __syncthreads();
  if (atomic) {
    atomicAdd(&sum, 1.0f);
  } else {
    sum += 1.0f;
  }
  __syncthreads();
  if (threadIdx.x == 0) *out = sum;
}

// Each thread writes its slot and reads its neighbour's, with or without a barrier between.
__global__ void neighbour_exchange(int* out, bool barrier) {
  __shared__ int slots[64];
  const unsigned t = threadIdx.x;
  slots[t] = static_cast<int>(t);
  if (barrier) __syncthreads();
  out[t] = slots[(t + 1) % 64];
}

// Block 1 reads what block 0 wrote: nothing orders two blocks of one grid.
__global__ void read_other_blocks_result(int* data) {
  if (threadIdx.x != 0) return;
  if (blockIdx.x == 0) data[0] = 42;
  if (blockIdx.x == 1) data[1] = data[0];
}

// Lane 0 of each warp publishes a value that lane 1 of the same warp reads after __syncwarp; with
// `other_warp`, lane 0 of the next warp reads it instead, which __syncwarp does not order.
__global__ void syncwarp_orders_its_lanes(int* out, bool other_warp) {
  __shared__ int published[2];
  const unsigned warp = threadIdx.x / 32, lane = threadIdx.x % 32;
  if (lane == 0) published[warp] = 100 + static_cast<int>(warp);
  __syncwarp();
  if (!other_warp && lane == 1) out[warp] = published[warp];
  if (other_warp && warp == 1 && lane == 0) out[1] = published[0];
}

// The shuffle reduction of the library's pattern: no shared memory, nothing to report.
__global__ void shuffle_sum(int* out) {
  int v = static_cast<int>(threadIdx.x);
  for (int d = 16; d > 0; d /= 2) v += __shfl_xor_sync(0xffffffffu, v, d);
  if (threadIdx.x == 0) out[0] = v;
}

class RaceDeathTest : public emu_test::EmulatorTest {
 protected:
  void SetUp() override {
#if !defined(KR_EMU_TSAN)
    GTEST_SKIP() << "needs the ThreadSanitizer build (-DKR_SANITIZE=thread)";
#endif
    emu_test::stop_at_first_race_report();
    EmulatorTest::SetUp();
  }
};

TEST_F(RaceDeathTest, SharedPlusEqualsFromEveryThread) {
  device_array<float> out(1);
  EXPECT_DEATH(launch(shared_plus_equals, dim3(1), dim3(64), out.get(), false),
               "ThreadSanitizer: data race(.|\n)*shared_plus_equals(.|\n)*Location is global "
               "'[^']*shared_plus_equals[^']*sum");
  EXPECT_NO_RACE(launch(shared_plus_equals, dim3(1), dim3(64), out.get(), true));
}

TEST_F(RaceDeathTest, MissingBarrierBetweenWriteAndRead) {
  device_array<int> out(64);
  EXPECT_DEATH(launch(neighbour_exchange, dim3(1), dim3(64), out.get(), false),
               "ThreadSanitizer: data race(.|\n)*neighbour_exchange");
  EXPECT_NO_RACE(launch(neighbour_exchange, dim3(1), dim3(64), out.get(), true));
}

TEST_F(RaceDeathTest, CrossBlockReadAfterWrite) {
  device_array<int> data(2);
  for (std::uint64_t seed : {0u, 1u}) {
    kr_emu::set_schedule_seed(seed);
    EXPECT_DEATH(launch(read_other_blocks_result, dim3(2), dim3(32), data.get()),
                 "ThreadSanitizer: data race(.|\n)*read_other_blocks_result");
  }
}

TEST_F(RaceDeathTest, SyncwarpOrdersOnlyItsOwnLanes) {
  device_array<int> out(2);
  EXPECT_NO_RACE(launch(syncwarp_orders_its_lanes, dim3(1), dim3(64), out.get(), false));
  EXPECT_DEATH(launch(syncwarp_orders_its_lanes, dim3(1), dim3(64), out.get(), true),
               "ThreadSanitizer: data race(.|\n)*syncwarp_orders_its_lanes");
}

// The host sees what the grid wrote, and the grid what the host wrote before the launch.
TEST_F(RaceDeathTest, LaunchesOrderTheHostAndTheGrid) {
  device_array<int> out(64);
  EXPECT_NO_RACE({
    std::vector<int> host(64, 5);
    cudaMemcpy(out.get(), host.data(), 256, cudaMemcpyHostToDevice);
    launch(neighbour_exchange, dim3(1), dim3(64), out.get(), true);
    launch(shuffle_sum, dim3(1), dim3(32), out.get());
    cudaMemcpy(host.data(), out.get(), 256, cudaMemcpyDeviceToHost);
    if (host[0] != 496) std::exit(1);
  });
}

}  // namespace
