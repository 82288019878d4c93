// Device memory: allocations with guard zones and poison, and the range checks of copies and
// fills.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "kr_emu/sanitizers.h"
#include "platform.h"
#include "schedule.h"

#if defined(KR_EMU_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace kr_emu {
namespace detail {

std::size_t page_size() {
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// Finds the live allocation that wholly contains [p, p + count).
const allocation* containing(const void* ptr, std::size_t count) {
  platform& s = state();
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(ptr);
  auto it = s.allocations.upper_bound(address);
  if (it == s.allocations.begin()) return nullptr;
  --it;
  const std::uintptr_t offset = address - it->first;
  if (offset > it->second.size || count > it->second.size - offset) return nullptr;
  return &it->second;
}

bool is_device_pointer(const void* ptr) { return containing(ptr, 1) != nullptr; }

// Device memory checks of a copy or fill: each device range must lie inside one live allocation,
// each host pointer must not be null.
bool valid_copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  bool dst_device = false, src_device = false;
  switch (kind) {
    case cudaMemcpyHostToHost:
      break;
    case cudaMemcpyHostToDevice:
      dst_device = true;
      break;
    case cudaMemcpyDeviceToHost:
      src_device = true;
      break;
    case cudaMemcpyDeviceToDevice:
      dst_device = src_device = true;
      break;
    case cudaMemcpyDefault:
      dst_device = is_device_pointer(dst);
      src_device = is_device_pointer(src);
      break;
  }
  if (dst_device ? containing(dst, count) == nullptr : dst == nullptr) return false;
  if (src_device ? containing(src, count) == nullptr : src == nullptr) return false;
  return true;
}

cudaError_t allocate(void** ptr, std::size_t size) {
  platform& s = state();
  emulated_device& device = current();
  const std::size_t capacity = device.properties.totalGlobalMem;
  const std::size_t available = capacity > device.live_bytes ? capacity - device.live_bytes : 0;
  // Checked before the host is asked, so that an impossible size (a negative one widened with its
  // sign, say) fails cleanly instead of exhausting or aborting the host allocator.
  if (size > available) return fail(cudaErrorMemoryAllocation);
  if (size == 0) {
    *ptr = nullptr;
    return cudaSuccess;
  }
  char* memory = nullptr;
  std::size_t mapped = 0;
  if (s.sparse_capacity != 0) {
    // Reserved, not committed: the user range starts one page in (its front guard ends that page)
    // and the back guard follows it; only the pages written are ever committed.
    const std::size_t page = page_size();
    if (size > std::numeric_limits<std::size_t>::max() - 3 * page) return fail(cudaErrorMemoryAllocation);
    mapped = page + (size + guard_bytes + page - 1) / page * page;
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) return fail(cudaErrorMemoryAllocation);
    memory = static_cast<char*>(base) + page;
  } else {
    void* block = nullptr;
    if (size > std::numeric_limits<std::size_t>::max() - 2 * guard_bytes ||
        posix_memalign(&block, 256, size + 2 * guard_bytes) != 0)
      return fail(cudaErrorMemoryAllocation);
    memory = static_cast<char*>(block) + guard_bytes;
    std::memset(memory, poison_for_seed(s.schedule_seed), size);
  }
  fill_guards(memory, size);
  s.allocations.emplace(reinterpret_cast<std::uintptr_t>(memory), allocation{size, current_device(), mapped});
  device.live_bytes += size;
  s.live_bytes += size;
  *ptr = memory;
  return cudaSuccess;
}

cudaError_t release(void* ptr) {
  if (ptr == nullptr) return cudaSuccess;
  platform& s = state();
  auto it = s.allocations.find(reinterpret_cast<std::uintptr_t>(ptr));
  if (it == s.allocations.end()) return fail(cudaErrorInvalidValue);
  const allocation a = it->second;
  // Damage done by host code since the last check (a kernel's is found after its launch).
  if (!guards_intact(static_cast<char*>(ptr), a.size)) check_guards(nullptr, "cudaFree");
  s.allocations.erase(it);
  if (a.device < static_cast<int>(s.devices.size())) {
    std::size_t& device_bytes = s.devices[static_cast<std::size_t>(a.device)].live_bytes;
    device_bytes -= std::min(device_bytes, a.size);
  }
  s.live_bytes -= a.size;
  char* block = static_cast<char*>(ptr) - guard_bytes;
#if defined(KR_EMU_ASAN)
  __asan_unpoison_memory_region(block, a.size + 2 * guard_bytes);
#endif
  if (a.mapped != 0) {
    munmap(static_cast<char*>(ptr) - page_size(), a.mapped);
  } else {
    (std::free)(block);
  }
  return cudaSuccess;
}

void fill(char* ptr, unsigned char value, std::size_t count, const allocation& a) {
  if (a.mapped == 0 || value != 0) {
    std::memset(ptr, value, count);
    return;
  }
  // Sparse memory: the whole pages inside the range go back to the reserve (and read as zeros).
  const std::size_t page = page_size();
  const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(ptr), end = begin + count;
  const std::uintptr_t first = (begin + page - 1) / page * page, last = end / page * page;
  if (first >= last) {
    std::memset(ptr, 0, count);
    return;
  }
  std::memset(ptr, 0, first - begin);
  madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
  std::memset(reinterpret_cast<void*>(last), 0, end - last);
}

namespace {

// The guard pattern: consecutive bytes always differ, so no run of one repeated byte (a zero or a
// fill value written past an end) matches it.
struct guard_pattern {
  unsigned char bytes[guard_bytes];
  guard_pattern() {
    for (std::size_t i = 0; i < guard_bytes; ++i) bytes[i] = static_cast<unsigned char>(0x5d + 167 * i);
  }
};
const guard_pattern pattern;

// Offsets (from the block's start) of the first and last damaged guard bytes, or false.
bool find_damage(const char* user, std::size_t size, std::ptrdiff_t& first, std::ptrdiff_t& last) {
  // The emulator's bookkeeping, not an access of the host code or of a stream's work.
  sanitizer_ignore_scope ignore;
  bool found = false;
  const char* zones[2] = {user - guard_bytes, user + size};
  for (const char* zone : zones) {
#if defined(KR_EMU_ASAN)
    __asan_unpoison_memory_region(zone, guard_bytes);
#endif
    if (std::memcmp(zone, pattern.bytes, guard_bytes) != 0) {
      for (std::size_t i = 0; i < guard_bytes; ++i) {
        if (static_cast<unsigned char>(zone[i]) == pattern.bytes[i]) continue;
        const std::ptrdiff_t offset = zone + i - user;
        if (!found) first = offset;
        last = offset;
        found = true;
      }
    }
#if defined(KR_EMU_ASAN)
    __asan_poison_memory_region(zone, guard_bytes);
#endif
  }
  return found;
}

std::string describe_damage(const char* what, const void* user, std::size_t size, std::ptrdiff_t first,
                            std::ptrdiff_t last) {
  char text[256];
  std::snprintf(text, sizeof text,
                "bytes at offsets %td to %td of a %zu-byte %s at %p were written (valid offsets are 0 to %td)", first,
                last, size, what, user, static_cast<std::ptrdiff_t>(size) - 1);
  return text;
}

}  // namespace

void fill_guards(char* user, std::size_t size) {
  sanitizer_ignore_scope ignore;
  std::memcpy(user - guard_bytes, pattern.bytes, guard_bytes);
  std::memcpy(user + size, pattern.bytes, guard_bytes);
#if defined(KR_EMU_ASAN)
  // Any access to a guard is reported at once, reads included.
  __asan_poison_memory_region(user - guard_bytes, guard_bytes);
  __asan_poison_memory_region(user + size, guard_bytes);
#endif
}

bool guards_intact(const char* user, std::size_t size) {
  std::ptrdiff_t first = 0, last = 0;
  return !find_damage(user, size, first, last);
}

void check_guards(const void* kernel, const char* call) {
  platform& s = state();
  std::string report;
  const auto check = [&](const char* what, std::uintptr_t address, std::size_t size) {
    char* user = reinterpret_cast<char*>(address);
    std::ptrdiff_t first = 0, last = 0;
    if (!find_damage(user, size, first, last)) return;
    if (report.empty()) report = describe_damage(what, user, size, first, last);
    fill_guards(user, size);
  };
  for (const auto& a : s.allocations) check("device allocation", a.first, a.second.size);
  for (const auto& b : s.device_heap) check("device-heap block", b.first, b.second);
  if (report.empty() || s.devices.empty()) return;
  const std::string culprit = kernel != nullptr ? "kernel " + function_name(kernel)
                                                : std::string("host code (found by ") + call + ")";
  const std::string message = "illegal address: " + culprit + " wrote outside device memory: " + report;
  emulated_device& device = current();
  if (device.sticky_error == cudaSuccess) {
    device.sticky_error = cudaErrorIllegalAddress;
    s.fault_message = message;
  } else {
    s.fault_message += "; " + message;
  }
}

unsigned char poison_for_seed(std::uint64_t seed) {
  // NaN and all-ones under the forward schedule; a huge positive value under reverse; else one of
  // four patterns (NaN/-1, huge positive, tiny negative/huge negative, a mixed pattern).
  static const unsigned char patterns[] = {0xFF, 0x7F, 0x80, 0xA5};
  if (seed == 0) return 0xFF;
  if (seed == 1) return 0x7F;
  return patterns[mix(seed ^ 0x706f69736f6eull) % 4];
}

}  // namespace detail
}  // namespace kr_emu
