// The rows of `omu bench`: set-ups by argument record, then the table.
#include "bench_rows.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace omu {

int64_t sizing::traffic() const {
  if (emulated) return large() ? (int64_t{64} << 10) : (int64_t{4} << 10);
  return large() ? (int64_t{256} << 20) : (int64_t{16} << 10);
}

int32_t sizing::elements(int bytes_per_element) const {
  const int64_t n = (traffic() + bytes_per_element - 1) / bytes_per_element;
  return static_cast<int32_t>((n + 255) / 256 * 256);
}

int32_t sizing::units(double per_unit, double fixed, int32_t multiple, int32_t least) const {
  const double wanted = std::max(0.0, static_cast<double>(traffic()) - fixed);
  int64_t n = static_cast<int64_t>(std::ceil(wanted / per_unit));
  n = std::max<int64_t>(n, least);
  n = (n + multiple - 1) / multiple * multiple;
  return static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX / 2));
}

namespace {

// Device buffers of a row: zero-filled, or float 1.0 (0x3f800000) repeated whatever the element
// type; null when they cannot be had.
kr_omu_buffer* zeros(session& ses, int64_t bytes) { return bytes > 0 ? ses.zeros(bytes) : nullptr; }
kr_omu_buffer* ones(session& ses, int64_t bytes) { return bytes > 0 ? ses.filled(bytes, 0x3f800000u) : nullptr; }

bool all_allocated(std::initializer_list<const kr_omu_buffer*> buffers) {
  return std::all_of(buffers.begin(), buffers.end(), [](const kr_omu_buffer* b) { return b != nullptr; });
}

// Binds `record` to the entry `symbol` as the call to time; false when the library lacks it.
template <typename Record>
bool bind(session& ses, const char* symbol, const Record& record, prepared& p) {
  p.call = ses.bind(symbol, record);
  return static_cast<bool>(p.call);
}

std::string matrix_shape(int64_t rows, int64_t columns, const char* what = "") {
  return std::to_string(rows) + " x " + std::to_string(columns) + (what[0] != '\0' ? " " : "") + what;
}

// A decoder's shape for the large size on a GPU; 0 leaves the row to fill its traffic.
struct decoder {
  int32_t rows = 0;  // activation rows or table rows
  int32_t k = 0;     // input features of a weight matrix
  int32_t n = 0;     // output features
};

// ---------------------------------------------------------------------------------------------
// Set-ups by argument record. A new entry whose record is here needs only a row in the table; a
// new record needs one set-up function like these.
std::string count_shape(int32_t n, const char* what) { return std::to_string(n) + " " + what; }

// kr_omu_op_elementwise_args_t: `in` bytes read and `out` bytes written per element.
setup_fn elementwise(int in, int out, const char* element) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t n = z.elements(in + out);
    kr_omu_buffer* input = ones(ses, int64_t{n} * in);
    kr_omu_buffer* output = zeros(ses, int64_t{n} * out);
    if (input == nullptr || output == nullptr) return false;
    if (!bind(ses, symbol, kr_omu_op_elementwise_args_t{output, input, n, 0, 0}, p)) return false;
    p.bytes = double(n) * (in + out);
    p.shape = count_shape(n, element);
    return true;
  };
}

// kr_omu_op_elementwise_scalar_args_t over floats.
setup_fn scalar_f32() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t n = z.elements(8);
    kr_omu_buffer* input = ones(ses, int64_t{n} * 4);
    kr_omu_buffer* output = zeros(ses, int64_t{n} * 4);
    if (input == nullptr || output == nullptr) return false;
    if (!bind(ses, symbol, kr_omu_op_elementwise_scalar_args_t{output, input, 1.5f, n, 0, 0}, p)) return false;
    p.bytes = double(n) * 8;
    p.shape = count_shape(n, "floats");
    return true;
  };
}

// kr_omu_op_mulsv_args_t over 16-bit values.
setup_fn mulsv_i16() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t n = z.elements(4);
    kr_omu_buffer* input = ones(ses, int64_t{n} * 2);
    kr_omu_buffer* output = zeros(ses, int64_t{n} * 2);
    if (input == nullptr || output == nullptr) return false;
    if (!bind(ses, symbol, kr_omu_op_mulsv_args_t{output, input, int16_t{1536}, 0, n, 0, 0}, p)) return false;
    p.bytes = double(n) * 4;
    p.shape = count_shape(n, "16-bit values");
    return true;
  };
}

// kr_omu_op_pairwise_args_t: two inputs and one output of `size` bytes per element.
setup_fn pairwise(int size, const char* element) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t n = z.elements(3 * size);
    kr_omu_buffer* a = ones(ses, int64_t{n} * size);
    kr_omu_buffer* b = ones(ses, int64_t{n} * size);
    kr_omu_buffer* output = zeros(ses, int64_t{n} * size);
    if (a == nullptr || b == nullptr || output == nullptr) return false;
    if (!bind(ses, symbol, kr_omu_op_pairwise_args_t{output, a, b, n, 0, 0, 0}, p)) return false;
    p.bytes = double(n) * 3 * size;
    p.shape = count_shape(n, element);
    return true;
  };
}

// kr_omu_op_elementwise_broadcast_args_t (row-wise): rows of `row_length` elements, `in` bytes
// read and `out` bytes written per element; `d.rows` rows at the large size on a GPU when given.
setup_fn row_wise(int32_t row_length, int in, int out, decoder d = {}) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t n = z.elements(in + out);
    const int32_t num_rows = z.gpu_large() && d.rows > 0 ? d.rows : std::max<int32_t>(1, n / row_length);
    kr_omu_buffer* input = ones(ses, int64_t{num_rows} * row_length * in);
    kr_omu_buffer* output = zeros(ses, int64_t{num_rows} * row_length * out);
    if (input == nullptr || output == nullptr) return false;
    if (!bind(ses, symbol, kr_omu_op_elementwise_broadcast_args_t{output, input, num_rows, row_length, 0, 0}, p)) return false;
    p.bytes = double(num_rows) * row_length * (in + out);
    p.shape = std::to_string(num_rows) + " rows x " + std::to_string(row_length);
    return true;
  };
}

// kr_omu_op_elementwise_broadcast_args_t over floats where the rows stored differ from the row
// parameter N: `in_row` and `out_row` floats per row given N (the row sum writes one float per
// row, the spectrum reads and writes rows of N + 2).
setup_fn rows_f32(int32_t n, int32_t in_row, int32_t out_row) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t num_rows = z.units(4.0 * (in_row + out_row));
    kr_omu_buffer* input = ones(ses, int64_t{num_rows} * in_row * 4);
    kr_omu_buffer* output = zeros(ses, int64_t{num_rows} * out_row * 4);
    if (!all_allocated({input, output})) return false;
    if (!bind(ses, symbol, kr_omu_op_elementwise_broadcast_args_t{output, input, num_rows, n, 0, 0}, p)) return false;
    p.bytes = double(num_rows) * (in_row + out_row) * 4;
    p.shape = std::to_string(num_rows) + " rows x " + std::to_string(n);
    return true;
  };
}

// kr_omu_op_pairwise_broadcast_args_t. `a` and `out` bytes per matrix element (out counted twice
// when the entry accumulates into it), and a broadcast vector along the rows (`b_per_column`
// bytes per column), along the columns (`b_per_row` per row) or, for the concatenation, a second
// matrix (`b_per_element`). Rows of 4096 elements (64 on the emulator).
struct broadcast_shape {
  int a, out, b_per_column, b_per_row, b_per_element;
  bool accumulates;
};
setup_fn broadcast(broadcast_shape k) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t row_length = z.emulated || !z.large() ? 64 : 4096;
    const int per_element = k.a + k.out * (k.accumulates ? 2 : 1) + k.b_per_element;
    const int32_t num_rows = z.units(double(row_length) * per_element + k.b_per_row,
                                       double(row_length) * k.b_per_column);
    const int64_t elements = int64_t{num_rows} * row_length;
    kr_omu_buffer* a = ones(ses, elements * k.a);
    const int64_t b_bytes = k.b_per_element > 0
                                ? elements * k.b_per_element
                                : int64_t{row_length} * k.b_per_column + int64_t{num_rows} * k.b_per_row;
    kr_omu_buffer* b = ones(ses, b_bytes);
    kr_omu_buffer* output = zeros(ses, elements * k.out);
    if (!all_allocated({a, b, output})) return false;
    if (!bind(ses, symbol, kr_omu_op_pairwise_broadcast_args_t{output, a, b, num_rows, row_length, 0, 0, 0}, p)) return false;
    p.bytes = double(elements) * per_element + double(row_length) * k.b_per_column + double(num_rows) * k.b_per_row;
    p.shape = matrix_shape(num_rows, row_length);
    return true;
  };
}

// Row length of the normalisations: 4096 (a model width), 256 on the emulator and at the small size.
int32_t norm_row(const sizing& z) { return z.emulated || !z.large() ? 256 : 4096; }
// The same for the entries that give a row one warp: 2048 on the emulator and at the small size,
// past the rows their short-row forms take, so that the budget table follows the long-row form.
int32_t warp_row(const sizing& z) { return z.emulated || !z.large() ? 2048 : 4096; }

// kr_omu_op_layer_norm_args_t with gamma and beta of `affine` bytes per column.
setup_fn layer_norm(int affine, int32_t (*row)(const sizing&) = norm_row) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t row_length = row(z);
    const int32_t num_rows = z.units(8.0 * row_length, 2.0 * affine * row_length);
    kr_omu_buffer* input = ones(ses, int64_t{num_rows} * row_length * 4);
    kr_omu_buffer* output = zeros(ses, int64_t{num_rows} * row_length * 4);
    kr_omu_buffer* gamma = ones(ses, int64_t{row_length} * affine);
    kr_omu_buffer* beta = zeros(ses, int64_t{row_length} * affine);
    if (!all_allocated({input, output, gamma, beta})) return false;
    if (!bind(ses, symbol,
         kr_omu_op_layer_norm_args_t{output, input, gamma, beta, 1e-5f, num_rows, row_length, 0, 0, 0, 0}, p)) return false;
    p.bytes = 8.0 * num_rows * row_length + 2.0 * affine * row_length;
    p.shape = matrix_shape(num_rows, row_length, "floats");
    return true;
  };
}

// kr_omu_op_norm_args_t; `d.rows` rows at the large size on a GPU when given.
setup_fn rms_norm(decoder d = {}) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t row_length = norm_row(z);
    const int32_t num_rows = z.gpu_large() && d.rows > 0 ? d.rows : z.units(8.0 * row_length, 4.0 * row_length);
    kr_omu_buffer* input = ones(ses, int64_t{num_rows} * row_length * 4);
    kr_omu_buffer* output = zeros(ses, int64_t{num_rows} * row_length * 4);
    kr_omu_buffer* gamma = ones(ses, int64_t{row_length} * 4);
    if (!all_allocated({input, output, gamma})) return false;
    if (!bind(ses, symbol, kr_omu_op_norm_args_t{output, input, gamma, 1e-5f, num_rows, row_length, 0, 0, 0}, p)) return false;
    p.bytes = 8.0 * num_rows * row_length + 4.0 * row_length;
    p.shape = matrix_shape(num_rows, row_length, "floats");
    return true;
  };
}

// kr_omu_op_gate_args_t: a mixture-of-experts router, 64 candidate scores per row, top 8 kept.
// One thread serves a row and makes top_k selection passes over its scores, so the large size
// grows the row count (about 840 thousand rows for 256 MiB), never the row.
setup_fn gate() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t candidates = 64, top_k = 8;
    const int32_t num_rows = z.units(4.0 * candidates + 8.0 * top_k);
    kr_omu_buffer* scores = ones(ses, int64_t{num_rows} * candidates * 4);
    kr_omu_buffer* indices = zeros(ses, int64_t{num_rows} * top_k * 4);
    kr_omu_buffer* probs = zeros(ses, int64_t{num_rows} * top_k * 4);
    if (!all_allocated({scores, indices, probs})) return false;
    if (!bind(ses, symbol, kr_omu_op_gate_args_t{indices, probs, scores, num_rows, top_k, candidates}, p)) return false;
    p.bytes = double(num_rows) * (4.0 * candidates + 8.0 * top_k);
    p.shape = std::to_string(num_rows) + " rows, top 8 of 64";
    return true;
  };
}

// kr_omu_op_cell_args_t: reads the cell state and three gate vectors, writes them back and the
// output: 18 bytes per cell.
setup_fn cell() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t count = z.units(18.0, 0.0, 256);
    kr_omu_buffer* output = zeros(ses, int64_t{count} * 2);
    kr_omu_buffer* state = ones(ses, int64_t{count} * 2);
    kr_omu_buffer* gates = ones(ses, int64_t{count} * 6);
    if (!all_allocated({output, state, gates})) return false;
    if (!bind(ses, symbol, kr_omu_op_cell_args_t{output, state, gates, count, 0, 0, 0}, p)) return false;
    p.bytes = 18.0 * count;
    p.shape = count_shape(count, "cells");
    return true;
  };
}

// kr_omu_op_standardize_args_t: 16-bit rows of 256 columns with a mean and a scale per column.
setup_fn standardize() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t columns = 256;
    const int32_t num_rows = z.units(4.0 * columns, 4.0 * columns);
    kr_omu_buffer* input = ones(ses, int64_t{num_rows} * columns * 2);
    kr_omu_buffer* output = zeros(ses, int64_t{num_rows} * columns * 2);
    kr_omu_buffer* mean = zeros(ses, int64_t{columns} * 2);
    kr_omu_buffer* scale = ones(ses, int64_t{columns} * 2);
    if (!all_allocated({input, output, mean, scale})) return false;
    if (!bind(ses, symbol, kr_omu_op_standardize_args_t{output, input, mean, scale, num_rows, columns, 0, 0}, p)) return false;
    p.bytes = 4.0 * num_rows * columns + 4.0 * columns;
    p.shape = matrix_shape(num_rows, columns, "16-bit");
    return true;
  };
}

// kr_omu_op_conv1d_args_t: 64 to 64 channels (the packed path), 3 taps, frames to fill the traffic.
setup_fn conv1d() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t in_channels = 64, out_channels = 64, taps = 3;
    const double weights_bytes = double(out_channels) * taps * in_channels;
    const int32_t frames =
        z.units(2.0 * in_channels + 4.0 * out_channels, weights_bytes + 2.0 * (taps - 1) * in_channels);
    kr_omu_buffer* input = ones(ses, int64_t{frames + taps - 1} * in_channels * 2);
    kr_omu_buffer* weights = ones(ses, static_cast<int64_t>(weights_bytes));
    kr_omu_buffer* output = zeros(ses, int64_t{frames} * out_channels * 4);
    if (!all_allocated({input, weights, output})) return false;
    if (!bind(ses, symbol,
         kr_omu_op_conv1d_args_t{output, weights, input, frames, out_channels, in_channels, taps, 0, 0, 0}, p)) return false;
    p.bytes = 2.0 * (frames + taps - 1) * in_channels + weights_bytes + 4.0 * frames * out_channels;
    p.shape = std::to_string(frames) + " frames, 64->64, 3 taps";
    return true;
  };
}

// kr_omu_op_conv1d_depthwise_args_t: 256 channels, 3 taps (an unrolled variant).
setup_fn conv1d_depthwise() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t channels = 256, taps = 3;
    const int32_t frames = z.units(6.0 * channels, double(taps) * channels + 2.0 * (taps - 1) * channels);
    kr_omu_buffer* input = ones(ses, int64_t{frames + taps - 1} * channels * 2);
    kr_omu_buffer* weights = ones(ses, int64_t{taps} * channels);
    kr_omu_buffer* output = zeros(ses, int64_t{frames} * channels * 4);
    if (!all_allocated({input, weights, output})) return false;
    if (!bind(ses, symbol, kr_omu_op_conv1d_depthwise_args_t{output, weights, input, frames, channels, taps, 0, 0, 0}, p)) return false;
    p.bytes = 2.0 * (frames + taps - 1) * channels + double(taps) * channels + 4.0 * frames * channels;
    p.shape = std::to_string(frames) + " frames x 256, 3 taps";
    return true;
  };
}

// kr_omu_op_conv1d_transposed_depthwise_args_t: 256 channels, 4 taps, upsampling by 2.
setup_fn conv1d_transposed() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t channels = 256, taps = 4, stride = 2;
    const int32_t extra = taps / stride - 1;  // output frames (frames + extra) x stride
    const int32_t frames = z.units(2.0 * channels + 4.0 * stride * channels, double(taps) * channels);
    const int64_t out_frames = int64_t{frames + extra} * stride;
    kr_omu_buffer* input = ones(ses, int64_t{frames} * channels * 2);
    kr_omu_buffer* weights = ones(ses, int64_t{taps} * channels);
    kr_omu_buffer* output = zeros(ses, out_frames * channels * 4);
    if (!all_allocated({input, weights, output})) return false;
    if (!bind(ses, symbol,
         kr_omu_op_conv1d_transposed_depthwise_args_t{output, weights, input, frames, channels, taps, stride, 0, 0, 0},
         p)) return false;
    p.bytes = 2.0 * frames * channels + double(taps) * channels + 4.0 * out_frames * channels;
    p.shape = std::to_string(frames) + " frames x 256, x2 up";
    return true;
  };
}

// kr_omu_op_linear_args_t: 16-bit rows through a square 8-bit layer of 4096 features (256 at the
// small size, 64 on the emulator); the accumulating entry reads its output too.
setup_fn linear(bool accumulates) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t features = z.emulated ? 64 : (!z.large() ? 256 : 4096);
    const double layer = double(features) * features + features;
    const int32_t num_rows = z.units(2.0 * features * (accumulates ? 3 : 2), layer);
    kr_omu_buffer* input = ones(ses, int64_t{num_rows} * features * 2);
    kr_omu_buffer* output = zeros(ses, int64_t{num_rows} * features * 2);
    kr_omu_buffer* weights = ones(ses, int64_t{features} * features);
    kr_omu_buffer* bias = ones(ses, features);
    if (!all_allocated({input, output, weights, bias})) return false;
    if (!bind(ses, symbol, kr_omu_op_linear_args_t{output, input, weights, bias, num_rows, features, features, 0, 0}, p)) return false;
    p.bytes = 2.0 * num_rows * features * (accumulates ? 3 : 2) + layer;
    p.shape = std::to_string(num_rows) + " rows, " + matrix_shape(features, features);
    return true;
  };
}

// kr_omu_op_transpose_args_t, float outer transpose: dim0 x dim1 rows of 128 floats (16 on the
// emulator) swapped to dim1 x dim0.
setup_fn transpose_outer() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t inner = z.emulated ? 16 : 128;
    const int32_t pairs = z.units(8.0 * inner);
    const int32_t side = std::max<int32_t>(1, static_cast<int32_t>(std::ceil(std::sqrt(double(pairs)))));
    const int64_t elements = int64_t{side} * side * inner;
    kr_omu_buffer* input = ones(ses, elements * 4);
    kr_omu_buffer* output = zeros(ses, elements * 4);
    if (!all_allocated({input, output})) return false;
    if (!bind(ses, symbol, kr_omu_op_transpose_args_t{output, input, side, side, inner, 0, 0}, p)) return false;
    p.bytes = 8.0 * elements;
    p.shape = std::to_string(side) + " x " + std::to_string(side) + " x " + std::to_string(inner) + " floats";
    return true;
  };
}

// kr_omu_op_transpose_args_t, byte inner transpose: dim0 square byte matrices of 1024 (32 on the
// emulator and at the small size).
setup_fn transpose_inner() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t side = z.emulated || !z.large() ? 32 : 1024;
    const int32_t matrices = z.units(2.0 * side * side);
    const int64_t elements = int64_t{matrices} * side * side;
    kr_omu_buffer* input = ones(ses, elements);
    kr_omu_buffer* output = zeros(ses, elements);
    if (!all_allocated({input, output})) return false;
    if (!bind(ses, symbol, kr_omu_op_transpose_args_t{output, input, matrices, side, side, 0, 0}, p)) return false;
    p.bytes = 2.0 * elements;
    p.shape = std::to_string(matrices) + " x " + matrix_shape(side, side, "bytes");
    return true;
  };
}

// kr_omu_op_quantize_args_t: float rows of 4096 (2048 on the emulator and at the small size) to
// 16-bit values and one scale per row.
setup_fn quantize() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t row_length = warp_row(z);
    const int32_t num_rows = z.units(6.0 * row_length + 4.0);
    kr_omu_buffer* input = ones(ses, int64_t{num_rows} * row_length * 4);
    kr_omu_buffer* output = zeros(ses, int64_t{num_rows} * row_length * 2);
    kr_omu_buffer* scales = zeros(ses, int64_t{num_rows} * 4);
    if (!all_allocated({input, output, scales})) return false;
    if (!bind(ses, symbol, kr_omu_op_quantize_args_t{output, scales, input, num_rows, row_length, 0, 0, 0}, p)) return false;
    p.bytes = double(num_rows) * (6.0 * row_length + 4.0);
    p.shape = matrix_shape(num_rows, row_length, "floats");
    return true;
  };
}

// kr_omu_op_matmul_args_t: output = lhs x rhs^T with 1024 columns and depth 1024 (64 on the
// emulator and at the small size; the kernel runs one block per output row, so columns stay within
// one block's threads), rows to fill the traffic.
setup_fn matmul_f32() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t cols = z.emulated || !z.large() ? 64 : 1024;
    const int32_t depth = cols;
    const int32_t rows = z.units(4.0 * (depth + cols), 4.0 * cols * depth);
    kr_omu_buffer* lhs = ones(ses, int64_t{rows} * depth * 4);
    kr_omu_buffer* rhs = ones(ses, int64_t{cols} * depth * 4);
    kr_omu_buffer* output = zeros(ses, int64_t{rows} * cols * 4);
    if (!all_allocated({lhs, rhs, output})) return false;
    if (!bind(ses, symbol, kr_omu_op_matmul_args_t{output, lhs, rhs, rows, cols, depth, 0, 0, 0}, p)) return false;
    p.bytes = 4.0 * (double(rows) * depth + double(cols) * depth + double(rows) * cols);
    p.flops = 2.0 * rows * cols * depth;
    p.shape = matrix_shape(rows, cols) + ", depth " + std::to_string(depth);
    return true;
  };
}

// kr_omu_op_weight_16x8_args_t: `rows` activation rows (1: the vector path) times a block-quantised
// matrix whose column blocks all sit in the `bits`-wide section. The weight buffer is preprocessed
// once (taabe2) before timing; the column order is the identity. Output features 16384 (256 on the
// emulator and at the small size), input columns to fill the traffic: weights (16 x bits bytes per
// 16 x 8 block), block parameters (4 bytes per block), the column order, the activations and the
// output. A decoder's matrix (`d.k` input by `d.n` output features) replaces that at the large size
// on a GPU when given.
setup_fn block_matmul(int bits, int32_t rows, decoder d = {}) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const bool fixed = z.gpu_large() && d.k > 0;
    const int32_t row_blocks = fixed ? d.n / 16 : (z.emulated || !z.large() ? 16 : 1024);
    const double n = 16.0 * row_blocks;
    const double per_column_block = double(row_blocks) * (16.0 * bits + 4.0) + 8.0 * 4.0 + 8.0 * 4.0 * rows;
    // The small batched size keeps rows 512 with a single column block.
    const int32_t column_blocks = fixed ? d.k / 8 : z.units(per_column_block, 4.0 * rows * n, 1, 1);
    const int32_t k = 8 * column_blocks;
    const int64_t weight_bytes = int64_t{16} * bits * row_blocks * column_blocks;
    std::vector<uint32_t> order(static_cast<size_t>(k));
    for (int32_t i = 0; i < k; ++i) order[static_cast<size_t>(i)] = static_cast<uint32_t>(i);
    kr_omu_buffer* input = ones(ses, int64_t{rows} * k * 4);
    kr_omu_buffer* output = zeros(ses, int64_t{rows} * row_blocks * 16 * 4);
    kr_omu_buffer* column_order = ses.upload(order.data(), int64_t{k} * 4);
    kr_omu_buffer* params = ones(ses, int64_t{row_blocks} * column_blocks * 4);
    kr_omu_buffer* weights = ones(ses, weight_bytes);
    if (!all_allocated({input, output, column_order, params, weights})) return false;
    kr_omu_op_weight_16x8_preprocess_blocks_args_t preprocess{weights, row_blocks, {}};
    preprocess.column_blocks[bits - 1] = column_blocks;
    if (ses.call("taabe2", preprocess) != KR_STATUS_SUCCESS) return false;
    kr_omu_op_weight_16x8_args_t args{output, input, column_order, params, weights, rows, row_blocks, {}, 0, 0};
    args.column_blocks[bits - 1] = column_blocks;
    if (!bind(ses, symbol, args, p)) return false;
    p.bytes = double(weight_bytes) + 4.0 * row_blocks * column_blocks + 4.0 * k + 4.0 * rows * k + 4.0 * rows * n;
    p.flops = 2.0 * rows * n * k;
    p.shape = std::to_string(rows) + " x " + std::to_string(k) + " by " + std::to_string(k) + " x " +
              std::to_string(static_cast<int64_t>(n));
    return true;
  };
}

// kr_omu_op_weight_16x8_preprocess_blocks_args_t: the weight buffer of the vector-path row at
// `bits` bits, rearranged in place (it reads and writes every weight byte once). Repeated calls keep
// rearranging the same bytes, which costs the same each time.
setup_fn preprocess_blocks(int bits) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t row_blocks = z.emulated || !z.large() ? 16 : 1024;
    const int32_t column_blocks = z.units(2.0 * 16.0 * bits * row_blocks);
    const int64_t weight_bytes = int64_t{16} * bits * row_blocks * column_blocks;
    kr_omu_buffer* weights = ones(ses, weight_bytes);
    if (weights == nullptr) return false;
    kr_omu_op_weight_16x8_preprocess_blocks_args_t args{weights, row_blocks, {}};
    args.column_blocks[bits - 1] = column_blocks;
    if (!bind(ses, symbol, args, p)) return false;
    p.bytes = 2.0 * weight_bytes;
    p.shape = matrix_shape(int64_t{16} * row_blocks, int64_t{8} * column_blocks, "weights");
    return true;
  };
}

// kr_omu_op_attention_args_t: full attention (no mask) with relative embeddings within 16
// positions, 8 heads of 64 (2 of 16 on the emulator). The caller's score scratch of heads x T x T
// floats is written by the score kernel, read and rewritten by the softmax and read by the weighted
// sum: 4 passes, which dominate the traffic. FLOPs: the two products, 4 x heads x T x T x head size.
setup_fn fused_attention() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t heads = z.emulated ? 2 : 8, head_size = z.emulated ? 16 : 64, window = 16;
    const int32_t width = heads * head_size;
    const double per_square = 16.0 * heads;
    const int32_t length = std::max<int32_t>(
        2, static_cast<int32_t>(std::ceil(std::sqrt(double(z.traffic()) / per_square) / 16.0)) * 16);
    const int64_t tensor = int64_t{length} * width * 4;
    const int64_t table = int64_t{2 * window + 1} * head_size * 4;
    const int64_t scores_bytes = int64_t{heads} * length * length * 4;
    kr_omu_buffer* q = ones(ses, tensor);
    kr_omu_buffer* k = ones(ses, tensor);
    kr_omu_buffer* v = ones(ses, tensor);
    kr_omu_buffer* out = zeros(ses, tensor);
    kr_omu_buffer* rk = ones(ses, table);
    kr_omu_buffer* rv = ones(ses, table);
    kr_omu_buffer* scores = zeros(ses, scores_bytes);
    if (!all_allocated({q, k, v, out, rk, rv, scores})) return false;
    // No mask (lookahead -1); every offset 0.
    const kr_omu_op_attention_args_t args{out, q, k, v, rk, rv, scores, length, heads, width,
                                          window, -1, 0, 0, 0, 0, 0, 0, 0};
    if (!bind(ses, symbol, args, p)) return false;
    p.bytes = 4.0 * tensor + 2.0 * table + 4.0 * scores_bytes;
    p.flops = 4.0 * heads * double(length) * length * head_size;
    p.shape = "T " + std::to_string(length) + ", " + std::to_string(heads) + " heads of " + std::to_string(head_size);
    return true;
  };
}

// kr_omu_op_attention_attend_args_t: one new query (a decode step) at position capacity - 1 over a
// full cache. At the large size on a GPU, the shape given: by default 8192 positions and 128 query
// heads over 64 key/value heads of 256, so that the 8-bit key and value caches alone are 256 MiB.
// At the small size and on the emulator, 64 positions, 8 heads over 2 of 64 (2 over 1 of 16 on the
// emulator). Bytes: both caches with their per-row offsets and scales, the query and the output;
// the entry's own score scratch (heads x positions floats) is not counted. FLOPs: the two
// products, 4 x heads x positions x head size.
struct attend_shape {
  int32_t capacity = 8192, heads = 128, kv_heads = 64, head_size = 256;
};
setup_fn attend(attend_shape a = {}) {
  return [=](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const bool large = z.gpu_large();
    const int32_t capacity = large ? a.capacity : 64;
    const int32_t heads = large ? a.heads : (z.emulated ? 2 : 8);
    const int32_t kv_heads = large ? a.kv_heads : (z.emulated ? 1 : 2);
    const int32_t head_size = large ? a.head_size : (z.emulated ? 16 : 64);
    const int32_t position = capacity - 1, length = 1;
    const int64_t cache = int64_t{kv_heads} * capacity * head_size;
    const int64_t row_floats = int64_t{kv_heads} * capacity * 4;
    const int64_t vector = int64_t{length} * heads * head_size * 4;
    kr_omu_buffer* output = zeros(ses, vector);
    kr_omu_buffer* query = ones(ses, vector);
    kr_omu_buffer* key_cache = ones(ses, cache);
    kr_omu_buffer* key_offsets = zeros(ses, row_floats);
    kr_omu_buffer* key_scales = ones(ses, row_floats);
    kr_omu_buffer* value_cache = ones(ses, cache);
    kr_omu_buffer* value_offsets = zeros(ses, row_floats);
    kr_omu_buffer* value_scales = ones(ses, row_floats);
    if (!all_allocated({output, query, key_cache, key_offsets, key_scales, value_cache, value_offsets, value_scales})) {
      return false;
    }
    if (!bind(ses, symbol,
         kr_omu_op_attention_attend_args_t{output, query, key_cache, key_offsets, key_scales, value_cache,
                                           value_offsets, value_scales, length, capacity, position, heads,
                                           kv_heads, head_size},
         p)) return false;
    p.bytes = 2.0 * cache + 4.0 * row_floats + 2.0 * vector;
    p.flops = 4.0 * heads * double(capacity) * head_size;
    p.shape = std::to_string(capacity) + " cached, " + std::to_string(heads) + "/" + std::to_string(kv_heads) +
              " heads of " + std::to_string(head_size);
    return true;
  };
}

// kr_omu_op_attention_encode_args_t: rotary encoding in place over 32 heads of 128 (4 of 32 on the
// emulator), the whole head rotated as split halves; each position reads one table row.
setup_fn encode() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t heads = z.emulated ? 4 : 32, head_size = z.emulated ? 32 : 128;
    const int32_t length = z.units(8.0 * heads * head_size + 4.0 * head_size);
    kr_omu_buffer* data = ones(ses, int64_t{length} * heads * head_size * 4);
    kr_omu_buffer* table = ones(ses, int64_t{length} * head_size * 4);
    if (!all_allocated({data, table})) return false;
    if (!bind(ses, symbol, kr_omu_op_attention_encode_args_t{data, table, length, heads, head_size, head_size, 0, 0}, p)) return false;
    p.bytes = double(length) * (8.0 * heads * head_size + 4.0 * head_size);
    p.shape = std::to_string(length) + " positions x " + std::to_string(heads) + " heads";
    return true;
  };
}

// kr_omu_op_precompute_encoding_args_t: a table of 128 floats per position (32 on the emulator);
// it only writes, besides reading the divisors.
setup_fn precompute_encoding() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t rotary = z.emulated ? 32 : 128;
    const int32_t length = z.units(4.0 * rotary, 2.0 * rotary);
    kr_omu_buffer* table = zeros(ses, int64_t{length} * rotary * 4);
    kr_omu_buffer* divisors = ones(ses, int64_t{rotary / 2} * 4);
    if (!all_allocated({table, divisors})) return false;
    if (!bind(ses, symbol, kr_omu_op_precompute_encoding_args_t{table, divisors, 10000.0f, 1.0f, length, rotary, 0, 0}, p)) return false;
    p.bytes = 4.0 * length * rotary + 2.0 * rotary;
    p.shape = std::to_string(length) + " positions x " + std::to_string(rotary);
    return true;
  };
}

// kr_omu_op_update_kv_args_t: new float rows of 8 key/value heads of 128 (2 of 32 on the emulator)
// quantised into a cache with one slot per new position; the small size is one decode step into a
// cache of 64 slots. Bytes: the floats read, the codes written and each row's offset and scale.
setup_fn update_kv() {
  return [](session& ses, const char* symbol, const sizing& z, prepared& p) {
    const int32_t kv_heads = z.emulated ? 2 : 8, head_size = z.emulated ? 32 : 128;
    const double per_position = double(kv_heads) * (5.0 * head_size + 8.0);
    const int32_t length = !z.large() ? 1 : z.units(per_position, 0.0, 256);
    const int32_t capacity = std::max<int32_t>(length, 64);
    const int64_t rows = int64_t{kv_heads} * capacity;
    kr_omu_buffer* cache = zeros(ses, rows * head_size);
    kr_omu_buffer* scales = zeros(ses, rows * 4);
    kr_omu_buffer* offsets = zeros(ses, rows * 4);
    kr_omu_buffer* input = ones(ses, int64_t{length} * kv_heads * head_size * 4);
    if (!all_allocated({cache, scales, offsets, input})) return false;
    if (!bind(ses, symbol,
         kr_omu_op_update_kv_args_t{cache, scales, offsets, input, kv_heads, length, head_size, capacity - length,
                                    capacity},
         p)) return false;
    p.bytes = double(length) * per_position;
    p.shape = std::to_string(length) + " positions x " + std::to_string(kv_heads) + " heads";
    return true;
  };
}

// One row of the table as written: the export, the variant and the set-up.
struct line {
  const char* symbol;
  const char* variant;
  setup_fn setup;
};

// The table: one row per entry and shape; the rows named after a decoder's shapes (the projections
// of a 4096-wide model with a 14336-wide feed-forward layer, 32 query heads over 8 key/value heads
// of 128) take them at the large size on a GPU.
const std::vector<line>& table() {
  static const std::vector<line> lines = {
      // float unary elementwise
      {"taabe178", "", elementwise(4, 4, "floats")},
      {"taabe71", "", elementwise(4, 4, "floats")},
      {"taabe78", "", elementwise(4, 4, "floats")},
      {"taabe190", "", elementwise(4, 4, "floats")},
      {"taabe39", "", elementwise(4, 4, "floats")},
      {"taabe257", "", elementwise(4, 4, "floats")},
      {"taabe141", "", elementwise(4, 4, "floats")},
      {"taabe169", "", elementwise(4, 4, "floats")},
      // float with a scalar
      {"taabe45", "", scalar_f32()},
      {"taabe106", "", scalar_f32()},
      {"taabe224", "", scalar_f32()},
      {"taabe272", "", scalar_f32()},
      // float pairwise
      {"taabe225", "", pairwise(4, "floats")},
      {"taabe241", "", pairwise(4, "floats")},
      {"taabe66", "", pairwise(4, "floats")},
      {"taabe50", "", pairwise(4, "floats")},
      // 16-bit elementwise and conversions
      {"taabe165", "", elementwise(2, 2, "16-bit values")},
      {"taabe27", "", elementwise(2, 2, "16-bit values")},
      {"taabe35", "", elementwise(2, 2, "16-bit values")},
      {"taabe88", "", elementwise(2, 2, "16-bit values")},
      {"taabe218", "", elementwise(4, 4, "int32 values")},
      {"taabe221", "", elementwise(1, 4, "Q7 bytes")},
      {"taabe266", "", elementwise(2, 4, "Q10 values")},
      {"taabe77", "", elementwise(4, 2, "floats")},
      {"taabe82", "", elementwise(4, 2, "Q17 values")},
      {"taabe263", "", mulsv_i16()},
      {"taabe177", "", pairwise(2, "16-bit values")},
      {"taabe273", "rows of 256", row_wise(256, 2, 4)},
      // broadcast vectors and row concatenation: Q17 plus a Q7 bias row, float rows and columns
      {"taabe99", "", broadcast({4, 4, 1, 0, 0, false})},
      {"taabe155", "", broadcast({4, 4, 4, 0, 0, false})},
      {"taabe69", "", broadcast({4, 4, 4, 0, 0, false})},
      {"taabe246", "", broadcast({4, 4, 4, 0, 0, true})},
      {"taabe46", "", broadcast({4, 4, 0, 4, 0, false})},
      {"taabe249", "", broadcast({4, 4, 0, 4, 0, false})},
      {"taabe24", "", broadcast({4, 8, 0, 0, 4, false})},
      // row-wise (one block per row)
      {"taabe194", "rows of 4096", row_wise(4096, 4, 4)},
      {"taabe118", "rows of 4096", row_wise(4096, 4, 4)},
      {"taabe118", "decoder, 512 rows of 4096", row_wise(4096, 4, 4, decoder{512})},
      // one thread sums a row in order: short rows, many of them
      {"taabe143", "rows of 256", rows_f32(256, 256, 1)},
      {"taabe40", "rows of 512 + 2", rows_f32(512, 514, 514)},
      // normalisation, gating and the 16-bit fused operators
      {"taabe120", "", layer_norm(4)},
      {"taabe230", "", layer_norm(1, warp_row)},
      {"taabe167", "", rms_norm()},
      {"taabe167", "decoder, 512 rows of 4096", rms_norm(decoder{512})},
      {"taabe149", "", gate()},
      {"taabe47", "", cell()},
      {"taabe86", "", standardize()},
      // convolutions and 16-bit linear layers
      {"taabe126", "", conv1d()},
      {"taabe61", "", conv1d_depthwise()},
      {"taabe81", "", conv1d_transposed()},
      {"taabe34", "", linear(false)},
      {"taabe153", "", linear(true)},
      // layout and quantisation
      {"taabe116", "", transpose_outer()},
      {"taabe110", "", transpose_inner()},
      {"taabe240", "", quantize()},
      // matrix products
      {"taabe54", "", matmul_f32()},
      {"taabe195", "4-bit, rows 1", block_matmul(4, 1)},
      {"taabe195", "3-bit, rows 1", block_matmul(3, 1)},
      {"taabe195", "4-bit, rows 512", block_matmul(4, 512)},
      {"taabe195", "3-bit, rows 512", block_matmul(3, 512)},
      {"taabe195", "4-bit, 4096 x 4096, rows 1", block_matmul(4, 1, decoder{1, 4096, 4096})},
      {"taabe195", "4-bit, 4096 x 14336, rows 1", block_matmul(4, 1, decoder{1, 4096, 14336})},
      {"taabe195", "4-bit, 14336 x 4096, rows 1", block_matmul(4, 1, decoder{1, 14336, 4096})},
      {"taabe195", "3-bit, 4096 x 4096, rows 1", block_matmul(3, 1, decoder{1, 4096, 4096})},
      {"taabe195", "3-bit, 4096 x 14336, rows 1", block_matmul(3, 1, decoder{1, 4096, 14336})},
      {"taabe195", "3-bit, 14336 x 4096, rows 1", block_matmul(3, 1, decoder{1, 14336, 4096})},
      {"taabe195", "4-bit, 4096 x 4096, rows 512", block_matmul(4, 512, decoder{512, 4096, 4096})},
      {"taabe195", "3-bit, 4096 x 4096, rows 512", block_matmul(3, 512, decoder{512, 4096, 4096})},
      {"taabe2", "3-bit", preprocess_blocks(3)},
      // attention
      {"taabe104", "", fused_attention()},
      {"taabe7", "8K cache", attend()},
      {"taabe7", "decoder, 4K cache", attend({4096, 32, 8, 128})},
      {"taabe7", "decoder, 32K cache", attend({32768, 32, 8, 128})},
      {"taabe203", "", encode()},
      {"taabe8", "", precompute_encoding()},
      {"taabe186", "", update_kv()},
  };
  return lines;
}

}  // namespace

const std::vector<bench_row>& bench_rows() {
  static const std::vector<bench_row> rows = [] {
    std::vector<bench_row> out;
    for (const line& l : table()) out.push_back(bench_row{kr_exports::find(l.symbol), l.symbol, l.variant, l.setup});
    return out;
  }();
  return rows;
}

std::vector<std::string> bench_families() {
  std::vector<std::string> names;
  for (const bench_row& r : bench_rows()) {
    if (std::find(names.begin(), names.end(), r.family()) == names.end()) names.push_back(r.family());
  }
  return names;
}

std::vector<std::string> entries_without_row() {
  std::vector<std::string> names;
  for (const kr_exports::entry& e : kr_exports::table) {
    const bool has_row = std::any_of(bench_rows().begin(), bench_rows().end(),
                                     [&](const bench_row& r) { return r.entry == &e; });
    if (kr_exports::is_operator(e) && !has_row) names.push_back(e.name);
  }
  return names;
}

}  // namespace omu
