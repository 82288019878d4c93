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

using broadcast_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t*);

struct float_entry {
  const char* name;
  broadcast_fn fn;
  bool by_column;
  float (*expected)(float a, float b, float old);
};

const float_entry float_entries[] = {
    {"taabe155 a + b[c]", taabe155, false, [](float a, float b, float) { return a + b; }},
    {"taabe69 a * b[c]", taabe69, false, [](float a, float b, float) { return a * b; }},
    {"taabe246 a * b[c] + out", taabe246, false, [](float a, float b, float old) { return std::fma(a, b, old); }},
    {"taabe46 a * b[r]", taabe46, true, [](float a, float b, float) { return a * b; }},
    {"taabe249 a - b[r]", taabe249, true, [](float a, float b, float) { return a - b; }},
};

using kr_test::sentinel;

bool same(float a, float b) { return std::isnan(a) ? std::isnan(b) : bits(a) == bits(b); }

class BroadcastTest : public kr_test::LibraryTest {};

// Every float entry over non-square shapes that are not multiples of 8: each element is the single
// operation with the right vector element (row or column), nothing after the matrix is written,
// and the multiply-accumulate reads the old output and rounds once.
TEST_F(BroadcastTest, FloatEntriesOverShapes) {
  std::mt19937 rng(41);
  const std::pair<int32_t, int32_t> shapes[] = {{1, 1}, {2, 3}, {3, 2}, {7, 9}, {9, 17}, {33, 5}, {5, 70}};
  for (const float_entry& e : float_entries) {
    for (const auto& [rows, length] : shapes) {
      const size_t total = static_cast<size_t>(rows) * length;
      const auto a = kr_test::random_floats(rng, total, -100.0f, 100.0f);
      const auto b = kr_test::random_floats(rng, static_cast<size_t>(e.by_column ? rows : length), -100.0f, 100.0f);
      auto old = kr_test::random_floats(rng, total + 1, -100.0f, 100.0f);
      old[total] = sentinel;
      kr_omu_buffer* dst = upload(old);
      kr_omu_op_pairwise_broadcast_args_t args{dst, upload(a), upload(b), rows, length, 0, 0, 0};
      ASSERT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_SUCCESS) << e.name;
      const auto out = download<float>(dst, total + 1);
      for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < length; ++c) {
          const size_t i = static_cast<size_t>(r) * length + c;
          ASSERT_TRUE(same(out[i], e.expected(a[i], b[e.by_column ? r : c], old[i])))
              << e.name << " " << rows << "x" << length << " at " << r << "," << c;
        }
      }
      EXPECT_EQ(out[total], sentinel) << e.name;
    }
  }
  // Known values: out 1, a 2, b 3 accumulates to 7; fma(a, b, c) where a x b + c rounds twice
  // differently: (1 + 2^-23) (1 - 2^-23) - 1 = -2^-46 exactly, 0 with a separate rounding.
  kr_omu_buffer* dst = upload(std::vector<float>{1.0f, -1.0f});
  kr_omu_op_pairwise_broadcast_args_t args{dst, upload(std::vector<float>{2.0f, 1.0f + 0x1p-23f}),
                                           upload(std::vector<float>{3.0f, 1.0f - 0x1p-23f}), 1, 2, 0, 0, 0};
  ASSERT_EQ(taabe246(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<float>(dst, 2), (std::vector<float>{7.0f, -0x1p-46f}));
}

TEST_F(BroadcastTest, Q17BiasWrapsAndSignExtends) {
  const std::vector<int32_t> a = {0, 2147483647, -2147483647 - 1, 5, -131072, 1000, 7, 8};
  const std::vector<int8_t> b = {-128, 1, -1, 127};
  kr_omu_buffer* dst = upload(std::vector<int32_t>(9, 0x5A5A5A5A));
  kr_omu_op_pairwise_broadcast_args_t args{dst, upload(a), upload(b), 2, 4, 0, 0, 0};
  ASSERT_EQ(taabe99(device(), nullptr, &args), KR_STATUS_SUCCESS);
  const auto out = download<int32_t>(dst, 9);
  EXPECT_EQ(out[0], -131072);
  EXPECT_EQ(out[1], -2147482625);
  for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(out[i], ref::bias_q17(a[i], b[i % 4])) << i;
  EXPECT_EQ(out[8], 0x5A5A5A5A);

  // Byte offsets on all three buffers (any offset of the byte vector is aligned), and in place.
  std::vector<int8_t> padded_b = {9, 9, 9, -128, 1, -1, 127};
  kr_omu_buffer* inout = upload(std::vector<int32_t>{0x11, 0, 2147483647, -2147483647 - 1, 5});
  kr_omu_op_pairwise_broadcast_args_t in_place{inout, inout, upload(padded_b), 1, 4, 4, 4, 3};
  ASSERT_EQ(taabe99(device(), nullptr, &in_place), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<int32_t>(inout, 5), (std::vector<int32_t>{0x11, -131072, -2147482625, 2147482624, 130053}));
}

// Byte offsets on every buffer, and the output over input_a.
TEST_F(BroadcastTest, ByteOffsetsAndInPlace) {
  const std::vector<float> a = {sentinel, 1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f};  // 2 x 3 after one element
  const std::vector<float> b = {sentinel, sentinel, 0.5f, -2.0f, 8.0f};         // from element 2
  for (const float_entry& e : float_entries) {
    std::vector<float> want(6);
    for (int32_t i = 0; i < 6; ++i) want[i] = e.expected(a[1 + i], b[2 + (e.by_column ? i / 3 : i % 3)], 10.0f);
    std::vector<float> init(9, 10.0f);
    init[0] = init[1] = init[2] = sentinel;
    kr_omu_buffer* dst = upload(init);
    kr_omu_op_pairwise_broadcast_args_t args{dst, upload(a), upload(b), 2, 3, 12, 4, 8};
    ASSERT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_SUCCESS) << e.name;
    const auto out = download<float>(dst, 9);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 3), std::vector<float>(3, sentinel)) << e.name;
    EXPECT_EQ(std::vector<float>(out.begin() + 3, out.end()), want) << e.name;

    kr_omu_buffer* both = upload(a);
    kr_omu_op_pairwise_broadcast_args_t over_a{both, both, upload(b), 2, 3, 4, 4, 8};
    ASSERT_EQ(e.fn(device(), nullptr, &over_a), KR_STATUS_SUCCESS) << e.name;
    const auto got = download<float>(both, 6, 4);
    for (int32_t i = 0; i < 6; ++i) {
      // In place, the multiply-accumulate's accumulator is a itself.
      EXPECT_TRUE(same(got[i], e.expected(a[1 + i], b[2 + (e.by_column ? i / 3 : i % 3)], a[1 + i]))) << e.name << i;
    }
  }
}

// Null records, misaligned addresses and negative shapes are refused without a message and
// without writing; an empty shape fails the launch with the entry's 828 record.
TEST_F(BroadcastTest, RefusalsAndLaunchFailures) {
  const std::vector<uint8_t> poison(256, 0x5A);
  std::vector<broadcast_fn> fns = {taabe99, taabe24};
  for (const float_entry& e : float_entries) fns.push_back(e.fn);
  for (broadcast_fn fn : fns) {
    kr_omu_buffer* a = upload(poison);
    kr_omu_buffer* b = upload(poison);
    kr_omu_buffer* dst = upload(poison);
    // input_b of the Q17 entry is bytes: only its other buffers can be misaligned.
    std::vector<kr_omu_op_pairwise_broadcast_args_t> refused = {
        {dst, a, b, 2, 2, 2, 0, 0}, {dst, a, b, 2, 2, 0, 1, 0}, {nullptr, a, b, 2, 2, 0, 0, 0},
        {dst, nullptr, b, 2, 2, 0, 0, 0}, {dst, a, nullptr, 2, 2, 0, 0, 0}};
    if (fn != taabe99) refused.push_back({dst, a, b, 2, 2, 0, 0, 2});
    for (int32_t negative : {-1, -256, -257, INT32_MIN}) {
      refused.push_back({dst, a, b, negative, 2, 0, 0, 0});
      if (fn != taabe24) refused.push_back({dst, a, b, 2, negative, 0, 0, 0});
    }
    for (kr_omu_op_pairwise_broadcast_args_t args : refused) {
      EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT) << args.num_rows << " " << args.row_length;
    }
    EXPECT_EQ(fn(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(messages().empty());

    std::vector<kr_omu_op_pairwise_broadcast_args_t> empty = {{dst, a, b, 0, 2, 0, 0, 0}};
    if (fn != taabe24) empty.push_back({dst, a, b, 2, 0, 0, 0, 0});
    for (kr_omu_op_pairwise_broadcast_args_t args : empty) {
      EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR);
    }
    EXPECT_EQ(messages(), std::vector<std::string>(empty.size(), stored(828, kr_test::kernel_failure_text)));
    kr::error_stack_clear();
    EXPECT_EQ(download<uint8_t>(dst, poison.size()), poison);
  }
}

class ConcatTest : public kr_test::LibraryTest {
 protected:
  // Concatenates rows x length matrices a and b (values derived from their positions) into an
  // output at the given byte offsets; returns the whole output buffer.
  std::vector<float> concat(int32_t rows, int32_t length, int32_t out_offset, int32_t a_offset, int32_t b_offset) {
    const size_t total = static_cast<size_t>(rows) * length;
    std::vector<float> a(a_offset / 4, sentinel), b(b_offset / 4, sentinel);
    for (size_t i = 0; i < total; ++i) {
      a.push_back(static_cast<float>(i) + 0.25f);
      b.push_back(-static_cast<float>(i) - 0.5f);
    }
    kr_omu_buffer* dst = upload(std::vector<float>(out_offset / 4 + 2 * total + 4, sentinel));
    kr_omu_op_pairwise_broadcast_args_t args{dst, upload(a), upload(b), rows, length, out_offset, a_offset, b_offset};
    EXPECT_EQ(taabe24(device(), nullptr, &args), KR_STATUS_SUCCESS);
    return download<float>(dst, out_offset / 4 + 2 * total + 4);
  }
  static std::vector<float> expected(int32_t rows, int32_t length, int32_t out_offset) {
    std::vector<float> want(out_offset / 4, sentinel);
    for (int32_t r = 0; r < rows; ++r) {
      for (int32_t c = 0; c < length; ++c) want.push_back(static_cast<float>(r * length + c) + 0.25f);
      for (int32_t c = 0; c < length; ++c) want.push_back(-static_cast<float>(r * length + c) - 0.5f);
    }
    want.insert(want.end(), 4, sentinel);
    return want;
  }
};

// Lengths on the element path (6, 33) and the float4 path (8, 64), odd row counts (the last
// block's second row does nothing), and offsets that are 16-byte aligned or only 4-byte aligned
// (the element path then writes the same bytes).
TEST_F(ConcatTest, BothPathsWriteTheSameBytes) {
  for (int32_t rows : {1, 2, 3, 7}) {
    for (int32_t length : {1, 6, 8, 33, 64, 100}) {
      for (const auto& [o, x, y] : {std::tuple{0, 0, 0}, std::tuple{16, 32, 48}, std::tuple{4, 0, 0},
                                    std::tuple{0, 8, 0}, std::tuple{0, 0, 12}}) {
        EXPECT_EQ(concat(rows, length, o, x, y), expected(rows, length, o))
            << rows << " x " << length << " offsets " << o << " " << x << " " << y;
      }
    }
  }
}

// A length of 0 or below writes nothing; the rows still launch.
TEST_F(ConcatTest, EmptyAndNegativeLengthsWriteNothing) {
  for (int32_t length : {0, -1, -4, -256, INT32_MIN}) {
    kr_omu_buffer* dst = upload(std::vector<float>(8, sentinel));
    kr_omu_buffer* src = upload(std::vector<float>(8, 1.0f));
    kr_omu_op_pairwise_broadcast_args_t args{dst, src, src, 3, length, 0, 0, 0};
    EXPECT_EQ(taabe24(device(), nullptr, &args), KR_STATUS_SUCCESS) << length;
    EXPECT_EQ(download<float>(dst, 8), std::vector<float>(8, sentinel)) << length;
  }
}

}  // namespace
