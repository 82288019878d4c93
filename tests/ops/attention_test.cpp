// Attention over the 8-bit key/value cache, and fused attention over float tensors.
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/attention_ref.h"
#include "support/library.h"

namespace {

using kr_test::messages;
using kr_test::stored;

using kr_test::sentinel;

using kr_test::random_floats;

// ---------------------------------------------------------------------------------------------
// Attend

struct attend_shape {
  int32_t length, capacity, position, heads, kv_heads, head_size;
};

std::string describe(const attend_shape& s) {
  return "A " + std::to_string(s.length) + " B " + std::to_string(s.capacity) + " position " +
         std::to_string(s.position) + " H " + std::to_string(s.heads) + "/" + std::to_string(s.kv_heads) + " E " +
         std::to_string(s.head_size);
}

// A cache of random codes, offsets in [-1, 1] and small steps; every fifth row has step 0 and so
// decodes to its offset.
ref::kv_cache random_cache(int32_t kv_heads, int32_t capacity, int32_t head_size, uint32_t seed) {
  std::mt19937 rng(seed);
  ref::kv_cache c;
  c.kv_heads = kv_heads;
  c.capacity = capacity;
  c.head_size = head_size;
  const size_t rows = static_cast<size_t>(kv_heads) * capacity;
  c.codes.resize(rows * head_size);
  for (uint8_t& x : c.codes) x = static_cast<uint8_t>(rng() & 0xFF);
  c.offsets = random_floats(rows, -1.0f, 1.0f, seed + 1);
  c.scales = random_floats(rows, 0.0f, 2.0f / 255.0f, seed + 2);
  for (size_t r = 0; r < rows; r += 5) c.scales[r] = 0.0f;
  return c;
}

struct device_cache {
  kr_omu_buffer* codes;
  kr_omu_buffer* offsets;
  kr_omu_buffer* scales;
};

class AttendTest : public kr_test::LibraryTest {
 protected:
  device_cache upload_cache(const ref::kv_cache& c) { return {upload(c.codes), upload(c.offsets), upload(c.scales)}; }

  kr_omu_op_attention_attend_args_t args_for(kr_omu_buffer* output, kr_omu_buffer* query, const device_cache& k,
                                             const device_cache& v, const attend_shape& s) {
    return {output,   query,      k.codes,    k.offsets, k.scales,   v.codes,     v.offsets,
            v.scales, s.length,   s.capacity, s.position, s.heads, s.kv_heads, s.head_size};
  }

  // Every output element within the reference's bound, and nothing written past the output.
  void expect_output(kr_omu_buffer* output, const std::vector<double>& want, const std::vector<double>& bounds,
                     const std::string& what) {
    const std::vector<float> got = download<float>(output, want.size() + 4);
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_LE(std::fabs(static_cast<double>(got[i]) - want[i]), bounds[i])
          << what << " element " << i << ": got " << got[i] << ", want " << want[i];
    }
    for (size_t i = want.size(); i < got.size(); ++i) EXPECT_EQ(got[i], sentinel) << what << " wrote past the output";
  }

  void check(const attend_shape& s, uint32_t seed) {
    const ref::kv_cache keys = random_cache(s.kv_heads, s.capacity, s.head_size, seed);
    const ref::kv_cache values = random_cache(s.kv_heads, s.capacity, s.head_size, seed + 10);
    const std::vector<float> query =
        random_floats(static_cast<size_t>(s.heads) * s.length * s.head_size, -2.0f, 2.0f, seed + 20);
    check_inputs(s, keys, values, query);
  }

  void check_inputs(const attend_shape& s, const ref::kv_cache& keys, const ref::kv_cache& values,
                    const std::vector<float>& query) {
    const size_t out_floats = static_cast<size_t>(s.length) * s.heads * s.head_size;
    kr_omu_buffer* output = upload(std::vector<float>(out_floats + 4, sentinel));
    kr_omu_op_attention_attend_args_t args = args_for(output, upload(query), upload_cache(keys), upload_cache(values), s);
    ASSERT_EQ(taabe7(device(), nullptr, &args), KR_STATUS_SUCCESS) << describe(s);
    EXPECT_TRUE(messages().empty());
    std::vector<double> bounds;
    const std::vector<double> want = ref::attend(keys, values, query, s.length, s.position, s.heads, &bounds);
    expect_output(output, want, bounds, describe(s));
  }
};

// Nothing wrapped, a wrapped ring (oldest key in slot 6 of 7), two chunks of queries, grouped
// heads, and visible lengths and widths that reach every weighted-sum block shape: v = 1 ... 32
// lanes per item, one item per block up to E x H = 28 and more beyond, up to 512 threads.
TEST_F(AttendTest, MatchesTheReference) {
  const attend_shape shapes[] = {
      {5, 16, 3, 2, 2, 8},     {1, 7, 12, 2, 1, 16},  {130, 140, 0, 1, 1, 4},   {3, 20, 40, 8, 1, 31},
      {2, 9, 4, 8, 2, 1},      {4, 50, 10, 2, 1, 100}, {3, 30, 20, 4, 4, 7},    {2, 64, 50, 1, 1, 29},
      {1, 100, 99, 3, 1, 10},  {2, 200, 150, 2, 2, 33}, {2, 300, 400, 8, 2, 64}, {4, 6, 0, 4, 2, 5}};
  uint32_t seed = 100;
  for (const attend_shape& s : shapes) check(s, seed += 7);
}

// Score gaps of 9 to 99 units below the row maximum (large query and key norms) and large values on
// the low-weight keys, so that a probability's error reaches the output: the lowest probabilities
// are subnormal, which a fast exponential flushes to zero.
TEST_F(AttendTest, WidelySpreadScores) {
  const attend_shape s{2, 12, 11, 2, 1, 4};
  ref::kv_cache keys = random_cache(1, 12, 4, 40), values = random_cache(1, 12, 4, 50);
  for (int32_t r = 0; r < 12; ++r) {
    keys.scales[r] = values.scales[r] = 0.0f;  // every element is the row's offset
    keys.offsets[r] = -0.75f * static_cast<float>(r);
    values.offsets[r] = r == 0 ? 0.25f : (r >= 10 ? 3e38f : 400.0f) * (r % 2 != 0 ? 1.0f : -1.0f);
  }
  check_inputs(s, keys, values, random_floats(2 * 2 * 4, 5.9f, 6.1f, 60));
}

// Decoding 3 x capacity tokens one at a time: each step writes the new key and value rows through
// the cache update and attends the new query against the cache.
TEST_F(AttendTest, DecodesTokenByToken) {
  const int32_t capacity = 5, heads = 4, kv_heads = 2, head_size = 8;
  ref::kv_cache keys, values;
  for (ref::kv_cache* c : {&keys, &values}) {
    c->kv_heads = kv_heads;
    c->capacity = capacity;
    c->head_size = head_size;
    c->codes.assign(static_cast<size_t>(kv_heads) * capacity * head_size, 0);
    c->offsets.assign(static_cast<size_t>(kv_heads) * capacity, 0.0f);
    c->scales.assign(c->offsets.size(), 0.0f);
  }
  const device_cache k = upload_cache(keys);
  const device_cache v = upload_cache(values);
  kr_omu_buffer* output = upload(std::vector<float>(heads * head_size + 4, sentinel));
  for (int32_t position = 0; position < 3 * capacity; ++position) {
    for (ref::kv_cache* c : {&keys, &values}) {
      const device_cache& d = c == &keys ? k : v;
      const std::vector<float> row = random_floats(kv_heads * head_size, -1.5f, 1.5f, 500 + position * 2 + (c == &keys));
      kr_omu_op_update_kv_args_t update{d.codes, d.scales, d.offsets, upload(row), kv_heads, 1, head_size, position,
                                        capacity};
      ASSERT_EQ(taabe186(device(), nullptr, &update), KR_STATUS_SUCCESS);
      ref::update_kv(*c, row, 1, position);
    }
    const std::vector<float> query = random_floats(heads * head_size, -2.0f, 2.0f, 900 + position);
    const attend_shape s{1, capacity, position, heads, kv_heads, head_size};
    kr_omu_op_attention_attend_args_t args = args_for(output, upload(query), k, v, s);
    ASSERT_EQ(taabe7(device(), nullptr, &args), KR_STATUS_SUCCESS) << position;
    std::vector<double> bounds;
    const std::vector<double> want = ref::attend(keys, values, query, 1, position, heads, &bounds);
    expect_output(output, want, bounds, "token " + std::to_string(position));
  }
}

TEST_F(AttendTest, RefusalsWriteNothing) {
  const attend_shape good{2, 4, 1, 4, 2, 8};
  const ref::kv_cache cache = random_cache(2, 4, 8, 3);
  const device_cache k = upload_cache(cache);
  const device_cache v = upload_cache(cache);
  kr_omu_buffer* query = upload(random_floats(4 * 2 * 8, -1.0f, 1.0f, 4));
  kr_omu_buffer* output = upload(std::vector<float>(4 * 2 * 8, sentinel));
  const long allocations = kr_test::live_allocations();
  std::vector<kr_omu_op_attention_attend_args_t> refused;
  for (int field = 0; field < 8; ++field) {
    kr_omu_op_attention_attend_args_t a = args_for(output, query, k, v, good);
    kr_omu_buffer** buffers[] = {&a.output, &a.query, &a.key_cache, &a.key_offsets,
                                 &a.key_scales, &a.value_cache, &a.value_offsets, &a.value_scales};
    *buffers[field] = nullptr;
    refused.push_back(a);
  }
  const attend_shape shapes[] = {
      {2, 4, 1, 0, 2, 8},  {2, 4, 1, -4, 2, 8}, {2, 4, 1, 4, 0, 8},  {2, 4, 1, 4, -2, 8},
      {2, 4, 1, 4, 3, 8},  {2, 4, 1, 2, 4, 8},  {2, 0, 1, 4, 2, 8},  {2, -4, 1, 4, 2, 8},
      {2, 4, -1, 4, 2, 8}, {-1, 4, 1, 4, 2, 8},
      {1, 1 << 20, 1 << 20, 4096, 1, 1}};  // scratch of 2^41 bytes
  for (const attend_shape& s : shapes) refused.push_back(args_for(output, query, k, v, s));
  kr_omu_buffer shifted = *query;
  shifted.address = static_cast<char*>(query->address) + 2;
  refused.push_back(args_for(output, &shifted, k, v, good));
  for (size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(taabe7(device(), nullptr, &refused[i]), KR_STATUS_INVALID_ARGUMENT) << i;
  }
  kr_omu_op_attention_attend_args_t args = args_for(output, query, k, v, good);
  EXPECT_EQ(taabe7(nullptr, nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe7(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(kr_test::live_allocations(), allocations);
  // No new queries: nothing to compute.
  args.length = 0;
  EXPECT_EQ(taabe7(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<float>(output, 4 * 2 * 8), std::vector<float>(4 * 2 * 8, sentinel));
}

// A failed scratch allocation reports itself and launches nothing; a failed launch releases the
// scratch.
TEST_F(AttendTest, ScratchAndLaunchFailures) {
  KR_REQUIRE_EMULATOR();
  const attend_shape s{2, 4, 1, 4, 2, 8};
  const ref::kv_cache cache = random_cache(2, 4, 8, 3);
  const device_cache k = upload_cache(cache);
  kr_omu_buffer* query = upload(random_floats(4 * 2 * 8, -1.0f, 1.0f, 4));
  kr_omu_buffer* output = upload(std::vector<float>(4 * 2 * 8, sentinel));
  const long allocations = kr_test::live_allocations();
  kr_omu_op_attention_attend_args_t args = args_for(output, query, k, k, s);

  kr_test::fail_call("cudaMallocAsync", cudaErrorMemoryAllocation);
  EXPECT_EQ(taabe7(device(), nullptr, &args), KR_STATUS_OUT_OF_MEMORY);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(825, "Failed to alloc memory.")});
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  kr::error_stack_clear();

  for (int nth : {1, 2, 3}) {
    kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure, nth);
    EXPECT_EQ(taabe7(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR) << nth;
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)}) << nth;
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(kr_test::live_allocations(), allocations) << nth;
    kr::error_stack_clear();
  }
  EXPECT_EQ(download<float>(output, 4 * 2 * 8), std::vector<float>(4 * 2 * 8, sentinel));
}

// ---------------------------------------------------------------------------------------------
// Fused attention

struct fused_shape {
  int32_t length, heads, width, window, lookahead;
};

std::string describe(const fused_shape& s) {
  return "T " + std::to_string(s.length) + " H " + std::to_string(s.heads) + " width " + std::to_string(s.width) +
         " window " + std::to_string(s.window) + " lookahead " + std::to_string(s.lookahead);
}

struct fused_inputs {
  std::vector<float> query, key, value, relative_key, relative_value;
};

fused_inputs random_inputs(const fused_shape& s, uint32_t seed) {
  const size_t floats = static_cast<size_t>(s.length) * s.heads * (s.width / s.heads);
  const size_t table = static_cast<size_t>(std::max(2 * s.window + 1, 1)) * (s.width / s.heads);
  return {random_floats(floats, -1.0f, 1.0f, seed), random_floats(floats, -1.0f, 1.0f, seed + 1),
          random_floats(floats, -1.0f, 1.0f, seed + 2), random_floats(table, -0.5f, 0.5f, seed + 3),
          random_floats(table, -0.5f, 0.5f, seed + 4)};
}

// Buffer element offsets of output, query, key, value, the two tables and the scores.
constexpr int32_t leads[7] = {3, 1, 2, 5, 7, 0, 6};

class FusedAttentionTest : public kr_test::LibraryTest {
 protected:
  // `lead` sentinels, the values, then 4 more sentinels.
  kr_omu_buffer* padded(const std::vector<float>& values, int32_t lead) {
    std::vector<float> all(lead, sentinel);
    all.insert(all.end(), values.begin(), values.end());
    all.insert(all.end(), 4, sentinel);
    return upload(all);
  }

  struct run_result {
    std::vector<float> output;  // with the sentinels around it
    std::vector<float> scores;
  };

  run_result run(const fused_shape& s, const fused_inputs& in) {
    const size_t out_floats = static_cast<size_t>(s.length) * s.heads * (s.width / s.heads);
    const size_t score_floats = static_cast<size_t>(s.heads) * s.length * s.length;
    kr_omu_buffer* output = padded(std::vector<float>(out_floats, sentinel), leads[0]);
    kr_omu_buffer* scores = padded(std::vector<float>(score_floats, sentinel), leads[6]);
    kr_omu_op_attention_args_t args{output,   padded(in.query, leads[1]),          padded(in.key, leads[2]),
                                    padded(in.value, leads[3]), padded(in.relative_key, leads[4]),
                                    padded(in.relative_value, leads[5]), scores,   s.length,
                                    s.heads,  s.width,  s.window, s.lookahead, leads[0], leads[1], leads[2],
                                    leads[3], leads[4], leads[5], leads[6]};
    EXPECT_EQ(taabe104(device(), nullptr, &args), KR_STATUS_SUCCESS) << describe(s);
    EXPECT_TRUE(messages().empty());
    return {download<float>(output, out_floats + leads[0] + 4), download<float>(scores, score_floats + leads[6] + 4)};
  }

  void check(const fused_shape& s, const fused_inputs& in) {
    const run_result got = run(s, in);
    const ref::fused_result want = ref::fused_attention(in.query, in.key, in.value, in.relative_key,
                                                        in.relative_value, s.length, s.heads, s.width, s.window,
                                                        s.lookahead);
    const std::string what = describe(s);
    for (size_t i = 0; i < want.output.size(); ++i) {
      const float y = got.output[leads[0] + i];
      ASSERT_LE(std::fabs(static_cast<double>(y) - want.output[i]), want.output_bounds[i])
          << what << " output " << i << ": got " << y << ", want " << want.output[i];
    }
    // Masked score entries keep what they held.
    for (size_t i = 0; i < want.probabilities.size(); ++i) {
      const float p = got.scores[leads[6] + i];
      if (std::isnan(want.probabilities[i])) {
        ASSERT_EQ(p, sentinel) << what << " masked score " << i << " was written";
      } else {
        ASSERT_LE(std::fabs(static_cast<double>(p) - want.probabilities[i]), want.probability_bounds[i])
            << what << " probability " << i << ": got " << p << ", want " << want.probabilities[i];
      }
    }
    for (int32_t i = 0; i < leads[0]; ++i) EXPECT_EQ(got.output[i], sentinel) << what;
    for (size_t i = leads[0] + want.output.size(); i < got.output.size(); ++i) EXPECT_EQ(got.output[i], sentinel) << what;
    for (int32_t i = 0; i < leads[6]; ++i) EXPECT_EQ(got.scores[i], sentinel) << what;
    for (size_t i = leads[6] + want.probabilities.size(); i < got.scores.size(); ++i) {
      EXPECT_EQ(got.scores[i], sentinel) << what;
    }
  }
};

// Full, causal and limited look-ahead (also at and beyond T - 1); windows of 0 (the diagonal
// only), 1, at least T and negative (no embeddings); heads longer than a warp and rows longer than
// a warp; a width that is not a multiple of the head count.
TEST_F(FusedAttentionTest, MatchesTheReference) {
  const fused_shape shapes[] = {{5, 2, 16, 1, -1}, {5, 2, 16, 0, 0},   {6, 1, 8, 2, 2},   {6, 3, 12, 10, 5},
                                {4, 2, 8, 1, 9},   {37, 2, 66, 3, -1}, {7, 3, 20, 2, 1},  {5, 2, 16, -1, -1},
                                {3, 1, 4, 0, 1}};
  uint32_t seed = 300;
  for (const fused_shape& s : shapes) check(s, random_inputs(s, seed += 5));
}

// One position: a probability of exactly 1 per head, and the output is value + relative_value's
// row `window`, bit for bit.
TEST_F(FusedAttentionTest, SinglePosition) {
  const fused_shape s{1, 2, 8, 2, -1};
  const fused_inputs in = random_inputs(s, 77);
  const run_result got = run(s, in);
  EXPECT_EQ(got.scores[leads[6]], 1.0f);
  EXPECT_EQ(got.scores[leads[6] + 1], 1.0f);
  for (int32_t h = 0; h < 2; ++h) {
    for (int32_t e = 0; e < 4; ++e) {
      EXPECT_EQ(kr_test::bits(got.output[leads[0] + h * 4 + e]),
                kr_test::bits(in.value[h * 4 + e] + in.relative_value[2 * 4 + e]))
          << h << " " << e;
    }
  }
}

// Scores all below -1000000 (exact in float here): the maximum is taken as -1000000 and the
// probabilities are those of the scores' differences.
TEST_F(FusedAttentionTest, ScoresBelowTheFloor) {
  const fused_shape s{3, 1, 4, -1, -1};
  fused_inputs in = random_inputs(s, 78);
  for (int32_t t = 0; t < 3; ++t) {
    for (int32_t e = 0; e < 4; ++e) {
      in.query[t * 4 + e] = e == 0 ? 1.0f : 0.0f;
      in.key[t * 4 + e] = e == 0 ? -2000000.0f - 2.0f * static_cast<float>(t * t + 1) : 3.0f;
    }
  }
  check(s, in);
  const run_result got = run(s, in);
  // Scores -1000001, -1000002, -1000005 for every query.
  const double z = 1.0 + std::exp(-1.0) + std::exp(-4.0);
  EXPECT_NEAR(got.scores[leads[6] + 2], std::exp(-4.0) / z, 1e-6);
}

// Scores up to 93 units below each row's maximum (large query and key norms) and large values on the
// low-weight keys, so that a probability's error reaches the output: the lowest probabilities are
// subnormal, which a fast exponential flushes to zero.
TEST_F(FusedAttentionTest, WidelySpreadScores) {
  const fused_shape s{9, 1, 4, -1, -1};
  fused_inputs in = random_inputs(s, 80);
  for (int32_t t = 0; t < 9; ++t) {
    for (int32_t e = 0; e < 4; ++e) {
      in.query[t * 4 + e] = e == 0 ? 6.0f + 0.37f * static_cast<float>(t) : 0.0f;
      in.key[t * 4 + e] = e == 0 ? -2.6f * static_cast<float>(t) : 0.5f;
      in.value[t * 4 + e] = t == 0 ? 0.25f : (t == 8 ? 3e38f : 500.0f) * (e % 2 != 0 ? 1.0f : -1.0f);
    }
  }
  check(s, in);
}

// Zero queries make every score 0 and every probability exactly fl(1 / T); the weighted sums are
// then IEEE-exact in the device's order (lane l sums keys l, l + 32, ... by fused multiply-adds,
// then the butterfly). T x H x E and T x H are odd, so the last block of each grid is half used.
TEST_F(FusedAttentionTest, UniformWeightsAreExact) {
  const fused_shape s{37, 1, 3, 2, -1};
  fused_inputs in = random_inputs(s, 79);
  std::fill(in.query.begin(), in.query.end(), 0.0f);
  const run_result got = run(s, in);
  const float p = 1.0f / 37.0f;
  for (int32_t i = 0; i < 37; ++i) {
    for (int32_t e = 0; e < 3; ++e) {
      std::vector<float> lanes(32, 0.0f);
      for (int32_t j = 0; j < 37; ++j) {
        const int32_t d = j - i;
        const float v = in.value[j * 3 + e] + (std::abs(d) <= 2 ? in.relative_value[(2 + d) * 3 + e] : 0.0f);
        lanes[j % 32] = std::fma(p, v, lanes[j % 32]);
      }
      EXPECT_EQ(kr_test::bits(got.output[leads[0] + i * 3 + e]), kr_test::bits(ref::butterfly_sum(lanes)))
          << i << " " << e;
    }
    EXPECT_EQ(got.scores[leads[6] + i * 37 + 36], p) << i;
  }
}

TEST_F(FusedAttentionTest, RefusalsWriteNothing) {
  const fused_shape good{3, 2, 8, 1, -1};
  const fused_inputs in = random_inputs(good, 5);
  kr_omu_buffer* output = upload(std::vector<float>(24, sentinel));
  kr_omu_buffer* scores = upload(std::vector<float>(18, sentinel));
  kr_omu_buffer* data = upload(in.query);
  kr_omu_buffer* table = upload(in.relative_key);
  const kr_omu_op_attention_args_t base{output, data, data, data, table, table, scores, 3, 2, 8, 1, -1,
                                        0,      0,    0,    0,    0,     0,     0};
  std::vector<kr_omu_op_attention_args_t> refused;
  for (int field = 0; field < 7; ++field) {
    kr_omu_op_attention_args_t a = base;
    kr_omu_buffer** buffers[] = {&a.output, &a.query, &a.key, &a.value, &a.relative_key, &a.relative_value, &a.scores};
    *buffers[field] = nullptr;
    refused.push_back(a);
  }
  kr_omu_buffer shifted = *data;
  shifted.address = static_cast<char*>(data->address) + 2;
  for (int field = 0; field < 7; ++field) {
    kr_omu_op_attention_args_t a = base;
    kr_omu_buffer** buffers[] = {&a.output, &a.query, &a.key, &a.value, &a.relative_key, &a.relative_value, &a.scores};
    *buffers[field] = &shifted;
    refused.push_back(a);
  }
  for (auto change : {+[](kr_omu_op_attention_args_t& a) { a.heads = 0; },
                      +[](kr_omu_op_attention_args_t& a) { a.heads = -2; },
                      +[](kr_omu_op_attention_args_t& a) { a.length = -3; },
                      +[](kr_omu_op_attention_args_t& a) { a.width = -8; },
                      +[](kr_omu_op_attention_args_t& a) { a.length = 46341; },                 // T x T > 2^31 - 1
                      +[](kr_omu_op_attention_args_t& a) { a.length = 40000, a.width = 1 << 20; }}) {  // T x H x E
    kr_omu_op_attention_args_t a = base;
    change(a);
    refused.push_back(a);
  }
  for (size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(taabe104(device(), nullptr, &refused[i]), KR_STATUS_INVALID_ARGUMENT) << i;
  }
  EXPECT_EQ(taabe104(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  // No positions: the first grid is empty and its launch fails.
  kr_omu_op_attention_args_t empty = base;
  empty.length = 0;
  EXPECT_EQ(taabe104(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  kr::error_stack_clear();
  if (kr_test::emulated()) {
    for (int nth : {1, 2, 3}) {
      kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure, nth);
      kr_omu_op_attention_args_t a = base;
      EXPECT_EQ(taabe104(device(), nullptr, &a), KR_STATUS_RUNTIME_ERROR) << nth;
      EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)}) << nth;
      EXPECT_EQ(cudaGetLastError(), cudaSuccess);
      kr::error_stack_clear();
    }
  }
  EXPECT_EQ(download<float>(output, 24), std::vector<float>(24, sentinel));
}

}  // namespace
