// Block-quantised weight preprocessing: rewrites the blocks of widths 3, 5, 6 and 7 in place from
// their packed form into bit planes, so that the multiplication reads every row as whole words.
#include "numerics/tables.cuh"
#include "ops/matmul/weight_16x8_format.cuh"
#include "runtime/launch.h"

namespace {

namespace w16x8 = kr::w16x8;

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int tile = 16;  // thread blocks of 16 x 16 weight blocks

// Stores one row of a plane as a single word of `W` bytes (W = 1, 2 or 4).
template <int W>
__device__ __forceinline__ void store_plane_row(uint8_t* at, uint32_t word) {
  if (W == 4) {
    *reinterpret_cast<uint32_t*>(at) = word;
  } else if (W == 2) {
    *reinterpret_cast<uint16_t*>(at) = static_cast<uint16_t>(word);
  } else {
    *at = static_cast<uint8_t>(word);
  }
}

// Writes plane `P` of every row from the values staged in `q`.
template <int B, int P>
__device__ __forceinline__ void store_plane(uint8_t* block, const uint8_t (&q)[128]) {
  constexpr int w = w16x8::plane_width(B, P);
  constexpr int lo = w16x8::plane_low_bit(B, P);
#pragma unroll
  for (int r = 0; r < w16x8::block_rows; ++r) {
    uint32_t word = 0;
#pragma unroll
    for (int k = 0; k < w16x8::block_cols; ++k) {
      word |= ((static_cast<uint32_t>(q[8 * r + k]) >> lo) & ((1u << w) - 1u)) << (k * w);
    }
    store_plane_row<w>(block + 16 * lo + r * w, word);
  }
}

// block (x, y): 16 x 16 weight blocks, x the row block, y the section's column block; each thread
// moves one whole weight block. The block is read completely (byte loads, so that no store can be
// ordered before them) before its planes are written back over it.
template <int B>
__global__ void __launch_bounds__(tile * tile)
    split_planes_kernel(uint8_t* base, uint64_t section_offset, int32_t count, int32_t row_blocks) {
  const uint32_t x = blockIdx.x * tile + threadIdx.x;
  const uint32_t y = blockIdx.y * tile + threadIdx.y;
  if (x >= static_cast<uint32_t>(row_blocks) || y >= static_cast<uint32_t>(count)) return;
  uint8_t* block = base + section_offset +
                   (static_cast<size_t>(x) * static_cast<uint32_t>(count) + y) * w16x8::block_bytes(B);
  uint8_t packed[w16x8::block_bytes(B)];
#pragma unroll
  for (int i = 0; i < w16x8::block_bytes(B); ++i) packed[i] = block[i];
  // Row r is the B-byte little-endian word at byte r B; column k its bits k B ... k B + B - 1.
  uint8_t q[128];
#pragma unroll
  for (int r = 0; r < w16x8::block_rows; ++r) {
    uint64_t row = 0;
#pragma unroll
    for (int i = 0; i < B; ++i) row |= static_cast<uint64_t>(packed[r * B + i]) << (8 * i);
#pragma unroll
    for (int k = 0; k < w16x8::block_cols; ++k) q[8 * r + k] = static_cast<uint8_t>((row >> (k * B)) & ((1u << B) - 1u));
  }
  store_plane<B, 0>(block, q);
  if constexpr (w16x8::plane_count(B) > 1) store_plane<B, 1>(block, q);
  if constexpr (w16x8::plane_count(B) > 2) store_plane<B, 2>(block, q);
}

template <int B>
cudaError_t launch_split(cudaStream_t stream, uint8_t* base, int32_t offset, int32_t count, int32_t row_blocks) {
  const dim3 grid((static_cast<uint32_t>(row_blocks) + tile - 1) / tile, (static_cast<uint32_t>(count) + tile - 1) / tile);
  return kr::launch_kernel(split_planes_kernel<B>, grid, dim3(tile, tile), stream, base,
                           static_cast<uint64_t>(offset), count, row_blocks);
}

}  // namespace

// block-quantised weight preprocessing
KR_OMU_EXPORT kr_status_t taabe2(kr_omu_device* device, kr_omu_operator*,
                                 kr_omu_op_weight_16x8_preprocess_blocks_args_t* args) {
  uint32_t* weights = nullptr;
  w16x8::layout layout;
  if (device == nullptr || device->streams == nullptr || args == nullptr || !kr::resolve(args->weights, 0, &weights) ||
      !w16x8::make_layout(args->row_blocks, args->column_blocks, &layout)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  uint8_t* base = reinterpret_cast<uint8_t*>(weights);
  // A section whose grid the device cannot take would fail only after the sections before it had
  // been rewritten: such a call is reported as that launch's refusal before anything runs.
  if (device->properties != nullptr) {
    const int64_t row_tiles = (int64_t{args->row_blocks} + tile - 1) / tile;
    for (int i = 0; i < layout.section_count; ++i) {
      const w16x8::section& s = layout.sections[i];
      if (!w16x8::split_into_planes(s.b)) continue;
      const int64_t column_tiles = (int64_t{s.count} + tile - 1) / tile;
      if (row_tiles == 0 || row_tiles > device->properties->max_grid_size[0] ||
          column_tiles > device->properties->max_grid_size[1]) {
        KR_FAIL(kernel_failure);
        return KR_STATUS_RUNTIME_ERROR;
      }
    }
  }
  // Each width runs on its own stream (index b); the sections are disjoint, so the kernels may overlap.
  cudaError_t launched = cudaSuccess;
  for (int i = 0; i < layout.section_count; ++i) {
    const w16x8::section& s = layout.sections[i];
    if (!w16x8::split_into_planes(s.b)) continue;
    cudaStream_t stream = device->streams[s.b];
    const cudaError_t e = w16x8::with_width(s.b, [&](auto width) -> cudaError_t {
      constexpr int b = decltype(width)::value;
      if constexpr (w16x8::split_into_planes(b)) {
        return launch_split<b>(stream, base, s.bytes, s.count, args->row_blocks);
      } else {
        return cudaSuccess;  // already a single plane
      }
    });
    if (launched == cudaSuccess) launched = e;
  }
  return kr::finish_launch(launched, kernel_failure);
}
