// omu check cases of the 16-bit entries and conversions.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "check.h"
#include "reference/int16_ref.h"

namespace omu {

namespace {

template <typename T>
std::string shown(T v) {
  if constexpr (std::is_floating_point_v<T>) {
    char s[64];
    std::snprintf(s, sizeof s, "%.9g", static_cast<double>(v));
    return s;
  } else {
    return std::to_string(static_cast<long long>(v));
  }
}

// Bit-exact comparison; names the first mismatch.
template <typename T>
bool same(const std::vector<T>& got, const std::vector<T>& want, std::string& detail) {
  for (size_t i = 0; i < want.size(); ++i) {
    if (std::memcmp(&got[i], &want[i], sizeof(T)) != 0) {
      detail = "element " + std::to_string(i) + ": got " + shown(got[i]) + ", want " + shown(want[i]);
      return false;
    }
  }
  return true;
}

// Runs a unary entry over `in` and compares with `expect` applied to each input.
template <typename TOut, typename TIn, typename Expect>
bool check_unary(session& ses, const char* symbol, const std::vector<TIn>& in, Expect expect, std::string& detail) {
  scratch s(ses);
  kr_omu_buffer* src = s.upload(in);
  kr_omu_buffer* dst = s.output(in.size() * sizeof(TOut));
  if (src == nullptr || dst == nullptr) {
    detail = "allocation failed";
    return false;
  }
  kr_omu_op_elementwise_args_t args{dst, src, static_cast<int32_t>(in.size()), 0, 0};
  if (failed_status(ses.call(symbol, args), detail)) return false;
  std::vector<TOut> got(in.size());
  if (!ses.read(dst, got.data(), static_cast<int32_t>(got.size() * sizeof(TOut)))) {
    detail = "read-back failed";
    return false;
  }
  std::vector<TOut> want;
  for (const TIn& x : in) want.push_back(static_cast<TOut>(expect(x)));
  return same(got, want, detail);
}

const std::vector<int16_t> q10_inputs = {0, 1, -1, 63, 64, -64, 1024, -1024, 2048, 8128, 8191, -8192, 32767, -32768};

bool gelu_i16(session& ses, std::string& detail) {
  return check_unary<int16_t>(ses, "taabe165", q10_inputs, ref::gelu_i16, detail);
}

bool sigmoid_q10(session& ses, std::string& detail) {
  return check_unary<int16_t>(ses, "taabe27", q10_inputs, ref::sigmoid_q10, detail);
}

bool sigmoid_q15(session& ses, std::string& detail) {
  return check_unary<int16_t>(ses, "taabe35", q10_inputs, ref::sigmoid, detail);
}

bool relu_i16(session& ses, std::string& detail) {
  return check_unary<int16_t>(
      ses, "taabe88", q10_inputs, [](int16_t x) { return x > 0 ? x : 0; }, detail);
}

bool i32_to_f32(session& ses, std::string& detail) {
  const std::vector<int32_t> in = {0, -1, 16777217, 16777219, 33554434, INT32_MAX, INT32_MIN};
  return check_unary<float>(
      ses, "taabe218", in, [](int32_t x) { return static_cast<float>(static_cast<double>(x)); }, detail);
}

bool q7_to_f32(session& ses, std::string& detail) {
  const std::vector<int8_t> in = {0, 1, -1, 64, 127, -128};
  return check_unary<float>(
      ses, "taabe221", in, [](int8_t x) { return std::ldexp(static_cast<float>(x), -7); }, detail);
}

bool q10_to_f32(session& ses, std::string& detail) {
  return check_unary<float>(
      ses, "taabe266", q10_inputs, [](int16_t x) { return std::ldexp(static_cast<float>(x), -10); },
      detail);
}

bool f32_to_q10(session& ses, std::string& detail) {
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<float> in = {0.0f,  -0.0f,  0.0009765625f, 0.00097f, -0.0009f, 31.999f,
                                 32.0f, -32.0f, -40.0f,        inf,      -inf,     std::nanf("")};
  return check_unary<int16_t>(ses, "taabe77", in, ref::to_q10, detail);
}

bool q17_to_q10(session& ses, std::string& detail) {
  const std::vector<int32_t> in = {0, 63, 64, -64, -65, 4194111, 4194112, -4194240, -4194241, INT32_MAX, INT32_MIN};
  return check_unary<int16_t>(ses, "taabe82", in, ref::q17_to_q10, detail);
}

// Even count over aligned buffers (the packed kernel), then the odd count (the element kernel).
bool add_sat_i16(session& ses, std::string& detail) {
  const std::vector<int16_t> a = {32767, 1, -32768, -1, 100, -200, 32767, -32768};
  const std::vector<int16_t> b = {1, 32767, -1, -32768, -200, 100, -32768, 32767};
  std::vector<int16_t> want;
  for (size_t i = 0; i < a.size(); ++i) want.push_back(static_cast<int16_t>(ref::add_sat16(a[i], b[i])));
  for (const int32_t count : {8, 7}) {
    scratch s(ses);
    kr_omu_buffer* ba = s.upload(a);
    kr_omu_buffer* bb = s.upload(b);
    kr_omu_buffer* bo = s.output(a.size() * 2);
    if (ba == nullptr || bb == nullptr || bo == nullptr) {
      detail = "allocation failed";
      return false;
    }
    kr_omu_op_pairwise_args_t args{bo, ba, bb, count, 0, 0, 0};
    if (failed_status(ses.call("taabe177", args), detail)) return false;
    std::vector<int16_t> got(count);
    if (!ses.read(bo, got.data(), count * 2)) {
      detail = "read-back failed";
      return false;
    }
    if (!same(got, std::vector<int16_t>(want.begin(), want.begin() + count), detail)) {
      detail = "count " + std::to_string(count) + ", " + detail;
      return false;
    }
  }
  return true;
}

// Rows of 1, 2 and 300 elements (the last spans two strides of the block).
bool softmax_i16(session& ses, std::string& detail) {
  std::vector<std::vector<int16_t>> rows = {{0}, {1024, 0}, {0, -32768}, std::vector<int16_t>(300)};
  for (int32_t c = 0; c < 300; ++c) rows[3][c] = static_cast<int16_t>((c * 7919) % 20000 - 10000);
  for (const std::vector<int16_t>& row : rows) {
    scratch s(ses);
    const int32_t n = static_cast<int32_t>(row.size());
    kr_omu_buffer* src = s.upload(row);
    kr_omu_buffer* dst = s.output(row.size() * 4);
    if (src == nullptr || dst == nullptr) {
      detail = "allocation failed";
      return false;
    }
    kr_omu_op_elementwise_broadcast_args_t args{dst, src, 1, n, 0, 0};
    if (failed_status(ses.call("taabe273", args), detail)) return false;
    std::vector<int32_t> got(row.size());
    if (!ses.read(dst, got.data(), n * 4)) {
      detail = "read-back failed";
      return false;
    }
    if (!same(got, ref::softmax_row(row), detail)) {
      detail = "row of " + std::to_string(n) + ", " + detail;
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<check_case> int16_checks() {
  return {
      {"taabe165", "", gelu_i16},
      {"taabe27", "", sigmoid_q10},
      {"taabe35", "", sigmoid_q15},
      {"taabe88", "", relu_i16},
      {"taabe218", "", i32_to_f32},
      {"taabe221", "", q7_to_f32},
      {"taabe266", "", q10_to_f32},
      {"taabe77", "", f32_to_q10},
      {"taabe82", "", q17_to_q10},
      {"taabe177", "", add_sat_i16},
      {"taabe273", "", softmax_i16},
  };
}

}  // namespace omu
