// Attention of new query positions over the 8-bit key/value ring-buffer cache, with grouped heads.
#include "numerics/reductions.cuh"
#include "ops/attention/formats.cuh"
#include "ops/attention/warp_lanes.cuh"
#include "runtime/launch.h"
#include "runtime/scratch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int chunk_queries = 128;  // queries per round of the three kernels
constexpr int score_warps = 16;
constexpr int softmax_threads = 512;
constexpr int softmax_warps = softmax_threads / 32;
constexpr int max_sum_threads = 512;

// The keys a query sees: the n = min(p + 1, B) newest positions p - n + 1 ... p of the cache, the
// first of them key 0. In unsigned 32 bits: p = position + off + q < position + length < 2^32
// (both non-negative int32), so p + 1, n <= B < 2^31 and the slots below cannot wrap.
struct visible_keys {
  uint32_t count;       // n
  uint32_t first_slot;  // slot of key 0, (p + 1 - n) mod B; key k sits in slot (first_slot + k) mod B
};

__device__ __forceinline__ visible_keys keys_for(int32_t position, int32_t off, int32_t capacity) {
  const uint32_t p = static_cast<uint32_t>(position) + static_cast<uint32_t>(off) + blockIdx.y;
  const uint32_t b = static_cast<uint32_t>(capacity);
  visible_keys v;
  v.count = p < b ? p + 1 : b;
  v.first_slot = (p + 1 - v.count) % b;
  return v;
}

// Slot of key k < n: first_slot + k < 2B, so one subtraction reduces it.
__device__ __forceinline__ uint32_t key_slot(const visible_keys& keys, uint32_t k, uint32_t capacity) {
  const uint32_t slot = keys.first_slot + k;
  return slot >= capacity ? slot - capacity : slot;
}

// First cache row of key/value head kvh; a row is head_size bytes of codes.
__device__ __forceinline__ uint64_t head_rows(uint32_t kvh, int32_t capacity) {
  return static_cast<uint64_t>(kvh) * static_cast<uint32_t>(capacity);
}

// The score kernel's place in its items (h, k) = (item div n, item mod n), carried from item to
// item by additions, so that the item loop divides nothing but the key/value head h div (H /
// kv_heads), in 32 bits. (Carrying that quotient too costs the kernel 8 more registers at sm_90,
// a quarter of its resident blocks.)
struct score_cursor {
  uint32_t item, h, k;
};

// block x: items x * 16 + warp, stepping by grid x * 16, an item being (head, key); block y: one
// query of the chunk; warp: one item; lane: elements lane, lane + 32, ... of the dot product.
// The raw dot products go to the scratch rows; the softmax scales them.
// Items number n x H <= g x H, which the entry's scratch bound keeps below 2^22, so they are
// counted in 32 bits. Each item's scale, offset and first code are loaded one item ahead, before
// the dot product and the reduction of the item before it.
__global__ void __launch_bounds__(32 * score_warps)
    attend_score_kernel(const float* query, const uint8_t* key_codes, const float* key_offsets,
                        const float* key_scales, int32_t length, int32_t head_size, int32_t heads, int32_t kv_heads,
                        int32_t capacity, int32_t g, float scale, int32_t off, int32_t position, float* scratch) {
  (void)scale;
  const uint32_t lane = threadIdx.x;
  const uint32_t q = blockIdx.y;
  const uint32_t a = static_cast<uint32_t>(off) + q;
  const visible_keys keys = keys_for(position, off, capacity);
  const uint32_t items = keys.count * static_cast<uint32_t>(heads);
  const uint64_t start = static_cast<uint64_t>(blockIdx.x) * score_warps + threadIdx.y;
  if (start >= items) return;  // the whole warp: its lanes share the item
  const uint64_t stride = static_cast<uint64_t>(gridDim.x) * score_warps;
  // A step past every item ends the loop as the grid's stride would; this one cannot wrap.
  const uint32_t step = stride < items ? static_cast<uint32_t>(stride) : items;
  const uint32_t group = static_cast<uint32_t>(heads) / static_cast<uint32_t>(kv_heads);
  const uint32_t step_h = step / keys.count;
  const uint32_t step_k = step % keys.count;
  const bool has_first = static_cast<int32_t>(lane) < head_size;
  const uint32_t e_end = has_first ? static_cast<uint32_t>(head_size) : 0;

  score_cursor at;
  at.item = static_cast<uint32_t>(start);
  at.h = at.item / keys.count;
  at.k = at.item % keys.count;

  // The loads of the item at the cursor.
  const uint8_t* codes = nullptr;
  float key_scale = 0.0f, key_offset = 0.0f;
  uint8_t first_code = 0;
  const auto fetch = [&](const score_cursor& c) {
    const uint64_t row = head_rows(c.h / group, capacity) + key_slot(keys, c.k, static_cast<uint32_t>(capacity));
    key_scale = key_scales[row];
    key_offset = key_offsets[row];
    if (has_first) {
      codes = key_codes + row * static_cast<uint32_t>(head_size);
      first_code = codes[lane];
    }
  };
  fetch(at);
  for (;;) {
    const uint32_t h = at.h;
    const uint32_t k = at.k;
    const uint8_t* item_codes = codes;
    const float item_scale = key_scale;
    const float item_offset = key_offset;
    const uint8_t item_first = first_code;
    const bool more = items - at.item > step;
    if (more) {
      at.item += step;
      at.h += step_h;
      at.k += step_k;
      if (at.k >= keys.count) {
        at.k -= keys.count;
        at.h += 1;
      }
      fetch(at);
    }
    float partial = 0.0f;
    if (has_first) {
      const float* x =
          query + (static_cast<uint64_t>(h) * static_cast<uint32_t>(length) + a) * static_cast<uint32_t>(head_size);
      partial = __fmaf_rn(x[lane], kr::attention::kv_decode(item_scale, item_first, item_offset), partial);
      for (uint32_t e = lane + 32; e < e_end; e += 32) {
        partial = __fmaf_rn(x[e], kr::attention::kv_decode(item_scale, item_codes[e], item_offset), partial);
      }
    }
    const float sum = kr::warp_reduce_sum<32>(partial);
    if (lane == 0) {
      scratch[(static_cast<uint64_t>(q) * static_cast<uint32_t>(heads) + h) * static_cast<uint32_t>(g) + k] = sum;
    }
    if (!more) break;
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
// The item's (head, element) is carried from step to step by additions and the key's slot from
// key to key, so that neither loop divides; the probability, scale, offset and code of each item's
// first key are loaded one item ahead, before the reduction of the item before it.
__global__ void __launch_bounds__(max_sum_threads)
    attend_weighted_sum_kernel(const uint8_t* value_codes, const float* value_offsets, const float* value_scales,
                               int32_t head_size, int32_t heads, int32_t kv_heads, int32_t capacity, int32_t g,
                               int32_t off, int32_t position, const float* scratch, float* output) {
  const uint32_t v = blockDim.x;
  const uint32_t lane = threadIdx.x;
  const unsigned int mask = kr::attention::warp_lanes_mask();
  const uint32_t q = blockIdx.y;
  const uint32_t a = static_cast<uint32_t>(off) + q;
  const visible_keys keys = keys_for(position, off, capacity);
  const uint32_t b = static_cast<uint32_t>(capacity);
  const int64_t items = static_cast<int64_t>(head_size) * heads;
  if (items <= 0) return;  // every thread of the grid alike; otherwise head_size > 0
  const uint32_t e_count = static_cast<uint32_t>(head_size);
  const uint32_t group = static_cast<uint32_t>(heads) / static_cast<uint32_t>(kv_heads);
  const int64_t stride = static_cast<int64_t>(gridDim.x) * blockDim.y;
  const int64_t step_h = stride / e_count;
  const uint32_t step_e = static_cast<uint32_t>(stride % e_count);
  int64_t first = static_cast<int64_t>(blockIdx.x) * blockDim.y;
  // The thread's item and its (h, e); h only grows, and is read while the item exists (h < H).
  int64_t h = (first + threadIdx.y) / e_count;
  uint32_t e = static_cast<uint32_t>((first + threadIdx.y) % e_count);
  // The lane's first key, lane < n, and its slot; later keys step v slots at a time. v <= B
  // whenever a lane has a second key (lane + v < n <= B), so one subtraction keeps a slot in range.
  const bool has_key = lane < keys.count;
  const uint32_t first_slot = has_key ? key_slot(keys, lane, b) : 0;

  // The item (h, e)'s key/value head (one 32-bit division per item, h < H), and its loads for the
  // lane's first key.
  uint32_t kvh = 0;
  float probability = 0.0f, value_scale = 0.0f, value_offset = 0.0f;
  uint8_t first_code = 0;
  const auto fetch = [&](bool active) {
    if (!active || !has_key) return;
    kvh = static_cast<uint32_t>(h) / group;
    const uint64_t row = head_rows(kvh, capacity) + first_slot;
    probability = scratch[(static_cast<uint64_t>(q) * static_cast<uint32_t>(heads) + static_cast<uint64_t>(h)) *
                              static_cast<uint32_t>(g) +
                          lane];
    value_scale = value_scales[row];
    value_offset = value_offsets[row];
    first_code = value_codes[row * e_count + e];
  };
  bool active = first + threadIdx.y < items;
  fetch(active);
  for (; first < items; first += stride) {
    const uint32_t item_h = static_cast<uint32_t>(h);
    const uint32_t item_e = e;
    const uint32_t item_kvh = kvh;
    const bool item_active = active;
    const float item_probability = probability;
    const float item_scale = value_scale;
    const float item_offset = value_offset;
    const uint8_t item_first = first_code;
    // The next item of this thread.
    h += step_h;
    e += step_e;
    if (e >= e_count) {
      e -= e_count;
      h += 1;
    }
    active = first + stride + threadIdx.y < items;
    fetch(active);

    float partial = 0.0f;
    if (item_active && has_key) {
      partial = __fmaf_rn(item_probability, kr::attention::kv_decode(item_scale, item_first, item_offset), partial);
      const uint64_t rows = head_rows(item_kvh, capacity);
      const float* probabilities =
          scratch + (static_cast<uint64_t>(q) * static_cast<uint32_t>(heads) + item_h) * static_cast<uint32_t>(g);
      uint32_t slot = first_slot;
      for (uint32_t k = lane + v; k < keys.count; k += v) {
        slot += v;
        if (slot >= b) slot -= b;
        const uint64_t row = rows + slot;
        const float x = kr::attention::kv_decode(value_scales[row], value_codes[row * e_count + item_e],
                                                 value_offsets[row]);
        partial = __fmaf_rn(probabilities[k], x, partial);
      }
    }
    for (uint32_t d = v / 2; d > 0; d /= 2) {
      partial += __shfl_xor_sync(mask, partial, static_cast<int>(d), static_cast<int>(v));
    }
    if (item_active && lane == 0) {
      output[(static_cast<uint64_t>(a) * static_cast<uint32_t>(heads) + item_h) * e_count + item_e] = partial;
    }
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

}  // namespace

// attend over the 8-bit cache
KR_OMU_EXPORT kr_status_t taabe7(kr_omu_device* device, kr_omu_operator*, kr_omu_op_attention_attend_args_t* args) {
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
  // kernels; a negative position, length or head size would address slots, queries and outputs
  // before their buffers.
  if (device == nullptr || device->properties == nullptr || heads <= 0 || kv_heads <= 0 ||
      heads % kv_heads != 0 || capacity <= 0 || position < 0 || length < 0 || head_size < 0) {
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

  // The allocation reports its own failure on the error stack; the holder releases the scratch
  // on every return below.
  kr::scratch_buffer scratch_buffer(device);
  if (!scratch_buffer.allocate(static_cast<int32_t>(scratch_bytes))) return KR_STATUS_OUT_OF_MEMORY;
  float* scratch = scratch_buffer.get<float>();

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
    if (status != KR_STATUS_SUCCESS) return status;
  }
  return KR_STATUS_SUCCESS;
}
