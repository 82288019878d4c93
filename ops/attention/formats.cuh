// The two storage formats the attention entries share.
//
// Quantised key/value cache (one for keys, one for values, same shape):
//   codes             uint8,   kv_heads x capacity x head_size, row-major; a row is one position of
//                              one key/value head;
//   offsets, scales   float32, kv_heads x capacity, one pair per row;
//   element value   = scale x code + offset, rounded once (a fused multiply-add).
// The cache is a ring buffer over absolute positions: position p of key/value head kh lives in row
// kh x capacity + (p mod capacity). A query at position p sees the n = min(p + 1, capacity) newest
// positions p - n + 1 ... p; key k (k = 0 the oldest visible one) is position p - n + 1 + k.
// Query head h reads key/value head h / (heads / kv_heads).
//
// Encoding table: float32, one row of rotary_size floats per absolute position; entries 2i and
// 2i + 1 of row t are the cosine and the sine of the i-th frequency's angle at t, both already
// multiplied by the table's scale.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

namespace kr {
namespace attention {

// Row of absolute position `position` (>= 0) of key/value head `kv_head` in a cache of
// `capacity` (> 0) slots per head. 64-bit, so that row x head_size never overflows.
__host__ __device__ __forceinline__ int64_t kv_row(int32_t kv_head, int64_t position, int32_t capacity) {
  return static_cast<int64_t>(kv_head) * capacity + position % capacity;
}

// Number of positions a query at `position` sees.
__host__ __device__ __forceinline__ int64_t kv_visible(int64_t position, int32_t capacity) {
  return position + 1 < capacity ? position + 1 : static_cast<int64_t>(capacity);
}

// Key/value head read by query head `head`; heads is a positive multiple of kv_heads.
__host__ __device__ __forceinline__ int32_t kv_head_of(int32_t head, int32_t heads, int32_t kv_heads) {
  return head / (heads / kv_heads);
}

// One cache element.
__device__ __forceinline__ float kv_decode(float scale, uint8_t code, float offset) {
  return __fmaf_rn(scale, static_cast<float>(code), offset);
}

// The code of x in a row of minimum `low` and step `step`: (x - low) / step rounded to the nearest
// integer, halves away from zero. The quotient is not a number when the row is constant (0 / 0);
// that and anything below 0 give code 0, and anything above 255 gives 255, so the conversion never
// leaves the code range.
__device__ __forceinline__ uint8_t kv_encode(float x, float low, float step) {
  const float q = roundf((x - low) / step);
  if (!(q > 0.0f)) return 0;
  if (q > 255.0f) return 255;
  return static_cast<uint8_t>(q);
}

// Index of the cosine of frequency `pair` in table row `row`; the sine follows it.
__host__ __device__ __forceinline__ int64_t encoding_index(int64_t row, int32_t rotary_size, int32_t pair) {
  return row * rotary_size + 2 * static_cast<int64_t>(pair);
}

}  // namespace attention
}  // namespace kr
