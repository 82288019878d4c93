#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "reference/int16_ref.h"
#include "support/library.h"

namespace {

using kr_test::messages;
using kr_test::stored;

using unary_entry = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);

constexpr uint8_t sentinel = kr_test::sentinel_byte;

std::vector<int16_t> every_int16() {
  std::vector<int16_t> v(65536);
  for (int32_t i = 0; i < 65536; ++i) v[i] = static_cast<int16_t>(i - 32768);
  return v;
}

class Int16ElementwiseTest : public kr_test::LibraryTest {
 protected:
  // Output buffer of `bytes` filled with the sentinel byte.

  template <typename TOut, typename TIn>
  std::vector<TOut> run(unary_entry entry, const std::vector<TIn>& in) {
    kr_omu_buffer* src = upload(in);
    kr_omu_buffer* dst = buffer(static_cast<int32_t>(in.size() * sizeof(TOut)));
    kr_omu_op_elementwise_args_t args{dst, src, static_cast<int32_t>(in.size()), 0, 0};
    EXPECT_EQ(entry(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_TRUE(messages().empty());
    return download<TOut>(dst, in.size());
  }

  // Runs the entry once over the listed inputs and compares each output bit for bit.
  template <typename TOut, typename TIn>
  void expect_values(unary_entry entry, const std::vector<std::pair<TIn, TOut>>& cases) {
    std::vector<TIn> in;
    for (const auto& c : cases) in.push_back(c.first);
    const auto out = run<TOut>(entry, in);
    for (size_t i = 0; i < cases.size(); ++i) {
      EXPECT_EQ(std::memcmp(&out[i], &cases[i].second, sizeof(TOut)), 0)
          << "x=" << +cases[i].first << " got " << +out[i] << " want " << +cases[i].second;
    }
  }

  // Runs `entry` at the given byte offsets over a sentinel-filled output and checks that exactly
  // `count` elements were written, each equal to `expect` of its input.
  template <typename TOut, typename TIn, typename Expect>
  void check_span(unary_entry entry, const std::vector<TIn>& in, int32_t in_offset, int32_t out_offset, Expect expect) {
    const int32_t count = static_cast<int32_t>(in.size());
    std::vector<uint8_t> in_bytes(in_offset + in.size() * sizeof(TIn));
    std::memcpy(in_bytes.data() + in_offset, in.data(), in.size() * sizeof(TIn));
    kr_omu_buffer* src = upload(in_bytes);
    const int32_t out_bytes = out_offset + (count + 1) * static_cast<int32_t>(sizeof(TOut));
    kr_omu_buffer* dst = sentinel_buffer(out_bytes);
    kr_omu_op_elementwise_args_t args{dst, src, count, out_offset, in_offset};
    ASSERT_EQ(entry(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto bytes = download<uint8_t>(dst, out_bytes);
    for (int32_t i = 0; i < out_offset; ++i) ASSERT_EQ(bytes[i], sentinel) << "byte " << i << " before the output";
    for (int32_t i = 0; i < count; ++i) {
      TOut got;
      std::memcpy(&got, bytes.data() + out_offset + i * sizeof(TOut), sizeof got);
      const TOut want = expect(in[i]);
      ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0) << "element " << i << " of " << count;
    }
    for (size_t i = out_offset + count * sizeof(TOut); i < bytes.size(); ++i) {
      ASSERT_EQ(bytes[i], sentinel) << "element past the count written, count " << count;
    }
  }

  // A misaligned offset is refused before launching: status 3, no message, nothing written.
  void check_refused(unary_entry entry, int32_t in_offset, int32_t out_offset) {
    kr_omu_buffer* src = upload(std::vector<uint8_t>(64, 1));
    kr_omu_buffer* dst = sentinel_buffer(64);
    kr_omu_op_elementwise_args_t args{dst, src, 8, out_offset, in_offset};
    EXPECT_EQ(entry(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(download<uint8_t>(dst, 64), std::vector<uint8_t>(64, sentinel));
  }
};

struct int16_unary {
  const char* name;
  unary_entry entry;
  int32_t (*expect)(int32_t);
};

const int16_unary int16_unaries[] = {
    {"table GELU", taabe165, ref::gelu_i16},
    {"sigmoid Q10", taabe27, ref::sigmoid_q10},
    {"sigmoid Q15", taabe35, ref::sigmoid},
    {"ReLU", taabe88, [](int32_t x) { return x > 0 ? x : 0; }},
};

TEST_F(Int16ElementwiseTest, SixteenBitActivationsOverEveryInputAndInPlace) {
  const std::vector<int16_t> all = every_int16();
  for (const int16_unary& op : int16_unaries) {
    SCOPED_TRACE(op.name);
    const auto out = run<int16_t>(op.entry, all);
    for (int32_t i = 0; i < 65536; ++i) ASSERT_EQ(out[i], op.expect(all[i])) << "x=" << all[i];

    kr_omu_buffer* b = upload(all);
    kr_omu_op_elementwise_args_t in_place{b, b, 65536, 0, 0};
    ASSERT_EQ(op.entry(device(), nullptr, &in_place), KR_STATUS_SUCCESS);
    EXPECT_EQ(download<int16_t>(b, 65536), out);
  }
}

// Values at the ends of each range, rounding ties and saturation points.
TEST_F(Int16ElementwiseTest, KnownValues) {
  const float inf = std::numeric_limits<float>::infinity();
  expect_values<int16_t, int16_t>(taabe165,
                                  {{0, 0}, {1024, 866}, {-1024, -158}, {2048, 1982}, {32767, 32754}, {-32768, -11}});
  expect_values<int16_t, int16_t>(taabe35, {{0, 16384}, {32767, 32755}, {-32768, 11}});
  expect_values<int16_t, int16_t>(taabe27, {{0, 512}, {32767, 1023}, {-32768, 0}});
  expect_values<int16_t, int16_t>(taabe88, {{-1, 0}, {32767, 32767}, {-32768, 0}});
  // Ties of the conversion to float go to the even mantissa.
  expect_values<float, int32_t>(taabe218, {{-1, -1.0f},
                                           {16777217, 16777216.0f},
                                           {16777219, 16777220.0f},
                                           {33554434, 33554432.0f},
                                           {-16777217, -16777216.0f},
                                           {INT32_MAX, 2147483648.0f},
                                           {INT32_MIN, -2147483648.0f}});
  expect_values<int16_t, float>(taabe77, {{0.0009765625f, 1},
                                          {0.00097f, 0},
                                          {-40.0f, -32768},
                                          {std::nanf(""), 0},
                                          {31.999f, 32766},
                                          {32.0f, 32767},
                                          {-32.0f, -32768},
                                          {-0.0009f, 0},
                                          {inf, 32767},
                                          {-inf, -32768},
                                          {-0.0f, 0},
                                          {1e-45f, 0},
                                          {-31.9990234375f, -32767},
                                          {3.4e38f, 32767},
                                          {-0.00146484375f, -1}});
  // The rounding addition must not wrap near the top of the 32-bit range.
  expect_values<int16_t, int32_t>(taabe82, {{63, 0},
                                            {64, 1},
                                            {-64, 0},
                                            {-65, -1},
                                            {4194111, 32766},
                                            {4194112, 32767},
                                            {INT32_MAX, 32767},
                                            {-4194240, -32767},
                                            {-4194241, -32768},
                                            {INT32_MIN, -32768}});
}

TEST_F(Int16ElementwiseTest, ConversionSweeps) {
  const auto q10 = run<float>(taabe266, every_int16());
  for (int32_t i = 0; i < 65536; ++i) ASSERT_EQ(q10[i], std::ldexp(static_cast<float>(i - 32768), -10)) << i - 32768;

  std::vector<int8_t> bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<int8_t>(i - 128);
  const auto q7 = run<float>(taabe221, bytes);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(q7[i], std::ldexp(static_cast<float>(i - 128), -7)) << i - 128;

  // Halfway between Q10 steps, across and beyond the range: truncation towards zero.
  std::vector<float> halves;
  for (int32_t v = -33000; v <= 33000; ++v) halves.push_back((static_cast<float>(v) + 0.5f) / 1024.0f);
  const auto q = run<int16_t>(taabe77, halves);
  for (int32_t v = -33000; v <= 33000; ++v) {
    ASSERT_EQ(q[v + 33000], ref::sat16(v >= 0 ? v : v + 1)) << "(" << v << " + 0.5) / 1024";
  }

  // Q17 sums with every residue modulo 128, across the unsaturated range and past both ends.
  std::vector<int32_t> sums(65536);
  for (int32_t i = 0; i < 65536; ++i) sums[i] = i * 131 - 4300000;
  const auto q17 = run<int16_t>(taabe82, sums);
  for (int32_t i = 0; i < 65536; ++i) ASSERT_EQ(q17[i], ref::q17_to_q10(sums[i])) << sums[i];
}

// Element counts around the block size with byte offsets, for each pair of element sizes.
TEST_F(Int16ElementwiseTest, WritesExactlyCountElementsAtByteOffsets) {
  std::mt19937 rng(17);
  for (const int32_t count : {1, 255, 256, 257, 1025}) {
    SCOPED_TRACE(count);
    std::vector<int16_t> i16(count);
    std::vector<int8_t> i8(count);
    std::vector<int32_t> i32(count);
    std::vector<float> f32(count);
    for (int32_t i = 0; i < count; ++i) {
      i16[i] = static_cast<int16_t>(rng());
      i8[i] = static_cast<int8_t>(rng());
      i32[i] = static_cast<int32_t>(rng());
      f32[i] = static_cast<float>(static_cast<int32_t>(rng() % 90000u) - 45000) / 1024.0f;
    }
    check_span<int16_t>(taabe165, i16, 6, 10, [](int16_t x) { return static_cast<int16_t>(ref::gelu_i16(x)); });
    check_span<float>(taabe266, i16, 2, 12, [](int16_t x) { return std::ldexp(static_cast<float>(x), -10); });
    check_span<float>(taabe221, i8, 3, 4, [](int8_t x) { return std::ldexp(static_cast<float>(x), -7); });
    check_span<int16_t>(taabe82, i32, 4, 2, [](int32_t x) { return static_cast<int16_t>(ref::q17_to_q10(x)); });
    check_span<float>(taabe218, i32, 8, 4, [](int32_t x) { return static_cast<float>(static_cast<double>(x)); });
    check_span<int16_t>(taabe77, f32, 4, 6, [](float x) { return static_cast<int16_t>(ref::to_q10(x)); });
  }
}

// A count past 2^25, beyond any float-computed grid: every element up to the last is written,
// and nothing after it.
TEST_F(Int16ElementwiseTest, LargeShapeCountPast2To25) {
  KR_SKIP_LARGE_SHAPE_UNDER_THREAD_SANITIZER();
  const int32_t count = (1 << 25) + 1;
  std::vector<int16_t> in(static_cast<size_t>(count));
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int16_t>(static_cast<int32_t>(i % 60001) - 30000);
  kr_omu_buffer* src = upload(in);
  kr_omu_buffer* dst = sentinel_buffer((count + 1) * 2);
  kr_omu_op_elementwise_args_t args{dst, src, count, 0, 0};
  ASSERT_EQ(taabe88(device(), nullptr, &args), KR_STATUS_SUCCESS);
  const std::vector<int16_t> out = download<int16_t>(dst, static_cast<size_t>(count) + 1);
  for (size_t i = 0; i < in.size(); i += (i + 4096 < in.size() ? 4099 : 1)) {
    ASSERT_EQ(out[i], in[i] > 0 ? in[i] : 0) << "element " << i << " of " << count;
  }
  EXPECT_EQ(static_cast<uint16_t>(out[count]), 0x5A5Au);
}

TEST_F(Int16ElementwiseTest, MisalignedAddressesAreRefused) {
  check_refused(taabe165, 1, 0);
  check_refused(taabe165, 0, 3);
  check_refused(taabe266, 0, 2);  // float output on a 2-byte boundary
  check_refused(taabe221, 0, 6);  // any input offset is aligned for bytes
  check_refused(taabe218, 2, 0);
  check_refused(taabe77, 0, 1);
  check_refused(taabe82, 6, 0);
}

struct named_entry {
  const char* name;
  unary_entry entry;
};
const named_entry all_unaries[] = {
    {"taabe165", taabe165}, {"taabe27", taabe27},   {"taabe35", taabe35}, {"taabe88", taabe88}, {"taabe218", taabe218},
    {"taabe221", taabe221}, {"taabe266", taabe266}, {"taabe77", taabe77}, {"taabe82", taabe82},
};

TEST_F(Int16ElementwiseTest, FailuresOfEveryUnaryEntry) {
  for (const named_entry& e : all_unaries) {
    SCOPED_TRACE(e.name);
    kr_omu_buffer* src = upload(std::vector<int32_t>(4, 0));
    kr_omu_buffer* dst = sentinel_buffer(16);

    kr_omu_op_elementwise_args_t empty{dst, src, 0, 0, 0};
    EXPECT_EQ(e.entry(device(), nullptr, &empty), KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
    kr::error_stack_clear();

    if (kr_test::emulated()) {
      kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
      kr_omu_op_elementwise_args_t four{dst, src, 4, 0, 0};
      EXPECT_EQ(e.entry(device(), nullptr, &four), KR_STATUS_RUNTIME_ERROR);
      EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
      EXPECT_EQ(cudaGetLastError(), cudaSuccess);
      kr::error_stack_clear();
    }

    kr_omu_op_elementwise_args_t no_output{nullptr, src, 4, 0, 0};
    kr_omu_op_elementwise_args_t no_input{dst, nullptr, 4, 0, 0};
    EXPECT_EQ(e.entry(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(e.entry(device(), nullptr, &no_output), KR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(e.entry(device(), nullptr, &no_input), KR_STATUS_INVALID_ARGUMENT);
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(download<uint8_t>(dst, 16), std::vector<uint8_t>(16, sentinel));
  }
}

// 16-bit saturating add.

class SaturatingAddTest : public Int16ElementwiseTest {
 protected:
  // a + b through the entry at the given byte offsets; returns the status and the output span
  // including one element past the count (sentinel if untouched).
  kr_status_t add(const std::vector<int16_t>& a, const std::vector<int16_t>& b, int32_t count, int32_t offset_out,
                  int32_t offset_a, int32_t offset_b, std::vector<int16_t>* out) {
    auto at = [](const std::vector<int16_t>& v, int32_t offset) {
      std::vector<int16_t> padded(offset / 2 + v.size() + 1, 0);
      std::copy(v.begin(), v.end(), padded.begin() + offset / 2);
      return padded;
    };
    kr_omu_buffer* ba = upload(at(a, offset_a));
    kr_omu_buffer* bb = upload(at(b, offset_b));
    kr_omu_buffer* bo = sentinel_buffer(offset_out + (count + 1) * 2);
    kr_omu_op_pairwise_args_t args{bo, ba, bb, count, offset_out, offset_a, offset_b};
    const kr_status_t status = taabe177(device(), nullptr, &args);
    *out = download<int16_t>(bo, count + 1, offset_out);
    return status;
  }
};

constexpr int16_t sentinel16 = 0x5A5A;

std::vector<int16_t> random_int16(std::mt19937& rng, int32_t count) {
  std::vector<int16_t> v(count);
  for (int16_t& x : v) x = static_cast<int16_t>(rng());
  return v;
}

// Every count runs on word-aligned addresses (the packed kernel when even) and with one or more
// addresses only 2-byte aligned (always the element kernel); both must match the reference.
TEST_F(SaturatingAddTest, CountsAndOffsetsAgreeWithTheReference) {
  std::mt19937 rng(5);
  struct layout {
    int32_t out, a, b;  // byte offsets
  };
  const layout layouts[] = {{0, 0, 0}, {4, 8, 12}, {2, 0, 0}, {0, 2, 0}, {0, 0, 6}, {2, 2, 2}};
  // Saturating and exact pairs in both halves of a packed word, then random pairs.
  const std::vector<int16_t> edge_a = {32767, 1, -32768, -1, 100, -200, -32768, 32767, 32767, -32768, 0, -1};
  const std::vector<int16_t> edge_b = {1, 32767, -1, -32768, -200, 100, 32767, -32768, 32767, -32768, 0, -1};
  for (const int32_t count : {1, 4, 5, 12, 255, 256, 257, 512, 513, 1024, 1025}) {
    auto a = random_int16(rng, count);
    auto b = random_int16(rng, count);
    for (int32_t i = 0; i < count && i < 12; ++i) a[i] = edge_a[i], b[i] = edge_b[i];
    for (const layout& l : layouts) {
      SCOPED_TRACE(testing::Message() << "count " << count << " offsets " << l.out << "/" << l.a << "/" << l.b);
      std::vector<int16_t> out;
      ASSERT_EQ(add(a, b, count, l.out, l.a, l.b, &out), KR_STATUS_SUCCESS);
      for (int32_t i = 0; i < count; ++i) ASSERT_EQ(out[i], ref::add_sat16(a[i], b[i])) << i;
      EXPECT_EQ(out[count], sentinel16);
    }
  }
}

// The packed path needs half the blocks: with the grid limited to 2 blocks, 1024 elements run on
// 4-byte aligned addresses and are refused by the runtime when one address is only 2-byte aligned.
TEST_F(SaturatingAddTest, PackedPathOnlyWhenEvenAndWordAligned) {
  KR_REQUIRE_EMULATOR();
  std::mt19937 rng(3);
  const auto a = random_int16(rng, 1024);
  const auto b = random_int16(rng, 1024);
  device();
  ASSERT_TRUE(kr_test::set_max_grid_x(0, 2));
  std::vector<int16_t> out;
  EXPECT_EQ(add(a, b, 1024, 0, 0, 0, &out), KR_STATUS_SUCCESS);
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(add(a, b, 1024, 0, 2, 0, &out), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
  kr::error_stack_clear();
  EXPECT_EQ(add(a, b, 1023, 0, 0, 0, &out), KR_STATUS_RUNTIME_ERROR);
}

TEST_F(SaturatingAddTest, InPlace) {
  std::mt19937 rng(11);
  const auto a = random_int16(rng, 513);
  const auto b = random_int16(rng, 513);
  for (const int32_t count : {512, 513}) {
    kr_omu_buffer* ba = upload(a);
    kr_omu_buffer* bb = upload(b);
    kr_omu_op_pairwise_args_t args{ba, ba, bb, count, 0, 0, 0};
    ASSERT_EQ(taabe177(device(), nullptr, &args), KR_STATUS_SUCCESS);
    const auto out = download<int16_t>(ba, 513);
    for (int32_t i = 0; i < 513; ++i) ASSERT_EQ(out[i], i < count ? ref::add_sat16(a[i], b[i]) : a[i]) << i;
  }
}

TEST_F(SaturatingAddTest, Failures) {
  const std::vector<int16_t> v(8, 1);
  std::vector<int16_t> out;
  for (const int32_t offset : {0, 2}) {  // empty grid on either path
    EXPECT_EQ(add(v, v, 0, offset, 0, 0, &out), KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
    EXPECT_EQ(out[0], sentinel16);
    kr::error_stack_clear();
  }
  if (kr_test::emulated()) {
    kr_test::fail_call("cudaLaunchKernel", cudaErrorLaunchFailure);
    EXPECT_EQ(add(v, v, 4, 0, 0, 0, &out), KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kr_test::kernel_failure_text)});
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    kr::error_stack_clear();
  }
  // Odd byte offsets are misaligned for 16-bit elements.
  EXPECT_EQ(add(v, v, 4, 1, 0, 0, &out), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(out[0], sentinel16);
  kr_omu_buffer* b = upload(v);
  kr_omu_op_pairwise_args_t odd_a{b, b, b, 4, 0, 3, 0};
  kr_omu_op_pairwise_args_t odd_b{b, b, b, 4, 0, 0, 5};
  kr_omu_op_pairwise_args_t no_b{b, b, nullptr, 4, 0, 0, 0};
  EXPECT_EQ(taabe177(device(), nullptr, &odd_a), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe177(device(), nullptr, &odd_b), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe177(device(), nullptr, &no_b), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe177(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(download<int16_t>(b, 8), v);
}

}  // namespace
