// Plain host reference of the 16-bit by 8-bit convolutions and linear layers, written from their
// formulas: every sum is formed exactly in 64 bits and then wrapped to 32 bits explicitly.
#pragma once

#include <cstdint>
#include <vector>

namespace ref {

// The low 32 bits of an exact sum, read as two's complement.
inline int32_t wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

// output[m, n] = sum over taps j and channels c of input[m + j, c] x weights[n, j, c].
inline std::vector<int32_t> conv1d(const std::vector<int16_t>& input, const std::vector<int8_t>& weights,
                                   int num_frames, int out_channels, int in_channels, int kernel_size) {
  std::vector<int32_t> out(static_cast<size_t>(num_frames) * out_channels);
  for (int m = 0; m < num_frames; ++m) {
    for (int n = 0; n < out_channels; ++n) {
      int64_t s = 0;
      for (int j = 0; j < kernel_size; ++j) {
        for (int c = 0; c < in_channels; ++c) {
          s += int64_t{input[static_cast<size_t>(m + j) * in_channels + c]} *
               weights[(static_cast<size_t>(n) * kernel_size + j) * in_channels + c];
        }
      }
      out[static_cast<size_t>(m) * out_channels + n] = wrap32(s);
    }
  }
  return out;
}

// out[m, c] = sum over j of input[m + j, c] x weights[j, c].
inline std::vector<int32_t> conv1d_depthwise(const std::vector<int16_t>& input, const std::vector<int8_t>& weights,
                                             int num_frames, int channels, int kernel_size) {
  std::vector<int32_t> out(static_cast<size_t>(num_frames) * channels);
  for (int m = 0; m < num_frames; ++m) {
    for (int c = 0; c < channels; ++c) {
      int64_t s = 0;
      for (int j = 0; j < kernel_size; ++j) {
        s += int64_t{input[static_cast<size_t>(m + j) * channels + c]} * weights[static_cast<size_t>(j) * channels + c];
      }
      out[static_cast<size_t>(m) * channels + c] = wrap32(s);
    }
  }
  return out;
}

// Transposed convolution by scattering: input frame t adds input[t, c] x weights[j, c] into output
// frame t x stride + j, for every tap j; (num_frames - 1) x stride + kernel_size frames.
inline std::vector<int32_t> conv1d_transposed_depthwise(const std::vector<int16_t>& input,
                                                        const std::vector<int8_t>& weights, int num_frames,
                                                        int channels, int kernel_size, int stride) {
  const int frames = (num_frames - 1) * stride + kernel_size;
  std::vector<int64_t> sums(static_cast<size_t>(frames) * channels, 0);
  for (int t = 0; t < num_frames; ++t) {
    for (int j = 0; j < kernel_size; ++j) {
      for (int c = 0; c < channels; ++c) {
        sums[static_cast<size_t>(t * stride + j) * channels + c] +=
            int64_t{input[static_cast<size_t>(t) * channels + c]} * weights[static_cast<size_t>(j) * channels + c];
      }
    }
  }
  std::vector<int32_t> out(sums.size());
  for (size_t i = 0; i < sums.size(); ++i) out[i] = wrap32(sums[i]);
  return out;
}

inline int32_t clamp16(int64_t v) { return static_cast<int32_t>(v < -32768 ? -32768 : (v > 32767 ? 32767 : v)); }

// Floor division by 2^7 (an arithmetic shift) of a 32-bit value.
inline int32_t floor_div128(int32_t v) {
  const int64_t x = v;
  return static_cast<int32_t>(x >= 0 ? x / 128 : -((-x + 127) / 128));
}

// The linear layer's requantisation: the 32-bit sum acc + 1024 bias + 64 (wrapping), divided by
// 128 rounding down; not yet clamped.
inline int32_t linear_unclamped(int32_t acc, int8_t bias) {
  return floor_div128(wrap32(int64_t{acc} + int64_t{bias} * 1024 + 64));
}

// acc of row r, feature n: sum over k of input[r, k] x weights[n, k], wrapped to 32 bits.
inline int32_t linear_acc(const std::vector<int16_t>& input, const std::vector<int8_t>& weights, int r, int n,
                          int in_features) {
  int64_t s = 0;
  for (int k = 0; k < in_features; ++k) {
    s += int64_t{input[static_cast<size_t>(r) * in_features + k]} * weights[static_cast<size_t>(n) * in_features + k];
  }
  return wrap32(s);
}

// The linear layer; with `accumulate`, the unclamped result is added to `old` before clamping.
inline std::vector<int16_t> linear(const std::vector<int16_t>& input, const std::vector<int8_t>& weights,
                                   const std::vector<int8_t>& bias, int num_rows, int out_features, int in_features,
                                   bool accumulate, const std::vector<int16_t>& old = {}) {
  std::vector<int16_t> out(static_cast<size_t>(num_rows) * out_features);
  for (int r = 0; r < num_rows; ++r) {
    for (int n = 0; n < out_features; ++n) {
      const size_t i = static_cast<size_t>(r) * out_features + n;
      const int64_t v = linear_unclamped(linear_acc(input, weights, r, n, in_features), bias[n]);
      out[i] = static_cast<int16_t>(clamp16(accumulate ? v + old[i] : v));
    }
  }
  return out;
}

}  // namespace ref
