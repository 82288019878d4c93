// The device math library as a GPU computes it: the accurate functions deviate from the correctly
// rounded result by up to their documented maximum ulps, and the fast intrinsics are built the
// way the hardware builds them (a float product fed to the base-2 approximation, a reciprocal
// that flushes to zero, an angle reduced in float) with their flush-to-zero behaviour. Every
// deviation is a deterministic function of the operands, the function and the launch's schedule
// seed, so a run can be repeated exactly and another seed moves the errors elsewhere.
//
// Bounds (CUDA Programming Guide, Mathematical Functions appendix), in ulps from the correctly
// rounded result: expf 2, exp2f 2, exp10f 2, expm1f 1, logf 1, log2f 1, log10f 2, log1pf 1,
// sinf 2, cosf 2, tanf 4, sinhf 3, coshf 2, tanhf 2, asinf 2, acosf 2, atanf 2, atan2f 3, erff 2,
// erfcf 4, cbrtf 1, powf 4, rsqrtf 2. Intrinsics: __expf 2 + floor(|1.173 x|), __exp10f
// 2 + floor(|2.97 x|), __logf absolute 2^-21.41 on [0.5, 2] else 3 ulps, __log2f absolute 2^-22 on
// [0.5, 2] else 2 ulps, __log10f absolute 2^-24 on [0.5, 2] else 3 ulps, __sinf absolute 2^-21.41
// and __cosf 2^-21.19 on [-pi, pi] (larger outside), __fdividef 2 ulps for divisors of magnitude
// 2^-126 to 2^126 and 0 beyond, __powf and __tanf derived from their parts.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "kr_emu/control.h"
#include "platform.h"
#include "schedule.h"

namespace kr_emu {
namespace detail {

std::uint64_t math_key = 0;
bool math_accurate = false;

namespace {

// What the accurate mode and the host compute: the C library's functions, named in parentheses so
// that the device's macros do not apply.
float host_function(math_function f, float x) {
  switch (f) {
    case math_function::expf: return (::expf)(x);
    case math_function::exp2f: return (::exp2f)(x);
    case math_function::exp10f: return (::exp10f)(x);
    case math_function::expm1f: return (::expm1f)(x);
    case math_function::logf: return (::logf)(x);
    case math_function::log2f: return (::log2f)(x);
    case math_function::log10f: return (::log10f)(x);
    case math_function::log1pf: return (::log1pf)(x);
    case math_function::sinf: return (::sinf)(x);
    case math_function::cosf: return (::cosf)(x);
    case math_function::tanf: return (::tanf)(x);
    case math_function::sinhf: return (::sinhf)(x);
    case math_function::coshf: return (::coshf)(x);
    case math_function::tanhf: return (::tanhf)(x);
    case math_function::asinf: return (::asinf)(x);
    case math_function::acosf: return (::acosf)(x);
    case math_function::atanf: return (::atanf)(x);
    case math_function::erff: return (::erff)(x);
    case math_function::erfcf: return (::erfcf)(x);
    case math_function::cbrtf: return (::cbrtf)(x);
    case math_function::rsqrtf: return static_cast<float>(1.0 / std::sqrt(static_cast<double>(x)));
    default: return x;
  }
}

double exact_value(math_function f, double x) {
  switch (f) {
    case math_function::expf: return std::exp(x);
    case math_function::exp2f: return std::exp2(x);
    case math_function::exp10f: return std::pow(10.0, x);
    case math_function::expm1f: return std::expm1(x);
    case math_function::logf: return std::log(x);
    case math_function::log2f: return std::log2(x);
    case math_function::log10f: return std::log10(x);
    case math_function::log1pf: return std::log1p(x);
    case math_function::sinf: return std::sin(x);
    case math_function::cosf: return std::cos(x);
    case math_function::tanf: return std::tan(x);
    case math_function::sinhf: return std::sinh(x);
    case math_function::coshf: return std::cosh(x);
    case math_function::tanhf: return std::tanh(x);
    case math_function::asinf: return std::asin(x);
    case math_function::acosf: return std::acos(x);
    case math_function::atanf: return std::atan(x);
    case math_function::erff: return std::erf(x);
    case math_function::erfcf: return std::erfc(x);
    case math_function::cbrtf: return std::cbrt(x);
    case math_function::rsqrtf: return 1.0 / std::sqrt(x);
    default: return x;
  }
}

enum class symmetry { none, odd, even };

struct function_traits {
  int ulps;
  symmetry sym;
  double lo, hi;  // range of the function: results are clipped to it
};

constexpr double inf = HUGE_VAL;
constexpr double pi_up = 3.1415927410125732;       // the float just above pi
constexpr double half_pi_up = 1.5707963705062866;  // the float just above pi / 2

function_traits traits(math_function f) {
  switch (f) {
    case math_function::expf: return {2, symmetry::none, 0.0, inf};
    case math_function::exp2f: return {2, symmetry::none, 0.0, inf};
    case math_function::exp10f: return {2, symmetry::none, 0.0, inf};
    case math_function::expm1f: return {1, symmetry::none, -1.0, inf};
    case math_function::logf: return {1, symmetry::none, -inf, inf};
    case math_function::log2f: return {1, symmetry::none, -inf, inf};
    case math_function::log10f: return {2, symmetry::none, -inf, inf};
    case math_function::log1pf: return {1, symmetry::none, -inf, inf};
    case math_function::sinf: return {2, symmetry::odd, -1.0, 1.0};
    case math_function::cosf: return {2, symmetry::even, -1.0, 1.0};
    case math_function::tanf: return {4, symmetry::odd, -inf, inf};
    case math_function::sinhf: return {3, symmetry::odd, -inf, inf};
    case math_function::coshf: return {2, symmetry::even, 1.0, inf};
    case math_function::tanhf: return {2, symmetry::odd, -1.0, 1.0};
    case math_function::asinf: return {2, symmetry::odd, -half_pi_up, half_pi_up};
    case math_function::acosf: return {2, symmetry::none, 0.0, pi_up};
    case math_function::atanf: return {2, symmetry::odd, -half_pi_up, half_pi_up};
    case math_function::erff: return {2, symmetry::odd, -1.0, 1.0};
    case math_function::erfcf: return {4, symmetry::none, 0.0, 2.0};
    case math_function::cbrtf: return {1, symmetry::odd, -inf, inf};
    case math_function::rsqrtf: return {2, symmetry::none, 0.0, inf};
    case math_function::powf: return {4, symmetry::none, -inf, inf};
    case math_function::atan2f: return {3, symmetry::none, -pi_up, pi_up};
    default: return {0, symmetry::none, -inf, inf};
  }
}

std::uint32_t bits_of(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}

float from_bits(std::uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// A pseudo-random word for one evaluation: the operands, the function and the launch's key.
std::uint64_t draw(math_function f, std::uint32_t a, std::uint32_t b = 0) {
  return mix(math_key ^ (static_cast<std::uint64_t>(f) << 56) ^ (static_cast<std::uint64_t>(b) << 32) ^ a);
}

// An offset in [-bound, bound], at one of the two ends three times out of four, so that tests
// bounding the error meet the bound itself.
int offset(std::uint64_t h, int bound) {
  if (bound == 0) return 0;
  if ((h & 3) != 0) return (h & 4) != 0 ? bound : -bound;
  return static_cast<int>((h >> 8) % static_cast<std::uint64_t>(2 * bound + 1)) - bound;
}

// Moves a finite, nonzero float `k` steps along the float grid, away from zero for positive k,
// without changing its sign and without leaving the finite floats.
float step(float v, int k) {
  if (k == 0 || v == 0.0f || !std::isfinite(v)) return v;
  const std::uint32_t b = bits_of(v);
  std::int64_t magnitude = static_cast<std::int64_t>(b & 0x7fffffffu) + k;
  if (magnitude < 0) magnitude = 0;
  if (magnitude > 0x7f7fffff) magnitude = 0x7f7fffff;
  return from_bits((b & 0x80000000u) | static_cast<std::uint32_t>(magnitude));
}

float clip(float v, double lo, double hi) {
  if (static_cast<double>(v) > hi) return static_cast<float>(hi);
  if (static_cast<double>(v) < lo) return static_cast<float>(lo);
  return v;
}

// The correctly rounded value of `exact`, moved by `k` steps unless the exact value is itself a
// float (0, an infinity, an exactly representable result: those the GPU returns exactly too).
float near_correct(double exact, int k, const function_traits& t) {
  const float rounded = static_cast<float>(exact);
  if (exact != exact || static_cast<double>(rounded) == exact || std::isinf(rounded)) return rounded;
  return clip(step(rounded, k), t.lo, t.hi);
}

float flush(float v) { return std::fpclassify(v) == FP_SUBNORMAL ? std::copysign(0.0f, v) : v; }

// ex2.approx.ftz.f32: subnormal operands and results become zero; within one step of the correctly
// rounded power (exact for integers), which keeps __expf inside 2 + floor(|1.173 x|) ulps.
float ex2_approx(float t) {
  t = flush(t);
  if (t != t) return t;
  if (std::isinf(t)) return t > 0 ? t : 0.0f;
  const double exact = std::exp2(static_cast<double>(t));
  const float rounded = static_cast<float>(exact);
  if (std::isinf(rounded) || static_cast<double>(rounded) == exact) return flush(rounded);
  return flush(step(rounded, offset(draw(math_function::ex2_approx, bits_of(t)), 1)));
}

// lg2.approx.ftz.f32: absolute error up to 2^-24 on [0.5, 2] (which keeps __log10f, its product
// with log10(2), inside 2^-24 there), one step elsewhere; exact where the
// logarithm is a float (powers of two).
float lg2_approx(float x) {
  x = flush(x);
  if (x != x || x < 0.0f) return std::numeric_limits<float>::quiet_NaN();
  if (x == 0.0f) return -std::numeric_limits<float>::infinity();
  if (std::isinf(x)) return x;
  const double exact = std::log2(static_cast<double>(x));
  const float rounded = static_cast<float>(exact);
  if (static_cast<double>(rounded) == exact) return rounded;
  const std::uint64_t h = draw(math_function::lg2_approx, bits_of(x));
  if (x >= 0.5f && x <= 2.0f) {
    const int k = offset(h, 2);
    return static_cast<float>(exact + std::ldexp(static_cast<double>(k), -25));
  }
  return step(rounded, offset(h, 1));
}

// sin.approx.ftz.f32 / cos.approx.ftz.f32: the angle becomes revolutions in a float product (whose
// rounding makes the error grow with |x|), then the reduced angle's sine or cosine is off by up
// to 2^-23 absolute.
float sincos_approx(float x, bool cosine) {
  x = flush(x);
  if (!std::isfinite(x)) return std::numeric_limits<float>::quiet_NaN();
  const float turns = flush(x * 0x1.45f306p-3f);
  const float reduced = turns - std::nearbyint(turns);
  const double angle = 6.283185307179586 * static_cast<double>(reduced);
  const double exact = cosine ? std::cos(angle) : std::sin(angle);
  const float rounded = static_cast<float>(exact);
  if (static_cast<double>(rounded) == exact) return rounded;
  const int k = offset(draw(cosine ? math_function::cos_approx : math_function::sin_approx, bits_of(x)), 2);
  const float result = static_cast<float>(exact + std::ldexp(static_cast<double>(k), -24));
  return flush(clip(result, -1.0, 1.0));
}

// The accurate function f at x: correctly rounded, then moved along the float grid by up to the
// documented bound. Odd and even functions keep their symmetry.
float accurate(math_function f, float x) {
  const function_traits t = traits(f);
  const float key = t.sym == symmetry::none ? x : std::fabs(x);
  const double exact = exact_value(f, static_cast<double>(key));
  const float r = near_correct(exact, offset(draw(f, bits_of(key)), t.ulps), t);
  if (t.sym == symmetry::odd && std::signbit(x)) return -r;
  return r;
}

}  // namespace

float device_function(math_function f, float x) noexcept {
  if (math_accurate || !running_kernel()) return host_function(f, x);
  return accurate(f, x);
}

float device_function2(math_function f, float x, float y) noexcept {
  if (math_accurate || !running_kernel()) {
    return f == math_function::powf ? (::powf)(x, y) : (::atan2f)(x, y);
  }
  const function_traits t = traits(f);
  const double exact = f == math_function::powf ? std::pow(static_cast<double>(x), static_cast<double>(y))
                                                : std::atan2(static_cast<double>(x), static_cast<double>(y));
  return near_correct(exact, offset(draw(f, bits_of(x), bits_of(y)), t.ulps), t);
}

float fast_intrinsic(math_function f, float x) noexcept {
  if (math_accurate || !running_kernel()) {
    switch (f) {
      case math_function::fast_expf: return (::expf)(x);
      case math_function::fast_exp10f: return (::exp10f)(x);
      case math_function::fast_logf: return (::logf)(x);
      case math_function::fast_log2f: return (::log2f)(x);
      case math_function::fast_log10f: return (::log10f)(x);
      case math_function::fast_sinf: return (::sinf)(x);
      case math_function::fast_cosf: return (::cosf)(x);
      case math_function::fast_tanf: return (::tanf)(x);
      default: return x;
    }
  }
  switch (f) {
    case math_function::fast_expf: return ex2_approx(flush(flush(x) * 0x1.715476p+0f));
    case math_function::fast_exp10f: return ex2_approx(flush(flush(x) * 0x1.a934f0p+1f));
    case math_function::fast_log2f: return lg2_approx(x);
    case math_function::fast_logf: return flush(lg2_approx(x) * 0x1.62e430p-1f);
    case math_function::fast_log10f: return flush(lg2_approx(x) * 0x1.344136p-2f);
    case math_function::fast_sinf: return sincos_approx(x, false);
    case math_function::fast_cosf: return sincos_approx(x, true);
    case math_function::fast_tanf: return fast_divide(sincos_approx(x, false), sincos_approx(x, true));
    default: return x;
  }
}

// x times the flushed reciprocal of y: a divisor beyond 2^126 has a subnormal reciprocal, which
// becomes zero, so the quotient is zero (NaN for an infinite dividend).
float fast_divide(float x, float y) noexcept {
  if (math_accurate || !running_kernel()) return x / y;
  x = flush(x);
  y = flush(y);
  const float reciprocal = flush(static_cast<float>(1.0 / static_cast<double>(y)));
  return flush(x * reciprocal);
}

float fast_power(float x, float y) noexcept {
  if (math_accurate || !running_kernel()) return (::powf)(x, y);
  return ex2_approx(flush(flush(y) * lg2_approx(x)));
}

}  // namespace detail
}  // namespace kr_emu
