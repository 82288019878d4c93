// The device math library (the accurate functions and the fast intrinsics with the GPU's error),
// fmin/fmax and min/max as device code has them. The C names (expf, sinf, ...) are routed here by
// function-like macros defined at the end, so include this after every header that uses them.
// Part of kr_emu/device.h, which includes it; device code includes <cuda_runtime.h>.
#pragma once

#include <math.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#pragma GCC visibility push(hidden)

// The device math library. The accurate functions return the correctly rounded result moved by up
// to the documented maximum ulps of the CUDA function, in a pattern that depends on the operands,
// the function and the schedule seed; the fast intrinsics are evaluated with the structure the GPU
// gives them (__expf as the base-2 approximation of the float product x log2(e), subnormal
// operands and results flushed to zero, __fdividef through a reciprocal that is zero for divisors
// beyond 2^126, __sinf with its angle reduced in float). Both stay inside their documented error
// bounds (src/device_math.cpp lists them). kr_emu::set_math_mode(kr_emu::math_mode::accurate) or
// KR_EMU_MATH=accurate evaluates everything with the host's accurate functions instead; outside a
// kernel the names are always the host's functions. sqrtf and the operators are exact, as on the
// GPU without fast-math.
namespace kr_emu {
namespace detail {
enum class math_function : int {
  expf, exp2f, exp10f, expm1f, logf, log2f, log10f, log1pf, sinf, cosf, tanf, sinhf, coshf,
  tanhf, asinf, acosf, atanf, erff, erfcf, cbrtf, rsqrtf, powf, atan2f,
  fast_expf, fast_exp10f, fast_logf, fast_log2f, fast_log10f, fast_sinf, fast_cosf, fast_tanf,
  ex2_approx, lg2_approx, sin_approx, cos_approx,
};
float device_function(math_function f, float x) noexcept;
float device_function2(math_function f, float x, float y) noexcept;
float fast_intrinsic(math_function f, float x) noexcept;
float fast_divide(float x, float y) noexcept;
float fast_power(float x, float y) noexcept;
}  // namespace detail
}  // namespace kr_emu

#define KR_EMU_MATH1(name)                                                     \
  inline float kr_emu_##name(float x) noexcept {                               \
    return kr_emu::detail::device_function(kr_emu::detail::math_function::name, x); \
  }
KR_EMU_MATH1(expf)
KR_EMU_MATH1(exp2f)
KR_EMU_MATH1(exp10f)
KR_EMU_MATH1(expm1f)
KR_EMU_MATH1(logf)
KR_EMU_MATH1(log2f)
KR_EMU_MATH1(log10f)
KR_EMU_MATH1(log1pf)
KR_EMU_MATH1(sinf)
KR_EMU_MATH1(cosf)
KR_EMU_MATH1(tanf)
KR_EMU_MATH1(sinhf)
KR_EMU_MATH1(coshf)
KR_EMU_MATH1(tanhf)
KR_EMU_MATH1(asinf)
KR_EMU_MATH1(acosf)
KR_EMU_MATH1(atanf)
KR_EMU_MATH1(erff)
KR_EMU_MATH1(erfcf)
KR_EMU_MATH1(cbrtf)
#undef KR_EMU_MATH1
inline float kr_emu_powf(float x, float y) noexcept {
  return kr_emu::detail::device_function2(kr_emu::detail::math_function::powf, x, y);
}
inline float kr_emu_atan2f(float y, float x) noexcept {
  return kr_emu::detail::device_function2(kr_emu::detail::math_function::atan2f, y, x);
}
inline void kr_emu_sincosf(float x, float* s, float* c) noexcept {
  *s = kr_emu_sinf(x);
  *c = kr_emu_cosf(x);
}
// rsqrtf: the hardware approximation, within 2 ulps; __frsqrt_rn is correctly rounded.
inline float rsqrtf(float x) noexcept {
  return kr_emu::detail::device_function(kr_emu::detail::math_function::rsqrtf, x);
}
inline double rsqrt(double x) { return 1.0 / std::sqrt(x); }
inline float __frsqrt_rn(float x) { return static_cast<float>(1.0 / std::sqrt(static_cast<double>(x))); }
inline float __fdividef(float a, float b) noexcept { return kr_emu::detail::fast_divide(a, b); }
inline float fdividef(float a, float b) noexcept { return kr_emu::detail::fast_divide(a, b); }
// The C library declares these reserved names (without defining them); the definitions here use
// its declarations' linkage.
extern "C" {
inline float __expf(float x) noexcept {
  return kr_emu::detail::fast_intrinsic(kr_emu::detail::math_function::fast_expf, x);
}
inline float __exp10f(float x) noexcept {
  return kr_emu::detail::fast_intrinsic(kr_emu::detail::math_function::fast_exp10f, x);
}
inline float __logf(float x) noexcept {
  return kr_emu::detail::fast_intrinsic(kr_emu::detail::math_function::fast_logf, x);
}
inline float __log2f(float x) noexcept {
  return kr_emu::detail::fast_intrinsic(kr_emu::detail::math_function::fast_log2f, x);
}
inline float __log10f(float x) noexcept {
  return kr_emu::detail::fast_intrinsic(kr_emu::detail::math_function::fast_log10f, x);
}
inline float __powf(float x, float y) noexcept { return kr_emu::detail::fast_power(x, y); }
inline float __sinf(float x) noexcept {
  return kr_emu::detail::fast_intrinsic(kr_emu::detail::math_function::fast_sinf, x);
}
inline float __cosf(float x) noexcept {
  return kr_emu::detail::fast_intrinsic(kr_emu::detail::math_function::fast_cosf, x);
}
inline float __tanf(float x) noexcept {
  return kr_emu::detail::fast_intrinsic(kr_emu::detail::math_function::fast_tanf, x);
}
inline void __sincosf(float x, float* s, float* c) noexcept {
  *s = __sinf(x);
  *c = __cosf(x);
}
}
// The C names are routed here by function-like macros (defined at the end of this header), in the
// global namespace and in std.
namespace std {
using ::kr_emu_acosf;
using ::kr_emu_asinf;
using ::kr_emu_atan2f;
using ::kr_emu_atanf;
using ::kr_emu_cbrtf;
using ::kr_emu_coshf;
using ::kr_emu_cosf;
using ::kr_emu_erfcf;
using ::kr_emu_erff;
using ::kr_emu_exp10f;
using ::kr_emu_exp2f;
using ::kr_emu_expf;
using ::kr_emu_expm1f;
using ::kr_emu_log10f;
using ::kr_emu_log1pf;
using ::kr_emu_log2f;
using ::kr_emu_logf;
using ::kr_emu_powf;
using ::kr_emu_sincosf;
using ::kr_emu_sinf;
using ::kr_emu_sinhf;
using ::kr_emu_tanf;
using ::kr_emu_tanhf;
}  // namespace std

// fmin and fmax as the GPU computes them: a NaN operand, quiet or signalling, counts as missing
// (the C library returns NaN for a signalling one), and -0 is below +0. The C names are routed
// here by function-like macros, in the global namespace and in std, for float and double.
namespace kr_emu {
namespace detail {
template <class T>
inline T gpu_fmax(T a, T b) {
  if (a != a) return b != b ? std::numeric_limits<T>::quiet_NaN() : b;
  if (b != b) return a;
  if (a == b) return std::signbit(a) ? b : a;
  return a > b ? a : b;
}
template <class T>
inline T gpu_fmin(T a, T b) {
  if (a != a) return b != b ? std::numeric_limits<T>::quiet_NaN() : b;
  if (b != b) return a;
  if (a == b) return std::signbit(a) ? a : b;
  return a < b ? a : b;
}
}  // namespace detail
}  // namespace kr_emu
inline float kr_emu_fmaxf(float a, float b) { return kr_emu::detail::gpu_fmax(a, b); }
inline float kr_emu_fminf(float a, float b) { return kr_emu::detail::gpu_fmin(a, b); }
inline double kr_emu_fmax(double a, double b) { return kr_emu::detail::gpu_fmax(a, b); }
inline double kr_emu_fmin(double a, double b) { return kr_emu::detail::gpu_fmin(a, b); }
inline float kr_emu_fmax(float a, float b) { return kr_emu::detail::gpu_fmax(a, b); }
inline float kr_emu_fmin(float a, float b) { return kr_emu::detail::gpu_fmin(a, b); }
// Mixed operand types compute in double, as the standard library's overloads do.
template <class A, class B,
          class = std::enable_if_t<std::is_arithmetic<A>::value && std::is_arithmetic<B>::value>>
inline double kr_emu_fmax(A a, B b) {
  return kr_emu::detail::gpu_fmax<double>(static_cast<double>(a), static_cast<double>(b));
}
template <class A, class B,
          class = std::enable_if_t<std::is_arithmetic<A>::value && std::is_arithmetic<B>::value>>
inline double kr_emu_fmin(A a, B b) {
  return kr_emu::detail::gpu_fmin<double>(static_cast<double>(a), static_cast<double>(b));
}
namespace std {
using ::kr_emu_fmax;
using ::kr_emu_fmaxf;
using ::kr_emu_fmin;
using ::kr_emu_fminf;
}  // namespace std
#define fmaxf(a, b) kr_emu_fmaxf(a, b)
#define fminf(a, b) kr_emu_fminf(a, b)
#define fmax(a, b) kr_emu_fmax(a, b)
#define fmin(a, b) kr_emu_fmin(a, b)

// min and max as device code has them, in the global namespace.
inline int min(int a, int b) { return a < b ? a : b; }
inline int max(int a, int b) { return a > b ? a : b; }
inline unsigned min(unsigned a, unsigned b) { return a < b ? a : b; }
inline unsigned max(unsigned a, unsigned b) { return a > b ? a : b; }
inline unsigned min(int a, unsigned b) { return min(static_cast<unsigned>(a), b); }
inline unsigned max(int a, unsigned b) { return max(static_cast<unsigned>(a), b); }
inline unsigned min(unsigned a, int b) { return min(a, static_cast<unsigned>(b)); }
inline unsigned max(unsigned a, int b) { return max(a, static_cast<unsigned>(b)); }
inline long min(long a, long b) { return a < b ? a : b; }
inline long max(long a, long b) { return a > b ? a : b; }
inline unsigned long min(unsigned long a, unsigned long b) { return a < b ? a : b; }
inline unsigned long max(unsigned long a, unsigned long b) { return a > b ? a : b; }
inline long long min(long long a, long long b) { return a < b ? a : b; }
inline long long max(long long a, long long b) { return a > b ? a : b; }
inline unsigned long long min(unsigned long long a, unsigned long long b) { return a < b ? a : b; }
inline unsigned long long max(unsigned long long a, unsigned long long b) { return a > b ? a : b; }
inline float min(float a, float b) { return kr_emu::detail::gpu_fmin(a, b); }
inline float max(float a, float b) { return kr_emu::detail::gpu_fmax(a, b); }
inline double min(double a, double b) { return kr_emu::detail::gpu_fmin(a, b); }
inline double max(double a, double b) { return kr_emu::detail::gpu_fmax(a, b); }
inline double min(float a, double b) { return kr_emu::detail::gpu_fmin<double>(a, b); }
inline double max(float a, double b) { return kr_emu::detail::gpu_fmax<double>(a, b); }
inline double min(double a, float b) { return kr_emu::detail::gpu_fmin<double>(a, b); }
inline double max(double a, float b) { return kr_emu::detail::gpu_fmax<double>(a, b); }

// Device math names routed to the GPU model above (after every use of them in this header).
#define expf(x) kr_emu_expf(x)
#define exp2f(x) kr_emu_exp2f(x)
#define exp10f(x) kr_emu_exp10f(x)
#define expm1f(x) kr_emu_expm1f(x)
#define logf(x) kr_emu_logf(x)
#define log2f(x) kr_emu_log2f(x)
#define log10f(x) kr_emu_log10f(x)
#define log1pf(x) kr_emu_log1pf(x)
#define sinf(x) kr_emu_sinf(x)
#define cosf(x) kr_emu_cosf(x)
#define tanf(x) kr_emu_tanf(x)
#define sincosf(x, s, c) kr_emu_sincosf(x, s, c)
#define sinhf(x) kr_emu_sinhf(x)
#define coshf(x) kr_emu_coshf(x)
#define tanhf(x) kr_emu_tanhf(x)
#define asinf(x) kr_emu_asinf(x)
#define acosf(x) kr_emu_acosf(x)
#define atanf(x) kr_emu_atanf(x)
#define atan2f(y, x) kr_emu_atan2f(y, x)
#define erff(x) kr_emu_erff(x)
#define erfcf(x) kr_emu_erfcf(x)
#define cbrtf(x) kr_emu_cbrtf(x)
#define powf(x, y) kr_emu_powf(x, y)

#pragma GCC visibility pop
