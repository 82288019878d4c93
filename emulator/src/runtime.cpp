// Runtime calls of the emulator: devices, streams, errors and device memory, plus the test
// controls of kr_emu/control.h.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <limits>
#include <string>

#include "kr_emu/control.h"
#include "kr_emu/sanitizers.h"
#include "platform.h"

#if defined(KR_EMU_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace kr_emu {
namespace detail {
namespace {

constexpr const char* api_names[] = {
    "cudaGetDeviceCount",
    "cudaSetDevice",
    "cudaGetDevice",
    "cudaGetDeviceProperties",
    "cudaDriverGetVersion",
    "cudaRuntimeGetVersion",
    "cudaDeviceSynchronize",
    "cudaDeviceGetLimit",
    "cudaDeviceSetLimit",
    "cudaMemGetInfo",
    "cudaStreamCreate",
    "cudaStreamCreateWithFlags",
    "cudaStreamDestroy",
    "cudaStreamSynchronize",
    "cudaStreamQuery",
    "cudaGetLastError",
    "cudaPeekAtLastError",
    "cudaMalloc",
    "cudaFree",
    "cudaMallocAsync",
    "cudaFreeAsync",
    "cudaMemcpy",
    "cudaMemcpyAsync",
    "cudaMemset",
    "cudaMemsetAsync",
    "cudaLaunchKernel",
};
static_assert(sizeof(api_names) / sizeof(api_names[0]) == static_cast<std::size_t>(api::count),
              "one name per injectable function");

struct error_text {
  cudaError_t code;
  const char* name;
  const char* text;
};

// Names and texts exactly as the CUDA 13 runtime reports them.
constexpr error_text error_texts[] = {
    {cudaSuccess, "cudaSuccess", "no error"},
    {cudaErrorInvalidValue, "cudaErrorInvalidValue", "invalid argument"},
    {cudaErrorMemoryAllocation, "cudaErrorMemoryAllocation", "out of memory"},
    {cudaErrorInitializationError, "cudaErrorInitializationError", "initialization error"},
    {cudaErrorCudartUnloading, "cudaErrorCudartUnloading", "driver shutting down"},
    {cudaErrorProfilerDisabled, "cudaErrorProfilerDisabled",
     "profiler disabled while using external profiling tool"},
    {cudaErrorProfilerNotInitialized, "cudaErrorProfilerNotInitialized",
     "profiler not initialized: call cudaProfilerInitialize()"},
    {cudaErrorProfilerAlreadyStarted, "cudaErrorProfilerAlreadyStarted",
     "profiler already started"},
    {cudaErrorProfilerAlreadyStopped, "cudaErrorProfilerAlreadyStopped",
     "profiler already stopped"},
    {cudaErrorInvalidConfiguration, "cudaErrorInvalidConfiguration",
     "invalid configuration argument"},
    {cudaErrorInvalidPitchValue, "cudaErrorInvalidPitchValue", "invalid pitch argument"},
    {cudaErrorInvalidSymbol, "cudaErrorInvalidSymbol", "invalid device symbol"},
    {cudaErrorInvalidHostPointer, "cudaErrorInvalidHostPointer", "invalid host pointer"},
    {cudaErrorInvalidDevicePointer, "cudaErrorInvalidDevicePointer", "invalid device pointer"},
    {cudaErrorInvalidTexture, "cudaErrorInvalidTexture", "invalid texture reference"},
    {cudaErrorInvalidTextureBinding, "cudaErrorInvalidTextureBinding",
     "texture is not bound to a pointer"},
    {cudaErrorInvalidChannelDescriptor, "cudaErrorInvalidChannelDescriptor",
     "invalid channel descriptor"},
    {cudaErrorInvalidMemcpyDirection, "cudaErrorInvalidMemcpyDirection",
     "invalid copy direction for memcpy"},
    {cudaErrorAddressOfConstant, "cudaErrorAddressOfConstant", "invalid address of constant"},
    {cudaErrorTextureFetchFailed, "cudaErrorTextureFetchFailed", "fetch from texture failed"},
    {cudaErrorTextureNotBound, "cudaErrorTextureNotBound",
     "cannot fetch from a texture that is not bound"},
    {cudaErrorSynchronizationError, "cudaErrorSynchronizationError",
     "incorrect use of __syncthreads()"},
    {cudaErrorInvalidFilterSetting, "cudaErrorInvalidFilterSetting",
     "linear filtering not supported for non-float type"},
    {cudaErrorInvalidNormSetting, "cudaErrorInvalidNormSetting",
     "read as normalized float not supported for data type"},
    {cudaErrorMixedDeviceExecution, "cudaErrorMixedDeviceExecution",
     "device emulation mode and device execution mode cannot be mixed"},
    {cudaErrorNotYetImplemented, "cudaErrorNotYetImplemented", "feature not yet implemented"},
    {cudaErrorMemoryValueTooLarge, "cudaErrorMemoryValueTooLarge",
     "memory size or pointer value too large to fit in 32 bit"},
    {cudaErrorStubLibrary, "cudaErrorStubLibrary", "CUDA driver is a stub library"},
    {cudaErrorInsufficientDriver, "cudaErrorInsufficientDriver",
     "CUDA driver version is insufficient for CUDA runtime version"},
    {cudaErrorCallRequiresNewerDriver, "cudaErrorCallRequiresNewerDriver",
     "API call is not supported in the installed CUDA driver"},
    {cudaErrorInvalidSurface, "cudaErrorInvalidSurface", "invalid surface reference"},
    {cudaErrorDuplicateVariableName, "cudaErrorDuplicateVariableName",
     "duplicate global variable looked up by string name"},
    {cudaErrorDuplicateTextureName, "cudaErrorDuplicateTextureName",
     "duplicate texture looked up by string name"},
    {cudaErrorDuplicateSurfaceName, "cudaErrorDuplicateSurfaceName",
     "duplicate surface looked up by string name"},
    {cudaErrorDevicesUnavailable, "cudaErrorDevicesUnavailable",
     "CUDA-capable device(s) is/are busy or unavailable"},
    {cudaErrorIncompatibleDriverContext, "cudaErrorIncompatibleDriverContext",
     "incompatible driver context"},
    {cudaErrorMissingConfiguration, "cudaErrorMissingConfiguration",
     "__global__ function call is not configured"},
    {cudaErrorPriorLaunchFailure, "cudaErrorPriorLaunchFailure",
     "unspecified launch failure in prior launch"},
    {cudaErrorLaunchMaxDepthExceeded, "cudaErrorLaunchMaxDepthExceeded",
     "launch would exceed maximum depth of nested launches"},
    {cudaErrorLaunchFileScopedTex, "cudaErrorLaunchFileScopedTex",
     "launch failed because kernel uses unsupported, file-scoped textures (texture objects are "
     "supported)"},
    {cudaErrorLaunchFileScopedSurf, "cudaErrorLaunchFileScopedSurf",
     "launch failed because kernel uses unsupported, file-scoped surfaces (surface objects are "
     "supported)"},
    {cudaErrorSyncDepthExceeded, "cudaErrorSyncDepthExceeded",
     "cudaDeviceSynchronize failed because caller's grid depth exceeds "
     "cudaLimitDevRuntimeSyncDepth"},
    {cudaErrorLaunchPendingCountExceeded, "cudaErrorLaunchPendingCountExceeded",
     "launch failed because launch would exceed cudaLimitDevRuntimePendingLaunchCount"},
    {cudaErrorInvalidDeviceFunction, "cudaErrorInvalidDeviceFunction", "invalid device function"},
    {cudaErrorNoDevice, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
    {cudaErrorInvalidDevice, "cudaErrorInvalidDevice", "invalid device ordinal"},
    {cudaErrorDeviceNotLicensed, "cudaErrorDeviceNotLicensed",
     "device doesn't have valid Grid license"},
    {cudaErrorSoftwareValidityNotEstablished, "cudaErrorSoftwareValidityNotEstablished",
     "integrity checks failed"},
    {cudaErrorStartupFailure, "cudaErrorStartupFailure", "startup failure in cuda runtime"},
    {cudaErrorInvalidKernelImage, "cudaErrorInvalidKernelImage", "device kernel image is invalid"},
    {cudaErrorDeviceUninitialized, "cudaErrorDeviceUninitialized", "invalid device context"},
    {cudaErrorMapBufferObjectFailed, "cudaErrorMapBufferObjectFailed",
     "mapping of buffer object failed"},
    {cudaErrorUnmapBufferObjectFailed, "cudaErrorUnmapBufferObjectFailed",
     "unmapping of buffer object failed"},
    {cudaErrorArrayIsMapped, "cudaErrorArrayIsMapped", "array is mapped"},
    {cudaErrorAlreadyMapped, "cudaErrorAlreadyMapped", "resource already mapped"},
    {cudaErrorNoKernelImageForDevice, "cudaErrorNoKernelImageForDevice",
     "no kernel image is available for execution on the device"},
    {cudaErrorAlreadyAcquired, "cudaErrorAlreadyAcquired", "resource already acquired"},
    {cudaErrorNotMapped, "cudaErrorNotMapped", "resource not mapped"},
    {cudaErrorNotMappedAsArray, "cudaErrorNotMappedAsArray", "resource not mapped as array"},
    {cudaErrorNotMappedAsPointer, "cudaErrorNotMappedAsPointer", "resource not mapped as pointer"},
    {cudaErrorECCUncorrectable, "cudaErrorECCUncorrectable", "uncorrectable ECC error encountered"},
    {cudaErrorUnsupportedLimit, "cudaErrorUnsupportedLimit",
     "limit is not supported on this architecture"},
    {cudaErrorDeviceAlreadyInUse, "cudaErrorDeviceAlreadyInUse",
     "exclusive-thread device already in use by a different thread"},
    {cudaErrorPeerAccessUnsupported, "cudaErrorPeerAccessUnsupported",
     "peer access is not supported between these two devices"},
    {cudaErrorInvalidPtx, "cudaErrorInvalidPtx", "a PTX JIT compilation failed"},
    {cudaErrorInvalidGraphicsContext, "cudaErrorInvalidGraphicsContext",
     "invalid OpenGL or DirectX context"},
    {cudaErrorNvlinkUncorrectable, "cudaErrorNvlinkUncorrectable",
     "uncorrectable NVLink error detected during the execution"},
    {cudaErrorJitCompilerNotFound, "cudaErrorJitCompilerNotFound",
     "PTX JIT compiler library not found"},
    {cudaErrorUnsupportedPtxVersion, "cudaErrorUnsupportedPtxVersion",
     "the provided PTX was compiled with an unsupported toolchain."},
    {cudaErrorJitCompilationDisabled, "cudaErrorJitCompilationDisabled",
     "PTX JIT compilation was disabled"},
    {cudaErrorUnsupportedExecAffinity, "cudaErrorUnsupportedExecAffinity",
     "the provided execution affinity is not supported"},
    {cudaErrorUnsupportedDevSideSync, "cudaErrorUnsupportedDevSideSync",
     "the provided PTX contains unsupported call to cudaDeviceSynchronize"},
    {cudaErrorContained, "cudaErrorContained",
     "Invalid access of peer GPU memory over nvlink or a hardware error"},
    {cudaErrorInvalidSource, "cudaErrorInvalidSource", "device kernel image is invalid"},
    {cudaErrorFileNotFound, "cudaErrorFileNotFound", "file not found"},
    {cudaErrorSharedObjectSymbolNotFound, "cudaErrorSharedObjectSymbolNotFound",
     "shared object symbol not found"},
    {cudaErrorSharedObjectInitFailed, "cudaErrorSharedObjectInitFailed",
     "shared object initialization failed"},
    {cudaErrorOperatingSystem, "cudaErrorOperatingSystem",
     "OS call failed or operation not supported on this OS"},
    {cudaErrorInvalidResourceHandle, "cudaErrorInvalidResourceHandle", "invalid resource handle"},
    {cudaErrorIllegalState, "cudaErrorIllegalState",
     "the operation cannot be performed in the present state"},
    {cudaErrorLossyQuery, "cudaErrorLossyQuery",
     "attempted introspection would be semantically lossy"},
    {cudaErrorSymbolNotFound, "cudaErrorSymbolNotFound", "named symbol not found"},
    {cudaErrorNotReady, "cudaErrorNotReady", "device not ready"},
    {cudaErrorIllegalAddress, "cudaErrorIllegalAddress",
     "an illegal memory access was encountered"},
    {cudaErrorLaunchOutOfResources, "cudaErrorLaunchOutOfResources",
     "too many resources requested for launch"},
    {cudaErrorLaunchTimeout, "cudaErrorLaunchTimeout", "the launch timed out and was terminated"},
    {cudaErrorLaunchIncompatibleTexturing, "cudaErrorLaunchIncompatibleTexturing",
     "launch uses incompatible texturing mode"},
    {cudaErrorPeerAccessAlreadyEnabled, "cudaErrorPeerAccessAlreadyEnabled",
     "peer access is already enabled"},
    {cudaErrorPeerAccessNotEnabled, "cudaErrorPeerAccessNotEnabled",
     "peer access has not been enabled"},
    {cudaErrorSetOnActiveProcess, "cudaErrorSetOnActiveProcess",
     "cannot set while device is active in this process"},
    {cudaErrorContextIsDestroyed, "cudaErrorContextIsDestroyed", "context is destroyed"},
    {cudaErrorAssert, "cudaErrorAssert", "device-side assert triggered"},
    {cudaErrorTooManyPeers, "cudaErrorTooManyPeers", "peer mapping resources exhausted"},
    {cudaErrorHostMemoryAlreadyRegistered, "cudaErrorHostMemoryAlreadyRegistered",
     "part or all of the requested memory range is already mapped"},
    {cudaErrorHostMemoryNotRegistered, "cudaErrorHostMemoryNotRegistered",
     "pointer does not correspond to a registered memory region"},
    {cudaErrorHardwareStackError, "cudaErrorHardwareStackError", "hardware stack error"},
    {cudaErrorIllegalInstruction, "cudaErrorIllegalInstruction",
     "an illegal instruction was encountered"},
    {cudaErrorMisalignedAddress, "cudaErrorMisalignedAddress", "misaligned address"},
    {cudaErrorInvalidAddressSpace, "cudaErrorInvalidAddressSpace",
     "operation not supported on global/shared address space"},
    {cudaErrorInvalidPc, "cudaErrorInvalidPc", "invalid program counter"},
    {cudaErrorLaunchFailure, "cudaErrorLaunchFailure", "unspecified launch failure"},
    {cudaErrorCooperativeLaunchTooLarge, "cudaErrorCooperativeLaunchTooLarge",
     "too many blocks in cooperative launch"},
    {cudaErrorTensorMemoryLeak, "cudaErrorTensorMemoryLeak", "tensor memory not completely freed"},
    {cudaErrorNotPermitted, "cudaErrorNotPermitted", "operation not permitted"},
    {cudaErrorNotSupported, "cudaErrorNotSupported", "operation not supported"},
    {cudaErrorSystemNotReady, "cudaErrorSystemNotReady", "system not yet initialized"},
    {cudaErrorSystemDriverMismatch, "cudaErrorSystemDriverMismatch",
     "system has unsupported display driver / cuda driver combination"},
    {cudaErrorCompatNotSupportedOnDevice, "cudaErrorCompatNotSupportedOnDevice",
     "forward compatibility was attempted on non supported HW"},
    {cudaErrorMpsConnectionFailed, "cudaErrorMpsConnectionFailed",
     "MPS client failed to connect to the MPS control daemon or the MPS server"},
    {cudaErrorMpsRpcFailure, "cudaErrorMpsRpcFailure",
     "the remote procedural call between the MPS server and the MPS client failed"},
    {cudaErrorMpsServerNotReady, "cudaErrorMpsServerNotReady",
     "MPS server is not ready to accept new MPS client requests"},
    {cudaErrorMpsMaxClientsReached, "cudaErrorMpsMaxClientsReached",
     "the hardware resources required to create MPS client have been exhausted"},
    {cudaErrorMpsMaxConnectionsReached, "cudaErrorMpsMaxConnectionsReached",
     "the hardware resources required to support device connections have been exhausted"},
    {cudaErrorMpsClientTerminated, "cudaErrorMpsClientTerminated",
     "the MPS client has been terminated by the server"},
    {cudaErrorCdpNotSupported, "cudaErrorCdpNotSupported",
     "is using CUDA Dynamic Parallelism, but the current configuration, like MPS, does not support "
     "it"},
    {cudaErrorCdpVersionMismatch, "cudaErrorCdpVersionMismatch",
     "unsupported interaction between different versions of CUDA Dynamic Parallelism"},
    {cudaErrorStreamCaptureUnsupported, "cudaErrorStreamCaptureUnsupported",
     "operation not permitted when stream is capturing"},
    {cudaErrorStreamCaptureInvalidated, "cudaErrorStreamCaptureInvalidated",
     "operation failed due to a previous error during capture"},
    {cudaErrorStreamCaptureMerge, "cudaErrorStreamCaptureMerge",
     "operation would result in a merge of separate capture sequences"},
    {cudaErrorStreamCaptureUnmatched, "cudaErrorStreamCaptureUnmatched",
     "capture was not ended in the same stream as it began"},
    {cudaErrorStreamCaptureUnjoined, "cudaErrorStreamCaptureUnjoined",
     "capturing stream has unjoined work"},
    {cudaErrorStreamCaptureIsolation, "cudaErrorStreamCaptureIsolation",
     "dependency created on uncaptured work in another stream"},
    {cudaErrorStreamCaptureImplicit, "cudaErrorStreamCaptureImplicit",
     "operation would make the legacy stream depend on a capturing blocking stream"},
    {cudaErrorCapturedEvent, "cudaErrorCapturedEvent",
     "operation not permitted on an event last recorded in a capturing stream"},
    {cudaErrorStreamCaptureWrongThread, "cudaErrorStreamCaptureWrongThread",
     "attempt to terminate a thread-local capture sequence from another thread"},
    {cudaErrorTimeout, "cudaErrorTimeout", "wait operation timed out"},
    {cudaErrorGraphExecUpdateFailure, "cudaErrorGraphExecUpdateFailure",
     "the graph update was not performed because it included changes which violated constraints "
     "specific to instantiated graph update"},
    {cudaErrorExternalDevice, "cudaErrorExternalDevice",
     "an async error has occured in external entity outside of CUDA"},
    {cudaErrorInvalidClusterSize, "cudaErrorInvalidClusterSize",
     "a kernel launch error has occurred due to cluster misconfiguration"},
    {cudaErrorFunctionNotLoaded, "cudaErrorFunctionNotLoaded",
     "the function handle is not loaded when calling an API that requires a loaded function"},
    {cudaErrorInvalidResourceType, "cudaErrorInvalidResourceType",
     "one or more resources passed in are not valid resource types for the operation"},
    {cudaErrorInvalidResourceConfiguration, "cudaErrorInvalidResourceConfiguration",
     "one or more resources are insufficient or non-applicable for the operation"},
    {cudaErrorUnknown, "cudaErrorUnknown", "unknown error"},
};

const error_text* find_error(cudaError_t code) {
  for (const error_text& e : error_texts)
    if (e.code == code) return &e;
  return nullptr;
}

thread_local cudaError_t thread_last_error = cudaSuccess;
thread_local int thread_device = 0;

// Reads KR_EMU_SCHEDULE: "forward", "reverse" or a decimal seed. A value that is none of these
// stops the process, since a mistyped schedule would otherwise test the wrong thing silently.
std::uint64_t seed_from_environment() {
  const char* value = std::getenv("KR_EMU_SCHEDULE");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "forward") == 0) return 0;
  if (std::strcmp(value, "reverse") == 0) return 1;
  char* end = nullptr;
  const unsigned long long seed = std::strtoull(value, &end, 10);
  if (*end != '\0' || value[0] == '-') {
    std::fprintf(stderr, "kr_emu: KR_EMU_SCHEDULE=\"%s\" is not forward, reverse or a number\n",
                 value);
    std::abort();
  }
  return seed;
}

// Reads KR_EMU_MATH: "gpu" (or unset) or "accurate"; anything else stops the process.
bool accurate_math_from_environment() {
  const char* value = std::getenv("KR_EMU_MATH");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "gpu") == 0) return false;
  if (std::strcmp(value, "accurate") == 0) return true;
  std::fprintf(stderr, "kr_emu: KR_EMU_MATH=\"%s\" is not gpu or accurate\n", value);
  std::abort();
}

// Reads KR_EMU_WATCHDOG_SECONDS: the watchdog's bound in seconds, 0 to switch it off.
double watchdog_seconds_from_environment() {
  const char* value = std::getenv("KR_EMU_WATCHDOG_SECONDS");
  if (value == nullptr || *value == '\0') return default_watchdog_seconds;
  char* end = nullptr;
  const double seconds = std::strtod(value, &end);
  if (*end != '\0' || !(seconds >= 0)) {
    std::fprintf(stderr, "kr_emu: KR_EMU_WATCHDOG_SECONDS=\"%s\" is not a number of seconds\n", value);
    std::abort();
  }
  return seconds;
}

void restore_defaults(platform& p) {
  p.devices.assign(1, emulated_device{default_properties()});
  p.math_accurate = accurate_math_from_environment();
  p.watchdog_seconds = watchdog_seconds_from_environment();
  p.injections.clear();
  p.schedule_seed = seed_from_environment();
  p.fault_message.clear();
  p.no_device_error = cudaErrorNoDevice;
  p.device_heap_limit = default_device_heap_limit;
  // Live allocations made on device 0 keep counting against it; other devices come back empty.
  for (const auto& a : p.allocations)
    if (a.second.device == 0) p.devices[0].live_bytes += a.second.size;
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
  void* block = nullptr;
  if (size > std::numeric_limits<std::size_t>::max() - 2 * guard_bytes ||
      posix_memalign(&block, 256, size + 2 * guard_bytes) != 0)
    return fail(cudaErrorMemoryAllocation);
  char* memory = static_cast<char*>(block) + guard_bytes;
  std::memset(memory, poison_for_seed(s.schedule_seed), size);
  fill_guards(memory, size);
  s.allocations.emplace(reinterpret_cast<std::uintptr_t>(memory),
                        allocation{size, current_device()});
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
  (std::free)(block);
  return cudaSuccess;
}

std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

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

platform& state() {
  static platform* instance = [] {
    platform* p = new platform;  // never destroyed: kernels may run from static destructors
    restore_defaults(*p);
    return p;
  }();
  return *instance;
}

cudaDeviceProp default_properties() {
  // A small Turing-class GPU.
  cudaDeviceProp p;
  std::memset(&p, 0, sizeof p);
  std::snprintf(p.name, sizeof p.name, "%s", "Emulated CUDA Device");
  p.totalGlobalMem = std::size_t{4} << 30;
  p.sharedMemPerBlock = 49152;
  p.regsPerBlock = 65536;
  p.warpSize = 32;
  p.memPitch = 2147483647;
  p.maxThreadsPerBlock = 1024;
  p.maxThreadsDim[0] = 1024;
  p.maxThreadsDim[1] = 1024;
  p.maxThreadsDim[2] = 64;
  p.maxGridSize[0] = 2147483647;
  p.maxGridSize[1] = 65535;
  p.maxGridSize[2] = 65535;
  p.totalConstMem = 65536;
  p.major = 7;
  p.minor = 5;
  p.textureAlignment = 512;
  p.texturePitchAlignment = 32;
  p.multiProcessorCount = 4;
  p.concurrentKernels = 1;
  p.asyncEngineCount = 2;
  p.unifiedAddressing = 1;
  p.memoryBusWidth = 128;
  p.l2CacheSize = 1048576;
  p.maxThreadsPerMultiProcessor = 1024;
  p.globalL1CacheSupported = 1;
  p.localL1CacheSupported = 1;
  p.sharedMemPerMultiprocessor = 65536;
  p.regsPerMultiprocessor = 65536;
  p.managedMemory = 1;
  p.computePreemptionSupported = 1;
  p.cooperativeLaunch = 1;
  p.sharedMemPerBlockOptin = 65536;
  p.maxBlocksPerMultiProcessor = 16;
  p.memoryPoolsSupported = 1;
  return p;
}

cudaError_t& last_error() { return thread_last_error; }
int& current_device() { return thread_device; }

cudaError_t take_injection(api function) {
  platform& s = state();
  if (s.injections.empty()) return cudaSuccess;
  cudaError_t fired = cudaSuccess;
  for (injection& i : s.injections) {
    if (i.function != function) continue;
    if (--i.remaining == 0 && fired == cudaSuccess) fired = i.error;
  }
  s.injections.erase(std::remove_if(s.injections.begin(), s.injections.end(),
                                    [](const injection& i) { return i.remaining <= 0; }),
                     s.injections.end());
  return fired;
}

emulated_device& current() {
  platform& s = state();
  int& d = current_device();
  if (d < 0 || d >= static_cast<int>(s.devices.size())) d = 0;
  return s.devices[d];
}

cudaError_t device_status() {
  if (state().devices.empty()) return cudaErrorNoDevice;
  return current().sticky_error;
}

bool valid_stream(cudaStream_t stream) {
  if (stream == nullptr || stream == cudaStreamLegacy || stream == cudaStreamPerThread) return true;
  const auto& streams = state().streams;
  return std::find(streams.begin(), streams.end(), stream) != streams.end() &&
         stream->device == current_device();
}

}  // namespace detail

using detail::api;
using detail::fail;
using detail::state;

// ---- test controls ----

void reset() {
  kr_emu::detail::state_lock lock;
  detail::platform& s = state();
  s.devices.clear();
  detail::restore_defaults(s);
  detail::last_error() = cudaSuccess;
  detail::current_device() = 0;
}

void set_device_count(int count) {
  kr_emu::detail::state_lock lock;
  if (count < 0) throw std::invalid_argument("kr_emu::set_device_count: negative count");
  detail::platform& s = state();
  s.devices.resize(static_cast<std::size_t>(count),
                   detail::emulated_device{detail::default_properties()});
}

int device_count() {
  kr_emu::detail::state_lock lock;
  return static_cast<int>(state().devices.size());
}

cudaDeviceProp& device_properties(int ordinal) {
  kr_emu::detail::state_lock lock;
  detail::platform& s = state();
  if (ordinal < 0 || ordinal >= static_cast<int>(s.devices.size()))
    throw std::out_of_range("kr_emu::device_properties: no such device");
  return s.devices[static_cast<std::size_t>(ordinal)].properties;
}

void fail_call(const char* function, cudaError_t error, int nth) {
  kr_emu::detail::state_lock lock;
  if (nth < 1) throw std::invalid_argument("kr_emu::fail_call: nth must be at least 1");
  for (int i = 0; i < static_cast<int>(api::count); ++i) {
    if (std::strcmp(detail::api_names[i], function) == 0) {
      state().injections.push_back(detail::injection{static_cast<api>(i), error, nth});
      return;
    }
  }
  throw std::invalid_argument(std::string("kr_emu::fail_call: unknown function ") + function);
}

void clear_injected_failures() {
  kr_emu::detail::state_lock lock;
  state().injections.clear();
}

void set_schedule_seed(std::uint64_t seed) {
  kr_emu::detail::state_lock lock;
  state().schedule_seed = seed;
}

std::uint64_t schedule_seed() {
  kr_emu::detail::state_lock lock;
  return state().schedule_seed;
}

std::size_t live_allocation_count() {
  kr_emu::detail::state_lock lock;
  return state().allocations.size();
}

std::size_t live_allocation_bytes() {
  kr_emu::detail::state_lock lock;
  return state().live_bytes;
}

const char* last_fault_message() {
  kr_emu::detail::state_lock lock;
  return state().fault_message.c_str();
}

void set_math_mode(math_mode mode) {
  kr_emu::detail::state_lock lock;
  state().math_accurate = mode == math_mode::accurate;
}

math_mode current_math_mode() {
  kr_emu::detail::state_lock lock;
  return state().math_accurate ? math_mode::accurate : math_mode::gpu;
}

unsigned char poison_byte() {
  kr_emu::detail::state_lock lock;
  return detail::poison_for_seed(state().schedule_seed);
}

void set_watchdog_seconds(double seconds) {
  kr_emu::detail::state_lock lock;
  if (!(seconds >= 0)) throw std::invalid_argument("kr_emu::set_watchdog_seconds: negative or NaN");
  state().watchdog_seconds = seconds;
}

void set_no_device_error(cudaError_t error) {
  kr_emu::detail::state_lock lock;
  state().no_device_error = error;
}

}  // namespace kr_emu

// ---- runtime API ----

#define KR_EMU_ENTER(function)                                                      \
  kr_emu::detail::state_lock kr_lock;     \
  if (cudaError_t injected = kr_emu::detail::take_injection(kr_emu::api::function)) \
  return kr_emu::fail(injected)

using kr_emu::fail;
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
  cudaStream_t stream = new CUstream_st{current_device()};
  state().streams.push_back(stream);
  *pStream = stream;
  return cudaSuccess;
}

cudaError_t cudaStreamCreate(cudaStream_t* pStream) {
  KR_EMU_ENTER(cudaStreamCreate);
  if (pStream == nullptr) return fail(cudaErrorInvalidValue);
  if (cudaError_t e = device_status()) return fail(e);
  cudaStream_t stream = new CUstream_st{current_device()};
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
  streams.erase(it);
  delete stream;
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  KR_EMU_ENTER(cudaStreamSynchronize);
  if (cudaError_t e = device_status()) return fail(e);
  if (!kr_emu::detail::valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}

cudaError_t cudaStreamQuery(cudaStream_t stream) {
  KR_EMU_ENTER(cudaStreamQuery);
  if (cudaError_t e = device_status()) return fail(e);
  if (!kr_emu::detail::valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}

cudaError_t cudaGetLastError() {
  kr_emu::detail::state_lock lock;
  if (cudaError_t injected = kr_emu::detail::take_injection(kr_emu::api::cudaGetLastError))
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
  if (cudaError_t injected = kr_emu::detail::take_injection(kr_emu::api::cudaPeekAtLastError))
    return injected;
  if (!state().devices.empty() && current().sticky_error != cudaSuccess)
    return current().sticky_error;
  return kr_emu::detail::last_error();
}

const char* cudaGetErrorString(cudaError_t error) {
  const kr_emu::detail::error_text* e = kr_emu::detail::find_error(error);
  return e != nullptr ? e->text : "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error) {
  const kr_emu::detail::error_text* e = kr_emu::detail::find_error(error);
  return e != nullptr ? e->name : "unrecognized error code";
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
  if (cudaError_t e = kr_emu::detail::release(devPtr)) return e;
  return fail(device_status());
}

cudaError_t cudaFreeAsync(void* devPtr, cudaStream_t hStream) {
  KR_EMU_ENTER(cudaFreeAsync);
  if (state().devices.empty()) return fail(cudaErrorNoDevice);
  if (!kr_emu::detail::valid_stream(hStream)) return fail(cudaErrorInvalidResourceHandle);
  if (cudaError_t e = kr_emu::detail::release(devPtr)) return e;
  return fail(device_status());
}

namespace {

cudaError_t copy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  if (cudaError_t e = device_status()) return fail(e);
  if (kind < cudaMemcpyHostToHost || kind > cudaMemcpyDefault)
    return fail(cudaErrorInvalidMemcpyDirection);
  if (count == 0) return cudaSuccess;
  if (!kr_emu::detail::valid_copy(dst, src, count, kind)) return fail(cudaErrorInvalidValue);
  // The runtime copies like memcpy: overlapping ranges are undefined there, so they are refused.
  const auto d = reinterpret_cast<std::uintptr_t>(dst), s = reinterpret_cast<std::uintptr_t>(src);
  if (d < s + count && s < d + count) return fail(cudaErrorInvalidValue);
  std::memcpy(dst, src, count);
  kr_emu::detail::check_guards(nullptr, "a copy");
  return device_status() == cudaSuccess ? cudaSuccess : fail(device_status());
}

cudaError_t fill(void* devPtr, int value, size_t count) {
  if (cudaError_t e = device_status()) return fail(e);
  if (count == 0) return cudaSuccess;
  if (kr_emu::detail::containing(devPtr, count) == nullptr) return fail(cudaErrorInvalidValue);
  std::memset(devPtr, value & 0xff, count);
  kr_emu::detail::check_guards(nullptr, "a fill");
  return device_status() == cudaSuccess ? cudaSuccess : fail(device_status());
}

}  // namespace

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  KR_EMU_ENTER(cudaMemcpy);
  return copy(dst, src, count, kind);
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream) {
  KR_EMU_ENTER(cudaMemcpyAsync);
  if (cudaError_t e = device_status()) return fail(e);
  if (!kr_emu::detail::valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  return copy(dst, src, count, kind);
}

cudaError_t cudaMemset(void* devPtr, int value, size_t count) {
  KR_EMU_ENTER(cudaMemset);
  return fill(devPtr, value, count);
}

cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream) {
  KR_EMU_ENTER(cudaMemsetAsync);
  if (cudaError_t e = device_status()) return fail(e);
  if (!kr_emu::detail::valid_stream(stream)) return fail(cudaErrorInvalidResourceHandle);
  return fill(devPtr, value, count);
}
