// Warp reductions by butterfly exchange over `width` lanes (a power of two up to 32).
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

namespace kr {

constexpr unsigned int full_warp_mask = 0xFFFFFFFFu;

template <int width = 32, typename T>
__device__ __forceinline__ T warp_reduce_sum(T v) {
  for (int d = width / 2; d > 0; d /= 2) v += __shfl_xor_sync(full_warp_mask, v, d, width);
  return v;
}

template <int width = 32, typename T>
__device__ __forceinline__ T warp_reduce_max(T v) {
  for (int d = width / 2; d > 0; d /= 2) v = max(v, __shfl_xor_sync(full_warp_mask, v, d, width));
  return v;
}

}  // namespace kr
