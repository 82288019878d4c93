// The row-wise and normalisation kernels, which keep a thread's columns in registers between their
// passes up to a row length and read the rest again, against their earlier form (every pass from
// memory) on the same random rows, bit for bit: row lengths on both sides of every warp, block and
// register-capacity boundary, three rows each (the last one holding NaN and infinities).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ops/rows_probe.h"
#include "support/library.h"

namespace {

constexpr int32_t rows = 3;
const int32_t row_lengths[] = {1, 31, 32, 33, 255, 256, 257, 511, 512, 513, 1024, 2048, 4096, 4097, 10000};

class RowsRegistersTest : public kr_test::LibraryTest {
 protected:
  // Row r of `count` floats: uniform in [-8, 8], the last row with a NaN and both infinities
  // (where it is long enough) and values up to 1e30.
  static std::vector<float> floats(std::mt19937& rng, int32_t count_per_row) {
    std::uniform_real_distribution<float> d(-8.0f, 8.0f);
    std::vector<float> v(static_cast<size_t>(rows) * count_per_row);
    for (float& x : v) x = d(rng);
    float* last = &v[static_cast<size_t>(rows - 1) * count_per_row];
    for (int32_t j = 0; j < count_per_row; j += 7) last[j] *= 1e29f;
    if (count_per_row > 2) {
      last[count_per_row / 3] = std::numeric_limits<float>::quiet_NaN();
      last[count_per_row / 2] = std::numeric_limits<float>::infinity();
      last[count_per_row - 1] = -std::numeric_limits<float>::infinity();
    }
    return v;
  }
  static std::vector<float> uniform(std::mt19937& rng, int32_t count) {
    std::uniform_real_distribution<float> d(-2.0f, 2.0f);
    std::vector<float> v(static_cast<size_t>(count));
    for (float& x : v) x = d(rng);
    return v;
  }
  template <typename T>
  static std::vector<T> integers(std::mt19937& rng, size_t count, int32_t lo, int32_t hi) {
    std::uniform_int_distribution<int32_t> d(lo, hi);
    std::vector<T> v(count);
    for (T& x : v) x = static_cast<T>(d(rng));
    return v;
  }
  static uint32_t word(const std::vector<uint8_t>& v, size_t k) {
    uint32_t u = 0;
    std::memcpy(&u, &v[k], std::min<size_t>(4, v.size() - k));
    return u;
  }
  static bool is_nan(uint32_t u) { return (u & 0x7fffffffu) > 0x7f800000u; }
  template <typename T>
  static const T* at(kr_omu_buffer* b) {
    return static_cast<const T*>(b->address);
  }
  template <typename T>
  static T* out(kr_omu_buffer* b) {
    return static_cast<T*>(b->address);
  }

  // Runs the library's entry and the earlier form into sentinel-filled outputs (`bytes` for the
  // rows, 4 bytes a row for the scales) and expects the same bytes in both.
  using library_run = std::function<kr_status_t(kr_omu_buffer* output, kr_omu_buffer* scales)>;
  using earlier_run = std::function<int(kr_omu_buffer* output, kr_omu_buffer* scales)>;
  // Float outputs may differ in a NaN's sign and payload: a GPU's arithmetic gives its one
  // canonical NaN, while the emulated build's host compiler may commute a NaN operand.
  void expect_same(size_t bytes, const library_run& library, const earlier_run& earlier, bool float_words = true) {
    kr_omu_buffer* got[2] = {sentinel_buffer(bytes), sentinel_buffer(4 * rows)};
    kr_omu_buffer* want[2] = {sentinel_buffer(bytes), sentinel_buffer(4 * rows)};
    ASSERT_EQ(library(got[0], got[1]), KR_STATUS_SUCCESS);
    ASSERT_EQ(earlier(want[0], want[1]), 0);
    for (int i = 0; i < 2; ++i) {
      const size_t size = i == 0 ? bytes : 4 * rows;
      const auto a = download<uint8_t>(got[i], size);
      const auto b = download<uint8_t>(want[i], size);
      for (size_t k = 0; k < size; k += 4) {
        const uint32_t x = word(a, k), y = word(b, k);
        ASSERT_TRUE(x == y || (float_words && is_nan(x) && is_nan(y)))
            << (i == 0 ? "output" : "scales") << " word " << k / 4 << ": " << std::hex << x << " vs " << y;
      }
    }
  }
};

struct kernel_case {
  const char* name;
  std::function<void(std::mt19937&, int32_t n)> run;
};

TEST_F(RowsRegistersTest, EqualTheirEarlierForm) {
  const std::vector<kernel_case> cases = {
      {"float softmax",
       [&](std::mt19937& rng, int32_t n) {
         kr_omu_buffer* in = upload(floats(rng, n));
         expect_same(
             4u * rows * n,
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               kr_omu_op_elementwise_broadcast_args_t args{y, in, rows, n, 0, 0};
               return taabe118(device(), nullptr, &args);
             },
             [&](kr_omu_buffer* y, kr_omu_buffer*) { return probe::run_softmax_rows(rows, n, out<float>(y), at<float>(in)); });
       }},
      {"layer normalisation",
       [&](std::mt19937& rng, int32_t n) {
         kr_omu_buffer* in = upload(floats(rng, n));
         kr_omu_buffer* gamma = upload(uniform(rng, n));
         kr_omu_buffer* beta = upload(uniform(rng, n));
         expect_same(
             4u * rows * n,
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               kr_omu_op_layer_norm_args_t args{y, in, gamma, beta, 1e-5f, rows, n, 0, 0, 0, 0};
               return taabe120(device(), nullptr, &args);
             },
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               return probe::run_layer_norm(rows, n, 1e-5f, out<float>(y), at<float>(in), at<float>(gamma),
                                            at<float>(beta));
             });
       }},
      {"RMS normalisation",
       [&](std::mt19937& rng, int32_t n) {
         kr_omu_buffer* in = upload(floats(rng, n));
         kr_omu_buffer* gamma = upload(integers<float>(rng, static_cast<size_t>(n), -4, 4));
         expect_same(
             4u * rows * n,
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               kr_omu_op_norm_args_t args{y, in, gamma, 1e-6f, rows, n, 0, 0, 0};
               return taabe167(device(), nullptr, &args);
             },
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               return probe::run_rms_norm(rows, n, 1e-6f, out<float>(y), at<float>(in), at<float>(gamma));
             });
       }},
      {"layer normalisation, Q7 parameters",
       [&](std::mt19937& rng, int32_t n) {
         kr_omu_buffer* in = upload(floats(rng, n));
         kr_omu_buffer* gamma = upload(integers<int8_t>(rng, static_cast<size_t>(n), -128, 127));
         kr_omu_buffer* beta = upload(integers<int8_t>(rng, static_cast<size_t>(n), -128, 127));
         expect_same(
             4u * rows * n,
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               kr_omu_op_layer_norm_args_t args{y, in, gamma, beta, 1e-5f, rows, n, 0, 0, 0, 0};
               return taabe230(device(), nullptr, &args);
             },
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               return probe::run_layer_norm_q7(rows, n, 1e-5f, out<float>(y), at<float>(in), at<int8_t>(gamma),
                                               at<int8_t>(beta));
             });
       }},
      {"16-bit softmax",
       [&](std::mt19937& rng, int32_t n) {
         // Full-range rows, whose exponentials mostly vanish, and a row within 8 of its maximum.
         auto values = integers<int16_t>(rng, static_cast<size_t>(rows) * n, -32768, 32767);
         for (int32_t j = 0; j < n; ++j) values[static_cast<size_t>(n) + j] = static_cast<int16_t>(values[j] % 8192);
         kr_omu_buffer* in = upload(values);
         expect_same(
             4u * rows * n,
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               kr_omu_op_elementwise_broadcast_args_t args{y, in, rows, n, 0, 0};
               return taabe273(device(), nullptr, &args);
             },
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               return probe::run_softmax_i16(rows, n, out<int32_t>(y), at<int16_t>(in));
             },
             false);
       }},
      {"row quantisation",
       [&](std::mt19937& rng, int32_t n) {
         kr_omu_buffer* in = upload(floats(rng, n));
         expect_same(
             2u * rows * n,
             [&](kr_omu_buffer* y, kr_omu_buffer* scales) {
               kr_omu_op_quantize_args_t args{y, scales, in, rows, n, 0, 0, 0};
               return taabe240(device(), nullptr, &args);
             },
             [&](kr_omu_buffer* y, kr_omu_buffer* scales) {
               return probe::run_quantize_rows(rows, n, out<int16_t>(y), out<float>(scales), at<float>(in));
             },
             false);
       }},
      {"spectrum",
       [&](std::mt19937& rng, int32_t n) {
         // Rows of N + 2: odd N puts every other row off an 8-byte boundary.
         kr_omu_buffer* in = upload(floats(rng, n + 2));
         expect_same(
             4u * rows * (n + 2),
             [&](kr_omu_buffer* y, kr_omu_buffer*) {
               kr_omu_op_elementwise_broadcast_args_t args{y, in, rows, n, 0, 0};
               return taabe40(device(), nullptr, &args);
             },
             [&](kr_omu_buffer* y, kr_omu_buffer*) { return probe::run_spectrum(rows, n, out<float>(y), at<float>(in)); });
       }},
  };
  std::mt19937 rng(19);
  for (const kernel_case& c : cases) {
    for (int32_t n : row_lengths) {
      SCOPED_TRACE(std::string(c.name) + ", rows of " + std::to_string(n));
      c.run(rng, n);
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
