// Layout of every record the engine shares with the library (x86-64: pointers are 8 bytes). The
// expected offsets and sizes are written out by hand; a change to any of them breaks engines built
// against an earlier header.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "kr_omu.h"

extern "C" size_t kr_abi_c_sizeof(int record);  // layout_c.c: sizeof as a C compiler sees it

namespace {

struct FieldCase {
  const char* record;
  const char* field;
  size_t offset;
  size_t expected_offset;
  bool type_matches;
  const char* expected_type;
};

#define KR_FIELD(T, m, type, off) \
  FieldCase { #T, #m, offsetof(T, m), off, std::is_same < decltype(T::m), type> ::value, #type }

const FieldCase kFields[] = {
    KR_FIELD(kr_error_record, code, uint32_t, 0),
    KR_FIELD(kr_error_record, message, const char*, 8),
    KR_FIELD(kr_error_record, reserved, const void*, 16),

    KR_FIELD(kr_omu_device_properties, properties_error, const char*, 0),
    KR_FIELD(kr_omu_device_properties, major, int32_t, 8),
    KR_FIELD(kr_omu_device_properties, minor, int32_t, 12),
    KR_FIELD(kr_omu_device_properties, driver_version, int32_t, 16),
    KR_FIELD(kr_omu_device_properties, driver_version_error, const char*, 24),
    KR_FIELD(kr_omu_device_properties, runtime_version, int32_t, 32),
    KR_FIELD(kr_omu_device_properties, runtime_version_error, const char*, 40),
    KR_FIELD(kr_omu_device_properties, total_global_mem, uint64_t, 48),
    KR_FIELD(kr_omu_device_properties, multiprocessor_count, int32_t, 56),
    KR_FIELD(kr_omu_device_properties, max_threads_per_multiprocessor, int32_t, 60),
    KR_FIELD(kr_omu_device_properties, max_threads_per_block, int32_t, 64),
    KR_FIELD(kr_omu_device_properties, shared_mem_per_block, int32_t, 68),
    KR_FIELD(kr_omu_device_properties, shared_mem_per_multiprocessor, int32_t, 72),
    KR_FIELD(kr_omu_device_properties, max_threads_dim, int32_t[3], 76),
    KR_FIELD(kr_omu_device_properties, max_grid_size, int32_t[3], 88),

    KR_FIELD(kr_omu_device, ordinal, int32_t, 0),
    KR_FIELD(kr_omu_device, properties, kr_omu_device_properties*, 8),
    KR_FIELD(kr_omu_device, streams, CUstream_st**, 16),

    KR_FIELD(kr_omu_buffer, address, void*, 0),
    KR_FIELD(kr_omu_buffer, size, int32_t, 8),
    KR_FIELD(kr_omu_buffer, user_value, int32_t, 12),
    KR_FIELD(kr_omu_buffer, mirror_refs, int32_t, 16),
    KR_FIELD(kr_omu_buffer, mirror, void*, 24),

    KR_FIELD(kr_omu_op_copy_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_copy_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_copy_args_t, byte_count, int32_t, 16),
    KR_FIELD(kr_omu_op_copy_args_t, output_offset, int32_t, 20),
    KR_FIELD(kr_omu_op_copy_args_t, input_offset, int32_t, 24),

    KR_FIELD(kr_omu_op_clear_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_clear_args_t, byte_count, int32_t, 8),
    KR_FIELD(kr_omu_op_clear_args_t, output_offset, int32_t, 12),

    KR_FIELD(kr_omu_op_elementwise_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_elementwise_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_elementwise_args_t, count, int32_t, 16),
    KR_FIELD(kr_omu_op_elementwise_args_t, output_offset, int32_t, 20),
    KR_FIELD(kr_omu_op_elementwise_args_t, input_offset, int32_t, 24),

    KR_FIELD(kr_omu_op_elementwise_scalar_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_elementwise_scalar_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_elementwise_scalar_args_t, scalar, float, 16),
    KR_FIELD(kr_omu_op_elementwise_scalar_args_t, count, int32_t, 20),
    KR_FIELD(kr_omu_op_elementwise_scalar_args_t, output_offset, int32_t, 24),
    KR_FIELD(kr_omu_op_elementwise_scalar_args_t, input_offset, int32_t, 28),

    // The 16-bit scalar is followed by two bytes of padding.
    KR_FIELD(kr_omu_op_mulsv_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_mulsv_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_mulsv_args_t, scalar, int16_t, 16),
    KR_FIELD(kr_omu_op_mulsv_args_t, truncate, int32_t, 20),
    KR_FIELD(kr_omu_op_mulsv_args_t, count, int32_t, 24),
    KR_FIELD(kr_omu_op_mulsv_args_t, output_offset, int32_t, 28),
    KR_FIELD(kr_omu_op_mulsv_args_t, input_offset, int32_t, 32),

    KR_FIELD(kr_omu_op_pairwise_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_pairwise_args_t, input_a, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_pairwise_args_t, input_b, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_pairwise_args_t, count, int32_t, 24),
    KR_FIELD(kr_omu_op_pairwise_args_t, output_offset, int32_t, 28),
    KR_FIELD(kr_omu_op_pairwise_args_t, input_a_offset, int32_t, 32),
    KR_FIELD(kr_omu_op_pairwise_args_t, input_b_offset, int32_t, 36),

    KR_FIELD(kr_omu_op_elementwise_broadcast_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_elementwise_broadcast_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_elementwise_broadcast_args_t, num_rows, int32_t, 16),
    KR_FIELD(kr_omu_op_elementwise_broadcast_args_t, row_length, int32_t, 20),
    KR_FIELD(kr_omu_op_elementwise_broadcast_args_t, output_offset, int32_t, 24),
    KR_FIELD(kr_omu_op_elementwise_broadcast_args_t, input_offset, int32_t, 28),

    KR_FIELD(kr_omu_op_pairwise_broadcast_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_pairwise_broadcast_args_t, input_a, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_pairwise_broadcast_args_t, input_b, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_pairwise_broadcast_args_t, num_rows, int32_t, 24),
    KR_FIELD(kr_omu_op_pairwise_broadcast_args_t, row_length, int32_t, 28),
    KR_FIELD(kr_omu_op_pairwise_broadcast_args_t, output_offset, int32_t, 32),
    KR_FIELD(kr_omu_op_pairwise_broadcast_args_t, input_a_offset, int32_t, 36),
    KR_FIELD(kr_omu_op_pairwise_broadcast_args_t, input_b_offset, int32_t, 40),

    KR_FIELD(kr_omu_op_layer_norm_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_layer_norm_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_layer_norm_args_t, gamma, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_layer_norm_args_t, beta, kr_omu_buffer*, 24),
    KR_FIELD(kr_omu_op_layer_norm_args_t, epsilon, float, 32),
    KR_FIELD(kr_omu_op_layer_norm_args_t, num_rows, int32_t, 36),
    KR_FIELD(kr_omu_op_layer_norm_args_t, row_length, int32_t, 40),
    KR_FIELD(kr_omu_op_layer_norm_args_t, output_offset, int32_t, 44),
    KR_FIELD(kr_omu_op_layer_norm_args_t, input_offset, int32_t, 48),
    KR_FIELD(kr_omu_op_layer_norm_args_t, gamma_offset, int32_t, 52),
    KR_FIELD(kr_omu_op_layer_norm_args_t, beta_offset, int32_t, 56),

    KR_FIELD(kr_omu_op_norm_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_norm_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_norm_args_t, gamma, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_norm_args_t, epsilon, float, 24),
    KR_FIELD(kr_omu_op_norm_args_t, num_rows, int32_t, 28),
    KR_FIELD(kr_omu_op_norm_args_t, row_length, int32_t, 32),
    KR_FIELD(kr_omu_op_norm_args_t, output_offset, int32_t, 36),
    KR_FIELD(kr_omu_op_norm_args_t, input_offset, int32_t, 40),
    KR_FIELD(kr_omu_op_norm_args_t, gamma_offset, int32_t, 44),

    KR_FIELD(kr_omu_op_gate_args_t, top_indices, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_gate_args_t, top_probs, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_gate_args_t, scores, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_gate_args_t, num_rows, int32_t, 24),
    KR_FIELD(kr_omu_op_gate_args_t, top_k, int32_t, 28),
    KR_FIELD(kr_omu_op_gate_args_t, num_candidates, int32_t, 32),

    KR_FIELD(kr_omu_op_cell_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_cell_args_t, cell, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_cell_args_t, gates, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_cell_args_t, count, int32_t, 24),
    KR_FIELD(kr_omu_op_cell_args_t, output_offset, int32_t, 28),
    KR_FIELD(kr_omu_op_cell_args_t, cell_offset, int32_t, 32),
    KR_FIELD(kr_omu_op_cell_args_t, gates_offset, int32_t, 36),

    KR_FIELD(kr_omu_op_standardize_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_standardize_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_standardize_args_t, mean, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_standardize_args_t, scale, kr_omu_buffer*, 24),
    KR_FIELD(kr_omu_op_standardize_args_t, num_rows, int32_t, 32),
    KR_FIELD(kr_omu_op_standardize_args_t, num_columns, int32_t, 36),
    KR_FIELD(kr_omu_op_standardize_args_t, output_offset, int32_t, 40),
    KR_FIELD(kr_omu_op_standardize_args_t, input_offset, int32_t, 44),

    KR_FIELD(kr_omu_op_conv1d_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_conv1d_args_t, weights, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_conv1d_args_t, input, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_conv1d_args_t, num_frames, int32_t, 24),
    KR_FIELD(kr_omu_op_conv1d_args_t, out_channels, int32_t, 28),
    KR_FIELD(kr_omu_op_conv1d_args_t, in_channels, int32_t, 32),
    KR_FIELD(kr_omu_op_conv1d_args_t, kernel_size, int32_t, 36),
    KR_FIELD(kr_omu_op_conv1d_args_t, output_offset, int32_t, 40),
    KR_FIELD(kr_omu_op_conv1d_args_t, weights_offset, int32_t, 44),
    KR_FIELD(kr_omu_op_conv1d_args_t, input_offset, int32_t, 48),

    KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, weights, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, input, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, num_frames, int32_t, 24),
    KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, channels, int32_t, 28),
    KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, kernel_size, int32_t, 32),
    KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, output_offset, int32_t, 36),
    KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, weights_offset, int32_t, 40),
    KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, input_offset, int32_t, 44),

    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, weights, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, input, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, num_frames, int32_t, 24),
    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, channels, int32_t, 28),
    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, kernel_size, int32_t, 32),
    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, stride, int32_t, 36),
    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, output_offset, int32_t, 40),
    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, weights_offset, int32_t, 44),
    KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, input_offset, int32_t, 48),

    KR_FIELD(kr_omu_op_linear_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_linear_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_linear_args_t, weights, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_linear_args_t, bias, kr_omu_buffer*, 24),
    KR_FIELD(kr_omu_op_linear_args_t, num_rows, int32_t, 32),
    KR_FIELD(kr_omu_op_linear_args_t, out_features, int32_t, 36),
    KR_FIELD(kr_omu_op_linear_args_t, in_features, int32_t, 40),
    KR_FIELD(kr_omu_op_linear_args_t, output_offset, int32_t, 44),
    KR_FIELD(kr_omu_op_linear_args_t, input_offset, int32_t, 48),

    KR_FIELD(kr_omu_op_transpose_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_transpose_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_transpose_args_t, dim0, int32_t, 16),
    KR_FIELD(kr_omu_op_transpose_args_t, dim1, int32_t, 20),
    KR_FIELD(kr_omu_op_transpose_args_t, dim2, int32_t, 24),
    KR_FIELD(kr_omu_op_transpose_args_t, output_offset, int32_t, 28),
    KR_FIELD(kr_omu_op_transpose_args_t, input_offset, int32_t, 32),

    KR_FIELD(kr_omu_op_quantize_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_quantize_args_t, scales, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_quantize_args_t, input, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_quantize_args_t, num_rows, int32_t, 24),
    KR_FIELD(kr_omu_op_quantize_args_t, row_length, int32_t, 28),
    KR_FIELD(kr_omu_op_quantize_args_t, output_offset, int32_t, 32),
    KR_FIELD(kr_omu_op_quantize_args_t, scales_offset, int32_t, 36),
    KR_FIELD(kr_omu_op_quantize_args_t, input_offset, int32_t, 40),

    KR_FIELD(kr_omu_op_matmul_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_matmul_args_t, lhs, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_matmul_args_t, rhs, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_matmul_args_t, rows, int32_t, 24),
    KR_FIELD(kr_omu_op_matmul_args_t, cols, int32_t, 28),
    KR_FIELD(kr_omu_op_matmul_args_t, depth, int32_t, 32),
    KR_FIELD(kr_omu_op_matmul_args_t, output_offset, int32_t, 36),
    KR_FIELD(kr_omu_op_matmul_args_t, lhs_offset, int32_t, 40),
    KR_FIELD(kr_omu_op_matmul_args_t, rhs_offset, int32_t, 44),

    KR_FIELD(kr_omu_op_weight_16x8_preprocess_blocks_args_t, weights, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_weight_16x8_preprocess_blocks_args_t, row_blocks, int32_t, 8),
    KR_FIELD(kr_omu_op_weight_16x8_preprocess_blocks_args_t, column_blocks, int32_t[8], 12),

    KR_FIELD(kr_omu_op_weight_16x8_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_weight_16x8_args_t, input, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_weight_16x8_args_t, column_order, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_weight_16x8_args_t, block_params, kr_omu_buffer*, 24),
    KR_FIELD(kr_omu_op_weight_16x8_args_t, weights, kr_omu_buffer*, 32),
    KR_FIELD(kr_omu_op_weight_16x8_args_t, rows, int32_t, 40),
    KR_FIELD(kr_omu_op_weight_16x8_args_t, row_blocks, int32_t, 44),
    KR_FIELD(kr_omu_op_weight_16x8_args_t, column_blocks, int32_t[8], 48),
    KR_FIELD(kr_omu_op_weight_16x8_args_t, output_offset, int32_t, 80),
    KR_FIELD(kr_omu_op_weight_16x8_args_t, input_offset, int32_t, 84),

    KR_FIELD(kr_omu_op_attention_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_attention_args_t, query, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_attention_args_t, key, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_attention_args_t, value, kr_omu_buffer*, 24),
    KR_FIELD(kr_omu_op_attention_args_t, relative_key, kr_omu_buffer*, 32),
    KR_FIELD(kr_omu_op_attention_args_t, relative_value, kr_omu_buffer*, 40),
    KR_FIELD(kr_omu_op_attention_args_t, scores, kr_omu_buffer*, 48),
    KR_FIELD(kr_omu_op_attention_args_t, length, int32_t, 56),
    KR_FIELD(kr_omu_op_attention_args_t, heads, int32_t, 60),
    KR_FIELD(kr_omu_op_attention_args_t, width, int32_t, 64),
    KR_FIELD(kr_omu_op_attention_args_t, window, int32_t, 68),
    KR_FIELD(kr_omu_op_attention_args_t, lookahead, int32_t, 72),
    KR_FIELD(kr_omu_op_attention_args_t, output_offset, int32_t, 76),
    KR_FIELD(kr_omu_op_attention_args_t, query_offset, int32_t, 80),
    KR_FIELD(kr_omu_op_attention_args_t, key_offset, int32_t, 84),
    KR_FIELD(kr_omu_op_attention_args_t, value_offset, int32_t, 88),
    KR_FIELD(kr_omu_op_attention_args_t, relative_key_offset, int32_t, 92),
    KR_FIELD(kr_omu_op_attention_args_t, relative_value_offset, int32_t, 96),
    KR_FIELD(kr_omu_op_attention_args_t, scores_offset, int32_t, 100),

    KR_FIELD(kr_omu_op_attention_attend_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_attention_attend_args_t, query, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_attention_attend_args_t, key_cache, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_attention_attend_args_t, key_offsets, kr_omu_buffer*, 24),
    KR_FIELD(kr_omu_op_attention_attend_args_t, key_scales, kr_omu_buffer*, 32),
    KR_FIELD(kr_omu_op_attention_attend_args_t, value_cache, kr_omu_buffer*, 40),
    KR_FIELD(kr_omu_op_attention_attend_args_t, value_offsets, kr_omu_buffer*, 48),
    KR_FIELD(kr_omu_op_attention_attend_args_t, value_scales, kr_omu_buffer*, 56),
    KR_FIELD(kr_omu_op_attention_attend_args_t, length, int32_t, 64),
    KR_FIELD(kr_omu_op_attention_attend_args_t, capacity, int32_t, 68),
    KR_FIELD(kr_omu_op_attention_attend_args_t, position, int32_t, 72),
    KR_FIELD(kr_omu_op_attention_attend_args_t, heads, int32_t, 76),
    KR_FIELD(kr_omu_op_attention_attend_args_t, kv_heads, int32_t, 80),
    KR_FIELD(kr_omu_op_attention_attend_args_t, head_size, int32_t, 84),

    KR_FIELD(kr_omu_op_attention_encode_args_t, data, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_attention_encode_args_t, encoding, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_attention_encode_args_t, length, int32_t, 16),
    KR_FIELD(kr_omu_op_attention_encode_args_t, heads, int32_t, 20),
    KR_FIELD(kr_omu_op_attention_encode_args_t, head_size, int32_t, 24),
    KR_FIELD(kr_omu_op_attention_encode_args_t, rotary_size, int32_t, 28),
    KR_FIELD(kr_omu_op_attention_encode_args_t, position, int32_t, 32),
    KR_FIELD(kr_omu_op_attention_encode_args_t, interleaved, int32_t, 36),

    KR_FIELD(kr_omu_op_precompute_encoding_args_t, output, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_precompute_encoding_args_t, frequency_divisors, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_precompute_encoding_args_t, base, float, 16),
    KR_FIELD(kr_omu_op_precompute_encoding_args_t, scale, float, 20),
    KR_FIELD(kr_omu_op_precompute_encoding_args_t, length, int32_t, 24),
    KR_FIELD(kr_omu_op_precompute_encoding_args_t, rotary_size, int32_t, 28),
    KR_FIELD(kr_omu_op_precompute_encoding_args_t, output_offset, int32_t, 32),
    KR_FIELD(kr_omu_op_precompute_encoding_args_t, frequency_divisors_offset, int32_t, 36),

    KR_FIELD(kr_omu_op_update_kv_args_t, cache, kr_omu_buffer*, 0),
    KR_FIELD(kr_omu_op_update_kv_args_t, scales, kr_omu_buffer*, 8),
    KR_FIELD(kr_omu_op_update_kv_args_t, offsets, kr_omu_buffer*, 16),
    KR_FIELD(kr_omu_op_update_kv_args_t, input, kr_omu_buffer*, 24),
    KR_FIELD(kr_omu_op_update_kv_args_t, kv_heads, int32_t, 32),
    KR_FIELD(kr_omu_op_update_kv_args_t, length, int32_t, 36),
    KR_FIELD(kr_omu_op_update_kv_args_t, head_size, int32_t, 40),
    KR_FIELD(kr_omu_op_update_kv_args_t, position, int32_t, 44),
    KR_FIELD(kr_omu_op_update_kv_args_t, capacity, int32_t, 48),
};

#undef KR_FIELD

TEST(Layout, FieldOffsetsAndTypes) {
  for (const FieldCase& c : kFields) {
    SCOPED_TRACE(std::string(c.record) + "::" + c.field);
    EXPECT_EQ(c.offset, c.expected_offset);
    EXPECT_TRUE(c.type_matches) << "expected type " << c.expected_type;
  }
}

struct RecordCase {
  const char* record;
  size_t size;
  size_t alignment;
  size_t c_size;
  size_t expected_size;
};

// The index is the record's position in kr_abi_c_sizeof's table (layout_c.c).
#define KR_RECORD(T, index, expected) \
  RecordCase { #T, sizeof(T), alignof(T), kr_abi_c_sizeof(index), expected }

TEST(Layout, RecordSizesAndAlignment) {
  // Trailing padding to the 8-byte alignment counts in the size: arrays of records, and engines
  // that copy them, depend on it.
  const RecordCase cases[] = {
      KR_RECORD(kr_error_record, 0, 24),
      KR_RECORD(kr_omu_device_properties, 1, 104),
      KR_RECORD(kr_omu_device, 2, 24),
      KR_RECORD(kr_omu_buffer, 3, 32),
      KR_RECORD(kr_omu_op_copy_args_t, 4, 32),
      KR_RECORD(kr_omu_op_clear_args_t, 5, 16),
      KR_RECORD(kr_omu_op_elementwise_args_t, 6, 32),
      KR_RECORD(kr_omu_op_elementwise_scalar_args_t, 7, 32),
      KR_RECORD(kr_omu_op_mulsv_args_t, 8, 40),
      KR_RECORD(kr_omu_op_pairwise_args_t, 9, 40),
      KR_RECORD(kr_omu_op_elementwise_broadcast_args_t, 10, 32),
      KR_RECORD(kr_omu_op_pairwise_broadcast_args_t, 11, 48),
      KR_RECORD(kr_omu_op_layer_norm_args_t, 12, 64),
      KR_RECORD(kr_omu_op_norm_args_t, 13, 48),
      KR_RECORD(kr_omu_op_gate_args_t, 14, 40),
      KR_RECORD(kr_omu_op_cell_args_t, 15, 40),
      KR_RECORD(kr_omu_op_standardize_args_t, 16, 48),
      KR_RECORD(kr_omu_op_conv1d_args_t, 17, 56),
      KR_RECORD(kr_omu_op_conv1d_depthwise_args_t, 18, 48),
      KR_RECORD(kr_omu_op_conv1d_transposed_depthwise_args_t, 19, 56),
      KR_RECORD(kr_omu_op_linear_args_t, 20, 56),
      KR_RECORD(kr_omu_op_transpose_args_t, 21, 40),
      KR_RECORD(kr_omu_op_quantize_args_t, 22, 48),
      KR_RECORD(kr_omu_op_matmul_args_t, 23, 48),
      KR_RECORD(kr_omu_op_weight_16x8_preprocess_blocks_args_t, 24, 48),
      KR_RECORD(kr_omu_op_weight_16x8_args_t, 25, 88),
      KR_RECORD(kr_omu_op_attention_args_t, 26, 104),
      KR_RECORD(kr_omu_op_attention_attend_args_t, 27, 88),
      KR_RECORD(kr_omu_op_attention_encode_args_t, 28, 40),
      KR_RECORD(kr_omu_op_precompute_encoding_args_t, 29, 40),
      KR_RECORD(kr_omu_op_update_kv_args_t, 30, 56),
  };
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.record);
    EXPECT_EQ(c.size, c.expected_size);
    EXPECT_EQ(c.alignment, 8u);
    EXPECT_EQ(c.c_size, c.expected_size) << "as compiled by the C compiler";
  }
  EXPECT_EQ(kr_abi_c_sizeof(static_cast<int>(sizeof(cases) / sizeof(cases[0]))), 0u)
      << "layout_c.c lists a record this table lacks";
}

#undef KR_RECORD

TEST(Layout, StatusIsA32BitEnumerationWithFixedValues) {
  EXPECT_EQ(sizeof(kr_status_t), 4u);
  EXPECT_EQ(static_cast<int>(KR_STATUS_SUCCESS), 0);
  EXPECT_EQ(static_cast<int>(KR_STATUS_OUT_OF_MEMORY), 1);
  EXPECT_EQ(static_cast<int>(KR_STATUS_INVALID_ARGUMENT), 3);
  EXPECT_EQ(static_cast<int>(KR_STATUS_RUNTIME_ERROR), 7);
}

// Every record has exactly the fields listed above. Counting the initializers a record accepts
// catches a field added anywhere, even into trailing padding where offsets and sizes would not
// notice. Array fields take one initializer per element (brace elision).
struct AnyField {
  template <typename U>
  operator U() const;  // only named in unevaluated operands
};

// Leaving trailing fields to their default, and eliding the braces of array fields, is the point of
// the probe.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wmissing-braces"
template <typename T, typename... A>
constexpr auto accepts(int) -> decltype(T{A{}...}, true) {
  return true;
}
#pragma GCC diagnostic pop
template <typename T, typename... A>
constexpr bool accepts(...) {
  return false;
}

template <typename T, typename... A>
constexpr size_t initializer_count() {
  if constexpr (accepts<T, A..., AnyField>(0)) {
    return initializer_count<T, A..., AnyField>();
  } else {
    return sizeof...(A);
  }
}

static_assert(initializer_count<kr_error_record>() == 3);
static_assert(initializer_count<kr_omu_device_properties>() == 15 - 2 + 2 * 3);
static_assert(initializer_count<kr_omu_device>() == 3);
static_assert(initializer_count<kr_omu_buffer>() == 5);
static_assert(initializer_count<kr_omu_op_copy_args_t>() == 5);
static_assert(initializer_count<kr_omu_op_clear_args_t>() == 3);
static_assert(initializer_count<kr_omu_op_elementwise_args_t>() == 5);
static_assert(initializer_count<kr_omu_op_elementwise_scalar_args_t>() == 6);
static_assert(initializer_count<kr_omu_op_mulsv_args_t>() == 7);
static_assert(initializer_count<kr_omu_op_pairwise_args_t>() == 7);
static_assert(initializer_count<kr_omu_op_elementwise_broadcast_args_t>() == 6);
static_assert(initializer_count<kr_omu_op_pairwise_broadcast_args_t>() == 8);
static_assert(initializer_count<kr_omu_op_layer_norm_args_t>() == 11);
static_assert(initializer_count<kr_omu_op_norm_args_t>() == 9);
static_assert(initializer_count<kr_omu_op_gate_args_t>() == 6);
static_assert(initializer_count<kr_omu_op_cell_args_t>() == 7);
static_assert(initializer_count<kr_omu_op_standardize_args_t>() == 8);
static_assert(initializer_count<kr_omu_op_conv1d_args_t>() == 10);
static_assert(initializer_count<kr_omu_op_conv1d_depthwise_args_t>() == 9);
static_assert(initializer_count<kr_omu_op_conv1d_transposed_depthwise_args_t>() == 10);
static_assert(initializer_count<kr_omu_op_linear_args_t>() == 9);
static_assert(initializer_count<kr_omu_op_transpose_args_t>() == 7);
static_assert(initializer_count<kr_omu_op_quantize_args_t>() == 8);
static_assert(initializer_count<kr_omu_op_matmul_args_t>() == 9);
static_assert(initializer_count<kr_omu_op_weight_16x8_preprocess_blocks_args_t>() == 3 - 1 + 8);
static_assert(initializer_count<kr_omu_op_weight_16x8_args_t>() == 10 - 1 + 8);
static_assert(initializer_count<kr_omu_op_attention_args_t>() == 19);
static_assert(initializer_count<kr_omu_op_attention_attend_args_t>() == 14);
static_assert(initializer_count<kr_omu_op_attention_encode_args_t>() == 8);
static_assert(initializer_count<kr_omu_op_precompute_encoding_args_t>() == 8);
static_assert(initializer_count<kr_omu_op_update_kv_args_t>() == 9);

}  // namespace
