// Plain host reference of the transposes and the row quantisation, written from their formulas.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace ref {

// output[i][j][k] = input[j][i][k]; input dim1 x dim0 x dim2.
inline std::vector<float> transpose_outer(const std::vector<float>& input, int dim0, int dim1, int dim2) {
  std::vector<float> out(static_cast<size_t>(dim0) * dim1 * dim2);
  for (int i = 0; i < dim0; ++i)
    for (int j = 0; j < dim1; ++j)
      for (int k = 0; k < dim2; ++k)
        out[(static_cast<size_t>(i) * dim1 + j) * dim2 + k] = input[(static_cast<size_t>(j) * dim0 + i) * dim2 + k];
  return out;
}

// output[i][k][j] = input[i][j][k]; input dim0 x dim1 x dim2.
inline std::vector<int8_t> transpose_inner(const std::vector<int8_t>& input, int dim0, int dim1, int dim2) {
  std::vector<int8_t> out(static_cast<size_t>(dim0) * dim1 * dim2);
  for (int i = 0; i < dim0; ++i)
    for (int j = 0; j < dim1; ++j)
      for (int k = 0; k < dim2; ++k)
        out[(static_cast<size_t>(i) * dim2 + k) * dim1 + j] = input[(static_cast<size_t>(i) * dim1 + j) * dim2 + k];
  return out;
}

struct quantized_row {
  std::vector<int16_t> values;
  float scale;
};

// One row: M = the largest magnitude (NaN ignored, minus infinity for an empty row), s = 31 / M,
// q = trunc((s x x) x 1024) saturated to 16 bits (NaN to 0), scale = 1 / (s x 131072). Every
// step is one IEEE single-precision operation, written out so that none is fused or widened.
inline quantized_row quantize_row(const std::vector<float>& row) {
  volatile float m = -std::numeric_limits<float>::infinity();
  for (float x : row) {
    const float a = std::fabs(x);
    if (!std::isnan(a) && a > m) m = a;
  }
  volatile float s = 31.0f / m;
  quantized_row out{{}, 0.0f};
  for (float x : row) {
    volatile float p = s * x;
    volatile float v = p * 1024.0f;
    int32_t q;
    if (std::isnan(v)) q = 0;
    else if (v >= 32767.0f) q = 32767;
    else if (v <= -32768.0f) q = -32768;
    else q = static_cast<int32_t>(std::trunc(v));
    out.values.push_back(static_cast<int16_t>(q));
  }
  volatile float d = s * 131072.0f;
  out.scale = 1.0f / d;
  return out;
}

}  // namespace ref
