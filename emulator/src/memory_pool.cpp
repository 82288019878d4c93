// Stream-ordered memory pools of the emulator: each device's default pool and its attributes.
// Allocations come from the emulator's device memory as before (src/memory.cpp) and freed memory
// goes back at once, so the pool reserves exactly what is in use. The attributes a program sets
// (the release threshold, the reuse policies) are kept per device and reported back, so that code
// which tunes its pool runs and can be checked as on a GPU.
#include <cstdint>
#include <deque>

#include "platform.h"

// The handle of device `device`'s default pool.
struct CUmemPoolHandle_st {
  int device;
};

namespace kr_emu {
namespace detail {
namespace {

// One handle per device ordinal ever asked for; a deque keeps handed-out addresses stable.
std::deque<CUmemPoolHandle_st>& pool_handles() {
  static std::deque<CUmemPoolHandle_st> handles;
  return handles;
}

// The device of a pool handle, or null for a handle that is not one of ours or whose device no
// longer exists.
emulated_device* pool_device(cudaMemPool_t pool) {
  for (CUmemPoolHandle_st& h : pool_handles()) {
    if (&h != pool) continue;
    if (h.device < 0 || static_cast<std::size_t>(h.device) >= state().devices.size()) return nullptr;
    return &state().devices[static_cast<std::size_t>(h.device)];
  }
  return nullptr;
}

}  // namespace
}  // namespace detail
}  // namespace kr_emu

#define KR_EMU_POOL_ENTER(function)                                                           \
  kr_emu::detail::state_lock kr_lock;                                                         \
  if (cudaError_t injected = kr_emu::detail::take_injection(kr_emu::detail::api::function)) \
  return kr_emu::detail::fail(injected)

using kr_emu::detail::fail;

cudaError_t cudaDeviceGetDefaultMemPool(cudaMemPool_t* memPool, int device) {
  KR_EMU_POOL_ENTER(cudaDeviceGetDefaultMemPool);
  if (memPool == nullptr) return fail(cudaErrorInvalidValue);
  const int count = static_cast<int>(kr_emu::detail::state().devices.size());
  if (count == 0) return fail(cudaErrorNoDevice);
  if (device < 0 || device >= count) return fail(cudaErrorInvalidDevice);
  std::deque<CUmemPoolHandle_st>& handles = kr_emu::detail::pool_handles();
  while (handles.size() <= static_cast<std::size_t>(device)) handles.push_back({static_cast<int>(handles.size())});
  *memPool = &handles[static_cast<std::size_t>(device)];
  return cudaSuccess;
}

cudaError_t cudaMemPoolSetAttribute(cudaMemPool_t memPool, cudaMemPoolAttr attr, void* value) {
  KR_EMU_POOL_ENTER(cudaMemPoolSetAttribute);
  if (cudaError_t e = kr_emu::detail::device_status()) return fail(e);
  kr_emu::detail::emulated_device* device = kr_emu::detail::pool_device(memPool);
  if (device == nullptr || value == nullptr) return fail(cudaErrorInvalidValue);
  switch (attr) {
    case cudaMemPoolAttrReleaseThreshold:
      device->pool_release_threshold = *static_cast<const std::uint64_t*>(value);
      return cudaSuccess;
    case cudaMemPoolReuseFollowEventDependencies:
    case cudaMemPoolReuseAllowOpportunistic:
    case cudaMemPoolReuseAllowInternalDependencies:
      device->pool_reuse[attr - cudaMemPoolReuseFollowEventDependencies] = *static_cast<const int*>(value) != 0;
      return cudaSuccess;
    default:
      // The byte counts are read-only, and the emulator keeps no high-water marks to reset.
      return fail(cudaErrorInvalidValue);
  }
}

cudaError_t cudaMemPoolGetAttribute(cudaMemPool_t memPool, cudaMemPoolAttr attr, void* value) {
  KR_EMU_POOL_ENTER(cudaMemPoolGetAttribute);
  if (cudaError_t e = kr_emu::detail::device_status()) return fail(e);
  kr_emu::detail::emulated_device* device = kr_emu::detail::pool_device(memPool);
  if (device == nullptr || value == nullptr) return fail(cudaErrorInvalidValue);
  switch (attr) {
    case cudaMemPoolAttrReleaseThreshold:
      *static_cast<std::uint64_t*>(value) = device->pool_release_threshold;
      return cudaSuccess;
    case cudaMemPoolReuseFollowEventDependencies:
    case cudaMemPoolReuseAllowOpportunistic:
    case cudaMemPoolReuseAllowInternalDependencies:
      *static_cast<int*>(value) = device->pool_reuse[attr - cudaMemPoolReuseFollowEventDependencies];
      return cudaSuccess;
    case cudaMemPoolAttrReservedMemCurrent:
    case cudaMemPoolAttrUsedMemCurrent:
      *static_cast<std::uint64_t*>(value) = device->live_bytes;
      return cudaSuccess;
    default:
      return fail(cudaErrorInvalidValue);
  }
}
