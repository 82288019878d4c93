// Shuffle mask of the attention kernels whose blocks may be smaller than a warp.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

namespace kr {
namespace attention {

// Lanes of the calling thread's warp that exist in a block of blockDim threads: all 32 except in a
// block smaller than a warp. Every existing lane of a warp calls the shuffles of the kernels that
// use this mask, with the same mask.
__device__ __forceinline__ unsigned int warp_lanes_mask() {
  const uint32_t threads = blockDim.x * blockDim.y * blockDim.z;
  const uint32_t linear = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
  const uint32_t lanes = threads - (linear & ~31u);
  return lanes >= 32u ? 0xFFFFFFFFu : (1u << lanes) - 1u;
}

}  // namespace attention
}  // namespace kr
