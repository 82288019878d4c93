// In-kernel malloc and free: a heap with the CUDA runtime's size limit for device code, the C
// library's heap for host code. Device blocks are poison-filled and have guard zones like device
// allocations (checked after every launch and when the block is freed).
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "kr_emu/control.h"
#include "kr_emu/sanitizers.h"
#include "platform.h"

#if defined(KR_EMU_ASAN)
#include <sanitizer/asan_interface.h>
#endif

void* kr_emu_malloc(std::size_t size) noexcept {
  if (!kr_emu::detail::running_kernel()) return (std::malloc)(size);
  kr_emu::detail::platform& s = kr_emu::detail::state();
  if (size > s.device_heap_limit || s.device_heap_used > s.device_heap_limit - size) return nullptr;
  constexpr std::size_t guard = kr_emu::detail::guard_bytes;
  if (size > std::numeric_limits<std::size_t>::max() - 2 * guard) return nullptr;
  // The block and its poison are the calling thread's (ThreadSanitizer sees them as its writes).
  char* block = static_cast<char*>((std::malloc)(size + 2 * guard));
  if (block == nullptr) return nullptr;
  char* memory = block + guard;
  std::memset(memory, kr_emu::detail::poison_for_seed(s.schedule_seed), size);
  kr_emu::detail::sanitizer_ignore_scope ignore;
  kr_emu::detail::fill_guards(memory, size);
  s.device_heap.emplace(reinterpret_cast<std::uintptr_t>(memory), size);
  s.device_heap_used += size;
  return memory;
}

void kr_emu_free(void* ptr) noexcept {
  if (!kr_emu::detail::running_kernel()) {
    (std::free)(ptr);
    return;
  }
  if (ptr == nullptr) return;
  kr_emu::detail::platform& s = kr_emu::detail::state();
  char* block = nullptr;
  {
    kr_emu::detail::sanitizer_ignore_scope ignore;
    auto it = s.device_heap.find(reinterpret_cast<std::uintptr_t>(ptr));
    if (it != s.device_heap.end() && kr_emu::detail::guards_intact(static_cast<char*>(ptr), it->second)) {
      const std::size_t size = it->second;
      s.device_heap_used -= size;
      s.device_heap.erase(it);
      block = static_cast<char*>(ptr) - kr_emu::detail::guard_bytes;
#if defined(KR_EMU_ASAN)
      __asan_unpoison_memory_region(block, size + 2 * kr_emu::detail::guard_bytes);
#endif
    }
  }
  if (block != nullptr) {
    // Outside the ignore scope: freeing memory another thread still uses unsynchronised is a race.
    (std::free)(block);
    return;
  }
  auto it = s.device_heap.find(reinterpret_cast<std::uintptr_t>(ptr));
  if (it == s.device_heap.end()) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", ptr);
    kr_emu::detail::record_kernel_fault(std::string("free(") + address +
                                        ") of memory that device malloc did not return");
    kr_emu::detail::end_faulted_kernel();
  }
  // The guards were written.
  char address[32];
  std::snprintf(address, sizeof address, "%p", ptr);
  kr_emu::detail::record_kernel_fault(std::string("illegal address: free(") + address + ") of a " +
                                      std::to_string(it->second) +
                                      "-byte device-heap block whose guard zones were written");
  kr_emu::detail::end_faulted_kernel();
}
