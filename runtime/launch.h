// The operator-entry pattern shared by every entry: device addresses from buffer records and byte
// offsets, a launch on the default stream, one read of the runtime's last error, a status.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "runtime/error_stack.h"
#include "runtime/errors.h"

namespace kr {

template <typename T>
struct same_type {
  using type = T;
};

// Queues `kernel` with the given shape, no dynamic shared memory. The arguments are converted to
// the kernel's own parameter types first, so the addresses handed to the runtime point at values
// of exactly the types the kernel reads.
template <typename... P>
cudaError_t launch_kernel(void (*kernel)(P...), dim3 grid, dim3 block, cudaStream_t stream,
                          typename same_type<P>::type... args) {
  void* params[sizeof...(P) > 0 ? sizeof...(P) : 1] = {static_cast<void*>(&args)...};
  return cudaLaunchKernel(kernel, grid, block, params, 0, stream);
}

// Default-stream launch, the common case.
template <typename... P>
cudaError_t launch_kernel(void (*kernel)(P...), dim3 grid, dim3 block,
                          typename same_type<P>::type... args) {
  return launch_kernel<P...>(kernel, grid, block, cudaStream_t{}, args...);
}

// Reads and clears the runtime's last error, so that the next launch check does not see a
// failure that has already been reported. Returns its text for messages that name it.
inline const char* clear_last_error() { return cudaGetErrorString(cudaGetLastError()); }

// Whether a runtime call failed; a failure's last error is cleared (see clear_last_error).
inline bool failed(cudaError_t e) {
  if (e == cudaSuccess) return false;
  clear_last_error();
  return true;
}

// The launch check after an entry's last launch: reads (and so clears) the runtime's last error
// exactly once. `launched` is the result of the last launch call, so that a refusal is reported
// even if the runtime did not also record it as the last error.
inline kr_status_t finish_launch(cudaError_t launched, const kr_error_record& failure) {
  const cudaError_t last = cudaGetLastError();
  if (last != cudaSuccess || launched != cudaSuccess) {
    KR_FAIL(failure);
    return KR_STATUS_RUNTIME_ERROR;
  }
  return KR_STATUS_SUCCESS;
}

// Buffer address plus a sign-extended byte offset, computed on integers so that no pointer
// arithmetic leaves an object.
inline uintptr_t offset_address(const kr_omu_buffer* buffer, int32_t offset) {
  return reinterpret_cast<uintptr_t>(buffer->address) + static_cast<uintptr_t>(static_cast<intptr_t>(offset));
}

// Resolves one buffer field of an argument record into a typed device address. False when the
// buffer record is missing or when the address is not aligned for T: such a record would crash the
// process or fault the device, so the entry refuses it before launching.
template <typename T>
bool resolve(const kr_omu_buffer* buffer, int32_t offset, T** out) {
  if (buffer == nullptr) return false;
  const uintptr_t address = offset_address(buffer, offset);
  if (address % alignof(T) != 0) return false;
  *out = reinterpret_cast<T*>(address);
  return true;
}

// Whether every address is a multiple of `alignment` bytes (vectorised paths).
template <typename... T>
bool all_aligned(size_t alignment, const T*... addresses) {
  return ((reinterpret_cast<uintptr_t>(addresses) % alignment == 0) && ...);
}

// Blocks of `block` threads covering a non-negative `count`, in unsigned 32-bit arithmetic that
// cannot wrap (count < 2^31). False for a negative count: its grid would be huge and its element
// indices would wrap negative, so the entry refuses it (status 3) before launching. Kernels compare
// the unsigned index blockIdx.x * blockDim.x + threadIdx.x with the count, so that no thread of
// the last block wraps either.
inline bool blocks_for(int32_t count, uint32_t block, unsigned int* blocks) {
  if (count < 0) return false;
  *blocks = (static_cast<uint32_t>(count) + block - 1u) / block;
  return true;
}

// Grid of `count` elements in blocks of 256 threads: (count + 255) >> 8 in unsigned 32-bit
// arithmetic, so count 0 gives an empty grid that the runtime refuses.
inline unsigned int blocks_of_256(int32_t count) {
  return (static_cast<uint32_t>(count) + 255u) >> 8;
}

}  // namespace kr
