// In-kernel malloc and free: a heap with the CUDA runtime's size limit for device code, the C
// library's heap for host code.
#include <cstdlib>
#include <cstring>
#include <string>

#include "kr_emu/control.h"
#include "platform.h"

void* kr_emu_malloc(std::size_t size) noexcept {
  if (!kr_emu::detail::running_kernel()) return (std::malloc)(size);
  kr_emu::detail::platform& s = kr_emu::detail::state();
  if (size > s.device_heap_limit || s.device_heap_used > s.device_heap_limit - size) return nullptr;
  void* memory = (std::malloc)(size == 0 ? 1 : size);
  if (memory == nullptr) return nullptr;
  std::memset(memory, kr_emu::poison_byte, size);
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
  auto it = s.device_heap.find(reinterpret_cast<std::uintptr_t>(ptr));
  if (it == s.device_heap.end()) {
    char address[32];
    std::snprintf(address, sizeof address, "%p", ptr);
    kr_emu::detail::record_kernel_fault(std::string("free(") + address +
                                        ") of memory that device malloc did not return");
    kr_emu::detail::end_faulted_kernel();
  }
  s.device_heap_used -= it->second;
  s.device_heap.erase(it);
  (std::free)(ptr);
}
