// Packed views of plain arrays used as kernel parameter types. Component k of vector i is array
// element 4i + k; the packed pair holds element 2i in its low half and 2i + 1 in its high half.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

namespace kr {

// Four signed 16-bit values read as two 32-bit words: 8 bytes, 4-byte alignment.
struct short2x2 {
  short2 lo;
  short2 hi;
};

// Two signed 16-bit values in one 32-bit word.
using packed_pair = uint32_t;

__device__ __forceinline__ int32_t pair_low(packed_pair w) {
  return static_cast<int16_t>(static_cast<uint16_t>(w & 0xFFFFu));
}
__device__ __forceinline__ int32_t pair_high(packed_pair w) {
  return static_cast<int16_t>(static_cast<uint16_t>(w >> 16));
}
__device__ __forceinline__ packed_pair make_pair16(int32_t low, int32_t high) {
  return (static_cast<uint32_t>(low) & 0xFFFFu) | (static_cast<uint32_t>(high) << 16);
}

}  // namespace kr
