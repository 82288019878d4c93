// Block barriers, warp collectives, shared memory and their misuse.
#include "emulator_test.h"

namespace {

using emu_test::device_array;
using emu_test::EmulatorTest;
using emu_test::expect_fault;
using emu_test::launch;

constexpr unsigned full = 0xffffffffu;

// ---- barriers ----

// Odd threads leave before the barriers; even threads exchange values through shared memory and
// count, with the reducing barriers, the arrivals that hold a predicate.
__global__ void barrier_with_exits(int* out) {
  __shared__ int values[128];
  const int t = static_cast<int>(threadIdx.x);
  if (t % 2 == 1) return;
  values[t] = 1000 + t;
  const int count = __syncthreads_count(t % 4 == 0);
  const int all = __syncthreads_and(t < 1000);
  const int any = __syncthreads_or(t == 2);
  const int none = __syncthreads_or(0);
  __syncthreads();
  int* block_out = out + 128 * blockIdx.x;
  block_out[t] = values[(t + 2) % 128] + 10000 * count;
  block_out[t + 1] = all + 2 * any + 4 * none;
}

TEST_F(EmulatorTest, BarriersCountExitedThreadsAsArrived) {
  for (std::uint64_t seed : {0u, 1u, 5u}) {
    kr_emu::set_schedule_seed(seed);
    device_array<int> out(256);
    ASSERT_EQ(launch(barrier_with_exits, dim3(2), dim3(128), out.get()), cudaSuccess);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess) << kr_emu::last_fault_message();
    std::vector<int> o = out.read();
    // Both blocks wrote the same results.
    EXPECT_EQ(std::vector<int>(o.begin(), o.begin() + 128), std::vector<int>(o.begin() + 128, o.end()));
    for (int t = 0; t < 128; t += 2) {
      ASSERT_EQ(o[t], 1000 + (t + 2) % 128 + 10000 * 32) << t;
      ASSERT_EQ(o[t + 1], 3) << t;
    }
  }
}

constexpr int first_barrier_line = __LINE__ + 4;
constexpr int second_barrier_line = __LINE__ + 5;
__global__ void diverging_barriers() {
  if (threadIdx.x < 40)
    __syncthreads();
  else
    __syncthreads();
}

// ---- shuffles ----

enum shuffle_op { op_idx, op_up, op_down, op_xor };

// Lanes outside `callers` write -7; lanes in `exits` leave first; the others shuffle 100 + lane.
__global__ void shuffle_int(int op, unsigned mask, int param, int width, unsigned callers,
                            unsigned exits, int* out) {
  const unsigned t = threadIdx.x;
  if ((exits >> t) & 1u) return;
  if (((callers >> t) & 1u) == 0) {
    out[t] = -7;
    return;
  }
  const int v = 100 + static_cast<int>(t);
  int r = 0;
  switch (op) {
    case op_idx:
      r = __shfl_sync(mask, v, param, width);
      break;
    case op_up:
      r = __shfl_up_sync(mask, v, static_cast<unsigned>(param), width);
      break;
    case op_down:
      r = __shfl_down_sync(mask, v, static_cast<unsigned>(param), width);
      break;
    case op_xor:
      r = __shfl_xor_sync(mask, v, param, width);
      break;
  }
  out[t] = r;
}

TEST_F(EmulatorTest, ShufflesMatchKnownAnswers) {
  const int P = -1;   // a source lane that does not take part: undefined on a GPU, poison here
  const int X = -99;  // exited lane, never written
  struct {
    const char* what;
    int op;
    unsigned mask;
    int param, width;
    unsigned callers, exits;
    std::vector<int> expected;
  } const cases[] = {
      {"idx 5", op_idx, 0xff, 5, 32, 0xff, 0, {105, 105, 105, 105, 105, 105, 105, 105}},
      {"idx 5 width 4", op_idx, 0xff, 5, 4, 0xff, 0, {101, 101, 101, 101, 105, 105, 105, 105}},
      {"idx -1 width 4", op_idx, 0xff, -1, 4, 0xff, 0, {103, 103, 103, 103, 107, 107, 107, 107}},
      {"up 1 width 4", op_up, 0xff, 1, 4, 0xff, 0, {100, 100, 101, 102, 104, 104, 105, 106}},
      {"up 3", op_up, 0xff, 3, 32, 0xff, 0, {100, 101, 102, 100, 101, 102, 103, 104}},
      {"down 2 width 4", op_down, 0xff, 2, 4, 0xff, 0, {102, 103, 102, 103, 106, 107, 106, 107}},
      {"down 3 width 8", op_down, 0xff, 3, 8, 0xff, 0, {103, 104, 105, 106, 107, 105, 106, 107}},
      {"xor 1", op_xor, 0xff, 1, 32, 0xff, 0, {101, 100, 103, 102, 105, 104, 107, 106}},
      {"xor 4 width 4", op_xor, 0xff, 4, 4, 0xff, 0, {100, 101, 102, 103, 100, 101, 102, 103}},
      {"xor 2 width 2", op_xor, 0xff, 2, 2, 0xff, 0, {100, 101, 100, 101, 104, 105, 104, 105}},
      {"width 1", op_down, 0xff, 1, 1, 0xff, 0, {100, 101, 102, 103, 104, 105, 106, 107}},
      {"partial mask xor 2", op_xor, 0x0f, 2, 32, 0x0f, 0, {102, 103, 100, 101, -7, -7, -7, -7}},
      {"partial mask reads outside",
       op_down,
       0x0f,
       2,
       32,
       0x0f,
       0,
       {102, 103, P, P, -7, -7, -7, -7}},
      {"odd lanes", op_idx, 0xaa, 3, 32, 0xaa, 0, {-7, 103, -7, 103, -7, 103, -7, 103}},
      {"exited lanes leave the mask",
       op_down,
       full,
       2,
       32,
       0xff,
       0xc0,
       {102, 103, 104, 105, P, P, X, X}},
      {"missing lanes of a partial warp",
       op_down,
       full,
       4,
       32,
       0xff,
       0,
       {104, 105, 106, 107, P, P, P, P}},
  };
  for (const auto& c : cases) {
    for (std::uint64_t seed : {0u, 1u, 3u}) {
      kr_emu::set_schedule_seed(seed);
      device_array<int> out(std::vector<int>(8, X));
      ASSERT_EQ(launch(shuffle_int, dim3(1), dim3(8), c.op, c.mask, c.param, c.width, c.callers,
                       c.exits, out.get()),
                cudaSuccess);
      ASSERT_EQ(cudaGetLastError(), cudaSuccess) << c.what << ": " << kr_emu::last_fault_message();
      EXPECT_EQ(out.read(), c.expected) << c.what << ", seed " << seed;
    }
  }
}

// Warps are 32 consecutive linear thread indices (x fastest); values of every shuffled type move
// whole.
__global__ void shuffle_types(double* d, long long* ll, float* f, unsigned* u) {
  const unsigned t = threadIdx.x + blockDim.x * threadIdx.y;
  d[t] = __shfl_xor_sync(full, 0.1 * t + 1e300, 16);
  ll[t] = __shfl_down_sync(full, (1LL << 40) * t - 3, 1);
  f[t] = __shfl_sync(full, static_cast<float>(t) + 0.5f, 31);
  u[t] = __shfl_up_sync(full, 0xf0000000u + t, 1, 16);
}

TEST_F(EmulatorTest, ShufflesMoveEveryTypeWithinWarpsOfLinearIndices) {
  const unsigned n = 64;
  device_array<double> d(n);
  device_array<long long> ll(n);
  device_array<float> f(n);
  device_array<unsigned> u(n);
  ASSERT_EQ(launch(shuffle_types, dim3(1), dim3(16, 4), d.get(), ll.get(), f.get(), u.get()),
            cudaSuccess);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess) << kr_emu::last_fault_message();
  const auto dv = d.read();
  const auto lv = ll.read();
  const auto fv = f.read();
  const auto uv = u.read();
  for (unsigned t = 0; t < n; ++t) {
    const unsigned warp = t / 32 * 32, lane = t % 32;
    EXPECT_EQ(dv[t], 0.1 * (warp + (lane ^ 16)) + 1e300) << t;
    EXPECT_EQ(lv[t], (1LL << 40) * (lane == 31 ? t : t + 1) - 3) << t;
    EXPECT_EQ(fv[t], static_cast<float>(warp + 31) + 0.5f) << t;
    EXPECT_EQ(uv[t], 0xf0000000u + (lane % 16 == 0 ? t : t - 1)) << t;
  }
}

__global__ void votes(int* out) {
  const unsigned lane = threadIdx.x;
  const unsigned ballot = __ballot_sync(0x0000ffffu, lane % 3 == 0);
  out[lane] = static_cast<int>(ballot) + (__any_sync(0x0000ffffu, lane == 7) << 16) +
              (__all_sync(0x0000ffffu, lane < 16) << 17);
  __syncwarp(0x0000ffffu);
}

TEST_F(EmulatorTest, VotesCoverTheLanesOfTheirMask) {
  device_array<int> out(16);
  ASSERT_EQ(launch(votes, dim3(1), dim3(16), out.get()), cudaSuccess);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess) << kr_emu::last_fault_message();
  EXPECT_EQ(out.read(), std::vector<int>(16, 0x9249 | (1 << 16) | (1 << 17)));
}

// ---- misuse ----

__global__ void lane_outside_mask() { __shfl_sync(0x1u, 1, 0); }
__global__ void masks_disagree() {
  if (threadIdx.x == 0) __shfl_sync(0x3u, 1, 0);
  if (threadIdx.x != 0) __shfl_sync(0x7u, 1, 0);
}
__global__ void different_shuffle_sites() {
  if (threadIdx.x < 16)
    __shfl_xor_sync(full, 1, 1);
  else
    __shfl_xor_sync(full, 2, 1);
}
__global__ void bad_width() { __shfl_sync(full, 1, 0, 12); }
__global__ void barrier_against_shuffle() {
  if (threadIdx.x < 16)
    __shfl_sync(full, 1, 0);
  else
    __syncthreads();
}
__global__ void free_of_host_memory(int* p) { free(p); }

TEST_F(EmulatorTest, MisuseEndsTheKernelWithAMessage) {
  struct {
    const char* what;
    cudaError_t (*run)();
    std::vector<std::string> needles;
  } const cases[] = {
      {"barriers at different sites",
       [] { return launch(diverging_barriers, dim3(1), dim3(64)); },
       {"reached __syncthreads at ", "sync_test.cpp:" + std::to_string(first_barrier_line),
        "sync_test.cpp:" + std::to_string(second_barrier_line)}},
      {"lane outside its mask",
       [] { return launch(lane_outside_mask, dim3(1), dim3(4)); },
       {"does not include its own lane", "mask 0x00000001"}},
      {"lanes disagree on the mask",
       [] { return launch(masks_disagree, dim3(1), dim3(3)); },
       {"mask 0x00000007", "mask 0x00000003"}},
      {"shuffles at different sites",
       [] { return launch(different_shuffle_sites, dim3(1), dim3(32)); },
       {"__shfl_xor_sync at ", "same call"}},
      {"width not a power of two",
       [] { return launch(bad_width, dim3(1), dim3(32)); },
       {"width 12"}},
      {"half at a barrier, half in a shuffle",
       [] { return launch(barrier_against_shuffle, dim3(1), dim3(32)); },
       {"deadlock", "16 threads wait in __shfl_sync with mask 0xffffffff",
        "16 threads wait in __syncthreads"}},
      {"free of memory device malloc did not return",
       [] {
         static int host_value;
         return launch(free_of_host_memory, dim3(1), dim3(1), &host_value);
       },
       {"device malloc did not return"}},
  };
  for (const auto& c : cases) {
    for (std::uint64_t seed : {0u, 1u}) {
      kr_emu::reset();
      kr_emu::set_schedule_seed(seed);
      ASSERT_EQ(c.run(), cudaSuccess) << c.what;
      for (const std::string& needle : c.needles) {
        SCOPED_TRACE(c.what);
        expect_fault(needle);
      }
    }
  }
}

// ---- shared memory and schedules ----

// A device helper with a shared word of its own, in a translation unit whose kernels have shared
// arrays too (inline and ordinary functions' statics must coexist).
__device__ __forceinline__ unsigned swap_block_word(unsigned v) {
  __shared__ unsigned word;
  const unsigned old = word;
  word = v;
  return old;
}

__global__ void read_shared_first(unsigned* out) {
  __shared__ unsigned scratch[4];
  out[2 * blockIdx.x] = scratch[blockIdx.x % 4];
  scratch[blockIdx.x % 4] = 7;
  out[2 * blockIdx.x + 1] = swap_block_word(7);
}

TEST_F(EmulatorTest, SharedMemoryIsPoisonedBeforeEveryBlock) {
  for (std::uint64_t seed : {0u, 1u, 5u, 6u, 7u}) {
    kr_emu::set_schedule_seed(seed);
    const unsigned poison = 0x01010101u * kr_emu::poison_byte();
    device_array<unsigned> out(16);
    ASSERT_EQ(launch(read_shared_first, dim3(8), dim3(1), out.get()), cudaSuccess);
    EXPECT_EQ(out.read(), std::vector<unsigned>(16, poison)) << "seed " << seed;
  }
}

// Each thread reads its neighbour's shared slot; without the barrier the result depends on the
// order in which threads run. `salt` makes every launch write different values, so that values
// left over from an earlier launch do not pass for this one's.
__global__ void read_neighbour(int* out, int salt, bool with_barrier) {
  __shared__ int slots[64];
  const unsigned t = threadIdx.x;
  slots[t] = salt + static_cast<int>(t);
  if (with_barrier) __syncthreads();
  out[t] = slots[(t + 1) % 64];
}

TEST_F(EmulatorTest, SchedulesExposeAMissingBarrier) {
#if defined(KR_EMU_TSAN)
  GTEST_SKIP() << "races on purpose: race_test.cpp expects ThreadSanitizer's report for this kernel";
#endif
  std::vector<std::vector<int>> results;
  int salt = 0;
  for (std::uint64_t seed : {0u, 1u}) {
    kr_emu::set_schedule_seed(seed);
    for (bool with_barrier : {true, false}) {
      salt += 1000;
      std::vector<int> correct(64);
      for (int t = 0; t < 64; ++t) correct[t] = salt + (t + 1) % 64;
      device_array<int> out(64);
      ASSERT_EQ(launch(read_neighbour, dim3(1), dim3(64), out.get(), salt, with_barrier),
                cudaSuccess);
      if (with_barrier) {
        EXPECT_EQ(out.read(), correct);
      } else {
        results.push_back(out.read());
        EXPECT_NE(results.back(), correct);
        for (int& v : results.back()) v -= salt;
      }
    }
  }
  EXPECT_NE(results[0], results[1]);
}

}  // namespace
