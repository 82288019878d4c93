#include "weight_16x8_probe.h"

#include "ops/matmul/weight_16x8_format.cuh"
#include "runtime/launch.h"

namespace {

namespace w16x8 = kr::w16x8;

[[maybe_unused]] static __constant__ float PROBE_EXPONENT[32] = {
    0x1p-35f, 0x1p-34f, 0x1p-33f, 0x1p-32f, 0x1p-31f, 0x1p-30f, 0x1p-29f, 0x1p-28f,
    0x1p-27f, 0x1p-26f, 0x1p-25f, 0x1p-24f, 0x1p-23f, 0x1p-22f, 0x1p-21f, 0x1p-20f,
    0x1p-19f, 0x1p-18f, 0x1p-17f, 0x1p-16f, 0x1p-15f, 0x1p-14f, 0x1p-13f, 0x1p-12f,
    0x1p-11f, 0x1p-10f, 0x1p-9f,  0x1p-8f,  0x1p-7f,  0x1p-6f,  0x1p-5f,  0x1p-4f,
};

__device__ __forceinline__ float decode(uint32_t code) {
  return w16x8::decode_code(code, PROBE_EXPONENT[w16x8::code_exponent(code)]);
}

// Row r of a block, plane shapes evaluated at run time.
template <int B>
__device__ __forceinline__ void read_row(const uint32_t* block, int r, uint32_t q[w16x8::block_cols]) {
#pragma unroll
  for (int k = 0; k < w16x8::block_cols; ++k) q[k] = 0;
#pragma unroll
  for (int plane = 0; plane < w16x8::plane_count(B); ++plane) {
    const int w = w16x8::plane_width(B, plane);
    const int byte = 16 * w16x8::plane_low_bit(B, plane) + r * w;
    uint64_t word;
    if (w == 8) {
      word = static_cast<uint64_t>(block[byte >> 2]) | (static_cast<uint64_t>(block[(byte >> 2) + 1]) << 32);
    } else {
      word = block[byte >> 2] >> (8 * (byte & 3));
    }
    const uint32_t mask = (1u << w) - 1u;
#pragma unroll
    for (int k = 0; k < w16x8::block_cols; ++k) {
      q[k] |= (static_cast<uint32_t>(word >> (k * w)) & mask) << w16x8::plane_low_bit(B, plane);
    }
  }
}

// block x: 16 row blocks, thread x: one output row; block y: four column blocks of the section.
template <int B>
__global__ void __launch_bounds__(256)
    vector_kernel(const float* xs, uint64_t x_offset, const uint16_t* codes, int32_t param_cursor,
                  const uint32_t* weights, int32_t weight_cursor, int32_t count, int32_t row_blocks, float* output) {
  const uint32_t t = threadIdx.x;
  const uint32_t rb = blockIdx.x * 16 + t / 16;
  const int r = static_cast<int>(t % 16);
  if (rb >= static_cast<uint32_t>(row_blocks)) return;
  float acc = 0.0f;
  for (int j = 0; j < 4; ++j) {
    const uint32_t cb = blockIdx.y * 4 + j;
    if (cb >= static_cast<uint32_t>(count)) break;
    const size_t block = static_cast<size_t>(rb) * static_cast<uint32_t>(count) + cb;
    const float offset = decode(codes[param_cursor + 2 * block]);
    const float step = decode(codes[param_cursor + 2 * block + 1]);
    uint32_t q[w16x8::block_cols];
    read_row<B>(weights + (static_cast<size_t>(weight_cursor) + block * w16x8::block_bytes(B)) / 4, r, q);
    const float* x = xs + x_offset + static_cast<size_t>(w16x8::block_cols) * cb;
    float sum = 0.0f;
    float dot = 0.0f;
#pragma unroll
    for (int k = 0; k < w16x8::block_cols; ++k) {
      sum = sum + x[k];
      dot = __fmaf_rn(x[k], static_cast<float>(q[k]), dot);
    }
    acc = acc + __fmaf_rn(offset, sum, step * dot);
  }
  atomicAdd(output + static_cast<size_t>(rb) * 16 + r, acc);
}

// block x: 16 row blocks; block y: 64 activation rows; thread t: output rows 4 (t mod 4) ... + 3 of
// row block t / 8, activation rows h, h + 2, ..., h + 62 with h = (t / 4) mod 2.
template <int B>
__global__ void __launch_bounds__(128)
    batched_kernel(const float* xt, uint64_t x_offset, const float* decoded, const uint32_t* weights,
                   int32_t weight_cursor, int32_t count, int32_t row_blocks, int32_t rows, float* output) {
  constexpr int block_words = w16x8::block_bytes(B) / 4;
  __shared__ float activations[64][w16x8::block_cols];
  __shared__ uint32_t weight_tile[16 * block_words];
  const uint32_t t = threadIdx.x;
  const uint32_t a = t / 8;
  const uint32_t h = (t / 4) % 2;
  const uint32_t g = t % 4;
  const uint32_t rb = blockIdx.x * 16 + a;
  const uint32_t first_row = blockIdx.y * 64;
  const uint32_t m_count = static_cast<uint32_t>(rows);
  const bool row_block_in = rb < static_cast<uint32_t>(row_blocks);

  float acc[4][32];
#pragma unroll
  for (int i = 0; i < 4; ++i) {
#pragma unroll
    for (int j = 0; j < 32; ++j) acc[i][j] = 0.0f;
  }

  for (uint32_t c = 0; c < static_cast<uint32_t>(count); ++c) {
    {
      const uint32_t m = first_row + t / 2;
      float* dst = &activations[t / 2][4 * (t % 2)];
      if (m < m_count) {
        const float* src = xt + x_offset + (static_cast<size_t>(c) * m_count + m) * 8 + 4 * (t % 2);
#pragma unroll
        for (int k = 0; k < 4; ++k) dst[k] = src[k];
      } else {
#pragma unroll
        for (int k = 0; k < 4; ++k) dst[k] = 0.0f;
      }
    }
    for (uint32_t w = t; w < static_cast<uint32_t>(16 * block_words); w += 128) {
      const uint32_t local = w / block_words;
      const uint32_t global = blockIdx.x * 16 + local;
      weight_tile[w] = global < static_cast<uint32_t>(row_blocks)
                           ? weights[(static_cast<size_t>(weight_cursor) +
                                      (static_cast<size_t>(global) * static_cast<uint32_t>(count) + c) *
                                          w16x8::block_bytes(B)) / 4 + w % block_words]
                           : 0u;
    }
    __syncthreads();

    float offset = 0.0f;
    float step = 0.0f;
    if (row_block_in) {
      const size_t block = static_cast<size_t>(rb) * static_cast<uint32_t>(count) + c;
      offset = decoded[2 * block];
      step = decoded[2 * block + 1];
    }
    float wk[4][w16x8::block_cols];
#pragma unroll
    for (int i = 0; i < 4; ++i) {
      uint32_t q[w16x8::block_cols];
      read_row<B>(weight_tile + a * block_words, static_cast<int>(4 * g + i), q);
#pragma unroll
      for (int k = 0; k < w16x8::block_cols; ++k) wk[i][k] = __fmaf_rn(step, static_cast<float>(q[k]), offset);
    }
#pragma unroll
    for (int j = 0; j < 32; ++j) {
      float x[w16x8::block_cols];
#pragma unroll
      for (int k = 0; k < w16x8::block_cols; ++k) x[k] = activations[h + 2 * j][k];
#pragma unroll
      for (int i = 0; i < 4; ++i) {
#pragma unroll
        for (int k = 0; k < w16x8::block_cols; ++k) acc[i][j] = __fmaf_rn(x[k], wk[i][k], acc[i][j]);
      }
    }
    __syncthreads();
  }

  if (!row_block_in) return;
#pragma unroll
  for (int j = 0; j < 32; ++j) {
    const uint32_t m = first_row + h + 2 * j;
    if (m >= m_count) continue;
#pragma unroll
    for (int i = 0; i < 4; ++i) {
      atomicAdd(output + (static_cast<size_t>(rb) * m_count + m) * 16 + 4 * g + i, acc[i][j]);
    }
  }
}

}  // namespace

namespace probe {

int run_vector_section(int b, const float* xs, uint64_t x_offset, const uint16_t* codes, int32_t param_cursor,
                       const uint32_t* weights, int32_t weight_cursor, int32_t count, int32_t row_blocks,
                       float* output) {
  const dim3 grid(kr::blocks_of_256(16 * row_blocks), (static_cast<uint32_t>(count) + 3) / 4);
  return kr::w16x8::with_width(b, [&](auto width) {
    return kr::launch_kernel(vector_kernel<decltype(width)::value>, grid, dim3(256), xs, x_offset, codes,
                             param_cursor, weights, weight_cursor, count, row_blocks, output);
  });
}

int run_batched_section(int b, const float* xt, uint64_t x_offset, const float* decoded, const uint32_t* weights,
                        int32_t weight_cursor, int32_t count, int32_t row_blocks, int32_t rows, float* output) {
  const dim3 grid((static_cast<uint32_t>(row_blocks) + 15) / 16, (static_cast<uint32_t>(rows) + 63) / 64);
  return kr::w16x8::with_width(b, [&](auto width) {
    return kr::launch_kernel(batched_kernel<decltype(width)::value>, grid, dim3(128), xt, x_offset, decoded,
                             weights, weight_cursor, count, row_blocks, rows, output);
  });
}

}  // namespace probe
