// Host reference of the block-quantised weight format and of the two multiplication paths,
// written from the format's description with plain bit loops.
//
// Format: blocks of 16 rows x 8 columns, value v = 8 r + k holding b bits; packed form: bit j of
// value v at block bit v b + j (bit p is bit p mod 8 of byte p div 8). Plane form (b = 3, 5, 6, 7):
// planes of widths 4, 2, 1 making up b, widest first, one after another; the plane of width w
// covering value bits lo ... lo + w - 1 holds bit lo + j of value v at its bit v w + j. Sections
// b = 1 ... 8 follow one another, each row_blocks x count_b blocks of 16 b bytes, row-block major;
// parameter codes (offset, step) in the same block order; a code is magnitude (bits 0-9) x
// 2^(exponent - 35) (bits 10-14), negated by bit 15.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace ref {

inline int bit_of(const std::vector<uint8_t>& bytes, size_t p) { return (bytes[p / 8] >> (p % 8)) & 1; }
inline void set_bit(std::vector<uint8_t>& bytes, size_t p, int bit) {
  if (bit) bytes[p / 8] = static_cast<uint8_t>(bytes[p / 8] | (1u << (p % 8)));
}

// The widths of the planes of width b, widest first.
inline std::vector<int> plane_widths(int b) {
  std::vector<int> w;
  for (int bit : {4, 2, 1}) {
    if (b & bit) w.push_back(bit);
  }
  return w;
}

// 128 values of b bits into the 16 b packed bytes.
inline std::vector<uint8_t> pack_block(int b, const std::vector<uint8_t>& values) {
  std::vector<uint8_t> bytes(16 * b, 0);
  for (int v = 0; v < 128; ++v) {
    for (int j = 0; j < b; ++j) set_bit(bytes, static_cast<size_t>(v) * b + j, (values[v] >> j) & 1);
  }
  return bytes;
}

inline std::vector<uint8_t> unpack_block(int b, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> values(128, 0);
  for (int v = 0; v < 128; ++v) {
    for (int j = 0; j < b; ++j) values[v] = static_cast<uint8_t>(values[v] | (bit_of(bytes, static_cast<size_t>(v) * b + j) << j));
  }
  return values;
}

// 128 values of b bits (b = 3, 5, 6, 7) into plane form.
inline std::vector<uint8_t> plane_block(int b, const std::vector<uint8_t>& values) {
  std::vector<uint8_t> bytes(16 * b, 0);
  size_t start = 0;  // plane start in bits
  int lo = 0;
  for (int w : plane_widths(b)) {
    for (int v = 0; v < 128; ++v) {
      for (int j = 0; j < w; ++j) set_bit(bytes, start + static_cast<size_t>(v) * w + j, (values[v] >> (lo + j)) & 1);
    }
    start += 128 * static_cast<size_t>(w);
    lo += w;
  }
  return bytes;
}

inline std::vector<uint8_t> unplane_block(int b, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> values(128, 0);
  size_t start = 0;
  int lo = 0;
  for (int w : plane_widths(b)) {
    for (int v = 0; v < 128; ++v) {
      for (int j = 0; j < w; ++j) {
        values[v] = static_cast<uint8_t>(values[v] | (bit_of(bytes, start + static_cast<size_t>(v) * w + j) << (lo + j)));
      }
    }
    start += 128 * static_cast<size_t>(w);
    lo += w;
  }
  return values;
}

inline bool in_plane_form(int b) { return b == 3 || b == 5 || b == 6 || b == 7; }

inline float decode_code(uint16_t code) {
  const double magnitude = code & 1023;
  const int exponent = (code >> 10) & 31;
  const double value = std::ldexp(magnitude, exponent - 35);
  return static_cast<float>((code & 0x8000) ? -value : value);
}

// A quantised matrix: per width b, row_blocks x count_b blocks of 128 values, and two codes each.
struct quantised_matrix {
  int32_t row_blocks = 0;
  int32_t counts[8] = {};
  // blocks[b - 1][rb * count_b + cb]: 128 values; codes[b - 1][2 (rb * count_b + cb) + 0/1].
  std::vector<std::vector<uint8_t>> blocks[8];
  std::vector<uint16_t> codes[8];

  int32_t column_blocks() const {
    int32_t d = 0;
    for (int32_t c : counts) d += c;
    return d;
  }
  int32_t rows() const { return 16 * row_blocks; }  // N
  int32_t cols() const { return 8 * column_blocks(); }  // K

  // The weight buffer, packed (as uploaded) or with widths 3, 5, 6, 7 in plane form.
  std::vector<uint8_t> weight_bytes(bool planes) const {
    std::vector<uint8_t> out;
    for (int b = 1; b <= 8; ++b) {
      for (const auto& values : blocks[b - 1]) {
        const auto bytes = planes && in_plane_form(b) ? plane_block(b, values) : pack_block(b, values);
        out.insert(out.end(), bytes.begin(), bytes.end());
      }
    }
    return out;
  }
  std::vector<uint16_t> param_words() const {
    std::vector<uint16_t> out;
    for (int b = 1; b <= 8; ++b) out.insert(out.end(), codes[b - 1].begin(), codes[b - 1].end());
    return out;
  }
};

// Random values, and codes with either sign and exponents from `min_exponent` to 31.
inline quantised_matrix random_matrix(int32_t row_blocks, const int32_t (&counts)[8], uint32_t seed, int min_exponent = 24) {
  quantised_matrix m;
  m.row_blocks = row_blocks;
  uint64_t state = seed * 6364136223846793005ull + 1442695040888963407ull;
  auto next = [&state]() {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state >> 33);
  };
  for (int b = 1; b <= 8; ++b) {
    m.counts[b - 1] = counts[b - 1];
    const size_t n = static_cast<size_t>(row_blocks) * counts[b - 1];
    for (size_t i = 0; i < n; ++i) {
      std::vector<uint8_t> values(128);
      for (uint8_t& v : values) v = static_cast<uint8_t>(next() & ((1u << b) - 1u));
      m.blocks[b - 1].push_back(values);
      for (int c = 0; c < 2; ++c) {
        const uint32_t exponent = static_cast<uint32_t>(min_exponent) + next() % static_cast<uint32_t>(32 - min_exponent);
        m.codes[b - 1].push_back(static_cast<uint16_t>((next() & 0x83FFu) | (exponent << 10)));
      }
    }
  }
  return m;
}

// Visits every block as (b, rb, cb, d): d the column block over all sections in buffer order.
template <typename F>
void for_each_block(const quantised_matrix& m, F f) {
  int32_t before = 0;
  for (int b = 1; b <= 8; ++b) {
    for (int32_t rb = 0; rb < m.row_blocks; ++rb) {
      for (int32_t cb = 0; cb < m.counts[b - 1]; ++cb) f(b, rb, cb, before + cb);
    }
    before += m.counts[b - 1];
  }
}

// The terms that the device adds into output element n (single activation row x in section order,
// K floats) with float atomics. One term per section and group of four column blocks: the sum over
// that group, in order, of fma(offset, x0 + ... + x7, step x (fused chain of x_k q_k)).
inline std::vector<std::vector<float>> vector_terms(const quantised_matrix& m, const std::vector<float>& x) {
  std::vector<std::vector<float>> terms(static_cast<size_t>(m.rows()));
  int32_t before = 0;
  for (int b = 1; b <= 8; ++b) {
    const int32_t count = m.counts[b - 1];
    for (int32_t rb = 0; rb < m.row_blocks; ++rb) {
      for (int32_t r = 0; r < 16; ++r) {
        for (int32_t group = 0; group * 4 < count; ++group) {
          float acc = 0.0f;
          for (int32_t cb = 4 * group; cb < count && cb < 4 * group + 4; ++cb) {
            const size_t blk = static_cast<size_t>(rb) * count + cb;
            const float offset = decode_code(m.codes[b - 1][2 * blk]);
            const float step = decode_code(m.codes[b - 1][2 * blk + 1]);
            const float* xs = &x[8 * static_cast<size_t>(before + cb)];
            float sum = 0.0f, dot = 0.0f;
            for (int k = 0; k < 8; ++k) {
              sum = sum + xs[k];
              dot = std::fmaf(xs[k], static_cast<float>(m.blocks[b - 1][blk][8 * r + k]), dot);
            }
            acc = acc + std::fmaf(offset, sum, step * dot);
          }
          terms[16 * static_cast<size_t>(rb) + r].push_back(acc);
        }
      }
    }
    before += count;
  }
  return terms;
}

// The terms of output element (a, n) for activation rows xs (each K floats in section order): one
// per non-empty section, the fused chain over its column blocks and columns of x_k x w_k with the
// weight dequantised first, w_k = fma(step, q_k, offset).
inline std::vector<std::vector<float>> batched_terms(const quantised_matrix& m, const std::vector<std::vector<float>>& xs) {
  const size_t n_count = static_cast<size_t>(m.rows());
  std::vector<std::vector<float>> terms(xs.size() * n_count);
  for (size_t a = 0; a < xs.size(); ++a) {
    int32_t before = 0;
    for (int b = 1; b <= 8; ++b) {
      const int32_t count = m.counts[b - 1];
      if (count == 0) continue;
      for (int32_t rb = 0; rb < m.row_blocks; ++rb) {
        for (int32_t r = 0; r < 16; ++r) {
          float acc = 0.0f;
          for (int32_t cb = 0; cb < count; ++cb) {
            const size_t blk = static_cast<size_t>(rb) * count + cb;
            const float offset = decode_code(m.codes[b - 1][2 * blk]);
            const float step = decode_code(m.codes[b - 1][2 * blk + 1]);
            for (int k = 0; k < 8; ++k) {
              const float w = std::fmaf(step, static_cast<float>(m.blocks[b - 1][blk][8 * r + k]), offset);
              acc = std::fmaf(xs[a][8 * static_cast<size_t>(before + cb) + k], w, acc);
            }
          }
          terms[a * n_count + 16 * static_cast<size_t>(rb) + r].push_back(acc);
        }
      }
      before += count;
    }
  }
  return terms;
}

// Whether y is what float additions of `terms` into 0.0, in any order, can give: within
// gamma(T - 1) x sum |t| of the exact sum (T - 1 roundings of relative size 2^-24 at most), and
// exactly the term itself when there is only one.
inline bool sum_of_terms_accepts(const std::vector<float>& terms, float y) {
  if (terms.empty()) return y == 0.0f;
  if (terms.size() == 1) return y == 0.0f + terms[0];
  double exact = 0.0, magnitude = 0.0;
  for (float t : terms) {
    exact += t;
    magnitude += std::fabs(t);
  }
  const double u = std::ldexp(1.0, -24);
  const double n = static_cast<double>(terms.size() - 1);
  // plus the rounding of the double sum itself
  const double bound = n * u / (1.0 - n * u) * magnitude + (n + 1.0) * std::ldexp(magnitude, -52);
  return std::fabs(static_cast<double>(y) - exact) <= bound;
}

}  // namespace ref
