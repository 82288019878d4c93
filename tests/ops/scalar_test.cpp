#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/float_ref.h"
#include "support/library.h"

namespace {

using kr_test::bits;
using kr_test::from_bits;
using kr_test::messages;
using kr_test::stored;

using scalar_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t*);

struct scalar_entry {
  const char* name;
  scalar_fn fn;
  float (*expected)(float x, float s);
};

const scalar_entry entries[] = {
    {"taabe45 x + s", taabe45, [](float x, float s) { return x + s; }},
    {"taabe106 x * s", taabe106, [](float x, float s) { return x * s; }},
    {"taabe224 s - x", taabe224, [](float x, float s) { return s - x; }},
    {"taabe272 s / x", taabe272, [](float x, float s) { return s / x; }},
};

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
using kr_test::sentinel;

// Same bits, or both NaN (GPUs return a canonical NaN).
bool same(float a, float b) { return std::isnan(a) ? std::isnan(b) : bits(a) == bits(b); }

std::vector<float> specials() {
  return {0.0f,  -0.0f, from_bits(1), from_bits(0x807FFFFFu), std::numeric_limits<float>::min(),
          std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(), inf, -inf, nan,
          1.0f,  -1.0f, 3.0f, 0.1f, 1e-30f, -7.25f};
}

class ScalarTest : public kr_test::LibraryTest {
 protected:
  std::vector<float> run(scalar_fn fn, float s, const std::vector<float>& in) {
    kr_omu_buffer* src = upload(in);
    kr_omu_buffer* dst = buffer(static_cast<int32_t>(in.size() * 4));
    kr_omu_op_elementwise_scalar_args_t args{dst, src, s, static_cast<int32_t>(in.size()), 0, 0};
    EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
    return download<float>(dst, in.size());
  }

  std::vector<int16_t> run_q10(int16_t s, int32_t truncate, const std::vector<int16_t>& in) {
    kr_omu_buffer* src = upload(in);
    kr_omu_buffer* dst = buffer(static_cast<int32_t>(in.size() * 2));
    kr_omu_op_mulsv_args_t args{dst, src, s, truncate, static_cast<int32_t>(in.size()), 0, 0};
    EXPECT_EQ(taabe263(device(), nullptr, &args), KR_STATUS_SUCCESS);
    return download<int16_t>(dst, in.size());
  }
};

// Every special value and a sweep over the bit space, against every special scalar: each result
// is the single IEEE operation, bit for bit.
TEST_F(ScalarTest, FloatOperatorsAreExact) {
  std::vector<float> in = specials();
  for (uint64_t u = 0; u < (uint64_t{1} << 32); u += 1048573) in.push_back(from_bits(static_cast<uint32_t>(u)));
  for (const scalar_entry& e : entries) {
    for (float s : specials()) {
      const auto out = run(e.fn, s, in);
      int bad = 0;
      for (size_t i = 0; i < in.size(); ++i) {
        if (!same(e.expected(in[i], s), out[i]) && ++bad <= 3) {
          ADD_FAILURE() << e.name << ": x = " << in[i] << ", s = " << s << " gave " << out[i];
        }
      }
      EXPECT_EQ(bad, 0) << e.name << " s = " << s;
    }
  }
}

TEST_F(ScalarTest, KnownFloatValues) {
  struct known {
    scalar_fn fn;
    float s, x, y;
  };
  const known cases[] = {
      {taabe272, 1.0f, 0.0f, inf}, {taabe272, 1.0f, -0.0f, -inf}, {taabe272, 0.0f, 0.0f, nan},
      {taabe272, 1.0f, 3.0f, from_bits(0x3EAAAAABu)},             {taabe224, 1.0f, 3.0f, -2.0f},
      {taabe224, 0.0f, 0.0f, 0.0f}, {taabe45, -0.0f, -0.0f, -0.0f}, {taabe106, -1.0f, 0.0f, -0.0f},
  };
  for (const known& c : cases) {
    const float y = run(c.fn, c.s, {c.x})[0];
    EXPECT_TRUE(same(c.y, y)) << "s = " << c.s << ", x = " << c.x << " gave " << y << ", expected " << c.y;
  }
}

// Every Q10 input against multipliers across the range, rounded and truncated.
TEST_F(ScalarTest, Q10MultiplyOverEveryInput) {
  std::vector<int16_t> in(65536);
  for (int32_t i = 0; i < 65536; ++i) in[i] = static_cast<int16_t>(i - 32768);
  for (int16_t s : {0, 1, -1, 512, 1024, 1536, -1536, 32767, -32768}) {
    for (int32_t truncate : {0, 1}) {
      const auto out = run_q10(s, truncate, in);
      for (int32_t i = 0; i < 65536; ++i) {
        ASSERT_EQ(out[i], ref::mul_scalar_q10(in[i], s, truncate != 0)) << "x=" << in[i] << " s=" << s << " t=" << truncate;
      }
    }
  }
}

TEST_F(ScalarTest, KnownQ10Values) {
  struct known {
    int16_t x, s;
    int32_t truncate;
    int16_t y;
  };
  const known cases[] = {{1024, 1536, 0, 1536}, {1, 512, 0, 1},      {1, 512, 1, 0},      {-1, 512, 0, 0},
                         {-1, 512, 1, -1},       {-1, 512, -1, -1},   {-1, 512, 7, -1},    {1, 512, -1, 0},
                         {-32768, -32768, 0, 32767}, {-32768, -32768, 1, 32767}, {-32768, 32767, 0, -32768}, {32767, 32767, 0, 32767}};
  for (const known& c : cases) {
    EXPECT_EQ(run_q10(c.s, c.truncate, {c.x})[0], c.y) << c.x << " x " << c.s << " truncate " << c.truncate;
  }
}

// The entry contract, for the float entries and the Q10 one alike: exactly `count` elements,
// byte offsets, in-place use, refusals without a message, kernel failures with one.
TEST_F(ScalarTest, WritesExactlyCountElements) {
  std::vector<float> in(1026);
  std::vector<int16_t> in16(1026);
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = static_cast<float>(i) * 0.25f - 100.0f;
    in16[i] = static_cast<int16_t>(i * 37 - 20000);
  }
  for (int32_t count : {1, 255, 256, 257, 1025}) {
    for (const scalar_entry& e : entries) {
      kr_omu_buffer* dst = upload(std::vector<float>(in.size(), sentinel));
      kr_omu_op_elementwise_scalar_args_t args{dst, upload(in), 3.0f, count, 0, 0};
      ASSERT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
      const auto out = download<float>(dst, in.size());
      for (int32_t i = 0; i < count; ++i) ASSERT_TRUE(same(e.expected(in[i], 3.0f), out[i])) << e.name << " " << i;
      EXPECT_EQ(out[count], sentinel) << e.name << " count " << count;
    }
    kr_omu_buffer* dst = upload(std::vector<int16_t>(in16.size(), 0x5A5A));
    kr_omu_op_mulsv_args_t args{dst, upload(in16), 1536, 0, count, 0, 0};
    ASSERT_EQ(taabe263(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto out = download<int16_t>(dst, in16.size());
    for (int32_t i = 0; i < count; ++i) ASSERT_EQ(out[i], ref::mul_scalar_q10(in16[i], 1536, false)) << i;
    EXPECT_EQ(out[count], 0x5A5A) << "count " << count;
  }
}

TEST_F(ScalarTest, ByteOffsetsAndInPlace) {
  const std::vector<float> in = {sentinel, sentinel, 1.0f, -2.0f, 0.5f};
  for (const scalar_entry& e : entries) {
    kr_omu_buffer* dst = upload(std::vector<float>(4, sentinel));
    kr_omu_op_elementwise_scalar_args_t args{dst, upload(in), 2.0f, 3, 4, 8};
    ASSERT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_EQ(download<float>(dst, 4), (std::vector<float>{sentinel, e.expected(1.0f, 2.0f), e.expected(-2.0f, 2.0f),
                                                           e.expected(0.5f, 2.0f)}))
        << e.name;
    kr_omu_buffer* both = upload(in);
    kr_omu_op_elementwise_scalar_args_t same_buffer{both, both, 2.0f, 3, 8, 8};
    ASSERT_EQ(e.fn(device(), nullptr, &same_buffer), KR_STATUS_SUCCESS);
    EXPECT_EQ(download<float>(both, 3, 8), (std::vector<float>{e.expected(1.0f, 2.0f), e.expected(-2.0f, 2.0f),
                                                               e.expected(0.5f, 2.0f)}))
        << e.name;
  }
  const std::vector<int16_t> in16 = {7, 1024, -2048, 300};
  kr_omu_buffer* dst = upload(std::vector<int16_t>(4, 9));
  kr_omu_op_mulsv_args_t args{dst, upload(in16), 3072, 0, 3, 2, 2};
  ASSERT_EQ(taabe263(device(), nullptr, &args), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<int16_t>(dst, 4), (std::vector<int16_t>{9, 3072, -6144, 900}));
  kr_omu_buffer* both = upload(in16);
  kr_omu_op_mulsv_args_t same_buffer{both, both, -512, 1, 4, 0, 0};
  ASSERT_EQ(taabe263(device(), nullptr, &same_buffer), KR_STATUS_SUCCESS);
  EXPECT_EQ(download<int16_t>(both, 4), (std::vector<int16_t>{-4, -512, 1024, -150}));
}

TEST_F(ScalarTest, RefusalsAndLaunchFailures) {
  kr_omu_buffer* src = upload(std::vector<float>{1.0f, 2.0f, 3.0f});
  kr_omu_buffer* dst = upload(std::vector<float>(4, sentinel));
  int32_t failures = 0;
  for (const scalar_entry& e : entries) {
    const kr_omu_op_elementwise_scalar_args_t refused[] = {{dst, src, 1.0f, 3, 2, 0},
                                                           {dst, src, 1.0f, 3, 0, 3},
                                                           {nullptr, src, 1.0f, 3, 0, 0},
                                                           {dst, nullptr, 1.0f, 3, 0, 0}};
    for (kr_omu_op_elementwise_scalar_args_t args : refused) {
      EXPECT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT) << e.name;
    }
    EXPECT_EQ(e.fn(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT) << e.name;
    kr_omu_op_elementwise_scalar_args_t empty{dst, src, 1.0f, 0, 0, 0};
    EXPECT_EQ(e.fn(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR) << e.name;
    ++failures;
  }
  kr_omu_buffer* src16 = upload(std::vector<int16_t>{1, 2, 3});
  kr_omu_buffer* dst16 = upload(std::vector<int16_t>(4, 9));
  const kr_omu_op_mulsv_args_t refused[] = {{dst16, src16, 1024, 0, 3, 1, 0},
                                            {dst16, src16, 1024, 0, 3, 0, -1},
                                            {nullptr, src16, 1024, 0, 3, 0, 0},
                                            {dst16, nullptr, 1024, 0, 3, 0, 0}};
  for (kr_omu_op_mulsv_args_t args : refused) EXPECT_EQ(taabe263(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe263(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  kr_omu_op_mulsv_args_t empty{dst16, src16, 1024, 0, 0, 0, 0};
  EXPECT_EQ(taabe263(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
  ++failures;

  EXPECT_EQ(messages(), std::vector<std::string>(failures, stored(828, kr_test::kernel_failure_text)));
  EXPECT_EQ(download<float>(dst, 4), std::vector<float>(4, sentinel));
  EXPECT_EQ(download<int16_t>(dst16, 4), std::vector<int16_t>(4, 9));
}

TEST_F(ScalarTest, InjectedLaunchFailure) {
  KR_REQUIRE_EMULATOR();
  kr_omu_buffer* src = upload(std::vector<float>{1.0f, 2.0f});
  for (const scalar_entry& e : entries) {
    kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
    kr_omu_op_elementwise_scalar_args_t args{src, src, 1.0f, 2, 0, 0};
    EXPECT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR) << e.name;
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)}) << e.name;
    kr::error_stack_clear();
  }
  kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
  kr_omu_op_mulsv_args_t args{src, src, 1024, 0, 2, 0, 0};
  EXPECT_EQ(taabe263(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(download<float>(src, 2), (std::vector<float>{1.0f, 2.0f}));
}

}  // namespace
