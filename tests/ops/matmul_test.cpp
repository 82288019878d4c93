// Float matrix product (taabe54): bit-exact against the host chain of fused multiply-adds.
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/matmul_ref.h"
#include "support/library.h"

namespace {

using kr_test::bits;
using kr_test::messages;
using kr_test::stored;

using kr_test::sentinel;

class MatmulTest : public kr_test::LibraryTest {
 protected:
  // Runs rows x cols x depth with each operand placed after `pad` floats of its buffer.
  void expect_exact(int32_t rows, int32_t cols, int32_t depth, int32_t pad = 0) {
    const auto lhs = kr_test::random_floats(static_cast<size_t>(rows) * depth, -2.0f, 2.0f, 7u + static_cast<uint32_t>(depth));
    const auto rhs = kr_test::random_floats(static_cast<size_t>(cols) * depth, -2.0f, 2.0f, 11u + static_cast<uint32_t>(cols));
    std::vector<float> lhs_buf(pad, sentinel), rhs_buf(2 * pad, sentinel);
    lhs_buf.insert(lhs_buf.end(), lhs.begin(), lhs.end());
    rhs_buf.insert(rhs_buf.end(), rhs.begin(), rhs.end());
    const size_t outputs = static_cast<size_t>(rows) * cols;
    kr_omu_buffer* out = upload(std::vector<float>(outputs + 3 * pad + 1, sentinel));
    kr_omu_op_matmul_args_t args{out, upload(lhs_buf, 4), upload(rhs_buf, 4), rows, cols, depth, 12 * pad, 4 * pad, 8 * pad};
    ASSERT_EQ(taabe54(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto got = download<float>(out, outputs + 3 * pad + 1);
    const auto want = ref::matmul_f32(lhs, rhs, rows, cols, depth);
    for (int32_t i = 0; i < 3 * pad; ++i) ASSERT_EQ(got[i], sentinel) << "before the output, " << i;
    for (size_t e = 0; e < outputs; ++e) {
      ASSERT_EQ(bits(got[3 * pad + e]), bits(want[e])) << rows << "x" << cols << "x" << depth << " element " << e;
    }
    EXPECT_EQ(got[3 * pad + outputs], sentinel) << "past the output";
  }
};

// Depths around the unrolling by four, and a long chain where any reordering shows.
TEST_F(MatmulTest, EqualsTheFusedChainForEveryDepth) {
  for (int32_t depth : {1, 3, 4, 5, 1000}) expect_exact(3, 37, depth);
}

TEST_F(MatmulTest, DepthZeroWritesZeros) {
  kr_omu_buffer* out = upload(std::vector<float>(6, sentinel));
  kr_omu_buffer* in = upload(std::vector<float>{1.0f});
  kr_omu_op_matmul_args_t args{out, in, in, 2, 3, 0, 0, 0, 0};
  ASSERT_EQ(taabe54(device(), nullptr, &args), KR_STATUS_SUCCESS);
  for (float y : download<float>(out, 6)) EXPECT_EQ(bits(y), 0u);
}

TEST_F(MatmulTest, ByteOffsetsAndTheWidestBlock) {
  expect_exact(2, 5, 6, 3);
  expect_exact(2, 1024, 3);
}

// 1025 columns exceed the block limit, negative shapes are no launchable grid: 828 and status 7,
// nothing written.
TEST_F(MatmulTest, UnlaunchableShapesFail) {
  kr_omu_buffer* out = upload(std::vector<float>(4, sentinel));
  kr_omu_buffer* in = upload(std::vector<float>(1025 * 2, 1.0f));
  const int32_t shapes[][3] = {{1, 1025, 2}, {0, 4, 1}, {1, 0, 1}, {-1, 4, 1}, {1, -4, 1}, {INT32_MIN, 4, 1}};
  for (const auto& s : shapes) {
    kr_omu_op_matmul_args_t args{out, in, in, s[0], s[1], s[2], 0, 0, 0};
    EXPECT_EQ(taabe54(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR) << s[0] << " x " << s[1];
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
    kr::error_stack_clear();
  }
  EXPECT_EQ(download<float>(out, 4), std::vector<float>(4, sentinel));
}

TEST_F(MatmulTest, RefusesNullAndMisalignedOperands) {
  kr_omu_buffer* out = upload(std::vector<float>(4, sentinel));
  kr_omu_buffer* in = upload(std::vector<float>(8, 1.0f));
  const kr_omu_op_matmul_args_t refused[] = {{nullptr, in, in, 1, 1, 1, 0, 0, 0}, {out, nullptr, in, 1, 1, 1, 0, 0, 0},
                                             {out, in, nullptr, 1, 1, 1, 0, 0, 0}, {out, in, in, 1, 1, 1, 2, 0, 0},
                                             {out, in, in, 1, 1, 1, 0, 1, 0},     {out, in, in, 1, 1, 1, 0, 0, -3}};
  for (kr_omu_op_matmul_args_t args : refused) EXPECT_EQ(taabe54(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe54(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(download<float>(out, 4), std::vector<float>(4, sentinel));
}

TEST_F(MatmulTest, InjectedLaunchFailure) {
  KR_REQUIRE_EMULATOR();
  kr_omu_buffer* out = upload(std::vector<float>{sentinel});
  kr_omu_buffer* in = upload(std::vector<float>{2.0f});
  kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
  kr_omu_op_matmul_args_t args{out, in, in, 1, 1, 1, 0, 0, 0};
  EXPECT_EQ(taabe54(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(download<float>(out, 1)[0], sentinel);
}

}  // namespace
