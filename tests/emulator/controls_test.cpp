// The test controls that make large shapes testable: sparse device memory (reserved address space,
// committed only where kernels write) and the block filter (a grid runs only chosen blocks).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <set>
#include <vector>

#include "emulator_test.h"

namespace {

using emu_test::device_array;
using emu_test::EmulatorTest;
using emu_test::launch;

constexpr std::size_t GiB = std::size_t{1} << 30;

// Resident memory of this process in bytes.
std::size_t resident_bytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long long size = 0, resident = 0;
  const int read = std::fscanf(f, "%llu %llu", &size, &resident);
  std::fclose(f);
  return read == 2 ? static_cast<std::size_t>(resident) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// What sparse memory commits: the pages written, not the reservation. (The sanitizers keep shadow
// memory of their own for a reservation, so only the plain build measures it.)
void expect_little_committed(std::size_t before) {
#if !defined(KR_EMU_TSAN) && !defined(KR_EMU_ASAN)
  EXPECT_LT(resident_bytes() - before, std::size_t{256} << 20);
#else
  (void)before;
#endif
}

// block x: row; thread x: every blockDim.x-th element of it. Writes the row's index.
__global__ void mark_rows(float* data, unsigned row_length) {
  float* row = data + static_cast<std::size_t>(blockIdx.x) * row_length;
  for (unsigned i = threadIdx.x; i < row_length; i += blockDim.x) row[i] = static_cast<float>(blockIdx.x);
}

// Every block writes 1 at its linear block index.
__global__ void mark_blocks(int* marks) {
  if (threadIdx.x != 0) return;
  marks[blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z)] = 1;
}

// 2^20 rows of 4096 floats (16 GiB, past 2^31 elements) on a 20 GiB device: only the sampled
// rows are written, and only their pages are committed.
TEST_F(EmulatorTest, SparseMemoryAndSampledBlocksRunRowsOfAHugeMatrix) {
  constexpr unsigned rows = 1u << 20, row_length = 4096;
  const std::size_t bytes = std::size_t{rows} * row_length * sizeof(float);
  kr_emu::set_sparse_memory(20 * GiB);
  EXPECT_TRUE(kr_emu::sparse_memory());
  std::size_t free_bytes = 0, total_bytes = 0;
  ASSERT_EQ(cudaMemGetInfo(&free_bytes, &total_bytes), cudaSuccess);
  EXPECT_EQ(total_bytes, 20 * GiB);
  const std::size_t before = resident_bytes();
  float* data = nullptr;
  ASSERT_EQ(cudaMalloc(&data, bytes), cudaSuccess);
  kr_emu::sample_blocks(5);
  ASSERT_EQ(launch(mark_rows, dim3(rows), dim3(256), data, row_length), cudaSuccess);
  const kr_emu::launch_blocks ran = kr_emu::last_launch_blocks();
  EXPECT_EQ(ran.grid_blocks, rows);
  const std::vector<std::uint64_t> expected = {0, 262143, 524287, 786431, rows - 1};
  EXPECT_EQ(ran.ran, expected);
  std::vector<float> row(row_length);
  for (std::uint64_t r : {std::uint64_t{0}, std::uint64_t{524287}, std::uint64_t{rows - 1}, std::uint64_t{1}}) {
    ASSERT_EQ(cudaMemcpy(row.data(), data + r * row_length, row_length * sizeof(float), cudaMemcpyDeviceToHost),
              cudaSuccess);
    const float want = r == 1 ? 0.0f : static_cast<float>(r);  // row 1 was skipped: still zero
    EXPECT_EQ(row.front(), want) << "row " << r;
    EXPECT_EQ(row.back(), want) << "row " << r;
  }
  expect_little_committed(before);
  // A zero fill of the whole buffer returns its pages instead of committing them.
  ASSERT_EQ(cudaMemset(data, 0, bytes), cudaSuccess);
  expect_little_committed(before);
  ASSERT_EQ(cudaMemcpy(row.data(), data + std::size_t{rows - 1} * row_length, row_length * sizeof(float),
                       cudaMemcpyDeviceToHost),
            cudaSuccess);
  EXPECT_EQ(row.back(), 0.0f);
  EXPECT_EQ(cudaFree(data), cudaSuccess);
}

// The guard zones of sparse allocations are kept and checked as always: AddressSanitizer reports
// an access to one where it happens (the guards are poisoned), the other builds after the launch.
TEST_F(EmulatorTest, SparseAllocationsKeepTheirGuardZones) {
  kr_emu::set_sparse_memory(8 * GiB);
  float* data = nullptr;
  ASSERT_EQ(cudaMalloc(&data, 4096 * sizeof(float)), cudaSuccess);
  // One row of 4097 floats in an allocation of 4096: the last one lands in the back guard.
#if defined(KR_EMU_ASAN)
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(launch(mark_rows, dim3(1), dim3(32), data, 4097u), "use-after-poison.*\n(.*\n)*.*mark_rows");
#else
  ASSERT_EQ(launch(mark_rows, dim3(1), dim3(32), data, 4097u), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
  EXPECT_NE(std::string(kr_emu::last_fault_message()).find("offsets 16384 to 16387"), std::string::npos)
      << kr_emu::last_fault_message();
#endif
  cudaFree(data);
}

TEST_F(EmulatorTest, SparseMemoryEndsWithItsControlAndReset) {
  kr_emu::set_sparse_memory(16 * GiB);
  kr_emu::set_sparse_memory(0);
  EXPECT_FALSE(kr_emu::sparse_memory());
  EXPECT_EQ(kr_emu::device_properties(0).totalGlobalMem, std::size_t{4} << 30);
  void* p = nullptr;
  EXPECT_EQ(cudaMalloc(&p, 8 * GiB), cudaErrorMemoryAllocation);
  kr_emu::set_sparse_memory(16 * GiB);
  kr_emu::reset();
  EXPECT_FALSE(kr_emu::sparse_memory());
  EXPECT_EQ(cudaMalloc(&p, 8 * GiB), cudaErrorMemoryAllocation);
}

struct filter_case {
  const char* name;
  void (*set)();
  std::vector<std::uint64_t> expected;  // of a 5 x 3 x 2 grid (30 blocks)
};

const filter_case filter_cases[] = {
    {"list, past the end ignored", [] { kr_emu::set_block_filter(std::vector<std::uint64_t>{29, 0, 7, 40}); },
     {0, 7, 29}},
    {"first, last and an even spread", [] { kr_emu::sample_blocks(4); }, {0, 9, 19, 29}},
    {"one sample: the first", [] { kr_emu::sample_blocks(1); }, {0}},
    {"callback", [] { kr_emu::set_block_filter([](std::uint64_t b, std::uint64_t n) { return b % 10 == 3 && n == 30; }); },
     {3, 13, 23}},
};

TEST_F(EmulatorTest, BlockFilterRunsOnlyTheChosenBlocksAndSaysWhich) {
  for (const filter_case& c : filter_cases) {
    SCOPED_TRACE(c.name);
    device_array<int> marks(std::vector<int>(30, 0));
    c.set();
    ASSERT_EQ(launch(mark_blocks, dim3(5, 3, 2), dim3(32), marks.get()), cudaSuccess);
    const kr_emu::launch_blocks ran = kr_emu::last_launch_blocks();
    EXPECT_EQ(ran.grid_blocks, 30u);
    EXPECT_FALSE(ran.every_block);
    EXPECT_EQ(ran.ran, c.expected);
    std::vector<int> want(30, 0);
    for (std::uint64_t b : c.expected) want[b] = 1;
    EXPECT_EQ(marks.read(), want);
    for (std::uint64_t b = 0; b < 30; ++b)
      EXPECT_EQ(kr_emu::block_selected(b, 30), want[b] == 1) << "block " << b;
  }
}

TEST_F(EmulatorTest, WithoutAFilterEveryBlockRuns) {
  kr_emu::sample_blocks(2);
  kr_emu::clear_block_filter();
  device_array<int> marks(std::vector<int>(30, 0));
  ASSERT_EQ(launch(mark_blocks, dim3(5, 3, 2), dim3(32), marks.get()), cudaSuccess);
  EXPECT_EQ(marks.read(), std::vector<int>(30, 1));
  const kr_emu::launch_blocks ran = kr_emu::last_launch_blocks();
  EXPECT_EQ(ran.grid_blocks, 30u);
  EXPECT_TRUE(ran.every_block);
  EXPECT_TRUE(ran.ran.empty());
  EXPECT_TRUE(kr_emu::block_selected(17, 30));
}

}  // namespace
