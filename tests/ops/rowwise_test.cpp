#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/broadcast_ref.h"
#include "support/library.h"

namespace {

using kr_test::bits;
using kr_test::messages;
using kr_test::stored;

using rows_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t*);

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
using kr_test::sentinel;

class RowwiseTest : public kr_test::LibraryTest {
 protected:
  // Runs `fn` over `in` with the given shape; returns `out_count` output floats plus one.
  std::vector<float> run(rows_fn fn, const std::vector<float>& in, int32_t rows, int32_t n, size_t out_count) {
    kr_omu_buffer* dst = upload(std::vector<float>(out_count + 1, sentinel));
    kr_omu_op_elementwise_broadcast_args_t args{dst, upload(in, 4), rows, n, 0, 0};
    EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_TRUE(messages().empty());
    return download<float>(dst, out_count + 1);
  }
};

TEST_F(RowwiseTest, ReverseRows) {
  EXPECT_EQ(run(taabe194, {1, 2, 3}, 1, 3, 3), (std::vector<float>{3, 2, 1, sentinel}));
  std::mt19937 rng(5);
  for (int32_t n : {1, 255, 256, 257, 600}) {
    const int32_t rows = 3;
    std::vector<float> in(static_cast<size_t>(rows) * n);
    for (float& x : in) x = static_cast<float>(rng() % 100000u);
    const auto out = run(taabe194, in, rows, n, in.size());
    for (int32_t r = 0; r < rows; ++r) {
      for (int32_t j = 0; j < n; ++j) ASSERT_EQ(out[r * n + (n - 1 - j)], in[r * n + j]) << n << " " << r << " " << j;
    }
    EXPECT_EQ(out[in.size()], sentinel);
  }
}

// Strictly left to right in float: (1e8, 1, -1e8) loses the 1; a row of 0 or fewer elements sums
// to 0.
TEST_F(RowwiseTest, RowSumOrder) {
  EXPECT_EQ(run(taabe143, {1e8f, 1.0f, -1e8f}, 1, 3, 1), (std::vector<float>{0.0f, sentinel}));
  EXPECT_EQ(run(taabe143, {1.0f, 1e8f, -1e8f}, 1, 3, 1), (std::vector<float>{0.0f, sentinel}));
  EXPECT_EQ(run(taabe143, {1e8f, -1e8f, 1.0f}, 1, 3, 1), (std::vector<float>{1.0f, sentinel}));
  for (int32_t n : {0, -1, -256, INT32_MIN}) EXPECT_EQ(run(taabe143, {5.0f}, 3, n, 3), (std::vector<float>{0, 0, 0, sentinel}));
  std::mt19937 rng(6);
  std::uniform_real_distribution<float> d(-1e4f, 1e4f);
  const int32_t n = 1000, rows = 4;
  std::vector<float> in(rows * n);
  for (float& x : in) x = d(rng);
  const auto out = run(taabe143, in, rows, n, rows);
  for (int32_t r = 0; r < rows; ++r) EXPECT_EQ(bits(out[r]), bits(ref::row_sum(&in[r * n], n))) << r;
}

TEST_F(RowwiseTest, SoftmaxRows) {
  EXPECT_EQ(run(taabe118, {0.0f, 0.0f}, 1, 2, 2), (std::vector<float>{0.5f, 0.5f, sentinel}));
  // e^-1000 is 0 within expf's error (a few subnormal steps at most).
  const auto far = run(taabe118, {1000.0f, 0.0f}, 1, 2, 2);
  EXPECT_EQ(far[0], 1.0f);
  EXPECT_LE(far[1], 4.0f * 0x1p-149f);
  EXPECT_EQ(run(taabe118, {-inf, 3.0f}, 1, 2, 2), (std::vector<float>{0.0f, 1.0f, sentinel}));

  std::mt19937 rng(7);
  std::uniform_real_distribution<float> d(-30.0f, 30.0f);
  for (int32_t n : {1, 2, 511, 512, 513, 600, 5000}) {
    const int32_t rows = 2;
    std::vector<float> in(static_cast<size_t>(rows) * n);
    for (float& x : in) x = d(rng);
    // Row 1 holds huge values whose differences underflow or overflow, and one minus infinity.
    for (int32_t j = 0; j < n; j += 3) in[n + j] = (j % 2 == 0 ? 3e38f : -3e38f);
    in[n + n / 2] = -inf;
    const auto out = run(taabe118, in, rows, n, in.size());
    for (int32_t r = 0; r < rows; ++r) {
      const auto want = ref::softmax_row(std::vector<float>(in.begin() + r * n, in.begin() + (r + 1) * n));
      for (int32_t j = 0; j < n; ++j) {
        ASSERT_TRUE(ref::within(want[j], out[r * n + j]))
            << "n " << n << " row " << r << " column " << j << ": " << out[r * n + j] << " vs " << want[j].value;
      }
    }
    EXPECT_EQ(out[in.size()], sentinel);
  }
  // A NaN anywhere, a row of minus infinities, or plus infinity: every output NaN.
  for (const std::vector<float>& row : {std::vector<float>{1.0f, nan, 2.0f}, std::vector<float>{-inf, -inf, -inf},
                                        std::vector<float>{inf, 1.0f, 2.0f}}) {
    const auto out = run(taabe118, row, 1, 3, 3);
    for (int j = 0; j < 3; ++j) EXPECT_TRUE(std::isnan(out[j])) << j;
  }
  // The maximum found in any warp of the block.
  for (int32_t peak : {0, 31, 32, 480, 511, 1000}) {
    std::vector<float> in(1001, -50.0f);
    in[peak] = 40.0f;
    const auto out = run(taabe118, in, 1, 1001, 1001);
    const auto want = ref::softmax_row(in);
    for (int32_t j = 0; j < 1001; ++j) ASSERT_TRUE(ref::within(want[j], out[j])) << peak << " " << j;
  }
}

TEST_F(RowwiseTest, SpectrumKnownValues) {
  EXPECT_EQ(run(taabe40, std::vector<float>(6, 0.0f), 1, 4, 6),
            (std::vector<float>{0.25f, 0.0f, 0.5f, 0.0f, 0.25f, 0.0f, sentinel}));
  // Log-magnitude 10 clamps to 100; a NaN log-magnitude gives 100 as well.
  EXPECT_EQ(run(taabe40, {10.0f, nan, 0.0f, 0.0f, 0.0f, 0.0f}, 1, 4, 6),
            (std::vector<float>{25.0f, 0.0f, 50.0f, 0.0f, 0.25f, 0.0f, sentinel}));
}

// Even and odd N, more bins than threads, phases beyond 10^4 (full range reduction), and the
// imaginary parts of bins 0 and N / 2 forced to 0.
TEST_F(RowwiseTest, SpectrumRows) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> magnitude(-6.0f, 6.0f);
  std::uniform_real_distribution<float> phase(-4.0f, 4.0f);
  std::uniform_real_distribution<float> large(1e4f, 1e6f);
  for (int32_t n : {1, 2, 7, 8, 255, 256, 300, 301}) {
    const int32_t rows = 3, width = n + 2, h = n / 2;
    std::vector<float> in(static_cast<size_t>(rows) * width, 0.0f);
    for (int32_t r = 0; r < rows; ++r) {
      for (int32_t k = 0; k <= h; ++k) {
        in[r * width + k] = magnitude(rng);
        in[r * width + h + 1 + k] = r == 2 ? (k % 2 ? -large(rng) : large(rng)) : phase(rng);
      }
    }
    const auto out = run(taabe40, in, rows, n, in.size());
    for (int32_t r = 0; r < rows; ++r) {
      const auto want = ref::spectrum_row(std::vector<float>(in.begin() + r * width, in.begin() + (r + 1) * width), n);
      // Elements past the H + 1 pairs (odd N) are not written, except the zero at N + 1.
      for (int32_t j = 0; j < 2 * (h + 1); ++j) {
        ASSERT_TRUE(ref::within(want[j], out[r * width + j]))
            << "n " << n << " row " << r << " element " << j << ": " << out[r * width + j] << " vs " << want[j].value;
      }
      EXPECT_EQ(bits(out[r * width + 1]), bits(0.0f));
      EXPECT_EQ(bits(out[r * width + n + 1]), bits(0.0f));
    }
    EXPECT_EQ(out[in.size()], sentinel);
  }
}

// Refusals without a message and without writing: null records, misaligned addresses, negative
// row counts (and a negative N for the spectrum, whose zero writes would leave the rows). No rows:
// the empty grid fails with the entry's 828 record. A negative N writes nothing elsewhere.
TEST_F(RowwiseTest, RefusalsAndLaunchFailures) {
  const std::vector<uint8_t> poison(256, 0x5A);
  for (rows_fn fn : {taabe194, taabe118, taabe143, taabe40}) {
    kr_omu_buffer* src = upload(poison);
    kr_omu_buffer* dst = upload(poison);
    std::vector<kr_omu_op_elementwise_broadcast_args_t> refused = {
        {dst, src, 1, 2, 2, 0}, {dst, src, 1, 2, 0, 1}, {nullptr, src, 1, 2, 0, 0}, {dst, nullptr, 1, 2, 0, 0}};
    for (int32_t negative : {-1, -256, -257, INT32_MIN}) {
      refused.push_back({dst, src, negative, 2, 0, 0});
      if (fn == taabe40) refused.push_back({dst, src, 2, negative, 0, 0});
    }
    for (kr_omu_op_elementwise_broadcast_args_t args : refused) {
      EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT) << args.num_rows << " " << args.row_length;
    }
    EXPECT_EQ(fn(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(messages().empty());
    if (fn != taabe143 && fn != taabe40) {
      for (int32_t negative : {-1, -256, -257, INT32_MIN}) {
        kr_omu_op_elementwise_broadcast_args_t args{dst, src, 2, negative, 0, 0};
        EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
      }
    }
    kr_omu_op_elementwise_broadcast_args_t empty{dst, src, 0, 2, 0, 0};
    EXPECT_EQ(fn(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
    kr::error_stack_clear();
    EXPECT_EQ(download<uint8_t>(dst, poison.size()), poison);
  }
}

// Offsets are bytes.
TEST_F(RowwiseTest, ByteOffsets) {
  kr_omu_buffer* src = upload(std::vector<float>{sentinel, 1.0f, 2.0f, 3.0f});
  kr_omu_buffer* dst = upload(std::vector<float>(5, sentinel));
  kr_omu_op_elementwise_broadcast_args_t args{dst, src, 1, 3, 8, 4};
  ASSERT_EQ(taabe194(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<float>(dst, 5), (std::vector<float>{sentinel, sentinel, 3.0f, 2.0f, 1.0f}));
  ASSERT_EQ(taabe143(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<float>(dst, 5), (std::vector<float>{sentinel, sentinel, 6.0f, 2.0f, 1.0f}));
  // Softmax and spectrum (N = 1: rows of 3) read from the second element and write from the third.
  ASSERT_EQ(taabe118(device(), nullptr, &args), KR_STATUS_SUCCESS);
  auto out = download<float>(dst, 5);
  const auto want = ref::softmax_row({1.0f, 2.0f, 3.0f});
  EXPECT_EQ(out[1], sentinel);
  for (int j = 0; j < 3; ++j) EXPECT_TRUE(ref::within(want[j], out[2 + j])) << j;
  kr_omu_op_elementwise_broadcast_args_t spectrum{dst, src, 1, 1, 8, 4};
  ASSERT_EQ(taabe40(device(), nullptr, &spectrum), KR_STATUS_SUCCESS);
  out = download<float>(dst, 5);
  const auto bins = ref::spectrum_row({1.0f, 2.0f, 3.0f}, 1);
  EXPECT_EQ(out[1], sentinel);
  EXPECT_TRUE(ref::within(bins[0], out[2]));
  EXPECT_EQ(bits(out[3]), bits(0.0f));
}

}  // namespace
