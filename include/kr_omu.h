// kr_omu_impl_cuda: the NVIDIA GPU back end of the omu device layer.
//
// The engine binds to the exported `taabe<N>` symbols below. Operator entries queue their kernels on
// the default stream and return at once; results are read back with taabe137, which waits for all
// earlier work.
//
// Robustness on top of the plain entry contract (every operator entry and memory utility):
// - a null argument record, or a null buffer record in a field the entry uses, returns
//   KR_STATUS_INVALID_ARGUMENT without an error-stack message and launches nothing;
// - an effective address (buffer address + offset) that the kernel would access misaligned for its
//   element type (4 bytes for float and 32-bit data, 2 bytes for 16-bit data) returns
//   KR_STATUS_INVALID_ARGUMENT without a message and launches nothing: on a GPU such an access
//   faults and ruins the CUDA context for the rest of the process. Vectorised paths that an entry
//   picks by shape are taken only when the addresses are aligned for them; otherwise the entry
//   takes its plain path, which gives the same results.
// The buffer operations treat a null buffer record as: size 0, write/read return
// KR_STATUS_INVALID_ARGUMENT, map returns null, unmap and free do nothing.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(KR_OMU_BUILDING_LIBRARY)
#    define KR_OMU_EXPORT __declspec(dllexport)
#  else
#    define KR_OMU_EXPORT __declspec(dllimport)
#  endif
#else
#  define KR_OMU_EXPORT __attribute__((visibility("default")))
#endif

// ---------------------------------------------------------------------------------------------
// Status codes and error records

typedef enum kr_status_t {
  KR_STATUS_SUCCESS = 0,
  KR_STATUS_OUT_OF_MEMORY = 1,
  KR_STATUS_INVALID_ARGUMENT = 3,
  KR_STATUS_RUNTIME_ERROR = 7,
} kr_status_t;

// One constant record per failure site.
typedef struct kr_error_record {
  uint32_t code;
  const char* message;  // printf format, or null
  const void* reserved;  // always null
} kr_error_record;

// ---------------------------------------------------------------------------------------------
// Device context

struct CUstream_st;  // the CUDA runtime's stream type (cudaStream_t is a pointer to it)

typedef struct kr_omu_device_properties {
  const char* properties_error;  // runtime error text when the property query failed, else null
  int32_t major;
  int32_t minor;
  int32_t driver_version;
  const char* driver_version_error;
  int32_t runtime_version;
  const char* runtime_version_error;
  uint64_t total_global_mem;
  int32_t multiprocessor_count;
  int32_t max_threads_per_multiprocessor;
  int32_t max_threads_per_block;
  int32_t shared_mem_per_block;           // low 32 bits
  int32_t shared_mem_per_multiprocessor;  // low 32 bits
  int32_t max_threads_dim[3];
  int32_t max_grid_size[3];
} kr_omu_device_properties;

typedef struct kr_omu_device {
  int32_t ordinal;
  kr_omu_device_properties* properties;
  struct CUstream_st** streams;  // exactly eight blocking streams
} kr_omu_device;

// Passed to every operator entry; never read by the library.
typedef struct kr_omu_operator kr_omu_operator;

// ---------------------------------------------------------------------------------------------
// Buffers

typedef struct kr_omu_buffer {
  void* address;  // device address
  int32_t size;   // bytes, as requested
  int32_t user_value;
  int32_t mirror_refs;
  void* mirror;  // host mirror while mirror_refs > 0
} kr_omu_buffer;

// ---------------------------------------------------------------------------------------------
// Argument records. Offsets are signed byte offsets added to the buffer's address unless a record
// says otherwise.

// Device-to-device copy (taabe140).
typedef struct kr_omu_op_copy_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input;
  int32_t byte_count;
  int32_t output_offset;
  int32_t input_offset;
} kr_omu_op_copy_args_t;

// Zero fill (taabe267).
typedef struct kr_omu_op_clear_args_t {
  kr_omu_buffer* output;
  int32_t byte_count;
  int32_t output_offset;
} kr_omu_op_clear_args_t;

typedef struct kr_omu_op_elementwise_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input;
  int32_t count;
  int32_t output_offset;
  int32_t input_offset;
} kr_omu_op_elementwise_args_t;

typedef struct kr_omu_op_elementwise_scalar_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input;
  float scalar;
  int32_t count;
  int32_t output_offset;
  int32_t input_offset;
} kr_omu_op_elementwise_scalar_args_t;

typedef struct kr_omu_op_mulsv_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input;
  int16_t scalar;  // Q10; two padding bytes follow
  int32_t truncate;  // 0: round to nearest (ties up), otherwise round down
  int32_t count;
  int32_t output_offset;
  int32_t input_offset;
} kr_omu_op_mulsv_args_t;

typedef struct kr_omu_op_pairwise_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input_a;
  kr_omu_buffer* input_b;
  int32_t count;
  int32_t output_offset;
  int32_t input_a_offset;
  int32_t input_b_offset;
} kr_omu_op_pairwise_args_t;

// Row-wise record; also read by the 16-bit row softmax.
typedef struct kr_omu_op_elementwise_broadcast_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input;
  int32_t num_rows;
  int32_t row_length;
  int32_t output_offset;
  int32_t input_offset;
} kr_omu_op_elementwise_broadcast_args_t;

// Matrix with a broadcast row or column vector, or row concatenation of two matrices.
typedef struct kr_omu_op_pairwise_broadcast_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input_a;  // num_rows x row_length matrix
  kr_omu_buffer* input_b;  // broadcast vector, or the second matrix of the concatenation
  int32_t num_rows;
  int32_t row_length;
  int32_t output_offset;
  int32_t input_a_offset;
  int32_t input_b_offset;
} kr_omu_op_pairwise_broadcast_args_t;

// Float layer normalisation; gamma and beta are float or Q7 bytes depending on the entry.
typedef struct kr_omu_op_layer_norm_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input;
  kr_omu_buffer* gamma;
  kr_omu_buffer* beta;
  float epsilon;
  int32_t num_rows;
  int32_t row_length;
  int32_t output_offset;
  int32_t input_offset;
  int32_t gamma_offset;
  int32_t beta_offset;
} kr_omu_op_layer_norm_args_t;

// Root-mean-square normalisation.
typedef struct kr_omu_op_norm_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input;
  kr_omu_buffer* gamma;
  float epsilon;
  int32_t num_rows;
  int32_t row_length;
  int32_t output_offset;
  int32_t input_offset;
  int32_t gamma_offset;
} kr_omu_op_norm_args_t;

// Top-k gate; no offsets, every buffer is used from its start.
typedef struct kr_omu_op_gate_args_t {
  kr_omu_buffer* top_indices;  // int32, num_rows x top_k
  kr_omu_buffer* top_probs;    // float, num_rows x top_k
  kr_omu_buffer* scores;       // float, num_rows x num_candidates
  int32_t num_rows;
  int32_t top_k;
  int32_t num_candidates;
} kr_omu_op_gate_args_t;

// 16-bit gated cell update (taabe47).
typedef struct kr_omu_op_cell_args_t {
  kr_omu_buffer* output;  // cell output, Q10
  kr_omu_buffer* cell;    // cell state, Q10, updated in place
  kr_omu_buffer* gates;   // three count-long Q10 vectors, overwritten with Q15 activations
  int32_t count;
  int32_t output_offset;
  int32_t cell_offset;
  int32_t gates_offset;
} kr_omu_op_cell_args_t;

// 16-bit per-column standardisation (taabe86); mean and scale are used from their buffers' start.
typedef struct kr_omu_op_standardize_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input;
  kr_omu_buffer* mean;   // int16, num_columns entries
  kr_omu_buffer* scale;  // Q10, num_columns entries
  int32_t num_rows;
  int32_t num_columns;
  int32_t output_offset;
  int32_t input_offset;
} kr_omu_op_standardize_args_t;

// 16-bit by 8-bit one-dimensional convolution with 32-bit sums.
typedef struct kr_omu_op_conv1d_args_t {
  kr_omu_buffer* output;   // int32, num_frames x out_channels
  kr_omu_buffer* weights;  // int8, out_channels x kernel_size x in_channels
  kr_omu_buffer* input;    // int16, (num_frames + kernel_size - 1) x in_channels
  int32_t num_frames;
  int32_t out_channels;
  int32_t in_channels;
  int32_t kernel_size;
  int32_t output_offset;
  int32_t weights_offset;
  int32_t input_offset;
} kr_omu_op_conv1d_args_t;

// Depthwise one-dimensional convolution.
typedef struct kr_omu_op_conv1d_depthwise_args_t {
  kr_omu_buffer* output;   // int32, num_frames x channels
  kr_omu_buffer* weights;  // int8, kernel_size x channels
  kr_omu_buffer* input;    // int16, (num_frames + kernel_size - 1) x channels
  int32_t num_frames;
  int32_t channels;
  int32_t kernel_size;
  int32_t output_offset;
  int32_t weights_offset;
  int32_t input_offset;
} kr_omu_op_conv1d_depthwise_args_t;

// Transposed (upsampling) depthwise one-dimensional convolution; kernel_size must be a multiple of
// stride.
typedef struct kr_omu_op_conv1d_transposed_depthwise_args_t {
  kr_omu_buffer* output;   // int32, (num_frames + kernel_size / stride - 1) x stride frames
  kr_omu_buffer* weights;  // int8, kernel_size x channels
  kr_omu_buffer* input;    // int16, num_frames x channels
  int32_t num_frames;
  int32_t channels;
  int32_t kernel_size;
  int32_t stride;
  int32_t output_offset;
  int32_t weights_offset;
  int32_t input_offset;
} kr_omu_op_conv1d_transposed_depthwise_args_t;

// 16-bit by 8-bit linear layer (taabe34, taabe153); weights and bias are used from their start.
typedef struct kr_omu_op_linear_args_t {
  kr_omu_buffer* output;   // Q10, num_rows x out_features
  kr_omu_buffer* input;    // Q10, num_rows x in_features
  kr_omu_buffer* weights;  // Q7, out_features x in_features
  kr_omu_buffer* bias;     // Q7, out_features entries
  int32_t num_rows;
  int32_t out_features;
  int32_t in_features;
  int32_t output_offset;
  int32_t input_offset;
} kr_omu_op_linear_args_t;

// Three-dimensional transpose; each entry reads the shape numbers its own way.
typedef struct kr_omu_op_transpose_args_t {
  kr_omu_buffer* output;
  kr_omu_buffer* input;
  int32_t dim0;
  int32_t dim1;
  int32_t dim2;
  int32_t output_offset;
  int32_t input_offset;
} kr_omu_op_transpose_args_t;

// Float rows to 16-bit integers with one float scale per row.
typedef struct kr_omu_op_quantize_args_t {
  kr_omu_buffer* output;  // int16, num_rows x row_length
  kr_omu_buffer* scales;  // float, num_rows entries
  kr_omu_buffer* input;   // float, num_rows x row_length
  int32_t num_rows;
  int32_t row_length;
  int32_t output_offset;
  int32_t scales_offset;
  int32_t input_offset;
} kr_omu_op_quantize_args_t;

// Float matrix product output = lhs x rhs^T.
typedef struct kr_omu_op_matmul_args_t {
  kr_omu_buffer* output;  // rows x cols
  kr_omu_buffer* lhs;     // rows x depth
  kr_omu_buffer* rhs;     // cols x depth
  int32_t rows;
  int32_t cols;
  int32_t depth;
  int32_t output_offset;
  int32_t lhs_offset;
  int32_t rhs_offset;
} kr_omu_op_matmul_args_t;

// In-place rewrite of a block-quantised weight buffer to its plane form; no offset.
typedef struct kr_omu_op_weight_16x8_preprocess_blocks_args_t {
  kr_omu_buffer* weights;
  int32_t row_blocks;
  int32_t column_blocks[8];  // column blocks stored at 1 to 8 bits per weight
} kr_omu_op_weight_16x8_preprocess_blocks_args_t;

// Float activations times block-quantised weights; column_order, block_params and weights are used
// from their buffers' start.
typedef struct kr_omu_op_weight_16x8_args_t {
  kr_omu_buffer* output;        // float, rows x (16 * row_blocks)
  kr_omu_buffer* input;         // float, rows x K
  kr_omu_buffer* column_order;  // uint32, K input column indices
  kr_omu_buffer* block_params;  // two 16-bit codes (offset, step) per weight block
  kr_omu_buffer* weights;       // preprocessed weight buffer
  int32_t rows;
  int32_t row_blocks;
  int32_t column_blocks[8];  // column blocks stored at 1 to 8 bits per weight
  int32_t output_offset;
  int32_t input_offset;
} kr_omu_op_weight_16x8_args_t;

// Fused attention with relative position embeddings. Its offsets count float elements, not bytes.
typedef struct kr_omu_op_attention_args_t {
  kr_omu_buffer* output;          // length x heads x (width / heads)
  kr_omu_buffer* query;
  kr_omu_buffer* key;
  kr_omu_buffer* value;
  kr_omu_buffer* relative_key;    // (2 * window + 1) rows, shared by all heads
  kr_omu_buffer* relative_value;  // (2 * window + 1) rows, shared by all heads
  kr_omu_buffer* scores;          // scratch, heads x length x length
  int32_t length;
  int32_t heads;
  int32_t width;
  int32_t window;
  int32_t lookahead;  // negative: no mask
  int32_t output_offset;
  int32_t query_offset;
  int32_t key_offset;
  int32_t value_offset;
  int32_t relative_key_offset;
  int32_t relative_value_offset;
  int32_t scores_offset;
} kr_omu_op_attention_args_t;

// Attention of new queries over the 8-bit key/value ring-buffer cache; no offsets.
typedef struct kr_omu_op_attention_attend_args_t {
  kr_omu_buffer* output;  // float, length x heads x head_size
  kr_omu_buffer* query;   // float, heads x length x head_size
  kr_omu_buffer* key_cache;
  kr_omu_buffer* key_offsets;
  kr_omu_buffer* key_scales;
  kr_omu_buffer* value_cache;
  kr_omu_buffer* value_offsets;
  kr_omu_buffer* value_scales;
  int32_t length;
  int32_t capacity;
  int32_t position;  // absolute position of the first new query
  int32_t heads;
  int32_t kv_heads;
  int32_t head_size;
} kr_omu_op_attention_attend_args_t;

// Rotary position encoding applied in place; no offsets.
typedef struct kr_omu_op_attention_encode_args_t {
  kr_omu_buffer* data;      // float, length x heads x head_size
  kr_omu_buffer* encoding;  // table of rotary_size floats per position
  int32_t length;
  int32_t heads;
  int32_t head_size;
  int32_t rotary_size;
  int32_t position;     // table row of data position 0
  int32_t interleaved;  // non-zero: neighbouring pairs; zero: split halves
} kr_omu_op_attention_encode_args_t;

// Cosine/sine table of the rotary position encoding.
typedef struct kr_omu_op_precompute_encoding_args_t {
  kr_omu_buffer* output;              // length x rotary_size floats
  kr_omu_buffer* frequency_divisors;  // rotary_size / 2 floats
  float base;
  float scale;
  int32_t length;
  int32_t rotary_size;
  int32_t output_offset;
  int32_t frequency_divisors_offset;
} kr_omu_op_precompute_encoding_args_t;

// Quantises new key or value rows into the 8-bit ring-buffer cache; no offsets.
typedef struct kr_omu_op_update_kv_args_t {
  kr_omu_buffer* cache;    // uint8, kv_heads x capacity x head_size
  kr_omu_buffer* scales;   // float, kv_heads x capacity
  kr_omu_buffer* offsets;  // float, kv_heads x capacity
  kr_omu_buffer* input;    // float, length x kv_heads x head_size
  int32_t kv_heads;
  int32_t length;
  int32_t head_size;
  int32_t position;  // absolute position of the first new row
  int32_t capacity;
} kr_omu_op_update_kv_args_t;

// ---------------------------------------------------------------------------------------------
// Exports with undecorated linkage

#ifdef __cplusplus
extern "C" {
#endif

KR_OMU_EXPORT extern int32_t NvOptimusEnablementCuda;  // asks hybrid-graphics drivers for the discrete GPU

// Device context and listing.
KR_OMU_EXPORT kr_status_t taabe20(int32_t index, kr_omu_device** out_device);  // open a device context
KR_OMU_EXPORT void taabe105(kr_omu_device* device);                            // close a device context
KR_OMU_EXPORT kr_status_t taabe21(char*** out_names, int32_t* out_count);      // list GPUs by name
KR_OMU_EXPORT void taabe5(char** names, int32_t count);                        // release a name list

// Buffers, transfers, host mirrors and host memory.
KR_OMU_EXPORT kr_omu_buffer* taabe79(kr_omu_device* device, int32_t size, int32_t user_value);  // allocate buffer
KR_OMU_EXPORT void taabe10(kr_omu_device* device, kr_omu_buffer* buffer);                       // free buffer
KR_OMU_EXPORT int32_t taabe37(kr_omu_device* device, kr_omu_buffer* buffer);                    // buffer size
KR_OMU_EXPORT kr_status_t taabe9(kr_omu_device* device, kr_omu_buffer* buffer, const void* source,
                                 int32_t offset, int32_t count);  // write host bytes into the buffer
KR_OMU_EXPORT kr_status_t taabe137(kr_omu_device* device, kr_omu_buffer* buffer, void* destination,
                                   int32_t offset, int32_t count);  // read buffer bytes to the host
KR_OMU_EXPORT void* taabe93(kr_omu_device* device, kr_omu_buffer* buffer, uint8_t copy_in);   // map host mirror
KR_OMU_EXPORT void taabe150(kr_omu_device* device, kr_omu_buffer* buffer, uint8_t copy_out);  // unmap host mirror
KR_OMU_EXPORT void* taabe68(kr_omu_device* device, int32_t count);  // allocate host memory
KR_OMU_EXPORT void taabe197(kr_omu_device* device, void* pointer);  // free host memory

// Device memory utilities.
KR_OMU_EXPORT kr_status_t taabe140(kr_omu_device* device, kr_omu_operator* op,
                                   kr_omu_op_copy_args_t* args);  // device-to-device copy
KR_OMU_EXPORT kr_status_t taabe267(kr_omu_device* device, kr_omu_operator* op,
                                   kr_omu_op_clear_args_t* args);  // zero device memory

// Operator entries with undecorated linkage.
KR_OMU_EXPORT kr_status_t taabe141(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);  // float table GELU
KR_OMU_EXPORT kr_status_t taabe169(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);  // float ReLU
KR_OMU_EXPORT kr_status_t taabe165(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);  // 16-bit table GELU
KR_OMU_EXPORT kr_status_t taabe177(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t*);  // 16-bit saturating add
KR_OMU_EXPORT kr_status_t taabe273(kr_omu_device*, kr_omu_operator*,
                                   kr_omu_op_elementwise_broadcast_args_t*);  // 16-bit row softmax

// Operator entries with undecorated linkage and records of their own.
KR_OMU_EXPORT kr_status_t taabe47(kr_omu_device*, kr_omu_operator*, kr_omu_op_cell_args_t*);         // 16-bit gated cell update
KR_OMU_EXPORT kr_status_t taabe86(kr_omu_device*, kr_omu_operator*, kr_omu_op_standardize_args_t*);  // 16-bit column standardisation
KR_OMU_EXPORT kr_status_t taabe34(kr_omu_device*, kr_omu_operator*, kr_omu_op_linear_args_t*);       // 16-bit by 8-bit linear layer
KR_OMU_EXPORT kr_status_t taabe153(kr_omu_device*, kr_omu_operator*, kr_omu_op_linear_args_t*);      // 16-bit by 8-bit linear layer, accumulating

#ifdef __cplusplus
}  // extern "C"

// ---------------------------------------------------------------------------------------------
// Operator entries with decorated (C++) linkage

// Float unary elementwise.
KR_OMU_EXPORT kr_status_t taabe178(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);  // float exponential
KR_OMU_EXPORT kr_status_t taabe71(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);   // float GELU, erf form
KR_OMU_EXPORT kr_status_t taabe78(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);   // float GELU, tanh form
KR_OMU_EXPORT kr_status_t taabe190(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);  // float x-times-sigmoid
KR_OMU_EXPORT kr_status_t taabe39(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);   // float table sigmoid
KR_OMU_EXPORT kr_status_t taabe257(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);  // float table tanh

// 16-bit elementwise and conversions.
KR_OMU_EXPORT kr_status_t taabe27(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);   // 16-bit sigmoid, Q10 result
KR_OMU_EXPORT kr_status_t taabe35(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);   // 16-bit sigmoid, Q15 result
KR_OMU_EXPORT kr_status_t taabe88(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);   // 16-bit ReLU
KR_OMU_EXPORT kr_status_t taabe218(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);  // int32 to float
KR_OMU_EXPORT kr_status_t taabe221(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);  // Q7 to float
KR_OMU_EXPORT kr_status_t taabe266(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);  // Q10 to float
KR_OMU_EXPORT kr_status_t taabe77(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);   // float to Q10
KR_OMU_EXPORT kr_status_t taabe82(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);   // Q17 to Q10

// Scalar elementwise.
KR_OMU_EXPORT kr_status_t taabe45(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t*);   // float add scalar
KR_OMU_EXPORT kr_status_t taabe106(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t*);  // float multiply by scalar
KR_OMU_EXPORT kr_status_t taabe224(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t*);  // float scalar minus element
KR_OMU_EXPORT kr_status_t taabe272(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t*);  // float scalar divided by element
KR_OMU_EXPORT kr_status_t taabe263(kr_omu_device*, kr_omu_operator*, kr_omu_op_mulsv_args_t*);               // 16-bit multiply by scalar

// Pairwise.
KR_OMU_EXPORT kr_status_t taabe225(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t*);  // float pairwise add
KR_OMU_EXPORT kr_status_t taabe241(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t*);  // float pairwise subtract
KR_OMU_EXPORT kr_status_t taabe66(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t*);   // float pairwise multiply
KR_OMU_EXPORT kr_status_t taabe50(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t*);   // float pairwise divide

// Broadcast row or column, and row concatenation.
KR_OMU_EXPORT kr_status_t taabe99(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t*);   // Q17 add Q7 bias row
KR_OMU_EXPORT kr_status_t taabe155(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t*);  // float add row vector
KR_OMU_EXPORT kr_status_t taabe69(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t*);   // float multiply by row vector
KR_OMU_EXPORT kr_status_t taabe246(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t*);  // float multiply-accumulate by row vector
KR_OMU_EXPORT kr_status_t taabe46(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t*);   // float multiply by column vector
KR_OMU_EXPORT kr_status_t taabe249(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t*);  // float subtract column vector
KR_OMU_EXPORT kr_status_t taabe24(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t*);   // float row concatenation

// Row-wise.
KR_OMU_EXPORT kr_status_t taabe194(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t*);  // float row reverse
KR_OMU_EXPORT kr_status_t taabe118(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t*);  // float row softmax
KR_OMU_EXPORT kr_status_t taabe143(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t*);  // float row sum
KR_OMU_EXPORT kr_status_t taabe40(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t*);   // float spectrum from log-magnitude and phase

// Normalisation and gating.
KR_OMU_EXPORT kr_status_t taabe120(kr_omu_device*, kr_omu_operator*, kr_omu_op_layer_norm_args_t*);  // float layer normalisation
KR_OMU_EXPORT kr_status_t taabe230(kr_omu_device*, kr_omu_operator*, kr_omu_op_layer_norm_args_t*);  // layer normalisation, Q7 gamma and beta
KR_OMU_EXPORT kr_status_t taabe167(kr_omu_device*, kr_omu_operator*, kr_omu_op_norm_args_t*);        // root-mean-square normalisation
KR_OMU_EXPORT kr_status_t taabe149(kr_omu_device*, kr_omu_operator*, kr_omu_op_gate_args_t*);        // top-k gate

// Convolutions.
KR_OMU_EXPORT kr_status_t taabe126(kr_omu_device*, kr_omu_operator*, kr_omu_op_conv1d_args_t*);  // 16-bit by 8-bit conv1d
KR_OMU_EXPORT kr_status_t taabe61(kr_omu_device*, kr_omu_operator*, kr_omu_op_conv1d_depthwise_args_t*);  // depthwise conv1d
KR_OMU_EXPORT kr_status_t taabe81(kr_omu_device*, kr_omu_operator*,
                                  kr_omu_op_conv1d_transposed_depthwise_args_t*);  // transposed depthwise conv1d

// Layout and quantisation.
KR_OMU_EXPORT kr_status_t taabe116(kr_omu_device*, kr_omu_operator*, kr_omu_op_transpose_args_t*);  // float outer transpose
KR_OMU_EXPORT kr_status_t taabe110(kr_omu_device*, kr_omu_operator*, kr_omu_op_transpose_args_t*);  // byte inner transpose
KR_OMU_EXPORT kr_status_t taabe240(kr_omu_device*, kr_omu_operator*, kr_omu_op_quantize_args_t*);   // float to 16-bit row quantisation

// Matrix multiplication.
KR_OMU_EXPORT kr_status_t taabe54(kr_omu_device*, kr_omu_operator*, kr_omu_op_matmul_args_t*);  // float matrix multiplication
KR_OMU_EXPORT kr_status_t taabe2(kr_omu_device*, kr_omu_operator*,
                                 kr_omu_op_weight_16x8_preprocess_blocks_args_t*);  // block-quantised weight preprocessing
KR_OMU_EXPORT kr_status_t taabe195(kr_omu_device*, kr_omu_operator*,
                                   kr_omu_op_weight_16x8_args_t*);  // block-quantised weight matrix multiplication

// Attention.
KR_OMU_EXPORT kr_status_t taabe104(kr_omu_device*, kr_omu_operator*, kr_omu_op_attention_args_t*);  // fused attention
KR_OMU_EXPORT kr_status_t taabe7(kr_omu_device*, kr_omu_operator*, kr_omu_op_attention_attend_args_t*);  // attend over the 8-bit cache
KR_OMU_EXPORT kr_status_t taabe203(kr_omu_device*, kr_omu_operator*, kr_omu_op_attention_encode_args_t*);  // rotary position encoding
KR_OMU_EXPORT kr_status_t taabe8(kr_omu_device*, kr_omu_operator*,
                                 kr_omu_op_precompute_encoding_args_t*);  // position encoding table
KR_OMU_EXPORT kr_status_t taabe186(kr_omu_device*, kr_omu_operator*, kr_omu_op_update_kv_args_t*);  // key/value cache update
#endif  // __cplusplus
