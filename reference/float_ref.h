// Plain host references of the float elementwise, scalar and pairwise operators, written from
// their formulas. Each unary reference returns the range of acceptable results: a single value
// where every step is an IEEE-exact operation, and for the operators that call a device math
// function, the results of the later float steps applied to both ends of that function's
// documented error bound (an output-level ulp bound would be wrong near cancellation).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "reference/fixed_point_ref.h"

namespace ref {

struct float_range {
  float lo;
  float hi;  // lo == hi (same bits) for an exact result
};

inline uint32_t float_bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

inline float_range exactly(float v) { return {v, v}; }

// Whether y is an acceptable result. An expected NaN requires a NaN (any payload: GPUs return a
// canonical NaN); an exact expected value requires the same bits, so signed zeros count.
inline bool accepts(const float_range& r, float y) {
  if (std::isnan(r.lo) || std::isnan(r.hi)) return std::isnan(r.lo) && std::isnan(r.hi) && std::isnan(y);
  if (float_bits(r.lo) == float_bits(r.hi)) return float_bits(y) == float_bits(r.lo);
  return !std::isnan(y) && std::min(r.lo, r.hi) <= y && y <= std::max(r.lo, r.hi);
}

// One unit in the last place of a float of magnitude |v|: the spacing of the binade containing
// |v| (2^-149 below the normal range, 2^104 at and beyond the largest binade).
inline double float_ulp(double v) {
  const double m = std::fabs(v);
  if (m < std::ldexp(1.0, -126)) return std::ldexp(1.0, -149);
  int e = 0;
  std::frexp(m, &e);  // m in [2^(e-1), 2^e)
  return std::ldexp(1.0, std::min(e, 128) - 24);
}

// Smallest float not below v, and largest float not above v. Infinity stands for every value from
// 2^128 up, the next step of the float grid after the largest finite float.
inline float float_at_least(double v) {
  if (v <= -std::ldexp(1.0, 128)) return -std::numeric_limits<float>::infinity();
  float f = static_cast<float>(v);
  if (static_cast<double>(f) < v) f = std::nextafter(f, std::numeric_limits<float>::infinity());
  return f;
}
inline float float_at_most(double v) {
  if (v >= std::ldexp(1.0, 128)) return std::numeric_limits<float>::infinity();
  float f = static_cast<float>(v);
  if (static_cast<double>(f) > v) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
  return f;
}

// `v` moved `k` steps along the float grid (away from zero for positive k on positive values); a
// step beyond the largest finite float gives infinity.
inline float float_steps(float v, int k) {
  const float toward = k > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
  for (int i = 0; i < (k > 0 ? k : -k) && !std::isinf(v); ++i) v = std::nextafter(v, toward);
  return v;
}

// The floats a device math function may return for the exact value `exact` when documented to be
// within `ulps` units in the last place, clipped to the function's range [lo, hi]. CUDA counts the
// error from the correctly rounded result, so both readings of "ulps" are allowed: `ulps` steps of
// the float grid from the correctly rounded value, and `ulps` units of the exact value's binade
// from the exact value (they differ at binade boundaries). For an argument of 0, an infinity or
// NaN the functions are exact.
inline float_range library_result(double exact, float argument, int ulps, double lo, double hi) {
  if (argument == 0.0f || std::isinf(argument) || std::isnan(argument)) {
    const float v = static_cast<float>(exact);
    return {v, v};
  }
  const double slack = ulps * float_ulp(exact);
  const float rounded = static_cast<float>(exact);
  float below = std::min(float_steps(rounded, -ulps), float_at_least(exact - slack));
  float above = std::max(float_steps(rounded, ulps), float_at_most(exact + slack));
  return {std::max(below, float_at_least(lo)), std::min(above, float_at_most(hi))};
}

// CUDA's documented maximum errors of the accurate single-precision functions.
constexpr int expf_ulps = 2;
constexpr int exp2f_ulps = 2;
constexpr int erff_ulps = 2;
constexpr int tanhf_ulps = 2;
constexpr double infinity = std::numeric_limits<double>::infinity();

// Applies the exact float steps `post` to both ends of a library result; post must be monotonic.
template <typename Post>
float_range after(const float_range& r, Post post) {
  return {post(r.lo), post(r.hi)};
}

// e^x.
inline float_range exp_f32(float x) { return library_result(std::exp(static_cast<double>(x)), x, expf_ulps, 0.0, infinity); }

// (x / 2)(1 + erf(a)), a = x / sqrt(2) rounded to float; the halving, the sum and the product are
// separate float operations.
inline float_range gelu_erf_f32(float x) {
  const float a = x * 0.707106769084930419921875f;
  const float_range e = library_result(std::erf(static_cast<double>(a)), a, erff_ulps, -1.0, 1.0);
  return after(e, [x](float erf_a) { return (x * 0.5f) * (erf_a + 1.0f); });
}

// (x / 2)(1 + tanh(u)), u = sqrt(2/pi) v in double rounded to float, v = fma(x^3, 0.044715, x).
inline float gelu_tanh_argument(float x) {
  const float c = x * (x * x);
  const float v = std::fma(c, 0.0447149984538555145263671875f, x);
  return static_cast<float>(static_cast<double>(v) * 0.7978845608028654);
}
inline float_range gelu_tanh_f32(float x) {
  const float u = gelu_tanh_argument(x);
  const float_range t = library_result(std::tanh(static_cast<double>(u)), u, tanhf_ulps, -1.0, 1.0);
  return after(t, [x](float tanh_u) { return (x * 0.5f) * (tanh_u + 1.0f); });
}

// x / (1 + e^-x). The device forms e^-x as 2^k exp2f(f), f = -x log2(e) - k reduced in two fused
// steps (each rounded once, so f is off by at most one unit of 2^-24 and 2^f by under one step),
// and fuses the last, exact power-of-two scaling with the addition of 1: that fused step equals
// the float sum of the computed e^-x and 1, rounded once. e^-x is therefore within exp2f's
// documented 2 ulps plus 1 for the reduced argument. Overflow of e^-x makes the denominator
// infinite.
inline float_range silu_f32(float x) {
  const float_range e = library_result(std::exp(-static_cast<double>(x)), -x, exp2f_ulps + 1, 0.0, infinity);
  return after(e, [x](float exp_minus_x) { return x / (exp_minus_x + 1.0f); });
}

// Table-based operators: the fixed-point sigmoid and tanh of the saturating Q10 conversion.
inline float_range sigmoid_table_f32(float x) { return exactly(static_cast<float>(sigmoid(to_q10(x))) / 32767.0f); }
inline float_range tanh_table_f32(float x) { return exactly(static_cast<float>(tanh_q(to_q10(x))) / 32767.0f); }
inline float_range gelu_table_f32(float x) {
  const float z = x * 1.70200002193450927734375f;
  const float g = static_cast<float>(sigmoid(to_q10(z))) / 32767.0f;
  return exactly(x * g);
}

// max(x, 0) with NaN giving 0; the sign of the zero for x = -0 is not defined.
inline float_range relu_f32(float x) {
  if (x == 0.0f) return {-0.0f, 0.0f};
  return exactly(x > 0.0f ? x : 0.0f);
}

// 16-bit Q10 times Q10 scalar: (x s + r) >> 10 saturated, r = 512 (round to nearest, ties up) or 0
// (round down).
inline int16_t mul_scalar_q10(int16_t x, int16_t s, bool truncate) {
  const int64_t p = static_cast<int64_t>(x) * s;
  return static_cast<int16_t>(sat16(truncate ? floor_shift(p, 10) : round_shift(p, 10)));
}

}  // namespace ref
