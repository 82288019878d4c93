// The memory-access profile on kernels whose figures are known (profile build only).
#include <functional>
#include <iterator>
#include <vector>

#include "emulator_test.h"
#include "kr_emu/profile.h"
#include "profile_kernels.h"

namespace {

using emu_test::device_array;
using emu_test::EmulatorTest;
using kr_emu::profile::kernel_figures;
using kr_emu::profile::operand_figures;

constexpr int blocks = 8;
constexpr int threads = 256;

class ProfileTest : public EmulatorTest {
 protected:
  void TearDown() override {
    kr_emu::profile::stop();
    EmulatorTest::TearDown();
  }

  // Records what `run` launches: exactly one kernel, launched once, expected.
  template <class F>
  kernel_figures profile(F run, std::uint64_t block_budget = 0) {
    kr_emu::profile::start(block_budget);
    EXPECT_EQ(run(), cudaSuccess);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess) << kr_emu::last_fault_message();
    kr_emu::profile::stop();
    const std::vector<kernel_figures> kernels = kr_emu::profile::results();
    EXPECT_EQ(kernels.size(), 1u);
    return kernels.empty() ? kernel_figures{} : kernels.front();
  }
};

std::vector<float> ramp(std::size_t n) {
  std::vector<float> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<float>(i % 1000);
  return v;
}

struct global_case {
  const char* name;
  double requests_per_warp;  // loads and stores
  double sectors_per_request;
  double useful_fraction;
};

TEST_F(ProfileTest, GlobalRequestsOfKnownKernels) {
  const std::size_t n = std::size_t{blocks} * threads;
  device_array<float> in(ramp(32 * n)), out(n), flag(1);
  device_array<float4> in4(n), out4(n);
  device_array<float2> out2(n);
  ASSERT_EQ(cudaMemset(in4.get(), 0, n * sizeof(float4)), cudaSuccess);
  const double warps = blocks * threads / 32;
  struct run_case {
    global_case expected;
    std::function<cudaError_t()> run;
  };
  const run_case cases[] = {
      {{"float copy", 2, 4, 1.0}, [&] { return profile_kernels::copy_floats(blocks, out.get(), in.get()); }},
      {{"float4 copy", 2, 16, 1.0}, [&] { return profile_kernels::copy_float4s(blocks, out4.get(), in4.get()); }},
      {{"make_float2 store", 1, 8, 1.0}, [&] { return profile_kernels::store_float2s(blocks, out2.get()); }},
      {{"strided read", 1, 32, 4.0 / 32}, [&] { return profile_kernels::strided_read(blocks, in.get(), flag.get()); }},
      {{"broadcast of one value", 1, 1, 4.0 / 32}, [&] { return profile_kernels::broadcast_read(blocks, in.get(), flag.get()); }},
  };
  for (const run_case& c : cases) {
    const kernel_figures k = profile(c.run);
    EXPECT_EQ(k.launches, 1u) << c.expected.name;
    EXPECT_EQ(k.blocks, static_cast<std::uint64_t>(blocks)) << c.expected.name;
    EXPECT_EQ(k.sampled_blocks, static_cast<std::uint64_t>(blocks)) << c.expected.name;
    EXPECT_EQ(k.measured.global_requests, c.expected.requests_per_warp * warps) << c.expected.name;
    EXPECT_EQ(k.measured.sectors_per_request(), c.expected.sectors_per_request) << c.expected.name;
    EXPECT_DOUBLE_EQ(k.measured.useful_fraction(), c.expected.useful_fraction) << c.expected.name;
    EXPECT_EQ(k.measured.shared_requests, 0) << c.expected.name;
  }
}

TEST_F(ProfileTest, EightByEightBlockReadingRowsTouchesEightSectorsPerRequest) {
  device_array<float> in(ramp(std::size_t{blocks} * 8 * 64)), flag(1);
  const kernel_figures k = profile([&] { return profile_kernels::rows_8x8(blocks, in.get(), flag.get()); });
  EXPECT_EQ(k.measured.global_requests, 2 * blocks);  // two warps of 8 x 4 threads per block
  EXPECT_EQ(k.measured.sectors_per_request(), 8);
  EXPECT_DOUBLE_EQ(k.measured.useful_fraction(), 128.0 / 256);
}

TEST_F(ProfileTest, SharedBankConflictWays) {
  const std::size_t n = std::size_t{blocks} * threads;
  device_array<float> in(ramp(n)), flag(1);
  device_array<float4> in4(n), out4(n);
  ASSERT_EQ(cudaMemset(in4.get(), 0, n * sizeof(float4)), cudaSuccess);
  const double warps = blocks * threads / 32;

  kernel_figures k = profile([&] { return profile_kernels::shared_column(blocks, in.get(), flag.get()); });
  EXPECT_EQ(k.measured.shared_requests, 2 * warps);  // a store and a load
  EXPECT_EQ(k.measured.ways_per_request(), 32);
  EXPECT_EQ(k.measured.shared_ways_max, 32);
  EXPECT_EQ(k.measured.sectors_per_request(), 4);  // the coalesced global read

  k = profile([&] { return profile_kernels::shared_row(blocks, in.get(), flag.get()); });
  EXPECT_EQ(k.measured.shared_requests, 3 * warps);  // a store, a load and the broadcast load
  EXPECT_EQ(k.measured.ways_per_request(), 1);
  EXPECT_EQ(k.measured.shared_ways_max, 1);

  k = profile([&] { return profile_kernels::shared_float4_row(blocks, out4.get(), in4.get()); });
  EXPECT_EQ(k.measured.shared_requests, 2 * warps);
  EXPECT_EQ(k.measured.ways_per_request(), 1);
  EXPECT_EQ(k.measured.sectors_per_request(), 16);
}

TEST_F(ProfileTest, AtomicsOnOneAddress) {
  device_array<unsigned> counter(1);
  ASSERT_EQ(cudaMemset(counter.get(), 0, sizeof(unsigned)), cudaSuccess);
  const kernel_figures k = profile([&] { return profile_kernels::atomic_one_address(blocks, counter.get()); });
  EXPECT_EQ(k.measured.atomics, blocks * threads);
  EXPECT_EQ(k.measured.atomic_requests, blocks * threads / 32);
  EXPECT_EQ(k.measured.atomic_same_address, blocks * threads);
  EXPECT_EQ(k.measured.global_requests, 0);  // the atomic's own read and write are not loads
  EXPECT_EQ(counter.read()[0], static_cast<unsigned>(blocks * threads));
}

TEST_F(ProfileTest, SampledLaunchRunsTheSampleAndScalesItsFigures) {
  const std::size_t n = std::size_t{blocks} * threads;
  device_array<float> in(ramp(n)), out(n);
  ASSERT_EQ(cudaMemset(out.get(), 0, n * sizeof(float)), cudaSuccess);
  const kernel_figures k = profile([&] { return profile_kernels::copy_floats(blocks, out.get(), in.get()); }, 3);
  EXPECT_EQ(k.blocks, static_cast<std::uint64_t>(blocks));
  EXPECT_EQ(k.sampled_blocks, 3u);
  EXPECT_EQ(k.measured.global_requests, 2.0 * blocks * threads / 32);
  EXPECT_EQ(k.measured.sectors_per_request(), 4);
  // Blocks 0, 3 and 7 ran; the others did not.
  const std::vector<float> copied = out.read();
  for (int b = 0; b < blocks; ++b) {
    const bool ran = b == 0 || b == 3 || b == 7;
    const float copied_value = static_cast<float>((b * threads + 1) % 1000);
    EXPECT_EQ(copied[static_cast<std::size_t>(b) * threads + 1], ran ? copied_value : 0.0f) << b;
  }
}

struct operand_case {
  std::vector<int> arguments;  // empty: unnamed
  double sectors_per_request, useful_fraction;
  double fetched_bytes_per_thread;  // fetched and unique bytes alike: every sector is read once
  std::size_t allocation_bytes;
};

// dense[i] + strided[32 i] into out[i], whose pointer the kernel gets inside a structure: the
// dense read and the store use every byte of 4 sectors per request, the strided read 4 bytes of
// each of 32; each is told apart whether the two inputs lie in allocations of their own or in one.
TEST_F(ProfileTest, GlobalFiguresPerOperand) {
  const std::size_t n = std::size_t{blocks} * threads;
  device_array<float> out(n), dense(ramp(n)), strided(ramp(32 * n)), both(ramp(33 * n));
  const double warps = blocks * threads / 32;
  struct layout {
    const char* name;
    const float *dense, *strided;
    std::size_t dense_bytes, strided_bytes;
  };
  const layout layouts[] = {
      {"allocations of their own", dense.get(), strided.get(), 4 * n, 4 * 32 * n},
      {"one allocation", both.get(), both.get() + n, 4 * 33 * n, 4 * 33 * n},
  };
  for (const layout& l : layouts) {
    const kernel_figures k = profile([&] { return profile_kernels::dense_plus_strided(blocks, 32, out.get(), l.dense, l.strided); });
    ASSERT_EQ(k.parameters.size(), 4u) << l.name;
    EXPECT_EQ(k.parameters[2], "float const*") << l.name;
    const operand_case expected[] = {
        {{2}, 4, 1.0, 4, l.dense_bytes},
        {{3}, 32, 4.0 / 32, 32, l.strided_bytes},
        {{}, 4, 1.0, 4, 4 * n},  // the output, through the structure
    };
    ASSERT_EQ(k.operands.size(), std::size(expected)) << l.name;
    kr_emu::profile::figures sum;
    for (std::size_t i = 0; i < std::size(expected); ++i) {
      const operand_figures& o = k.operands[i];
      const operand_case& e = expected[i];
      EXPECT_EQ(o.arguments, e.arguments) << l.name << ", operand " << i;
      EXPECT_EQ(o.unnamed, e.arguments.empty() ? 0 : -1) << l.name << ", operand " << i;
      EXPECT_EQ(o.allocation_bytes, e.allocation_bytes) << l.name << ", operand " << i;
      EXPECT_EQ(o.measured.global_requests, warps) << l.name << ", operand " << i;
      EXPECT_EQ(o.measured.sectors_per_request(), e.sectors_per_request) << l.name << ", operand " << i;
      EXPECT_DOUBLE_EQ(o.measured.useful_fraction(), e.useful_fraction) << l.name << ", operand " << i;
      EXPECT_EQ(o.measured.fetched_bytes(), e.fetched_bytes_per_thread * n) << l.name << ", operand " << i;
      EXPECT_EQ(32 * o.measured.unique_sectors, e.fetched_bytes_per_thread * n) << l.name << ", operand " << i;
      sum += o.measured;
    }
    EXPECT_EQ(sum.global_requests, k.measured.global_requests) << l.name;
    EXPECT_EQ(sum.global_sectors, k.measured.global_sectors) << l.name;
    EXPECT_EQ(sum.unique_sectors, k.measured.unique_sectors) << l.name;
  }
}

TEST_F(ProfileTest, NamesKernelsAndIgnoresHostAccesses) {
  const std::size_t n = std::size_t{blocks} * threads;
  device_array<float> in(ramp(n)), out(n);
  kr_emu::profile::start(0);
  ASSERT_EQ(profile_kernels::copy_floats(blocks, out.get(), in.get()), cudaSuccess);
  ASSERT_EQ(profile_kernels::copy_floats(blocks, out.get(), in.get()), cudaSuccess);
  std::vector<float> host = out.read();  // the host's own reads are not recorded
  kr_emu::profile::stop();
  const std::vector<kernel_figures> kernels = kr_emu::profile::results();
  ASSERT_EQ(kernels.size(), 1u);
  EXPECT_EQ(kernels[0].name, "copy_floats_kernel");
  EXPECT_EQ(kernels[0].launches, 2u);
  EXPECT_EQ(kernels[0].measured.global_requests, 2 * 2.0 * blocks * threads / 32);
  EXPECT_EQ(kernels[0].measured.unique_sectors, 2 * 2.0 * n * 4 / 32);  // per launch: in and out
  EXPECT_EQ(host[5], 5.0f);
}

TEST_F(ProfileTest, LaunchesRunningInterleavedOnTwoStreamsKeepTheirOwnFigures) {
  const std::size_t n = std::size_t{blocks} * threads;
  device_array<float> in(ramp(32 * n)), out(n), flag(1);
  for (std::uint64_t seed : {0u, 1u, 20261208u}) {
    kr_emu::set_schedule_seed(seed);
    cudaStream_t a = nullptr, b = nullptr;
    ASSERT_EQ(cudaStreamCreate(&a), cudaSuccess);
    ASSERT_EQ(cudaStreamCreate(&b), cudaSuccess);
    kr_emu::profile::start(0);
    ASSERT_EQ(profile_kernels::copy_floats(blocks, out.get(), in.get(), a), cudaSuccess);
    ASSERT_EQ(profile_kernels::strided_read(blocks, in.get(), flag.get(), b), cudaSuccess);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess) << kr_emu::last_fault_message();
    kr_emu::profile::stop();
    const std::vector<kernel_figures> kernels = kr_emu::profile::results();
    ASSERT_EQ(kernels.size(), 2u) << "seed " << seed;
    for (const kernel_figures& k : kernels) {
      const bool copy = k.name == "copy_floats_kernel";
      EXPECT_TRUE(copy || k.name == "strided_read_kernel") << k.name;
      EXPECT_EQ(k.measured.global_requests, (copy ? 2.0 : 1.0) * n / 32) << k.name << ", seed " << seed;
      EXPECT_EQ(k.measured.sectors_per_request(), copy ? 4 : 32) << k.name << ", seed " << seed;
    }
    ASSERT_EQ(cudaStreamDestroy(a), cudaSuccess);
    ASSERT_EQ(cudaStreamDestroy(b), cudaSuccess);
  }
}

}  // namespace
