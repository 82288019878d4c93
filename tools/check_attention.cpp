// omu check cases of the attention, encoding and key/value cache entries: each runs its export once
// on small shapes and compares with the shared host references, exactly where the device's
// arithmetic is IEEE-exact and within the references' stated bounds elsewhere.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "reference/attention_ref.h"

namespace omu {

namespace {

template <typename Args>
bool run_entry(session& ses, const char* symbol, Args& args, std::string& detail) {
  return !failed_status(ses.call(symbol, args), detail);
}

std::string mismatch(const char* what, size_t i, double got, double want_lo, double want_hi) {
  char text[200];
  std::snprintf(text, sizeof text, "%s %zu: got %.9g, want [%.9g, %.9g]", what, i, got, want_lo, want_hi);
  return text;
}

std::vector<float> pattern(size_t n, uint32_t seed, float lo, float hi) {
  std::vector<float> v(n);
  uint32_t x = seed * 2654435761u + 1u;
  for (float& f : v) {
    x = x * 1664525u + 1013904223u;
    f = lo + (hi - lo) * static_cast<float>(x >> 8) * 0x1p-24f;
  }
  return v;
}

// Table of 5 rows of 6 floats plus one of 7 (odd: its last float stays as it was).
bool precompute_encoding(session& ses, std::string& detail) {
  for (const int32_t rotary : {6, 7}) {
    scratch s(ses);
    const int32_t length = 5;
    const std::vector<float> divisors = {1.0f, 0.5f, 2.0f};
    std::vector<float> table(static_cast<size_t>(length) * rotary, 7.0f);
    kr_omu_buffer* out = s.upload(table);
    kr_omu_buffer* div = s.upload(divisors);
    if (!s.ok()) {
      detail = "allocation failed";
      return false;
    }
    kr_omu_op_precompute_encoding_args_t args{out, div, 10000.0f, 0.5f, length, rotary, 0, 0};
    if (!run_entry(ses, "taabe8", args, detail) || !s.download(out, table)) return false;
    for (int32_t t = 0; t < length; ++t) {
      for (int32_t i = 0; i < rotary / 2; ++i) {
        const ref::encoding_entry want = ref::encoding(t, i, rotary, 10000.0f, divisors[i], 0.5f);
        const size_t at = static_cast<size_t>(t) * rotary + 2 * i;
        if (!ref::accepts(want.cosine, table[at])) {
          detail = mismatch("cosine", at, table[at], want.cosine.lo, want.cosine.hi);
          return false;
        }
        if (!ref::accepts(want.sine, table[at + 1])) {
          detail = mismatch("sine", at + 1, table[at + 1], want.sine.lo, want.sine.hi);
          return false;
        }
      }
      if (rotary % 2 != 0 && table[static_cast<size_t>(t) * rotary + rotary - 1] != 7.0f) {
        detail = "the odd last float of a row was written";
        return false;
      }
    }
  }
  return true;
}

// Two calls into a 2-head cache of 3 slots with rows of 5 elements, the second wrapping.
bool update_kv(session& ses, std::string& detail) {
  scratch s(ses);
  ref::kv_cache want;
  want.kv_heads = 2;
  want.capacity = 3;
  want.head_size = 5;
  want.codes.assign(30, 0);
  want.offsets.assign(6, 0.0f);
  want.scales.assign(6, 0.0f);
  kr_omu_buffer* codes = s.upload(want.codes);
  kr_omu_buffer* scales = s.upload(want.scales);
  kr_omu_buffer* offsets = s.upload(want.offsets);
  int32_t position = 0;
  for (int32_t length : {2, 3}) {
    std::vector<float> input = pattern(static_cast<size_t>(length) * 10, position + 1, -2.0f, 2.0f);
    if (position == 0) std::fill(input.begin(), input.begin() + 5, 0.25f);  // a constant row
    kr_omu_buffer* in = s.upload(input);
    if (!s.ok()) {
      detail = "allocation failed";
      return false;
    }
    kr_omu_op_update_kv_args_t args{codes, scales, offsets, in, 2, length, 5, position, 3};
    if (!run_entry(ses, "taabe186", args, detail)) return false;
    ref::update_kv(want, input, length, position);
    position += length;
  }
  ref::kv_cache got = want;
  if (!s.download(codes, got.codes) || !s.download(scales, got.scales) || !s.download(offsets, got.offsets)) {
    detail = "read-back failed";
    return false;
  }
  for (size_t i = 0; i < want.codes.size(); ++i) {
    if (got.codes[i] != want.codes[i]) {
      detail = mismatch("code", i, got.codes[i], want.codes[i], want.codes[i]);
      return false;
    }
  }
  for (size_t r = 0; r < want.offsets.size(); ++r) {
    if (std::memcmp(&got.offsets[r], &want.offsets[r], 4) != 0 || std::memcmp(&got.scales[r], &want.scales[r], 4) != 0) {
      detail = mismatch("offset of row", r, got.offsets[r], want.offsets[r], want.offsets[r]) + " (or its scale)";
      return false;
    }
  }
  return true;
}

// Both forms over 3 positions of 2 heads, head rows of 10 floats, table rows of 8, position 1.
bool encode(session& ses, std::string& detail) {
  const int32_t length = 3, heads = 2, head_size = 10, rotary = 8, position = 1;
  for (const bool interleaved : {true, false}) {
    scratch s(ses);
    const std::vector<float> table = pattern(static_cast<size_t>(length + position + 2) * rotary, 3, -1.0f, 1.0f);
    std::vector<float> want = pattern(static_cast<size_t>(length) * heads * head_size, 4, -2.0f, 2.0f);
    kr_omu_buffer* data = s.upload(want);
    kr_omu_buffer* enc = s.upload(table);
    if (!s.ok()) {
      detail = "allocation failed";
      return false;
    }
    kr_omu_op_attention_encode_args_t args{data, enc, length, heads, head_size, rotary, position, interleaved ? 1 : 0};
    std::vector<float> got(want.size());
    if (!run_entry(ses, "taabe203", args, detail) || !s.download(data, got)) return false;
    ref::encode(want, table, length, heads, head_size, rotary, position, interleaved);
    for (size_t i = 0; i < want.size(); ++i) {
      if (std::memcmp(&got[i], &want[i], 4) != 0) {
        detail = mismatch(interleaved ? "interleaved element" : "split-halves element", i, got[i], want[i], want[i]);
        return false;
      }
    }
  }
  return true;
}

// Three queries from position 4 over a wrapped 5-slot cache, 4 query heads sharing 2 key/value
// heads, head size 6; one cache row has step 0.
bool attend(session& ses, std::string& detail) {
  const int32_t length = 3, capacity = 5, position = 4, heads = 4, kv_heads = 2, head_size = 6;
  ref::kv_cache caches[2];
  for (int c = 0; c < 2; ++c) {
    ref::kv_cache& x = caches[c];
    x.kv_heads = kv_heads;
    x.capacity = capacity;
    x.head_size = head_size;
    const std::vector<float> codes = pattern(static_cast<size_t>(kv_heads) * capacity * head_size, 10 + c, 0.0f, 256.0f);
    for (float f : codes) x.codes.push_back(static_cast<uint8_t>(f));
    x.offsets = pattern(static_cast<size_t>(kv_heads) * capacity, 20 + c, -1.0f, 1.0f);
    x.scales = pattern(static_cast<size_t>(kv_heads) * capacity, 30 + c, 0.0f, 0.01f);
    x.scales[3] = 0.0f;
  }
  const std::vector<float> query = pattern(static_cast<size_t>(heads) * length * head_size, 40, -2.0f, 2.0f);
  scratch s(ses);
  std::vector<float> got(static_cast<size_t>(length) * heads * head_size, 0.0f);
  kr_omu_buffer* out = s.upload(got);
  kr_omu_op_attention_attend_args_t args{out,
                                         s.upload(query),
                                         s.upload(caches[0].codes),
                                         s.upload(caches[0].offsets),
                                         s.upload(caches[0].scales),
                                         s.upload(caches[1].codes),
                                         s.upload(caches[1].offsets),
                                         s.upload(caches[1].scales),
                                         length,
                                         capacity,
                                         position,
                                         heads,
                                         kv_heads,
                                         head_size};
  if (!s.ok()) {
    detail = "allocation failed";
    return false;
  }
  if (!run_entry(ses, "taabe7", args, detail) || !s.download(out, got)) return false;
  std::vector<double> bounds;
  const std::vector<double> want = ref::attend(caches[0], caches[1], query, length, position, heads, &bounds);
  for (size_t i = 0; i < want.size(); ++i) {
    if (!(std::fabs(got[i] - want[i]) <= bounds[i])) {
      detail = mismatch("output", i, got[i], want[i] - bounds[i], want[i] + bounds[i]);
      return false;
    }
  }
  return true;
}

// Six positions, 2 heads of 5 (width 11: the extra float is not used), window 1, look-ahead 1,
// element offsets of 1 to 3 floats; the scores buffer ends up holding the probabilities.
bool fused_attention(session& ses, std::string& detail) {
  const int32_t length = 6, heads = 2, width = 11, window = 1, lookahead = 1, e_count = width / heads;
  const size_t floats = static_cast<size_t>(length) * heads * e_count;
  const std::vector<float> query = pattern(floats, 50, -1.0f, 1.0f);
  const std::vector<float> key = pattern(floats, 51, -1.0f, 1.0f);
  const std::vector<float> value = pattern(floats, 52, -1.0f, 1.0f);
  const std::vector<float> relative_key = pattern(3 * e_count, 53, -0.5f, 0.5f);
  const std::vector<float> relative_value = pattern(3 * e_count, 54, -0.5f, 0.5f);
  auto lead = [](std::vector<float> v, int32_t n) {
    v.insert(v.begin(), n, 0.0f);
    return v;
  };
  scratch s(ses);
  std::vector<float> out(floats + 2, 0.0f), scores(static_cast<size_t>(heads) * length * length + 3, 0.0f);
  kr_omu_buffer* out_buffer = s.upload(out);
  kr_omu_buffer* score_buffer = s.upload(scores);
  kr_omu_op_attention_args_t args{out_buffer,
                                  s.upload(lead(query, 1)),
                                  s.upload(lead(key, 2)),
                                  s.upload(lead(value, 3)),
                                  s.upload(lead(relative_key, 1)),
                                  s.upload(relative_value),
                                  score_buffer,
                                  length,
                                  heads,
                                  width,
                                  window,
                                  lookahead,
                                  2,
                                  1,
                                  2,
                                  3,
                                  1,
                                  0,
                                  3};
  if (!s.ok()) {
    detail = "allocation failed";
    return false;
  }
  if (!run_entry(ses, "taabe104", args, detail) || !s.download(out_buffer, out) ||
      !s.download(score_buffer, scores)) {
    return false;
  }
  const ref::fused_result want =
      ref::fused_attention(query, key, value, relative_key, relative_value, length, heads, width, window, lookahead);
  for (size_t i = 0; i < want.output.size(); ++i) {
    if (!(std::fabs(out[i + 2] - want.output[i]) <= want.output_bounds[i])) {
      detail = mismatch("output", i, out[i + 2], want.output[i] - want.output_bounds[i],
                        want.output[i] + want.output_bounds[i]);
      return false;
    }
  }
  for (size_t i = 0; i < want.probabilities.size(); ++i) {
    const double p = want.probabilities[i];
    const bool masked = std::isnan(p);
    if (masked ? scores[i + 3] != 0.0f : !(std::fabs(scores[i + 3] - p) <= want.probability_bounds[i])) {
      detail = mismatch(masked ? "masked score (must stay 0)" : "probability", i, scores[i + 3], masked ? 0.0 : p,
                        masked ? 0.0 : p);
      return false;
    }
  }
  return true;
}

}  // namespace

std::vector<check_case> attention_checks() {
  return {
      {"taabe104", "", fused_attention},
      {"taabe7", "", attend},
      {"taabe8", "", precompute_encoding},
      {"taabe186", "", update_kv},
      {"taabe203", "", encode},
  };
}

}  // namespace omu
