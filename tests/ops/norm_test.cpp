#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/norm_ref.h"
#include "support/library.h"

namespace {

using kr_test::bits;
using kr_test::messages;
using kr_test::stored;

using kr_test::sentinel;
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

std::string show(float x) {
  std::ostringstream s;
  s << std::hexfloat << x;
  return s.str();
}

const int32_t row_lengths[] = {1, 7, 31, 32, 33, 512, 513, 1500};

class NormTest : public kr_test::LibraryTest {
 protected:
  // Rows of random values around an offset, so that the mean matters.
  static std::vector<float> random_rows(std::mt19937& rng, int32_t rows, int32_t n) {
    std::uniform_real_distribution<float> d(-3.0f, 5.0f);
    std::vector<float> v(static_cast<size_t>(rows) * n);
    for (float& x : v) x = d(rng);
    return v;
  }

  // Runs the float layer normalisation (beta given) or the RMS normalisation (beta empty) and
  // checks every row against the reference; the element after the last row keeps its sentinel.
  void check_float(const std::vector<float>& in, int32_t rows, int32_t n, const std::vector<float>& gamma,
                   const std::vector<float>& beta, float epsilon) {
    const size_t total = static_cast<size_t>(rows) * n;
    kr_omu_buffer* dst = upload(std::vector<float>(total + 1, sentinel));
    const bool layer = !beta.empty();
    if (layer) {
      kr_omu_op_layer_norm_args_t args{dst, upload(in), upload(gamma), upload(beta), epsilon, rows, n, 0, 0, 0, 0};
      ASSERT_EQ(taabe120(device(), nullptr, &args), KR_STATUS_SUCCESS);
    } else {
      kr_omu_op_norm_args_t args{dst, upload(in), upload(gamma), epsilon, rows, n, 0, 0, 0};
      ASSERT_EQ(taabe167(device(), nullptr, &args), KR_STATUS_SUCCESS);
    }
    const auto out = download<float>(dst, total + 1);
    for (int32_t r = 0; r < rows; ++r) {
      const float* x = &in[static_cast<size_t>(r) * n];
      const auto want = layer ? ref::layer_norm_row(x, n, gamma.data(), beta.data(), epsilon)
                              : ref::rms_norm_row(x, n, gamma.data(), epsilon);
      for (int32_t c = 0; c < n; ++c) {
        const float y = out[static_cast<size_t>(r) * n + c];
        ASSERT_TRUE(ref::accepts(want[c], y)) << (layer ? "layer" : "rms") << " n " << n << " row " << r << " column "
                                              << c << ": " << show(y) << " not in " << show(want[c].lo) << " .. "
                                              << show(want[c].hi);
      }
    }
    EXPECT_EQ(out[total], sentinel);
  }

  void check_q7(const std::vector<float>& in, int32_t rows, int32_t n, const std::vector<int8_t>& gamma,
                const std::vector<int8_t>& beta, float epsilon) {
    const size_t total = static_cast<size_t>(rows) * n;
    kr_omu_buffer* dst = upload(std::vector<float>(total + 1, sentinel));
    kr_omu_op_layer_norm_args_t args{dst, upload(in), upload(gamma), upload(beta), epsilon, rows, n, 0, 0, 0, 0};
    ASSERT_EQ(taabe230(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto out = download<float>(dst, total + 1);
    for (int32_t r = 0; r < rows; ++r) {
      const auto want = ref::layer_norm_q7_row(&in[static_cast<size_t>(r) * n], n, gamma.data(), beta.data(), epsilon);
      for (int32_t c = 0; c < n; ++c) {
        const float y = out[static_cast<size_t>(r) * n + c];
        ASSERT_TRUE(std::isnan(want[c]) ? std::isnan(y) : bits(y) == bits(want[c]))
            << "q7 n " << n << " row " << r << " column " << c << ": " << show(y) << " vs " << show(want[c]);
      }
    }
    EXPECT_EQ(out[total], sentinel);
  }
};

TEST_F(NormTest, RowsOfEveryLength) {
  std::mt19937 rng(51);
  std::uniform_real_distribution<float> d(-2.0f, 2.0f);
  for (int32_t n : row_lengths) {
    SCOPED_TRACE(n);
    const int32_t rows = 3;  // odd: the Q7 entry's last block holds one row
    const auto in = random_rows(rng, rows, n);
    std::vector<float> gamma(n), beta(n);
    std::vector<int8_t> g8(n), b8(n);
    for (int32_t c = 0; c < n; ++c) {
      gamma[c] = d(rng);
      beta[c] = d(rng);
      g8[c] = static_cast<int8_t>(rng());
      b8[c] = static_cast<int8_t>(rng());
    }
    g8[0] = -128;  // factor 0: exactly b / 128
    if (n > 1) g8[1] = 0;
    check_float(in, rows, n, gamma, beta, 1e-5f);
    check_float(in, rows, n, gamma, {}, 1e-5f);
    check_q7(in, rows, n, g8, b8, 1e-5f);
  }
}

// Identical values (the variance is 0 or a rounding residue of either sign) and zero rows with
// epsilon 0 (infinite reciprocal square root: NaN) and above 0 (outputs beta, or 0).
TEST_F(NormTest, FlatAndZeroRows) {
  for (int32_t n : {7, 33, 1500}) {
    SCOPED_TRACE(n);
    std::vector<float> flat(2 * n, 0.1f);
    std::fill(flat.begin() + n, flat.end(), 0.0f);
    const std::vector<float> gamma(n, 1.5f), beta(n, -0.25f);
    const std::vector<int8_t> g8(n, 64), b8(n, -32);
    for (float epsilon : {0.0f, 1e-3f}) {
      check_float(flat, 2, n, gamma, beta, epsilon);
      check_float(flat, 2, n, gamma, {}, epsilon);
      check_q7(flat, 2, n, g8, b8, epsilon);
    }
  }
  // Spelled out: a zero row with epsilon 0 is NaN everywhere, with epsilon 1e-3 it is beta.
  std::vector<float> out;
  kr_omu_buffer* dst = upload(std::vector<float>(3, sentinel));
  kr_omu_op_layer_norm_args_t args{dst, upload(std::vector<float>(3, 0.0f)), upload(std::vector<float>(3, 2.0f)),
                                   upload(std::vector<float>{1.0f, -1.0f, 0.5f}), 0.0f, 1, 3, 0, 0, 0, 0};
  ASSERT_EQ(taabe120(device(), nullptr, &args), KR_STATUS_SUCCESS);
  for (float y : download<float>(dst, 3)) EXPECT_TRUE(std::isnan(y));
  args.epsilon = 1e-3f;
  ASSERT_EQ(taabe120(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<float>(dst, 3), (std::vector<float>{1.0f, -1.0f, 0.5f}));
}

// Offsets are bytes, on every buffer; nothing around the row is touched.
TEST_F(NormTest, ByteOffsets) {
  const std::vector<float> in = {sentinel, 1.0f, 2.0f, 4.0f};
  const std::vector<float> gamma = {sentinel, sentinel, 1.0f, 2.0f, -1.0f};
  const std::vector<float> beta = {sentinel, sentinel, sentinel, 0.5f, 0.0f, -0.5f};
  const auto want = ref::layer_norm_row(&in[1], 3, &gamma[2], &beta[3], 1e-5f);
  const auto want_rms = ref::rms_norm_row(&in[1], 3, &gamma[2], 1e-5f);
  kr_omu_buffer* dst = upload(std::vector<float>(5, sentinel));
  kr_omu_op_layer_norm_args_t args{dst, upload(in), upload(gamma), upload(beta), 1e-5f, 1, 3, 8, 4, 8, 12};
  ASSERT_EQ(taabe120(device(), nullptr, &args), KR_STATUS_SUCCESS);
  auto out = download<float>(dst, 5);
  EXPECT_EQ(out[0], sentinel);
  EXPECT_EQ(out[1], sentinel);
  for (int c = 0; c < 3; ++c) EXPECT_TRUE(ref::accepts(want[c], out[2 + c])) << c;

  kr_omu_op_norm_args_t rms{dst, upload(in), upload(gamma), 1e-5f, 1, 3, 8, 4, 8};
  ASSERT_EQ(taabe167(device(), nullptr, &rms), KR_STATUS_SUCCESS);
  out = download<float>(dst, 5);
  for (int c = 0; c < 3; ++c) EXPECT_TRUE(ref::accepts(want_rms[c], out[2 + c])) << c;

  const std::vector<int8_t> g8 = {9, 9, 9, -128, 0, 64}, b8 = {9, 64, -128, 127};
  const auto want_q7 = ref::layer_norm_q7_row(&in[1], 3, &g8[3], &b8[1], 1e-5f);
  kr_omu_op_layer_norm_args_t q7{dst, upload(in), upload(g8), upload(b8), 1e-5f, 1, 3, 8, 4, 3, 1};
  ASSERT_EQ(taabe230(device(), nullptr, &q7), KR_STATUS_SUCCESS);
  out = download<float>(dst, 5);
  EXPECT_EQ(out[1], sentinel);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(bits(out[2 + c]), bits(want_q7[c])) << c;
  EXPECT_EQ(out[2], 0.5f);  // g = -128: exactly b / 128
}

// Refusals (no message, nothing written): null record or buffer, misaligned float addresses, a
// negative row count. No rows: the empty grid fails with 828. A row length of 0 or below writes
// nothing and succeeds.
TEST_F(NormTest, RefusalsAndEmptyShapes) {
  const std::vector<uint8_t> poison(256, 0x5A);
  kr_omu_buffer* src = upload(poison);
  kr_omu_buffer* par = upload(poison);
  kr_omu_buffer* dst = upload(poison);
  for (bool q7 : {false, true}) {
    auto fn = q7 ? taabe230 : taabe120;
    std::vector<kr_omu_op_layer_norm_args_t> refused = {
        {dst, src, par, par, 0.0f, 1, 4, 2, 0, 0, 0},      {dst, src, par, par, 0.0f, 1, 4, 0, 1, 0, 0},
        {nullptr, src, par, par, 0.0f, 1, 4, 0, 0, 0, 0},  {dst, nullptr, par, par, 0.0f, 1, 4, 0, 0, 0, 0},
        {dst, src, nullptr, par, 0.0f, 1, 4, 0, 0, 0, 0},  {dst, src, par, nullptr, 0.0f, 1, 4, 0, 0, 0, 0}};
    if (!q7) {
      refused.push_back({dst, src, par, par, 0.0f, 1, 4, 0, 0, 2, 0});
      refused.push_back({dst, src, par, par, 0.0f, 1, 4, 0, 0, 0, 1});
    }
    for (int32_t negative : {-1, -256, -257, INT32_MIN}) refused.push_back({dst, src, par, par, 0.0f, negative, 4, 0, 0, 0, 0});
    for (kr_omu_op_layer_norm_args_t args : refused) EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT) << q7;
    EXPECT_EQ(fn(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
    for (int32_t n : {0, -1, -256, -257, INT32_MIN}) {
      kr_omu_op_layer_norm_args_t args{dst, src, par, par, 0.0f, 3, n, 0, 0, 0, 0};
      EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_SUCCESS) << q7 << " " << n;
    }
    EXPECT_TRUE(messages().empty());
    kr_omu_op_layer_norm_args_t empty{dst, src, par, par, 0.0f, 0, 4, 0, 0, 0, 0};
    EXPECT_EQ(fn(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
    kr::error_stack_clear();
  }
  std::vector<kr_omu_op_norm_args_t> refused = {{dst, src, par, 0.0f, 1, 4, 2, 0, 0},     {dst, src, par, 0.0f, 1, 4, 0, 1, 0},
                                                {dst, src, par, 0.0f, 1, 4, 0, 0, 3},     {nullptr, src, par, 0.0f, 1, 4, 0, 0, 0},
                                                {dst, nullptr, par, 0.0f, 1, 4, 0, 0, 0}, {dst, src, nullptr, 0.0f, 1, 4, 0, 0, 0}};
  for (int32_t negative : {-1, -256, -257, INT32_MIN}) refused.push_back({dst, src, par, 0.0f, negative, 4, 0, 0, 0});
  for (kr_omu_op_norm_args_t args : refused) EXPECT_EQ(taabe167(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe167(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  for (int32_t n : {0, -1, -256, INT32_MIN}) {
    kr_omu_op_norm_args_t args{dst, src, par, 0.0f, 3, n, 0, 0, 0};
    EXPECT_EQ(taabe167(device(), nullptr, &args), KR_STATUS_SUCCESS) << n;
  }
  EXPECT_TRUE(messages().empty());
  kr_omu_op_norm_args_t empty{dst, src, par, 0.0f, 0, 4, 0, 0, 0};
  EXPECT_EQ(taabe167(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  EXPECT_EQ(download<uint8_t>(dst, poison.size()), poison);
}

class GateTest : public kr_test::LibraryTest {
 protected:
  // Runs the gate and checks every row against the literal bubble sort (or, for `stable`, against
  // a stable sort, which gives the same order for rows without NaN and is fast for long rows).
  void check(const std::vector<float>& scores, int32_t rows, int32_t n, int32_t top_k, bool bubble = true) {
    const size_t total = static_cast<size_t>(rows) * top_k;
    kr_omu_buffer* indices = upload(std::vector<int32_t>(total + 1, -7));
    kr_omu_buffer* probs = upload(std::vector<float>(total + 1, sentinel));
    kr_omu_op_gate_args_t args{indices, probs, upload(scores), rows, top_k, n};
    ASSERT_EQ(taabe149(device(), nullptr, &args), KR_STATUS_SUCCESS);
    ASSERT_TRUE(messages().empty());
    const auto got_indices = download<int32_t>(indices, total + 1);
    const auto got_probs = download<float>(probs, total + 1);
    for (int32_t r = 0; r < rows; ++r) {
      const float* row = &scores[static_cast<size_t>(r) * n];
      std::vector<std::pair<int32_t, float>> top;
      if (bubble) {
        top = ref::bubble_top(row, n, top_k);
      } else {
        std::vector<int32_t> order(n);
        for (int32_t j = 0; j < n; ++j) order[j] = j;
        std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return row[a] > row[b]; });
        for (int32_t j = 0; j < top_k; ++j) top.emplace_back(order[j], row[order[j]]);
      }
      const auto weights = ref::gate_weights(top);
      for (int32_t j = 0; j < top_k; ++j) {
        const size_t at = static_cast<size_t>(r) * top_k + j;
        ASSERT_EQ(got_indices[at], top[j].first) << "row " << r << " position " << j << " of " << n;
        ASSERT_TRUE(ref::within(weights[j], got_probs[at]))
            << "row " << r << " position " << j << ": " << got_probs[at] << " vs " << weights[j].value;
      }
    }
    EXPECT_EQ(got_indices[total], -7);
    EXPECT_EQ(got_probs[total], sentinel);
  }
};

// Ties (lower column first), infinities, NaN walls (a NaN never moves and nothing crosses it),
// signed zeros (equal, so they keep column order), against the literal bubble sort.
TEST_F(GateTest, BubbleSortOrder) {
  const std::vector<std::vector<float>> rows = {
      {1.0f, 3.0f, 3.0f, 2.0f, 3.0f, 0.5f},
      {-inf, 2.0f, inf, -inf, 0.0f, inf},
      {1.0f, nan, 5.0f, 2.0f, nan, 7.0f},
      {nan, 4.0f, 9.0f, nan, nan, 1.0f},
      {3.0f, 1.0f, 2.0f, nan, 8.0f, 9.0f},
      {-0.0f, 0.0f, -0.0f, 1.0f, 0.0f, -1.0f},
      {2.0f, 2.0f, 2.0f, 2.0f, 2.0f, 2.0f},
      {-inf, -inf, -inf, -inf, -inf, -inf},
  };
  std::vector<float> scores;
  for (const auto& r : rows) scores.insert(scores.end(), r.begin(), r.end());
  for (int32_t top_k : {1, 2, 3, 5, 6}) check(scores, static_cast<int32_t>(rows.size()), 6, top_k);
  // Random rows with many ties and some NaN and infinities.
  std::mt19937 rng(61);
  const float specials[] = {nan, inf, -inf, 0.0f, -0.0f};
  for (int32_t n : {1, 2, 17, 64}) {
    std::vector<float> random(static_cast<size_t>(20) * n);
    for (float& x : random) x = rng() % 9 == 0 ? specials[rng() % 5] : static_cast<float>(rng() % 7) - 3.0f;
    for (int32_t top_k : {1, n / 2 + 1, n}) check(random, 20, n, top_k);
  }
}

// top_k 1 gives exactly 1.0; top_k equal to the candidates is the softmax of the whole row in
// descending order; top_k 0 writes nothing.
TEST_F(GateTest, KnownSelections) {
  kr_omu_buffer* indices = upload(std::vector<int32_t>(4, -7));
  kr_omu_buffer* probs = upload(std::vector<float>(4, sentinel));
  kr_omu_op_gate_args_t one{indices, probs, upload(std::vector<float>{0.5f, 9.0f, 9.0f, -3.0f}), 1, 1, 4};
  ASSERT_EQ(taabe149(device(), nullptr, &one), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<int32_t>(indices, 2), (std::vector<int32_t>{1, -7}));
  EXPECT_EQ(download<float>(probs, 2), (std::vector<float>{1.0f, sentinel}));

  kr_omu_op_gate_args_t none{indices, probs, upload(std::vector<float>{0.5f, 9.0f}), 2, 0, 1};
  ASSERT_EQ(taabe149(device(), nullptr, &none), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<int32_t>(indices, 2), (std::vector<int32_t>{1, -7}));

  kr_omu_op_gate_args_t all{indices, probs, upload(std::vector<float>{0.0f, 0.0f}), 1, 2, 2};
  ASSERT_EQ(taabe149(device(), nullptr, &all), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<int32_t>(indices, 2), (std::vector<int32_t>{0, 1}));
  EXPECT_EQ(download<float>(probs, 2), (std::vector<float>{0.5f, 0.5f}));
}

// top_k = every candidate over rows spanning 0 to -36: the softmax exponentiates differences of
// tens of units, where a fast exponential's error (growing with |x|) exceeds the bound.
TEST_F(GateTest, WholeRowSoftmaxOfWidelySpreadScores) {
  std::mt19937 rng(64);
  std::uniform_real_distribution<float> d(-36.0f, 0.0f);
  std::vector<float> scores(64 * 12);
  for (size_t i = 0; i < scores.size(); ++i) scores[i] = i % 12 == 5 ? 0.0f : d(rng);
  check(scores, 64, 12, 12);
}

// 300 rows span two blocks.
TEST_F(GateTest, RowsAcrossBlocks) {
  std::mt19937 rng(62);
  std::normal_distribution<float> d(0.0f, 2.0f);
  std::vector<float> scores(300 * 40);
  for (float& x : scores) x = d(rng);
  check(scores, 300, 40, 8);
  check(scores, 300, 40, 40);
}

// 4096 rows of 1024 candidates: 32 MiB of (column, score) pairs, four times the default device
// heap, all rows written without any scratch allocation.
TEST_F(GateTest, ManyLongRows) {
  KR_SKIP_LARGE_SHAPE_UNDER_THREAD_SANITIZER();
  std::mt19937 rng(63);
  std::vector<float> scores(static_cast<size_t>(4096) * 1024);
  for (float& x : scores) x = static_cast<float>(static_cast<int32_t>(rng() % 2001) - 1000) * 0.01f;
  check(scores, 4096, 1024, 4, false);
}

TEST_F(GateTest, RefusalsAndEmptyGrid) {
  const std::vector<uint8_t> poison(256, 0x5A);
  kr_omu_buffer* scores = upload(poison);
  kr_omu_buffer* indices = upload(poison);
  kr_omu_buffer* probs = upload(poison);
  std::vector<kr_omu_op_gate_args_t> refused = {{nullptr, probs, scores, 1, 1, 4}, {indices, nullptr, scores, 1, 1, 4},
                                                {indices, probs, nullptr, 1, 1, 4}, {indices, probs, scores, 1, 5, 4},
                                                {indices, probs, scores, 1, 1, -1}};
  for (int32_t negative : {-1, -256, -257, INT32_MIN}) refused.push_back({indices, probs, scores, negative, 1, 4});
  for (kr_omu_op_gate_args_t args : refused) {
    EXPECT_EQ(taabe149(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT) << args.num_rows << " " << args.top_k;
  }
  EXPECT_EQ(taabe149(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  // A negative top_k writes nothing.
  for (int32_t negative : {-1, -256, INT32_MIN}) {
    kr_omu_op_gate_args_t args{indices, probs, scores, 2, negative, 4};
    EXPECT_EQ(taabe149(device(), nullptr, &args), KR_STATUS_SUCCESS);
  }
  EXPECT_TRUE(messages().empty());
  kr_omu_op_gate_args_t empty{indices, probs, scores, 0, 1, 4};
  EXPECT_EQ(taabe149(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  EXPECT_EQ(download<uint8_t>(indices, poison.size()), poison);
  EXPECT_EQ(download<uint8_t>(probs, poison.size()), poison);
}

}  // namespace
