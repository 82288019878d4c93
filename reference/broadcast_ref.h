// Plain host references of the broadcast and row-wise operators, written from their formulas.
// Where a device math function takes part (expf, cosf, sinf), the reference gives the exact value
// in double precision and a bound derived from the functions' documented errors.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace ref {

// a + b x 1024 reduced modulo 2^32 into the signed range.
inline int32_t bias_q17(int32_t a, int8_t b) {
  const int64_t sum = static_cast<int64_t>(a) + static_cast<int64_t>(b) * 1024;
  const int64_t wrapped = ((sum % 4294967296LL) + 4294967296LL) % 4294967296LL;
  return static_cast<int32_t>(wrapped >= 2147483648LL ? wrapped - 4294967296LL : wrapped);
}

// Left-to-right float sum.
inline float row_sum(const float* x, int32_t n) {
  float s = 0.0f;
  for (int32_t j = 0; j < n; ++j) s = s + x[j];
  return s;
}

// A value with the largest deviation a correct result may have from it.
struct bounded {
  double value;  // NaN when the result must be NaN
  double tolerance;
};

inline bool within(const bounded& b, float y) {
  if (std::isnan(b.value)) return std::isnan(y);
  if (std::isnan(y)) return false;
  return std::fabs(static_cast<double>(y) - b.value) <= b.tolerance;
}

constexpr double float_epsilon = 1.0 / 8388608.0;  // 2^-23, one ulp of 1

// Softmax of one float row. The maximum ignores NaN elements; each difference x - max is the
// float subtraction; e = exp of it within expf's 2 ulp; the row sum is a float sum of n terms in
// some tree order (each of at most ceil(log2 n) + 1 levels rounds by half an ulp); then one
// rounded reciprocal and one rounded product. A NaN anywhere, or a row without a finite
// maximum, gives NaN.
inline std::vector<bounded> softmax_row(const std::vector<float>& row) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  float m = -std::numeric_limits<float>::infinity();
  bool any_nan = false;
  for (float x : row) {
    if (std::isnan(x)) any_nan = true;
    else if (x > m) m = x;
  }
  std::vector<bounded> out(row.size(), bounded{nan, 0.0});
  if (any_nan || std::isinf(m)) return out;
  std::vector<double> e(row.size());
  double sum = 0.0;
  for (size_t j = 0; j < row.size(); ++j) {
    const float d = row[j] - m;
    e[j] = std::exp(static_cast<double>(d));
    sum += e[j];
  }
  const double levels = std::ceil(std::log2(static_cast<double>(row.size()))) + 1.0;
  const double relative = (2.0 + 2.0 + levels * 0.5 + 0.5 + 0.5) * float_epsilon;
  for (size_t j = 0; j < row.size(); ++j) {
    const double p = e[j] / sum;
    // Results below the normal range lose relative accuracy; allow a few of the smallest steps.
    out[j] = bounded{p, p * relative + 4.0 * std::ldexp(1.0, -149)};
  }
  return out;
}

// Spectrum of one row of N + 2 floats: H + 1 (real, imaginary) pairs, then the zeroed imaginary
// parts of bins 0 and (for even N) H, written into N + 2 floats (the tail of an odd N keeps 0 as
// well). scale = w / N is the float division; g = min(e^m, 100); each part is scale x (g x cos p)
// with two float roundings, expf and cosf/sinf within 2 ulp each.
inline std::vector<bounded> spectrum_row(const std::vector<float>& row, int32_t n) {
  const int32_t h = n / 2;
  std::vector<bounded> out(static_cast<size_t>(n) + 2, bounded{0.0, 0.0});
  const double relative = (2.0 + 2.0 + 0.5 + 0.5) * float_epsilon;
  const double tiny = 4.0 * std::ldexp(1.0, -149);
  for (int32_t k = 0; k <= h; ++k) {
    const double e = std::exp(static_cast<double>(row[k]));
    const double g = std::isnan(e) || e > 100.0 ? 100.0 : e;
    const float scale = ((k > 0 && k < h) ? 2.0f : 1.0f) / static_cast<float>(n);
    const double p = row[h + 1 + k];
    const double re = scale * g * std::cos(p);
    const double im = scale * g * std::sin(p);
    // Near 100 the clamp may go either way within expf's error: allow for it in the bound.
    out[2 * k] = bounded{re, std::fabs(re) * relative + tiny};
    out[2 * k + 1] = bounded{im, std::fabs(im) * relative + tiny};
  }
  out[1] = bounded{0.0, 0.0};
  out[n + 1] = bounded{0.0, 0.0};
  return out;
}

}  // namespace ref
