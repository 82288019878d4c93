// Plain host references of the attention entries, written from their formulas: the 8-bit
// ring-buffer cache, the rotary encoding table and its application, attention over the cache and
// fused attention. Where the device's arithmetic is IEEE-exact the reference repeats it; where it
// goes through the device math library or sums in an order of its own, the reference works in
// double precision and states the bound it allows.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "reference/float_ref.h"

namespace ref {

// ---------------------------------------------------------------------------------------------
// Quantised cache

struct kv_cache {
  int32_t kv_heads = 0;
  int32_t capacity = 0;
  int32_t head_size = 0;
  std::vector<uint8_t> codes;    // kv_heads x capacity x head_size
  std::vector<float> offsets;    // kv_heads x capacity
  std::vector<float> scales;     // kv_heads x capacity

  // Slot of an absolute position, and the cache row of that position for one key/value head.
  int64_t slot(int64_t position) const { return position % capacity; }
  int64_t row(int32_t kv_head, int64_t position) const { return int64_t{kv_head} * capacity + slot(position); }

  // One element, decoded as scale x code + offset with one rounding.
  float element(int32_t kv_head, int64_t position, int32_t e) const {
    const int64_t r = row(kv_head, position);
    return std::fma(scales[r], static_cast<float>(codes[r * head_size + e]), offsets[r]);
  }
};

// The 8-bit code of x for a row of minimum `low` and step `step`: the quotient rounded to nearest
// with halves away from zero; a quotient that is not a number (a constant row: 0 / 0) is code 0.
inline uint8_t kv_code(float x, float low, float step) {
  const float q = (x - low) / step;
  if (std::isnan(q)) return 0;
  const float r = std::round(q);
  return static_cast<uint8_t>(std::min(255.0f, std::max(0.0f, r)));
}

// Writes `length` new positions from `position` on (input position-major: length x kv_heads x
// head_size) into the cache, each row with its own minimum as offset and (max - min) / 255 as step.
inline void update_kv(kv_cache& cache, const std::vector<float>& input, int32_t length, int32_t position) {
  const int32_t e_count = cache.head_size;
  for (int32_t t = 0; t < length; ++t) {
    for (int32_t kh = 0; kh < cache.kv_heads; ++kh) {
      const float* x = &input[(static_cast<size_t>(t) * cache.kv_heads + kh) * e_count];
      float low = x[0];
      float high = x[0];
      for (int32_t e = 1; e < e_count; ++e) {
        low = std::min(low, x[e]);
        high = std::max(high, x[e]);
      }
      const float step = (high - low) / 255.0f;
      const int64_t r = cache.row(kh, int64_t{position} + t);
      for (int32_t e = 0; e < e_count; ++e) cache.codes[r * e_count + e] = kv_code(x[e], low, step);
      cache.offsets[r] = low;
      cache.scales[r] = step;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Encoding table

// CUDA's documented errors: __log2f within 2^-22 absolute for x in [0.5, 2] and 2 ulps elsewhere;
// exp2f (exp2f_ulps, shared with the float references), sinf and cosf within 2 ulps.
constexpr double fast_log2_abs_error = 0x1p-22;
constexpr int fast_log2_ulps = 2;
constexpr int sincosf_ulps = 2;

// Every float the device may return for one table entry: the whole chain base -> log2 -> 2^(f lb)
// -> angle -> cosine or sine -> times scale, each library step allowed its documented error and
// each float step rounded as the device rounds it, carried as an interval.
struct encoding_entry {
  float_range cosine;
  float_range sine;
};

namespace detail {

constexpr double pi = 3.14159265358979323846;

// Range of cos (sine false) or sin (sine true) over [lo, hi].
inline void trig_range(double lo, double hi, bool sine, double* out_lo, double* out_hi) {
  if (!(hi - lo < 2.0 * pi)) {
    *out_lo = -1.0;
    *out_hi = 1.0;
    return;
  }
  const double a = sine ? std::sin(lo) : std::cos(lo);
  const double b = sine ? std::sin(hi) : std::cos(hi);
  double mn = std::min(a, b);
  double mx = std::max(a, b);
  // The extremes sit at phase + k pi: cos(k pi) = sin(pi / 2 + k pi) = (-1)^k.
  const double phase = sine ? pi / 2.0 : 0.0;
  for (double k = std::ceil((lo - phase) / pi); phase + k * pi <= hi; k += 1.0) {
    const double v = std::fmod(std::fabs(k), 2.0) == 0.0 ? 1.0 : -1.0;
    mn = std::min(mn, v);
    mx = std::max(mx, v);
  }
  *out_lo = mn;
  *out_hi = mx;
}

// CUDA counts a function's error from the correctly rounded result, so `ulps` steps of the float
// grid from the rounded ends are allowed as well as `ulps` units of the exact ends' binade.
inline float_range widen_by_ulps(double lo, double hi, int ulps, double floor_value, double ceiling_value) {
  const double slack = ulps * std::max(float_ulp(lo), float_ulp(hi));
  const float below = std::min(float_steps(static_cast<float>(lo), -ulps), float_at_least(lo - slack));
  const float above = std::max(float_steps(static_cast<float>(hi), ulps), float_at_most(hi + slack));
  return {std::max(below, float_at_least(floor_value)), std::min(above, float_at_most(ceiling_value))};
}

inline float_range times(const float_range& r, float s) {
  const float a = r.lo * s;
  const float b = r.hi * s;
  return {std::min(a, b), std::max(a, b)};
}

}  // namespace detail

inline encoding_entry encoding(int64_t t, int32_t pair, int32_t rotary_size, float base, float divisor, float scale) {
  const double lb = std::log2(static_cast<double>(base));
  const double lb_error = (base >= 0.5f && base <= 2.0f) ? fast_log2_abs_error : fast_log2_ulps * float_ulp(lb);
  const float lb_lo = float_at_least(lb - lb_error);
  const float lb_hi = float_at_most(lb + lb_error);
  const float f = static_cast<float>(2 * pair) / static_cast<float>(rotary_size);
  const float x_lo = std::min(f * lb_lo, f * lb_hi);
  const float x_hi = std::max(f * lb_lo, f * lb_hi);
  const float_range p = detail::widen_by_ulps(std::exp2(static_cast<double>(x_lo)), std::exp2(static_cast<double>(x_hi)),
                                              exp2f_ulps, 0.0, infinity);
  const float d1 = divisor * p.lo;
  const float d2 = divisor * p.hi;
  const float tf = static_cast<float>(t);
  encoding_entry out;
  if (std::min(d1, d2) <= 0.0f && std::max(d1, d2) >= 0.0f && tf != 0.0f) {
    out.cosine = detail::times({-1.0f, 1.0f}, scale);
    out.sine = out.cosine;
    return out;
  }
  const float a1 = tf / d1;
  const float a2 = tf / d2;
  const double lo = std::min(a1, a2);
  const double hi = std::max(a1, a2);
  double c_lo, c_hi, s_lo, s_hi;
  detail::trig_range(lo, hi, false, &c_lo, &c_hi);
  detail::trig_range(lo, hi, true, &s_lo, &s_hi);
  out.cosine = detail::times(detail::widen_by_ulps(c_lo, c_hi, sincosf_ulps, -1.0, 1.0), scale);
  out.sine = detail::times(detail::widen_by_ulps(s_lo, s_hi, sincosf_ulps, -1.0, 1.0), scale);
  return out;
}

// Rotary encoding of `data` (length x heads x head_size) in place, position t using table row
// t + position. Interleaved: pairs (2i, 2i + 1) for i < head_size / 2, with table entries 2i and
// 2i + 1 (past rotary_size these run on into the following table rows). Split halves: pairs
// (i, i + rotary_size / 2) for i < rotary_size / 2; floats from rotary_size on are kept.
inline void encode(std::vector<float>& data, const std::vector<float>& table, int32_t length, int32_t heads,
                   int32_t head_size, int32_t rotary_size, int32_t position, bool interleaved) {
  for (int32_t t = 0; t < length; ++t) {
    const float* cs = &table[(static_cast<size_t>(t) + position) * rotary_size];
    for (int32_t h = 0; h < heads; ++h) {
      float* x = &data[(static_cast<size_t>(t) * heads + h) * head_size];
      const int32_t pairs = interleaved ? head_size / 2 : rotary_size / 2;
      for (int32_t i = 0; i < pairs; ++i) {
        float& a = interleaved ? x[2 * i] : x[i];
        float& b = interleaved ? x[2 * i + 1] : x[i + rotary_size / 2];
        const float c = cs[2 * i];
        const float s = cs[2 * i + 1];
        const float x0 = a;
        const float x1 = b;
        const float cos_product = x0 * c;
        const float sin_product = x1 * s;
        a = cos_product - sin_product;
        b = std::fma(x0, s, x1 * c);
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Softmax-weighted sums, in double precision with a bound on the float computation's error

constexpr double unit_roundoff = 0x1p-24;

// One attention row: scores x_k (already scaled, as double) with a bound dx on each score's own
// float error, values v_k (exact floats). Returns sum_k P_k v_k and sets *bound to the largest
// difference the device's float computation may show. To first order: each probability is off by
// its score error and the largest one (through the sum), u |x_k - max| from the rounded
// subtraction before the exponential, the exponential's 2 ulps, and (n + 8) u from the sum, the
// reciprocal and the product; the weighted sum adds (n + 6) u of sum_k P_k |v_k|. The bound
// doubles that for the second-order terms.
inline double softmax_weighted(const std::vector<double>& x, const std::vector<double>& dx,
                               const std::vector<float>& v, double* bound) {
  const size_t n = x.size();
  double mx = -infinity;
  double dx_max = 0.0;
  for (size_t k = 0; k < n; ++k) {
    mx = std::max(mx, x[k]);
    dx_max = std::max(dx_max, dx[k]);
  }
  double sum = 0.0;
  std::vector<double> e(n);
  for (size_t k = 0; k < n; ++k) sum += e[k] = std::exp(x[k] - mx);
  double out = 0.0;
  double err = 0.0;
  const double count = static_cast<double>(n);
  for (size_t k = 0; k < n; ++k) {
    const double p = e[k] / sum;
    out += p * v[k];
    const double relative = dx[k] + dx_max + unit_roundoff * std::fabs(x[k] - mx) + 4.0 * unit_roundoff +
                            (2.0 * count + 14.0) * unit_roundoff;
    err += p * std::fabs(static_cast<double>(v[k])) * relative;
  }
  *bound = 2.0 * err + 1e-37;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Attention over the cache

// Output (length x heads x head_size, position-major) of `length` new queries (heads x length x
// head_size, head-major) from absolute position `position` on, against the key and value caches,
// with the bound of each element in *bounds.
inline std::vector<double> attend(const kv_cache& keys, const kv_cache& values, const std::vector<float>& query,
                                  int32_t length, int32_t position, int32_t heads, std::vector<double>* bounds) {
  const int32_t e_count = keys.head_size;
  const int32_t group = heads / keys.kv_heads;
  const float scale = 1.0f / std::sqrt(static_cast<float>(e_count));
  std::vector<double> out(static_cast<size_t>(length) * heads * e_count);
  bounds->assign(out.size(), 0.0);
  for (int32_t a = 0; a < length; ++a) {
    const int64_t p = int64_t{position} + a;
    const int64_t n = std::min<int64_t>(p + 1, keys.capacity);
    for (int32_t h = 0; h < heads; ++h) {
      const int32_t kvh = h / group;
      const float* qrow = &query[(static_cast<size_t>(h) * length + a) * e_count];
      std::vector<double> x(n), dx(n);
      for (int64_t k = 0; k < n; ++k) {
        const int64_t at = p - n + 1 + k;
        double dot = 0.0, magnitude = 0.0;
        for (int32_t e = 0; e < e_count; ++e) {
          const double term = static_cast<double>(qrow[e]) * keys.element(kvh, at, e);
          dot += term;
          magnitude += std::fabs(term);
        }
        // The dot product's fused chain and butterfly, then the product with the scale.
        x[k] = dot * scale;
        dx[k] = (e_count / 32 + 8) * unit_roundoff * magnitude * scale + unit_roundoff * std::fabs(x[k]);
      }
      for (int32_t e = 0; e < e_count; ++e) {
        std::vector<float> v(n);
        for (int64_t k = 0; k < n; ++k) v[k] = values.element(kvh, p - n + 1 + k, e);
        const size_t at = (static_cast<size_t>(a) * heads + h) * e_count + e;
        out[at] = softmax_weighted(x, dx, v, &(*bounds)[at]);
      }
    }
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Fused attention

// Sum of 32 lane values by butterflies at distances 16, 8, 4, 2, 1; lane 0's result.
inline float butterfly_sum(std::vector<float> lanes) {
  for (int d = 16; d > 0; d /= 2) {
    const std::vector<float> before = lanes;
    for (int l = 0; l < 32; ++l) lanes[l] = before[l] + before[l ^ d];
  }
  return lanes[0];
}

struct fused_result {
  std::vector<float> scores;              // heads x T x T scaled scores (exact), NaN where masked
  std::vector<double> probabilities;      // heads x T x T, NaN where masked
  std::vector<double> probability_bounds;
  std::vector<double> output;             // T x heads x E
  std::vector<double> output_bounds;
};

// Fused attention of T positions (rows of heads x E floats, E = width / heads). Scores are
// IEEE-exact in the device's order (lane l sums elements l, l + 32, ... by fused multiply-adds,
// then the butterfly), so they are repeated exactly; the softmax and the weighted sum are in
// double with their bounds. Key j is seen by query i when lookahead < 0 or j - i <= lookahead;
// the tables' row window + (j - i) is added to keys and values when |j - i| <= window.
inline fused_result fused_attention(const std::vector<float>& query, const std::vector<float>& key,
                                    const std::vector<float>& value, const std::vector<float>& relative_key,
                                    const std::vector<float>& relative_value, int32_t length, int32_t heads,
                                    int32_t width, int32_t window, int32_t lookahead) {
  const int32_t e_count = width / heads;
  const float scale = 1.0f / std::sqrt(static_cast<float>(e_count));
  const size_t tt = static_cast<size_t>(length) * length;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  fused_result r;
  r.scores.assign(static_cast<size_t>(heads) * tt, std::numeric_limits<float>::quiet_NaN());
  r.probabilities.assign(r.scores.size(), nan);
  r.probability_bounds.assign(r.scores.size(), 0.0);
  r.output.assign(static_cast<size_t>(length) * heads * e_count, 0.0);
  r.output_bounds.assign(r.output.size(), 0.0);
  auto at = [&](int32_t t, int32_t h, int32_t e) { return (static_cast<size_t>(t) * heads + h) * e_count + e; };
  auto near = [&](int32_t d) { return std::abs(d) <= window; };
  for (int32_t h = 0; h < heads; ++h) {
    for (int32_t i = 0; i < length; ++i) {
      const int32_t seen = lookahead < 0 ? length : std::min(length, i + lookahead + 1);
      std::vector<double> x(seen), dx(seen, 0.0);
      for (int32_t j = 0; j < seen; ++j) {
        std::vector<float> lanes(32, 0.0f);
        for (int32_t e = 0; e < e_count; ++e) {
          float k = key[at(j, h, e)];
          if (near(j - i)) k = k + relative_key[static_cast<size_t>(window + j - i) * e_count + e];
          lanes[e % 32] = std::fma(query[at(i, h, e)], k, lanes[e % 32]);
        }
        const float score = butterfly_sum(lanes) * scale;
        r.scores[(static_cast<size_t>(h) * length + i) * length + j] = score;
        x[j] = score;
      }
      // Probabilities: the weighted sum of a single 1 at key j.
      for (int32_t j = 0; j < seen; ++j) {
        std::vector<float> unit(seen, 0.0f);
        unit[j] = 1.0f;
        const size_t p = (static_cast<size_t>(h) * length + i) * length + j;
        r.probabilities[p] = softmax_weighted(x, dx, unit, &r.probability_bounds[p]);
      }
      for (int32_t e = 0; e < e_count; ++e) {
        std::vector<float> v(seen);
        for (int32_t j = 0; j < seen; ++j) {
          v[j] = value[at(j, h, e)] +
                 (near(j - i) ? relative_value[static_cast<size_t>(window + j - i) * e_count + e] : 0.0f);
        }
        r.output[at(i, h, e)] = softmax_weighted(x, dx, v, &r.output_bounds[at(i, h, e)]);
      }
    }
  }
  return r;
}

}  // namespace ref
