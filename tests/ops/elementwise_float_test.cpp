#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
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

using unary_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);

struct unary_entry {
  const char* name;
  unary_fn fn;
  ref::float_range (*expected)(float);
};

const unary_entry entries[] = {
    {"taabe178 exp", taabe178, ref::exp_f32},
    {"taabe71 gelu erf", taabe71, ref::gelu_erf_f32},
    {"taabe78 gelu tanh", taabe78, ref::gelu_tanh_f32},
    {"taabe190 x sigmoid", taabe190, ref::silu_f32},
    {"taabe39 table sigmoid", taabe39, ref::sigmoid_table_f32},
    {"taabe257 table tanh", taabe257, ref::tanh_table_f32},
    {"taabe141 table gelu", taabe141, ref::gelu_table_f32},
    {"taabe169 relu", taabe169, ref::relu_f32},
};

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();
using kr_test::sentinel;

std::string show(float x) {
  std::ostringstream s;
  s << std::hexfloat << x << " (0x" << std::hex << bits(x) << ")";
  return s.str();
}

// Special values, a sweep over the whole bit space (every exponent, both signs, NaN payloads), and
// every Q10 step and half step across and beyond the fixed-point range.
std::vector<float> float_inputs() {
  std::vector<float> v = {0.0f,       -0.0f,       from_bits(1),         from_bits(0x80000001u),
                          1e-40f,     -3e-39f,     from_bits(0x007FFFFFu), std::numeric_limits<float>::min(),
                          -std::numeric_limits<float>::min(), std::numeric_limits<float>::max(),
                          -std::numeric_limits<float>::max(), inf, -inf, nan, from_bits(0xFFC00001u),
                          1.0f,       -1.0f,       89.0f,        -110.0f,     88.72283f,  88.72284f,
                          -88.72283f, -88.72284f,  -87.5f,       87.5f,       17.0f,      -17.0f,
                          1e20f,      -1e20f,      1e13f,        -1e13f,      7.9375f,    -8.0f};
  for (uint64_t u = 0; u < (uint64_t{1} << 32); u += 65521) v.push_back(from_bits(static_cast<uint32_t>(u)));
  for (int32_t k = -2 * 34816; k <= 2 * 34816; ++k) v.push_back(static_cast<float>(k) / 2048.0f);
  return v;
}

class FloatUnaryTest : public kr_test::LibraryTest {
 protected:
  std::vector<float> run(unary_fn fn, const std::vector<float>& in) {
    kr_omu_buffer* src = upload(in);
    kr_omu_buffer* dst = buffer(static_cast<int32_t>(in.size() * 4));
    kr_omu_op_elementwise_args_t args{dst, src, static_cast<int32_t>(in.size()), 0, 0};
    EXPECT_EQ(fn(device(), nullptr, &args), KR_STATUS_SUCCESS);
    return download<float>(dst, in.size());
  }
};

// Each output against its reference; reports the first mismatches only.
void expect_matches(const unary_entry& e, const std::vector<float>& in, const std::vector<float>& out, size_t first = 0) {
  int bad = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    const ref::float_range r = e.expected(in[i]);
    if (!ref::accepts(r, out[first + i]) && ++bad <= 5) {
      ADD_FAILURE() << e.name << ": x = " << show(in[i]) << " gave " << show(out[first + i]) << ", expected "
                    << show(r.lo) << " .. " << show(r.hi);
    }
  }
  EXPECT_EQ(bad, 0) << e.name;
}

TEST_F(FloatUnaryTest, EveryEntryOverSpecialValuesAndSweeps) {
  const std::vector<float> in = float_inputs();
  for (const unary_entry& e : entries) expect_matches(e, in, run(e.fn, in));
}

TEST_F(FloatUnaryTest, KnownValues) {
  struct known {
    unary_fn fn;
    float x;
    float y;
  };
  const float sig0 = 16384.0f / 32767.0f;
  const known cases[] = {
      {taabe39, 0.0f, sig0},      {taabe39, 100.0f, 32755.0f / 32767.0f}, {taabe39, -100.0f, 11.0f / 32767.0f},
      {taabe39, nan, sig0},       {taabe257, 0.0f, 0.0f},                 {taabe257, 5.0f, 32742.0f / 32767.0f},
      {taabe257, -5.0f, -32746.0f / 32767.0f},                            {taabe141, 0.0f, 0.0f},
      {taabe141, nan, nan},       {taabe141, 1000.0f, 1000.0f * (32755.0f / 32767.0f)},
      {taabe169, -0.5f, 0.0f},    {taabe169, 3.0f, 3.0f},                 {taabe169, nan, 0.0f},
      {taabe178, 0.0f, 1.0f},     {taabe178, 89.0f, inf},                 {taabe178, -110.0f, 0.0f},
      {taabe178, -inf, 0.0f},     {taabe178, inf, inf},                   {taabe178, nan, nan},
      {taabe71, 0.0f, 0.0f},      {taabe71, -0.0f, -0.0f},                {taabe71, inf, inf},
      {taabe71, -inf, nan},       {taabe78, -0.0f, -0.0f},                {taabe78, inf, inf},
      {taabe78, -inf, nan},       {taabe78, 1e13f, 1e13f},                {taabe190, 0.0f, 0.0f},
      {taabe190, -0.0f, -0.0f},   {taabe190, inf, inf},                   {taabe190, -inf, nan},
      {taabe190, -100.0f, -0.0f}, {taabe190, 30.0f, 30.0f},               {taabe190, nan, nan},
  };
  for (const known& c : cases) {
    const float y = run(c.fn, {c.x})[0];
    if (std::isnan(c.y)) {
      EXPECT_TRUE(std::isnan(y)) << show(c.x) << " gave " << show(y);
    } else {
      EXPECT_EQ(bits(y), bits(c.y)) << show(c.x) << " gave " << show(y) << ", expected " << show(c.y);
    }
  }
}

// Counts around the block size: exactly `count` elements are written.
TEST_F(FloatUnaryTest, WritesExactlyCountElements) {
  std::vector<float> in(1026);
  for (size_t i = 0; i < in.size(); ++i) in[i] = (static_cast<float>(i) - 513.0f) * 0.0371f;
  for (const unary_entry& e : entries) {
    for (int32_t count : {1, 255, 256, 257, 1025}) {
      kr_omu_buffer* src = upload(in);
      kr_omu_buffer* dst = upload(std::vector<float>(in.size(), sentinel));
      kr_omu_op_elementwise_args_t args{dst, src, count, 0, 0};
      ASSERT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_SUCCESS) << e.name << " count " << count;
      const auto out = download<float>(dst, in.size());
      expect_matches(e, std::vector<float>(in.begin(), in.begin() + count), out);
      EXPECT_EQ(bits(out[count]), bits(sentinel)) << e.name << " count " << count;
    }
  }
}

// Offsets are bytes, not elements; in-place use reads each element before writing it.
TEST_F(FloatUnaryTest, ByteOffsetsAndInPlace) {
  const std::vector<float> in = {-2.5f, -0.75f, 0.0f, 0.5f, 1.25f, 6.0f, -9.0f};
  for (const unary_entry& e : entries) {
    std::vector<float> padded(2, sentinel);
    padded.insert(padded.end(), in.begin(), in.end());
    kr_omu_buffer* src = upload(padded);
    kr_omu_buffer* dst = upload(std::vector<float>(in.size() + 1, sentinel));
    kr_omu_op_elementwise_args_t args{dst, src, static_cast<int32_t>(in.size()), 4, 8};
    ASSERT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_SUCCESS) << e.name;
    const auto out = download<float>(dst, in.size() + 1);
    EXPECT_EQ(bits(out[0]), bits(sentinel)) << e.name;
    expect_matches(e, in, out, 1);

    kr_omu_buffer* both = upload(in);
    kr_omu_op_elementwise_args_t same{both, both, static_cast<int32_t>(in.size()), 0, 0};
    ASSERT_EQ(e.fn(device(), nullptr, &same), KR_STATUS_SUCCESS) << e.name;
    expect_matches(e, in, download<float>(both, in.size()));
  }
}

// Misaligned addresses and missing records are refused before any launch, without a message;
// an empty grid and a refused launch are reported as the entry's kernel failure.
TEST_F(FloatUnaryTest, RefusalsAndLaunchFailures) {
  const std::vector<float> in = {1.0f, 2.0f, 3.0f};
  for (const unary_entry& e : entries) {
    kr_omu_buffer* src = upload(in);
    kr_omu_buffer* dst = upload(std::vector<float>(4, sentinel));
    const kr_omu_op_elementwise_args_t refused[] = {
        {dst, src, 3, 2, 0}, {dst, src, 3, 0, 1}, {nullptr, src, 3, 0, 0}, {dst, nullptr, 3, 0, 0}};
    for (kr_omu_op_elementwise_args_t args : refused) {
      EXPECT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT) << e.name;
    }
    EXPECT_EQ(e.fn(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT) << e.name;
    EXPECT_TRUE(messages().empty()) << e.name;

    kr_omu_op_elementwise_args_t empty{dst, src, 0, 0, 0};
    EXPECT_EQ(e.fn(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR) << e.name;
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)}) << e.name;
    EXPECT_EQ(download<float>(dst, 4), std::vector<float>(4, sentinel)) << e.name;
    kr::error_stack_clear();
  }
}

TEST_F(FloatUnaryTest, InjectedLaunchFailure) {
  KR_REQUIRE_EMULATOR();
  kr_omu_buffer* src = upload(std::vector<float>{1.0f});
  kr_omu_buffer* dst = upload(std::vector<float>{sentinel});
  for (const unary_entry& e : entries) {
    kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
    kr_omu_op_elementwise_args_t args{dst, src, 1, 0, 0};
    EXPECT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR) << e.name;
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)}) << e.name;
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << e.name;
    kr::error_stack_clear();
  }
  EXPECT_EQ(download<float>(dst, 1)[0], sentinel);
}

// A count past 2^24, where a grid computed in float (ceilf(count / 256.0f)) loses the last
// block: every element up to the last is written, and nothing after it.
TEST_F(FloatUnaryTest, LargeShapeCountPast2To24) {
  KR_SKIP_LARGE_SHAPE_UNDER_THREAD_SANITIZER();
  const int32_t count = (1 << 24) + 1;
  std::vector<float> in(static_cast<size_t>(count) + 1);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(static_cast<int32_t>(i % 1999) - 999);
  kr_omu_buffer* src = upload(in);
  kr_omu_buffer* dst = upload(std::vector<float>(in.size(), sentinel));
  kr_omu_op_elementwise_args_t args{dst, src, count, 0, 0};
  ASSERT_EQ(taabe169(device(), nullptr, &args), KR_STATUS_SUCCESS);
  const std::vector<float> out = download<float>(dst, in.size());
  for (size_t i = 0; i < static_cast<size_t>(count); i += (i + 4096 < static_cast<size_t>(count) ? 4099 : 1)) {
    ASSERT_EQ(bits(out[i]), bits(in[i] > 0.0f ? in[i] : 0.0f)) << "element " << i << " of " << count;
  }
  EXPECT_EQ(bits(out[count]), bits(sentinel));
}

}  // namespace
