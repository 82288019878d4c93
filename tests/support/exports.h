// Every export of the library, written down once: name, linkage, argument record of a decorated
// entry, whether the library defines it yet, and its role. The ABI test, `omu check` and
// `omu bench` take their names from here; a new entry flips its `implemented` flag.
#pragma once

#include <cstring>
#include <string>

namespace kr_exports {

enum class linkage { undecorated, decorated, data };

struct entry {
  const char* name;    // taabe<N>, or the data value's name
  linkage link;
  bool implemented;    // defined by the library
  const char* record;  // argument record of a decorated entry (part of its symbol); "" otherwise
  const char* role;
};

// 52 decorated operator entries, 11 undecorated operator entries and memory utilities, 13
// undecorated device and buffer operations, and one data value.
// clang-format off
inline constexpr entry table[] = {
    {"NvOptimusEnablementCuda", linkage::data, true, "", "asks hybrid-graphics drivers for the discrete GPU"},
    {"taabe20", linkage::undecorated, true, "", "open a device context"},
    {"taabe105", linkage::undecorated, true, "", "close a device context"},
    {"taabe21", linkage::undecorated, true, "", "list GPUs by name"},
    {"taabe5", linkage::undecorated, true, "", "release a name list"},
    {"taabe79", linkage::undecorated, true, "", "allocate buffer"},
    {"taabe10", linkage::undecorated, true, "", "free buffer"},
    {"taabe37", linkage::undecorated, true, "", "buffer size"},
    {"taabe9", linkage::undecorated, true, "", "write host bytes into the buffer"},
    {"taabe137", linkage::undecorated, true, "", "read buffer bytes to the host"},
    {"taabe93", linkage::undecorated, true, "", "map host mirror"},
    {"taabe150", linkage::undecorated, true, "", "unmap host mirror"},
    {"taabe68", linkage::undecorated, true, "", "allocate host memory"},
    {"taabe197", linkage::undecorated, true, "", "free host memory"},
    {"taabe140", linkage::undecorated, true, "", "device-to-device copy"},
    {"taabe267", linkage::undecorated, true, "", "zero device memory"},
    {"taabe141", linkage::undecorated, true, "", "float table GELU"},
    {"taabe169", linkage::undecorated, true, "", "float ReLU"},
    {"taabe165", linkage::undecorated, true, "", "16-bit table GELU"},
    {"taabe177", linkage::undecorated, true, "", "16-bit saturating add"},
    {"taabe273", linkage::undecorated, true, "", "16-bit row softmax"},
    {"taabe47", linkage::undecorated, true, "", "16-bit gated cell update"},
    {"taabe86", linkage::undecorated, true, "", "16-bit column standardisation"},
    {"taabe34", linkage::undecorated, true, "", "16-bit by 8-bit linear layer"},
    {"taabe153", linkage::undecorated, true, "", "16-bit by 8-bit linear layer, accumulating"},
    {"taabe178", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "float exponential"},
    {"taabe71", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "float GELU, erf form"},
    {"taabe78", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "float GELU, tanh form"},
    {"taabe190", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "float x-times-sigmoid"},
    {"taabe39", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "float table sigmoid"},
    {"taabe257", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "float table tanh"},
    {"taabe27", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "16-bit sigmoid, Q10 result"},
    {"taabe35", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "16-bit sigmoid, Q15 result"},
    {"taabe88", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "16-bit ReLU"},
    {"taabe218", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "int32 to float"},
    {"taabe221", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "Q7 to float"},
    {"taabe266", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "Q10 to float"},
    {"taabe77", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "float to Q10"},
    {"taabe82", linkage::decorated, true, "kr_omu_op_elementwise_args_t", "Q17 to Q10"},
    {"taabe45", linkage::decorated, true, "kr_omu_op_elementwise_scalar_args_t", "float add scalar"},
    {"taabe106", linkage::decorated, true, "kr_omu_op_elementwise_scalar_args_t", "float multiply by scalar"},
    {"taabe224", linkage::decorated, true, "kr_omu_op_elementwise_scalar_args_t", "float scalar minus element"},
    {"taabe272", linkage::decorated, true, "kr_omu_op_elementwise_scalar_args_t", "float scalar divided by element"},
    {"taabe263", linkage::decorated, true, "kr_omu_op_mulsv_args_t", "16-bit multiply by scalar"},
    {"taabe225", linkage::decorated, true, "kr_omu_op_pairwise_args_t", "float pairwise add"},
    {"taabe241", linkage::decorated, true, "kr_omu_op_pairwise_args_t", "float pairwise subtract"},
    {"taabe66", linkage::decorated, true, "kr_omu_op_pairwise_args_t", "float pairwise multiply"},
    {"taabe50", linkage::decorated, true, "kr_omu_op_pairwise_args_t", "float pairwise divide"},
    {"taabe99", linkage::decorated, true, "kr_omu_op_pairwise_broadcast_args_t", "Q17 add Q7 bias row"},
    {"taabe155", linkage::decorated, true, "kr_omu_op_pairwise_broadcast_args_t", "float add row vector"},
    {"taabe69", linkage::decorated, true, "kr_omu_op_pairwise_broadcast_args_t", "float multiply by row vector"},
    {"taabe246", linkage::decorated, true, "kr_omu_op_pairwise_broadcast_args_t", "float multiply-accumulate by row vector"},
    {"taabe46", linkage::decorated, true, "kr_omu_op_pairwise_broadcast_args_t", "float multiply by column vector"},
    {"taabe249", linkage::decorated, true, "kr_omu_op_pairwise_broadcast_args_t", "float subtract column vector"},
    {"taabe24", linkage::decorated, true, "kr_omu_op_pairwise_broadcast_args_t", "float row concatenation"},
    {"taabe194", linkage::decorated, true, "kr_omu_op_elementwise_broadcast_args_t", "float row reverse"},
    {"taabe118", linkage::decorated, true, "kr_omu_op_elementwise_broadcast_args_t", "float row softmax"},
    {"taabe143", linkage::decorated, true, "kr_omu_op_elementwise_broadcast_args_t", "float row sum"},
    {"taabe40", linkage::decorated, true, "kr_omu_op_elementwise_broadcast_args_t", "float spectrum from log-magnitude and phase"},
    {"taabe120", linkage::decorated, true, "kr_omu_op_layer_norm_args_t", "float layer normalisation"},
    {"taabe230", linkage::decorated, true, "kr_omu_op_layer_norm_args_t", "layer normalisation, Q7 gamma and beta"},
    {"taabe167", linkage::decorated, true, "kr_omu_op_norm_args_t", "root-mean-square normalisation"},
    {"taabe149", linkage::decorated, true, "kr_omu_op_gate_args_t", "top-k gate"},
    {"taabe126", linkage::decorated, true, "kr_omu_op_conv1d_args_t", "16-bit by 8-bit conv1d"},
    {"taabe61", linkage::decorated, true, "kr_omu_op_conv1d_depthwise_args_t", "depthwise conv1d"},
    {"taabe81", linkage::decorated, true, "kr_omu_op_conv1d_transposed_depthwise_args_t", "transposed depthwise conv1d"},
    {"taabe116", linkage::decorated, true, "kr_omu_op_transpose_args_t", "float outer transpose"},
    {"taabe110", linkage::decorated, true, "kr_omu_op_transpose_args_t", "byte inner transpose"},
    {"taabe240", linkage::decorated, true, "kr_omu_op_quantize_args_t", "float to 16-bit row quantisation"},
    {"taabe54", linkage::decorated, true, "kr_omu_op_matmul_args_t", "float matrix multiplication"},
    {"taabe2", linkage::decorated, true, "kr_omu_op_weight_16x8_preprocess_blocks_args_t", "block-quantised weight preprocessing"},
    {"taabe195", linkage::decorated, true, "kr_omu_op_weight_16x8_args_t", "block-quantised weight matrix multiplication"},
    {"taabe104", linkage::decorated, true, "kr_omu_op_attention_args_t", "fused attention"},
    {"taabe7", linkage::decorated, true, "kr_omu_op_attention_attend_args_t", "attend over the 8-bit cache"},
    {"taabe203", linkage::decorated, true, "kr_omu_op_attention_encode_args_t", "rotary position encoding"},
    {"taabe8", linkage::decorated, true, "kr_omu_op_precompute_encoding_args_t", "position encoding table"},
    {"taabe186", linkage::decorated, true, "kr_omu_op_update_kv_args_t", "key/value cache update"},
};
// clang-format on

// The dynamic symbol of an export: the bare name, or for a decorated entry the Itanium name of
// `kr_status_t name(kr_omu_device*, kr_omu_operator*, record*)`.
inline std::string symbol(const entry& e) {
  if (e.link != linkage::decorated) return e.name;
  return "_Z" + std::to_string(std::strlen(e.name)) + e.name + "P13kr_omu_deviceP15kr_omu_operatorP" +
         std::to_string(std::strlen(e.record)) + e.record;
}

// The symbol of an export in the Windows DLL: the bare name, or for a decorated entry the MSVC x64
// name of the same signature (Y: free function, A: __cdecl, ?AW4: enum return type, PEAU: 64-bit
// pointer to a struct, @: end of the parameters, Z: no exception specification).
inline std::string msvc_symbol(const entry& e) {
  if (e.link != linkage::decorated) return e.name;
  return std::string("?") + e.name + "@@YA?AW4kr_status_t@@PEAUkr_omu_device@@PEAUkr_omu_operator@@PEAU" +
         e.record + "@@@Z";
}

inline const entry* find(const std::string& name) {
  for (const entry& e : table) {
    if (name == e.name) return &e;
  }
  return nullptr;
}

// The dynamic symbol of a table name; any other string is returned unchanged.
inline std::string symbol_of(const std::string& name) {
  const entry* e = find(name);
  return e != nullptr ? symbol(*e) : name;
}

}  // namespace kr_exports
