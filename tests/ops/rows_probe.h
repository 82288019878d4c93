// Test-only copies of the row-wise and normalisation kernels in their earlier, plainer form (every
// pass reads its columns from memory again; the Q7 layer normalisation reads every column from
// every lane), launched with the library's grids and blocks so that the library's kernels can be
// compared with them bit for bit. Each returns the launch result.
#pragma once

#include <cstdint>

namespace probe {

int run_softmax_rows(int32_t rows, int32_t n, float* output, const float* input);
int run_layer_norm(int32_t rows, int32_t n, float epsilon, float* output, const float* input, const float* gamma,
                   const float* beta);
int run_rms_norm(int32_t rows, int32_t n, float epsilon, float* output, const float* input, const float* gamma);
int run_layer_norm_q7(int32_t rows, int32_t n, float epsilon, float* output, const float* input,
                      const int8_t* gamma, const int8_t* beta);
int run_softmax_i16(int32_t rows, int32_t n, int32_t* output, const int16_t* input);
int run_quantize_rows(int32_t rows, int32_t n, int16_t* output, float* scales, const float* input);
int run_spectrum(int32_t rows, int32_t n, float* output, const float* input);

}  // namespace probe
