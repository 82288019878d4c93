#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/conv_ref.h"
#include "support/library.h"

namespace {

using kr_test::kernel_failure_text;
using kr_test::messages;
using kr_test::stored;

constexpr uint8_t sentinel = 0x5A;

template <typename T>
std::vector<T> random_values(size_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<T> v(count);
  for (T& x : v) x = static_cast<T>(rng());
  return v;
}

// Values placed `offset` bytes into a byte buffer.
template <typename T>
std::vector<uint8_t> at_offset(const std::vector<T>& values, int32_t offset) {
  std::vector<uint8_t> bytes(offset + values.size() * sizeof(T), 0);
  if (!values.empty()) std::memcpy(bytes.data() + offset, values.data(), values.size() * sizeof(T));
  return bytes;
}

class ConvTest : public kr_test::LibraryTest {
 protected:
  // A sentinel-filled output of `count` elements of T after `offset` bytes, plus one spare element.
  template <typename T>
  kr_omu_buffer* output(size_t count, int32_t offset) {
    return upload(std::vector<uint8_t>(offset + (count + 1) * sizeof(T), sentinel));
  }

  // The `count` elements after `offset` bytes; fails if a byte outside them changed.
  template <typename T>
  std::vector<T> written(kr_omu_buffer* b, size_t count, int32_t offset) {
    const auto bytes = download<uint8_t>(b, offset + (count + 1) * sizeof(T));
    for (size_t i = 0; i < bytes.size(); ++i) {
      if (i < static_cast<size_t>(offset) || i >= offset + count * sizeof(T)) {
        EXPECT_EQ(bytes[i], sentinel) << "byte " << i << " outside the output was written";
      }
    }
    std::vector<T> out(count);
    if (count > 0) std::memcpy(out.data(), bytes.data() + offset, count * sizeof(T));
    return out;
  }

  // True if nothing of the buffer changed.
  bool untouched(kr_omu_buffer* b, size_t bytes) { return download<uint8_t>(b, bytes) == std::vector<uint8_t>(bytes, sentinel); }

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
  const kr_omu_op_conv1d_args_t good{dst, w, in, 2, 3, 4, 2, 0, 0, 0};
  struct {
    const char* what;
    void (*change)(kr_omu_op_conv1d_args_t&);
  } const cases[] = {
      {"null output", [](kr_omu_op_conv1d_args_t& a) { a.output = nullptr; }},
      {"null weights", [](kr_omu_op_conv1d_args_t& a) { a.weights = nullptr; }},
      {"null input", [](kr_omu_op_conv1d_args_t& a) { a.input = nullptr; }},
      {"output 2 bytes off", [](kr_omu_op_conv1d_args_t& a) { a.output_offset = 2; }},
      {"input 1 byte off", [](kr_omu_op_conv1d_args_t& a) { a.input_offset = 1; }},
      {"negative frames", [](kr_omu_op_conv1d_args_t& a) { a.num_frames = -3; }},
      {"negative frames, plain", [](kr_omu_op_conv1d_args_t& a) { a.num_frames = -100, a.in_channels = 3; }},
      {"negative channels and taps", [](kr_omu_op_conv1d_args_t& a) { a.in_channels = -4, a.kernel_size = -2; }},
      {"K past 32 bits", [](kr_omu_op_conv1d_args_t& a) { a.in_channels = 65536, a.kernel_size = 32768; }},
  };
  for (const auto& c : cases) {
    kr_omu_op_conv1d_args_t args = good;
    c.change(args);
    EXPECT_EQ(taabe126(device(), nullptr, &args), KR_STATUS_INVALID_ARGUMENT) << c.what;
    EXPECT_TRUE(messages().empty()) << c.what;
  }
  EXPECT_EQ(taabe126(device(), nullptr, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(untouched(dst, 65 * 4));
}

// An empty grid is a launch failure; a negative tap count with positive channels is an empty sum.
TEST_F(Conv1dTest, EmptyGridFailsAndNegativeTapsGiveZeros) {
  kr_omu_buffer* dst = output<int32_t>(6, 0);
  kr_omu_buffer* w = upload(std::vector<int8_t>(64, 1));
  kr_omu_buffer* in = upload(std::vector<int16_t>(64, 1));
  for (int32_t channels : {4, 3}) {
    kr_omu_op_conv1d_args_t args{dst, w, in, 2, 0, channels, 2, 0, 0, 0};
    expect_kernel_failure(taabe126(device(), nullptr, &args));
    kr::error_stack_clear();
    args = {dst, w, in, 2, 3, channels, -2, 0, 0, 0};
    EXPECT_EQ(taabe126(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_EQ(written<int32_t>(dst, 6, 0), std::vector<int32_t>(6, 0));
  }
}

}  // namespace
