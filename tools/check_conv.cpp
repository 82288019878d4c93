// omu check cases of the 16-bit by 8-bit convolution and linear-layer entries.
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "reference/conv_ref.h"

namespace omu {

namespace {

// Deterministic full-range values.
template <typename T>
std::vector<T> pattern(size_t count, uint32_t seed) {
  std::vector<T> v(count);
  uint32_t x = seed;
  for (T& e : v) {
    x = x * 1664525u + 1013904223u;
    e = static_cast<T>(x >> 8);
  }
  return v;
}

// Calls the entry on the record `args` whose output buffer is `out`, reads back `want.size()`
// values and compares them bit for bit.
template <typename T, typename Call>
bool run_and_compare(session& ses, kr_omu_buffer* out, const std::vector<T>& want, Call call, std::string& detail) {
  const kr_status_t status = call();
  if (status != KR_STATUS_SUCCESS) {
    detail = "status " + std::to_string(static_cast<int>(status));
    return false;
  }
  std::vector<T> got(want.size());
  if (!ses.read(out, got.data(), static_cast<int32_t>(got.size() * sizeof(T)))) {
    detail = "read-back failed";
    return false;
  }
  for (size_t i = 0; i < want.size(); ++i) {
    if (got[i] != want[i]) {
      detail = "element " + std::to_string(i) + ": got " + std::to_string(got[i]) + ", want " + std::to_string(want[i]);
      return false;
    }
  }
  return true;
}

// Packed (8 channels) and plain (6 channels) kernels, 3 taps, 17 frames, 18 filters.
bool conv1d(session& ses, std::string& detail) {
  for (const int32_t channels : {8, 6}) {
    scratch s(ses);
    const auto in = pattern<int16_t>(19 * channels, 1);
    const auto w = pattern<int8_t>(18 * 3 * channels, 2);
    const auto want = ref::conv1d(in, w, 17, 18, channels, 3);
    kr_omu_buffer* out = s.upload(std::vector<int32_t>(want.size()));
    kr_omu_op_conv1d_args_t args{out, s.upload(w), s.upload(in), 17, 18, channels, 3, 0, 0, 0};
    if (!s.ok()) return detail = "allocation failed", false;
    if (!run_and_compare(ses, out, want, [&] { return ses.call("taabe126", args); },
                         detail)) {
      return detail = std::to_string(channels) + " channels, " + detail, false;
    }
  }
  return true;
}

// An unrolled size (5) and a generic one (4), 33 channels.
bool conv1d_depthwise(session& ses, std::string& detail) {
  for (const int32_t taps : {5, 4}) {
    scratch s(ses);
    const auto in = pattern<int16_t>((7 + taps - 1) * 33, 3);
    const auto w = pattern<int8_t>(taps * 33, 4);
    const auto want = ref::conv1d_depthwise(in, w, 7, 33, taps);
    kr_omu_buffer* out = s.upload(std::vector<int32_t>(want.size()));
    kr_omu_op_conv1d_depthwise_args_t args{out, s.upload(w), s.upload(in), 7, 33, taps, 0, 0, 0};
    if (!s.ok()) return detail = "allocation failed", false;
    if (!run_and_compare(ses, out, want, [&] { return ses.call("taabe61", args); },
                         detail)) {
      return detail = std::to_string(taps) + " taps, " + detail, false;
    }
  }
  return true;
}

// Stride 2, 6 taps, 5 frames of 20 channels.
bool conv1d_transposed_depthwise(session& ses, std::string& detail) {
  scratch s(ses);
  const auto in = pattern<int16_t>(5 * 20, 5);
  const auto w = pattern<int8_t>(6 * 20, 6);
  const auto want = ref::conv1d_transposed_depthwise(in, w, 5, 20, 6, 2);
  kr_omu_buffer* out = s.upload(std::vector<int32_t>(want.size()));
  kr_omu_op_conv1d_transposed_depthwise_args_t args{out, s.upload(w), s.upload(in), 5, 20, 6, 2, 0, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  return run_and_compare(ses, out, want,
                         [&] { return ses.call("taabe81", args); }, detail);
}

// Packed and plain input lengths; for the accumulating layer 1024 outputs (packed) and 40.
bool linear(session& ses, const char* symbol, bool accumulate, std::string& detail) {
  for (const int32_t ins : {128, 131}) {
    const int32_t rows = 2, outs = accumulate && ins == 128 ? 1024 : 40;
    scratch s(ses);
    const auto in = pattern<int16_t>(rows * ins, 7);
    const auto w = pattern<int8_t>(outs * ins, 8);
    const auto bias = pattern<int8_t>(outs, 9);
    const auto old = pattern<int16_t>(rows * outs, 10);
    const auto want = ref::linear(in, w, bias, rows, outs, ins, accumulate, old);
    kr_omu_buffer* out = s.upload(old);
    kr_omu_op_linear_args_t args{out, s.upload(in), s.upload(w), s.upload(bias), rows, outs, ins, 0, 0};
    if (!s.ok()) return detail = "allocation failed", false;
    if (!run_and_compare(ses, out, want, [&] { return ses.call(symbol, args); },
                         detail)) {
      return detail = std::to_string(ins) + " inputs, " + detail, false;
    }
  }
  return true;
}

bool linear_i16(session& ses, std::string& detail) {
  return linear(ses, "taabe34", false, detail);
}

bool linear_acc_i16(session& ses, std::string& detail) {
  return linear(ses, "taabe153", true, detail);
}

}  // namespace

std::vector<check_case> conv_checks() {
  return {
      {"taabe126", "", conv1d},
      {"taabe61", "", conv1d_depthwise},
      {"taabe81", "", conv1d_transposed_depthwise},
      {"taabe34", "", linear_i16},
      {"taabe153", "", linear_acc_i16},
  };
}

}  // namespace omu
