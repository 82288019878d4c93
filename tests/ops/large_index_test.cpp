// Tensors past 2^31 elements: 2^20 rows of 4096, and rows of 2^31 - 1 where a kernel's grid
// allows them. The emulator backs them with sparse device memory (committed only where written)
// and runs only the first, a middle and the last block of every grid; the last rows, whose starts
// pass 2^31 elements, are checked against the host references. On a GPU these tests skip.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/broadcast_ref.h"
#include "reference/float_ref.h"
#include "reference/int16_ref.h"
#include "reference/norm_ref.h"
#include "support/library.h"

namespace {

using kr_test::bits;

constexpr size_t GiB = size_t{1} << 30;
constexpr uint32_t big_rows = 1u << 20;   // with rows of 4096: 2^32 elements
constexpr uint32_t row_length = 4096;
constexpr int32_t longest_row = INT32_MAX;  // 2^31 - 1

template <typename T>
std::vector<T> random_values(size_t count, uint32_t seed, int lo, int hi) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(lo, hi);
  std::vector<T> v(count);
  for (T& x : v) x = static_cast<T>(d(rng));
  return v;
}

std::vector<float> random_floats(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> d(-4.0f, 4.0f);
  std::vector<float> v(count);
  for (float& x : v) x = d(rng);
  return v;
}

class LargeIndexTest : public kr_test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    if (IsSkipped()) return;
    KR_SKIP_LARGE_SHAPE_UNDER_THREAD_SANITIZER();
    if (!kr_test::set_sparse_memory(512 * GiB) || !kr_test::sample_blocks(3)) {
      GTEST_SKIP() << "needs the emulator's sparse memory and block filter";
    }
    device();
  }
  void TearDown() override {
    for (const auto& b : tensors_) cudaFree(b->address);
    tensors_.clear();
    LibraryTest::TearDown();
  }

  // A sparse device tensor of any size, in a buffer record of the caller's own (a buffer of the
  // library holds at most 2^31 - 1 bytes; entries take their extents from the shape numbers).
  kr_omu_buffer* tensor(size_t bytes) {
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, bytes), cudaSuccess);
    tensors_.push_back(std::make_unique<kr_omu_buffer>(kr_omu_buffer{p, INT32_MAX, 0, 0, nullptr}));
    return tensors_.back().get();
  }

  template <typename T>
  void put(kr_omu_buffer* b, size_t index, const std::vector<T>& values) {
    ASSERT_EQ(cudaMemcpy(static_cast<T*>(b->address) + index, values.data(), values.size() * sizeof(T),
                         cudaMemcpyHostToDevice),
              cudaSuccess);
  }

  template <typename T>
  std::vector<T> get(kr_omu_buffer* b, size_t index, size_t count) {
    std::vector<T> out(count);
    EXPECT_EQ(cudaMemcpy(out.data(), static_cast<const T*>(b->address) + index, count * sizeof(T),
                         cudaMemcpyDeviceToHost),
              cudaSuccess);
    return out;
  }

  std::vector<std::unique_ptr<kr_omu_buffer>> tensors_;
};

constexpr size_t last_row = big_rows - 1;
constexpr size_t last_row_start = last_row * row_length;  // 2^32 - 4096: wraps to -4096 in 32 bits

// ---------------------------------------------------------------------------------------------
// Row-wise float entries: one block per row, so the sampled last block is the last row.

using rows_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t*);

struct rowwise_case {
  const char* name;
  rows_fn fn;
  int32_t n;            // the row parameter N
  size_t out_per_row;   // output floats per row
  // Checks the output row against the input row.
  std::function<void(const std::vector<float>& in, const std::vector<float>& out)> check;
};

TEST_F(LargeIndexTest, LargeShapeRowwiseLastRowPast2To31) {
  const rowwise_case cases[] = {
      {"row reverse", taabe194, static_cast<int32_t>(row_length), row_length,
       [](const std::vector<float>& in, const std::vector<float>& out) {
         for (size_t j = 0; j < row_length; ++j) ASSERT_EQ(bits(out[row_length - 1 - j]), bits(in[j])) << j;
       }},
      {"row softmax", taabe118, static_cast<int32_t>(row_length), row_length,
       [](const std::vector<float>& in, const std::vector<float>& out) {
         const auto want = ref::softmax_row(in);
         for (size_t j = 0; j < row_length; ++j) ASSERT_TRUE(ref::within(want[j], out[j])) << j << ": " << out[j];
       }},
      {"row sum", taabe143, static_cast<int32_t>(row_length), 1,
       [](const std::vector<float>& in, const std::vector<float>& out) {
         EXPECT_EQ(bits(out[0]), bits(ref::row_sum(in.data(), static_cast<int32_t>(row_length))));
       }},
      // Rows of N + 2 = 4096 floats.
      {"spectrum", taabe40, static_cast<int32_t>(row_length) - 2, row_length,
       [](const std::vector<float>& in, const std::vector<float>& out) {
         const auto want = ref::spectrum_row(in, static_cast<int32_t>(row_length) - 2);
         for (size_t j = 0; j < row_length; ++j) ASSERT_TRUE(ref::within(want[j], out[j])) << j << ": " << out[j];
       }},
  };
  kr_omu_buffer* in = tensor(size_t{big_rows} * row_length * sizeof(float));  // 16 GiB
  kr_omu_buffer* out = tensor(size_t{big_rows} * row_length * sizeof(float));
  const std::vector<float> row = random_floats(row_length, 7);
  put(in, last_row_start, row);
  for (const rowwise_case& c : cases) {
    SCOPED_TRACE(c.name);
    kr_omu_op_elementwise_broadcast_args_t args{out, in, static_cast<int32_t>(big_rows), c.n, 0, 0};
    ASSERT_EQ(c.fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    c.check(row, get<float>(out, last_row * c.out_per_row, c.out_per_row));
  }
}

TEST_F(LargeIndexTest, LargeShapeSoftmaxInt16LastRowPast2To31) {
  kr_omu_buffer* in = tensor(size_t{big_rows} * row_length * sizeof(int16_t));
  kr_omu_buffer* out = tensor(size_t{big_rows} * row_length * sizeof(int32_t));
  const auto row = random_values<int16_t>(row_length, 11, -12000, 9000);
  put(in, last_row_start, row);
  kr_omu_op_elementwise_broadcast_args_t args{out, in, static_cast<int32_t>(big_rows), static_cast<int32_t>(row_length),
                                              0, 0};
  ASSERT_EQ(taabe273(device(), nullptr, &args), KR_STATUS_SUCCESS);
  ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  EXPECT_EQ(get<int32_t>(out, last_row_start, row_length), ref::softmax_row(row));
}

// ---------------------------------------------------------------------------------------------
// Normalisations: one block per row (the Q7 form two rows per block).

TEST_F(LargeIndexTest, LargeShapeNormalisationsLastRowPast2To31) {
  kr_omu_buffer* in = tensor(size_t{big_rows} * row_length * sizeof(float));
  kr_omu_buffer* out = tensor(size_t{big_rows} * row_length * sizeof(float));
  const std::vector<float> row = random_floats(row_length, 13);
  put(in, last_row_start, row);
  const std::vector<float> gamma = random_floats(row_length, 17), beta = random_floats(row_length, 19);
  const auto gamma_q7 = random_values<int8_t>(row_length, 23, -128, 127);
  const auto beta_q7 = random_values<int8_t>(row_length, 29, -128, 127);
  const float epsilon = 1e-5f;
  const int32_t n = static_cast<int32_t>(row_length);
  {
    SCOPED_TRACE("layer norm");
    kr_omu_op_layer_norm_args_t args{out, in, upload(gamma), upload(beta), epsilon, static_cast<int32_t>(big_rows), n,
                                     0, 0, 0, 0};
    ASSERT_EQ(taabe120(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto got = get<float>(out, last_row_start, row_length);
    const auto want = ref::layer_norm_row(row.data(), n, gamma.data(), beta.data(), epsilon);
    for (size_t j = 0; j < row_length; ++j) ASSERT_TRUE(ref::accepts(want[j], got[j])) << j << ": " << got[j];
  }
  {
    SCOPED_TRACE("RMS norm");
    kr_omu_op_norm_args_t args{out, in, upload(gamma), epsilon, static_cast<int32_t>(big_rows), n, 0, 0, 0};
    ASSERT_EQ(taabe167(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto got = get<float>(out, last_row_start, row_length);
    const auto want = ref::rms_norm_row(row.data(), n, gamma.data(), epsilon);
    for (size_t j = 0; j < row_length; ++j) ASSERT_TRUE(ref::accepts(want[j], got[j])) << j << ": " << got[j];
  }
  {
    SCOPED_TRACE("Q7 layer norm");
    kr_omu_op_layer_norm_args_t args{out, in, upload(gamma_q7), upload(beta_q7), epsilon,
                                     static_cast<int32_t>(big_rows), n, 0, 0, 0, 0};
    ASSERT_EQ(taabe230(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto got = get<float>(out, last_row_start, row_length);
    const auto want = ref::layer_norm_q7_row(row.data(), n, gamma_q7.data(), beta_q7.data(), epsilon);
    for (size_t j = 0; j < row_length; ++j) ASSERT_EQ(bits(got[j]), bits(want[j])) << j;
  }
}

// ---------------------------------------------------------------------------------------------
// Broadcast entries: blocks of 8 rows x 8 columns; the sampled last block is the bottom-right
// tile of rows 2^20 - 8 .. 2^20 - 1, columns 4088 .. 4095.

using broadcast_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t*);

struct broadcast_case {
  const char* name;
  broadcast_fn fn;
  bool by_column;
  float (*expected)(float a, float b, float old);
};

TEST_F(LargeIndexTest, LargeShapeBroadcastLastTilePast2To31) {
  const broadcast_case cases[] = {
      {"add row", taabe155, false, [](float a, float b, float) { return a + b; }},
      {"multiply row", taabe69, false, [](float a, float b, float) { return a * b; }},
      {"multiply-accumulate row", taabe246, false, [](float a, float b, float old) { return std::fma(a, b, old); }},
      {"multiply column", taabe46, true, [](float a, float b, float) { return a * b; }},
      {"subtract column", taabe249, true, [](float a, float b, float) { return a - b; }},
  };
  constexpr size_t tile = 8, first_row = big_rows - tile, first_column = row_length - tile;
  kr_omu_buffer* a = tensor(size_t{big_rows} * row_length * sizeof(float));
  kr_omu_buffer* out = tensor(size_t{big_rows} * row_length * sizeof(float));
  kr_omu_buffer* row_vector = tensor(row_length * sizeof(float));
  kr_omu_buffer* column_vector = tensor(big_rows * sizeof(float));
  const std::vector<float> rows_b = random_floats(row_length, 31), columns_b = random_floats(tile, 37);
  put(row_vector, 0, rows_b);
  put(column_vector, first_row, columns_b);
  std::vector<std::vector<float>> tile_a;
  for (size_t r = 0; r < tile; ++r) {
    tile_a.push_back(random_floats(tile, 41 + static_cast<uint32_t>(r)));
    put(a, (first_row + r) * row_length + first_column, tile_a.back());
  }
  for (const broadcast_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<float>> old;
    for (size_t r = 0; r < tile; ++r) {
      old.push_back(random_floats(tile, 53 + static_cast<uint32_t>(r)));
      put(out, (first_row + r) * row_length + first_column, old.back());
    }
    kr_omu_op_pairwise_broadcast_args_t args{out, a, c.by_column ? column_vector : row_vector,
                                             static_cast<int32_t>(big_rows), static_cast<int32_t>(row_length), 0, 0, 0};
    ASSERT_EQ(c.fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
    for (size_t r = 0; r < tile; ++r) {
      const auto got = get<float>(out, (first_row + r) * row_length + first_column, tile);
      for (size_t j = 0; j < tile; ++j) {
        const float b = c.by_column ? columns_b[r] : rows_b[first_column + j];
        ASSERT_EQ(bits(got[j]), bits(c.expected(tile_a[r][j], b, old[r][j]))) << "row " << first_row + r;
      }
    }
  }
  // The Q17 bias add over 32-bit accumulators and a byte row.
  kr_omu_buffer* acc = tensor(size_t{big_rows} * row_length * sizeof(int32_t));
  kr_omu_buffer* acc_out = tensor(size_t{big_rows} * row_length * sizeof(int32_t));
  kr_omu_buffer* bias = tensor(row_length);
  const auto bias_row = random_values<int8_t>(row_length, 59, -128, 127);
  put(bias, 0, bias_row);
  const auto acc_tile = random_values<int32_t>(tile, 61, INT32_MIN, INT32_MAX);
  put(acc, (big_rows - 1) * size_t{row_length} + first_column, acc_tile);
  kr_omu_op_pairwise_broadcast_args_t args{acc_out, acc, bias, static_cast<int32_t>(big_rows),
                                           static_cast<int32_t>(row_length), 0, 0, 0};
  ASSERT_EQ(taabe99(device(), nullptr, &args), KR_STATUS_SUCCESS);
  const auto got = get<int32_t>(acc_out, (big_rows - 1) * size_t{row_length} + first_column, tile);
  for (size_t j = 0; j < tile; ++j) EXPECT_EQ(got[j], ref::bias_q17(acc_tile[j], bias_row[first_column + j])) << j;
}

// Row concatenation: blocks of two rows; the sampled last block writes the last two output rows of
// 8192 floats, which start past 2^33 elements.
TEST_F(LargeIndexTest, LargeShapeConcatenationLastRowsPast2To31) {
  kr_omu_buffer* a = tensor(size_t{big_rows} * row_length * sizeof(float));
  kr_omu_buffer* b = tensor(size_t{big_rows} * row_length * sizeof(float));
  kr_omu_buffer* out = tensor(size_t{big_rows} * 2 * row_length * sizeof(float));  // 32 GiB
  for (const int32_t n : {static_cast<int32_t>(row_length), static_cast<int32_t>(row_length) - 1}) {
    SCOPED_TRACE(n == static_cast<int32_t>(row_length) ? "float4 rows" : "element rows");
    std::vector<std::vector<float>> ra, rb;
    for (size_t r = big_rows - 2; r < big_rows; ++r) {
      ra.push_back(random_floats(static_cast<size_t>(n), 67 + static_cast<uint32_t>(r)));
      rb.push_back(random_floats(static_cast<size_t>(n), 71 + static_cast<uint32_t>(r)));
      put(a, r * n, ra.back());
      put(b, r * n, rb.back());
    }
    kr_omu_op_pairwise_broadcast_args_t args{out, a, b, static_cast<int32_t>(big_rows), n, 0, 0, 0};
    ASSERT_EQ(taabe24(device(), nullptr, &args), KR_STATUS_SUCCESS);
    for (size_t k = 0; k < 2; ++k) {
      const size_t r = big_rows - 2 + k;
      const auto got = get<float>(out, r * 2 * n, 2 * static_cast<size_t>(n));
      for (int32_t j = 0; j < n; ++j) {
        ASSERT_EQ(bits(got[j]), bits(ra[k][j])) << "row " << r << " column " << j;
        ASSERT_EQ(bits(got[n + j]), bits(rb[k][j])) << "row " << r << " column " << n + j;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Top-k gate: one thread per row.

void expect_gate_row(const std::vector<float>& scores, int32_t top_k, const std::vector<int32_t>& indices,
                     const std::vector<float>& probs) {
  const auto top = ref::bubble_top(scores.data(), static_cast<int32_t>(scores.size()), top_k);
  const auto weights = ref::gate_weights(top);
  for (int32_t j = 0; j < top_k; ++j) {
    EXPECT_EQ(indices[j], top[j].first) << j;
    EXPECT_TRUE(ref::within(weights[j], probs[j])) << j << ": " << probs[j];
  }
}

// 2^20 rows of 4096 candidates: the sampled last block holds the last 256 rows.
TEST_F(LargeIndexTest, LargeShapeGateLastRowPast2To31) {
  constexpr int32_t top_k = 4;
  kr_omu_buffer* scores = tensor(size_t{big_rows} * row_length * sizeof(float));
  kr_omu_buffer* indices = tensor(size_t{big_rows} * top_k * sizeof(int32_t));
  kr_omu_buffer* probs = tensor(size_t{big_rows} * top_k * sizeof(float));
  const std::vector<float> row = random_floats(row_length, 73);
  put(scores, last_row_start, row);
  kr_omu_op_gate_args_t args{indices, probs, scores, static_cast<int32_t>(big_rows), top_k,
                             static_cast<int32_t>(row_length)};
  ASSERT_EQ(taabe149(device(), nullptr, &args), KR_STATUS_SUCCESS);
  expect_gate_row(row, top_k, get<int32_t>(indices, last_row * top_k, top_k), get<float>(probs, last_row * top_k, top_k));
}

// Three rows of 2^31 - 1 candidates (24 GiB of scores): a NaN right after the first top_k scores
// ends each row's first segment, so the kernel reads only those, at row starts past 2^31.
TEST_F(LargeIndexTest, LargeShapeGateRowsOf2To31Minus1) {
  constexpr int32_t top_k = 5, rows = 3;
  kr_omu_buffer* scores = tensor(size_t{rows} * longest_row * sizeof(float));
  kr_omu_buffer* indices = tensor(size_t{rows} * top_k * sizeof(int32_t));
  kr_omu_buffer* probs = tensor(size_t{rows} * top_k * sizeof(float));
  std::vector<std::vector<float>> heads;
  for (size_t r = 0; r < rows; ++r) {
    heads.push_back(random_floats(top_k, 79 + static_cast<uint32_t>(r)));
    heads.back().push_back(std::numeric_limits<float>::quiet_NaN());
    put(scores, r * longest_row, heads.back());
  }
  kr_omu_op_gate_args_t args{indices, probs, scores, rows, top_k, longest_row};
  ASSERT_EQ(taabe149(device(), nullptr, &args), KR_STATUS_SUCCESS);
  const auto got_indices = get<int32_t>(indices, 0, rows * top_k);
  const auto got_probs = get<float>(probs, 0, rows * top_k);
  for (size_t r = 0; r < rows; ++r) {
    SCOPED_TRACE(r);
    // The bubble sort moves nothing across the NaN: the first top_k + 1 candidates decide.
    expect_gate_row(heads[r], top_k, std::vector<int32_t>(got_indices.begin() + r * top_k, got_indices.end()),
                    std::vector<float>(got_probs.begin() + r * top_k, got_probs.end()));
  }
}

// ---------------------------------------------------------------------------------------------
// Standardisation: blocks of 16 columns x 16 rows.

void expect_standardized(const std::vector<int16_t>& in, const std::vector<int16_t>& mean,
                         const std::vector<int16_t>& scale, const std::vector<int16_t>& out) {
  for (size_t j = 0; j < in.size(); ++j) ASSERT_EQ(out[j], ref::standardize(in[j], mean[j], scale[j])) << j;
}

// 2^20 - 16 rows (the grid's y limit of 65535 blocks) of 4096: the sampled last block is the
// bottom-right tile.
TEST_F(LargeIndexTest, LargeShapeStandardisationLastTilePast2To31) {
  constexpr size_t rows = 16 * 65535, tile = 16, first_column = row_length - tile;
  kr_omu_buffer* in = tensor(rows * row_length * sizeof(int16_t));
  kr_omu_buffer* out = tensor(rows * row_length * sizeof(int16_t));
  const auto mean = random_values<int16_t>(row_length, 83, -32768, 32767);
  const auto scale = random_values<int16_t>(row_length, 89, -32768, 32767);
  const std::vector<int16_t> tile_mean(mean.begin() + first_column, mean.end());
  const std::vector<int16_t> tile_scale(scale.begin() + first_column, scale.end());
  std::vector<std::vector<int16_t>> tile_in;
  for (size_t r = rows - tile; r < rows; ++r) {
    tile_in.push_back(random_values<int16_t>(tile, 97 + static_cast<uint32_t>(r), -32768, 32767));
    put(in, r * row_length + first_column, tile_in.back());
  }
  kr_omu_op_standardize_args_t args{out, in, upload(mean), upload(scale), static_cast<int32_t>(rows),
                                    static_cast<int32_t>(row_length), 0, 0};
  ASSERT_EQ(taabe86(device(), nullptr, &args), KR_STATUS_SUCCESS);
  for (size_t k = 0; k < tile; ++k) {
    SCOPED_TRACE(rows - tile + k);
    expect_standardized(tile_in[k], tile_mean, tile_scale,
                        get<int16_t>(out, (rows - tile + k) * row_length + first_column, tile));
  }
}

// Two rows of 2^31 - 1 columns (8 GiB per tensor): the sampled last block holds the last 15
// columns of both rows; the second row's start is 2^31 - 1 elements in.
TEST_F(LargeIndexTest, LargeShapeStandardisationRowsOf2To31Minus1) {
  constexpr size_t rows = 2, columns = longest_row, tail = 15, first_column = columns - tail;
  kr_omu_buffer* in = tensor(rows * columns * sizeof(int16_t));
  kr_omu_buffer* out = tensor(rows * columns * sizeof(int16_t));
  kr_omu_buffer* mean = tensor(columns * sizeof(int16_t));
  kr_omu_buffer* scale = tensor(columns * sizeof(int16_t));
  const auto tail_mean = random_values<int16_t>(tail, 101, -32768, 32767);
  const auto tail_scale = random_values<int16_t>(tail, 103, -32768, 32767);
  put(mean, first_column, tail_mean);
  put(scale, first_column, tail_scale);
  std::vector<std::vector<int16_t>> tails;
  for (size_t r = 0; r < rows; ++r) {
    tails.push_back(random_values<int16_t>(tail, 107 + static_cast<uint32_t>(r), -32768, 32767));
    put(in, r * columns + first_column, tails.back());
  }
  kr_omu_op_standardize_args_t args{out, in, mean, scale, static_cast<int32_t>(rows), longest_row, 0, 0};
  ASSERT_EQ(taabe86(device(), nullptr, &args), KR_STATUS_SUCCESS);
  for (size_t r = 0; r < rows; ++r) {
    SCOPED_TRACE(r);
    expect_standardized(tails[r], tail_mean, tail_scale, get<int16_t>(out, r * columns + first_column, tail));
  }
}

}  // namespace
