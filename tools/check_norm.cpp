// omu check cases of the normalisation, gate and 16-bit fused entries: each runs its export once
// on small data and compares with the host reference, bit for bit where the arithmetic is exact
// (Q7 layer normalisation, gate order, 16-bit operators), within the documented errors of rsqrtf
// and expf otherwise.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "reference/norm_ref.h"

namespace omu {

namespace {

// Two rows of 600 (more than one column per thread).
constexpr int32_t rows = 2, n = 600;

std::vector<float> row_data() {
  std::vector<float> x;
  for (int32_t i = 0; i < rows * n; ++i) x.push_back(static_cast<float>((i * 7919) % 1000) * 0.01f - 3.0f);
  return x;
}

std::vector<float> column_data(float base) {
  std::vector<float> v;
  for (int32_t c = 0; c < n; ++c) v.push_back(base + static_cast<float>(c % 13) * 0.125f);
  return v;
}

bool compare_ranges(const std::vector<float>& got, const std::vector<float>& x, const std::vector<float>& gamma,
                    const std::vector<float>* beta, std::string& detail) {
  for (int32_t r = 0; r < rows; ++r) {
    const float* row = &x[static_cast<size_t>(r) * n];
    const auto want = beta != nullptr ? ref::layer_norm_row(row, n, gamma.data(), beta->data(), 1e-5f)
                                      : ref::rms_norm_row(row, n, gamma.data(), 1e-5f);
    for (int32_t c = 0; c < n; ++c) {
      const size_t i = static_cast<size_t>(r) * n + c;
      if (!ref::accepts(want[c], got[i])) return detail = mismatch(i, got[i], want[c].lo), false;
    }
  }
  return true;
}

bool layer_norm(session& ses, std::string& detail) {
  scratch s(ses);
  const auto x = row_data();
  const auto gamma = column_data(0.5f), beta = column_data(-1.0f);
  kr_omu_buffer* out = s.upload(std::vector<float>(x.size()));
  kr_omu_op_layer_norm_args_t args{out, s.upload(x), s.upload(gamma), s.upload(beta), 1e-5f, rows, n, 0, 0, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  if (failed_status(ses.call("taabe120", args), detail)) return false;
  std::vector<float> got(x.size());
  if (!s.download(out, got)) return detail = "read-back failed", false;
  return compare_ranges(got, x, gamma, &beta, detail);
}

bool rms_norm(session& ses, std::string& detail) {
  scratch s(ses);
  const auto x = row_data();
  const auto gamma = column_data(0.5f);
  kr_omu_buffer* out = s.upload(std::vector<float>(x.size()));
  kr_omu_op_norm_args_t args{out, s.upload(x), s.upload(gamma), 1e-5f, rows, n, 0, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  if (failed_status(ses.call("taabe167", args), detail)) return false;
  std::vector<float> got(x.size());
  if (!s.download(out, got)) return detail = "read-back failed", false;
  return compare_ranges(got, x, gamma, nullptr, detail);
}

// Three rows (the last block holds one), gamma bytes including -128 and 0.
bool layer_norm_q7(session& ses, std::string& detail) {
  scratch s(ses);
  const int32_t count = 3;
  std::vector<float> x = row_data();
  x.resize(static_cast<size_t>(count) * 37);
  std::vector<int8_t> gamma, beta;
  for (int32_t c = 0; c < 37; ++c) {
    gamma.push_back(static_cast<int8_t>(c * 29 - 128));
    beta.push_back(static_cast<int8_t>(100 - c * 7));
  }
  kr_omu_buffer* out = s.upload(std::vector<float>(x.size()));
  kr_omu_op_layer_norm_args_t args{out, s.upload(x), s.upload(gamma), s.upload(beta), 1e-5f, count, 37, 0, 0, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  if (failed_status(ses.call("taabe230", args), detail)) return false;
  std::vector<float> got(x.size());
  if (!s.download(out, got)) return detail = "read-back failed", false;
  for (int32_t r = 0; r < count; ++r) {
    const auto want = ref::layer_norm_q7_row(&x[r * 37], 37, gamma.data(), beta.data(), 1e-5f);
    for (int32_t c = 0; c < 37; ++c) {
      if (got[r * 37 + c] != want[c]) return detail = mismatch(r * 37 + c, got[r * 37 + c], want[c]), false;
    }
  }
  return true;
}

// Rows with ties, infinities and a NaN wall, top 3 of 6.
bool gate(session& ses, std::string& detail) {
  scratch s(ses);
  const float inf = INFINITY, nan = NAN;
  const std::vector<float> scores = {1.0f, 3.0f, 3.0f, 2.0f, 3.0f, 0.5f,  -inf, 2.0f, 0.5f, -inf, 0.0f, 7.0f,
                                     4.0f, nan,  5.0f, 2.0f, nan,  7.0f};
  const int32_t count = 3, k = 3;
  kr_omu_buffer* indices = s.upload(std::vector<int32_t>(count * k));
  kr_omu_buffer* probs = s.upload(std::vector<float>(count * k));
  kr_omu_op_gate_args_t args{indices, probs, s.upload(scores), count, k, 6};
  if (!s.ok()) return detail = "allocation failed", false;
  if (failed_status(ses.call("taabe149", args), detail)) return false;
  std::vector<int32_t> got_indices(count * k);
  std::vector<float> got_probs(count * k);
  if (!s.download(indices, got_indices) || !s.download(probs, got_probs)) return detail = "read-back failed", false;
  for (int32_t r = 0; r < count; ++r) {
    const auto top = ref::bubble_top(&scores[r * 6], 6, k);
    const auto weights = ref::gate_weights(top);
    for (int32_t j = 0; j < k; ++j) {
      if (got_indices[r * k + j] != top[j].first) {
        return detail = "index " + mismatch(r * k + j, got_indices[r * k + j], top[j].first), false;
      }
      if (!ref::within(weights[j], got_probs[r * k + j])) {
        return detail = "weight " + mismatch(r * k + j, got_probs[r * k + j], weights[j].value), false;
      }
    }
  }
  return true;
}

bool cell(session& ses, std::string& detail) {
  scratch s(ses);
  const std::vector<int16_t> x0 = {0, -8192, 32767, -32768, 1000, -1},
                             x1 = {0, 0, -32768, 32767, -2500, 1},
                             x2 = {0, 0, 500, -500, 32767, -32768},
                             state = {0, 32767, -32768, -1, 1, 12345};
  const int32_t count = 6;
  std::vector<int16_t> gates = x0;
  gates.insert(gates.end(), x1.begin(), x1.end());
  gates.insert(gates.end(), x2.begin(), x2.end());
  kr_omu_buffer* g = s.upload(gates);
  kr_omu_buffer* c = s.upload(state);
  kr_omu_buffer* h = s.upload(std::vector<int16_t>(count));
  kr_omu_op_cell_args_t args{h, c, g, count, 0, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  if (failed_status(ses.call("taabe47", args), detail)) return false;
  std::vector<int16_t> got_g(gates.size()), got_c(count), got_h(count);
  if (!s.download(g, got_g) || !s.download(c, got_c) || !s.download(h, got_h)) return detail = "read-back failed", false;
  for (int32_t i = 0; i < count; ++i) {
    const ref::cell_result w = ref::cell_update(x0[i], x1[i], x2[i], state[i]);
    if (got_c[i] != w.cell) return detail = "cell " + mismatch(i, got_c[i], w.cell), false;
    if (got_h[i] != w.output) return detail = "output " + mismatch(i, got_h[i], w.output), false;
    if (got_g[i] != w.g0 || got_g[count + i] != w.g1 || got_g[2 * count + i] != w.g2) {
      return detail = "gates at " + std::to_string(i), false;
    }
  }
  return true;
}

// 5 x 3 with scales 1.0, -1.0 and 1/1024 in Q10.
bool standardize(session& ses, std::string& detail) {
  scratch s(ses);
  const std::vector<int16_t> in = {100, -32768, 5, -1, 1, 32767, 0, 0, 0, 2048, -2048, 7, 9, -9, 4};
  const std::vector<int16_t> mean = {30, 32767, 0}, scale = {1024, -1024, 1};
  kr_omu_buffer* out = s.upload(std::vector<int16_t>(in.size()));
  kr_omu_op_standardize_args_t args{out, s.upload(in), s.upload(mean), s.upload(scale), 5, 3, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  if (failed_status(ses.call("taabe86", args), detail)) return false;
  std::vector<int16_t> got(in.size());
  if (!s.download(out, got)) return detail = "read-back failed", false;
  for (size_t i = 0; i < in.size(); ++i) {
    const int32_t want = ref::standardize(in[i], mean[i % 3], scale[i % 3]);
    if (got[i] != want) return detail = mismatch(i, got[i], want), false;
  }
  return true;
}

}  // namespace

std::vector<check_case> norm_checks() {
  return {
      {"taabe120", "", layer_norm},
      {"taabe230", "", layer_norm_q7},
      {"taabe167", "", rms_norm},
      {"taabe149", "", gate},
      {"taabe47", "", cell},
      {"taabe86", "", standardize},
  };
}

}  // namespace omu
