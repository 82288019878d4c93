// omu check cases of the transpose and row-quantisation entries.
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "check.h"
#include "reference/layout_ref.h"

namespace omu {

namespace {

// Reads back `want.size()` values and compares them bit for bit.
template <typename T>
bool compare(session& ses, kr_omu_buffer* out, const std::vector<T>& want, const char* what, std::string& detail) {
  std::vector<T> got(want.size());
  if (!ses.read(out, got.data(), static_cast<int32_t>(got.size() * sizeof(T)))) {
    detail = "read-back failed";
    return false;
  }
  for (size_t i = 0; i < want.size(); ++i) {
    if (std::memcmp(&got[i], &want[i], sizeof(T)) != 0) {
      detail = std::string(what) + " element " + std::to_string(i) + ": got " + std::to_string(got[i]) + ", want " +
               std::to_string(want[i]);
      return false;
    }
  }
  return true;
}

// 3 x 5 x 7 floats, the two outer axes swapped.
bool transpose_outer(session& ses, std::string& detail) {
  scratch s(ses);
  std::vector<float> in(105);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<float>(i) * 0.5f - 20.0f;
  const auto want = ref::transpose_outer(in, 3, 5, 7);
  kr_omu_buffer* out = s.upload(std::vector<float>(want.size()));
  kr_omu_op_transpose_args_t args{out, s.upload(in), 3, 5, 7, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  if (failed_status(ses.call("taabe116", args), detail)) return false;
  return compare(ses, out, want, "output", detail);
}

// 3 matrices of 5 x 40 bytes, each transposed.
bool transpose_inner(session& ses, std::string& detail) {
  scratch s(ses);
  std::vector<int8_t> in(600);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int8_t>(i * 37 + 11);
  const auto want = ref::transpose_inner(in, 3, 5, 40);
  kr_omu_buffer* out = s.upload(std::vector<int8_t>(want.size()));
  kr_omu_op_transpose_args_t args{out, s.upload(in), 3, 5, 40, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  if (failed_status(ses.call("taabe110", args), detail)) return false;
  return compare(ses, out, want, "output", detail);
}

// Rows of 40: largest magnitude 2.0, zeros, an infinity, a NaN, and subnormals under a huge scale.
bool quantize_rows(session& ses, std::string& detail) {
  const int32_t length = 40;
  std::vector<std::vector<float>> rows(5, std::vector<float>(length, 0.0f));
  for (int32_t c = 0; c < length; ++c) {
    rows[0][c] = (c - 20) * 0.1f;
    rows[2][c] = c * 0.25f;
    rows[3][c] = -c * 0.125f;
    rows[4][c] = (c % 2 ? 1e-40f : -3e-40f) * c;
  }
  rows[2][7] = std::numeric_limits<float>::infinity();
  rows[3][33] = std::numeric_limits<float>::quiet_NaN();
  rows[4][39] = 1e-37f;
  std::vector<float> in;
  std::vector<int16_t> want_values;
  std::vector<float> want_scales;
  for (const auto& r : rows) {
    in.insert(in.end(), r.begin(), r.end());
    const ref::quantized_row q = ref::quantize_row(r);
    want_values.insert(want_values.end(), q.values.begin(), q.values.end());
    want_scales.push_back(q.scale);
  }
  scratch s(ses);
  kr_omu_buffer* values = s.upload(std::vector<int16_t>(want_values.size()));
  kr_omu_buffer* scales = s.upload(std::vector<float>(rows.size()));
  kr_omu_op_quantize_args_t args{values, scales, s.upload(in), static_cast<int32_t>(rows.size()), length, 0, 0, 0};
  if (!s.ok()) return detail = "allocation failed", false;
  if (failed_status(ses.call("taabe240", args), detail)) return false;
  return compare(ses, values, want_values, "value", detail) &&
         compare(ses, scales, want_scales, "scale", detail);
}

}  // namespace

std::vector<check_case> layout_checks() {
  return {
      {"taabe116", "", transpose_outer},
      {"taabe110", "", transpose_inner},
      {"taabe240", "", quantize_rows},
  };
}

}  // namespace omu
