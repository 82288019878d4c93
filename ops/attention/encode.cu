// Rotary position encoding applied in place, from the precomputed cosine/sine table.
#include "ops/attention/formats.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int block_threads = 256;
constexpr int32_t max_blocks = 65535;

// First float of head row (t, h = block y) of `data`, in 64 bits: T x H x D floats fit in memory,
// and for any other shape the product stays an unsigned one, which cannot overflow.
__device__ __forceinline__ uint64_t head_row(uint32_t t, int32_t heads, int32_t head_size) {
  return (static_cast<uint64_t>(t) * static_cast<uint32_t>(heads) + blockIdx.y) * static_cast<uint32_t>(head_size);
}

// (x0, x1) rotated by the table's (cos, sin): the first result is two rounded products and a
// subtraction, the second one fused multiply-add onto the rounded product x1 cos.
__device__ __forceinline__ void rotate(float* x0, float* x1, float c, float s) {
  const float a = *x0;
  const float b = *x1;
  *x0 = a * c - b * s;
  *x1 = __fmaf_rn(a, s, b * c);
}

// block x: positions x, x + grid x, ...; block y: head; thread x: pairs x, x + 256, ... of the
// head row. Interleaved pairs (2i, 2i + 1) over the whole head row of `head_size` floats.
__global__ void __launch_bounds__(block_threads)
    encode_interleaved_kernel(float* data, const float* encoding, int32_t length, int32_t heads, int32_t head_size,
                              int32_t rotary_size, int32_t position) {
  for (uint32_t t = blockIdx.x; t < static_cast<uint32_t>(length); t += gridDim.x) {
    float* row = data + head_row(t, heads, head_size);
    const int64_t table_row = static_cast<int64_t>(t) + position;
    for (int32_t i = static_cast<int32_t>(threadIdx.x); i < head_size / 2; i += block_threads) {
      const float* cs = encoding + kr::attention::encoding_index(table_row, rotary_size, i);
      rotate(&row[2 * i], &row[2 * i + 1], cs[0], cs[1]);
    }
  }
}

// As above, rotating the split halves (i, i + R/2) of the first `rotary_size` floats of each head
// row; the rest of the row is left as it is.
__global__ void __launch_bounds__(block_threads)
    encode_halves_kernel(float* data, const float* encoding, int32_t length, int32_t heads, int32_t head_size,
                         int32_t rotary_size, int32_t position) {
  const int32_t half = rotary_size / 2;
  for (uint32_t t = blockIdx.x; t < static_cast<uint32_t>(length); t += gridDim.x) {
    float* row = data + head_row(t, heads, head_size);
    const int64_t table_row = static_cast<int64_t>(t) + position;
    for (int32_t i = static_cast<int32_t>(threadIdx.x); i < half; i += block_threads) {
      const float* cs = encoding + kr::attention::encoding_index(table_row, rotary_size, i);
      rotate(&row[i], &row[i + half], cs[0], cs[1]);
    }
  }
}

}  // namespace

// rotary position encoding
KR_OMU_EXPORT kr_status_t taabe203(kr_omu_device*, kr_omu_operator*, kr_omu_op_attention_encode_args_t* args) {
  float* data = nullptr;
  const float* encoding = nullptr;
  if (args == nullptr || !kr::resolve(args->data, 0, &data) || !kr::resolve(args->encoding, 0, &encoding)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // Negative lengths and head counts would become grids of about 2^32 blocks; a negative position
  // would read table rows before the table; a negative head size is a row stride that walks
  // before the data, and a negative rotary size one that walks before the table. A length or head
  // count of 0 gives the empty grid the runtime refuses.
  if (args->length < 0 || args->heads < 0 || args->position < 0 || args->head_size < 0 || args->rotary_size < 0) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // The split halves rotate the first rotary_size floats of each head row: a longer rotary part
  // would reach into the next row, which another block rotates at the same time.
  if (args->interleaved == 0 && args->rotary_size > args->head_size) return KR_STATUS_INVALID_ARGUMENT;
  const int32_t blocks = args->length < max_blocks ? args->length : max_blocks;
  const dim3 grid(static_cast<unsigned int>(blocks), static_cast<unsigned int>(args->heads));
  const cudaError_t launched =
      kr::launch_kernel(args->interleaved != 0 ? encode_interleaved_kernel : encode_halves_kernel, grid,
                        dim3(block_threads), data, encoding, args->length, args->heads, args->head_size,
                        args->rotary_size, args->position);
  return kr::finish_launch(launched, kernel_failure);
}
