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

#include <type_traits>

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

// A plane's shape as compile-time constants, so that every shift and offset below folds (the
// recursive helpers above, evaluated at run time, would be device calls).
template <int B, int P>
struct plane {
  static constexpr int width = plane_width(B, P);     // bytes per row
  static constexpr int low_bit = plane_low_bit(B, P);
  static constexpr int first_word = 4 * low_bit;      // the plane starts at byte 16 x low_bit
  static constexpr uint32_t mask = width == 8 ? 0xFFu : (1u << width) - 1u;
};

// 32-bit words that hold one row of a block: one per plane, two for the 8-bit plane.
__host__ __device__ constexpr int row_words(int b) { return b == 8 ? 2 : plane_count(b); }

// Loads row r of a block for the vector path. `block` points at the block's first byte and is
// 4-byte aligned (blocks start at multiples of 16 bytes from a 4-byte aligned buffer), so each
// plane's row is read as the aligned 32-bit word that holds it (two for the 8-bit plane).
template <int B, int P = 0>
__device__ __forceinline__ void load_row(const uint32_t* block, uint32_t r, uint32_t (&words)[row_words(B)]) {
  if constexpr (P < plane_count(B)) {
    using pl = plane<B, P>;
    if constexpr (pl::width == 8) {
      words[0] = block[2 * r];
      words[1] = block[2 * r + 1];
    } else {
      words[P] = block[pl::first_word + (r * pl::width) / 4];
    }
    load_row<B, P + 1>(block, r, words);
  }
}

// Vector path, odd widths: blocks of 16 b bytes alternate between the two halves of a 32-byte
// sector, so a row's word of one block shares its sectors with the neighbouring blocks, which other
// requests read. Instead the 16 threads of a row block read the contiguous words of their (up to
// four) consecutive blocks together, from the sector boundary at or before the first block: with
// `lead` the words of that sector before the group (0 ... 7), span[k] of lane i holds group word
// 16 k + i - lead. Each thread then takes, for every plane, the word that holds its row from the lane
// that read it.
//
// Group word of plane P of block j that holds row r.
template <int B, int P>
__host__ __device__ constexpr int span_word(int j, int r) {
  return j * block_bytes(B) / 4 + plane<B, P>::first_word + r * plane<B, P>::width / 4;
}

// The words of every plane of block J that hold row r (lane r of a 16-lane segment), into words,
// by shuffles among the 16 lanes. A plane of width w <= 4 is 4 w <= 16 consecutive group words, so
// each lane holds at most one of them, in span[k] for k = first / 16 ... first / 16 + 2 (first: the
// plane's first word counted from the sector boundary). Every lane of the warp must execute this
// (full-warp shuffles).
template <int B, int J, int P = 0>
__device__ __forceinline__ void share_block_rows(const uint32_t (&span)[B + 1], uint32_t lead, uint32_t r,
                                                 uint32_t (&words)[row_words(B)]) {
  if constexpr (P < plane_count(B)) {
    using pl = plane<B, P>;
    static_assert(pl::width <= 4, "an 8-bit plane spans more than 16 words");
    constexpr int c0 = span_word<B, P>(J, 0) / 16;
    const uint32_t first = static_cast<uint32_t>(span_word<B, P>(J, 0)) + lead;
    // The plane's word that lane r holds, if any, is word first + ((r - first) mod 16).
    const uint32_t k = (first + ((r - first) % 16)) / 16;
    uint32_t held = k == c0 ? span[c0] : span[c0 + 1];
    if constexpr (c0 + 2 <= B) {
      if (k == c0 + 2) held = span[c0 + 2];
    }
    const uint32_t source = (first + r * pl::width / 4) % 16;
    words[P] = __shfl_sync(0xFFFFFFFFu, held, static_cast<int>(source), 16);
    share_block_rows<B, J, P + 1>(span, lead, r, words);
  }
}

// ORs plane P's bits of one row into q. `lo` holds the row's fields from bit 0 (for the 8-bit plane
// columns 0-3; `hi` columns 4-7).
template <int B, int P>
__device__ __forceinline__ void add_plane(uint32_t lo, uint32_t hi, uint32_t (&q)[block_cols]) {
  using pl = plane<B, P>;
#pragma unroll
  for (int k = 0; k < block_cols; ++k) {
    uint32_t field;
    if constexpr (pl::width == 8) {
      field = ((k < 4 ? lo : hi) >> (8 * (k % 4))) & pl::mask;
    } else {
      field = (lo >> (k * pl::width)) & pl::mask;
    }
    if constexpr (P == 0) {
      q[k] = field;
    } else {
      q[k] |= field << pl::low_bit;
    }
  }
}

// The eight unsigned values of row r from the words load_row read.
template <int B, int P = 0>
__device__ __forceinline__ void unpack_row(const uint32_t (&words)[row_words(B)], uint32_t r,
                                           uint32_t (&q)[block_cols]) {
  if constexpr (P < plane_count(B)) {
    using pl = plane<B, P>;
    if constexpr (pl::width == 8) {
      add_plane<B, P>(words[0], words[1], q);
    } else {
      add_plane<B, P>(words[P] >> (8 * ((r * pl::width) % 4)), 0u, q);
    }
    unpack_row<B, P + 1>(words, r, q);
  }
}

// 32-bit words that hold four consecutive rows 4g ... 4g + 3 of a block, over all planes: each
// plane's four rows are 4 w contiguous bytes, one 32-bit word per byte of row width.
template <int B>
struct four_rows {
  uint32_t words[B];
};

// Offset of plane P's words in four_rows.
template <int B, int P>
__host__ __device__ constexpr int four_rows_word() {
  if constexpr (P == 0) {
    return 0;
  } else {
    return four_rows_word<B, P - 1>() + plane<B, P - 1>::width;
  }
}

// Loads rows 4g ... 4g + 3 of a block staged in shared memory, one load per plane: 16 bytes for
// planes of 4 and 8 bits (two loads), 8 bytes for 2, 4 bytes for 1. `block` is 16-byte aligned.
template <int B, int P = 0>
__device__ __forceinline__ void load_four_rows(const uint32_t* block, uint32_t g, four_rows<B>& rows) {
  if constexpr (P < plane_count(B)) {
    using pl = plane<B, P>;
    constexpr int at = four_rows_word<B, P>();
    const uint32_t* src = block + pl::first_word + g * pl::width;
    if constexpr (pl::width >= 4) {
#pragma unroll
      for (int v = 0; v < pl::width / 4; ++v) {
        const uint4 w = reinterpret_cast<const uint4*>(src)[v];
        rows.words[at + 4 * v] = w.x;
        rows.words[at + 4 * v + 1] = w.y;
        rows.words[at + 4 * v + 2] = w.z;
        rows.words[at + 4 * v + 3] = w.w;
      }
    } else if constexpr (pl::width == 2) {
      const uint2 w = *reinterpret_cast<const uint2*>(src);
      rows.words[at] = w.x;
      rows.words[at + 1] = w.y;
    } else {
      rows.words[at] = *src;
    }
    load_four_rows<B, P + 1>(block, g, rows);
  }
}

// The eight unsigned values of row 4g + I from four_rows: the row sits at byte I w of each plane's
// words.
template <int B, int I, int P = 0>
__device__ __forceinline__ void unpack_four_rows(const four_rows<B>& rows, uint32_t (&q)[block_cols]) {
  if constexpr (P < plane_count(B)) {
    using pl = plane<B, P>;
    constexpr int at = four_rows_word<B, P>();
    if constexpr (pl::width == 8) {
      add_plane<B, P>(rows.words[at + 2 * I], rows.words[at + 2 * I + 1], q);
    } else {
      constexpr int byte = I * pl::width;
      add_plane<B, P>(rows.words[at + byte / 4] >> (8 * (byte % 4)), 0u, q);
    }
    unpack_four_rows<B, I, P + 1>(rows, q);
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

// Calls f(std::integral_constant<int, b>{}) for a width b = 1 ... 8 known only at run time, so that
// f's kernels are instantiated once per width and every plane shape inside them is a constant.
template <typename F>
decltype(auto) with_width(int b, F&& f) {
  switch (b) {
    case 1: return f(std::integral_constant<int, 1>{});
    case 2: return f(std::integral_constant<int, 2>{});
    case 3: return f(std::integral_constant<int, 3>{});
    case 4: return f(std::integral_constant<int, 4>{});
    case 5: return f(std::integral_constant<int, 5>{});
    case 6: return f(std::integral_constant<int, 6>{});
    case 7: return f(std::integral_constant<int, 7>{});
    default: return f(std::integral_constant<int, 8>{});
  }
}

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
