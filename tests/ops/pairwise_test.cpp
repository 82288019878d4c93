#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/library.h"

namespace {

using kr_test::bits;
using kr_test::from_bits;
using kr_test::messages;
using kr_test::stored;

using pairwise_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t*);

struct pairwise_entry {
  const char* name;
  pairwise_fn fn;
  float (*expected)(float a, float b);
};

const pairwise_entry entries[] = {
    {"taabe225 a + b", taabe225, [](float a, float b) { return a + b; }},
    {"taabe241 a - b", taabe241, [](float a, float b) { return a - b; }},
    {"taabe66 a * b", taabe66, [](float a, float b) { return a * b; }},
    {"taabe50 a / b", taabe50, [](float a, float b) { return a / b; }},
};

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
using kr_test::sentinel;

// Same bits, or both NaN (GPUs return a canonical NaN).
bool same(float a, float b) { return std::isnan(a) ? std::isnan(b) : bits(a) == bits(b); }

class PairwiseTest : public kr_test::LibraryTest {
 protected:
  std::vector<float> run(pairwise_fn fn, const std::vector<float>& a, const std::vector<float>& b) {
    kr_omu_buffer* dst = buffer(static_cast<int32_t>(a.size() * 4));
    kr_omu_op_pairwise_args_t args{dst, upload(a), upload(b), static_cast<int32_t>(a.size()), 0, 0, 0};
    EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
    return download<float>(dst, a.size());
  }
};

// Every pair of special values, and random pairs over the bit space with some operands close to
// each other (cancellation) or in the subnormal range: each result is the single IEEE operation.
TEST_F(PairwiseTest, EveryOperatorIsExact) {
  const std::vector<float> special = {0.0f, -0.0f, from_bits(1), from_bits(0x807FFFFFu), std::numeric_limits<float>::min(),
                                      std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(), inf, -inf,
                                      nan, 1.0f, -1.0f, 3.0f, 4.0f, 0.1f, 1e-30f, 1e30f, -7.25f};
  std::vector<float> a, b;
  for (float x : special) {
    for (float y : special) {
      a.push_back(x);
      b.push_back(y);
    }
  }
  std::mt19937 rng(20240611);
  for (int i = 0; i < 30000; ++i) {
    const uint32_t u = rng();
    a.push_back(from_bits(u));
    b.push_back(from_bits(i % 3 == 0 ? u + (rng() & 0xFF) : (i % 3 == 1 ? rng() : rng() & 0x80FFFFFFu)));
  }
  for (const pairwise_entry& e : entries) {
    const auto out = run(e.fn, a, b);
    int bad = 0;
    for (size_t i = 0; i < a.size(); ++i) {
      if (!same(e.expected(a[i], b[i]), out[i]) && ++bad <= 3) {
        ADD_FAILURE() << e.name << ": " << a[i] << ", " << b[i] << " gave " << out[i];
      }
    }
    EXPECT_EQ(bad, 0) << e.name;
  }
}

TEST_F(PairwiseTest, KnownValuesKeepTheOperandOrder) {
  struct known {
    pairwise_fn fn;
    float a, b, y;
  };
  const known cases[] = {{taabe241, 1.0f, 4.0f, -3.0f}, {taabe50, 1.0f, 4.0f, 0.25f},   {taabe50, 1.0f, 0.0f, inf},
                         {taabe50, -1.0f, 0.0f, -inf},  {taabe50, 1.0f, -0.0f, -inf},   {taabe50, 0.0f, 0.0f, nan},
                         {taabe50, 1.0f, 3.0f, from_bits(0x3EAAAAABu)},                  {taabe225, 0.1f, 0.2f, from_bits(0x3E99999Au)},
                         {taabe66, -0.0f, 5.0f, -0.0f}, {taabe225, -0.0f, 0.0f, 0.0f}};
  for (const known& c : cases) {
    const float y = run(c.fn, {c.a}, {c.b})[0];
    EXPECT_TRUE(same(c.y, y)) << c.a << ", " << c.b << " gave " << y << ", expected " << c.y;
  }
}

TEST_F(PairwiseTest, WritesExactlyCountElements) {
  std::vector<float> a(1026), b(1026);
  for (size_t i = 0; i < a.size(); ++i) {
    a[i] = static_cast<float>(i) * 0.5f - 3.0f;
    b[i] = 7.0f - static_cast<float>(i) * 0.125f;
  }
  for (const pairwise_entry& e : entries) {
    for (int32_t count : {1, 255, 256, 257, 1025}) {
      kr_omu_buffer* dst = upload(std::vector<float>(a.size(), sentinel));
      kr_omu_op_pairwise_args_t args{dst, upload(a), upload(b), count, 0, 0, 0};
      ASSERT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
      const auto out = download<float>(dst, a.size());
      for (int32_t i = 0; i < count; ++i) ASSERT_TRUE(same(e.expected(a[i], b[i]), out[i])) << e.name << " " << i;
      EXPECT_EQ(out[count], sentinel) << e.name << " count " << count;
    }
  }
}

// Three different byte offsets; the output may be either input.
TEST_F(PairwiseTest, ByteOffsetsAndInPlace) {
  const std::vector<float> a = {sentinel, 1.0f, 2.0f, 3.0f};
  const std::vector<float> b = {sentinel, sentinel, 8.0f, -4.0f, 0.5f};
  for (const pairwise_entry& e : entries) {
    const std::vector<float> want = {e.expected(1.0f, 8.0f), e.expected(2.0f, -4.0f), e.expected(3.0f, 0.5f)};
    kr_omu_buffer* dst = upload(std::vector<float>(6, sentinel));
    kr_omu_op_pairwise_args_t args{dst, upload(a), upload(b), 3, 12, 4, 8};
    ASSERT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_EQ(download<float>(dst, 6), (std::vector<float>{sentinel, sentinel, sentinel, want[0], want[1], want[2]}))
        << e.name;

    kr_omu_buffer* into_a = upload(a);
    kr_omu_op_pairwise_args_t over_a{into_a, into_a, upload(b), 3, 4, 4, 8};
    ASSERT_EQ(e.fn(device(), nullptr, &over_a), KR_STATUS_SUCCESS);
    EXPECT_EQ(download<float>(into_a, 3, 4), want) << e.name;

    kr_omu_buffer* into_b = upload(b);
    kr_omu_op_pairwise_args_t over_b{into_b, upload(a), into_b, 3, 8, 4, 8};
    ASSERT_EQ(e.fn(device(), nullptr, &over_b), KR_STATUS_SUCCESS);
    EXPECT_EQ(download<float>(into_b, 3, 8), want) << e.name;
  }
}

TEST_F(PairwiseTest, RefusalsAndLaunchFailures) {
  kr_omu_buffer* a = upload(std::vector<float>{1.0f, 2.0f, 3.0f});
  kr_omu_buffer* b = upload(std::vector<float>{4.0f, 5.0f, 6.0f});
  kr_omu_buffer* dst = upload(std::vector<float>(4, sentinel));
  for (const pairwise_entry& e : entries) {
    const kr_omu_op_pairwise_args_t refused[] = {{dst, a, b, 3, 2, 0, 0},       {dst, a, b, 3, 0, 1, 0},
                                                 {dst, a, b, 3, 0, 0, -2},      {nullptr, a, b, 3, 0, 0, 0},
                                                 {dst, nullptr, b, 3, 0, 0, 0}, {dst, a, nullptr, 3, 0, 0, 0}};
    for (kr_omu_op_pairwise_args_t args : refused) {
      EXPECT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT) << e.name;
    }
    EXPECT_EQ(e.fn(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT) << e.name;
    EXPECT_TRUE(messages().empty()) << e.name;
    kr_omu_op_pairwise_args_t empty{dst, a, b, 0, 0, 0, 0};
    EXPECT_EQ(e.fn(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR) << e.name;
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)}) << e.name;
    kr::error_stack_clear();
  }
  EXPECT_EQ(download<float>(dst, 4), std::vector<float>(4, sentinel));
}

TEST_F(PairwiseTest, InjectedLaunchFailure) {
  KR_REQUIRE_EMULATOR();
  kr_omu_buffer* a = upload(std::vector<float>{1.0f});
  kr_omu_buffer* dst = upload(std::vector<float>{sentinel});
  for (const pairwise_entry& e : entries) {
    kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
    kr_omu_op_pairwise_args_t args{dst, a, a, 1, 0, 0, 0};
    EXPECT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR) << e.name;
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)}) << e.name;
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << e.name;
    kr::error_stack_clear();
  }
  EXPECT_EQ(download<float>(dst, 1)[0], sentinel);
}

}  // namespace
