// Every export of the library, one line each: X(name, linkage, argument record, family, role).
// Everything else that lists exports expands this list: the export table (exports.h) that the ABI
// test, `omu check` and `omu bench` read, and the header-symbol object of the ABI tests, which
// takes the address of each name as the public header declares it.
//
// linkage: `undecorated` (a C name), `decorated` (a C++ name whose mangling carries the argument
// record, given in the third column) or `data`. family: `device`, `buffer` and `memory` for the
// device, buffer and memory operations; otherwise the operator family that `omu bench` groups its
// rows by. Every operator entry must have a case in `omu check` and a row in `omu bench`
// (the registry_coverage check, tools/registry_coverage.cpp).
//
// This header is plain preprocessor text with no includes, so that it also compiles for targets
// without a C++ standard library (the Windows-names check).
#pragma once

// clang-format off
#define KR_EXPORT_LIST(X) \
  X(NvOptimusEnablementCuda, data, , device, "asks hybrid-graphics drivers for the discrete GPU") \
  X(taabe20, undecorated, , device, "open a device context") \
  X(taabe105, undecorated, , device, "close a device context") \
  X(taabe21, undecorated, , device, "list GPUs by name") \
  X(taabe5, undecorated, , device, "release a name list") \
  X(taabe79, undecorated, , buffer, "allocate buffer") \
  X(taabe10, undecorated, , buffer, "free buffer") \
  X(taabe37, undecorated, , buffer, "buffer size") \
  X(taabe9, undecorated, , buffer, "write host bytes into the buffer") \
  X(taabe137, undecorated, , buffer, "read buffer bytes to the host") \
  X(taabe93, undecorated, , buffer, "map host mirror") \
  X(taabe150, undecorated, , buffer, "unmap host mirror") \
  X(taabe68, undecorated, , buffer, "allocate host memory") \
  X(taabe197, undecorated, , buffer, "free host memory") \
  X(taabe140, undecorated, , memory, "device-to-device copy") \
  X(taabe267, undecorated, , memory, "zero device memory") \
  X(taabe141, undecorated, , elementwise, "float table GELU") \
  X(taabe169, undecorated, , elementwise, "float ReLU") \
  X(taabe165, undecorated, , int16, "16-bit table GELU") \
  X(taabe177, undecorated, , int16, "16-bit saturating add") \
  X(taabe273, undecorated, , int16, "16-bit row softmax") \
  X(taabe47, undecorated, , norm, "16-bit gated cell update") \
  X(taabe86, undecorated, , norm, "16-bit column standardisation") \
  X(taabe34, undecorated, , conv, "16-bit by 8-bit linear layer") \
  X(taabe153, undecorated, , conv, "16-bit by 8-bit linear layer, accumulating") \
  X(taabe178, decorated, kr_omu_op_elementwise_args_t, elementwise, "float exponential") \
  X(taabe71, decorated, kr_omu_op_elementwise_args_t, elementwise, "float GELU, erf form") \
  X(taabe78, decorated, kr_omu_op_elementwise_args_t, elementwise, "float GELU, tanh form") \
  X(taabe190, decorated, kr_omu_op_elementwise_args_t, elementwise, "float x-times-sigmoid") \
  X(taabe39, decorated, kr_omu_op_elementwise_args_t, elementwise, "float table sigmoid") \
  X(taabe257, decorated, kr_omu_op_elementwise_args_t, elementwise, "float table tanh") \
  X(taabe27, decorated, kr_omu_op_elementwise_args_t, int16, "16-bit sigmoid, Q10 result") \
  X(taabe35, decorated, kr_omu_op_elementwise_args_t, int16, "16-bit sigmoid, Q15 result") \
  X(taabe88, decorated, kr_omu_op_elementwise_args_t, int16, "16-bit ReLU") \
  X(taabe218, decorated, kr_omu_op_elementwise_args_t, int16, "int32 to float") \
  X(taabe221, decorated, kr_omu_op_elementwise_args_t, int16, "Q7 to float") \
  X(taabe266, decorated, kr_omu_op_elementwise_args_t, int16, "Q10 to float") \
  X(taabe77, decorated, kr_omu_op_elementwise_args_t, int16, "float to Q10") \
  X(taabe82, decorated, kr_omu_op_elementwise_args_t, int16, "Q17 to Q10") \
  X(taabe45, decorated, kr_omu_op_elementwise_scalar_args_t, scalar, "float add scalar") \
  X(taabe106, decorated, kr_omu_op_elementwise_scalar_args_t, scalar, "float multiply by scalar") \
  X(taabe224, decorated, kr_omu_op_elementwise_scalar_args_t, scalar, "float scalar minus element") \
  X(taabe272, decorated, kr_omu_op_elementwise_scalar_args_t, scalar, "float scalar divided by element") \
  X(taabe263, decorated, kr_omu_op_mulsv_args_t, int16, "16-bit multiply by scalar") \
  X(taabe225, decorated, kr_omu_op_pairwise_args_t, pairwise, "float pairwise add") \
  X(taabe241, decorated, kr_omu_op_pairwise_args_t, pairwise, "float pairwise subtract") \
  X(taabe66, decorated, kr_omu_op_pairwise_args_t, pairwise, "float pairwise multiply") \
  X(taabe50, decorated, kr_omu_op_pairwise_args_t, pairwise, "float pairwise divide") \
  X(taabe99, decorated, kr_omu_op_pairwise_broadcast_args_t, broadcast, "Q17 add Q7 bias row") \
  X(taabe155, decorated, kr_omu_op_pairwise_broadcast_args_t, broadcast, "float add row vector") \
  X(taabe69, decorated, kr_omu_op_pairwise_broadcast_args_t, broadcast, "float multiply by row vector") \
  X(taabe246, decorated, kr_omu_op_pairwise_broadcast_args_t, broadcast, "float multiply-accumulate by row vector") \
  X(taabe46, decorated, kr_omu_op_pairwise_broadcast_args_t, broadcast, "float multiply by column vector") \
  X(taabe249, decorated, kr_omu_op_pairwise_broadcast_args_t, broadcast, "float subtract column vector") \
  X(taabe24, decorated, kr_omu_op_pairwise_broadcast_args_t, broadcast, "float row concatenation") \
  X(taabe194, decorated, kr_omu_op_elementwise_broadcast_args_t, broadcast, "float row reverse") \
  X(taabe118, decorated, kr_omu_op_elementwise_broadcast_args_t, broadcast, "float row softmax") \
  X(taabe143, decorated, kr_omu_op_elementwise_broadcast_args_t, broadcast, "float row sum") \
  X(taabe40, decorated, kr_omu_op_elementwise_broadcast_args_t, broadcast, "float spectrum from log-magnitude and phase") \
  X(taabe120, decorated, kr_omu_op_layer_norm_args_t, norm, "float layer normalisation") \
  X(taabe230, decorated, kr_omu_op_layer_norm_args_t, norm, "layer normalisation, Q7 gamma and beta") \
  X(taabe167, decorated, kr_omu_op_norm_args_t, norm, "root-mean-square normalisation") \
  X(taabe149, decorated, kr_omu_op_gate_args_t, norm, "top-k gate") \
  X(taabe126, decorated, kr_omu_op_conv1d_args_t, conv, "16-bit by 8-bit conv1d") \
  X(taabe61, decorated, kr_omu_op_conv1d_depthwise_args_t, conv, "depthwise conv1d") \
  X(taabe81, decorated, kr_omu_op_conv1d_transposed_depthwise_args_t, conv, "transposed depthwise conv1d") \
  X(taabe116, decorated, kr_omu_op_transpose_args_t, layout, "float outer transpose") \
  X(taabe110, decorated, kr_omu_op_transpose_args_t, layout, "byte inner transpose") \
  X(taabe240, decorated, kr_omu_op_quantize_args_t, layout, "float to 16-bit row quantisation") \
  X(taabe54, decorated, kr_omu_op_matmul_args_t, matmul, "float matrix multiplication") \
  X(taabe2, decorated, kr_omu_op_weight_16x8_preprocess_blocks_args_t, matmul, "block-quantised weight preprocessing") \
  X(taabe195, decorated, kr_omu_op_weight_16x8_args_t, matmul, "block-quantised weight product") \
  X(taabe104, decorated, kr_omu_op_attention_args_t, attention, "fused attention") \
  X(taabe7, decorated, kr_omu_op_attention_attend_args_t, attention, "attend over the 8-bit cache") \
  X(taabe203, decorated, kr_omu_op_attention_encode_args_t, attention, "rotary position encoding") \
  X(taabe8, decorated, kr_omu_op_precompute_encoding_args_t, attention, "position encoding table") \
  X(taabe186, decorated, kr_omu_op_update_kv_args_t, attention, "key/value cache update")
// clang-format on
