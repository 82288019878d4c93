// Block-quantised weight matrix product: output[m][n] = sum over input columns of
// input[m][column] x weight[n][column], with every 16 x 8 weight block dequantised on the fly.
// One activation row takes the vector path (no tiling, straight into the output); two or more take
// the batched path (shared-memory tiles, one stream per bit-width section).
#include "numerics/tables.cuh"
#include "ops/matmul/weight_16x8_format.cuh"
#include "runtime/launch.h"

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

// block x: 16 row blocks, thread x: one output row (row block t / 16, row t mod 16); block y: four
// column blocks of the section. The offset is factored out of the block's eight terms: offset x
// sum(x) + step x sum(x q), the second sum one fused chain. Groups and sections meet in the output
// through float atomics, so the last bits depend on their order.
template <int B>
__global__ void __launch_bounds__(vector_threads)
    vector_kernel(const float* xs, uint64_t x_offset, const uint16_t* codes, int32_t param_cursor,
                  const uint32_t* weights, int32_t weight_cursor, int32_t count, int32_t row_blocks, float* output) {
  const uint32_t t = threadIdx.x;
  const uint32_t rb = blockIdx.x * (vector_threads / 16) + t / 16;
  const int r = static_cast<int>(t % 16);
  if (rb >= static_cast<uint32_t>(row_blocks)) return;
  float acc = 0.0f;
  for (int j = 0; j < vector_column_blocks; ++j) {
    const uint32_t cb = blockIdx.y * vector_column_blocks + j;
    if (cb >= static_cast<uint32_t>(count)) break;
    const size_t block = static_cast<size_t>(rb) * static_cast<uint32_t>(count) + cb;
    const float offset = decode(codes[param_cursor + 2 * block]);
    const float step = decode(codes[param_cursor + 2 * block + 1]);
    uint32_t q[w16x8::block_cols];
    w16x8::read_row<B>(weights + (static_cast<size_t>(weight_cursor) + block * w16x8::block_bytes(B)) / 4, r, q);
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
template <int B>
__global__ void __launch_bounds__(batch_threads)
    batched_kernel(const float* xt, uint64_t x_offset, const float* decoded, const uint32_t* weights,
                   int32_t weight_cursor, int32_t count, int32_t row_blocks, int32_t rows, float* output) {
  constexpr int block_words = w16x8::block_bytes(B) / 4;
  __shared__ float activations[tile_rows][w16x8::block_cols];        // 2048 bytes
  __shared__ uint32_t weight_tile[tile_row_blocks * block_words];   // 256 B bytes
  const uint32_t t = threadIdx.x;
  const uint32_t a = t / 8;
  const uint32_t h = (t / 4) % 2;
  const uint32_t g = t % 4;
  const uint32_t rb = blockIdx.x * tile_row_blocks + a;
  const uint32_t first_row = blockIdx.y * tile_rows;
  const uint32_t m_count = static_cast<uint32_t>(rows);
  const bool row_block_in = rb < static_cast<uint32_t>(row_blocks);

  float acc[thread_outputs][thread_rows];
#pragma unroll
  for (int i = 0; i < thread_outputs; ++i) {
#pragma unroll
    for (int j = 0; j < thread_rows; ++j) acc[i][j] = 0.0f;
  }

  for (uint32_t c = 0; c < static_cast<uint32_t>(count); ++c) {
    {  // four activations of row t / 2, half t mod 2; rows past the matrix are zeros
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
    for (uint32_t w = t; w < static_cast<uint32_t>(tile_row_blocks * block_words); w += batch_threads) {
      const uint32_t local = w / block_words;
      const uint32_t global = blockIdx.x * tile_row_blocks + local;
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
    // The 32 weights of the thread's four rows, each dequantised once with one rounding.
    float wk[thread_outputs][w16x8::block_cols];
#pragma unroll
    for (int i = 0; i < thread_outputs; ++i) {
      uint32_t q[w16x8::block_cols];
      w16x8::read_row<B>(weight_tile + a * block_words, static_cast<int>(4 * g + i), q);
#pragma unroll
      for (int k = 0; k < w16x8::block_cols; ++k) wk[i][k] = __fmaf_rn(step, static_cast<float>(q[k]), offset);
    }
#pragma unroll
    for (int j = 0; j < thread_rows; ++j) {
      float x[w16x8::block_cols];
#pragma unroll
      for (int k = 0; k < w16x8::block_cols; ++k) x[k] = activations[h + 2 * j][k];
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

// Whether a runtime call failed; a failure's last error is read and cleared, so that it is reported
// once, by the caller's own record.
bool failed(cudaError_t e) {
  if (e == cudaSuccess) return false;
  cudaGetLastError();
  return true;
}

// Stream-ordered scratch memory. An empty array allocates nothing (runtimes differ on zero-byte
// requests), so that a degenerate shape fails the same way everywhere: at its empty grid.
cudaError_t scratch_alloc(float** p, size_t elements, cudaStream_t stream) {
  *p = nullptr;
  return elements == 0 ? cudaSuccess : cudaMallocAsync(reinterpret_cast<void**>(p), elements * sizeof(float), stream);
}
cudaError_t scratch_free(float* p, cudaStream_t stream) { return p == nullptr ? cudaSuccess : cudaFreeAsync(p, stream); }

kr_status_t report(const kr_error_record& record, kr_status_t status) {
  kr::error_append("", 0, &record);
  return status;
}

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
  const dim3 grid(static_cast<uint32_t>(op.row_blocks + tile_row_blocks - 1) / tile_row_blocks,
                  (static_cast<uint32_t>(op.rows) + tile_rows - 1) / tile_rows);
  return kr::launch_kernel(batched_kernel<B>, grid, dim3(batch_threads), stream, xt,
                           static_cast<uint64_t>(w16x8::block_cols) * static_cast<uint32_t>(s.column_blocks) *
                               static_cast<uint32_t>(op.rows),
                           decoded, op.weights, s.bytes, s.count, op.row_blocks, op.rows, op.output);
}

template <template <int> class Launch, typename... A>
cudaError_t for_width(int b, A... args) {
  switch (b) {
    case 1: return Launch<1>::run(args...);
    case 2: return Launch<2>::run(args...);
    case 3: return Launch<3>::run(args...);
    case 4: return Launch<4>::run(args...);
    case 5: return Launch<5>::run(args...);
    case 6: return Launch<6>::run(args...);
    case 7: return Launch<7>::run(args...);
    default: return Launch<8>::run(args...);
  }
}

template <int B>
struct vector_section {
  static cudaError_t run(const operands* op, const w16x8::section* s, const float* xs) {
    return launch_vector_section<B>(*op, *s, xs);
  }
};
template <int B>
struct batched_section {
  static cudaError_t run(const operands* op, const w16x8::section* s, cudaStream_t stream, const float* xt,
                         const float* decoded) {
    return launch_batched_section<B>(*op, *s, stream, xt, decoded);
  }
};

// One activation row, everything on the default stream.
kr_status_t run_vector(const operands& op) {
  if (failed(cudaMemsetAsync(op.output, 0, static_cast<size_t>(op.outputs) * sizeof(float), cudaStream_t{}))) {
    return report(kernel_failure, KR_STATUS_RUNTIME_ERROR);
  }
  float* xs = nullptr;
  if (failed(scratch_alloc(&xs, static_cast<size_t>(op.columns), cudaStream_t{}))) {
    return report(alloc_failure, KR_STATUS_OUT_OF_MEMORY);
  }
  // A failed gather is reported at once; the sections still run and the call ends with status 7.
  bool gather_failed = false;
  const cudaError_t gathered = kr::launch_kernel(gather_kernel, dim3(kr::blocks_of_256(op.columns)),
                                                 dim3(vector_threads), op.columns, xs, op.input, op.order);
  if (cudaGetLastError() != cudaSuccess || gathered != cudaSuccess) {
    kr::error_append("", 0, &kernel_failure);
    gather_failed = true;
  }
  cudaError_t launched = cudaSuccess;
  for (int i = 0; i < op.layout.section_count; ++i) {
    const cudaError_t e = for_width<vector_section>(op.layout.sections[i].b, &op, &op.layout.sections[i],
                                                    static_cast<const float*>(xs));
    if (launched == cudaSuccess) launched = e;
  }
  scratch_free(xs, cudaStream_t{});
  if (cudaGetLastError() != cudaSuccess || launched != cudaSuccess) return report(kernel_failure, KR_STATUS_RUNTIME_ERROR);
  return gather_failed ? KR_STATUS_RUNTIME_ERROR : KR_STATUS_SUCCESS;
}

// Two or more activation rows: sections on streams 0 ... 7 of the context, into a blocked output
// that the default stream re-lays row-major once every section is done (the context's streams are
// blocking streams, so default-stream work waits for them).
kr_status_t run_batched(const operands& op, kr_omu_device* device) {
  const size_t elements = static_cast<size_t>(op.rows) * static_cast<uint32_t>(op.outputs);
  float* xt = nullptr;
  if (failed(scratch_alloc(&xt, static_cast<size_t>(op.rows) * static_cast<uint32_t>(op.columns), cudaStream_t{}))) {
    return report(alloc_failure, KR_STATUS_OUT_OF_MEMORY);
  }
  const cudaError_t gathered =
      kr::launch_kernel(transpose_gather_kernel, dim3(kr::blocks_of_256(op.columns), static_cast<uint32_t>(op.rows)),
                        dim3(vector_threads), op.columns, op.rows, xt, op.input, op.order);
  if (failed(cudaGetLastError()) || gathered != cudaSuccess ||
      failed(cudaMemsetAsync(op.output, 0, elements * sizeof(float), cudaStream_t{}))) {
    failed(scratch_free(xt, cudaStream_t{}));
    return report(kernel_failure, KR_STATUS_RUNTIME_ERROR);
  }

  cudaError_t launched = cudaSuccess;
  bool out_of_memory = false;
  for (int i = 0; i < op.layout.section_count; ++i) {
    const w16x8::section& s = op.layout.sections[i];
    cudaStream_t stream = device->streams[s.b - 1];
    const int32_t codes = 2 * op.row_blocks * s.count;
    float* decoded = nullptr;
    if (failed(scratch_alloc(&decoded, static_cast<size_t>(codes), stream))) {
      out_of_memory = true;
      break;
    }
    cudaError_t e = kr::launch_kernel(decode_kernel, dim3(static_cast<uint32_t>(device->properties->multiprocessor_count)),
                                      dim3(decode_threads), stream, codes, decoded, op.codes, s.params);
    if (launched == cudaSuccess) launched = e;
    e = for_width<batched_section>(s.b, &op, &s, stream, static_cast<const float*>(xt),
                                   static_cast<const float*>(decoded));
    if (launched == cudaSuccess) launched = e;
    scratch_free(decoded, stream);
  }
  if (out_of_memory) {
    failed(scratch_free(xt, cudaStream_t{}));
    return report(alloc_failure, KR_STATUS_OUT_OF_MEMORY);
  }
  if (failed(cudaGetLastError()) || launched != cudaSuccess) {
    failed(scratch_free(xt, cudaStream_t{}));
    return report(kernel_failure, KR_STATUS_RUNTIME_ERROR);
  }
  scratch_free(xt, cudaStream_t{});

  float* tmp = nullptr;
  if (failed(scratch_alloc(&tmp, elements, cudaStream_t{}))) {
    return report(alloc_failure, KR_STATUS_OUT_OF_MEMORY);
  }
  const cudaError_t relaid =
      kr::launch_kernel(relayout_kernel, dim3(kr::blocks_of_256(op.outputs), static_cast<uint32_t>(op.rows)),
                        dim3(vector_threads), op.outputs, op.rows, tmp, static_cast<const float*>(op.output));
  const bool relayout_failed = failed(cudaGetLastError()) || relaid != cudaSuccess;
  const bool copy_failed =
      relayout_failed ||
      failed(cudaMemcpyAsync(op.output, tmp, elements * sizeof(float), cudaMemcpyDeviceToDevice, cudaStream_t{}));
  if (failed(scratch_free(tmp, cudaStream_t{})) || copy_failed) return report(kernel_failure, KR_STATUS_RUNTIME_ERROR);
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
