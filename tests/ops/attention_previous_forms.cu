// Test-only module: the attend and cache-update kernels and launches in the form they had before
// their index arithmetic was reworked (64-bit divisions per item, no loads ahead). The suite runs
// both forms on the same inputs and requires identical bits, for as long as the rework is fresh.
#include "numerics/reductions.cuh"
#include "ops/attention/formats.cuh"
#include "ops/attention/warp_lanes.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

namespace attend_form {

constexpr int chunk_queries = 128;  // queries per round of the three kernels
constexpr int score_warps = 16;
constexpr int softmax_threads = 512;
constexpr int softmax_warps = softmax_threads / 32;
constexpr int max_sum_threads = 512;

// Queries see the n newest positions p - n + 1 ... p of the cache; the first of them is key 0.
struct visible_keys {
  int64_t position;  // absolute position of the query
  int64_t count;     // n
  int64_t oldest;    // absolute position of key 0
};

__device__ __forceinline__ visible_keys keys_for(int32_t position, int32_t off, int32_t capacity) {
  visible_keys v;
  v.position = static_cast<int64_t>(position) + off + blockIdx.y;
  v.count = kr::attention::kv_visible(v.position, capacity);
  v.oldest = v.position - v.count + 1;
  return v;
}

// block x: items x * 16 + warp, stepping by grid x * 16, an item being (head, key); block y: one
// query of the chunk; warp: one item; lane: elements lane, lane + 32, ... of the dot product.
// The raw dot products go to the scratch rows; the softmax scales them.
__global__ void __launch_bounds__(32 * score_warps)
    attend_score_kernel(const float* query, const uint8_t* key_codes, const float* key_offsets,
                        const float* key_scales, int32_t length, int32_t head_size, int32_t heads, int32_t kv_heads,
                        int32_t capacity, int32_t g, float scale, int32_t off, int32_t position, float* scratch) {
  (void)scale;
  const int32_t lane = static_cast<int32_t>(threadIdx.x);
  const int32_t q = static_cast<int32_t>(blockIdx.y);
  const int32_t a = off + q;
  const visible_keys keys = keys_for(position, off, capacity);
  const int64_t items = keys.count * heads;
  const int64_t stride = static_cast<int64_t>(gridDim.x) * score_warps;
  for (int64_t item = static_cast<int64_t>(blockIdx.x) * score_warps + threadIdx.y; item < items; item += stride) {
    const int32_t h = static_cast<int32_t>(item / keys.count);
    const int64_t k = item % keys.count;
    const int64_t row =
        kr::attention::kv_row(kr::attention::kv_head_of(h, heads, kv_heads), keys.oldest + k, capacity);
    const uint8_t* codes = key_codes + row * head_size;
    const float key_scale = key_scales[row];
    const float key_offset = key_offsets[row];
    const float* x = query + (static_cast<int64_t>(h) * length + a) * head_size;
    float partial = 0.0f;
    for (int32_t e = lane; e < head_size; e += 32) {
      partial = __fmaf_rn(x[e], kr::attention::kv_decode(key_scale, codes[e], key_offset), partial);
    }
    const float sum = kr::warp_reduce_sum<32>(partial);
    if (lane == 0) scratch[(static_cast<int64_t>(q) * heads + h) * g + k] = sum;
  }
}

// block x: head; block y: query of the chunk; the block's 512 threads: entries thread,
// thread + 512, ... of that score row. Scales, then exponentiates against the row maximum and
// normalises, in place.
__global__ void __launch_bounds__(softmax_threads) attend_softmax_kernel(float* scratch, float scale, int32_t g,
                                                                         int32_t t) {
  const int32_t thread = static_cast<int32_t>(threadIdx.y * 32 + threadIdx.x);
  const int64_t q = blockIdx.y;
  float* row = scratch + (q * gridDim.x + blockIdx.x) * g;
  // min(q + t, g) is the query's visible length, min(p + 1, capacity).
  const int64_t entries = q + t < g ? q + t : static_cast<int64_t>(g);

  float local_max = -INFINITY;
  for (int64_t i = thread; i < entries; i += softmax_threads) {
    const float x = row[i] * scale;
    row[i] = x;
    local_max = fmaxf(local_max, x);
  }
  const float mx = kr::block_reduce<kr::fmax_op, softmax_threads>(local_max, -INFINITY);

  float local_sum = 0.0f;
  for (int64_t i = thread; i < entries; i += softmax_threads) {
    const float e = expf(row[i] - mx);
    row[i] = e;
    local_sum += e;
  }
  const float inv = 1.0f / kr::block_reduce<kr::sum_op, softmax_threads>(local_sum, 0.0f);
  for (int64_t i = thread; i < entries; i += softmax_threads) row[i] = inv * row[i];
}

// block x: items x * w + y, stepping by grid x * w, an item being (head, element); block y: one
// query of the chunk; thread x: keys x, x + v, ... of the probability-weighted sum (v =
// blockDim.x lanes per item, a power of two); thread y: one item. Every thread of a block runs the
// same number of item steps, so all lanes of a warp reach the shuffles together; a lane past the
// last item takes part with 0.
__global__ void __launch_bounds__(max_sum_threads)
    attend_weighted_sum_kernel(const uint8_t* value_codes, const float* value_offsets, const float* value_scales,
                               int32_t head_size, int32_t heads, int32_t kv_heads, int32_t capacity, int32_t g,
                               int32_t off, int32_t position, const float* scratch, float* output) {
  const int32_t v = static_cast<int32_t>(blockDim.x);
  const int32_t lane = static_cast<int32_t>(threadIdx.x);
  const unsigned int mask = kr::attention::warp_lanes_mask();
  const int64_t q = blockIdx.y;
  const int64_t a = off + q;
  const visible_keys keys = keys_for(position, off, capacity);
  const int64_t items = static_cast<int64_t>(head_size) * heads;
  const int64_t stride = static_cast<int64_t>(gridDim.x) * blockDim.y;
  for (int64_t first = static_cast<int64_t>(blockIdx.x) * blockDim.y; first < items; first += stride) {
    const int64_t item = first + threadIdx.y;
    const bool active = item < items;
    const int32_t h = active ? static_cast<int32_t>(item / head_size) : 0;
    const int32_t e = active ? static_cast<int32_t>(item % head_size) : 0;
    float partial = 0.0f;
    if (active) {
      const int32_t kvh = kr::attention::kv_head_of(h, heads, kv_heads);
      const float* probabilities = scratch + (q * heads + h) * g;
      for (int64_t k = lane; k < keys.count; k += v) {
        const int64_t row = kr::attention::kv_row(kvh, keys.oldest + k, capacity);
        const float x =
            kr::attention::kv_decode(value_scales[row], value_codes[row * head_size + e], value_offsets[row]);
        partial = __fmaf_rn(probabilities[k], x, partial);
      }
    }
    for (int32_t d = v / 2; d > 0; d /= 2) partial += __shfl_xor_sync(mask, partial, d, v);
    if (active && lane == 0) output[(a * heads + h) * head_size + e] = partial;
  }
}

// The weighted-sum block: v lanes per item, the smallest power of two with 16 v >= t (at most 32),
// and w items per block, doubled while v w < 512 until 28 w covers E x H.
dim3 weighted_sum_block(int64_t t, int64_t items) {
  uint32_t v = 1;
  while (v < 32 && 16 * static_cast<int64_t>(v) < t) v *= 2;
  uint32_t w = 1;
  if (items > 28) {
    while (v * w < max_sum_threads) {
      w *= 2;
      if (28 * static_cast<int64_t>(w) >= items) break;
    }
  }
  return dim3(v, w);
}

}  // namespace attend_form

namespace update_form {

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

}  // namespace update_form

}  // namespace

namespace probe {
namespace previous {

using namespace attend_form;

kr_status_t attend(kr_omu_device* device, kr_omu_op_attention_attend_args_t* args) {
  float* output = nullptr;
  const float* query = nullptr;
  const uint8_t* key_codes = nullptr;
  const float* key_offsets = nullptr;
  const float* key_scales = nullptr;
  const uint8_t* value_codes = nullptr;
  const float* value_offsets = nullptr;
  const float* value_scales = nullptr;
  if (args == nullptr || !kr::resolve(args->output, 0, &output) || !kr::resolve(args->query, 0, &query) ||
      !kr::resolve(args->key_cache, 0, &key_codes) || !kr::resolve(args->key_offsets, 0, &key_offsets) ||
      !kr::resolve(args->key_scales, 0, &key_scales) || !kr::resolve(args->value_cache, 0, &value_codes) ||
      !kr::resolve(args->value_offsets, 0, &value_offsets) || !kr::resolve(args->value_scales, 0, &value_scales)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const int32_t length = args->length;
  const int32_t capacity = args->capacity;
  const int32_t position = args->position;
  const int32_t heads = args->heads;
  const int32_t kv_heads = args->kv_heads;
  const int32_t head_size = args->head_size;
  // The grid follows the multiprocessor count; head counts and the capacity are divisors in the
  // kernels; a negative position or length would address slots and queries before their buffers.
  if (device == nullptr || device->properties == nullptr || heads <= 0 || kv_heads <= 0 ||
      heads % kv_heads != 0 || capacity <= 0 || position < 0 || length < 0) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // Score rows of g entries for 128 queries of every head; a scratch size the buffer allocation
  // cannot express is refused rather than truncated.
  const int64_t g64 = static_cast<int64_t>(position) + length + 1 < capacity
                          ? static_cast<int64_t>(position) + length + 1
                          : static_cast<int64_t>(capacity);
  const int64_t scratch_bytes = g64 * heads * chunk_queries * static_cast<int64_t>(sizeof(float));
  if (scratch_bytes > INT32_MAX) return KR_STATUS_INVALID_ARGUMENT;
  const int32_t g = static_cast<int32_t>(g64);
  const unsigned int sm = static_cast<unsigned int>(device->properties->multiprocessor_count);
  const float scale = 1.0f / sqrtf(static_cast<float>(head_size));

  // The allocation reports its own failure on the error stack.
  kr_omu_buffer* scratch_buffer = taabe79(device, static_cast<int32_t>(scratch_bytes), 0);
  if (scratch_buffer == nullptr) return KR_STATUS_OUT_OF_MEMORY;
  float* scratch = static_cast<float*>(scratch_buffer->address);

  const int64_t items = static_cast<int64_t>(head_size) * heads;
  for (int32_t off = 0; off < length; off += chunk_queries) {
    const unsigned int count = static_cast<unsigned int>(length - off < chunk_queries ? length - off : chunk_queries);
    const int64_t t64 = static_cast<int64_t>(position) + off + 1;
    const int32_t t = t64 < capacity ? static_cast<int32_t>(t64) : capacity;
    kr_status_t status = kr::finish_launch(
        kr::launch_kernel(attend_score_kernel, dim3(sm, count), dim3(32, score_warps), query, key_codes, key_offsets,
                          key_scales, length, head_size, heads, kv_heads, capacity, g, scale, off, position, scratch),
        kernel_failure);
    if (status == KR_STATUS_SUCCESS) {
      status = kr::finish_launch(kr::launch_kernel(attend_softmax_kernel, dim3(static_cast<unsigned int>(heads), count),
                                                   dim3(32, softmax_warps), scratch, scale, g, t),
                                 kernel_failure);
    }
    if (status == KR_STATUS_SUCCESS) {
      status = kr::finish_launch(
          kr::launch_kernel(attend_weighted_sum_kernel, dim3(sm, count), weighted_sum_block(t, items), value_codes,
                            value_offsets, value_scales, head_size, heads, kv_heads, capacity, g, off, position,
                            scratch, output),
          kernel_failure);
    }
    if (status != KR_STATUS_SUCCESS) {
      taabe10(device, scratch_buffer);
      return status;
    }
  }
  taabe10(device, scratch_buffer);
  return KR_STATUS_SUCCESS;
}

}  // namespace previous

namespace previous_update {

using namespace update_form;

kr_status_t update_kv(kr_omu_device* device, kr_omu_op_update_kv_args_t* args) {
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

}  // namespace previous_update
}  // namespace probe
