// Atomic read-modify-writes of the device.
// Part of kr_emu/device.h, which includes it; device code includes <cuda_runtime.h>.
#pragma once

#include <cstddef>

#include "kr_emu/sanitizers.h"

#pragma GCC visibility push(hidden)

// Atomics. Only one thread runs at a time, so a plain (volatile) read-modify-write is atomic; under
// ThreadSanitizer each is a relaxed atomic operation instead, so that the sanitizer sees atomics
// (which order nothing, as on the GPU) and not racing plain accesses. Integer sums wrap as on the
// GPU, computed in unsigned arithmetic.
namespace kr_emu {
namespace detail {
#if defined(KR_EMU_PROFILE)
void profile_atomic(const void* address, std::size_t size, const void* site);
// The memory-access profile counts an atomic as one access of its own (not as the load and the
// store that carry it out here), at the site that called it.
#define KR_EMU_ATOMIC_PROFILE __attribute__((noinline, no_sanitize_address))
#else
#define KR_EMU_ATOMIC_PROFILE
#endif
// Replaces *address by next(*address) as one atomic step; returns the old value.
template <class T, class F>
KR_EMU_ATOMIC_PROFILE inline T atomic_update(T* address, F next) {
#if defined(KR_EMU_PROFILE)
  profile_atomic(address, sizeof(T), __builtin_return_address(0));
#endif
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

#pragma GCC visibility pop
