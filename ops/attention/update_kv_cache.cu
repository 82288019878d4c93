// Key/value cache update: quantises new rows to 8-bit codes with a per-row offset and step and
// stores them in the ring-buffer cache.
#include "ops/attention/formats.cuh"
#include "ops/attention/warp_lanes.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int rows_per_block = 8;
constexpr int max_lanes = 32;
constexpr int staged = 4;  // elements of its next row each lane loads ahead: a row of 128 at 32 lanes

// block x: rows x * 8 + y, stepping by grid x * 8; thread x: elements x, x + v, ... of the row
// (v = blockDim.x lanes per row); thread y: one row.
// Every thread of a block runs the same number of row steps, so each warp's lanes all reach the
// shuffles together; a lane whose row is past the end takes part with neutral values.
// With a power-of-two lane count the row's minimum and maximum are combined by butterflies within
// the row's v lanes. Any other lane count is a head size below 32, where each lane holds one
// element: a butterfly over v lanes would then reach into the neighbouring row's lanes, so every
// lane folds the whole (short) row itself instead. Both give the row's exact minimum and maximum.
// Row r is new position t = r div kv_heads of head kh = r mod kv_heads, in slot (position + t) mod
// B; (t, kh) and the slot are carried from step to step by additions, so the row loop divides
// nothing. Each lane loads the first `staged` elements of its part of its next row one step ahead,
// before the reductions of the row before it, and encodes them from registers; the minimum and
// maximum still fold every element in the order given above.
__global__ void __launch_bounds__(max_lanes * rows_per_block)
    update_kv_kernel(int32_t kv_heads, int32_t length, int32_t head_size, const float* input, uint8_t* cache,
                     float* offsets, float* scales, int32_t capacity, int32_t position) {
  const uint32_t v = blockDim.x;
  const uint32_t lane = threadIdx.x;
  const bool power_of_two = (v & (v - 1)) == 0;
  const unsigned int mask = kr::attention::warp_lanes_mask();
  const int64_t rows = static_cast<int64_t>(length) * kv_heads;
  if (rows <= 0) return;  // every thread of the grid alike
  // The block is launched only for head_size >= 1, and kv_heads, capacity >= 1 by the entry.
  const uint32_t e_count = static_cast<uint32_t>(head_size);
  const uint32_t heads = static_cast<uint32_t>(kv_heads);
  const uint32_t b = static_cast<uint32_t>(capacity);
  // rows <= B x kv_heads < 2^62, and a stride of grid x * 8 < 2^35: both steps fit in 64 bits;
  // the step in t is reduced mod B for the slot.
  const int64_t stride = static_cast<int64_t>(gridDim.x) * rows_per_block;
  const int64_t step_t = stride / heads;
  const uint32_t step_kh = static_cast<uint32_t>(stride % heads);
  const uint32_t step_slot = static_cast<uint32_t>(step_t % b);
  int64_t first = static_cast<int64_t>(blockIdx.x) * rows_per_block;
  const int64_t r0 = first + threadIdx.y;
  // t < length <= B < 2^31 while the row exists; t + position < 2^32 is the exact absolute
  // position, and its slot below B < 2^31 stays below 2^32 after adding a step below B and 1.
  uint32_t kh = static_cast<uint32_t>(r0 % heads);
  uint32_t slot = static_cast<uint32_t>((static_cast<uint64_t>(r0 / heads) + static_cast<uint32_t>(position)) % b);
  const uint32_t begin = power_of_two ? lane : 0;
  const uint32_t step = power_of_two ? v : 1;

  // Elements begin + i x step (i < staged) of a row: the lane's first ones in both passes when v
  // is a power of two (begin = lane, step = v), and the row's first ones otherwise.
  float ahead[staged];
  const auto fetch = [&](bool exists, const float* row) {
#pragma unroll
    for (int i = 0; i < staged; ++i) {
      const uint32_t e = begin + static_cast<uint32_t>(i) * step;
      ahead[i] = exists && e < e_count ? row[e] : 0.0f;
    }
  };
  bool active = r0 < rows;
  const float* source = input + static_cast<uint64_t>(active ? r0 : 0) * e_count;
  fetch(active, source);
  for (; first < rows; first += stride) {
    const bool row_active = active;
    const float* row_source = source;
    const uint32_t row_kh = kh;
    const uint32_t row_slot = slot;
    float held[staged];
#pragma unroll
    for (int i = 0; i < staged; ++i) held[i] = ahead[i];
    // The next row of this thread.
    const int64_t next = first + stride + threadIdx.y;
    active = next < rows;
    kh += step_kh;
    slot += step_slot;
    if (kh >= heads) {
      kh -= heads;
      slot += 1;
    }
    if (slot >= b) slot -= b;
    if (active) source = input + static_cast<uint64_t>(next) * e_count;
    fetch(active, source);

    float low = INFINITY;
    float high = -INFINITY;
    if (row_active) {
      low = high = held[0];
#pragma unroll
      for (int i = 1; i < staged; ++i) {
        if (begin + static_cast<uint32_t>(i) * step < e_count) {
          low = fminf(low, held[i]);
          high = fmaxf(high, held[i]);
        }
      }
      for (uint32_t e = begin + staged * step; e < e_count; e += step) {
        low = fminf(low, row_source[e]);
        high = fmaxf(high, row_source[e]);
      }
    }
    if (power_of_two) {
      for (uint32_t d = v / 2; d > 0; d /= 2) {
        low = fminf(low, __shfl_xor_sync(mask, low, static_cast<int>(d), static_cast<int>(v)));
        high = fmaxf(high, __shfl_xor_sync(mask, high, static_cast<int>(d), static_cast<int>(v)));
      }
      low = __shfl_sync(mask, low, 0, static_cast<int>(v));
      high = __shfl_sync(mask, high, 0, static_cast<int>(v));
    }
    if (!row_active) continue;

    // 255 steps span the row, so codes 0 and 255 land on its minimum and maximum.
    const float row_step = (high - low) / 255.0f;
    const uint64_t row = static_cast<uint64_t>(row_kh) * b + row_slot;
    uint8_t* codes = cache + row * e_count;
    uint32_t e = lane;
    if (power_of_two) {
#pragma unroll
      for (int i = 0; i < staged; ++i) {
        if (e < e_count) codes[e] = kr::attention::kv_encode(held[i], low, row_step);
        e += v;
      }
    }
    for (; e < e_count; e += v) codes[e] = kr::attention::kv_encode(row_source[e], low, row_step);
    if (lane == 0) {
      offsets[row] = low;
      scales[row] = row_step;
    }
  }
}

}  // namespace

// key/value cache update
KR_OMU_EXPORT kr_status_t taabe186(kr_omu_device* device, kr_omu_operator*, kr_omu_op_update_kv_args_t* args) {
  uint8_t* cache = nullptr;
  float* scales = nullptr;
  float* offsets = nullptr;
  const float* input = nullptr;
  if (args == nullptr || !kr::resolve(args->cache, 0, &cache) || !kr::resolve(args->scales, 0, &scales) ||
      !kr::resolve(args->offsets, 0, &offsets) || !kr::resolve(args->input, 0, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // The grid is one block per multiprocessor. Head and slot counts are divisors in the kernel;
  // more rows than slots would have two rows of one call race for a slot; a negative position
  // would address slots before the cache; a negative head size would become a huge block.
  if (device == nullptr || device->properties == nullptr || args->kv_heads <= 0 || args->capacity <= 0 ||
      args->length > args->capacity || args->position < 0 || args->head_size < 0) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // A head size of 0 gives an empty block, which the runtime refuses.
  const int32_t lanes = args->head_size < max_lanes ? args->head_size : max_lanes;
  const cudaError_t launched = kr::launch_kernel(
      update_kv_kernel, dim3(static_cast<unsigned int>(device->properties->multiprocessor_count)),
      dim3(static_cast<unsigned int>(lanes), rows_per_block), args->kv_heads, args->length, args->head_size, input,
      cache, offsets, scales, args->capacity, args->position);
  return kr::finish_launch(launched, kernel_failure);
}
