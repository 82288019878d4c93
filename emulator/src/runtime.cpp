// Runtime calls of the emulator: devices, streams, errors, device memory and kernel launches.
#include <algorithm>
#include <cstring>

#include "kr_emu/launch.h"
#include "platform.h"

// ---- runtime API ----

#define KR_EMU_ENTER(function)                                                      \
  kr_emu::detail::state_lock kr_lock;     \
  if (cudaError_t injected = kr_emu::detail::take_injection(kr_emu::detail::api::function)) \
  return kr_emu::detail::fail(injected)

using kr_emu::detail::fail;
using kr_emu::detail::current;
using kr_emu::detail::current_device;
using kr_emu::detail::device_status;
using kr_emu::detail::state;

cudaError_t cudaGetDeviceCount(int* count) {
  KR_EMU_ENTER(cudaGetDeviceCount);
  if (count == nullptr) return fail(cudaErrorInvalidValue);
  *count = static_cast<int>(state().devices.size());
  if (*count == 0) return fail(state().no_device_error);
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  KR_EMU_ENTER(cudaSetDevice);
  const int count = static_cast<int>(state().devices.size());
  if (count == 0) return fail(cudaErrorNoDevice);
  if (device < 0 || device >= count) return fail(cudaErrorInvalidDevice);
  current_device() = device;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  KR_EMU_ENTER(cudaGetDevice);
  if (device == nullptr) return fail(cudaErrorInvalidValue);
  if (state().devices.empty()) return fail(cudaErrorNoDevice);
  current();  // brings a stale ordinal back into range
  *device = current_device();
  return cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  KR_EMU_ENTER(cudaGetDeviceProperties);
  if (prop == nullptr) return fail(cudaErrorInvalidValue);
  const int count = static_cast<int>(state().devices.size());
  if (count == 0) return fail(cudaErrorNoDevice);
  if (device < 0 || device >= count) return fail(cudaErrorInvalidDevice);
  *prop = state().devices[static_cast<std::size_t>(device)].properties;
  return cudaSuccess;
}

cudaError_t cudaDriverGetVersion(int* driverVersion) {
  KR_EMU_ENTER(cudaDriverGetVersion);
  if (driverVersion == nullptr) return fail(cudaErrorInvalidValue);
  *driverVersion = 13000;
  return cudaSuccess;
}

cudaError_t cudaRuntimeGetVersion(int* runtimeVersion) {
  KR_EMU_ENTER(cudaRuntimeGetVersion);
  if (runtimeVersion == nullptr) return fail(cudaErrorInvalidValue);
  *runtimeVersion = 13000;
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() {
  KR_EMU_ENTER(cudaDeviceSynchronize);
  if (!state().devices.empty()) kr_emu::detail::synchronize_device();
  return fail(device_status());
}

cudaError_t cudaDeviceGetLimit(size_t* pValue, cudaLimit limit) {
  KR_EMU_ENTER(cudaDeviceGetLimit);
  if (pValue == nullptr) return fail(cudaErrorInvalidValue);
  if (cudaError_t e = device_status()) return fail(e);
  switch (limit) {
    case cudaLimitMallocHeapSize:
      *pValue = state().device_heap_limit;
      return cudaSuccess;
    case cudaLimitStackSize:
      *pValue = 1024;
      return cudaSuccess;
    case cudaLimitPrintfFifoSize:
      *pValue = std::size_t{1} << 20;
      return cudaSuccess;
  }
  return fail(cudaErrorUnsupportedLimit);
}

cudaError_t cudaDeviceSetLimit(cudaLimit limit, size_t value) {
  KR_EMU_ENTER(cudaDeviceSetLimit);
  if (cudaError_t e = device_status()) return fail(e);
  if (limit == cudaLimitMallocHeapSize) {
    state().device_heap_limit = value;
    return cudaSuccess;
  }
  if (limit == cudaLimitStackSize || limit == cudaLimitPrintfFifoSize) return cudaSuccess;
  return fail(cudaErrorUnsupportedLimit);
}

cudaError_t cudaMemGetInfo(size_t* free, size_t* total) {
  KR_EMU_ENTER(cudaMemGetInfo);
  if (free == nullptr || total == nullptr) return fail(cudaErrorInvalidValue);
  if (cudaError_t e = device_status()) return fail(e);
  const kr_emu::detail::emulated_device& d = current();
  *total = d.properties.totalGlobalMem;
  *free = *total > d.live_bytes ? *total - d.live_bytes : 0;
  return cudaSuccess;
}

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags) {
  KR_EMU_ENTER(cudaStreamCreateWithFlags);
  if (pStream == nullptr || flags > cudaStreamNonBlocking) return fail(cudaErrorInvalidValue);
  if (cudaError_t e = device_status()) return fail(e);
  cudaStream_t stream = new CUstream_st{current_device(), flags, {}};
  state().streams.push_back(stream);
  *pStream = stream;
  return cudaSuccess;
}

cudaError_t cudaStreamCreate(cudaStream_t* pStream) {
  KR_EMU_ENTER(cudaStreamCreate);
  if (pStream == nullptr) return fail(cudaErrorInvalidValue);
  if (cudaError_t e = device_status()) return fail(e);
  cudaStream_t stream = new CUstream_st{current_device(), cudaStreamDefault, {}};
  state().streams.push_back(stream);
  *pStream = stream;
  return cudaSuccess;
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  KR_EMU_ENTER(cudaStreamDestroy);
  if (state().devices.empty()) return fail(cudaErrorNoDevice);
  auto& streams = state().streams;
  auto it = std::find(streams.begin(), streams.end(), stream);
  if (it == streams.end()) return fail(cudaErrorInvalidResourceHandle);
  // Work still queued on it runs to its end first, as on a GPU.
  kr_emu::detail::retire_stream(stream);
  streams.erase(std::find(streams.begin(), streams.end(), stream));
  kr_emu::detail::forget_stream_context(stream);
  delete stream;
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  KR_EMU_ENTER(cudaStreamSynchronize);
  if (cudaError_t e = device_status()) return fail(e);
  if (!kr_emu::detail::valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  kr_emu::detail::synchronize_stream(stream);
  return fail(device_status());
}

cudaError_t cudaStreamQuery(cudaStream_t stream) {
  KR_EMU_ENTER(cudaStreamQuery);
  if (cudaError_t e = device_status()) return fail(e);
  if (!kr_emu::detail::valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  // Queued work is finished here rather than reported as not ready.
  kr_emu::detail::synchronize_stream(stream);
  return fail(device_status());
}

cudaError_t cudaGetLastError() {
  kr_emu::detail::state_lock lock;
  if (cudaError_t injected = kr_emu::detail::take_injection(kr_emu::detail::api::cudaGetLastError))
    return injected;
  // A kernel fault stays until the emulated device is reset; other errors are read once.
  if (!state().devices.empty() && current().sticky_error != cudaSuccess) {
    kr_emu::detail::last_error() = cudaSuccess;
    return current().sticky_error;
  }
  const cudaError_t error = kr_emu::detail::last_error();
  kr_emu::detail::last_error() = cudaSuccess;
  return error;
}

cudaError_t cudaPeekAtLastError() {
  kr_emu::detail::state_lock lock;
  if (cudaError_t injected = kr_emu::detail::take_injection(kr_emu::detail::api::cudaPeekAtLastError))
    return injected;
  if (!state().devices.empty() && current().sticky_error != cudaSuccess)
    return current().sticky_error;
  return kr_emu::detail::last_error();
}

cudaError_t cudaMalloc(void** devPtr, size_t size) {
  KR_EMU_ENTER(cudaMalloc);
  if (devPtr == nullptr) return fail(cudaErrorInvalidValue);
  if (cudaError_t e = device_status()) return fail(e);
  return kr_emu::detail::allocate(devPtr, size);
}

cudaError_t cudaMallocAsync(void** devPtr, size_t size, cudaStream_t hStream) {
  KR_EMU_ENTER(cudaMallocAsync);
  if (devPtr == nullptr) return fail(cudaErrorInvalidValue);
  if (cudaError_t e = device_status()) return fail(e);
  if (!kr_emu::detail::valid_stream(hStream)) return fail(cudaErrorInvalidResourceHandle);
  return kr_emu::detail::allocate(devPtr, size);
}

// After a kernel fault the memory is still released (nothing can use it any more), but the call
// reports the fault as the real runtime does.
cudaError_t cudaFree(void* devPtr) {
  KR_EMU_ENTER(cudaFree);
  if (state().devices.empty()) return fail(cudaErrorNoDevice);
  kr_emu::detail::synchronize_device();
  if (cudaError_t e = kr_emu::detail::release(devPtr)) return e;
  return fail(device_status());
}

cudaError_t cudaFreeAsync(void* devPtr, cudaStream_t hStream) {
  KR_EMU_ENTER(cudaFreeAsync);
  if (state().devices.empty()) return fail(cudaErrorNoDevice);
  if (!kr_emu::detail::valid_stream(hStream)) return fail(cudaErrorInvalidResourceHandle);
  if (kr_emu::detail::is_default_stream(hStream)) {
    kr_emu::detail::synchronize_stream(hStream);
  } else if (devPtr != nullptr) {
    // On a context stream the memory is released once the work queued before it has run.
    if (state().allocations.count(reinterpret_cast<std::uintptr_t>(devPtr)) == 0 ||
        kr_emu::detail::free_pending(devPtr))
      return fail(cudaErrorInvalidValue);
    if (kr_emu::detail::enqueue_free(hStream, devPtr)) return fail(device_status());
  }
  if (cudaError_t e = kr_emu::detail::release(devPtr)) return e;
  return fail(device_status());
}

namespace {

// Copies and fills wait for the work of their stream (of every blocking stream for the default
// stream, as synchronous ones do).
cudaError_t copy(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
  if (cudaError_t e = device_status()) return fail(e);
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault)
    return fail(cudaErrorInvalidMemcpyDirection);
  if (count == 0) return cudaSuccess;
  if (!kr_emu::detail::valid_copy(dst, src, count, kind)) return fail(cudaErrorInvalidValue);
  // The runtime copies like memcpy: overlapping ranges are undefined there, so they are refused.
  const auto d = reinterpret_cast<std::uintptr_t>(dst), s = reinterpret_cast<std::uintptr_t>(src);
  if (d < s + count && s < d + count) return fail(cudaErrorInvalidValue);
  kr_emu::detail::synchronize_stream(stream);
  if (cudaError_t e = device_status()) return fail(e);
  std::memcpy(dst, src, count);
  kr_emu::detail::check_guards(nullptr, "a copy");
  return device_status() == cudaSuccess ? cudaSuccess : fail(device_status());
}

cudaError_t fill(void* devPtr, int value, size_t count, cudaStream_t stream) {
  if (cudaError_t e = device_status()) return fail(e);
  if (count == 0) return cudaSuccess;
  const kr_emu::detail::allocation* a = kr_emu::detail::containing(devPtr, count);
  if (a == nullptr) return fail(cudaErrorInvalidValue);
  kr_emu::detail::synchronize_stream(stream);
  if (cudaError_t e = device_status()) return fail(e);
  kr_emu::detail::fill(static_cast<char*>(devPtr), static_cast<unsigned char>(value & 0xff), count, *a);
  kr_emu::detail::check_guards(nullptr, "a fill");
  return device_status() == cudaSuccess ? cudaSuccess : fail(device_status());
}

}  // namespace

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  KR_EMU_ENTER(cudaMemcpy);
  return copy(dst, src, count, kind, nullptr);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream) {
  KR_EMU_ENTER(cudaMemcpyAsync);
  if (cudaError_t e = device_status()) return fail(e);
  if (!kr_emu::detail::valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  return copy(dst, src, count, kind, stream);
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
  KR_EMU_ENTER(cudaMemset);
  return fill(devPtr, value, count, nullptr);
}

cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream) {
  KR_EMU_ENTER(cudaMemsetAsync);
  if (cudaError_t e = device_status()) return fail(e);
  if (!kr_emu::detail::valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  return fill(devPtr, value, count, stream);
}

namespace kr_emu {
namespace detail {
namespace {

bool valid_configuration(dim3 grid, dim3 block, const cudaDeviceProp& p) {
  if (grid.x == 0 || grid.y == 0 || grid.z == 0) return false;
  if (block.x == 0 || block.y == 0 || block.z == 0) return false;
  const auto limit = [](int value) { return value < 0 ? 0u : static_cast<unsigned>(value); };
  if (block.x > limit(p.maxThreadsDim[0]) || block.y > limit(p.maxThreadsDim[1]) ||
      block.z > limit(p.maxThreadsDim[2]))
    return false;
  const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
  if (threads > limit(p.maxThreadsPerBlock)) return false;
  if (grid.x > limit(p.maxGridSize[0]) || grid.y > limit(p.maxGridSize[1]) ||
      grid.z > limit(p.maxGridSize[2]))
    return false;
  return true;
}

}  // namespace

// Validates the launch like the real runtime; the scheduler runs only accepted grids.
cudaError_t launch(const launch_request& request) {
  platform& s = state();
  state_lock lock;
  if (cudaError_t injected = take_injection(api::cudaLaunchKernel)) return fail(injected);
  if (s.devices.empty()) return fail(cudaErrorNoDevice);
  emulated_device& device = current();
  if (device.sticky_error != cudaSuccess) return fail(device.sticky_error);
  if (running_kernel()) return fail(cudaErrorNotSupported);  // no launches from device code
  if (!valid_stream(request.stream)) return fail(cudaErrorInvalidResourceHandle);
  if (request.problem == launch_problem::null_kernel) return fail(cudaErrorInvalidDeviceFunction);
  if (request.problem == launch_problem::null_arguments) return fail(cudaErrorInvalidValue);
  if (!valid_configuration(request.grid, request.block, device.properties))
    return fail(cudaErrorInvalidConfiguration);
  // Dynamic shared memory is accepted within the device limit; device code has no way to name it.
  if (request.shared_bytes > device.properties.sharedMemPerBlock)
    return fail(cudaErrorInvalidValue);
  // The block filter's choice is made here, at acceptance.
  const std::uint64_t blocks = std::uint64_t{request.grid.x} * request.grid.y * request.grid.z;
  s.last_launch.grid_blocks = blocks;
  s.last_launch.every_block = s.blocks.how == block_choice::kind::every;
  s.last_launch.ran.clear();
  if (!s.last_launch.every_block) s.last_launch.ran = s.blocks.chosen(blocks);
  const std::vector<std::uint64_t>* chosen = s.last_launch.every_block ? nullptr : &s.last_launch.ran;
  if (!is_default_stream(request.stream)) {
    enqueue_launch(request.stream, request, chosen);
    return cudaSuccess;
  }
  // The default stream waits for the blocking streams; a fault there is this launch's error.
  synchronize_stream(request.stream);
  if (device.sticky_error != cudaSuccess) return fail(device.sticky_error);
  run_grid(request, chosen);
  return cudaSuccess;
}

}  // namespace detail
}  // namespace kr_emu
