#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/layout_ref.h"
#include "support/library.h"
#include "support/refusals.h"

namespace {

using kr_test::bits;
using kr_test::from_bits;
using kr_test::kernel_failure_text;
using kr_test::messages;
using kr_test::stored;

using transpose_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_transpose_args_t*);

constexpr float inf = std::numeric_limits<float>::infinity();

using kr_test::at_offset;

class LayoutTest : public kr_test::LibraryTest {
 protected:
  template <typename T>
  kr_status_t transpose(transpose_fn fn, kr_omu_buffer* dst, const std::vector<T>& in, int32_t d0, int32_t d1,
                        int32_t d2, int32_t out_offset = 0, int32_t in_offset = 0) {
    kr_omu_op_transpose_args_t args{dst, upload(at_offset(in, in_offset)), d0, d1, d2, out_offset, in_offset};
    return fn(device(), nullptr, &args);
  }

  void expect_kernel_failure(kr_status_t status) {
    EXPECT_EQ(status, KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kernel_failure_text)});
    kr::error_stack_clear();
  }
};

struct shape3 {
  int32_t d0, d1, d2;
};

// ---------------------------------------------------------------------------------------------
// float outer transpose

TEST_F(LayoutTest, OuterTransposeMovesWholeRows) {
  const int32_t limit = kr_test::device_properties(0).maxThreadsPerBlock;
  const shape3 shapes[] = {{3, 5, 1}, {3, 5, 7}, {1, 1, 1}, {2, 3, limit}, {4, 70, 33}, {33, 2, 32}};
  std::mt19937 rng(31);
  for (const shape3& s : shapes) {
    SCOPED_TRACE(testing::Message() << s.d0 << " x " << s.d1 << " x " << s.d2);
    std::vector<float> in(static_cast<size_t>(s.d0) * s.d1 * s.d2);
    for (float& x : in) x = from_bits(rng());
    const auto want = ref::transpose_outer(in, s.d0, s.d1, s.d2);
    for (const int32_t off : {0, 12}) {
      const size_t total = off + (want.size() + 1) * 4;
      kr_omu_buffer* dst = sentinel_buffer(total);
      ASSERT_EQ(transpose(taabe116, dst, in, s.d0, s.d1, s.d2, off, 8 - off / 3), KR_STATUS_SUCCESS);
      const auto got = written<float>(dst, want.size(), off, total);
      for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(bits(got[i]), bits(want[i])) << "element " << i;
    }
  }
  EXPECT_TRUE(messages().empty());
}

// Shapes the device refuses are launch failures (828, status 7) and leave the output untouched.
TEST_F(LayoutTest, OuterTransposeShapesPastTheDeviceLimits) {
  const cudaDeviceProp p = kr_test::device_properties(0);
  const std::vector<float> in(64, 1.0f);
  const shape3 shapes[] = {{2, 2, p.maxThreadsPerBlock + 1}, {2, 2, 0}, {0, 2, 2}, {2, 0, 2},
                           {2, p.maxGridSize[1] + 1, 1}, {-1, 2, 2}, {2, 2, -1}};
  for (const shape3& s : shapes) {
    kr_omu_buffer* dst = sentinel_buffer(64);
    expect_kernel_failure(transpose(taabe116, dst, in, s.d0, s.d1, s.d2));
    EXPECT_TRUE(untouched(dst, 64)) << s.d0 << " x " << s.d1 << " x " << s.d2;
  }
}

// ---------------------------------------------------------------------------------------------
// byte inner transpose

TEST_F(LayoutTest, InnerTransposeOfEachMatrix) {
  const shape3 shapes[] = {{3, 5, 7}, {2, 4, 40}, {1, 1, 1}, {5, 3, 64}, {4, 7, 129}, {1, 33, 31}};
  std::mt19937 rng(32);
  for (const shape3& s : shapes) {
    SCOPED_TRACE(testing::Message() << s.d0 << " x " << s.d1 << " x " << s.d2);
    std::vector<int8_t> in(static_cast<size_t>(s.d0) * s.d1 * s.d2);
    for (int8_t& x : in) x = static_cast<int8_t>(rng());
    const auto want = ref::transpose_inner(in, s.d0, s.d1, s.d2);
    for (const int32_t off : {0, 3}) {
      const size_t total = off + want.size() + 1;
      kr_omu_buffer* dst = sentinel_buffer(total);
      ASSERT_EQ(transpose(taabe110, dst, in, s.d0, s.d1, s.d2, off, off + 2), KR_STATUS_SUCCESS);
      EXPECT_EQ(written<int8_t>(dst, want.size(), off, total), want);
    }
  }
  EXPECT_TRUE(messages().empty());
}

// No columns: the launch succeeds and nothing is written. A negative matrix count is refused
// before launching; empty or negative row counts and empty matrix counts fail the launch.
TEST_F(LayoutTest, InnerTransposeEdgeShapes) {
  const std::vector<int8_t> in(64, 7);
  for (const int32_t columns : {0, -5}) {
    kr_omu_buffer* dst = sentinel_buffer(64);
    EXPECT_EQ(transpose(taabe110, dst, in, 3, 5, columns), KR_STATUS_SUCCESS);
    EXPECT_TRUE(untouched(dst, 64));
  }
  EXPECT_TRUE(messages().empty());
  kr_omu_buffer* dst = sentinel_buffer(64);
  EXPECT_EQ(transpose(taabe110, dst, in, -3, 2, 2), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
  const int32_t y_limit = kr_test::device_properties(0).maxGridSize[1];
  for (const shape3& s : {shape3{0, 2, 2}, shape3{2, 0, 2}, shape3{2, -4, 2}, shape3{2, 2 * y_limit + 1, 1}}) {
    expect_kernel_failure(transpose(taabe110, dst, in, s.d0, s.d1, s.d2));
  }
  EXPECT_TRUE(untouched(dst, 64));
}

TEST_F(LayoutTest, TransposesRefuseBadRecords) {
  for (const transpose_fn fn : {taabe116, taabe110}) {
    kr_omu_buffer* dst = sentinel_buffer(64);
    kr_omu_buffer* src = upload(std::vector<float>(16, 1.0f));
    using A = kr_omu_op_transpose_args_t;
    const A good{dst, src, 2, 2, 2, 0, 0};
    kr_test::expect_refused(fn, device(), good, {{&A::output, nullptr, "null output"}, {&A::input, nullptr, "null input"}});
    EXPECT_TRUE(untouched(dst, 64));
  }
  // Float addresses must be 4-byte aligned; bytes have no alignment.
  kr_omu_buffer* dst = sentinel_buffer(64);
  EXPECT_EQ(transpose(taabe116, dst, std::vector<float>(8, 1.0f), 2, 2, 2, 2, 0), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(transpose(taabe116, dst, std::vector<float>(8, 1.0f), 2, 2, 2, 0, 1), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(untouched(dst, 64));
}

// ---------------------------------------------------------------------------------------------
// row quantisation

class QuantizeTest : public LayoutTest {
 protected:
  // Quantises equal-length rows; returns the values and the scales, checking that nothing
  // outside the outputs was written.
  void run(const std::vector<std::vector<float>>& rows, int32_t length, std::vector<int16_t>* values,
           std::vector<float>* scales, int32_t offset = 0) {
    std::vector<float> in;
    for (const auto& r : rows) in.insert(in.end(), r.begin(), r.end());
    const size_t count = rows.size() * static_cast<size_t>(length > 0 ? length : 0);
    const size_t out_total = offset + (count + 1) * 2, scale_total = offset + (rows.size() + 1) * 4;
    kr_omu_buffer* out = sentinel_buffer(out_total);
    kr_omu_buffer* sc = sentinel_buffer(scale_total);
    kr_omu_op_quantize_args_t args{out, sc, upload(at_offset(in, offset + 4)), static_cast<int32_t>(rows.size()),
                                   length, offset, offset, offset + 4};
    ASSERT_EQ(taabe240(device(), nullptr, &args), KR_STATUS_SUCCESS);
    EXPECT_TRUE(messages().empty());
    *values = written<int16_t>(out, count, offset, out_total);
    *scales = written<float>(sc, rows.size(), offset, scale_total);
  }
};

// The rows the format is defined on: zeros, infinities, largest magnitude 2.0, the smallest
// subnormal, NaN, truncation of values just below an integer, subnormal elements in a row whose
// scale is huge (kept, not flushed: 1e-40 x 31 / 1e-37 x 1024 is 31.7).
TEST_F(QuantizeTest, DefiningRows) {
  const float tiny = from_bits(1);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct {
    const char* what;
    std::vector<float> row;
    std::vector<int16_t> values;
    float scale;
  } const cases[] = {
      {"zeros", {0.0f, -0.0f, 0.0f}, {0, 0, 0}, 0.0f},
      {"infinities", {inf, 1.0f, -inf}, {0, 0, 0}, inf},
      {"largest 2.0", {2.0f, -2.0f, 1.0f}, {31744, -31744, 15872}, 1.0f / 2031616.0f},
      {"smallest subnormal", {tiny, -tiny, 0.0f}, {32767, -32768, 0}, 0.0f},
      {"NaN ignored", {nan, 2.0f, -0.5f}, {0, 31744, -7936}, 1.0f / 2031616.0f},
      {"truncation", {31.0f, 30.99990f, -0.0006f}, {31744, 31743, 0}, 1.0f / 131072.0f},
      {"subnormals kept", {1e-37f, 1e-40f, -1e-40f}, {31744, 31, -31}, 0.0f},
      {"all NaN", {nan, nan, nan}, {0, 0, 0}, -inf},
  };
  for (const auto& c : cases) {
    std::vector<int16_t> values;
    std::vector<float> scales;
    ASSERT_NO_FATAL_FAILURE(run({c.row}, 3, &values, &scales)) << c.what;
    const ref::quantized_row want = ref::quantize_row(c.row);
    EXPECT_EQ(values, want.values) << c.what;
    EXPECT_EQ(bits(scales[0]), bits(want.scale)) << c.what;
    EXPECT_EQ(values, c.values) << c.what;
    if (std::strcmp(c.what, "subnormals kept") != 0) EXPECT_EQ(bits(scales[0]), bits(c.scale)) << c.what;
  }
}

// Several rows at once, of lengths below, at and above the warp width, random data with a spread
// of magnitudes (rows past 1024 take the long-row form, and past 4096 its re-read columns), byte
// offsets; an empty row writes no values and the scale -infinity.
TEST_F(QuantizeTest, RowsOfEveryLength) {
  std::mt19937 rng(77);
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-30, 30);
  for (const int32_t length : {1, 5, 31, 32, 33, 100, 257, 1025, 4097}) {
    std::vector<std::vector<float>> rows(3, std::vector<float>(length));
    for (auto& r : rows)
      for (float& x : r) x = std::ldexp(mantissa(rng), exponent(rng));
    for (const int32_t offset : {0, 8}) {
      std::vector<int16_t> values;
      std::vector<float> scales;
      ASSERT_NO_FATAL_FAILURE(run(rows, length, &values, &scales, offset)) << "length " << length;
      for (size_t r = 0; r < rows.size(); ++r) {
        const ref::quantized_row want = ref::quantize_row(rows[r]);
        EXPECT_EQ(std::vector<int16_t>(values.begin() + r * length, values.begin() + (r + 1) * length), want.values)
            << "length " << length << " row " << r;
        EXPECT_EQ(bits(scales[r]), bits(want.scale)) << "length " << length << " row " << r;
      }
    }
  }
  for (const int32_t length : {0, -3}) {
    std::vector<int16_t> values;
    std::vector<float> scales;
    ASSERT_NO_FATAL_FAILURE(run({{}, {}}, length, &values, &scales)) << "length " << length;
    EXPECT_EQ(scales, std::vector<float>(2, -inf));
    EXPECT_EQ(bits(ref::quantize_row({}).scale), bits(-inf));
  }
}

TEST_F(QuantizeTest, RefusalsAndLaunchFailures) {
  kr_omu_buffer* out = sentinel_buffer(64);
  kr_omu_buffer* sc = sentinel_buffer(64);
  kr_omu_buffer* in = upload(std::vector<float>(16, 1.0f));
  using A = kr_omu_op_quantize_args_t;
  const A good{out, sc, in, 2, 4, 0, 0, 0};
  kr_test::expect_refused(taabe240, device(), good,
                          {{&A::output, nullptr, "null output"},
                           {&A::scales, nullptr, "null scales"},
                           {&A::input, nullptr, "null input"},
                           {&A::output_offset, 1, "output 1 byte off"},
                           {&A::scales_offset, 2, "scales 2 bytes off"},
                           {&A::input_offset, 2, "input 2 bytes off"}});
  for (const int32_t rows : {0, -1}) {
    kr_omu_op_quantize_args_t args = good;
    args.num_rows = rows;
    expect_kernel_failure(taabe240(device(), nullptr, &args));
  }
  EXPECT_TRUE(untouched(out, 64));
  EXPECT_TRUE(untouched(sc, 64));
}

}  // namespace
