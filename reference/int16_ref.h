// Plain host reference of the 16-bit elementwise operators, conversions and row softmax, written
// from their formulas on top of the fixed-point reference.
#pragma once

#include <cstdint>
#include <vector>

#include "reference/fixed_point_ref.h"

namespace ref {

// x sigmoid(1.702 x) in Q10, with 1.702 taken as 1743 / 1024.
inline int32_t gelu_i16(int32_t x) {
  const int32_t t = sat16(round_shift(int64_t{x} * 1743, 10));
  return sat16(round_shift(int64_t{sigmoid(t)} * x, 15));
}

inline int32_t sigmoid_q10(int32_t x) { return static_cast<int32_t>(floor_shift(sigmoid(x), 5)); }

inline int32_t q17_to_q10(int32_t x) { return sat16(round_shift(x, 7)); }

inline int32_t add_sat16(int32_t a, int32_t b) { return sat16(int64_t{a} + b); }

// Softmax of one Q10 row in Q31: e = e^((x - max)/1024) per element, then e scaled by
// 2^62 / sum(e) with a rounding shift by 31.
inline std::vector<int32_t> softmax_row(const std::vector<int16_t>& row) {
  if (row.empty()) return {};
  int32_t m = -32768;
  for (int16_t x : row) m = std::max<int32_t>(m, x);
  std::vector<int32_t> e(row.size());
  int64_t s = 0;
  for (size_t c = 0; c < row.size(); ++c) {
    e[c] = exp_q(sat16(int64_t{row[c]} - m));
    s += e[c];
  }
  const int64_t r = sat32((int64_t{1} << 62) / s);
  std::vector<int32_t> out(row.size());
  for (size_t c = 0; c < row.size(); ++c) out[c] = sat32(round_shift(r * e[c], 31));
  return out;
}

}  // namespace ref
