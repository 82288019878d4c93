// Device-side facilities of CUDA C++ for kernels compiled by the host compiler: execution-space
// qualifiers, the built-in index variables, block barriers, warp collectives, atomics, integer and
// rounding intrinsics and the device math library.
//
// How kernels run: each CUDA thread of a block is a fiber, blocks run one after another on the
// launching host thread. Barriers and warp collectives are rendezvous points where fibers switch;
// code between two of them runs without interruption. Misuse that is undefined on a GPU (threads
// at different barriers, a lane outside its own shuffle mask, lanes disagreeing on a mask, a
// deadlock) ends the kernel with a sticky cudaErrorLaunchFailure and a message naming the call
// sites, so a kernel that passes here does not rely on one particular GPU's behaviour. A kernel
// that spins without reaching a rendezvous ends in a sticky cudaErrorLaunchTimeout (the watchdog),
// and a write outside its device allocations in a sticky cudaErrorIllegalAddress (guard zones,
// checked after the launch). The race build (-DKR_SANITIZE=thread) reports unsynchronised
// accesses between CUDA threads.
//
// __shared__ is for function-scope declarations only (`__shared__ float tile[256];` inside a
// kernel or device function). It expands to static storage, which is one instance per running
// block because blocks never overlap. Every shared array, those of template functions included
// and in every build, lies in one linker-gathered range (src/shared_memory.ld) that is filled with
// the poison byte (kr_emu::poison_byte(), which varies with the schedule seed) before every
// block, so reading shared memory before writing it gives NaNs, huge or all-ones values instead of
// what a previous block left. The AddressSanitizer build keeps the arrays' redzones, so
// out-of-bounds accesses to them are reported. `extern __shared__` (dynamic shared memory) is not
// available.
#pragma once

#include <math.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kr_emu/sanitizers.h"
#include "vector_types.h"

// Execution spaces and storage classes. `unused` keeps the host compiler quiet about kernels,
// helpers and constant tables that a module defines for the device but never calls on the host.
#define __global__ __attribute__((unused))
#define __device__ __attribute__((unused))
#define __host__
#define __constant__ __attribute__((unused))
#define __forceinline__ inline __attribute__((always_inline))
#define __launch_bounds__(...)
#define __align__(n) __attribute__((aligned(n)))
// `used` tells the compiler that code it cannot see reads and writes these arrays (the other
// fibers of the block, the poison fill), so it neither caches them across a barrier nor reshapes
// them on the assumption that only the visible stores can change them. The ABI tag puts
// "kr_emu_shared" into every array's symbol (templates included), and with it into the name of
// the section the compiler gives the array when it ignores the section attribute (GCC inside
// templates) or is not given one (the AddressSanitizer build, which keeps its redzones around
// ordinary statics only): src/shared_memory.ld gathers all of them into one range.
#if defined(KR_EMU_ASAN)
#define __shared__ static __attribute__((used, abi_tag("kr_emu_shared")))
#else
// One section per array: GCC refuses to mix the statics of inline functions (COMDAT) and of
// ordinary functions in one named section of a translation unit. The linker gathers them all.
#define KR_EMU_SHARED_SECTION_NAME(n) KR_EMU_SHARED_SECTION_NAME2(n)
#define KR_EMU_SHARED_SECTION_NAME2(n) "kr_emu_shared." #n
#define __shared__ \
  static __attribute__((used, abi_tag("kr_emu_shared"), section(KR_EMU_SHARED_SECTION_NAME(__COUNTER__))))
#endif

#pragma GCC visibility push(hidden)

// Built-in variables of the running thread. The scheduler rewrites them whenever it resumes a
// fiber, so every read sees the values of the thread that executes it.
extern uint3 threadIdx;
extern uint3 blockIdx;
extern dim3 blockDim;
extern dim3 gridDim;
extern const int warpSize;

namespace kr_emu {
namespace detail {

enum barrier_kind : int { barrier_plain, barrier_count, barrier_and, barrier_or };
enum collective_kind : int {
  collective_shfl,
  collective_shfl_up,
  collective_shfl_down,
  collective_shfl_xor,
  collective_syncwarp,
  collective_ballot,
  collective_any,
  collective_all,
};

// Block barrier; returns the count, and or or of the predicates for the reducing variants.
int barrier(barrier_kind kind, int predicate, const char* file, int line);
// Warp rendezvous over the live lanes of `mask`. For shuffles `value` holds the caller's bytes and
// the result the source lane's bytes; for votes `value` is the predicate and the result the vote.
std::uint64_t warp_collective(collective_kind kind, unsigned mask, std::uint64_t value, int param,
                              int width, const char* file, int line);
[[noreturn]] void trap(const char* file, int line);

template <class T>
inline T shuffle(collective_kind kind, unsigned mask, T var, int param, int width, const char* file,
                 int line) {
  static_assert(sizeof(T) <= sizeof(std::uint64_t), "shuffled values are at most 64 bits");
  std::uint64_t bits = 0;
  std::memcpy(&bits, &var, sizeof(T));
  bits = warp_collective(kind, mask, bits, param, width, file, line);
  T result;
  std::memcpy(&result, &bits, sizeof(T));
  return result;
}

}  // namespace detail
}  // namespace kr_emu

// Every synchronising call records where it was made, so that misuse can be reported by site.
#define KR_EMU_SITE const char *kr_file = __builtin_FILE(), int kr_line = __builtin_LINE()
#define KR_EMU_SITE_ARGS kr_file, kr_line

// Block barriers: every thread of the block that has not exited must arrive at the same call.
inline void __syncthreads(KR_EMU_SITE) {
  kr_emu::detail::barrier(kr_emu::detail::barrier_plain, 1, KR_EMU_SITE_ARGS);
}
inline int __syncthreads_count(int predicate, KR_EMU_SITE) {
  return kr_emu::detail::barrier(kr_emu::detail::barrier_count, predicate, KR_EMU_SITE_ARGS);
}
inline int __syncthreads_and(int predicate, KR_EMU_SITE) {
  return kr_emu::detail::barrier(kr_emu::detail::barrier_and, predicate, KR_EMU_SITE_ARGS);
}
inline int __syncthreads_or(int predicate, KR_EMU_SITE) {
  return kr_emu::detail::barrier(kr_emu::detail::barrier_or, predicate, KR_EMU_SITE_ARGS);
}

// Warp collectives. Lanes are numbered by the linear thread index (x fastest) modulo 32.
inline void __syncwarp(unsigned mask = 0xffffffffu, KR_EMU_SITE) {
  kr_emu::detail::warp_collective(kr_emu::detail::collective_syncwarp, mask, 0, 0, 32,
                                  KR_EMU_SITE_ARGS);
}
inline unsigned __ballot_sync(unsigned mask, int predicate, KR_EMU_SITE) {
  return static_cast<unsigned>(kr_emu::detail::warp_collective(
      kr_emu::detail::collective_ballot, mask, predicate != 0, 0, 32, KR_EMU_SITE_ARGS));
}
inline int __any_sync(unsigned mask, int predicate, KR_EMU_SITE) {
  return static_cast<int>(kr_emu::detail::warp_collective(kr_emu::detail::collective_any, mask,
                                                          predicate != 0, 0, 32, KR_EMU_SITE_ARGS));
}
inline int __all_sync(unsigned mask, int predicate, KR_EMU_SITE) {
  return static_cast<int>(kr_emu::detail::warp_collective(kr_emu::detail::collective_all, mask,
                                                          predicate != 0, 0, 32, KR_EMU_SITE_ARGS));
}

// Shuffles with the toolkit's overload set. Narrower integers reach the int overload by
// promotion, as on the GPU.
#define KR_EMU_SHUFFLES(T)                                                                        \
  inline T __shfl_sync(unsigned mask, T var, int srcLane, int width = 32, KR_EMU_SITE) {          \
    return kr_emu::detail::shuffle<T>(kr_emu::detail::collective_shfl, mask, var, srcLane, width, \
                                      KR_EMU_SITE_ARGS);                                          \
  }                                                                                               \
  inline T __shfl_up_sync(unsigned mask, T var, unsigned delta, int width = 32, KR_EMU_SITE) {    \
    return kr_emu::detail::shuffle<T>(kr_emu::detail::collective_shfl_up, mask, var,              \
                                      static_cast<int>(delta & 31u), width, KR_EMU_SITE_ARGS);    \
  }                                                                                               \
  inline T __shfl_down_sync(unsigned mask, T var, unsigned delta, int width = 32, KR_EMU_SITE) {  \
    return kr_emu::detail::shuffle<T>(kr_emu::detail::collective_shfl_down, mask, var,            \
                                      static_cast<int>(delta & 31u), width, KR_EMU_SITE_ARGS);    \
  }                                                                                               \
  inline T __shfl_xor_sync(unsigned mask, T var, int laneMask, int width = 32, KR_EMU_SITE) {     \
    return kr_emu::detail::shuffle<T>(kr_emu::detail::collective_shfl_xor, mask, var, laneMask,   \
                                      width, KR_EMU_SITE_ARGS);                                   \
  }
KR_EMU_SHUFFLES(int)
KR_EMU_SHUFFLES(unsigned int)
KR_EMU_SHUFFLES(long)
KR_EMU_SHUFFLES(unsigned long)
KR_EMU_SHUFFLES(long long)
KR_EMU_SHUFFLES(unsigned long long)
KR_EMU_SHUFFLES(float)
KR_EMU_SHUFFLES(double)
#undef KR_EMU_SHUFFLES

// Memory fences order nothing here: a block's threads never run concurrently. (ThreadSanitizer
// does not model fences either: code that orders blocks through fences and flags is reported.)
inline void __threadfence() {}
inline void __threadfence_block() {}
inline void __threadfence_system() {}

// Ends the kernel with a launch failure.
[[noreturn]] inline void __trap(const char* kr_file = __builtin_FILE(),
                                int kr_line = __builtin_LINE()) {
  kr_emu::detail::trap(kr_file, kr_line);
}

// Atomics. Only one thread runs at a time, so a plain (volatile) read-modify-write is atomic; under
// ThreadSanitizer each is a relaxed atomic operation instead, so that the sanitizer sees atomics
// (which order nothing, as on the GPU) and not racing plain accesses. Integer sums wrap as on the
// GPU, computed in unsigned arithmetic.
namespace kr_emu {
namespace detail {
// Replaces *address by next(*address) as one atomic step; returns the old value.
template <class T, class F>
inline T atomic_update(T* address, F next) {
#if defined(KR_EMU_TSAN)
  T old;
  __atomic_load(address, &old, __ATOMIC_RELAXED);
  T desired = next(old);
  while (!__atomic_compare_exchange(address, &old, &desired, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
    desired = next(old);
  return old;
#else
  // Volatile: a kernel spinning on an atomic must read memory every time, as on the GPU.
  volatile T* const p = address;
  const T old = *p;
  *p = next(old);
  return old;
#endif
}
}  // namespace detail
}  // namespace kr_emu
#define KR_EMU_ATOMIC(type, name, expression)                                   \
  inline type name(type* address, type val) {                                   \
    return kr_emu::detail::atomic_update(address, [val]([[maybe_unused]] type old) -> type { return expression; }); \
  }
KR_EMU_ATOMIC(int, atomicAdd, static_cast<int>(static_cast<unsigned>(old) + static_cast<unsigned>(val)))
KR_EMU_ATOMIC(unsigned, atomicAdd, old + val)
KR_EMU_ATOMIC(unsigned long long, atomicAdd, old + val)
KR_EMU_ATOMIC(float, atomicAdd, old + val)
KR_EMU_ATOMIC(double, atomicAdd, old + val)
KR_EMU_ATOMIC(int, atomicSub, static_cast<int>(static_cast<unsigned>(old) - static_cast<unsigned>(val)))
KR_EMU_ATOMIC(unsigned, atomicSub, old - val)
KR_EMU_ATOMIC(int, atomicExch, val)
KR_EMU_ATOMIC(unsigned, atomicExch, val)
KR_EMU_ATOMIC(unsigned long long, atomicExch, val)
KR_EMU_ATOMIC(float, atomicExch, val)
KR_EMU_ATOMIC(int, atomicMin, val < old ? val : old)
KR_EMU_ATOMIC(unsigned, atomicMin, val < old ? val : old)
KR_EMU_ATOMIC(long long, atomicMin, val < old ? val : old)
KR_EMU_ATOMIC(unsigned long long, atomicMin, val < old ? val : old)
KR_EMU_ATOMIC(int, atomicMax, val > old ? val : old)
KR_EMU_ATOMIC(unsigned, atomicMax, val > old ? val : old)
KR_EMU_ATOMIC(long long, atomicMax, val > old ? val : old)
KR_EMU_ATOMIC(unsigned long long, atomicMax, val > old ? val : old)
KR_EMU_ATOMIC(int, atomicAnd, old & val)
KR_EMU_ATOMIC(unsigned, atomicAnd, old & val)
KR_EMU_ATOMIC(unsigned long long, atomicAnd, old & val)
KR_EMU_ATOMIC(int, atomicOr, old | val)
KR_EMU_ATOMIC(unsigned, atomicOr, old | val)
KR_EMU_ATOMIC(unsigned long long, atomicOr, old | val)
KR_EMU_ATOMIC(int, atomicXor, old ^ val)
KR_EMU_ATOMIC(unsigned, atomicXor, old ^ val)
KR_EMU_ATOMIC(unsigned long long, atomicXor, old ^ val)
KR_EMU_ATOMIC(unsigned, atomicInc, old >= val ? 0u : old + 1u)
KR_EMU_ATOMIC(unsigned, atomicDec, (old == 0u || old > val) ? val : old - 1u)
#undef KR_EMU_ATOMIC
template <class T>
inline T kr_emu_atomic_cas(T* address, T compare, T val) {
  return kr_emu::detail::atomic_update(address, [compare, val](T old) { return old == compare ? val : old; });
}
inline int atomicCAS(int* address, int compare, int val) {
  return kr_emu_atomic_cas(address, compare, val);
}
inline unsigned atomicCAS(unsigned* address, unsigned compare, unsigned val) {
  return kr_emu_atomic_cas(address, compare, val);
}
inline unsigned long long atomicCAS(unsigned long long* address, unsigned long long compare,
                                    unsigned long long val) {
  return kr_emu_atomic_cas(address, compare, val);
}
inline unsigned short atomicCAS(unsigned short* address, unsigned short compare,
                                unsigned short val) {
  return kr_emu_atomic_cas(address, compare, val);
}

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

// In-kernel malloc and free. The calls are routed through the emulator so that, inside a kernel,
// they draw on a device heap with the runtime's limit (8 MiB unless cudaDeviceSetLimit changes
// it; an allocation beyond it returns null, memory is poison-filled) and a free of anything else
// is a kernel fault. Outside a kernel they are the C library's malloc and free. The redirection is
// a function-like macro, so any header included after this one that names a member or
// declaration `malloc(`/`free(` sees the replacement names; declarations of the C functions
// themselves remain valid.
extern "C" {
void* kr_emu_malloc(std::size_t size) noexcept;
void kr_emu_free(void* ptr) noexcept;
}
namespace std {
using ::kr_emu_free;
using ::kr_emu_malloc;
}  // namespace std
#define malloc(size) kr_emu_malloc(size)
#define free(ptr) kr_emu_free(ptr)

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
