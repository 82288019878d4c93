// The sanitizers' view of the scheduler's fibers: what ThreadSanitizer and AddressSanitizer are
// told at every switch between CUDA threads. No-ops in the plain build, where every call below
// compiles to nothing.
//
// ThreadSanitizer: every CUDA thread is a TSan fiber, and switches carry no synchronisation; the
// scheduler adds the CUDA happens-before edges itself (release and acquire on addresses that stand
// for block starts, barriers, collectives and thread ends). AddressSanitizer: every switch is
// announced with the destination stack, so that the sanitizer's stack bookkeeping follows the
// fibers.
#pragma once

#include <cstddef>

#include "kr_emu/sanitizers.h"
#if defined(KR_EMU_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(KR_EMU_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace kr_emu {
namespace detail {

// ThreadSanitizer annotations.
namespace tsan {
#if defined(KR_EMU_TSAN)
inline void* current() { return __tsan_get_current_fiber(); }
inline void* create_named(const char* name) {
  void* fiber = __tsan_create_fiber(0);
  __tsan_set_fiber_name(fiber, name);
  return fiber;
}
inline void destroy(void* fiber) { __tsan_destroy_fiber(fiber); }
inline void switch_to(void* fiber) { __tsan_switch_to_fiber(fiber, __tsan_switch_to_fiber_no_sync); }
inline void acquire(const void* address) { __tsan_acquire(const_cast<void*>(address)); }
inline void release(const void* address) { __tsan_release(const_cast<void*>(address)); }
#else
inline void* current() { return nullptr; }
[[maybe_unused]] inline void* create_named(const char*) { return nullptr; }
[[maybe_unused]] inline void destroy(void*) {}
inline void switch_to(void*) {}
inline void acquire(const void*) {}
inline void release(const void*) {}
#endif
}  // namespace tsan

// AddressSanitizer annotations of a stack switch: start_switch before leaving (a null
// `fake_stack` when the fiber left will never resume), finish_switch on arrival, which also tells
// the bounds of the stack that was left.
namespace asan {
#if defined(KR_EMU_ASAN)
constexpr bool enabled = true;
inline void start_switch(void** fake_stack, const void* bottom, std::size_t size) {
  __sanitizer_start_switch_fiber(fake_stack, bottom, size);
}
inline void finish_switch(void* fake_stack, const void** bottom, std::size_t* size) {
  __sanitizer_finish_switch_fiber(fake_stack, bottom, size);
}
inline void unpoison(void* address, std::size_t size) { __asan_unpoison_memory_region(address, size); }
#else
constexpr bool enabled = false;
inline void start_switch(void**, const void*, std::size_t) {}
inline void finish_switch(void*, const void**, std::size_t*) {}
inline void unpoison(void*, std::size_t) {}
#endif
}  // namespace asan

// Under ThreadSanitizer every CUDA thread runs on a stack of its own (the worker of its fiber):
// were two CUDA threads to run one after the other on one stack, the sanitizer would take their
// locals for one memory shared without synchronisation.
#if defined(KR_EMU_TSAN)
constexpr bool dedicated_workers = true;
#else
constexpr bool dedicated_workers = false;
#endif

}  // namespace detail
}  // namespace kr_emu
