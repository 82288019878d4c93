// Fixed-point formats and device primitives shared by the kernel modules.
//
// Qn: a signed integer v standing for v / 2^n. Activations are Q10 in 16 bits, gates Q15, weights
// Q7 in 8 bits, accumulators Q17 in 32 bits, probabilities Q31.
//
// The primitives use only integer adds, multiplies, shifts, masks and at most two constant-table
// reads, so every thread evaluates them branch-free.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

#include "numerics/tables.cuh"

namespace kr {

__device__ __forceinline__ int32_t clamp_i32(int32_t v, int32_t lo, int32_t hi) { return min(max(v, lo), hi); }

// Saturates to the signed 16-bit range.
__device__ __forceinline__ int32_t saturate16(int32_t v) { return clamp_i32(v, -32768, 32767); }

// Saturates a 64-bit value to the signed 32-bit range.
__device__ __forceinline__ int32_t saturate32(int64_t v) {
  return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : v));
}

// Fixed-point sigmoid: Q10 in, Q15 out (11 to 32755). Linear interpolation between table entries
// 1/16 apart; the weight is the low 6 bits of the input. The upper clamp is 127 x 64 so that the
// interpolation never runs from t = 7.9375 into the entry for t = -8.
__device__ __forceinline__ int32_t fixed_sigmoid(int32_t q) {
  q = clamp_i32(q, -8192, 8128);
  const uint32_t u = static_cast<uint32_t>(q) & 0x3FFFu;
  const int32_t f = static_cast<int32_t>(u & 63u);
  const int32_t a = KR_SIGMOID_TABLE[u >> 6];
  const int32_t b = KR_SIGMOID_TABLE[(u + 63u) >> 6];  // entry i + 1, or entry i when f is 0
  return ((64 - f) * a + f * b) >> 6;
}

// Fixed-point tanh from tanh(x) = 2 sigmoid(2x) - 1: Q10 in, Q15 out (-32746 to 32742).
__device__ __forceinline__ int32_t fixed_tanh(int32_t q) {
  const int32_t s = fixed_sigmoid(saturate16(2 * q));
  return saturate16(2 * s - 32768);
}

// Fixed-point exponential of a non-positive Q10 difference d: e^(d/1024) in Q31. The argument is
// split into a 7-bit coarse index (steps of 1/8) and a 7-bit fine index (steps of 1/1024);
// differences below -16383/1024 are treated as that value. A positive d (never passed) is treated
// as 0 so that the table index cannot leave the table.
__device__ __forceinline__ int32_t fixed_exp(int32_t d) {
  int32_t a = d == -32768 ? 32767 : -d;
  a = clamp_i32(a, 0, 16383);
  const int64_t product = static_cast<int64_t>(KR_EXP_MSB_TABLE[a >> 7]) *
                              static_cast<int64_t>(KR_EXP_LSB_TABLE[a & 127]) +
                          (int64_t{1} << 30);
  return saturate32(product >> 31);
}

// Saturating Q10 conversion of a float: x * 1024 truncated towards zero, saturated to 16 bits;
// NaN converts to 0.
__device__ __forceinline__ int32_t float_to_q10(float x) {
  const float y = x * 1024.0f;
  if (y >= 32767.0f) return 32767;
  if (y <= -32768.0f) return -32768;
  if (y != y) return 0;
  return static_cast<int32_t>(y);
}

// Q10 and Q7 to float: exact scalings.
__device__ __forceinline__ float q10_to_float(int32_t v) { return static_cast<float>(v) * 0.0009765625f; }
__device__ __forceinline__ float q7_to_float(int32_t v) { return static_cast<float>(v) * 0.0078125f; }

// Q17 accumulator to Q10: rounding shift by 7 with ties up, saturated; formed in 64 bits so that
// the rounding addition cannot wrap.
__device__ __forceinline__ int32_t q17_to_q10(int32_t v) {
  return saturate16(static_cast<int32_t>((static_cast<int64_t>(v) + 64) >> 7));
}

}  // namespace kr
