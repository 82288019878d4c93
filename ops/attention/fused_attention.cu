// Fused multi-head attention over a whole sequence, with relative-position embeddings within a
// window of distances and an optional look-ahead mask.
#include "numerics/reductions.cuh"
#include "ops/attention/formats.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int softmax_warps = 4;
constexpr int sum_warps = 2;
constexpr float score_floor = -1000000.0f;  // a row's maximum is never taken below this

// Offsets of this entry count float elements.
template <typename T>
bool resolve_elements(const kr_omu_buffer* buffer, int32_t offset, T** out) {
  if (buffer == nullptr) return false;
  const uintptr_t address = reinterpret_cast<uintptr_t>(buffer->address) +
                            static_cast<uintptr_t>(static_cast<intptr_t>(offset) * static_cast<intptr_t>(sizeof(float)));
  if (address % alignof(T) != 0) return false;
  *out = reinterpret_cast<T*>(address);
  return true;
}

// Number of keys query i attends to: all T, or those with j - i <= lookahead.
__device__ __forceinline__ int64_t visible_keys(int64_t i, int32_t length, int32_t lookahead) {
  return lookahead >= 0 && i + lookahead < length ? i + lookahead + 1 : static_cast<int64_t>(length);
}

// Whether distance d = j - i receives the relative embeddings (a negative window: none).
__device__ __forceinline__ bool within_window(int64_t d, int32_t window) { return (d < 0 ? -d : d) <= window; }

// block x: one (query i, key j) pair, i = x / T, j = x % T; lane: elements lane, lane + 32, ... of
// each head's dot product. Masked pairs write nothing.
__global__ void __launch_bounds__(32)
    fused_score_kernel(int32_t length, int32_t heads, int32_t width, int32_t window, int32_t lookahead,
                       int32_t head_size, float scale, float* output, const float* query, const float* key,
                       const float* value, const float* relative_key, const float* relative_value, float* scores) {
  (void)width, (void)output, (void)value, (void)relative_value;
  const int64_t i = blockIdx.x / static_cast<uint32_t>(length);
  const int64_t j = blockIdx.x % static_cast<uint32_t>(length);
  const int64_t d = j - i;
  if (lookahead >= 0 && d > lookahead) return;
  const int32_t lane = static_cast<int32_t>(threadIdx.x);
  const bool near = within_window(d, window);
  const float* embedding = relative_key + (near ? (window + d) * head_size : 0);
  // A head row may hold up to 2^31 - 1 floats: lanes step through it in unsigned 32 bits, which
  // cannot wrap where a signed index would overflow past the last one.
  const uint32_t elements = static_cast<uint32_t>(head_size);
  for (int32_t h = 0; h < heads; ++h) {
    const float* q = query + (i * heads + h) * head_size;
    const float* k = key + (j * heads + h) * head_size;
    float partial = 0.0f;
    if (near) {
      for (uint32_t e = threadIdx.x; e < elements; e += 32) partial = __fmaf_rn(q[e], k[e] + embedding[e], partial);
    } else {
      for (uint32_t e = threadIdx.x; e < elements; e += 32) partial = __fmaf_rn(q[e], k[e], partial);
    }
    const float sum = kr::warp_reduce_sum<32>(partial);
    if (lane == 0) scores[(static_cast<int64_t>(h) * length + i) * length + j] = sum * scale;
  }
}

// block x: score rows x * 4 + y; thread y: one row (head h, query i); lane: entries lane,
// lane + 32, ... of the row's visible part. In place: scores become probabilities.
__global__ void __launch_bounds__(32 * softmax_warps)
    fused_softmax_kernel(int32_t length, int32_t heads, int32_t width, int32_t window, int32_t lookahead,
                         int32_t head_size, float scale, float* output, const float* query, const float* key,
                         const float* value, const float* relative_key, const float* relative_value, float* scores) {
  (void)width, (void)window, (void)head_size, (void)scale, (void)output, (void)query, (void)key, (void)value,
      (void)relative_key, (void)relative_value;
  const int64_t r = static_cast<int64_t>(blockIdx.x) * softmax_warps + threadIdx.y;
  if (r >= static_cast<int64_t>(heads) * length) return;
  const int32_t lane = static_cast<int32_t>(threadIdx.x);
  float* row = scores + r * length;
  const int64_t count = visible_keys(r % length, length, lookahead);

  float local_max = score_floor;
  for (int64_t c = lane; c < count; c += 32) local_max = fmaxf(local_max, row[c]);
  const float mx = __shfl_sync(kr::full_warp_mask, kr::warp_reduce_max<32>(local_max), 0);

  float local_sum = 0.0f;
  for (int64_t c = lane; c < count; c += 32) {
    const float e = expf(row[c] - mx);
    row[c] = e;
    local_sum += e;
  }
  const float inv = 1.0f / __shfl_sync(kr::full_warp_mask, kr::warp_reduce_sum<32>(local_sum), 0);
  for (int64_t c = lane; c < count; c += 32) row[c] = row[c] * inv;
}

// block x: output elements x * 2 + y; thread y: one element (query i, head h, element e); lane:
// keys lane, lane + 32, ... of its probability-weighted sum of values.
__global__ void __launch_bounds__(32 * sum_warps)
    fused_weighted_sum_kernel(int32_t length, int32_t heads, int32_t width, int32_t window, int32_t lookahead,
                              int32_t head_size, float scale, float* output, const float* query, const float* key,
                              const float* value, const float* relative_key, const float* relative_value,
                              float* scores) {
  (void)width, (void)scale, (void)query, (void)key, (void)relative_key;
  const int64_t x = static_cast<int64_t>(blockIdx.x) * sum_warps + threadIdx.y;
  const int64_t row_floats = static_cast<int64_t>(heads) * head_size;
  if (x >= static_cast<int64_t>(length) * row_floats) return;
  const int32_t lane = static_cast<int32_t>(threadIdx.x);
  const int64_t i = x / row_floats;
  const int64_t h = (x / head_size) % heads;
  const int64_t e = x % head_size;
  const float* probabilities = scores + (h * length + i) * length;
  const int64_t count = visible_keys(i, length, lookahead);
  float partial = 0.0f;
  for (int64_t j = lane; j < count; j += 32) {
    const int64_t d = j - i;
    const float v = value[(j * heads + h) * head_size + e] +
                    (within_window(d, window) ? relative_value[(window + d) * head_size + e] : 0.0f);
    partial = __fmaf_rn(probabilities[j], v, partial);
  }
  const float sum = kr::warp_reduce_sum<32>(partial);
  if (lane == 0) output[(i * heads + h) * head_size + e] = sum;
}

using fused_kernel = void (*)(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, float, float*, const float*,
                              const float*, const float*, const float*, const float*, float*);

}  // namespace

// fused attention
KR_OMU_EXPORT kr_status_t taabe104(kr_omu_device*, kr_omu_operator*, kr_omu_op_attention_args_t* args) {
  float* output = nullptr;
  const float* query = nullptr;
  const float* key = nullptr;
  const float* value = nullptr;
  const float* relative_key = nullptr;
  const float* relative_value = nullptr;
  float* scores = nullptr;
  if (args == nullptr || !resolve_elements(args->output, args->output_offset, &output) ||
      !resolve_elements(args->query, args->query_offset, &query) ||
      !resolve_elements(args->key, args->key_offset, &key) ||
      !resolve_elements(args->value, args->value_offset, &value) ||
      !resolve_elements(args->relative_key, args->relative_key_offset, &relative_key) ||
      !resolve_elements(args->relative_value, args->relative_value_offset, &relative_value) ||
      !resolve_elements(args->scores, args->scores_offset, &scores)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const int32_t length = args->length;
  const int32_t heads = args->heads;
  // The head count divides the width; negative lengths and widths would reach the grids.
  if (heads <= 0 || length < 0 || args->width < 0) return KR_STATUS_INVALID_ARGUMENT;
  const int32_t head_size = args->width / heads;
  // T x T pairs, T x H rows and T x H x E elements are signed 32-bit counts in the kernels'
  // layout; sequences whose counts do not fit are refused rather than wrapped.
  const int64_t pairs = static_cast<int64_t>(length) * length;
  const int64_t rows = static_cast<int64_t>(length) * heads;
  const int64_t elements = rows * head_size;
  if (pairs > INT32_MAX || rows > INT32_MAX || elements > INT32_MAX) return KR_STATUS_INVALID_ARGUMENT;
  const float scale = 1.0f / sqrtf(static_cast<float>(head_size));

  struct stage {
    fused_kernel kernel;
    unsigned int blocks;
    dim3 block;
  };
  // A sequence of length 0 (or heads of size 0) gives an empty grid, which the runtime refuses.
  const stage stages[] = {
      {fused_score_kernel, static_cast<unsigned int>(pairs), dim3(32)},
      {fused_softmax_kernel, static_cast<unsigned int>((static_cast<uint32_t>(rows) + 3u) >> 2), dim3(32, softmax_warps)},
      {fused_weighted_sum_kernel, static_cast<unsigned int>((static_cast<uint32_t>(elements) + 1u) >> 1),
       dim3(32, sum_warps)},
  };
  // Every stage's grid is known now: a call with an empty one (no sequence, or a width below the
  // head count, which leaves heads of no elements) is reported as that launch's refusal would be,
  // before the earlier stages write anything.
  for (const stage& s : stages) {
    if (s.blocks == 0) {
      KR_FAIL(kernel_failure);
      return KR_STATUS_RUNTIME_ERROR;
    }
  }
  for (const stage& s : stages) {
    const kr_status_t status = kr::finish_launch(
        kr::launch_kernel(s.kernel, dim3(s.blocks), s.block, length, heads, args->width, args->window, args->lookahead,
                          head_size, scale, output, query, key, value, relative_key, relative_value, scores),
        kernel_failure);
    if (status != KR_STATUS_SUCCESS) return status;
  }
  return KR_STATUS_SUCCESS;
}
