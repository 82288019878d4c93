// Every operator entry, every shape field of its record, tried with -1, -256, INT32_MIN and
// INT32_MAX one at a time (the other fields valid): the entry refuses with status 3 and writes
// nothing, or gives the documented harmless result of the table below. Either way no guard zone is
// damaged and a valid call right after it succeeds.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/library.h"

namespace {

using kr_test::kernel_failure_text;
using kr_test::messages;
using kr_test::stored;

// What a call with one hostile shape number gives.
enum class outcome {
  refused,         // status 3, no message, nothing written
  launch_refused,  // status 7 with the failed call's one message, nothing written
  no_op,           // status 0, nothing written
  writes_within,   // status 0, writes inside the given buffers only (e.g. a row sum of 0.0)
  callers_duty,    // an extent the caller must back with buffers that large: not tried here
  other,           // anything else (never expected)
};

const char* name_of(outcome o) {
  switch (o) {
    case outcome::refused: return "refused (3, nothing written)";
    case outcome::launch_refused: return "launch refused (7, nothing written)";
    case outcome::no_op: return "no-op (0, nothing written)";
    case outcome::writes_within: return "writes within its buffers (0)";
    case outcome::callers_duty: return "caller's duty";
    default: return "something else";
  }
}

#if defined(KR_TEST_UNDER_THREAD_SANITIZER)
constexpr bool under_race_build = true;
#else
constexpr bool under_race_build = false;
#endif

constexpr int buffer_count = 8;
constexpr int32_t buffer_bytes = 16384;
constexpr uint8_t sentinel = 0x5A;

// One int32 shape field of a record. `extent`: the field sizes a buffer, so INT32_MAX with the
// other fields valid describes a tensor larger than any of the test's buffers.
struct field {
  const char* name;
  size_t offset;
  bool extent;
};

#define KR_FIELD(record, member, extent) field{#member, offsetof(record, member), extent}

using buffer_set = kr_omu_buffer* const*;

struct audit_entry {
  std::string name;
  std::vector<field> fields;
  // The valid call with `value` written over `f` (none when f is null).
  std::function<kr_status_t(kr_omu_device*, buffer_set, const field* f, int32_t value)> call;
};

template <typename R>
audit_entry entry(std::string name, kr_status_t (*fn)(kr_omu_device*, kr_omu_operator*, R*), R (*valid)(buffer_set),
                  std::vector<field> fields) {
  return {std::move(name), std::move(fields), [fn, valid](kr_omu_device* d, buffer_set b, const field* f, int32_t v) {
            R record = valid(b);
            if (f != nullptr) std::memcpy(reinterpret_cast<char*>(&record) + f->offset, &v, sizeof v);
            return fn(d, nullptr, &record);
          }};
}

// Valid records over the eight buffers b[0..7] of 16 KiB each.
using elementwise = kr_omu_op_elementwise_args_t;
using scalar = kr_omu_op_elementwise_scalar_args_t;
using pairwise = kr_omu_op_pairwise_args_t;
using rows = kr_omu_op_elementwise_broadcast_args_t;
using broadcast = kr_omu_op_pairwise_broadcast_args_t;
using layer_norm = kr_omu_op_layer_norm_args_t;

elementwise valid_elementwise(buffer_set b) { return {b[0], b[1], 100, 0, 0}; }
scalar valid_scalar(buffer_set b) { return {b[0], b[1], 2.0f, 100, 0, 0}; }
kr_omu_op_mulsv_args_t valid_mulsv(buffer_set b) { return {b[0], b[1], 1024, 0, 100, 0, 0}; }
pairwise valid_pairwise(buffer_set b) { return {b[0], b[1], b[2], 100, 0, 0, 0}; }
kr_omu_op_cell_args_t valid_cell(buffer_set b) { return {b[0], b[1], b[2], 100, 0, 0, 0}; }
kr_omu_op_copy_args_t valid_copy(buffer_set b) { return {b[0], b[1], 64, 0, 0}; }
kr_omu_op_clear_args_t valid_clear(buffer_set b) { return {b[0], 64, 0}; }
rows valid_rows(buffer_set b) { return {b[0], b[1], 3, 10, 0, 0}; }
broadcast valid_broadcast(buffer_set b) { return {b[0], b[1], b[2], 3, 10, 0, 0, 0}; }
layer_norm valid_layer_norm(buffer_set b) { return {b[0], b[1], b[2], b[3], 1e-5f, 3, 10, 0, 0, 0, 0}; }
kr_omu_op_norm_args_t valid_norm(buffer_set b) { return {b[0], b[1], b[2], 1e-5f, 3, 10, 0, 0, 0}; }
kr_omu_op_gate_args_t valid_gate(buffer_set b) { return {b[0], b[1], b[2], 3, 2, 5}; }
kr_omu_op_standardize_args_t valid_standardize(buffer_set b) { return {b[0], b[1], b[2], b[3], 3, 10, 0, 0}; }
kr_omu_op_conv1d_args_t valid_conv1d(buffer_set b) { return {b[0], b[1], b[2], 3, 4, 4, 3, 0, 0, 0}; }
kr_omu_op_conv1d_args_t valid_conv1d_plain(buffer_set b) { return {b[0], b[1], b[2], 3, 4, 3, 3, 0, 0, 0}; }
kr_omu_op_conv1d_depthwise_args_t valid_depthwise(buffer_set b) { return {b[0], b[1], b[2], 3, 4, 3, 0, 0, 0}; }
kr_omu_op_conv1d_depthwise_args_t valid_depthwise_generic(buffer_set b) {
  return {b[0], b[1], b[2], 3, 4, 6, 0, 0, 0};
}
kr_omu_op_conv1d_transposed_depthwise_args_t valid_transposed(buffer_set b) {
  return {b[0], b[1], b[2], 3, 4, 4, 2, 0, 0, 0};
}
kr_omu_op_linear_args_t valid_linear(buffer_set b) { return {b[0], b[1], b[2], b[3], 2, 4, 8, 0, 0}; }
kr_omu_op_linear_args_t valid_linear_plain(buffer_set b) { return {b[0], b[1], b[2], b[3], 2, 4, 7, 0, 0}; }
kr_omu_op_transpose_args_t valid_transpose(buffer_set b) { return {b[0], b[1], 2, 3, 4, 0, 0}; }
kr_omu_op_quantize_args_t valid_quantize(buffer_set b) { return {b[0], b[1], b[2], 3, 10, 0, 0, 0}; }
kr_omu_op_matmul_args_t valid_matmul(buffer_set b) { return {b[0], b[1], b[2], 3, 4, 5, 0, 0, 0}; }
kr_omu_op_weight_16x8_preprocess_blocks_args_t valid_preprocess(buffer_set b) {
  return {b[0], 1, {0, 0, 1, 0, 1, 0, 0, 0}};
}
kr_omu_op_weight_16x8_args_t valid_weight_16x8(buffer_set b) {
  return {b[0], b[1], b[2], b[3], b[4], 2, 1, {0, 0, 0, 1, 0, 0, 0, 1}, 0, 0};
}
kr_omu_op_weight_16x8_args_t valid_weight_16x8_vector(buffer_set b) {
  return {b[0], b[1], b[2], b[3], b[4], 1, 1, {0, 0, 0, 1, 0, 0, 0, 1}, 0, 0};
}
kr_omu_op_attention_args_t valid_fused(buffer_set b) {
  return {b[0], b[1], b[2], b[3], b[4], b[5], b[6], 3, 2, 8, 1, -1, 0, 0, 0, 0, 0, 0, 0};
}
kr_omu_op_attention_attend_args_t valid_attend(buffer_set b) {
  return {b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], 2, 8, 3, 2, 1, 4};
}
kr_omu_op_attention_encode_args_t valid_encode_interleaved(buffer_set b) { return {b[0], b[1], 3, 2, 8, 8, 1, 1}; }
kr_omu_op_attention_encode_args_t valid_encode_halves(buffer_set b) { return {b[0], b[1], 3, 2, 8, 8, 1, 0}; }
kr_omu_op_precompute_encoding_args_t valid_precompute(buffer_set b) {
  return {b[0], b[1], 10000.0f, 1.0f, 3, 8, 0, 0};
}
kr_omu_op_update_kv_args_t valid_update_kv(buffer_set b) { return {b[0], b[1], b[2], b[3], 2, 3, 8, 0, 4}; }

std::vector<audit_entry> all_entries() {
  std::vector<audit_entry> out;
  using ew_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, elementwise*);
  const std::vector<field> count_field = {KR_FIELD(elementwise, count, true)};
  for (auto [name, fn] : std::vector<std::pair<const char*, ew_fn>>{
           {"taabe141", taabe141}, {"taabe169", taabe169}, {"taabe165", taabe165}, {"taabe178", taabe178},
           {"taabe71", taabe71},   {"taabe78", taabe78},   {"taabe190", taabe190}, {"taabe39", taabe39},
           {"taabe257", taabe257}, {"taabe27", taabe27},   {"taabe35", taabe35},   {"taabe88", taabe88},
           {"taabe218", taabe218}, {"taabe221", taabe221}, {"taabe266", taabe266}, {"taabe77", taabe77},
           {"taabe82", taabe82}}) {
    out.push_back(entry(name, fn, valid_elementwise, count_field));
  }
  using sc_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, scalar*);
  for (auto [name, fn] : std::vector<std::pair<const char*, sc_fn>>{
           {"taabe45", taabe45}, {"taabe106", taabe106}, {"taabe224", taabe224}, {"taabe272", taabe272}}) {
    out.push_back(entry(name, fn, valid_scalar, {KR_FIELD(scalar, count, true)}));
  }
  out.push_back(entry("taabe263", taabe263, valid_mulsv, {KR_FIELD(kr_omu_op_mulsv_args_t, count, true)}));
  using pw_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, pairwise*);
  for (auto [name, fn] : std::vector<std::pair<const char*, pw_fn>>{
           {"taabe225", taabe225}, {"taabe241", taabe241}, {"taabe66", taabe66}, {"taabe50", taabe50},
           {"taabe177", taabe177}}) {
    out.push_back(entry(name, fn, valid_pairwise, {KR_FIELD(pairwise, count, true)}));
  }
  out.push_back(entry("taabe47", taabe47, valid_cell, {KR_FIELD(kr_omu_op_cell_args_t, count, true)}));
  out.push_back(entry("taabe140", taabe140, valid_copy, {KR_FIELD(kr_omu_op_copy_args_t, byte_count, true)}));
  out.push_back(entry("taabe267", taabe267, valid_clear, {KR_FIELD(kr_omu_op_clear_args_t, byte_count, true)}));

  const std::vector<field> row_fields = {KR_FIELD(rows, num_rows, true), KR_FIELD(rows, row_length, true)};
  using rw_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, rows*);
  for (auto [name, fn] : std::vector<std::pair<const char*, rw_fn>>{
           {"taabe273", taabe273}, {"taabe194", taabe194}, {"taabe118", taabe118}, {"taabe143", taabe143},
           {"taabe40", taabe40}}) {
    out.push_back(entry(name, fn, valid_rows, row_fields));
  }
  const std::vector<field> broadcast_fields = {KR_FIELD(broadcast, num_rows, true),
                                               KR_FIELD(broadcast, row_length, true)};
  using bc_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, broadcast*);
  for (auto [name, fn] : std::vector<std::pair<const char*, bc_fn>>{
           {"taabe99", taabe99}, {"taabe155", taabe155}, {"taabe69", taabe69}, {"taabe246", taabe246},
           {"taabe46", taabe46}, {"taabe249", taabe249}, {"taabe24", taabe24}}) {
    out.push_back(entry(name, fn, valid_broadcast, broadcast_fields));
  }
  const std::vector<field> norm_fields = {KR_FIELD(layer_norm, num_rows, true), KR_FIELD(layer_norm, row_length, true)};
  out.push_back(entry("taabe120", taabe120, valid_layer_norm, norm_fields));
  out.push_back(entry("taabe230", taabe230, valid_layer_norm, norm_fields));
  out.push_back(entry("taabe167", taabe167, valid_norm,
                      {KR_FIELD(kr_omu_op_norm_args_t, num_rows, true), KR_FIELD(kr_omu_op_norm_args_t, row_length, true)}));
  out.push_back(entry("taabe149", taabe149, valid_gate,
                      {KR_FIELD(kr_omu_op_gate_args_t, num_rows, true), KR_FIELD(kr_omu_op_gate_args_t, top_k, false),
                       KR_FIELD(kr_omu_op_gate_args_t, num_candidates, true)}));
  out.push_back(entry("taabe86", taabe86, valid_standardize,
                      {KR_FIELD(kr_omu_op_standardize_args_t, num_rows, true),
                       KR_FIELD(kr_omu_op_standardize_args_t, num_columns, true)}));

  const std::vector<field> conv_fields = {
      KR_FIELD(kr_omu_op_conv1d_args_t, num_frames, true), KR_FIELD(kr_omu_op_conv1d_args_t, out_channels, true),
      KR_FIELD(kr_omu_op_conv1d_args_t, in_channels, true), KR_FIELD(kr_omu_op_conv1d_args_t, kernel_size, true)};
  out.push_back(entry("taabe126 packed", taabe126, valid_conv1d, conv_fields));
  out.push_back(entry("taabe126 plain", taabe126, valid_conv1d_plain, conv_fields));
  const std::vector<field> depthwise_fields = {KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, num_frames, true),
                                               KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, channels, true),
                                               KR_FIELD(kr_omu_op_conv1d_depthwise_args_t, kernel_size, true)};
  out.push_back(entry("taabe61 unrolled", taabe61, valid_depthwise, depthwise_fields));
  out.push_back(entry("taabe61 generic", taabe61, valid_depthwise_generic, depthwise_fields));
  out.push_back(entry("taabe81", taabe81, valid_transposed,
                      {KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, num_frames, true),
                       KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, channels, true),
                       KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, kernel_size, true),
                       KR_FIELD(kr_omu_op_conv1d_transposed_depthwise_args_t, stride, false)}));
  const std::vector<field> linear_fields = {KR_FIELD(kr_omu_op_linear_args_t, num_rows, true),
                                            KR_FIELD(kr_omu_op_linear_args_t, out_features, true),
                                            KR_FIELD(kr_omu_op_linear_args_t, in_features, true)};
  out.push_back(entry("taabe34 packed", taabe34, valid_linear, linear_fields));
  out.push_back(entry("taabe34 plain", taabe34, valid_linear_plain, linear_fields));
  out.push_back(entry("taabe153", taabe153, valid_linear, linear_fields));

  const std::vector<field> transpose_fields = {KR_FIELD(kr_omu_op_transpose_args_t, dim0, true),
                                               KR_FIELD(kr_omu_op_transpose_args_t, dim1, true),
                                               KR_FIELD(kr_omu_op_transpose_args_t, dim2, true)};
  out.push_back(entry("taabe116", taabe116, valid_transpose, transpose_fields));
  out.push_back(entry("taabe110", taabe110, valid_transpose, transpose_fields));
  out.push_back(entry("taabe240", taabe240, valid_quantize,
                      {KR_FIELD(kr_omu_op_quantize_args_t, num_rows, true),
                       KR_FIELD(kr_omu_op_quantize_args_t, row_length, true)}));

  out.push_back(entry("taabe54", taabe54, valid_matmul,
                      {KR_FIELD(kr_omu_op_matmul_args_t, rows, true), KR_FIELD(kr_omu_op_matmul_args_t, cols, true),
                       KR_FIELD(kr_omu_op_matmul_args_t, depth, true)}));
  using pre = kr_omu_op_weight_16x8_preprocess_blocks_args_t;
  out.push_back(entry("taabe2", taabe2, valid_preprocess,
                      {KR_FIELD(pre, row_blocks, true), KR_FIELD(pre, column_blocks[0], true),
                       KR_FIELD(pre, column_blocks[2], true), KR_FIELD(pre, column_blocks[4], true),
                       KR_FIELD(pre, column_blocks[7], true)}));
  using w16 = kr_omu_op_weight_16x8_args_t;
  const std::vector<field> w16_fields = {KR_FIELD(w16, rows, true), KR_FIELD(w16, row_blocks, true),
                                         KR_FIELD(w16, column_blocks[0], true), KR_FIELD(w16, column_blocks[3], true),
                                         KR_FIELD(w16, column_blocks[7], true)};
  out.push_back(entry("taabe195 batched", taabe195, valid_weight_16x8, w16_fields));
  out.push_back(entry("taabe195 vector", taabe195, valid_weight_16x8_vector, w16_fields));

  using fused = kr_omu_op_attention_args_t;
  out.push_back(entry("taabe104", taabe104, valid_fused,
                      {KR_FIELD(fused, length, true), KR_FIELD(fused, heads, true), KR_FIELD(fused, width, true),
                       KR_FIELD(fused, window, true), KR_FIELD(fused, lookahead, false)}));
  using attend = kr_omu_op_attention_attend_args_t;
  out.push_back(entry("taabe7", taabe7, valid_attend,
                      {KR_FIELD(attend, length, true), KR_FIELD(attend, capacity, true),
                       KR_FIELD(attend, position, false), KR_FIELD(attend, heads, true),
                       KR_FIELD(attend, kv_heads, true), KR_FIELD(attend, head_size, true)}));
  using encode = kr_omu_op_attention_encode_args_t;
  const std::vector<field> encode_fields = {KR_FIELD(encode, length, true), KR_FIELD(encode, heads, true),
                                            KR_FIELD(encode, head_size, true), KR_FIELD(encode, rotary_size, true),
                                            KR_FIELD(encode, position, true)};
  out.push_back(entry("taabe203 interleaved", taabe203, valid_encode_interleaved, encode_fields));
  out.push_back(entry("taabe203 halves", taabe203, valid_encode_halves, encode_fields));
  out.push_back(entry("taabe8", taabe8, valid_precompute,
                      {KR_FIELD(kr_omu_op_precompute_encoding_args_t, length, true),
                       KR_FIELD(kr_omu_op_precompute_encoding_args_t, rotary_size, true)}));
  using update = kr_omu_op_update_kv_args_t;
  out.push_back(entry("taabe186", taabe186, valid_update_kv,
                      {KR_FIELD(update, kv_heads, true), KR_FIELD(update, length, true),
                       KR_FIELD(update, head_size, true), KR_FIELD(update, position, false),
                       KR_FIELD(update, capacity, true)}));
  return out;
}

// The fuzz set: an empty extent, small and large negative numbers, and the largest number.
constexpr int32_t hostile_values[] = {0, -1, -256, INT32_MIN, INT32_MAX};

// Which hostile values an expectation covers.
enum class values { zero, minus_one, smallest, negative, not_positive, largest, all };

bool covers(values v, int32_t value) {
  switch (v) {
    case values::zero: return value == 0;
    case values::minus_one: return value == -1;
    case values::smallest: return value == INT32_MIN;
    case values::negative: return value < 0;
    case values::not_positive: return value <= 0;
    case values::largest: return value == INT32_MAX;
    default: return true;
  }
}

// The documented results other than a refusal with status 3. Without an entry here a negative or
// zero value must be refused with 3, and INT32_MAX in an extent is the caller's duty.
struct expectation {
  const char* entry;  // the audit entry's name, or its export name for all its variants
  const char* field;  // "*": every field of the entry
  values which;
  outcome expected;
};

constexpr const char* count_entries[] = {"taabe141", "taabe169", "taabe165", "taabe178", "taabe71",  "taabe78",
                                         "taabe190", "taabe39",  "taabe257", "taabe27",  "taabe35",  "taabe88",
                                         "taabe218", "taabe221", "taabe266", "taabe77",  "taabe82",  "taabe45",
                                         "taabe106", "taabe224", "taabe272", "taabe263", "taabe225", "taabe241",
                                         "taabe66",  "taabe50",  "taabe177", "taabe47"};

// clang-format off
const expectation documented[] = {
    // Copy and zero fill: a negative byte count is the refused call it would be (826 / 828, 7).
    {"taabe140", "byte_count", values::zero, outcome::no_op},
    {"taabe140", "byte_count", values::negative, outcome::launch_refused},
    {"taabe267", "byte_count", values::zero, outcome::no_op},
    {"taabe267", "byte_count", values::negative, outcome::launch_refused},
    // Row-wise entries: no rows is the empty grid; a row length of 0 or below writes nothing, the
    // row sum 0.0 per row; the spectrum refuses a negative N, and N = 0 gives its two bins.
    {"taabe273", "num_rows", values::zero, outcome::launch_refused},
    {"taabe273", "row_length", values::not_positive, outcome::no_op},
    {"taabe194", "num_rows", values::zero, outcome::launch_refused},
    {"taabe194", "row_length", values::not_positive, outcome::no_op},
    {"taabe118", "num_rows", values::zero, outcome::launch_refused},
    {"taabe118", "row_length", values::not_positive, outcome::no_op},
    {"taabe143", "num_rows", values::zero, outcome::launch_refused},
    {"taabe143", "row_length", values::not_positive, outcome::writes_within},
    {"taabe40", "num_rows", values::zero, outcome::launch_refused},
    {"taabe40", "row_length", values::zero, outcome::writes_within},
    // Broadcast entries: an empty shape is the empty grid, a row past 8 x 65535 columns a grid the
    // device refuses; the concatenation's row length of 0 or below writes nothing.
    {"taabe99", "*", values::zero, outcome::launch_refused},
    {"taabe99", "row_length", values::largest, outcome::launch_refused},
    {"taabe155", "*", values::zero, outcome::launch_refused},
    {"taabe155", "row_length", values::largest, outcome::launch_refused},
    {"taabe69", "*", values::zero, outcome::launch_refused},
    {"taabe69", "row_length", values::largest, outcome::launch_refused},
    {"taabe246", "*", values::zero, outcome::launch_refused},
    {"taabe246", "row_length", values::largest, outcome::launch_refused},
    {"taabe46", "*", values::zero, outcome::launch_refused},
    {"taabe46", "row_length", values::largest, outcome::launch_refused},
    {"taabe249", "*", values::zero, outcome::launch_refused},
    {"taabe249", "row_length", values::largest, outcome::launch_refused},
    {"taabe24", "num_rows", values::zero, outcome::launch_refused},
    {"taabe24", "row_length", values::not_positive, outcome::no_op},
    // Normalisations: as the row-wise entries.
    {"taabe120", "num_rows", values::zero, outcome::launch_refused},
    {"taabe120", "row_length", values::not_positive, outcome::no_op},
    {"taabe230", "num_rows", values::zero, outcome::launch_refused},
    {"taabe230", "row_length", values::not_positive, outcome::no_op},
    {"taabe167", "num_rows", values::zero, outcome::launch_refused},
    {"taabe167", "row_length", values::not_positive, outcome::no_op},
    // Gate: top_k of 0 or below writes nothing; above the candidates it is refused.
    {"taabe149", "num_rows", values::zero, outcome::launch_refused},
    {"taabe149", "top_k", values::not_positive, outcome::no_op},
    // Standardisation: an empty shape, or more than 16 x 65535 rows, is a grid the device refuses.
    {"taabe86", "*", values::zero, outcome::launch_refused},
    {"taabe86", "num_rows", values::largest, outcome::launch_refused},
    // conv1d: K = in_channels x kernel_size of 0 or below gives sums of no terms (0); a K past
    // 2^31 - 1 is refused; no output channels, a negative count or more than the grid holds is a
    // grid the device refuses.
    {"taabe126", "num_frames", values::zero, outcome::launch_refused},
    {"taabe126", "out_channels", values::not_positive, outcome::launch_refused},
    {"taabe126", "out_channels", values::largest, outcome::launch_refused},
    {"taabe126", "in_channels", values::smallest, outcome::refused},
    {"taabe126", "in_channels", values::not_positive, outcome::writes_within},
    {"taabe126", "in_channels", values::largest, outcome::refused},
    {"taabe126", "kernel_size", values::smallest, outcome::refused},
    {"taabe126", "kernel_size", values::not_positive, outcome::writes_within},
    {"taabe126", "kernel_size", values::largest, outcome::refused},
    // Depthwise: no channels writes nothing, no taps (or fewer) gives zeros.
    {"taabe61", "num_frames", values::zero, outcome::launch_refused},
    {"taabe61", "channels", values::not_positive, outcome::no_op},
    {"taabe61", "kernel_size", values::not_positive, outcome::writes_within},
    // Transposed depthwise: num_frames + Q of 1 step gives the empty grid; no frames or no taps
    // give zeros for the steps in range; no channels write nothing.
    {"taabe81", "num_frames", values::zero, outcome::writes_within},
    {"taabe81", "num_frames", values::minus_one, outcome::launch_refused},
    {"taabe81", "channels", values::not_positive, outcome::no_op},
    {"taabe81", "kernel_size", values::zero, outcome::writes_within},
    {"taabe81", "kernel_size", values::largest, outcome::refused},
    // Linear layers: num_rows is a grid dimension as given; no inputs gives the bias alone.
    {"taabe34", "num_rows", values::not_positive, outcome::launch_refused},
    {"taabe34", "num_rows", values::largest, outcome::launch_refused},
    {"taabe34", "out_features", values::zero, outcome::launch_refused},
    {"taabe34", "in_features", values::not_positive, outcome::writes_within},
    {"taabe153", "num_rows", values::not_positive, outcome::launch_refused},
    {"taabe153", "num_rows", values::largest, outcome::launch_refused},
    {"taabe153", "out_features", values::zero, outcome::launch_refused},
    {"taabe153", "in_features", values::not_positive, outcome::writes_within},
    // Transposes and quantisation: shape numbers are grid and block as given.
    {"taabe116", "*", values::not_positive, outcome::launch_refused},
    {"taabe116", "dim1", values::largest, outcome::launch_refused},
    {"taabe116", "dim2", values::largest, outcome::launch_refused},
    {"taabe110", "dim0", values::zero, outcome::launch_refused},
    {"taabe110", "dim1", values::not_positive, outcome::launch_refused},
    {"taabe110", "dim1", values::largest, outcome::launch_refused},
    {"taabe110", "dim2", values::not_positive, outcome::no_op},
    {"taabe240", "num_rows", values::not_positive, outcome::launch_refused},
    {"taabe240", "row_length", values::not_positive, outcome::writes_within},
    // Float product: grid and block as given; a depth of 0 or below gives sums of no terms.
    {"taabe54", "rows", values::not_positive, outcome::launch_refused},
    {"taabe54", "cols", values::not_positive, outcome::launch_refused},
    {"taabe54", "cols", values::largest, outcome::launch_refused},
    {"taabe54", "depth", values::not_positive, outcome::writes_within},
    // Block-quantised weights: no column blocks of one width is a valid layout; sizes past
    // 2^31 - 1 are refused.
    {"taabe2", "row_blocks", values::zero, outcome::launch_refused},
    {"taabe2", "*", values::zero, outcome::writes_within},
    {"taabe2", "*", values::largest, outcome::refused},
    {"taabe195", "rows", values::zero, outcome::launch_refused},
    {"taabe195", "row_blocks", values::zero, outcome::launch_refused},
    {"taabe195", "row_blocks", values::largest, outcome::refused},
    {"taabe195", "*", values::zero, outcome::writes_within},
    {"taabe195", "column_blocks", values::largest, outcome::refused},
    // Fused attention: an empty sequence or heads of no elements fail before anything runs; a
    // negative window means no relative embeddings, a negative look-ahead no mask.
    {"taabe104", "length", values::zero, outcome::launch_refused},
    {"taabe104", "length", values::largest, outcome::refused},
    {"taabe104", "heads", values::largest, outcome::refused},
    {"taabe104", "width", values::zero, outcome::launch_refused},
    {"taabe104", "width", values::largest, outcome::refused},
    {"taabe104", "window", values::not_positive, outcome::writes_within},
    {"taabe104", "lookahead", values::all, outcome::writes_within},
    // Attend: no queries writes nothing; positions are absolute, any of them valid.
    {"taabe7", "length", values::zero, outcome::no_op},
    {"taabe7", "position", values::zero, outcome::writes_within},
    {"taabe7", "position", values::largest, outcome::writes_within},
    {"taabe7", "head_size", values::zero, outcome::no_op},
    {"taabe7", "capacity", values::largest, outcome::writes_within},
    {"taabe7", "heads", values::largest, outcome::refused},
    {"taabe7", "kv_heads", values::largest, outcome::refused},
    // Encoding: no pairs rotate nothing; the table's first row is valid. The split halves refuse
    // a rotary part longer than the head row (here head size 0), whose rows would overlap.
    {"taabe203", "length", values::zero, outcome::launch_refused},
    {"taabe203", "heads", values::zero, outcome::launch_refused},
    {"taabe203 interleaved", "head_size", values::zero, outcome::no_op},
    {"taabe203 interleaved", "rotary_size", values::zero, outcome::writes_within},
    {"taabe203 halves", "rotary_size", values::zero, outcome::no_op},
    {"taabe203", "position", values::zero, outcome::writes_within},
    {"taabe8", "length", values::zero, outcome::launch_refused},
    {"taabe8", "rotary_size", values::not_positive, outcome::no_op},
    // Cache update: no rows writes nothing; positions are absolute.
    {"taabe186", "length", values::not_positive, outcome::no_op},
    {"taabe186", "head_size", values::zero, outcome::launch_refused},
    {"taabe186", "position", values::zero, outcome::writes_within},
    {"taabe186", "position", values::largest, outcome::writes_within},
};
// clang-format on

// `entry` is the audit entry's full name, or its export name alone for all its variants.
bool name_is(const std::string& audit_name, const char* entry) {
  return audit_name == entry || audit_name.substr(0, audit_name.find(' ')) == entry;
}

bool field_is(const char* field_name, const char* pattern) {
  if (std::strcmp(pattern, "*") == 0) return true;
  // "column_blocks" covers every element of the array.
  const size_t n = std::strlen(pattern);
  return std::strncmp(field_name, pattern, n) == 0 && (field_name[n] == '\0' || field_name[n] == '[');
}

outcome expected_outcome(const audit_entry& e, const field& f, int32_t value) {
  for (const char* name : count_entries) {
    if (name_is(e.name, name) && value == 0) return outcome::launch_refused;  // the empty grid
  }
  for (const expectation& x : documented) {
    if (name_is(e.name, x.entry) && field_is(f.name, x.field) && covers(x.which, value)) return x.expected;
  }
  if (value == INT32_MAX && f.extent) return outcome::callers_duty;
  return outcome::refused;
}

class ShapeAuditTest : public kr_test::LibraryTest {
 protected:
  void fill_all() {
    const std::vector<uint8_t> fill(buffer_bytes, sentinel);
    for (kr_omu_buffer* b : set_) ASSERT_EQ(taabe9(device(), b, fill.data(), 0, buffer_bytes), KR_STATUS_SUCCESS);
  }
  bool all_untouched() {
    for (kr_omu_buffer* b : set_) {
      if (download<uint8_t>(b, buffer_bytes) != std::vector<uint8_t>(buffer_bytes, sentinel)) return false;
    }
    return true;
  }
  kr_omu_buffer* set_[buffer_count] = {};
};

TEST_F(ShapeAuditTest, EveryShapeFieldOfEveryEntry) {
  for (kr_omu_buffer*& b : set_) b = buffer(buffer_bytes);
  std::ostringstream findings;
  int cases = 0;
  for (const audit_entry& e : all_entries()) {
    for (const field& f : e.fields) {
      for (const int32_t value : hostile_values) {
        const outcome expected = expected_outcome(e, f, value);
        if (expected == outcome::callers_duty) continue;
        ++cases;
        fill_all();
        kr::error_stack_clear();
        const kr_status_t status = e.call(device(), set_, &f, value);
        const bool untouched = all_untouched();
        const std::vector<std::string> got = messages();
        outcome actual = outcome::other;
        if (status == KR_STATUS_INVALID_ARGUMENT && untouched && got.empty()) actual = outcome::refused;
        if (status == KR_STATUS_RUNTIME_ERROR && untouched && got.size() == 1) actual = outcome::launch_refused;
        if (status == KR_STATUS_SUCCESS && untouched && got.empty()) actual = outcome::no_op;
        if (status == KR_STATUS_SUCCESS && !untouched && got.empty()) actual = outcome::writes_within;
        // No sticky fault: the device still works, and the valid call right after succeeds. The
        // race build (every CUDA thread a fiber with vector clocks) makes the valid call only
        // after the two extreme values; a sticky fault still shows in every synchronise.
        const cudaError_t synced = cudaDeviceSynchronize();
        kr::error_stack_clear();
        const bool valid_call = !under_race_build || value == INT32_MIN || value == INT32_MAX;
        const kr_status_t healthy = valid_call ? e.call(device(), set_, nullptr, 0) : KR_STATUS_SUCCESS;
        const cudaError_t synced_after = cudaDeviceSynchronize();
        if (actual != expected || synced != cudaSuccess || healthy != KR_STATUS_SUCCESS ||
            synced_after != cudaSuccess) {
          findings << e.name << " " << f.name << " = " << value << ": expected " << name_of(expected) << ", got status "
                   << status << (untouched ? ", nothing written" : ", buffers written") << ", " << got.size()
                   << " message(s); device " << cudaGetErrorString(synced) << ", valid call after: " << healthy << "\n";
          cudaGetLastError();
          kr_test::reset_platform();
        }
      }
    }
  }
  EXPECT_EQ(findings.str(), "") << cases << " cases";
  EXPECT_GT(cases, 300);
}

// Fused attention whose width leaves heads of no elements: its last stage's grid is empty, so the
// call fails as that launch would (828, status 7) before the score stage writes anything.
TEST_F(ShapeAuditTest, FusedAttentionWithEmptyHeadsWritesNoScores) {
  for (kr_omu_buffer*& b : set_) b = buffer(buffer_bytes);
  fill_all();
  for (const int32_t width : {0, 1}) {
    kr::error_stack_clear();
    kr_omu_op_attention_args_t args = valid_fused(set_);
    args.width = width;  // below the two heads
    EXPECT_EQ(taabe104(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR) << width;
    EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kernel_failure_text)}) << width;
    EXPECT_TRUE(all_untouched()) << width;
  }
}

// Weight preprocessing whose 5-bit section has more column blocks than a grid's y dimension takes
// (16 x 65535): that launch would fail after the 3-bit section before it had been rewritten, so
// the call fails as that launch would (828, status 7) before anything runs.
TEST_F(ShapeAuditTest, PreprocessingWithAnOversizedSectionRewritesNothing) {
  kr_omu_op_weight_16x8_preprocess_blocks_args_t args{nullptr, 1, {0, 0, 1, 0, 16 * 65535 + 1, 0, 0, 0}};
  const int32_t bytes = 3 * 16 + 5 * 16 * args.column_blocks[4];
  std::vector<uint8_t> packed(static_cast<size_t>(bytes));
  for (size_t i = 0; i < packed.size(); ++i) packed[i] = static_cast<uint8_t>(i * 37 + 11);
  args.weights = upload(packed);
  EXPECT_EQ(taabe2(device(), nullptr, &args), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(messages(), std::vector<std::string>{stored(828, kernel_failure_text)});
  EXPECT_EQ(download<uint8_t>(args.weights, 3 * 16), std::vector<uint8_t>(packed.begin(), packed.begin() + 3 * 16));
}

}  // namespace

