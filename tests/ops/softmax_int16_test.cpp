#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "reference/int16_ref.h"
#include "support/library.h"

namespace {

using kr_test::messages;
using kr_test::stored;

constexpr int32_t sentinel = 0x5A5A5A5A;

class SoftmaxInt16Test : public kr_test::LibraryTest {
 protected:
  // Softmax of `rows` rows of `row_length` through the entry at the given byte offsets (multiples
  // of the element sizes). Returns the status; `out` receives the output span plus one element.
  kr_status_t softmax(const std::vector<int16_t>& in, int32_t rows, int32_t row_length, int32_t out_offset,
                      int32_t in_offset, std::vector<int32_t>* out) {
    std::vector<int16_t> padded(in_offset / 2, 7);
    padded.insert(padded.end(), in.begin(), in.end());
    kr_omu_buffer* src = upload(padded, 2);
    const size_t total =
        static_cast<size_t>(rows > 0 ? rows : 0) * static_cast<size_t>(row_length > 0 ? row_length : 0);
    // Every byte 0x5A, so the sentinel reads the same at any offset.
    kr_omu_buffer* dst = upload(std::vector<uint8_t>(out_offset + (total + 1) * 4, 0x5A));
    kr_omu_op_elementwise_broadcast_args_t args{dst, src, rows, row_length, out_offset, in_offset};
    const kr_status_t status = taabe273(device(), nullptr, &args);
    *out = download<int32_t>(dst, total + 1, out_offset);
    return status;
  }

  std::vector<int32_t> softmax(const std::vector<int16_t>& in, int32_t rows, int32_t row_length) {
    std::vector<int32_t> out;
    EXPECT_EQ(softmax(in, rows, row_length, 0, 0, &out), KR_STATUS_SUCCESS);
    EXPECT_TRUE(messages().empty());
    return out;
  }

  // Compares every row with the reference and the element after the last row with the sentinel.
  static void expect_rows(const std::vector<int16_t>& in, int32_t rows, int32_t row_length,
                          const std::vector<int32_t>& out) {
    for (int32_t r = 0; r < rows; ++r) {
      const std::vector<int16_t> row(in.begin() + r * row_length, in.begin() + (r + 1) * row_length);
      const auto want = ref::softmax_row(row);
      for (int32_t c = 0; c < row_length; ++c) {
        ASSERT_EQ(out[r * row_length + c], want[c]) << "row " << r << " column " << c << " of " << row_length;
      }
    }
    EXPECT_EQ(out[static_cast<size_t>(rows) * row_length], sentinel);
  }
};

TEST_F(SoftmaxInt16Test, KnownRows) {
  struct known {
    std::vector<int16_t> row;
    std::vector<int32_t> probabilities;
  };
  const known cases[] = {
      {{0}, {2147483645}},
      {{-32768}, {2147483645}},
      {{500, 500}, {1073741824, 1073741824}},
      {{1024, 0}, {1569936343, 577547305}},
      {{0, -32768}, {2147483406, 242}},
  };
  for (const known& c : cases) {
    const int32_t n = static_cast<int32_t>(c.row.size());
    const auto out = softmax(c.row, 1, n);
    EXPECT_EQ(std::vector<int32_t>(out.begin(), out.begin() + n), c.probabilities);
    EXPECT_EQ(out[n], sentinel);
  }
}

TEST_F(SoftmaxInt16Test, RandomRowsOfEveryLength) {
  std::mt19937 rng(23);
  for (const int32_t row_length : {1, 2, 31, 255, 256, 257, 1000}) {
    SCOPED_TRACE(row_length);
    const int32_t rows = 3;
    std::vector<int16_t> in(rows * row_length);
    // Row 0 spans the whole 16-bit range (differences saturate), row 1 lies within 4.0 of its
    // maximum, row 2 within 24.0 (some exponentials reach the floor of 242).
    for (int32_t c = 0; c < row_length; ++c) {
      in[c] = static_cast<int16_t>(rng());
      in[row_length + c] = static_cast<int16_t>(static_cast<int32_t>(rng() % 4096u) - 1000);
      in[2 * row_length + c] = static_cast<int16_t>(static_cast<int32_t>(rng() % 24576u) - 12000);
    }
    expect_rows(in, rows, row_length, softmax(in, rows, row_length));
  }
}

// A single peak in an otherwise flat row: the maximum must come from whichever warp holds it.
TEST_F(SoftmaxInt16Test, PeakInAnyWarp) {
  const int32_t row_length = 1000;
  for (const int32_t peak : {0, 31, 32, 200, 255, 256, 767, 999}) {
    SCOPED_TRACE(peak);
    std::vector<int16_t> in(row_length, -20000);
    in[peak] = 3000;
    expect_rows(in, 1, row_length, softmax(in, 1, row_length));
  }
}

TEST_F(SoftmaxInt16Test, ByteOffsets) {
  std::mt19937 rng(29);
  std::vector<int16_t> in(2 * 257);
  for (int16_t& x : in) x = static_cast<int16_t>(static_cast<int32_t>(rng() % 8192u) - 4096);
  std::vector<int32_t> out;
  ASSERT_EQ(softmax(in, 2, 257, 12, 6, &out), KR_STATUS_SUCCESS);
  expect_rows(in, 2, 257, out);

  // Misaligned output (4-byte elements) or input (2-byte elements): refused, nothing written.
  for (const auto& [out_offset, in_offset] : {std::pair{2, 0}, std::pair{0, 1}}) {
    ASSERT_EQ(softmax(in, 2, 257, out_offset, in_offset, &out), KR_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(out, std::vector<int32_t>(out.size(), sentinel));
  }
}

TEST_F(SoftmaxInt16Test, EmptyShapesAndFailures) {
  std::vector<int32_t> out;
  // No rows: the empty grid fails the launch.
  EXPECT_EQ(softmax({1, 2}, 0, 2, 0, 0, &out), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  kr::error_stack_clear();
  // Rows of no elements: the blocks run and write nothing.
  kr_omu_buffer* src = upload(std::vector<int16_t>{1, 2});
  kr_omu_buffer* dst = upload(std::vector<int32_t>(4, sentinel));
  kr_omu_op_elementwise_broadcast_args_t no_columns{dst, src, 3, 0, 0, 0};
  EXPECT_EQ(taabe273(device(), nullptr, &no_columns), KR_STATUS_SUCCESS);
  EXPECT_TRUE(messages().empty());

  if (kr_test::emulated()) {
    kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
    kr_omu_op_elementwise_broadcast_args_t one_row{dst, src, 1, 2, 0, 0};
    EXPECT_EQ(taabe273(device(), nullptr, &one_row), KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    kr::error_stack_clear();
  }
  kr_omu_op_elementwise_broadcast_args_t no_output{nullptr, src, 1, 2, 0, 0};
  kr_omu_op_elementwise_broadcast_args_t no_input{dst, nullptr, 1, 2, 0, 0};
  EXPECT_EQ(taabe273(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe273(device(), nullptr, &no_output), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe273(device(), nullptr, &no_input), KR_STATUS_INVALID_ARGUMENT);
  for (int32_t negative : {-1, -256, -257, INT32_MIN}) {
    kr_omu_op_elementwise_broadcast_args_t rows{dst, src, negative, 2, 0, 0};
    EXPECT_EQ(taabe273(device(), nullptr, &rows), KR_STATUS_INVALID_ARGUMENT);
  }
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(download<int32_t>(dst, 4), std::vector<int32_t>(4, sentinel));
}

// More rows than a grid's y or z dimension may have (65,535): the rows are the grid's x blocks,
// and the last ones are computed too.
TEST_F(SoftmaxInt16Test, LargeShapeMoreRowsThan65535) {
  KR_SKIP_LARGE_SHAPE_UNDER_THREAD_SANITIZER();
  const int32_t rows = 65537, row_length = 3;
  std::vector<int16_t> in(static_cast<size_t>(rows) * row_length);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(static_cast<int32_t>(i * 7919 % 20000) - 10000);
  const std::vector<int32_t> out = softmax(in, rows, row_length);
  for (int32_t r = 0; r < rows; r += (r + 2000 < rows ? 997 : 1)) {
    const std::vector<int16_t> row(in.begin() + r * row_length, in.begin() + (r + 1) * row_length);
    const auto want = ref::softmax_row(row);
    for (int32_t c = 0; c < row_length; ++c) ASSERT_EQ(out[r * row_length + c], want[c]) << "row " << r;
  }
  EXPECT_EQ(out[static_cast<size_t>(rows) * row_length], sentinel);
}

// Rows far longer than the 256-thread block: each thread strides over hundreds of columns.
TEST_F(SoftmaxInt16Test, RowsFarLongerThanTheBlock) {
  const int32_t rows = 2, row_length = 100003;
  std::mt19937 rng(11);
  std::vector<int16_t> in(static_cast<size_t>(rows) * row_length);
  for (int16_t& v : in) v = static_cast<int16_t>(static_cast<int32_t>(rng() % 8192u) - 6000);
  in[row_length - 1] = 3000;  // the peak in the very last column of the first row
  expect_rows(in, rows, row_length, softmax(in, rows, row_length));
}

}  // namespace
