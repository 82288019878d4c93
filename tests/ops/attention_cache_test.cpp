// The position-encoding table and the 8-bit key/value cache update.
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
constexpr uint8_t code_sentinel = 0xA5;

using kr_test::random_floats;

// ---------------------------------------------------------------------------------------------
// Encoding table

class PrecomputeEncodingTest : public kr_test::LibraryTest {
 protected:
  // Runs the entry over a fresh table of `rows` x `rotary_size` sentinels (plus `lead` floats
  // before it, reached through the byte offset) and returns the whole buffer.
  std::vector<float> run(float base, float scale, int32_t length, int32_t rotary_size, const std::vector<float>& divisors,
                         int32_t rows, int32_t lead = 0) {
    const size_t floats = static_cast<size_t>(rows) * rotary_size + lead;
    kr_omu_buffer* table = upload(std::vector<float>(floats, sentinel));
    std::vector<float> shifted(1, sentinel);
    shifted.insert(shifted.end(), divisors.begin(), divisors.end());
    kr_omu_op_precompute_encoding_args_t args{table, upload(shifted), base, scale, length, rotary_size, lead * 4, 4};
    EXPECT_EQ(taabe8(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_TRUE(messages().empty());
    return download<float>(table, floats);
  }

  // Checks every pair of rows `rows` against the reference; the float after the last pair of an
  // odd-sized row stays untouched.
  void expect_rows(const std::vector<float>& out, const std::vector<int64_t>& rows, int32_t rotary_size, float base,
                   float scale, const std::vector<float>& divisors, int32_t lead, const char* what) {
    for (int64_t t : rows) {
      const float* row = &out[static_cast<size_t>(t) * rotary_size + lead];
      for (int32_t i = 0; i < rotary_size / 2; ++i) {
        const ref::encoding_entry want = ref::encoding(t, i, rotary_size, base, divisors[i], scale);
        ASSERT_TRUE(ref::accepts(want.cosine, row[2 * i]))
            << what << " row " << t << " pair " << i << " cos " << row[2 * i] << " not in [" << want.cosine.lo << ", "
            << want.cosine.hi << "]";
        ASSERT_TRUE(ref::accepts(want.sine, row[2 * i + 1]))
            << what << " row " << t << " pair " << i << " sin " << row[2 * i + 1] << " not in [" << want.sine.lo << ", "
            << want.sine.hi << "]";
      }
      if (rotary_size % 2 != 0) EXPECT_EQ(row[rotary_size - 1], sentinel) << what << " row " << t;
    }
  }
};

// Scale 1 and unit divisors: row 0 is cos 0 = 1 and sin 0 = 0 in every pair.
TEST_F(PrecomputeEncodingTest, RowZeroIsCosineOneSineZero) {
  const std::vector<float> out = run(10000.0f, 1.0f, 3, 8, std::vector<float>(4, 1.0f), 3);
  for (int i = 0; i < 4; ++i) {
    EXPECT_GE(out[2 * i], 1.0f - 0x1p-22f) << i;
    EXPECT_LE(out[2 * i], 1.0f) << i;
    EXPECT_LE(std::fabs(out[2 * i + 1]), 0x1p-140f) << i;
  }
  expect_rows(out, {0, 1, 2}, 8, 10000.0f, 1.0f, std::vector<float>(4, 1.0f), 0, "unit divisors");
}

// Bases inside and outside the fast logarithm's absolute-error interval, odd row sizes, scales
// of either sign, byte offsets, and rows beyond the block count of one stride.
TEST_F(PrecomputeEncodingTest, TableWithinTheDocumentedErrors) {
  struct shape {
    float base, scale;
    int32_t length, rotary_size, lead;
  };
  const shape shapes[] = {{10000.0f, 1.0f, 40, 64, 0}, {500000.0f, 0.75f, 9, 7, 3}, {1.5f, -2.0f, 5, 5, 1},
                          {0.75f, 1.0f, 4, 6, 0},      {2.0f, 0.5f, 3, 514, 2},     {10000.0f, 1.0f, 1, 1, 0}};
  for (const shape& s : shapes) {
    const std::vector<float> divisors = random_floats(std::max(1, s.rotary_size / 2), 0.5f, 2.0f, 7);
    const std::vector<float> out = run(s.base, s.scale, s.length, s.rotary_size, divisors, s.length, s.lead);
    std::vector<int64_t> rows;
    for (int64_t t = 0; t < s.length; ++t) rows.push_back(t);
    const std::string what = "base " + std::to_string(s.base) + " R " + std::to_string(s.rotary_size);
    expect_rows(out, rows, s.rotary_size, s.base, s.scale, divisors, s.lead, what.c_str());
    for (int32_t i = 0; i < s.lead; ++i) EXPECT_EQ(out[i], sentinel) << what;
  }
}

// More rows than the 65535 blocks: later rows come from a block's second stride.
TEST_F(PrecomputeEncodingTest, MoreRowsThanBlocks) {
  KR_SKIP_LARGE_SHAPE_UNDER_THREAD_SANITIZER();
  const int32_t length = 65537;
  const std::vector<float> divisors = {3.0f};
  const std::vector<float> out = run(10000.0f, 1.0f, length, 2, divisors, length + 1);
  expect_rows(out, {0, 1, 65534, 65535, 65536}, 2, 10000.0f, 1.0f, divisors, 0, "long table");
  EXPECT_EQ(out[2 * length], sentinel);
  EXPECT_EQ(out[2 * length + 1], sentinel);
}

TEST_F(PrecomputeEncodingTest, RefusalsWriteNothing) {
  kr_omu_buffer* table = upload(std::vector<float>(8, sentinel));
  kr_omu_buffer* divisors = upload(std::vector<float>(4, 1.0f));
  const kr_omu_op_precompute_encoding_args_t refused[] = {
      {nullptr, divisors, 10.0f, 1.0f, 2, 4, 0, 0}, {table, nullptr, 10.0f, 1.0f, 2, 4, 0, 0},
      {table, divisors, 10.0f, 1.0f, 2, 4, 2, 0},   {table, divisors, 10.0f, 1.0f, 2, 4, 0, -1},
      {table, divisors, 10.0f, 1.0f, -1, 4, 0, 0},  {table, divisors, 10.0f, 1.0f, INT32_MIN, 4, 0, 0}};
  for (kr_omu_op_precompute_encoding_args_t args : refused) {
    EXPECT_EQ(taabe8(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  }
  EXPECT_EQ(taabe8(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  // No rows: the empty grid is a launch failure.
  kr_omu_op_precompute_encoding_args_t empty{table, divisors, 10.0f, 1.0f, 0, 4, 0, 0};
  EXPECT_EQ(taabe8(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  EXPECT_EQ(download<float>(table, 8), std::vector<float>(8, sentinel));
}

// ---------------------------------------------------------------------------------------------
// Cache update

struct cache_buffers {
  kr_omu_buffer* codes;
  kr_omu_buffer* scales;
  kr_omu_buffer* offsets;
};

class UpdateKvTest : public kr_test::LibraryTest {
 protected:
  // A cache of sentinels on the device and its host twin.
  cache_buffers make_cache(ref::kv_cache& host, int32_t kv_heads, int32_t capacity, int32_t head_size) {
    host.kv_heads = kv_heads;
    host.capacity = capacity;
    host.head_size = head_size;
    const size_t rows = static_cast<size_t>(kv_heads) * capacity;
    host.codes.assign(rows * head_size, code_sentinel);
    host.offsets.assign(rows, sentinel);
    host.scales.assign(rows, -sentinel);
    return {upload(host.codes), upload(host.scales), upload(host.offsets)};
  }

  kr_status_t update(const cache_buffers& c, const ref::kv_cache& host, const std::vector<float>& input, int32_t length,
                     int32_t position) {
    kr_omu_op_update_kv_args_t args{c.codes, c.scales, c.offsets, upload(input), host.kv_heads, length,
                                    host.head_size, position, host.capacity};
    return taabe186(device(), nullptr, &args);
  }

  void expect_cache(const cache_buffers& c, const ref::kv_cache& want, const std::string& what) {
    EXPECT_EQ(download<uint8_t>(c.codes, want.codes.size()), want.codes) << what;
    const std::vector<float> offsets = download<float>(c.offsets, want.offsets.size());
    const std::vector<float> scales = download<float>(c.scales, want.scales.size());
    for (size_t r = 0; r < want.offsets.size(); ++r) {
      EXPECT_EQ(kr_test::bits(offsets[r]), kr_test::bits(want.offsets[r])) << what << " offset of row " << r;
      EXPECT_EQ(kr_test::bits(scales[r]), kr_test::bits(want.scales[r])) << what << " scale of row " << r;
    }
  }
};

// A constant row: step 0, codes 0, offset the value. A row of -1 and 1: offset -1, step 2/255,
// codes 0 and 255. Position `capacity` goes to slot 0.
TEST_F(UpdateKvTest, ConstantAndTwoValuedRows) {
  ref::kv_cache host;
  const cache_buffers c = make_cache(host, 2, 3, 4);
  ASSERT_EQ(update(c, host, {0.3f, 0.3f, 0.3f, 0.3f, -1.0f, 1.0f, 1.0f, -1.0f}, 1, 3), KR_STATUS_SUCCESS);
  const std::vector<uint8_t> codes = download<uint8_t>(c.codes, host.codes.size());
  const std::vector<float> offsets = download<float>(c.offsets, 6);
  const std::vector<float> scales = download<float>(c.scales, 6);
  EXPECT_EQ(std::vector<uint8_t>(codes.begin(), codes.begin() + 4), std::vector<uint8_t>(4, 0));
  EXPECT_EQ(offsets[0], 0.3f);
  EXPECT_EQ(scales[0], 0.0f);
  EXPECT_EQ(std::vector<uint8_t>(codes.begin() + 12, codes.begin() + 16), (std::vector<uint8_t>{0, 255, 255, 0}));
  EXPECT_EQ(offsets[3], -1.0f);
  EXPECT_EQ(scales[3], 2.0f / 255.0f);
  ref::update_kv(host, {0.3f, 0.3f, 0.3f, 0.3f, -1.0f, 1.0f, 1.0f, -1.0f}, 1, 3);
  expect_cache(c, host, "two rows");
}

// Quotients of exactly k + 1/2 round away from zero (to even they would go the other way for
// 0.5 and 2.5).
TEST_F(UpdateKvTest, HalvesRoundAwayFromZero) {
  ref::kv_cache host;
  const cache_buffers c = make_cache(host, 1, 1, 6);
  ASSERT_EQ(update(c, host, {0.0f, 255.0f, 0.5f, 2.5f, 1.5f, 254.5f}, 1, 0), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<uint8_t>(c.codes, 6), (std::vector<uint8_t>{0, 255, 1, 3, 2, 255}));
}

// Head sizes below, at and above one warp, powers of two or not, with more rows than one pass of
// the grid (4 multiprocessors x 8 rows) and a batch that wraps the ring.
TEST_F(UpdateKvTest, RowsMatchTheReference) {
  struct shape {
    int32_t kv_heads, capacity, head_size, length, position;
  };
  const shape shapes[] = {{2, 5, 1, 3, 4},    {2, 5, 3, 3, 4},    {3, 16, 24, 12, 10}, {3, 16, 32, 12, 10},
                          {3, 16, 33, 12, 10}, {2, 7, 100, 7, 20}, {1, 4, 2, 4, 1},     {5, 9, 5, 9, 0}};
  uint32_t seed = 1;
  for (const shape& s : shapes) {
    ref::kv_cache host;
    const cache_buffers c = make_cache(host, s.kv_heads, s.capacity, s.head_size);
    const std::vector<float> input =
        random_floats(static_cast<size_t>(s.length) * s.kv_heads * s.head_size, -3.0f, 2.0f, seed++);
    ASSERT_EQ(update(c, host, input, s.length, s.position), KR_STATUS_SUCCESS);
    ref::update_kv(host, input, s.length, s.position);
    expect_cache(c, host, "E " + std::to_string(s.head_size) + " T " + std::to_string(s.length));
  }
}

// Three calls, the last two wrapping the ring.
TEST_F(UpdateKvTest, ThreeCallsWrapTheRing) {
  ref::kv_cache host;
  const cache_buffers c = make_cache(host, 2, 4, 7);
  int32_t position = 0;
  for (int32_t length : {3, 3, 4}) {
    const std::vector<float> input = random_floats(static_cast<size_t>(length) * 2 * 7, -1.0f, 1.0f, 40 + position);
    ASSERT_EQ(update(c, host, input, length, position), KR_STATUS_SUCCESS);
    ref::update_kv(host, input, length, position);
    expect_cache(c, host, "after position " + std::to_string(position));
    position += length;
  }
}

TEST_F(UpdateKvTest, RefusalsWriteNothing) {
  ref::kv_cache host;
  const cache_buffers c = make_cache(host, 2, 4, 8);
  kr_omu_buffer* input = upload(random_floats(2 * 2 * 8, -1.0f, 1.0f, 3));
  const kr_omu_op_update_kv_args_t good{c.codes, c.scales, c.offsets, input, 2, 2, 8, 1, 4};
  std::vector<kr_omu_op_update_kv_args_t> refused(11, good);
  refused[0].cache = nullptr;
  refused[1].scales = nullptr;
  refused[2].offsets = nullptr;
  refused[3].input = nullptr;
  refused[4].kv_heads = 0;
  refused[5].kv_heads = -2;
  refused[6].capacity = 0;
  refused[7].length = 5;  // more rows than slots
  refused[8].position = -1;
  refused[9].head_size = -8;
  refused[10].capacity = -4;
  for (size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(taabe186(device(), nullptr, &refused[i]), KR_STATUS_INVALID_ARGUMENT) << i;
  }
  kr_omu_op_update_kv_args_t args = good;
  EXPECT_EQ(taabe186(nullptr, nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe186(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  // The input read as floats one byte in: misaligned.
  kr_omu_buffer shifted = *input;
  shifted.address = static_cast<char*>(input->address) + 1;
  args.input = &shifted;
  EXPECT_EQ(taabe186(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  // A negative number of new positions has no rows: nothing to do.
  args = good;
  args.length = -3;
  EXPECT_EQ(taabe186(device(), nullptr, &args), KR_STATUS_SUCCESS);
  // Head size 0 is an empty block: a launch failure.
  args = good;
  args.head_size = 0;
  EXPECT_EQ(taabe186(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  expect_cache(c, host, "refused");
}

TEST_F(UpdateKvTest, InjectedLaunchFailure) {
  KR_REQUIRE_EMULATOR();
  ref::kv_cache host;
  const cache_buffers c = make_cache(host, 1, 2, 4);
  kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
  EXPECT_EQ(update(c, host, {1.0f, 2.0f, 3.0f, 4.0f}, 1, 0), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  expect_cache(c, host, "failed launch");
}

// ---------------------------------------------------------------------------------------------
// Encode

class EncodeTest : public kr_test::LibraryTest {
 protected:
  // Encodes random data with a random table (enough rows for what the form reads) and returns
  // the data and its reference.
  void run(int32_t length, int32_t heads, int32_t head_size, int32_t rotary_size, int32_t position, bool interleaved,
           std::vector<float>* got, std::vector<float>* want) {
    const size_t floats = static_cast<size_t>(length) * heads * head_size;
    const int64_t reach = interleaved ? std::max(head_size, rotary_size) : rotary_size;
    const size_t table_rows = static_cast<size_t>(length + position + reach / std::max(rotary_size, 1) + 1);
    const std::vector<float> table = random_floats(table_rows * rotary_size, -1.0f, 1.0f, 11);
    *want = random_floats(floats, -4.0f, 4.0f, 12);
    kr_omu_buffer* data = upload(*want);
    kr_omu_op_attention_encode_args_t args{data,      upload(table), length, heads, head_size, rotary_size,
                                           position, interleaved ? 1 : 0};
    ASSERT_EQ(taabe203(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_TRUE(messages().empty());
    *got = download<float>(data, floats);
    ref::encode(*want, table, length, heads, head_size, rotary_size, position, interleaved);
  }
};

// Both forms with the head row as long as the table row and longer, odd and wide rows, table
// offsets by position.
TEST_F(EncodeTest, BothFormsMatchTheReference) {
  struct shape {
    int32_t length, heads, head_size, rotary_size, position;
  };
  const shape shapes[] = {{3, 2, 8, 8, 0}, {3, 2, 12, 8, 2}, {2, 3, 7, 4, 5}, {4, 1, 6, 6, 1}, {2, 2, 600, 520, 3}};
  for (const shape& s : shapes) {
    for (bool interleaved : {true, false}) {
      std::vector<float> got, want;
      run(s.length, s.heads, s.head_size, s.rotary_size, s.position, interleaved, &got, &want);
      for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(kr_test::bits(got[i]), kr_test::bits(want[i]))
            << (interleaved ? "interleaved" : "halves") << " D " << s.head_size << " R " << s.rotary_size << " at " << i;
      }
    }
  }
}

// More positions than the 65535 blocks of the grid.
TEST_F(EncodeTest, MorePositionsThanBlocks) {
  KR_SKIP_LARGE_SHAPE_UNDER_THREAD_SANITIZER();
  for (bool interleaved : {true, false}) {
    std::vector<float> got, want;
    run(65537, 1, 2, 2, 1, interleaved, &got, &want);
    for (size_t t : {size_t{0}, size_t{65534}, size_t{65535}, size_t{65536}}) {
      EXPECT_EQ(got[2 * t], want[2 * t]) << t;
      EXPECT_EQ(got[2 * t + 1], want[2 * t + 1]) << t;
    }
  }
}

TEST_F(EncodeTest, RefusalsWriteNothing) {
  const std::vector<float> values = random_floats(8, -1.0f, 1.0f, 5);
  kr_omu_buffer* data = upload(values);
  kr_omu_buffer* table = upload(random_floats(16, -1.0f, 1.0f, 6));
  kr_omu_buffer shifted = *data;
  shifted.address = static_cast<char*>(data->address) + 2;
  const kr_omu_op_attention_encode_args_t refused[] = {
      {nullptr, table, 2, 1, 4, 4, 0, 1}, {data, nullptr, 2, 1, 4, 4, 0, 1}, {&shifted, table, 1, 1, 4, 4, 0, 1},
      {data, table, 2, 1, 4, 4, -1, 1},   {data, table, -1, 1, 4, 4, 0, 0},  {data, table, 2, -1, 4, 4, 0, 0}};
  for (kr_omu_op_attention_encode_args_t args : refused) {
    EXPECT_EQ(taabe203(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  }
  EXPECT_EQ(taabe203(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  kr_omu_op_attention_encode_args_t empty{data, table, 0, 1, 4, 4, 0, 1};
  EXPECT_EQ(taabe203(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  kr::error_stack_clear();
  if (kr_test::emulated()) {
    kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
    kr_omu_op_attention_encode_args_t args{data, table, 2, 1, 4, 4, 0, 0};
    EXPECT_EQ(taabe203(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  }
  EXPECT_EQ(download<float>(data, 8), values);
}

}  // namespace
