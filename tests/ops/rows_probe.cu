#include "rows_probe.h"

#include <math.h>

#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "runtime/launch.h"

namespace {

__global__ void __launch_bounds__(512) softmax_rows_kernel(int32_t n, float* output, const float* input) {
  const uint32_t columns = n > 0 ? static_cast<uint32_t>(n) : 0u;
  const float* x = input + static_cast<size_t>(blockIdx.x) * columns;
  float* y = output + static_cast<size_t>(blockIdx.x) * columns;
  float local_max = -INFINITY;
  for (uint32_t j = threadIdx.x; j < columns; j += 512) local_max = fmaxf(local_max, x[j]);
  const float m = kr::block_reduce<kr::fmax_op, 512>(local_max, -INFINITY);
  float local_sum = 0.0f;
  for (uint32_t j = threadIdx.x; j < columns; j += 512) {
    const float e = expf(x[j] - m);
    y[j] = e;
    local_sum += e;
  }
  const float s = kr::block_reduce<kr::sum_op, 512>(local_sum, 0.0f);
  const float q = 1.0f / s;
  for (uint32_t j = threadIdx.x; j < columns; j += 512) y[j] = y[j] * q;
}

// Layer normalisation (beta given) or RMS normalisation (beta null), as the library's functors.
__global__ void __launch_bounds__(512) norm_rows_kernel(int32_t row_length, float epsilon, float* output,
                                                        const float* input, const float* gamma, const float* beta) {
  const uint32_t columns = row_length > 0 ? static_cast<uint32_t>(row_length) : 0u;
  const float* x = input + static_cast<size_t>(blockIdx.x) * columns;
  float* y = output + static_cast<size_t>(blockIdx.x) * columns;
  const kr::float_pair totals = kr::block_all_sum<512, kr::float_pair>([&] {
    kr::float_pair s{};
    for (uint32_t j = threadIdx.x; j < columns; j += 512) s = kr::float_pair{s.a + x[j], __fmaf_rn(x[j], x[j], s.b)};
    return s;
  });
  if (columns == 0) return;
  const float n = static_cast<float>(row_length);
  if (beta != nullptr) {
    const float mean = totals.a / n;
    const float rstd = rsqrtf(totals.b / n - mean * mean + epsilon);
    for (uint32_t j = threadIdx.x; j < columns; j += 512) y[j] = __fmaf_rn(gamma[j], rstd * (x[j] - mean), beta[j]);
  } else {
    const float rstd = rsqrtf(totals.b / n + epsilon);
    for (uint32_t j = threadIdx.x; j < columns; j += 512) y[j] = (rstd * x[j]) * gamma[j];
  }
}

__global__ void __launch_bounds__(64)
    layer_norm_q7_kernel(int32_t row_length, float* output, const float* input, const int8_t* gamma,
                         const int8_t* beta, float epsilon, int32_t num_rows) {
  const uint32_t r = blockIdx.x * blockDim.y + threadIdx.y;
  if (r >= static_cast<uint32_t>(num_rows) || row_length <= 0) return;
  const uint32_t columns = static_cast<uint32_t>(row_length);
  const float* x = input + static_cast<size_t>(r) * columns;
  float* y = output + static_cast<size_t>(r) * columns;
  float sum = 0.0f;
  float sumsq = 0.0f;
  for (uint32_t j = 0; j < columns; ++j) {
    sum += x[j];
    sumsq = __fmaf_rn(x[j], x[j], sumsq);
  }
  const float inv = 1.0f / static_cast<float>(row_length);
  const float mean = inv * sum;
  const float var = inv * sumsq - mean * mean;
  const float rstd = 1.0f / sqrtf(var + epsilon);
  for (uint32_t j = threadIdx.x; j < columns; j += 32u) {
    const float factor = __fmaf_rn(static_cast<float>(gamma[j]), 0.0078125f, 1.0f);
    y[j] = __fmaf_rn(static_cast<float>(beta[j]), 0.0078125f, (rstd * (x[j] - mean)) * factor);
  }
}

__global__ void __launch_bounds__(256) softmax_i16_kernel(int32_t row_length, int32_t* output, const int16_t* input) {
  const uint32_t t = threadIdx.x;
  const uint32_t columns = row_length > 0 ? static_cast<uint32_t>(row_length) : 0u;
  const int16_t* x = input + static_cast<size_t>(blockIdx.x) * columns;
  int32_t* y = output + static_cast<size_t>(blockIdx.x) * columns;
  int32_t local_max = -32768;
  for (uint32_t c = t; c < columns; c += 256) local_max = max(local_max, static_cast<int32_t>(x[c]));
  const int32_t m = kr::block_reduce<kr::max_op, 256, int32_t>(local_max, -32768);
  int64_t local_sum = 0;
  for (uint32_t c = t; c < columns; c += 256) {
    const int32_t e = kr::fixed_exp(kr::saturate16(static_cast<int32_t>(x[c]) - m));
    y[c] = e;
    local_sum += e;
  }
  const int64_t s = kr::block_reduce<kr::sum_op, 256, int64_t>(local_sum, 0);
  if (t >= columns) return;
  const int32_t r = kr::saturate32((int64_t{1} << 62) / s);
  for (uint32_t c = t; c < columns; c += 256) {
    y[c] = kr::saturate32((static_cast<int64_t>(r) * y[c] + (int64_t{1} << 30)) >> 31);
  }
}

__global__ void __launch_bounds__(32) quantize_rows_kernel(int32_t row_length, int16_t* output, float* scales,
                                                           const float* input) {
  const uint32_t n = row_length > 0 ? static_cast<uint32_t>(row_length) : 0u;
  const int64_t row = static_cast<int64_t>(blockIdx.x) * n;
  float m = -INFINITY;
  for (uint32_t k = threadIdx.x; k < n; k += 32) m = fmaxf(m, fabsf(input[row + k]));
  for (int d = 16; d > 0; d /= 2) m = fmaxf(m, __shfl_xor_sync(kr::full_warp_mask, m, d));
  const float s = 31.0f / __shfl_sync(kr::full_warp_mask, m, 0);
  for (uint32_t k = threadIdx.x; k < n; k += 32) {
    output[row + k] = static_cast<int16_t>(kr::float_to_q10(s * input[row + k]));
  }
  if (threadIdx.x == 0) scales[blockIdx.x] = 1.0f / (s * 131072.0f);
}

__global__ void __launch_bounds__(128) spectrum_kernel(int32_t n, float* output, const float* input) {
  const int32_t h = n / 2;
  const size_t base = static_cast<size_t>(blockIdx.x) * (static_cast<uint32_t>(n) + 2u);
  const float* x = input + base;
  float* y = output + base;
  for (int32_t k = static_cast<int32_t>(threadIdx.x); k <= h; k += 128) {
    const float g = fminf(expf(x[k]), 100.0f);
    const float scale = ((k > 0 && k < h) ? 2.0f : 1.0f) / static_cast<float>(n);
    const float p = x[h + 1 + k];
    y[2 * k] = scale * (g * cosf(p));
    y[2 * k + 1] = scale * (g * sinf(p));
  }
  const uint32_t last_writer = n % 2 == 0 ? static_cast<uint32_t>(h) % 128u : 0u;
  if (threadIdx.x == 0) y[1] = 0.0f;
  if (threadIdx.x == last_writer) y[static_cast<uint32_t>(n) + 1u] = 0.0f;
}

dim3 grid_of(int32_t rows) { return dim3(static_cast<unsigned int>(rows)); }

}  // namespace

namespace probe {

int run_softmax_rows(int32_t rows, int32_t n, float* output, const float* input) {
  return kr::launch_kernel(softmax_rows_kernel, grid_of(rows), dim3(512), n, output, input);
}
int run_layer_norm(int32_t rows, int32_t n, float epsilon, float* output, const float* input, const float* gamma,
                   const float* beta) {
  return kr::launch_kernel(norm_rows_kernel, grid_of(rows), dim3(512), n, epsilon, output, input, gamma, beta);
}
int run_rms_norm(int32_t rows, int32_t n, float epsilon, float* output, const float* input, const float* gamma) {
  return kr::launch_kernel(norm_rows_kernel, grid_of(rows), dim3(512), n, epsilon, output, input, gamma,
                           static_cast<const float*>(nullptr));
}
int run_layer_norm_q7(int32_t rows, int32_t n, float epsilon, float* output, const float* input,
                      const int8_t* gamma, const int8_t* beta) {
  return kr::launch_kernel(layer_norm_q7_kernel, dim3((static_cast<unsigned int>(rows) + 1) / 2), dim3(32, 2), n,
                           output, input, gamma, beta, epsilon, rows);
}
int run_softmax_i16(int32_t rows, int32_t n, int32_t* output, const int16_t* input) {
  return kr::launch_kernel(softmax_i16_kernel, grid_of(rows), dim3(256), n, output, input);
}
int run_quantize_rows(int32_t rows, int32_t n, int16_t* output, float* scales, const float* input) {
  return kr::launch_kernel(quantize_rows_kernel, grid_of(rows), dim3(32), n, output, scales, input);
}
int run_spectrum(int32_t rows, int32_t n, float* output, const float* input) {
  return kr::launch_kernel(spectrum_kernel, grid_of(rows), dim3(128), n, output, input);
}

}  // namespace probe
