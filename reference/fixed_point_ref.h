// Plain host reference of the fixed-point formats, written from their definitions: the tables are
// evaluated in double precision and rounded half away from zero, the primitives step by step.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace ref {

inline int64_t round_half_away(double x) { return static_cast<int64_t>(x < 0 ? -std::floor(-x + 0.5) : std::floor(x + 0.5)); }

inline uint32_t exp_msb(int i) { return static_cast<uint32_t>(round_half_away(2147483647.0 * std::exp(-i / 8.0))); }
inline uint32_t exp_lsb(int j) { return static_cast<uint32_t>(round_half_away(2147483647.0 * std::exp(-j / 1024.0))); }
inline int16_t sigmoid_entry(int k) {
  const int s = k == 256 ? 0 : (k < 128 ? k : k - 256);
  return static_cast<int16_t>(round_half_away(32767.0 / (1.0 + std::exp(-s / 16.0))));
}

inline int32_t sat(int64_t v, int64_t lo, int64_t hi) { return static_cast<int32_t>(std::min(std::max(v, lo), hi)); }
inline int32_t sat16(int64_t v) { return sat(v, -32768, 32767); }
inline int32_t sat32(int64_t v) { return sat(v, INT32_MIN, INT32_MAX); }

// Q10 -> Q15 sigmoid by interpolation between entries 1/16 apart.
inline int32_t sigmoid(int32_t q) {
  const int32_t c = std::min(std::max(q, -8192), 8128);
  const int32_t u = ((c % 16384) + 16384) % 16384;
  const int32_t i = u / 64, f = u % 64;
  const int32_t a = sigmoid_entry(i);
  const int32_t b = sigmoid_entry(f == 0 ? i : i + 1);
  return ((64 - f) * a + f * b) / 64;  // both terms non-negative: division equals the shift
}

inline int32_t tanh_q(int32_t q) { return sat16(2 * static_cast<int64_t>(sigmoid(sat16(2 * static_cast<int64_t>(q)))) - 32768); }

// e^(d/1024) in Q31 for a non-positive Q10 difference.
inline int32_t exp_q(int32_t d) {
  int64_t a = -static_cast<int64_t>(d);
  if (a > 32767) a = 32767;
  a = std::min<int64_t>(a, 16383);
  const int64_t p = static_cast<int64_t>(exp_msb(static_cast<int>(a / 128))) * exp_lsb(static_cast<int>(a % 128));
  const int64_t r = (p + (int64_t{1} << 30));
  return sat32(r >= 0 ? r / (int64_t{1} << 31) : -((-r + (int64_t{1} << 31) - 1) / (int64_t{1} << 31)));
}

// Float -> Q10 with saturation, truncation towards zero, NaN to 0.
inline int32_t to_q10(float x) {
  const float y = x * 1024.0f;
  if (std::isnan(y)) return 0;
  if (y >= 32767.0f) return 32767;
  if (y <= -32768.0f) return -32768;
  return static_cast<int32_t>(std::trunc(y));
}

// Rounding arithmetic shift right by k (ties towards plus infinity), exact in 64 bits.
inline int64_t round_shift(int64_t v, int k) {
  const int64_t d = int64_t{1} << k;
  const int64_t t = v + d / 2;
  return t >= 0 ? t / d : -((-t + d - 1) / d);  // floor division
}

// Plain arithmetic shift (floor division by 2^k).
inline int64_t floor_shift(int64_t v, int k) { return round_shift(v - ((int64_t{1} << k) / 2), k); }

}  // namespace ref
