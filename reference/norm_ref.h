// Plain host references of the normalisation, gate and 16-bit fused operators, written from their
// formulas. Float sums follow the stated orders (column order, or the per-thread columns and the
// butterfly trees of a 512-thread block), so they are reproduced exactly; the fast reciprocal
// square root is allowed its documented 2 ulp, and the later float steps, all monotone in it, are
// applied to both ends of that range.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "reference/broadcast_ref.h"
#include "reference/fixed_point_ref.h"
#include "reference/float_ref.h"

namespace ref {

constexpr int rsqrtf_ulps = 2;

// Butterfly all-reduce over 32 values: at distances 16, 8, 4, 2, 1 each value becomes the sum of
// itself and its partner; all 32 end equal.
inline float butterfly_sum(std::vector<float> v) {
  for (int d = 16; d > 0; d /= 2) {
    std::vector<float> next(32);
    for (int l = 0; l < 32; ++l) next[l] = v[l] + v[l ^ d];
    v = next;
  }
  return v[0];
}

// Sum of f(x) over a row as a block of `threads` threads computes it: thread t adds columns t,
// t + threads, ... in order from 0, each warp reduces by butterflies, and the 32 slots (warp totals,
// zero for absent warps) are reduced by butterflies again.
template <typename F>
float block_tree_sum(const float* x, int32_t n, int threads, F f) {
  std::vector<float> partial(threads, 0.0f);
  for (int t = 0; t < threads; ++t) {
    for (int32_t j = t; j < n; j += threads) partial[t] = f(partial[t], x[j]);
  }
  std::vector<float> slots(32, 0.0f);
  for (int w = 0; w < threads / 32; ++w) {
    slots[w] = butterfly_sum(std::vector<float>(partial.begin() + 32 * w, partial.begin() + 32 * w + 32));
  }
  return butterfly_sum(slots);
}

inline float add(float s, float x) { return s + x; }
inline float add_square(float s, float x) { return std::fma(x, x, s); }

// The floats rsqrtf may return for v.
inline float_range rsqrt_range(float v) {
  if (v < 0.0f || std::isnan(v)) return {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN()};
  if (v == 0.0f) return exactly(std::numeric_limits<float>::infinity());
  if (std::isinf(v)) return exactly(0.0f);
  return library_result(1.0 / std::sqrt(static_cast<double>(v)), v, rsqrtf_ulps, 0.0, infinity);
}

// Applies `out(rstd)` to both ends of the rsqrtf range.
template <typename F>
float_range through(const float_range& rstd, F out) {
  const float a = out(rstd.lo), b = out(rstd.hi);
  if (std::isnan(a) || std::isnan(b)) return {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::quiet_NaN()};
  return {std::min(a, b), std::max(a, b)};
}

// Float layer normalisation of one row (512-thread tree sums).
inline std::vector<float_range> layer_norm_row(const float* x, int32_t n, const float* gamma, const float* beta,
                                               float epsilon) {
  const float sum = block_tree_sum(x, n, 512, add);
  const float sumsq = block_tree_sum(x, n, 512, add_square);
  const float mean = sum / static_cast<float>(n);
  const float meansq = sumsq / static_cast<float>(n);
  const float var = meansq - mean * mean;
  const float_range rstd = rsqrt_range(var + epsilon);
  std::vector<float_range> out;
  for (int32_t c = 0; c < n; ++c) {
    out.push_back(through(rstd, [&](float r) { return std::fma(gamma[c], r * (x[c] - mean), beta[c]); }));
  }
  return out;
}

// Root-mean-square normalisation of one row.
inline std::vector<float_range> rms_norm_row(const float* x, int32_t n, const float* gamma, float epsilon) {
  const float ms = block_tree_sum(x, n, 512, add_square) / static_cast<float>(n);
  const float_range rstd = rsqrt_range(ms + epsilon);
  std::vector<float_range> out;
  for (int32_t c = 0; c < n; ++c) out.push_back(through(rstd, [&](float r) { return (r * x[c]) * gamma[c]; }));
  return out;
}

// Layer normalisation with Q7 gamma and beta: column-order sums, correctly rounded reciprocal and
// square root, so the result is exact.
inline std::vector<float> layer_norm_q7_row(const float* x, int32_t n, const int8_t* gamma, const int8_t* beta,
                                            float epsilon) {
  float sum = 0.0f, sumsq = 0.0f;
  for (int32_t c = 0; c < n; ++c) {
    sum = sum + x[c];
    sumsq = std::fma(x[c], x[c], sumsq);
  }
  const float inv = 1.0f / static_cast<float>(n);
  const float mean = inv * sum;
  const float var = inv * sumsq - mean * mean;
  const float rstd = 1.0f / std::sqrt(var + epsilon);
  std::vector<float> out;
  for (int32_t c = 0; c < n; ++c) {
    const float factor = 1.0f + static_cast<float>(gamma[c]) / 128.0f;  // exact
    out.push_back(std::fma(static_cast<float>(beta[c]), 1.0f / 128.0f, (rstd * (x[c] - mean)) * factor));
  }
  return out;
}

// The top_k (column, score) pairs of a row as the literal descending bubble sort leaves them.
inline std::vector<std::pair<int32_t, float>> bubble_top(const float* scores, int32_t n, int32_t top_k) {
  std::vector<std::pair<int32_t, float>> pairs;
  for (int32_t j = 0; j < n; ++j) pairs.emplace_back(j, scores[j]);
  for (int32_t p = 0; p + 2 <= n; ++p) {
    for (int32_t j = 0; j <= n - 2 - p; ++j) {
      if (pairs[j].second < pairs[j + 1].second) std::swap(pairs[j], pairs[j + 1]);
    }
  }
  pairs.resize(static_cast<size_t>(std::max(top_k, 0)));
  return pairs;
}

// Gate weights of the selected scores: e = expf(s - max) within 2 ulp, a left-to-right float sum
// of k terms, one division each. NaN everywhere when a NaN or an infinite maximum is involved.
inline std::vector<bounded> gate_weights(const std::vector<std::pair<int32_t, float>>& top) {
  std::vector<float> selected;
  for (const auto& p : top) selected.push_back(p.second);
  std::vector<bounded> out = softmax_row(selected);
  const double relative = (2.0 + 2.0 + static_cast<double>(top.size()) * 0.5 + 0.5) * float_epsilon;
  for (bounded& b : out) {
    if (!std::isnan(b.value)) b.tolerance = b.value * relative + 4.0 * std::ldexp(1.0, -149);
  }
  return out;
}

// 16-bit gated cell update of one cell: {new cell, output, tanh of the new cell, candidate, output
// gate}.
struct cell_result {
  int32_t cell, output, g0, g1, g2;
};
inline cell_result cell_update(int32_t x0, int32_t x1, int32_t x2, int32_t c) {
  const int64_t a = sigmoid(x0), g = tanh_q(x1), o = sigmoid(x2);
  const int64_t forget = 32767 - a;
  const int32_t c_new = sat16(round_shift(g * a, 20) + round_shift(forget * c, 15));
  const int32_t tc = tanh_q(c_new);
  const int32_t h = sat16(sat32(round_shift(static_cast<int64_t>(tc) * o, 20)));
  return {c_new, h, tc, static_cast<int32_t>(g), static_cast<int32_t>(o)};
}

// (x - mean) scale / 1024 rounded toward minus infinity, saturated.
inline int32_t standardize(int32_t x, int32_t mean, int32_t scale) {
  return sat16(floor_shift(static_cast<int64_t>(x - mean) * scale, 10));
}

}  // namespace ref
