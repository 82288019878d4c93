/* The header as a C compiler sees it: the engine may be written in C, so the records must compile
 * as C and have the same sizes there. */
#include <stddef.h>

#include "kr_omu.h"

/* Indexed like the record table of layout_test.cpp; 0 past the end. */
size_t kr_abi_c_sizeof(int record) {
  static const size_t sizes[] = {
      sizeof(kr_error_record),
      sizeof(kr_omu_device_properties),
      sizeof(kr_omu_device),
      sizeof(kr_omu_buffer),
      sizeof(kr_omu_op_copy_args_t),
      sizeof(kr_omu_op_clear_args_t),
      sizeof(kr_omu_op_elementwise_args_t),
      sizeof(kr_omu_op_elementwise_scalar_args_t),
      sizeof(kr_omu_op_mulsv_args_t),
      sizeof(kr_omu_op_pairwise_args_t),
      sizeof(kr_omu_op_elementwise_broadcast_args_t),
      sizeof(kr_omu_op_pairwise_broadcast_args_t),
      sizeof(kr_omu_op_layer_norm_args_t),
      sizeof(kr_omu_op_norm_args_t),
      sizeof(kr_omu_op_gate_args_t),
      sizeof(kr_omu_op_cell_args_t),
      sizeof(kr_omu_op_standardize_args_t),
      sizeof(kr_omu_op_conv1d_args_t),
      sizeof(kr_omu_op_conv1d_depthwise_args_t),
      sizeof(kr_omu_op_conv1d_transposed_depthwise_args_t),
      sizeof(kr_omu_op_linear_args_t),
      sizeof(kr_omu_op_transpose_args_t),
      sizeof(kr_omu_op_quantize_args_t),
      sizeof(kr_omu_op_matmul_args_t),
      sizeof(kr_omu_op_weight_16x8_preprocess_blocks_args_t),
      sizeof(kr_omu_op_weight_16x8_args_t),
      sizeof(kr_omu_op_attention_args_t),
      sizeof(kr_omu_op_attention_attend_args_t),
      sizeof(kr_omu_op_attention_encode_args_t),
      sizeof(kr_omu_op_precompute_encoding_args_t),
      sizeof(kr_omu_op_update_kv_args_t),
  };
  if (record < 0 || (size_t)record >= sizeof(sizes) / sizeof(sizes[0])) return 0;
  return sizes[record];
}
