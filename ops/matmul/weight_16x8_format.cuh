// The block-quantised weight format, written down once for the preprocessing and both
// multiplication paths.
//
// A weight matrix of 16 x row_blocks output rows is cut into blocks of 16 rows x 8 input columns,
// each holding 128 unsigned values of b bits (b = 1 ... 8) and two 16-bit parameter codes (offset,
// step); the weight is offset + step x q. The weight buffer holds one section per width, b = 1 ... 8
// in order, section b holding row_blocks x count_b blocks of 16 b bytes, row-block major. The
// parameter buffer holds the codes in the same block order, the column order buffer one input
// column per position of that order (8 per column block).
//
// Inside a block, value v = 8 r + k (row r, column k) is packed little-endian at bits v b ... v b + b - 1,
// so row r is the b-byte little-endian word at byte r b. Widths 3, 5, 6 and 7 are rewritten once into
// bit planes of widths 4, 2 and 1 (the binary digits of b, widest first): the plane holding value bits
// lo ... lo + w - 1 starts at byte 16 lo of the block and keeps row r as the w-byte word at r w. Widths
// 1, 2, 4 and 8 are a single plane already, so every width reads a row as one to three aligned
// words of 1, 2, 4 or 8 bytes.
#pragma once

#include <stdint.h>

#include <cuda_runtime.h>

namespace kr {
namespace w16x8 {

constexpr int widths = 8;           // sections, b = 1 ... 8
constexpr int block_rows = 16;
constexpr int block_cols = 8;

__host__ __device__ constexpr int block_bytes(int b) { return 16 * b; }

// Widths stored as bit planes after preprocessing.
__host__ __device__ constexpr bool split_into_planes(int b) { return b == 3 || b == 5 || b == 6 || b == 7; }

// Planes of width b, widest first: 8 is one plane of 8 bits; otherwise one plane per binary digit.
__host__ __device__ constexpr int plane_count(int b) { return b == 8 ? 1 : ((b >> 2) & 1) + ((b >> 1) & 1) + (b & 1); }
__host__ __device__ constexpr int plane_width(int b, int plane) {
  return b == 8 ? 8 : (plane == 0 ? ((b & 4) ? 4 : ((b & 2) ? 2 : 1)) : plane_width(b & ~plane_width(b, 0), plane - 1));
}
// First value bit held by a plane; the plane starts at byte 16 x this in its block.
__host__ __device__ constexpr int plane_low_bit(int b, int plane) {
  return plane == 0 ? 0 : plane_width(b, 0) + plane_low_bit(b & ~plane_width(b, 0), plane - 1);
}

// Row r of a block as the kernels read it: the eight unsigned values of the row, assembled from
// each plane's little-endian word. `block` points at the block's first byte and is 4-byte aligned
// (blocks start at multiples of 16 bytes from a 4-byte aligned buffer), so the words are read as
// 32-bit loads: one for planes of 1, 2 and 4 bytes per row, two for 8.
template <int B>
__device__ __forceinline__ void read_row(const uint32_t* block, int r, uint32_t q[block_cols]) {
#pragma unroll
  for (int k = 0; k < block_cols; ++k) q[k] = 0;
#pragma unroll
  for (int plane = 0; plane < plane_count(B); ++plane) {
    const int w = plane_width(B, plane);
    const int byte = 16 * plane_low_bit(B, plane) + r * w;
    uint64_t word;
    if (w == 8) {
      word = static_cast<uint64_t>(block[byte >> 2]) | (static_cast<uint64_t>(block[(byte >> 2) + 1]) << 32);
    } else {
      word = block[byte >> 2] >> (8 * (byte & 3));
    }
    const uint32_t mask = (1u << w) - 1u;
#pragma unroll
    for (int k = 0; k < block_cols; ++k) {
      q[k] |= (static_cast<uint32_t>(word >> (k * w)) & mask) << plane_low_bit(B, plane);
    }
  }
}

// A parameter code: magnitude in bits 0-9 (no implied leading one), exponent e in bits 10-14
// scaling by 2^(e - 35), sign in bit 15. The caller looks up the power of two for code_exponent in
// its table. Every step is exact: a 10-bit integer times a power of two, times plus or minus one.
__host__ __device__ constexpr uint32_t code_exponent(uint32_t code) { return (code >> 10) & 0x1Fu; }
__device__ __forceinline__ float decode_code(uint32_t code, float power_of_two) {
  const float magnitude = static_cast<float>(code & 0x3FFu) * power_of_two;
  return magnitude * ((code & 0x8000u) != 0 ? -1.0f : 1.0f);
}

// Where each non-empty section starts, from the shape numbers. The host keeps these cursors in
// signed 32-bit arithmetic, so a shape whose buffers would pass 2^31 - 1 bytes, or a negative
// shape number (which would move later sections before the buffer), is no valid matrix.
struct section {
  int b;
  int32_t count;          // column blocks of this width
  int32_t column_blocks;  // column blocks before this section (d)
  int32_t params;         // parameter codes before this section
  int32_t bytes;          // weight bytes before this section
};

struct layout {
  section sections[widths];  // non-empty sections in buffer order
  int section_count;
  int32_t column_blocks;  // over all sections
  int32_t param_codes;    // over all sections
  int32_t weight_bytes;   // over all sections
};

inline bool make_layout(int32_t row_blocks, const int32_t counts[widths], layout* out) {
  if (row_blocks < 0) return false;
  int64_t d = 0, params = 0, bytes = 0;
  out->section_count = 0;
  for (int b = 1; b <= widths; ++b) {
    const int32_t count = counts[b - 1];
    if (count < 0) return false;
    if (count == 0) continue;
    out->sections[out->section_count++] = section{b, count, static_cast<int32_t>(d), static_cast<int32_t>(params),
                                                  static_cast<int32_t>(bytes)};
    d += count;
    params += int64_t{2} * row_blocks * count;
    bytes += int64_t{block_bytes(b)} * row_blocks * count;
    if (d > INT32_MAX || params > INT32_MAX || bytes > INT32_MAX) return false;
  }
  out->column_blocks = static_cast<int32_t>(d);
  out->param_codes = static_cast<int32_t>(params);
  out->weight_bytes = static_cast<int32_t>(bytes);
  return true;
}

}  // namespace w16x8
}  // namespace kr
