// omu check cases of the broadcast and row-wise entries: each runs its export once on a small
// non-square matrix and compares with the host reference, bit for bit where the arithmetic is
// IEEE-exact or integer, within the documented errors of expf, cosf and sinf otherwise.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "reference/broadcast_ref.h"

namespace omu {

namespace {

constexpr int32_t rows = 3, length = 5;

std::vector<float> matrix_a() {
  std::vector<float> a;
  for (int32_t i = 0; i < rows * length; ++i) a.push_back(static_cast<float>(i) * 0.75f - 4.0f);
  return a;
}

// A float broadcast entry on a 3 x 5 matrix with the output preset to 1.5 (the accumulator of the
// multiply-accumulate).
template <bool by_column>
bool float_broadcast(session& ses, const char* symbol, float (*op)(float, float, float), std::string& detail) {
  scratch s(ses);
  const std::vector<float> a = matrix_a();
  const std::vector<float> b = by_column ? std::vector<float>{0.5f, -3.0f, 7.25f} : std::vector<float>{0.5f, -3.0f, 7.25f, 1e-3f, -0.0f};
  const std::vector<float> init(a.size(), 1.5f);
  kr_omu_buffer* out = s.upload(init);
  kr_omu_op_pairwise_broadcast_args_t args{out, s.upload(a), s.upload(b), rows, length, 0, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  const kr_status_t status = ses.call(symbol, args);
  if (status != KR_STATUS_SUCCESS) return detail = "status " + std::to_string(status), false;
  std::vector<float> got(a.size());
  if (!s.download(out, got)) return detail = "read-back failed", false;
  for (size_t i = 0; i < a.size(); ++i) {
    const float want = op(a[i], b[by_column ? i / length : i % length], 1.5f);
    if (std::memcmp(&got[i], &want, 4) != 0) return detail = mismatch(i, got[i], want), false;
  }
  return true;
}

bool add_row(session& ses, std::string& e) {
  return float_broadcast<false>(ses, "taabe155", [](float a, float b, float) { return a + b; }, e);
}
bool mul_row(session& ses, std::string& e) {
  return float_broadcast<false>(ses, "taabe69", [](float a, float b, float) { return a * b; }, e);
}
bool mac_row(session& ses, std::string& e) {
  return float_broadcast<false>(ses, "taabe246", [](float a, float b, float c) { return std::fma(a, b, c); }, e);
}
bool mul_column(session& ses, std::string& e) {
  return float_broadcast<true>(ses, "taabe46", [](float a, float b, float) { return a * b; }, e);
}
bool sub_column(session& ses, std::string& e) {
  return float_broadcast<true>(ses, "taabe249", [](float a, float b, float) { return a - b; }, e);
}

bool bias_q17(session& ses, std::string& detail) {
  scratch s(ses);
  const std::vector<int32_t> a = {0, 2147483647, -2147483647 - 1, 5, -131072, 1000};
  const std::vector<int8_t> b = {-128, 1, -1};
  kr_omu_buffer* out = s.upload(std::vector<int32_t>(a.size()));
  kr_omu_op_pairwise_broadcast_args_t args{out, s.upload(a), s.upload(b), 2, 3, 0, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  const kr_status_t status = ses.call("taabe99", args);
  if (status != KR_STATUS_SUCCESS) return detail = "status " + std::to_string(status), false;
  std::vector<int32_t> got(a.size());
  if (!s.download(out, got)) return detail = "read-back failed", false;
  for (size_t i = 0; i < a.size(); ++i) {
    const int32_t want = ref::bias_q17(a[i], b[i % 3]);
    if (got[i] != want) return detail = mismatch(i, got[i], want), false;
  }
  return true;
}

// Row lengths 6 (element path) and 8 (float4 path), three rows.
bool concat(session& ses, std::string& detail) {
  for (const int32_t n : {6, 8}) {
    scratch s(ses);
    std::vector<float> a, b;
    for (int32_t i = 0; i < 3 * n; ++i) {
      a.push_back(static_cast<float>(i));
      b.push_back(-static_cast<float>(i) - 0.5f);
    }
    kr_omu_buffer* out = s.upload(std::vector<float>(6 * n));
    kr_omu_op_pairwise_broadcast_args_t args{out, s.upload(a), s.upload(b), 3, n, 0, 0, 0};
    if (!s.ok()) return detail = "allocation failed", false;
    const kr_status_t status = ses.call("taabe24", args);
    if (status != KR_STATUS_SUCCESS) return detail = "status " + std::to_string(status), false;
    std::vector<float> got(6 * n);
    if (!s.download(out, got)) return detail = "read-back failed", false;
    for (int32_t i = 0; i < 6 * n; ++i) {
      const int32_t r = i / (2 * n), c = i % (2 * n);
      const float want = c < n ? a[r * n + c] : b[r * n + c - n];
      if (got[i] != want) return detail = "row length " + std::to_string(n) + ", " + mismatch(i, got[i], want), false;
    }
  }
  return true;
}

// Runs a row-wise entry on `in` (rows of `n`) and compares `out_count` outputs with `want`.
bool rowwise(session& ses, const char* symbol, const std::vector<float>& in,
             int32_t num_rows, int32_t n, const std::vector<ref::bounded>& want, std::string& detail) {
  scratch s(ses);
  kr_omu_buffer* out = s.upload(std::vector<float>(want.size()));
  kr_omu_op_elementwise_broadcast_args_t args{out, s.upload(in), num_rows, n, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  const kr_status_t status = ses.call(symbol, args);
  if (status != KR_STATUS_SUCCESS) return detail = "status " + std::to_string(status), false;
  std::vector<float> got(want.size());
  if (!s.download(out, got)) return detail = "read-back failed", false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (!ref::within(want[i], got[i])) return detail = mismatch(i, got[i], want[i].value), false;
  }
  return true;
}

bool reverse(session& ses, std::string& detail) {
  const std::vector<float> in = matrix_a();
  std::vector<ref::bounded> want;
  for (int32_t i = 0; i < rows * length; ++i) want.push_back({in[(i / length) * length + length - 1 - i % length], 0.0});
  return rowwise(ses, "taabe194", in, rows, length, want, detail);
}

bool row_sum(session& ses, std::string& detail) {
  std::vector<float> in = matrix_a();
  in[0] = 1e8f;
  in[2] = -1e8f;
  std::vector<ref::bounded> want;
  for (int32_t r = 0; r < rows; ++r) want.push_back({ref::row_sum(&in[r * length], length), 0.0});
  return rowwise(ses, "taabe143", in, rows, length, want, detail);
}

// One row of 700 elements (beyond one stride of the block) and one with a minus infinity.
bool softmax(session& ses, std::string& detail) {
  std::vector<float> in;
  for (int32_t i = 0; i < 700; ++i) in.push_back(static_cast<float>((i * 37) % 101) * 0.25f - 10.0f);
  in[3] = -INFINITY;
  const std::vector<ref::bounded> want = ref::softmax_row(in);
  return rowwise(ses, "taabe118", in, 1, 700, want, detail);
}

// N = 6 (H = 3) with a clamped magnitude and a phase beyond 10^4.
bool spectrum(session& ses, std::string& detail) {
  const std::vector<float> in = {0.5f, 10.0f, -1.0f, 0.0f, 0.3f, 12345.6f, -2.0f, 1.5f};
  return rowwise(ses, "taabe40", in, 1, 6, ref::spectrum_row(in, 6), detail);
}

}  // namespace

std::vector<check_case> broadcast_checks() {
  return {
      {"taabe99", "", bias_q17},
      {"taabe155", "", add_row},
      {"taabe69", "", mul_row},
      {"taabe246", "", mac_row},
      {"taabe46", "", mul_column},
      {"taabe249", "", sub_column},
      {"taabe24", "", concat},
      {"taabe194", "", reverse},
      {"taabe118", "", softmax},
      {"taabe143", "", row_sum},
      {"taabe40", "", spectrum},
  };
}

}  // namespace omu
