// Host reference of the float matrix product output = lhs x rhs^T: each element one chain of
// single-precision fused multiply-adds over k in increasing order, starting from 0.0.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace ref {

inline std::vector<float> matmul_f32(const std::vector<float>& lhs, const std::vector<float>& rhs, int32_t rows,
                                     int32_t cols, int32_t depth) {
  std::vector<float> out(static_cast<size_t>(rows) * static_cast<size_t>(cols));
  for (int32_t i = 0; i < rows; ++i) {
    for (int32_t j = 0; j < cols; ++j) {
      float acc = 0.0f;
      for (int32_t k = 0; k < depth; ++k) {
        acc = std::fmaf(lhs[static_cast<size_t>(i) * depth + k], rhs[static_cast<size_t>(j) * depth + k], acc);
      }
      out[static_cast<size_t>(i) * cols + j] = acc;
    }
  }
  return out;
}

}  // namespace ref
