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

namespace omu {

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();
constexpr float nan = std::numeric_limits<float>::quiet_NaN();

uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

// Acceptable results: lo == hi for an exact one.
struct range {
  float lo, hi;
};

bool accepts(const range& r, float y) {
  if (std::isnan(r.lo) || std::isnan(r.hi)) return std::isnan(y);
  if (bits(r.lo) == bits(r.hi)) return bits(y) == bits(r.lo);
  return !std::isnan(y) && std::fmin(r.lo, r.hi) <= y && y <= std::fmax(r.lo, r.hi);
}

// The floats within 2 ulps of `exact` (a device math function's result for `arg`), clipped to
// [lo, hi]; the functions are exact at 0, infinities and NaN.
range library_value(double exact, float arg, double lo, double hi) {
  if (arg == 0.0f || !std::isfinite(arg)) return {static_cast<float>(exact), static_cast<float>(exact)};
  int e = 0;
  std::frexp(exact, &e);
  const double ulp = std::ldexp(1.0, std::fabs(exact) < std::ldexp(1.0, -126) ? -149 : std::min(e, 128) - 24);
  const double top = std::ldexp(1.0, 128);  // every value from here up is infinity
  const double a = std::max(exact - 2 * ulp, lo), b = std::min(exact + 2 * ulp, hi);
  float f = static_cast<float>(a), g = b >= top ? inf : static_cast<float>(b);
  if (f < a) f = std::nextafter(f, inf);
  if (g > b) g = std::nextafter(g, -inf);
  return {f, g};
}

// Fixed-point sigmoid of a Q10 value from its table formula, and the saturating Q10 conversion.
int32_t sigmoid_q15(int32_t q) {
  auto entry = [](int32_t k) {
    const int32_t s = k < 128 ? k : k - 256;  // entry 256 repeats entry 0
    return static_cast<int32_t>(std::floor(32767.0 / (1.0 + std::exp(-s / 16.0)) + 0.5));
  };
  q = std::min(std::max(q, -8192), 8128);
  const int32_t u = static_cast<int32_t>(static_cast<uint32_t>(q) & 0x3FFFu), f = u & 63, i = u >> 6;
  return ((64 - f) * entry(i) + f * entry(f == 0 ? i : i + 1)) >> 6;
}
int32_t to_q10(float x) {
  const float y = x * 1024.0f;
  if (std::isnan(y)) return 0;
  return y >= 32767.0f ? 32767 : (y <= -32768.0f ? -32768 : static_cast<int32_t>(y));
}

range exact(float v) { return {v, v}; }

struct unary_entry {
  const char* symbol;
  const char* name;
  range (*reference)(float);
};

const unary_entry unary_entries[] = {
    {"_Z8taabe178P13kr_omu_deviceP15kr_omu_operatorP28kr_omu_op_elementwise_args_t", "float exponential",
     [](float x) { return library_value(std::exp(double{x}), x, 0.0, HUGE_VAL); }},
    {"_Z7taabe71P13kr_omu_deviceP15kr_omu_operatorP28kr_omu_op_elementwise_args_t", "float GELU, erf form",
     [](float x) {
       const float a = x * 0.707106769084930419921875f;
       const range e = library_value(std::erf(double{a}), a, -1.0, 1.0);
       return range{(x * 0.5f) * (e.lo + 1.0f), (x * 0.5f) * (e.hi + 1.0f)};
     }},
    {"_Z7taabe78P13kr_omu_deviceP15kr_omu_operatorP28kr_omu_op_elementwise_args_t", "float GELU, tanh form",
     [](float x) {
       const float v = std::fma(x * (x * x), 0.0447149984538555145263671875f, x);
       const float u = static_cast<float>(double{v} * 0.7978845608028654);
       const range t = library_value(std::tanh(double{u}), u, -1.0, 1.0);
       return range{(x * 0.5f) * (t.lo + 1.0f), (x * 0.5f) * (t.hi + 1.0f)};
     }},
    {"_Z8taabe190P13kr_omu_deviceP15kr_omu_operatorP28kr_omu_op_elementwise_args_t", "float x-times-sigmoid",
     [](float x) {
       // e^-x is exact before its fused addition of 1, so that step is one rounded float sum.
       const range e = library_value(std::exp(-double{x}), -x, 0.0, HUGE_VAL);
       return range{x / (e.lo + 1.0f), x / (e.hi + 1.0f)};
     }},
    {"_Z7taabe39P13kr_omu_deviceP15kr_omu_operatorP28kr_omu_op_elementwise_args_t", "float table sigmoid",
     [](float x) { return exact(static_cast<float>(sigmoid_q15(to_q10(x))) / 32767.0f); }},
    {"_Z8taabe257P13kr_omu_deviceP15kr_omu_operatorP28kr_omu_op_elementwise_args_t", "float table tanh",
     [](float x) {
       const int32_t z = std::min(std::max(2 * to_q10(x), -32768), 32767);
       const int32_t t = std::min(std::max(2 * sigmoid_q15(z) - 32768, -32768), 32767);
       return exact(static_cast<float>(t) / 32767.0f);
     }},
    {"taabe141", "float table GELU",
     [](float x) {
       const float g = static_cast<float>(sigmoid_q15(to_q10(x * 1.70200002193450927734375f))) / 32767.0f;
       return exact(x * g);
     }},
    {"taabe169", "float ReLU",
     [](float x) { return x == 0.0f ? range{-0.0f, 0.0f} : exact(x > 0.0f ? x : 0.0f); }},
};

// Runs one export over `in` through a fresh pair of buffers; false with a detail on failure.
template <typename Args, typename Fill>
bool run_export(const library& lib, kr_omu_device* device, const char* symbol, const void* in, int32_t in_bytes,
                void* out, int32_t out_bytes, Fill fill, std::string& detail) {
  using entry_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, Args*);
  kr_omu_buffer* src = upload_bytes(lib, device, in, in_bytes);
  kr_omu_buffer* dst = upload_bytes(lib, device, nullptr, out_bytes);
  bool ok = src != nullptr && dst != nullptr;
  if (!ok) detail = "buffer allocation failed";
  if (ok) {
    Args args{};
    fill(args, src, dst);
    const kr_status_t status = lib.function<entry_fn>(symbol)(device, nullptr, &args);
    ok = status == KR_STATUS_SUCCESS && download_bytes(lib, device, dst, out, out_bytes);
    if (!ok) detail = "status " + std::to_string(static_cast<int>(status));
  }
  if (src != nullptr) release(lib, device, src);
  if (dst != nullptr) release(lib, device, dst);
  return ok;
}

std::string describe(const char* what, float x, float y) {
  char text[160];
  std::snprintf(text, sizeof text, "%s %a gave %a", what, static_cast<double>(x), static_cast<double>(y));
  return text;
}

template <size_t I>
bool unary_case(const library& lib, kr_omu_device* device, std::string& detail) {
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
  if (!run_export<kr_omu_op_elementwise_args_t>(lib, device, entry.symbol, in.data(), n * 4, out.data(), n * 4, fill,
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
  const char* name;
  float (*reference)(float, float);
};

const binary_entry scalar_entries[] = {
    {"_Z7taabe45P13kr_omu_deviceP15kr_omu_operatorP35kr_omu_op_elementwise_scalar_args_t", "float add scalar",
     [](float x, float s) { return x + s; }},
    {"_Z8taabe106P13kr_omu_deviceP15kr_omu_operatorP35kr_omu_op_elementwise_scalar_args_t",
     "float multiply by scalar", [](float x, float s) { return x * s; }},
    {"_Z8taabe224P13kr_omu_deviceP15kr_omu_operatorP35kr_omu_op_elementwise_scalar_args_t",
     "float scalar minus element", [](float x, float s) { return s - x; }},
    {"_Z8taabe272P13kr_omu_deviceP15kr_omu_operatorP35kr_omu_op_elementwise_scalar_args_t",
     "float scalar divided by element", [](float x, float s) { return s / x; }},
};

const binary_entry pairwise_entries[] = {
    {"_Z8taabe225P13kr_omu_deviceP15kr_omu_operatorP25kr_omu_op_pairwise_args_t", "float pairwise add",
     [](float a, float b) { return a + b; }},
    {"_Z8taabe241P13kr_omu_deviceP15kr_omu_operatorP25kr_omu_op_pairwise_args_t", "float pairwise subtract",
     [](float a, float b) { return a - b; }},
    {"_Z7taabe66P13kr_omu_deviceP15kr_omu_operatorP25kr_omu_op_pairwise_args_t", "float pairwise multiply",
     [](float a, float b) { return a * b; }},
    {"_Z7taabe50P13kr_omu_deviceP15kr_omu_operatorP25kr_omu_op_pairwise_args_t", "float pairwise divide",
     [](float a, float b) { return a / b; }},
};

const std::vector<float> binary_inputs = {0.0f, -0.0f, 1e-40f, 1.0f, 3.0f, -4.0f, 0.1f, 1e30f, inf, -inf, nan};

// Element x against each scalar of the same list, one call per scalar.
template <size_t I>
bool scalar_case(const library& lib, kr_omu_device* device, std::string& detail) {
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
    if (!run_export<kr_omu_op_elementwise_scalar_args_t>(lib, device, entry.symbol, binary_inputs.data(), n * 4,
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
bool pairwise_case(const library& lib, kr_omu_device* device, std::string& detail) {
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
  if (!run_export<kr_omu_op_pairwise_args_t>(lib, device, entry.symbol, in.data(), n * 8, out.data(), n * 4, fill,
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
bool mul_scalar_q10_case(const library& lib, kr_omu_device* device, std::string& detail) {
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
      if (!run_export<kr_omu_op_mulsv_args_t>(lib, device,
                                              "_Z8taabe263P13kr_omu_deviceP15kr_omu_operatorP22kr_omu_op_mulsv_args_t",
                                              in.data(), n * 2, out.data(), n * 2, fill, detail)) {
        return false;
      }
      for (size_t i = 0; i < in.size(); ++i) {
        const int64_t p = static_cast<int64_t>(in[i]) * s + (truncate == 0 ? 512 : 0);
        const int64_t y = std::min<int64_t>(std::max<int64_t>(p >= 0 ? p / 1024 : -((-p + 1023) / 1024), -32768), 32767);
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
      {unary_entries[0].symbol, unary_entries[0].name, unary_case<0>},
      {unary_entries[1].symbol, unary_entries[1].name, unary_case<1>},
      {unary_entries[2].symbol, unary_entries[2].name, unary_case<2>},
      {unary_entries[3].symbol, unary_entries[3].name, unary_case<3>},
      {unary_entries[4].symbol, unary_entries[4].name, unary_case<4>},
      {unary_entries[5].symbol, unary_entries[5].name, unary_case<5>},
      {unary_entries[6].symbol, unary_entries[6].name, unary_case<6>},
      {unary_entries[7].symbol, unary_entries[7].name, unary_case<7>},
      {scalar_entries[0].symbol, scalar_entries[0].name, scalar_case<0>},
      {scalar_entries[1].symbol, scalar_entries[1].name, scalar_case<1>},
      {scalar_entries[2].symbol, scalar_entries[2].name, scalar_case<2>},
      {scalar_entries[3].symbol, scalar_entries[3].name, scalar_case<3>},
      {"_Z8taabe263P13kr_omu_deviceP15kr_omu_operatorP22kr_omu_op_mulsv_args_t", "16-bit multiply by scalar",
       mul_scalar_q10_case},
      {pairwise_entries[0].symbol, pairwise_entries[0].name, pairwise_case<0>},
      {pairwise_entries[1].symbol, pairwise_entries[1].name, pairwise_case<1>},
      {pairwise_entries[2].symbol, pairwise_entries[2].name, pairwise_case<2>},
      {pairwise_entries[3].symbol, pairwise_entries[3].name, pairwise_case<3>},
  };
}

}  // namespace omu
