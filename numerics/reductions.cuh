// Warp reductions by butterfly exchange over `width` lanes (a power of two up to 32), and the
// block-wide reductions built on them.
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

// Operations of the block reductions. Each combines two values symmetrically, so both lanes of a
// butterfly pair hold the same result.
struct sum_op {
  template <int width, typename T>
  static __device__ __forceinline__ T warp(T v) {
    return warp_reduce_sum<width>(v);
  }
};
struct max_op {
  template <int width, typename T>
  static __device__ __forceinline__ T warp(T v) {
    return warp_reduce_max<width>(v);
  }
};
// Float maximum that ignores a NaN operand (the other one is returned).
struct fmax_op {
  template <int width>
  static __device__ __forceinline__ float warp(float v) {
    for (int d = width / 2; d > 0; d /= 2) v = fmaxf(v, __shfl_xor_sync(full_warp_mask, v, d, width));
    return v;
  }
};

// Block-wide reduction of a block of `block_threads` threads (a multiple of 32, at most 1024;
// one-dimensional, or two-dimensional with 32 threads in x, so that each warp is one row) that
// hands every thread the block's result. Two stages: butterflies at distances 16
// to 1 within each warp, one shared slot per warp, then warp 0 combines the slots by butterflies
// within groups of (block_threads / 32) lanes, so that lane 0 holds the result. Lanes at and past
// the warp count never reach lane 0; they start from the identity instead of reading slots no warp
// wrote. Lane 0 publishes the result in slot 0.
//
// The reduction owns its slots (one array per operation, value type and block size) and its
// barriers: the first orders the warp stores before warp 0 reads them, the second orders the
// published result before everyone reads it, and the third keeps a later call from overwriting
// the slots while slower threads still read the result.
template <typename Op, int block_threads, typename T>
__device__ __forceinline__ T block_reduce(T value, T identity) {
  static_assert(block_threads % 32 == 0 && block_threads >= 64 && block_threads <= 1024, "whole warps");
  constexpr int block_warps = block_threads / 32;
  __shared__ T slots[32];
  const int thread = static_cast<int>(threadIdx.y * blockDim.x + threadIdx.x);
  const int lane = thread & 31;
  const int warp = thread >> 5;
  value = Op::template warp<32>(value);
  if (lane == 0) slots[warp] = value;
  __syncthreads();
  if (warp == 0) {
    const T v = Op::template warp<block_warps>(lane < block_warps ? slots[lane] : identity);
    if (lane == 0) slots[0] = v;
  }
  __syncthreads();
  const T result = slots[0];
  __syncthreads();
  return result;
}

// A pair of float sums reduced together. Aligned as one 8-byte word, so that a slot is stored and
// loaded in one access: 32 lanes' slots then take two conflict-free phases, where two 4-byte
// accesses 8 bytes apart would meet a second lane in every bank.
struct alignas(8) float_pair {
  float a;
  float b;
};

__device__ __forceinline__ float warp_sum_all(float v) { return warp_reduce_sum<32>(v); }
__device__ __forceinline__ float_pair warp_sum_all(float_pair v) {
  v.a = warp_reduce_sum<32>(v.a);
  v.b = warp_reduce_sum<32>(v.b);
  return v;
}

// Block-wide float sum (of one float or a pair) in which every thread combines the 32 slots
// itself: threads 0 to 31 clear the slots and the block meets at a barrier; `accumulate` returns
// the thread's own value; a barrier; butterflies at distances 16 to 1 within each warp; lane 0 of
// warp w stores slot w; a barrier; then every thread loads slot (t mod 32) and repeats the
// butterflies. Slots of absent warps keep the zero of the clear, so every warp arrives at the same
// total, and every lane of a warp holds it. With one warp the slot stage is skipped.
// The slots are read after the last barrier, so a kernel calls this once.
template <int block_threads, typename T, typename Accumulate>
__device__ __forceinline__ T block_all_sum(Accumulate accumulate) {
  static_assert(block_threads % 32 == 0 && block_threads <= 1024, "whole warps");
  __shared__ T slots[32];
  const int t = static_cast<int>(threadIdx.x);
  if (t < 32) slots[t] = T{};
  __syncthreads();
  T v = accumulate();
  __syncthreads();
  v = warp_sum_all(v);
  if (block_threads > 32) {
    if ((t & 31) == 0) slots[t >> 5] = v;
    __syncthreads();
    v = warp_sum_all(slots[t & 31]);
  }
  return v;
}

}  // namespace kr
