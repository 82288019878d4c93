// Integer, bit and conversion intrinsics, reinterpretation, and correctly rounded arithmetic with
// explicit rounding modes.
// Part of kr_emu/device.h, which includes it; device code includes <cuda_runtime.h>.
#pragma once

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "vector_types.h"

#pragma GCC visibility push(hidden)

// Read-only data cache load: an ordinary load here.
template <class T>
inline T __ldg(const T* address) {
  return *address;
}

// Two-way 16-bit by 8-bit dot products: the two 16-bit halves of srcA times two bytes of srcB
// (bytes 0 and 1 for _lo, 2 and 3 for _hi), plus c, wrapping at 32 bits.
inline int __dp2a_lo(int srcA, int srcB, int c) {
  const std::uint32_t a = static_cast<std::uint32_t>(srcA), b = static_cast<std::uint32_t>(srcB);
  const std::int32_t p0 =
      static_cast<std::int16_t>(a & 0xffffu) * static_cast<std::int8_t>(b & 0xffu);
  const std::int32_t p1 =
      static_cast<std::int16_t>(a >> 16) * static_cast<std::int8_t>((b >> 8) & 0xffu);
  return static_cast<int>(static_cast<std::uint32_t>(c) + static_cast<std::uint32_t>(p0) +
                          static_cast<std::uint32_t>(p1));
}
inline int __dp2a_hi(int srcA, int srcB, int c) {
  return __dp2a_lo(srcA, static_cast<int>(static_cast<std::uint32_t>(srcB) >> 16), c);
}
inline unsigned __dp2a_lo(unsigned srcA, unsigned srcB, unsigned c) {
  return c + (srcA & 0xffffu) * (srcB & 0xffu) + (srcA >> 16) * ((srcB >> 8) & 0xffu);
}
inline unsigned __dp2a_hi(unsigned srcA, unsigned srcB, unsigned c) {
  return __dp2a_lo(srcA, srcB >> 16, c);
}
inline int __dp2a_lo(short2 srcA, char4 srcB, int c) {
  std::uint32_t a, b;
  std::memcpy(&a, &srcA, 4);
  std::memcpy(&b, &srcB, 4);
  return __dp2a_lo(static_cast<int>(a), static_cast<int>(b), c);
}
inline int __dp2a_hi(short2 srcA, char4 srcB, int c) {
  std::uint32_t a, b;
  std::memcpy(&a, &srcA, 4);
  std::memcpy(&b, &srcB, 4);
  return __dp2a_hi(static_cast<int>(a), static_cast<int>(b), c);
}

// Bit manipulation.
inline int __popc(unsigned x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
inline int __clz(int x) { return x == 0 ? 32 : __builtin_clz(static_cast<unsigned>(x)); }
inline int __clzll(long long x) {
  return x == 0 ? 64 : __builtin_clzll(static_cast<unsigned long long>(x));
}
inline int __ffs(int x) { return __builtin_ffs(x); }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }
inline unsigned __brev(unsigned x) {
  x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
  x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
  x = ((x >> 4) & 0x0f0f0f0fu) | ((x & 0x0f0f0f0fu) << 4);
  return __builtin_bswap32(x);
}
inline int __mulhi(int x, int y) { return static_cast<int>((static_cast<long long>(x) * y) >> 32); }
inline unsigned __umulhi(unsigned x, unsigned y) {
  return static_cast<unsigned>((static_cast<unsigned long long>(x) * y) >> 32);
}
inline long long __mul64hi(long long x, long long y) {
  return static_cast<long long>((static_cast<__int128>(x) * y) >> 64);
}
inline unsigned long long __umul64hi(unsigned long long x, unsigned long long y) {
  return static_cast<unsigned long long>((static_cast<unsigned __int128>(x) * y) >> 64);
}
// Result byte n is byte (s >> 4n) & 7 of the eight bytes y:x (x is bytes 0 to 3).
inline unsigned __byte_perm(unsigned x, unsigned y, unsigned s) {
  const unsigned long long bytes = (static_cast<unsigned long long>(y) << 32) | x;
  unsigned r = 0;
  for (int n = 0; n < 4; ++n) {
    const unsigned sel = (s >> (4 * n)) & 7u;
    r |= static_cast<unsigned>((bytes >> (8 * sel)) & 0xffu) << (8 * n);
  }
  return r;
}
inline unsigned __funnelshift_l(unsigned lo, unsigned hi, unsigned shift) {
  const unsigned long long v = (static_cast<unsigned long long>(hi) << 32) | lo;
  return static_cast<unsigned>((v << (shift & 31u)) >> 32);
}
inline unsigned __funnelshift_lc(unsigned lo, unsigned hi, unsigned shift) {
  const unsigned long long v = (static_cast<unsigned long long>(hi) << 32) | lo;
  return static_cast<unsigned>((v << (shift > 32u ? 32u : shift)) >> 32);
}
inline unsigned __funnelshift_r(unsigned lo, unsigned hi, unsigned shift) {
  const unsigned long long v = (static_cast<unsigned long long>(hi) << 32) | lo;
  return static_cast<unsigned>(v >> (shift & 31u));
}
inline unsigned __funnelshift_rc(unsigned lo, unsigned hi, unsigned shift) {
  const unsigned long long v = (static_cast<unsigned long long>(hi) << 32) | lo;
  return static_cast<unsigned>(v >> (shift > 32u ? 32u : shift));
}

// Reinterpretation.
inline float __int_as_float(int x) {
  float f;
  std::memcpy(&f, &x, sizeof f);
  return f;
}
inline float __uint_as_float(unsigned x) {
  float f;
  std::memcpy(&f, &x, sizeof f);
  return f;
}
inline int __float_as_int(float x) {
  int i;
  std::memcpy(&i, &x, sizeof i);
  return i;
}
inline unsigned __float_as_uint(float x) {
  unsigned u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}
inline double __longlong_as_double(long long x) {
  double d;
  std::memcpy(&d, &x, sizeof d);
  return d;
}
inline long long __double_as_longlong(double x) {
  long long i;
  std::memcpy(&i, &x, sizeof i);
  return i;
}

// Float to integer conversions saturate to the destination range and turn NaN into 0, as the
// GPU's conversion instructions do (a C++ cast would be undefined there).
namespace kr_emu {
namespace detail {
inline int saturate_to_int(float rounded) {
  if (rounded != rounded) return 0;
  if (rounded >= 2147483648.0f) return 2147483647;
  if (rounded < -2147483648.0f) return -2147483647 - 1;
  return static_cast<int>(rounded);
}
inline unsigned saturate_to_uint(float rounded) {
  if (rounded != rounded) return 0u;
  if (rounded >= 4294967296.0f) return 4294967295u;
  if (rounded <= 0.0f) return 0u;
  return static_cast<unsigned>(rounded);
}
inline long long saturate_to_ll(double rounded) {
  if (rounded != rounded) return 0;
  if (rounded >= 9223372036854775808.0) return 0x7fffffffffffffffLL;
  if (rounded < -9223372036854775808.0) return -0x7fffffffffffffffLL - 1;
  return static_cast<long long>(rounded);
}
}  // namespace detail
}  // namespace kr_emu
inline int __float2int_rn(float x) { return kr_emu::detail::saturate_to_int(std::nearbyint(x)); }
inline int __float2int_rz(float x) { return kr_emu::detail::saturate_to_int(std::trunc(x)); }
inline int __float2int_rd(float x) { return kr_emu::detail::saturate_to_int(std::floor(x)); }
inline int __float2int_ru(float x) { return kr_emu::detail::saturate_to_int(std::ceil(x)); }
inline unsigned __float2uint_rn(float x) {
  return kr_emu::detail::saturate_to_uint(std::nearbyint(x));
}
inline unsigned __float2uint_rz(float x) { return kr_emu::detail::saturate_to_uint(std::trunc(x)); }
inline unsigned __float2uint_rd(float x) { return kr_emu::detail::saturate_to_uint(std::floor(x)); }
inline unsigned __float2uint_ru(float x) { return kr_emu::detail::saturate_to_uint(std::ceil(x)); }
inline long long __float2ll_rn(float x) {
  return kr_emu::detail::saturate_to_ll(std::nearbyint(static_cast<double>(x)));
}
inline long long __float2ll_rz(float x) {
  return kr_emu::detail::saturate_to_ll(std::trunc(static_cast<double>(x)));
}
inline int __double2int_rn(double x) {
  const double r = std::nearbyint(x);
  if (r != r) return 0;
  if (r >= 2147483647.0) return 2147483647;
  if (r <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(r);
}
inline int __double2int_rz(double x) {
  const double r = std::trunc(x);
  if (r != r) return 0;
  if (r >= 2147483647.0) return 2147483647;
  if (r <= -2147483648.0) return -2147483647 - 1;
  return static_cast<int>(r);
}
inline float __ll2float_rn(long long x) { return static_cast<float>(x); }
inline double __int2double_rn(int x) { return static_cast<double>(x); }

// Correctly rounded arithmetic. The build never contracts a*b+c, so the operators are exact IEEE
// operations; fused multiply-adds exist only where written. The directed roundings (_rz, _rd, _ru)
// switch the host's rounding mode around the one operation; the volatile operands pin the
// operation between the two switches, which the compiler could otherwise move across them.
namespace kr_emu {
namespace detail {
struct rounding_scope {
  int saved;
  explicit rounding_scope(int mode) : saved(std::fegetround()) { std::fesetround(mode); }
  ~rounding_scope() { std::fesetround(saved); }
  rounding_scope(const rounding_scope&) = delete;
  rounding_scope& operator=(const rounding_scope&) = delete;
};
}  // namespace detail
}  // namespace kr_emu
// `body` computes `r` from the volatile copies a, b, c of the operands.
#define KR_EMU_ROUNDED(type, name, suffix, mode, params, copies, body) \
  inline type name##_##suffix params {                                 \
    type result;                                                       \
    {                                                                  \
      kr_emu::detail::rounding_scope scope(mode);                      \
      copies;                                                          \
      body;                                                            \
      result = r;                                                      \
    }                                                                  \
    return result;                                                     \
  }
#define KR_EMU_ROUNDINGS(type, name, params, copies, body)            \
  KR_EMU_ROUNDED(type, name, rz, FE_TOWARDZERO, params, copies, body) \
  KR_EMU_ROUNDED(type, name, rd, FE_DOWNWARD, params, copies, body)   \
  KR_EMU_ROUNDED(type, name, ru, FE_UPWARD, params, copies, body)
#define KR_EMU_BINARY_ROUNDINGS(type, name, op)                        \
  inline type name##_rn(type a, type b) { return a op b; }             \
  KR_EMU_ROUNDINGS(type, name, (type a, type b), volatile type va = a; \
                   volatile type vb = b, volatile type r = va op vb)
KR_EMU_BINARY_ROUNDINGS(float, __fadd, +)
KR_EMU_BINARY_ROUNDINGS(float, __fsub, -)
KR_EMU_BINARY_ROUNDINGS(float, __fmul, *)
KR_EMU_BINARY_ROUNDINGS(float, __fdiv, /)
KR_EMU_BINARY_ROUNDINGS(double, __dadd, +)
KR_EMU_BINARY_ROUNDINGS(double, __dsub, -)
KR_EMU_BINARY_ROUNDINGS(double, __dmul, *)
KR_EMU_BINARY_ROUNDINGS(double, __ddiv, /)
#undef KR_EMU_BINARY_ROUNDINGS
#define KR_EMU_FMA_ROUNDINGS(type, name)                                                \
  inline type name##_rn(type a, type b, type c) { return std::fma(a, b, c); }           \
  KR_EMU_ROUNDINGS(                                                                     \
      type, name, (type a, type b, type c), volatile type va = a; volatile type vb = b; \
      volatile type vc = c,                                                             \
      volatile type r =                                                                 \
          std::fma(static_cast<type>(va), static_cast<type>(vb), static_cast<type>(vc)))
KR_EMU_FMA_ROUNDINGS(float, __fmaf)
KR_EMU_FMA_ROUNDINGS(double, __fma)
#undef KR_EMU_FMA_ROUNDINGS
#define KR_EMU_UNARY_ROUNDINGS(result_type, name, operand_type, rn_expression, expression) \
  inline result_type name##_rn(operand_type a) { return rn_expression; }                   \
  KR_EMU_ROUNDINGS(result_type, name, (operand_type a), volatile operand_type va = a,      \
                   volatile result_type r = expression)
KR_EMU_UNARY_ROUNDINGS(float, __frcp, float, 1.0f / a, 1.0f / va)
KR_EMU_UNARY_ROUNDINGS(double, __drcp, double, 1.0 / a, 1.0 / va)
KR_EMU_UNARY_ROUNDINGS(float, __fsqrt, float, std::sqrt(a), std::sqrt(static_cast<float>(va)))
KR_EMU_UNARY_ROUNDINGS(double, __dsqrt, double, std::sqrt(a), std::sqrt(static_cast<double>(va)))
KR_EMU_UNARY_ROUNDINGS(float, __int2float, int, static_cast<float>(a), static_cast<float>(va))
KR_EMU_UNARY_ROUNDINGS(float, __uint2float, unsigned, static_cast<float>(a), static_cast<float>(va))
KR_EMU_UNARY_ROUNDINGS(float, __double2float, double, static_cast<float>(a), static_cast<float>(va))
#undef KR_EMU_UNARY_ROUNDINGS
#undef KR_EMU_ROUNDINGS
#undef KR_EMU_ROUNDED
inline float __saturatef(float x) { return x >= 1.0f ? 1.0f : (x > 0.0f ? x : 0.0f); }

#pragma GCC visibility pop
