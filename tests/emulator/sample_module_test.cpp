// The sample module, built from the same .cu source as the GPU build, runs on the emulator.
#include "emulator_test.h"
#include "sample_module.h"

namespace {

using emu_test::device_array;
using emu_test::EmulatorTest;

TEST_F(EmulatorTest, SampleModuleComputesWeightedRowSums) {
  for (int width : {1, 31, 33, 64}) {
    for (std::uint64_t seed : {0u, 1u, 11u}) {
      kr_emu::set_schedule_seed(seed);
      const int rows = 5;
      std::vector<float> in(static_cast<std::size_t>(rows * width));
      for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i % 13) - 6.0f;
      device_array<float> d_in(in), d_out(static_cast<std::size_t>(rows));
      ASSERT_EQ(sample_weighted_row_sums(rows, width, d_out.get(), d_in.get()), cudaSuccess);
      ASSERT_EQ(cudaGetLastError(), cudaSuccess) << kr_emu::last_fault_message();
      const std::vector<float> out = d_out.read();
      for (int r = 0; r < rows; ++r) {
        // Small integers times powers of two: every order of summation is exact.
        float expected = 0.0f;
        for (int c = 0; c < width; ++c)
          expected +=
              in[static_cast<std::size_t>(r * width + c)] * static_cast<float>(1 << (c % 4));
        EXPECT_EQ(out[static_cast<std::size_t>(r)], expected) << "width " << width << " row " << r;
      }
    }
  }
}

}  // namespace
