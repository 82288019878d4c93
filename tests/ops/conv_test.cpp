#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/conv_ref.h"
#include "support/library.h"
#include "support/refusals.h"

namespace {

using kr_test::kernel_failure_text;
using kr_test::messages;
using kr_test::stored;

constexpr uint8_t sentinel = kr_test::sentinel_byte;

template <typename T>
std::vector<T> random_values(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<T> v(count);
  for (T& x : v) x = static_cast<T>(rng());
  return v;
}

using kr_test::at_offset;

class ConvTest : public kr_test::LibraryTest {
 protected:
  // A sentinel-filled output of `count` elements of T after `offset` bytes, plus one spare element.
  template <typename T>
  kr_omu_buffer* output(size_t count, int32_t offset) {
    return upload(std::vector<uint8_t>(offset + (count + 1) * sizeof(T), sentinel));
  }

  // The `count` elements after `offset` bytes of such an output; fails if a byte outside them changed.
  template <typename T>
  std::vector<T> written(kr_omu_buffer* b, size_t count, int32_t offset) {
    return LibraryTest::written<T>(b, count, offset, offset + (count + 1) * sizeof(T));
  }

  // True if nothing of the buffer changed.

  void expect_kernel_failure(kr_status_t status) {
    EXPECT_EQ(status, KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kernel_failure_text)});
  }
};

// ---------------------------------------------------------------------------------------------
// conv1d

struct conv1d_shape {
  int32_t num_frames, out_channels, in_channels, kernel_size;
};

struct conv1d_offsets {
  int32_t output, weights, input;
};

class Conv1dTest : public ConvTest {
 protected:
  std::vector<int32_t> run(const conv1d_shape& s, const std::vector<int16_t>& in, const std::vector<int8_t>& w,
                           conv1d_offsets off) {
    const size_t count = static_cast<size_t>(s.num_frames) * s.out_channels;
    kr_omu_buffer* dst = output<int32_t>(count, off.output);
    kr_omu_op_conv1d_args_t args{dst,          upload(at_offset(w, off.weights)), upload(at_offset(in, off.input)),
                                 s.num_frames, s.out_channels, s.in_channels, s.kernel_size, off.output,
                                 off.weights,  off.input};
    EXPECT_EQ(taabe126(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_TRUE(messages().empty());
    return written<int32_t>(dst, count, off.output);
  }
};

// Full-range random data over both kernels: channel counts that are and are not multiples of 4, tap
// counts 0, 1, 3 and 7, frame and channel counts off the 16 x 16 tile. Every multiple-of-4 shape
// runs once on 4-byte aligned data (packed) and once with the input 2 bytes off (plain).
TEST_F(Conv1dTest, MatchesTheDirectSumOnBothKernels) {
  const conv1d_shape shapes[] = {{5, 7, 3, 3},    {17, 18, 4, 1},  {33, 17, 6, 7}, {20, 33, 8, 3}, {18, 20, 64, 3},
                                 {16, 16, 64, 7}, {4, 5, 64, 0},   {3, 4, 0, 3},   {1, 1, 4, 7},  {2, 3, 5, 0},
                                 {31, 1, 12, 1},  {1, 35, 3, 1}};
  uint32_t seed = 1;
  for (const conv1d_shape& s : shapes) {
    SCOPED_TRACE(testing::Message() << "frames " << s.num_frames << " out " << s.out_channels << " in "
                                    << s.in_channels << " taps " << s.kernel_size);
    const auto in = random_values<int16_t>(static_cast<size_t>(s.num_frames + s.kernel_size - 1) * s.in_channels, ++seed);
    const auto w = random_values<int8_t>(static_cast<size_t>(s.out_channels) * s.kernel_size * s.in_channels, ++seed);
    const auto want = ref::conv1d(in, w, s.num_frames, s.out_channels, s.in_channels, s.kernel_size);
    EXPECT_EQ(run(s, in, w, {0, 0, 0}), want);
    EXPECT_EQ(run(s, in, w, {4, 4, 2}), want);
  }
}

// Sums past the 32-bit range wrap on both kernels: 576 products of 2^22 each, and of -2^22 each.
TEST_F(Conv1dTest, SumsWrap) {
  const conv1d_shape s{3, 2, 64, 9};
  const std::vector<int16_t> in(11 * 64, -32768);
  std::vector<int8_t> w(2 * 9 * 64, -128);
  for (size_t i = w.size() / 2; i < w.size(); ++i) w[i] = 127;
  const auto want = ref::conv1d(in, w, 3, 2, 64, 9);
  ASSERT_EQ(want[0], static_cast<int32_t>(576u << 22));
  EXPECT_EQ(run(s, in, w, {0, 0, 0}), want);
  EXPECT_EQ(run(s, in, w, {0, 1, 0}), want);
}

// Byte offsets that keep every alignment take the packed kernel, the others the plain one.
TEST_F(Conv1dTest, ByteOffsetsAreHonoured) {
  const conv1d_shape s{9, 6, 8, 2};
  const auto in = random_values<int16_t>(10 * 8, 7);
  const auto w = random_values<int8_t>(6 * 2 * 8, 8);
  const auto want = ref::conv1d(in, w, 9, 6, 8, 2);
  for (const conv1d_offsets off : {conv1d_offsets{8, 12, 4}, conv1d_offsets{4, 3, 6}, conv1d_offsets{12, 1, 0}}) {
    EXPECT_EQ(run(s, in, w, off), want) << "offsets " << off.output << " " << off.weights << " " << off.input;
  }
}

// Refusals before launching: status 3, no message, nothing written.
TEST_F(Conv1dTest, RefusesRecordsItCannotRun) {
  kr_omu_buffer* dst = output<int32_t>(64, 0);
  kr_omu_buffer* w = upload(std::vector<int8_t>(256, 1));
  kr_omu_buffer* in = upload(std::vector<int16_t>(256, 1));
  using A = kr_omu_op_conv1d_args_t;
  const A good{dst, w, in, 2, 3, 4, 2, 0, 0, 0};
  kr_test::expect_refused(taabe126, device(), good,
                          {{&A::output, nullptr, "null output"},
                           {&A::weights, nullptr, "null weights"},
                           {&A::input, nullptr, "null input"},
                           {&A::output_offset, 2, "output 2 bytes off"},
                           {&A::input_offset, 1, "input 1 byte off"},
                           {&A::num_frames, -3, "negative frames"},
                           {&A::num_frames, -100, &A::in_channels, 3, "negative frames, plain"},
                           {&A::in_channels, -4, &A::kernel_size, -2, "negative channels and taps"},
                           {&A::in_channels, 65536, &A::kernel_size, 32768, "K past 32 bits"}});
  EXPECT_TRUE(untouched(dst, 65 * 4));
}

// Grids the device refuses are launch failures; a negative tap count with positive channels is an empty sum.
TEST_F(Conv1dTest, EmptyGridFailsAndNegativeTapsGiveZeros) {
  kr_omu_buffer* w = upload(std::vector<int8_t>(64, 1));
  kr_omu_buffer* in = upload(std::vector<int16_t>(64, 1));
  for (int32_t channels : {4, 3}) {
    kr_omu_buffer* dst = output<int32_t>(6, 0);
    // No filters, or a negative filter count: an empty grid or one past the device's limits.
    for (int32_t filters : {0, -1, -100}) {
      kr_omu_op_conv1d_args_t args{dst, w, in, 2, filters, channels, 2, 0, 0, 0};
      expect_kernel_failure(taabe126(device(), nullptr, &args));
      kr::error_stack_clear();
    }
    EXPECT_TRUE(untouched(dst, 7 * 4));
    kr_omu_op_conv1d_args_t args{dst, w, in, 2, 3, channels, -2, 0, 0, 0};
    EXPECT_EQ(taabe126(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_EQ(written<int32_t>(dst, 6, 0), std::vector<int32_t>(6, 0));
  }
}

// ---------------------------------------------------------------------------------------------
// depthwise conv1d

class DepthwiseTest : public ConvTest {
 protected:
  std::vector<int32_t> run(int32_t frames, int32_t channels, int32_t taps, const std::vector<int16_t>& in,
                           const std::vector<int8_t>& w, conv1d_offsets off = {0, 0, 0}) {
    const size_t count = static_cast<size_t>(frames) * channels;
    kr_omu_buffer* dst = output<int32_t>(count, off.output);
    kr_omu_op_conv1d_depthwise_args_t args{dst,    upload(at_offset(w, off.weights)), upload(at_offset(in, off.input)),
                                           frames, channels, taps, off.output, off.weights, off.input};
    EXPECT_EQ(taabe61(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_TRUE(messages().empty());
    return written<int32_t>(dst, count, off.output);
  }
};

// Every unrolled size and three generic ones, over channel counts around the warp width and odd
// frame counts, full-range random data.
TEST_F(DepthwiseTest, MatchesTheDirectSumForEveryKernelSize) {
  uint32_t seed = 100;
  for (int32_t taps : {1, 3, 5, 7, 9, 2, 4, 11}) {
    for (int32_t channels : {1, 31, 32, 33, 200}) {
      const int32_t frames = channels == 200 ? 3 : 5;
      SCOPED_TRACE(testing::Message() << "taps " << taps << " channels " << channels);
      const auto in = random_values<int16_t>(static_cast<size_t>(frames + taps - 1) * channels, ++seed);
      const auto w = random_values<int8_t>(static_cast<size_t>(taps) * channels, ++seed);
      EXPECT_EQ(run(frames, channels, taps, in, w), ref::conv1d_depthwise(in, w, frames, channels, taps));
    }
  }
}

// Sums that pass 2^31 wrap, through the paired products and the one-by-one tail (520 taps of
// 2^22 each, plus a tail of 3 with mixed signs); byte offsets are honoured on every variant.
TEST_F(DepthwiseTest, SumsWrapAndOffsetsAreHonoured) {
  std::vector<int16_t> in(static_cast<size_t>(3 + 522) * 2, -32768);
  std::vector<int8_t> w(static_cast<size_t>(523) * 2, -128);
  w[522 * 2] = 127;
  const auto want = ref::conv1d_depthwise(in, w, 3, 2, 523);
  ASSERT_EQ(want[0], ref::wrap32(int64_t{522} * 4194304 - 32768 * 127));
  EXPECT_EQ(run(3, 2, 523, in, w, {4, 3, 2}), want);
  for (int32_t taps : {1, 3, 5, 7, 9, 6}) {
    const auto x = random_values<int16_t>(static_cast<size_t>(4 + taps - 1) * 35, 900 + taps);
    const auto v = random_values<int8_t>(static_cast<size_t>(taps) * 35, 950 + taps);
    EXPECT_EQ(run(4, 35, taps, x, v, {12, 1, 6}), ref::conv1d_depthwise(x, v, 4, 35, taps)) << taps;
  }
}

TEST_F(DepthwiseTest, NoTapsGiveZerosAndNegativeFramesAreRefused) {
  kr_omu_buffer* dst = output<int32_t>(12, 0);
  kr_omu_buffer* w = upload(std::vector<int8_t>(64, 1));
  kr_omu_buffer* in = upload(std::vector<int16_t>(64, 1));
  for (int32_t taps : {0, -3}) {
    kr_omu_op_conv1d_depthwise_args_t args{dst, w, in, 3, 4, taps, 0, 0, 0};
    EXPECT_EQ(taabe61(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_EQ(written<int32_t>(dst, 12, 0), std::vector<int32_t>(12, 0));
  }
  kr_omu_buffer* fresh = output<int32_t>(12, 0);
  using A = kr_omu_op_conv1d_depthwise_args_t;
  const A good{fresh, w, in, 3, 4, 3, 0, 0, 0};
  kr_test::expect_refused(taabe61, device(), good,
                          {{&A::num_frames, -5, "negative frames"},
                           {&A::output, nullptr, "null output"},
                           {&A::weights, nullptr, "null weights"},
                           {&A::input, nullptr, "null input"},
                           {&A::output_offset, 2, "output 2 bytes off"},
                           {&A::input_offset, 1, "input 1 byte off"}});
  EXPECT_TRUE(untouched(fresh, 13 * 4));
  kr_omu_op_conv1d_depthwise_args_t empty = good;
  empty.num_frames = 0;
  expect_kernel_failure(taabe61(device(), nullptr, &empty));
}

// ---------------------------------------------------------------------------------------------
// transposed depthwise conv1d

class TransposedTest : public ConvTest {
 protected:
  kr_status_t call(int32_t frames, int32_t channels, int32_t taps, int32_t stride, kr_omu_buffer* dst,
                   const std::vector<int16_t>& in, const std::vector<int8_t>& w, conv1d_offsets off = {0, 0, 0}) {
    kr_omu_op_conv1d_transposed_depthwise_args_t args{
        dst, upload(at_offset(w, off.weights)), upload(at_offset(in, off.input)), frames, channels, taps, stride,
        off.output, off.weights, off.input};
    return taabe81(device(), nullptr, &args);
  }
};

// Strides 1, 2 and 4 with the kernel one stride long and longer, odd frame counts, channels past
// 16; the output is the full transposed convolution of (frames - 1) x stride + taps frames.
TEST_F(TransposedTest, MatchesTheScatteredSum) {
  struct {
    int32_t frames, channels, taps, stride;
  } const shapes[] = {{5, 3, 1, 1}, {7, 17, 4, 1}, {3, 33, 2, 2}, {6, 16, 6, 2},  {5, 20, 4, 4},
                      {4, 40, 12, 4}, {1, 5, 8, 4}, {9, 1, 3, 3},  {2, 70, 10, 2}};
  uint32_t seed = 500;
  for (const auto& s : shapes) {
    SCOPED_TRACE(testing::Message() << "frames " << s.frames << " channels " << s.channels << " taps " << s.taps
                                    << " stride " << s.stride);
    const auto in = random_values<int16_t>(static_cast<size_t>(s.frames) * s.channels, ++seed);
    const auto w = random_values<int8_t>(static_cast<size_t>(s.taps) * s.channels, ++seed);
    const auto want = ref::conv1d_transposed_depthwise(in, w, s.frames, s.channels, s.taps, s.stride);
    ASSERT_EQ(want.size(), static_cast<size_t>(s.frames + s.taps / s.stride - 1) * s.stride * s.channels);
    for (const conv1d_offsets off : {conv1d_offsets{0, 0, 0}, conv1d_offsets{8, 5, 6}}) {
      kr_omu_buffer* dst = output<int32_t>(want.size(), off.output);
      EXPECT_EQ(call(s.frames, s.channels, s.taps, s.stride, dst, in, w, off), KR_STATUS_SUCCESS);
      EXPECT_EQ(written<int32_t>(dst, want.size(), off.output), want);
    }
  }
  EXPECT_TRUE(messages().empty());
}

// Kernel sizes that are not a multiple of the stride, and stride 0, are refused without launching
// and without a message; a negative stride that divides the kernel size launches and writes nothing.
TEST_F(TransposedTest, StrideRules) {
  const std::vector<int16_t> in(64, 3);
  const std::vector<int8_t> w(64, 5);
  struct {
    int32_t taps, stride;
    kr_status_t status;
  } const cases[] = {{6, 4, KR_STATUS_INVALID_ARGUMENT},
                     {6, -4, KR_STATUS_INVALID_ARGUMENT},
                     {6, 0, KR_STATUS_INVALID_ARGUMENT},
                     {0, 0, KR_STATUS_INVALID_ARGUMENT},
                     {INT32_MIN, -1, KR_STATUS_INVALID_ARGUMENT},
                     {-8, -4, KR_STATUS_SUCCESS},
                     {8, -4, KR_STATUS_SUCCESS}};
  for (const auto& c : cases) {
    kr_omu_buffer* dst = output<int32_t>(64, 0);
    EXPECT_EQ(call(4, 2, c.taps, c.stride, dst, in, w), c.status) << c.taps << " / " << c.stride;
    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(untouched(dst, 65 * 4));
  }
  // A negative stride whose step count is negative would give a wrapping grid: refused.
  kr_omu_buffer* dst = output<int32_t>(64, 0);
  EXPECT_EQ(call(1, 2, 40, -4, dst, in, w), KR_STATUS_INVALID_ARGUMENT);
  // Q = -1 with one frame: no steps, an empty grid.
  expect_kernel_failure(call(1, 2, 4, -4, dst, in, w));
  EXPECT_TRUE(untouched(dst, 65 * 4));
}

// Q of 0 or below sets every step in range to zero; a record without a buffer is refused.
TEST_F(TransposedTest, NoTapsGiveZerosAndBadRecordsAreRefused) {
  const std::vector<int16_t> in(64, 3);
  const std::vector<int8_t> w(64, 5);
  kr_omu_buffer* dst = output<int32_t>(4 * 2 * 3, 0);
  EXPECT_EQ(call(5, 3, 0, 2, dst, in, w), KR_STATUS_SUCCESS);  // steps 0 .. 3, phases 0 and 1
  EXPECT_EQ(written<int32_t>(dst, 4 * 2 * 3, 0), std::vector<int32_t>(24, 0));
  kr_omu_buffer* fresh = output<int32_t>(64, 0);
  kr_omu_buffer* wb = upload(w);
  kr_omu_buffer* ib = upload(in);
  using A = kr_omu_op_conv1d_transposed_depthwise_args_t;
  const A good{fresh, wb, ib, 2, 2, 4, 2, 0, 0, 0};
  kr_test::expect_refused(taabe81, device(), good,
                          {{&A::output, nullptr, "null output"},
                           {&A::weights, nullptr, "null weights"},
                           {&A::input, nullptr, "null input"},
                           {&A::output_offset, 1, "output 1 byte off"},
                           {&A::input_offset, 3, "input 3 bytes off"}});
  EXPECT_TRUE(untouched(fresh, 65 * 4));
}

// ---------------------------------------------------------------------------------------------
// linear layers

using linear_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_linear_args_t*);

struct linear_entry {
  const char* name;
  linear_fn fn;
  bool accumulate;
};
const linear_entry linear_entries[] = {{"taabe34", taabe34, false}, {"taabe153", taabe153, true}};

class LinearTest : public ConvTest {
 protected:
  // Runs over an output holding `old` (after `output_offset` bytes) and returns the result; bytes
  // outside the output must stay as they were.
  std::vector<int16_t> run(const linear_entry& e, int32_t rows, int32_t outs, int32_t ins,
                           const std::vector<int16_t>& in, const std::vector<int8_t>& w, const std::vector<int8_t>& bias,
                           const std::vector<int16_t>& old, int32_t output_offset = 0, int32_t input_offset = 0) {
    std::vector<uint8_t> bytes(output_offset + (old.size() + 1) * 2, sentinel);
    std::memcpy(bytes.data() + output_offset, old.data(), old.size() * 2);
    kr_omu_buffer* dst = upload(bytes);
    kr_omu_op_linear_args_t args{dst,  upload(at_offset(in, input_offset)), upload(w), upload(bias), rows, outs, ins,
                                 output_offset, input_offset};
    EXPECT_EQ(e.fn(device(), nullptr, &args), KR_STATUS_SUCCESS) << e.name;
    EXPECT_TRUE(messages().empty());
    const auto after = download<uint8_t>(dst, bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (i < static_cast<size_t>(output_offset) || i >= output_offset + old.size() * 2) {
        EXPECT_EQ(after[i], sentinel) << e.name << ": byte " << i << " outside the output was written";
      }
    }
    std::vector<int16_t> out(old.size());
    std::memcpy(out.data(), after.data() + output_offset, out.size() * 2);
    return out;
  }
};

// Rounding ties, the bias scale, saturation both ways, and a rounding sum that wraps at 32 bits,
// each from one row of two (or 513) inputs: (x, w) pairs, bias, old output, both results.
TEST_F(LinearTest, RequantisationValues) {
  struct {
    const char* what;
    std::vector<int16_t> x;
    std::vector<int8_t> w;
    int8_t bias;
    int16_t old;
    int16_t plain, accumulated;
  } cases[] = {
      {"acc 64", {64, 0}, {1, 0}, 0, 5, 1, 6},
      {"acc 63", {63, 0}, {1, 0}, 0, 5, 0, 5},
      {"acc -64", {-64, 0}, {1, 0}, 0, 5, 0, 5},
      {"acc -65", {-65, 0}, {1, 0}, 0, 5, -1, 4},
      {"bias 1", {0, 0}, {0, 0}, 1, 0, 8, 8},
      {"bias -128", {0, 0}, {0, 0}, -128, 0, -1024, -1024},
      {"s = 2^22: v = 32768 unclamped", {-32768, -64}, {-128, 1}, 0, -1, 32767, 32767},
      {"s = 2^22 - 1", {-32768, -65}, {-128, 1}, 0, -1, 32767, 32766},
      {"s = -2^22 - 1: v = -32769 unclamped", {-32768, -31809}, {127, 1}, -1, 1, -32768, -32768},
      {"s = -2^22", {-32768, -31808}, {127, 1}, -1, 1, -32768, -32767},
      {"twice the range", {-32768, -32768}, {-128, -128}, 0, 0, 32767, 32767},
      {"residual saturates up", {128, 0}, {1, 0}, 0, 32767, 1, 32767},
      {"residual in range", {-32768, -32768}, {5, 5}, 0, -30000, -2560, -32560},
      {"residual of -5000", {-32000, -8000}, {20, 0}, 0, -30000, -5000, -32768},
  };
  // acc = 512 x 2^22 - 32: the sum plus 64 passes 2^31 and wraps negative.
  std::vector<int16_t> big(513, -32768);
  std::vector<int8_t> big_w(513, -128);
  big[512] = -32;
  big_w[512] = 1;
  for (const linear_entry& e : linear_entries) {
    for (const auto& c : cases) {
      const auto got = run(e, 1, 1, 2, c.x, c.w, {c.bias}, {c.old});
      EXPECT_EQ(got[0], e.accumulate ? c.accumulated : c.plain) << e.name << ": " << c.what;
      EXPECT_EQ(got[0], ref::linear(c.x, c.w, {c.bias}, 1, 1, 2, e.accumulate, {c.old})[0]) << e.name << ": " << c.what;
    }
    ASSERT_EQ(ref::linear_acc(big, big_w, 0, 0, 513), 2147483616);
    EXPECT_EQ(run(e, 1, 1, 513, big, big_w, {0}, {0})[0], -32768) << e.name << ": wrapping rounding sum";
  }
}

// Random full-range data over input lengths that do and do not split into groups of four, on
// aligned data (packed where the entry allows) and with the input 2 bytes off (plain), against
// the reference; out_features 1023 and 1024 on either side of the accumulating layer's switch.
TEST_F(LinearTest, MatchesTheReferenceOnBothKernels) {
  struct {
    int32_t rows, outs, ins;
  } const shapes[] = {{3, 17, 0}, {2, 33, 3}, {3, 16, 4}, {2, 20, 127}, {2, 19, 128}, {2, 9, 1000}, {1, 1023, 8}, {1, 1024, 8}, {2, 1024, 131}};
  uint32_t seed = 2000;
  for (const auto& s : shapes) {
    const auto in = random_values<int16_t>(static_cast<size_t>(s.rows) * s.ins, ++seed);
    const auto w = random_values<int8_t>(static_cast<size_t>(s.outs) * s.ins, ++seed);
    const auto bias = random_values<int8_t>(s.outs, ++seed);
    const auto old = random_values<int16_t>(static_cast<size_t>(s.rows) * s.outs, ++seed);
    for (const linear_entry& e : linear_entries) {
      SCOPED_TRACE(testing::Message() << e.name << " rows " << s.rows << " outs " << s.outs << " ins " << s.ins);
      const auto want = ref::linear(in, w, bias, s.rows, s.outs, s.ins, e.accumulate, old);
      EXPECT_EQ(run(e, s.rows, s.outs, s.ins, in, w, bias, old), want);
      EXPECT_EQ(run(e, s.rows, s.outs, s.ins, in, w, bias, old, 6, 2), want);
    }
  }
}

// Refusals before launching (status 3, no message, nothing written), and launch failures for an
// empty grid and for a row count past the grid's y limit (828, status 7, nothing written).
TEST_F(LinearTest, RefusalsAndLaunchFailures) {
  kr_omu_buffer* in = upload(std::vector<int16_t>(64, 1));
  kr_omu_buffer* w = upload(std::vector<int8_t>(64, 1));
  kr_omu_buffer* bias = upload(std::vector<int8_t>(64, 1));
  for (const linear_entry& e : linear_entries) {
    SCOPED_TRACE(e.name);
    kr_omu_buffer* dst = output<int16_t>(64, 0);
    using A = kr_omu_op_linear_args_t;
    const A good{dst, in, w, bias, 2, 4, 8, 0, 0};
    kr_test::expect_refused(e.fn, device(), good,
                            {{&A::output, nullptr, "null output"},
                             {&A::input, nullptr, "null input"},
                             {&A::weights, nullptr, "null weights"},
                             {&A::bias, nullptr, "null bias"},
                             {&A::output_offset, 1, "output 1 byte off"},
                             {&A::input_offset, 3, "input 3 bytes off"},
                             {&A::out_features, -32, "negative features"}});
    const int32_t y_limit = kr_test::device_properties(0).maxGridSize[1];
    for (const int32_t rows : {0, y_limit + 1, -1}) {
      kr_omu_op_linear_args_t args = good;
      args.num_rows = rows;
      expect_kernel_failure(e.fn(device(), nullptr, &args));
      kr::error_stack_clear();
    }
    kr_omu_op_linear_args_t args = good;
    args.out_features = 0;
    expect_kernel_failure(e.fn(device(), nullptr, &args));
    kr::error_stack_clear();
    EXPECT_TRUE(untouched(dst, 65 * 2));
  }
}

}  // namespace
