// Key/value cache update: quantises new rows to 8-bit codes with a per-row offset and step and
// stores them in the ring-buffer cache.
#include "ops/attention/formats.cuh"
#include "ops/attention/warp_lanes.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int rows_per_block = 8;
constexpr int max_lanes = 32;

// block x: rows x * 8 + y, stepping by grid x * 8; thread x: elements x, x + v, ... of the row
// (v = blockDim.x lanes per row); thread y: one row.
// Every thread of a block runs the same number of row steps, so each warp's lanes all reach the
// shuffles together; a lane whose row is past the end takes part with neutral values.
// With a power-of-two lane count the row's minimum and maximum are combined by butterflies within
// the row's v lanes. Any other lane count is a head size below 32, where each lane holds one
// element: a butterfly over v lanes would then reach into the neighbouring row's lanes, so every
// lane folds the whole (short) row itself instead. Both give the row's exact minimum and maximum.
__global__ void __launch_bounds__(max_lanes * rows_per_block)
    update_kv_kernel(int32_t kv_heads, int32_t length, int32_t head_size, const float* input, uint8_t* cache,
                     float* offsets, float* scales, int32_t capacity, int32_t position) {
  const int32_t v = static_cast<int32_t>(blockDim.x);
  const int32_t lane = static_cast<int32_t>(threadIdx.x);
  const bool power_of_two = (v & (v - 1)) == 0;
  const unsigned int mask = kr::attention::warp_lanes_mask();
  const int64_t rows = static_cast<int64_t>(length) * kv_heads;
  const int64_t stride = static_cast<int64_t>(gridDim.x) * rows_per_block;
  for (int64_t first = static_cast<int64_t>(blockIdx.x) * rows_per_block; first < rows; first += stride) {
    const int64_t r = first + threadIdx.y;
    const bool active = r < rows;
    const float* source = input + (active ? r : 0) * head_size;

    float low = INFINITY;
    float high = -INFINITY;
    if (active) {
      const int32_t begin = power_of_two ? lane : 0;
      const int32_t step = power_of_two ? v : 1;
      low = high = source[begin];
      for (int32_t e = begin + step; e < head_size; e += step) {
        low = fminf(low, source[e]);
        high = fmaxf(high, source[e]);
      }
    }
    if (power_of_two) {
      for (int32_t d = v / 2; d > 0; d /= 2) {
        low = fminf(low, __shfl_xor_sync(mask, low, d, v));
        high = fmaxf(high, __shfl_xor_sync(mask, high, d, v));
      }
      low = __shfl_sync(mask, low, 0, v);
      high = __shfl_sync(mask, high, 0, v);
    }
    if (!active) continue;

    // 255 steps span the row, so codes 0 and 255 land on its minimum and maximum.
    const float step = (high - low) / 255.0f;
    const int32_t t = static_cast<int32_t>(r / kv_heads);
    const int32_t kh = static_cast<int32_t>(r % kv_heads);
    // t + position < 2^32, so the unsigned sum is the exact absolute position.
    const uint32_t absolute = static_cast<uint32_t>(t) + static_cast<uint32_t>(position);
    const int64_t row = kr::attention::kv_row(kh, absolute, capacity);
    uint8_t* codes = cache + row * head_size;
    for (int32_t e = lane; e < head_size; e += v) codes[e] = kr::attention::kv_encode(source[e], low, step);
    if (lane == 0) {
      offsets[row] = low;
      scales[row] = step;
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
