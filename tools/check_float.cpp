// omu check cases of the float unary, scalar and pairwise entries (and the 16-bit multiply by a
// scalar, which shares the scalar family's launch). Each case runs its export once over a handful
// of inputs, special values included, and compares with a host reference written from the
// operator's formula: bit for bit where the arithmetic is IEEE-exact; where the device calls
// expf, erff or tanhf, that call may be off by its documented 2 ulps and the later float steps are
// applied to both ends of that bound.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "check.h"
#include "reference/float_ref.h"

namespace omu {

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

using ref::accepts;
using range = ref::float_range;
range exact(float v) { return ref::exactly(v); }

struct unary_entry {
  const char* symbol;
  range (*reference)(float);
};

const unary_entry unary_entries[] = {
    {"taabe178", ref::exp_f32},
    {"taabe71", ref::gelu_erf_f32},
    {"taabe78", ref::gelu_tanh_f32},
    {"taabe190", ref::silu_f32},
    {"taabe39", ref::sigmoid_table_f32},
    {"taabe257", ref::tanh_table_f32},
    {"taabe141", ref::gelu_table_f32},
    {"taabe169", ref::relu_f32},
};

// Runs one export over `in` through a fresh pair of buffers, released on return; false with a
// detail on failure.
template <typename Args, typename Fill>
bool run_export(session& ses, const char* symbol, const void* in, int32_t in_bytes,
                void* out, int32_t out_bytes, Fill fill, std::string& detail) {
  scratch buffers(ses);
  kr_omu_buffer* src = ses.upload(in, in_bytes);
  kr_omu_buffer* dst = ses.buffer(out_bytes);
  bool ok = src != nullptr && dst != nullptr;
  if (!ok) detail = "buffer allocation failed";
  if (ok) {
    Args args{};
    fill(args, src, dst);
    const kr_status_t status = ses.call(symbol, args);
    ok = status == KR_STATUS_SUCCESS && ses.read(dst, out, out_bytes);
    if (!ok) detail = "status " + std::to_string(static_cast<int>(status));
  }
  return ok;
}

std::string describe(const char* what, float x, float y) {
  char text[160];
  std::snprintf(text, sizeof text, "%s %a gave %a", what, static_cast<double>(x), static_cast<double>(y));
  return text;
}

template <size_t I>
bool unary_case(session& ses, std::string& detail) {
  const unary_entry& entry = unary_entries[I];
  const std::vector<float> in = {0.0f, -0.0f, 1e-40f, 0.5f, -1.5f, 3.0f, -20.0f, 100.0f, -100.0f,
                                 std::numeric_limits<float>::max(), inf, -inf, nan};
  const int32_t n = static_cast<int32_t>(in.size());
  std::vector<float> out(in.size());
  auto fill = [n](kr_omu_op_elementwise_args_t& a, kr_omu_buffer* src, kr_omu_buffer* dst) {
    a.output = dst;
    a.input = src;
    a.count = n;
  };
  if (!run_export<kr_omu_op_elementwise_args_t>(ses, entry.symbol, in.data(), n * 4, out.data(), n * 4, fill,
                                                detail)) {
    return false;
  }
  for (size_t i = 0; i < in.size(); ++i) {
    if (!accepts(entry.reference(in[i]), out[i])) {
      detail = describe("x =", in[i], out[i]);
      return false;
    }
  }
  return true;
}

struct binary_entry {
  const char* symbol;
  float (*reference)(float, float);
};

const binary_entry scalar_entries[] = {
    {"taabe45", [](float x, float s) { return x + s; }},
    {"taabe106", [](float x, float s) { return x * s; }},
    {"taabe224", [](float x, float s) { return s - x; }},
    {"taabe272", [](float x, float s) { return s / x; }},
};

const binary_entry pairwise_entries[] = {
    {"taabe225", [](float a, float b) { return a + b; }},
    {"taabe241", [](float a, float b) { return a - b; }},
    {"taabe66", [](float a, float b) { return a * b; }},
    {"taabe50", [](float a, float b) { return a / b; }},
};

const std::vector<float> binary_inputs = {0.0f, -0.0f, 1e-40f, 1.0f, 3.0f, -4.0f, 0.1f, 1e30f, inf, -inf, nan};

// Element x against each scalar of the same list, one call per scalar.
template <size_t I>
bool scalar_case(session& ses, std::string& detail) {
  const binary_entry& entry = scalar_entries[I];
  const int32_t n = static_cast<int32_t>(binary_inputs.size());
  std::vector<float> out(binary_inputs.size());
  for (float s : binary_inputs) {
    auto fill = [n, s](kr_omu_op_elementwise_scalar_args_t& a, kr_omu_buffer* src, kr_omu_buffer* dst) {
      a.output = dst;
      a.input = src;
      a.scalar = s;
      a.count = n;
    };
    if (!run_export<kr_omu_op_elementwise_scalar_args_t>(ses, entry.symbol, binary_inputs.data(), n * 4,
                                                         out.data(), n * 4, fill, detail)) {
      return false;
    }
    for (size_t i = 0; i < binary_inputs.size(); ++i) {
      if (!accepts(exact(entry.reference(binary_inputs[i], s)), out[i])) {
        detail = describe(("s = " + std::to_string(s) + ", x =").c_str(), binary_inputs[i], out[i]);
        return false;
      }
    }
  }
  return true;
}

// Every pair of the input list: a in the first half of the buffer, b in the second.
template <size_t I>
bool pairwise_case(session& ses, std::string& detail) {
  const binary_entry& entry = pairwise_entries[I];
  std::vector<float> in;
  for (float a : binary_inputs) in.insert(in.end(), binary_inputs.size(), a);
  for (size_t k = 0; k < binary_inputs.size(); ++k) in.insert(in.end(), binary_inputs.begin(), binary_inputs.end());
  const int32_t n = static_cast<int32_t>(in.size() / 2);
  std::vector<float> out(static_cast<size_t>(n));
  auto fill = [n](kr_omu_op_pairwise_args_t& a, kr_omu_buffer* src, kr_omu_buffer* dst) {
    a.output = dst;
    a.input_a = src;
    a.input_b = src;
    a.count = n;
    a.input_b_offset = n * 4;
  };
  if (!run_export<kr_omu_op_pairwise_args_t>(ses, entry.symbol, in.data(), n * 8, out.data(), n * 4, fill,
                                             detail)) {
    return false;
  }
  for (int32_t i = 0; i < n; ++i) {
    if (!accepts(exact(entry.reference(in[i], in[n + i])), out[i])) {
      detail = describe(("b = " + std::to_string(in[n + i]) + ", a =").c_str(), in[i], out[i]);
      return false;
    }
  }
  return true;
}

// Q10 x Q10 with rounding (ties up) and with truncation, saturated.
bool mul_scalar_q10_case(session& ses, std::string& detail) {
  const std::vector<int16_t> in = {0, 1, -1, 1024, -1024, 700, -701, 32767, -32768};
  const int32_t n = static_cast<int32_t>(in.size());
  std::vector<int16_t> out(in.size());
  for (int16_t s : {512, 1536, -32768}) {
    for (int32_t truncate : {0, 1}) {
      auto fill = [n, s, truncate](kr_omu_op_mulsv_args_t& a, kr_omu_buffer* src, kr_omu_buffer* dst) {
        a.output = dst;
        a.input = src;
        a.scalar = s;
        a.truncate = truncate;
        a.count = n;
      };
      if (!run_export<kr_omu_op_mulsv_args_t>(ses, "taabe263", in.data(), n * 2, out.data(), n * 2, fill, detail)) {
        return false;
      }
      for (size_t i = 0; i < in.size(); ++i) {
        const int16_t y = ref::mul_scalar_q10(in[i], s, truncate != 0);
        if (out[i] != y) {
          detail = std::to_string(in[i]) + " x " + std::to_string(s) + (truncate ? " truncated" : " rounded") +
                   " gave " + std::to_string(out[i]) + ", expected " + std::to_string(y);
          return false;
        }
      }
    }
  }
  return true;
}

}  // namespace

std::vector<check_case> float_checks() {
  return {
      {unary_entries[0].symbol, "", unary_case<0>},
      {unary_entries[1].symbol, "", unary_case<1>},
      {unary_entries[2].symbol, "", unary_case<2>},
      {unary_entries[3].symbol, "", unary_case<3>},
      {unary_entries[4].symbol, "", unary_case<4>},
      {unary_entries[5].symbol, "", unary_case<5>},
      {unary_entries[6].symbol, "", unary_case<6>},
      {unary_entries[7].symbol, "", unary_case<7>},
      {scalar_entries[0].symbol, "", scalar_case<0>},
      {scalar_entries[1].symbol, "", scalar_case<1>},
      {scalar_entries[2].symbol, "", scalar_case<2>},
      {scalar_entries[3].symbol, "", scalar_case<3>},
      {"taabe263", "", mul_scalar_q10_case},
      {pairwise_entries[0].symbol, "", pairwise_case<0>},
      {pairwise_entries[1].symbol, "", pairwise_case<1>},
      {pairwise_entries[2].symbol, "", pairwise_case<2>},
      {pairwise_entries[3].symbol, "", pairwise_case<3>},
  };
}

}  // namespace omu
