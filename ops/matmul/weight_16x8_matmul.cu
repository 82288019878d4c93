// Block-quantised weight matrix product: output[m][n] = sum over input columns of
// input[m][column] x weight[n][column], with every 16 x 8 weight block dequantised on the fly.
// One activation row takes the vector path (no tiling, straight into the output); two or more take
// the batched path (shared-memory tiles, one stream per bit-width section).
#include "numerics/tables.cuh"
#include "ops/matmul/weight_16x8_format.cuh"
#include "runtime/launch.h"
#include "runtime/scratch.h"

namespace {

namespace w16x8 = kr::w16x8;

constexpr kr_error_record alloc_failure = {622, kr::text_device_alloc, nullptr};
constexpr kr_error_record kernel_failure = kr::kernel_failure_record(625);

}  // namespace

// 2^(e - 35) for the exponent field e of a block parameter code.
[[maybe_unused]] static __constant__ float EXPONENT_GPU[32] = {
    0x1p-35f, 0x1p-34f, 0x1p-33f, 0x1p-32f, 0x1p-31f, 0x1p-30f, 0x1p-29f, 0x1p-28f,
    0x1p-27f, 0x1p-26f, 0x1p-25f, 0x1p-24f, 0x1p-23f, 0x1p-22f, 0x1p-21f, 0x1p-20f,
    0x1p-19f, 0x1p-18f, 0x1p-17f, 0x1p-16f, 0x1p-15f, 0x1p-14f, 0x1p-13f, 0x1p-12f,
    0x1p-11f, 0x1p-10f, 0x1p-9f,  0x1p-8f,  0x1p-7f,  0x1p-6f,  0x1p-5f,  0x1p-4f,
};

namespace {

__device__ __forceinline__ float decode(uint32_t code) {
  return w16x8::decode_code(code, EXPONENT_GPU[w16x8::code_exponent(code)]);
}

// An order entry outside the row reads 0.0 rather than memory past the activations.
__device__ __forceinline__ float ordered_input(const float* row, const uint32_t* order, uint32_t p, uint32_t columns) {
  const uint32_t column = order[p];
  return column < columns ? row[column] : 0.0f;
}

// ---- vector path ----

constexpr int vector_threads = 256;
constexpr int vector_column_blocks = 4;  // column blocks per thread

// block x: 256 positions of the section order; thread x: one position.
__global__ void __launch_bounds__(vector_threads)
    gather_kernel(int32_t columns, float* xs, const float* input, const uint32_t* order) {
  const uint32_t p = blockIdx.x * vector_threads + threadIdx.x;
  if (p < static_cast<uint32_t>(columns)) xs[p] = ordered_input(input, order, p, static_cast<uint32_t>(columns));
}

// Lane r's words of a group's span (odd widths): round K reads group word r + 16 K - lead, where
// that is one of the span_words (before the group the unsigned difference wraps past them). The
// rounds are unrolled at compile time, so that each is one load instruction in every build and a
// warp's request is the lanes of one round.
template <int B, int K = 0>
__device__ __forceinline__ void load_span(const uint32_t* group, uint32_t r, uint32_t lead, uint32_t span_words,
                                          uint32_t (&span)[B + 1]) {
  if constexpr (K <= B) {
    const uint32_t v = r + 16 * K - lead;
    span[K] = v < span_words ? group[v] : 0u;
    load_span<B, K + 1>(group, r, lead, span_words, span);
  }
}

// The rows of a group's blocks J = 0 ... 3 that are in the section, from the span its row block's
// 16 lanes read together (odd widths; see w16x8::share_block_rows). `in` is the same for every
// thread of the block, so the shuffles are executed by whole warps.
template <int B, int J = 0>
__device__ __forceinline__ void share_group_rows(const uint32_t (&span)[B + 1], uint32_t lead, uint32_t r,
                                                 const bool (&in)[vector_column_blocks],
                                                 uint32_t (&words)[vector_column_blocks][w16x8::row_words(B)]) {
  if constexpr (J < vector_column_blocks) {
    if (in[J]) w16x8::share_block_rows<B, J>(span, lead, r, words[J]);
    share_group_rows<B, J + 1>(span, lead, r, in, words);
  }
}

// block x: 16 row blocks, thread x: one output row (row block t / 16, row t mod 16); block y: four
// column blocks of the section. The offset is factored out of the block's eight terms: offset x
// sum(x) + step x sum(x q), the second sum one fused chain. Groups and sections meet in the output
// through float atomics, so the last bits depend on their order. The weight rows and codes of the
// four column blocks are all loaded before their arithmetic, which then runs in column-block order;
// the activations (one small vector that every row block reads, so cache-resident) are read as two
// 16-byte loads beside the arithmetic, which keeps the kernel at about 32 registers.
//
// How a row block's 16 lanes read their weights so that each warp request fills the 32-byte
// sectors it touches wherever the section starts at a multiple of 32 bytes of device memory, as
// for real matrices:
// - widths 2, 4 and 6: each thread reads the words of its row straight away (a plane's 16 rows are
//   32 or 64 contiguous bytes, and blocks of 32, 64 or 96 bytes keep planes sector-aligned);
// - odd widths (blocks of 16 b bytes, an odd number of half sectors): the lanes read the group's
//   contiguous span together in 4-byte words from the sector boundary at or before it, and pass
//   each row's words on by shuffles (w16x8::share_block_rows); the threads of a row block past the
//   matrix stay for the shuffles but read nothing. Where a group does not start on a sector
//   boundary (an odd count), only its first and last sectors are shared with other groups;
// - width 8 (rows of 8 bytes, four to a sector): of a block's two 4-byte loads, a reads the two
//   sectors of rows 0-3 and 8-11 whole, b those of rows 4-7 and 12-15; a thread reads its row's
//   first word in the load that covers its row and, in the other, the second word of row r xor 4,
//   which one shuffle hands over.
template <int B>
__global__ void __launch_bounds__(vector_threads)
    vector_kernel(const float* xs, uint64_t x_offset, const uint16_t* codes, int32_t param_cursor,
                  const uint32_t* weights, int32_t weight_cursor, int32_t count, int32_t row_blocks, float* output) {
  constexpr int block_words = w16x8::block_bytes(B) / 4;
  constexpr bool shared_span = B % 2 == 1;
  constexpr bool shuffled = shared_span || B == 8;  // every thread of the warp takes part in shuffles
  const uint32_t t = threadIdx.x;
  const uint32_t rb = blockIdx.x * (vector_threads / 16) + t / 16;
  const uint32_t r = t % 16;
  const bool row_in = rb < static_cast<uint32_t>(row_blocks);
  if (!shuffled && !row_in) return;
  const uint32_t first_cb = blockIdx.y * vector_column_blocks;
  // Blocks of this row block from first_cb on, in the section's row-block-major order.
  const size_t first_block = static_cast<size_t>(rb) * static_cast<uint32_t>(count) + first_cb;
  const uint16_t* block_codes = codes + static_cast<uint32_t>(param_cursor) + 2 * first_block;
  const uint32_t* block_words_at =
      weights + static_cast<uint32_t>(weight_cursor) / 4 + first_block * static_cast<uint32_t>(block_words);
  // The staging vector is 256-byte aligned and column block cb starts at float 8 cb of its section.
  const float4* x = reinterpret_cast<const float4*>(xs + x_offset) + 2 * static_cast<size_t>(first_cb);

  bool in[vector_column_blocks];
  uint32_t offset_code[vector_column_blocks];
  uint32_t step_code[vector_column_blocks];
  uint32_t words[vector_column_blocks][w16x8::row_words(B)];
  if constexpr (shared_span) {
    // The group's blocks (fewer than four in a section's last group) are span_words contiguous
    // words, read from the sector boundary at or before them: B + 1 requests of 64 bytes whose
    // sectors hold only group words, except the first sector and the last.
    const uint32_t left = static_cast<uint32_t>(count) - first_cb;
    const uint32_t span_words = (left < vector_column_blocks ? left : vector_column_blocks) * block_words;
    const uint32_t lead = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(block_words_at) / 4 % 8);
    uint32_t span[B + 1];
    load_span<B>(block_words_at, r, lead, row_in ? span_words : 0u, span);
#pragma unroll
    for (int j = 0; j < vector_column_blocks; ++j) {
      in[j] = first_cb + j < static_cast<uint32_t>(count);
      if (in[j] && row_in) {
        offset_code[j] = block_codes[2 * j];
        step_code[j] = block_codes[2 * j + 1];
      }
    }
    share_group_rows<B>(span, lead, r, in, words);
    if (!row_in) return;
  } else if constexpr (B == 8) {
    // Rows 0-3 and 8-11 (half 0) have their first word read by themselves in load a and their second
    // by the thread four rows on; rows 4-7 and 12-15 (half 1) the other way round in load b.
    const uint32_t half = (r >> 2) & 1u;
    const uint32_t a_word = 2 * (r & ~4u) + half;       // row r's first word, or row r - 4's second
    const uint32_t b_word = 2 * (r | 4u) + (1u - half);  // row r's first word, or row r + 4's second
    uint32_t a[vector_column_blocks];
    uint32_t b[vector_column_blocks];
#pragma unroll
    for (int j = 0; j < vector_column_blocks; ++j) {
      in[j] = first_cb + j < static_cast<uint32_t>(count);
      a[j] = 0u;
      b[j] = 0u;
      if (in[j] && row_in) {
        offset_code[j] = block_codes[2 * j];
        step_code[j] = block_codes[2 * j + 1];
        const uint32_t* at = block_words_at + j * block_words + a_word;  // one address for both loads
        a[j] = at[0];
        b[j] = at[b_word - a_word];
      }
    }
#pragma unroll
    for (int j = 0; j < vector_column_blocks; ++j) {
      if (in[j]) {
        words[j][0] = half == 0 ? a[j] : b[j];
        words[j][1] = __shfl_xor_sync(0xFFFFFFFFu, half == 0 ? b[j] : a[j], 4, 16);
      }
    }
    if (!row_in) return;
  } else {
#pragma unroll
    for (int j = 0; j < vector_column_blocks; ++j) {
      in[j] = first_cb + j < static_cast<uint32_t>(count);
      if (in[j]) {
        offset_code[j] = block_codes[2 * j];
        step_code[j] = block_codes[2 * j + 1];
        w16x8::load_row<B>(block_words_at + j * block_words, r, words[j]);
      }
    }
  }
  float acc = 0.0f;
#pragma unroll
  for (int j = 0; j < vector_column_blocks; ++j) {
    if (in[j]) {
      uint32_t q[w16x8::block_cols];
      w16x8::unpack_row<B>(words[j], r, q);
      const float4 lo = x[2 * j];
      const float4 hi = x[2 * j + 1];
      const float xk[w16x8::block_cols] = {lo.x, lo.y, lo.z, lo.w, hi.x, hi.y, hi.z, hi.w};
      float sum = 0.0f;
      float dot = 0.0f;
#pragma unroll
      for (int k = 0; k < w16x8::block_cols; ++k) {
        sum = sum + xk[k];
        dot = __fmaf_rn(xk[k], static_cast<float>(q[k]), dot);
      }
      acc = acc + __fmaf_rn(decode(offset_code[j]), sum, decode(step_code[j]) * dot);
    }
  }
  atomicAdd(output + static_cast<size_t>(rb) * 16 + r, acc);
}

// ---- batched path ----

constexpr int batch_threads = 128;
constexpr int tile_row_blocks = 16;  // row blocks per thread block
constexpr int tile_rows = 64;        // activation rows per thread block
constexpr int thread_rows = 32;      // activation rows per thread
constexpr int thread_outputs = 4;    // output rows per thread

// block x: 256 positions of the section order; block y: one activation row. Writes the activations
// column-block major: position p of row m at ((p / 8) M + m) 8 + p mod 8.
__global__ void __launch_bounds__(vector_threads)
    transpose_gather_kernel(int32_t columns, int32_t rows, float* xt, const float* input, const uint32_t* order) {
  const uint32_t p = blockIdx.x * vector_threads + threadIdx.x;
  const uint32_t m = blockIdx.y;
  if (p >= static_cast<uint32_t>(columns)) return;
  const float* row = input + static_cast<size_t>(m) * static_cast<uint32_t>(columns);
  xt[(static_cast<size_t>(p / 8) * static_cast<uint32_t>(rows) + m) * 8 + p % 8] =
      ordered_input(row, order, p, static_cast<uint32_t>(columns));
}

constexpr int decode_threads = 1024;

// wk[i][k] = fma(step, q, offset) for row 4g + I of the thread's four rows, I = 0 ... 3.
template <int B, int I = 0>
__device__ __forceinline__ void dequantise_rows(const w16x8::four_rows<B>& rows, float step, float offset,
                                                float (&wk)[thread_outputs][w16x8::block_cols]) {
  if constexpr (I < thread_outputs) {
    uint32_t q[w16x8::block_cols];
    w16x8::unpack_four_rows<B, I>(rows, q);
#pragma unroll
    for (int k = 0; k < w16x8::block_cols; ++k) wk[I][k] = __fmaf_rn(step, static_cast<float>(q[k]), offset);
    dequantise_rows<B, I + 1>(rows, step, offset, wk);
  }
}

// grid-stride loop over the section's codes, one float per code.
__global__ void __launch_bounds__(decode_threads)
    decode_kernel(int32_t count, float* decoded, const uint16_t* codes, int32_t param_cursor) {
  const size_t stride = static_cast<size_t>(gridDim.x) * decode_threads;
  for (size_t i = static_cast<size_t>(blockIdx.x) * decode_threads + threadIdx.x; i < static_cast<uint32_t>(count);
       i += stride) {
    decoded[i] = decode(codes[param_cursor + i]);
  }
}

// block x: 16 row blocks; block y: 64 activation rows; thread t: output rows 4 (t mod 4) ... + 3 of
// row block t / 8, activation rows h, h + 2, ..., h + 62 with h = (t / 4) mod 2. One column block per
// step: its activations (64 x 8 floats) and the 16 weight blocks are staged in shared memory; each
// weight is dequantised once, fma(step, q, offset), and accumulated as fma(x, w, acc) in column
// order. The accumulators reach the blocked output, (row block, activation row, 16 rows), through
// float atomics, because the sections run concurrently.
//
// Shared reads are 16 bytes wide where the layout allows: an activation row is two float4, and a
// thread's four weight rows are 4 w contiguous bytes of each plane (one 16-byte load for w = 4, two
// for 8, 8 bytes for 2, 4 for 1). A quarter warp then reads four distinct 16-byte chunks of one
// block, and a warp's narrower loads fall in distinct banks or at most two ways apart.
template <int B>
__global__ void __launch_bounds__(batch_threads)
    batched_kernel(const float* xt, uint64_t x_offset, const float* decoded, const uint32_t* weights,
                   int32_t weight_cursor, int32_t count, int32_t row_blocks, int32_t rows, float* output) {
  constexpr int block_words = w16x8::block_bytes(B) / 4;
  __shared__ __align__(16) float activations[tile_rows][w16x8::block_cols];       // 2048 bytes
  __shared__ __align__(16) uint32_t weight_tile[tile_row_blocks * block_words];  // 256 B bytes
  const uint32_t t = threadIdx.x;
  const uint32_t a = t / 8;
  const uint32_t h = (t / 4) % 2;
  const uint32_t g = t % 4;
  const uint32_t rb = blockIdx.x * tile_row_blocks + a;
  const uint32_t first_row = blockIdx.y * tile_rows;
  const uint32_t m_count = static_cast<uint32_t>(rows);
  const bool row_block_in = rb < static_cast<uint32_t>(row_blocks);
  const uint32_t* section = weights + static_cast<uint32_t>(weight_cursor) / 4;

  float acc[thread_outputs][thread_rows];
#pragma unroll
  for (int i = 0; i < thread_outputs; ++i) {
#pragma unroll
    for (int j = 0; j < thread_rows; ++j) acc[i][j] = 0.0f;
  }

  for (uint32_t c = 0; c < static_cast<uint32_t>(count); ++c) {
    {  // four activations of row t / 2, half t mod 2; rows past the matrix are zeros. The
       // transposed activations are 256-byte aligned with rows of 32 bytes.
      const uint32_t m = first_row + t / 2;
      float4 v = make_float4(0.0f, 0.0f, 0.0f, 0.0f);
      if (m < m_count) {
        v = *reinterpret_cast<const float4*>(xt + x_offset + (static_cast<size_t>(c) * m_count + m) * 8 + 4 * (t % 2));
      }
      *reinterpret_cast<float4*>(&activations[t / 2][4 * (t % 2)]) = v;
    }
    for (uint32_t w = t; w < static_cast<uint32_t>(tile_row_blocks * block_words); w += batch_threads) {
      const uint32_t local = w / block_words;
      const uint32_t global = blockIdx.x * tile_row_blocks + local;
      weight_tile[w] = global < static_cast<uint32_t>(row_blocks)
                           ? section[(static_cast<size_t>(global) * static_cast<uint32_t>(count) + c) * block_words +
                                     w % block_words]
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
    // The 32 weights of the thread's four rows, each dequantised once with one rounding.
    w16x8::four_rows<B> rows4;
    w16x8::load_four_rows<B>(weight_tile + a * block_words, g, rows4);
    float wk[thread_outputs][w16x8::block_cols];
    dequantise_rows<B>(rows4, step, offset, wk);
#pragma unroll
    for (int j = 0; j < thread_rows; ++j) {
      const float4 lo = *reinterpret_cast<const float4*>(&activations[h + 2 * j][0]);
      const float4 hi = *reinterpret_cast<const float4*>(&activations[h + 2 * j][4]);
      const float x[w16x8::block_cols] = {lo.x, lo.y, lo.z, lo.w, hi.x, hi.y, hi.z, hi.w};
#pragma unroll
      for (int i = 0; i < thread_outputs; ++i) {
#pragma unroll
        for (int k = 0; k < w16x8::block_cols; ++k) acc[i][j] = __fmaf_rn(x[k], wk[i][k], acc[i][j]);
      }
    }
    __syncthreads();
  }

  if (!row_block_in) return;
#pragma unroll
  for (int j = 0; j < thread_rows; ++j) {
    const uint32_t m = first_row + h + 2 * j;
    if (m >= m_count) continue;
#pragma unroll
    for (int i = 0; i < thread_outputs; ++i) {
      atomicAdd(output + (static_cast<size_t>(rb) * m_count + m) * 16 + 4 * g + i, acc[i][j]);
    }
  }
}

// block x: 256 output rows n; block y: activation row m. Blocked output to row-major.
__global__ void __launch_bounds__(vector_threads)
    relayout_kernel(int32_t outputs, int32_t rows, float* dst, const float* blocked) {
  const uint32_t n = blockIdx.x * vector_threads + threadIdx.x;
  const uint32_t m = blockIdx.y;
  if (n >= static_cast<uint32_t>(outputs)) return;
  dst[static_cast<size_t>(m) * static_cast<uint32_t>(outputs) + n] =
      blocked[(static_cast<size_t>(n / 16) * static_cast<uint32_t>(rows) + m) * 16 + n % 16];
}

// ---- entry ----

struct operands {
  float* output;
  const float* input;
  const uint32_t* order;
  const uint16_t* codes;
  const uint32_t* weights;
  int32_t rows;        // M
  int32_t row_blocks;
  int32_t outputs;     // N = 16 row_blocks
  int32_t columns;     // K = 8 column blocks
  w16x8::layout layout;
};

template <int B>
cudaError_t launch_vector_section(const operands& op, const w16x8::section& s, const float* xs) {
  const dim3 grid(kr::blocks_of_256(op.outputs),
                  (static_cast<uint32_t>(s.count) + vector_column_blocks - 1) / vector_column_blocks);
  return kr::launch_kernel(vector_kernel<B>, grid, dim3(vector_threads), xs,
                           static_cast<uint64_t>(w16x8::block_cols) * static_cast<uint32_t>(s.column_blocks), op.codes,
                           s.params, op.weights, s.bytes, s.count, op.row_blocks, op.output);
}

template <int B>
cudaError_t launch_batched_section(const operands& op, const w16x8::section& s, cudaStream_t stream, const float* xt,
                                   const float* decoded) {
  const dim3 grid((static_cast<uint32_t>(op.row_blocks) + tile_row_blocks - 1) / tile_row_blocks,
                  (static_cast<uint32_t>(op.rows) + tile_rows - 1) / tile_rows);
  return kr::launch_kernel(batched_kernel<B>, grid, dim3(batch_threads), stream, xt,
                           static_cast<uint64_t>(w16x8::block_cols) * static_cast<uint32_t>(s.column_blocks) *
                               static_cast<uint32_t>(op.rows),
                           decoded, op.weights, s.bytes, s.count, op.row_blocks, op.rows, op.output);
}

// One activation row, everything on the default stream.
kr_status_t run_vector(const operands& op) {
  if (kr::failed(cudaMemsetAsync(op.output, 0, static_cast<size_t>(op.outputs) * sizeof(float), cudaStream_t{}))) {
    KR_FAIL(kernel_failure);
    return KR_STATUS_RUNTIME_ERROR;
  }
  kr::scratch<float> xs;
  if (!xs.allocate(static_cast<size_t>(op.columns))) {
    KR_FAIL(alloc_failure);
    return KR_STATUS_OUT_OF_MEMORY;
  }
  // A failed gather is reported at once; the sections still run and the call ends with status 7.
  const cudaError_t gathered = kr::launch_kernel(gather_kernel, dim3(kr::blocks_of_256(op.columns)),
                                                 dim3(vector_threads), op.columns, xs.get(), op.input, op.order);
  const bool gather_failed = kr::failed(cudaGetLastError()) || gathered != cudaSuccess;
  if (gather_failed) KR_FAIL(kernel_failure);
  cudaError_t launched = cudaSuccess;
  for (int i = 0; i < op.layout.section_count; ++i) {
    const w16x8::section& s = op.layout.sections[i];
    const cudaError_t e = w16x8::with_width(
        s.b, [&](auto width) { return launch_vector_section<decltype(width)::value>(op, s, xs.get()); });
    if (launched == cudaSuccess) launched = e;
  }
  // The scratch goes back before the launch check; a refused free fails the call like a launch.
  const bool freed = xs.release();
  if (kr::failed(cudaGetLastError()) || launched != cudaSuccess || !freed) {
    KR_FAIL(kernel_failure);
    return KR_STATUS_RUNTIME_ERROR;
  }
  return gather_failed ? KR_STATUS_RUNTIME_ERROR : KR_STATUS_SUCCESS;
}

// Two or more activation rows: sections on streams 0 ... 7 of the context, into a blocked output
// that the default stream re-lays row-major once every section is done (the context's streams are
// blocking streams, so default-stream work waits for them). Each scratch array goes back as soon as
// its last kernel is queued, and a refused free fails the call like a refused launch.
kr_status_t run_batched(const operands& op, kr_omu_device* device) {
  const size_t elements = static_cast<size_t>(op.rows) * static_cast<uint32_t>(op.outputs);
  kr::scratch<float> xt;
  if (!xt.allocate(static_cast<size_t>(op.rows) * static_cast<uint32_t>(op.columns))) {
    KR_FAIL(alloc_failure);
    return KR_STATUS_OUT_OF_MEMORY;
  }
  const cudaError_t gathered =
      kr::launch_kernel(transpose_gather_kernel, dim3(kr::blocks_of_256(op.columns), static_cast<uint32_t>(op.rows)),
                        dim3(vector_threads), op.columns, op.rows, xt.get(), op.input, op.order);
  if (kr::failed(cudaGetLastError()) || gathered != cudaSuccess ||
      kr::failed(cudaMemsetAsync(op.output, 0, elements * sizeof(float), cudaStream_t{}))) {
    KR_FAIL(kernel_failure);
    return KR_STATUS_RUNTIME_ERROR;
  }

  cudaError_t launched = cudaSuccess;
  bool freed = true;
  for (int i = 0; i < op.layout.section_count; ++i) {
    const w16x8::section& s = op.layout.sections[i];
    cudaStream_t stream = device->streams[s.b - 1];
    const int32_t codes = 2 * op.row_blocks * s.count;
    kr::scratch<float> decoded(stream);
    if (!decoded.allocate(static_cast<size_t>(codes))) {
      KR_FAIL(alloc_failure);
      return KR_STATUS_OUT_OF_MEMORY;
    }
    cudaError_t e = kr::launch_kernel(decode_kernel, dim3(static_cast<uint32_t>(device->properties->multiprocessor_count)),
                                      dim3(decode_threads), stream, codes, decoded.get(), op.codes, s.params);
    if (launched == cudaSuccess) launched = e;
    e = w16x8::with_width(s.b, [&](auto width) {
      return launch_batched_section<decltype(width)::value>(op, s, stream, xt.get(), decoded.get());
    });
    if (launched == cudaSuccess) launched = e;
    freed = decoded.release() && freed;
  }
  if (kr::failed(cudaGetLastError()) || launched != cudaSuccess || !freed) {
    KR_FAIL(kernel_failure);
    return KR_STATUS_RUNTIME_ERROR;
  }
  // The activations go back before the output-sized scratch is taken.
  freed = xt.release();

  kr::scratch<float> tmp;
  if (!tmp.allocate(elements)) {
    KR_FAIL(alloc_failure);
    return KR_STATUS_OUT_OF_MEMORY;
  }
  const cudaError_t relaid =
      kr::launch_kernel(relayout_kernel, dim3(kr::blocks_of_256(op.outputs), static_cast<uint32_t>(op.rows)),
                        dim3(vector_threads), op.outputs, op.rows, tmp.get(), static_cast<const float*>(op.output));
  const bool relayout_failed = kr::failed(cudaGetLastError()) || relaid != cudaSuccess || !freed;
  const bool copy_failed =
      relayout_failed ||
      kr::failed(cudaMemcpyAsync(op.output, tmp.get(), elements * sizeof(float), cudaMemcpyDeviceToDevice, cudaStream_t{}));
  if (!tmp.release() || copy_failed) {
    KR_FAIL(kernel_failure);
    return KR_STATUS_RUNTIME_ERROR;
  }
  return KR_STATUS_SUCCESS;
}

}  // namespace

// block-quantised weight matrix multiplication
KR_OMU_EXPORT kr_status_t taabe195(kr_omu_device* device, kr_omu_operator*, kr_omu_op_weight_16x8_args_t* args) {
  operands op{};
  if (device == nullptr || device->streams == nullptr || device->properties == nullptr || args == nullptr ||
      !kr::resolve(args->output, args->output_offset, &op.output) ||
      !kr::resolve(args->input, args->input_offset, &op.input) || !kr::resolve(args->column_order, 0, &op.order) ||
      !kr::resolve(args->block_params, 0, &op.codes) || !kr::resolve(args->weights, 0, &op.weights) ||
      !w16x8::make_layout(args->row_blocks, args->column_blocks, &op.layout)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // Shapes whose output or input column count passes 2^31 - 1, or a negative row count, describe
  // no matrix: their grids would wrap.
  if (args->rows < 0 || args->row_blocks > INT32_MAX / 16 || op.layout.column_blocks > INT32_MAX / 8) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  op.rows = args->rows;
  op.row_blocks = args->row_blocks;
  op.outputs = 16 * args->row_blocks;
  op.columns = 8 * op.layout.column_blocks;
  return op.rows == 1 ? run_vector(op) : run_batched(op, device);
}
