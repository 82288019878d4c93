// Float building blocks that several kernels share.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

namespace kr {

// e^a split as p x scale, by the same steps as the device library's expf: k = a x log2(e) rounded
// down and clamped to [-126, 126] (computed with a round-down fused multiply-add onto 1.5 x 2^23 so
// that k lands in the low mantissa bits), f = a x log2(e) - k with log2(e) carried in two parts,
// p = 2^f, and scale = 2^k built directly in the exponent field. expf(a) is p x scale; callers
// that need e^a + c fuse that last multiplication with their addition.
struct exp_split {
  float p;
  float scale;
};

__device__ __forceinline__ exp_split exp_parts(float a) {
  const float log2e_hi = __int_as_float(0x3FB8AA3B);  // 1.44269502
  const float log2e_lo = __int_as_float(0x32A57060);  // 1.92596299e-08
  const float shifter = __int_as_float(0x4B400000);   // 1.5 x 2^23
  const float t = __saturatef(__fmaf_rn(a, log2e_hi / 252.0f, 0.5f));
  const float j = __fmaf_rd(t, 252.0f, (shifter - 126.0f) + 127.0f);  // 1.5 x 2^23 + 1 + floor(252 t)
  const float k = j - (shifter + 127.0f);                               // -126..126
  float f = __fmaf_rn(a, log2e_hi, -k);
  f = __fmaf_rn(a, log2e_lo, f);
  exp_split s;
  s.p = exp2f(f);
  s.scale = __int_as_float(static_cast<int32_t>(static_cast<uint32_t>(__float_as_int(j)) << 23));
  return s;
}

}  // namespace kr
