// Block barriers, warp collectives (votes, shuffles, __syncwarp), memory fences and __trap:
// the rendezvous points at which the scheduler switches fibers.
// Part of kr_emu/device.h, which includes it; device code includes <cuda_runtime.h>.
#pragma once

#include <cstdint>
#include <cstring>

#include "vector_types.h"

#pragma GCC visibility push(hidden)

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

#pragma GCC visibility pop
