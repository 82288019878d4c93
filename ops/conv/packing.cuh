// Operand packing for the two-way 16-bit by 8-bit dot product: __dp2a_lo(a, b, c) adds the low
// half of a times byte 0 of b and the high half of a times byte 1 of b to c, wrapping at 32 bits.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

namespace kr {

__device__ __forceinline__ int pack_halves(int16_t low, int16_t high) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint16_t>(low)) |
                          (static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16));
}

__device__ __forceinline__ int pack_bytes(int8_t b0, int8_t b1) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint8_t>(b0)) |
                          (static_cast<uint32_t>(static_cast<uint8_t>(b1)) << 8));
}

// c + x0 w0 + x1 w1, wrapping at 32 bits.
__device__ __forceinline__ int32_t dot2(int16_t x0, int16_t x1, int8_t w0, int8_t w1, int32_t c) {
  return __dp2a_lo(pack_halves(x0, x1), pack_bytes(w0, w1), c);
}

// c + x w, wrapping at 32 bits (the product itself is exact).
__device__ __forceinline__ int32_t add_product(int32_t c, int16_t x, int8_t w) {
  return static_cast<int32_t>(static_cast<uint32_t>(c) + static_cast<uint32_t>(int32_t{x} * int32_t{w}));
}

}  // namespace kr
