// Device buffers, synchronous transfers, reference-counted host mirrors and host memory.
#include <stdlib.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "runtime/error_stack.h"
#include "runtime/errors.h"
#include "runtime/launch.h"

namespace kr {
namespace {

// Sizes and counts are signed 32-bit and widen with their sign: a negative one becomes a size no
// allocator or copy can satisfy.
size_t widen(int32_t n) { return static_cast<size_t>(static_cast<int64_t>(n)); }

kr_omu_buffer* allocate(int32_t size, int32_t user_value) {
  kr_omu_buffer* buffer = static_cast<kr_omu_buffer*>(malloc(sizeof(kr_omu_buffer)));
  if (buffer == nullptr) return nullptr;
  void* address = nullptr;
  if (failed(cudaMallocAsync(&address, widen(size), cudaStream_t{}))) {
    KR_FAIL(error_device_alloc);
    free(buffer);
    return nullptr;
  }
  buffer->address = address;
  buffer->size = size;
  buffer->user_value = user_value;
  buffer->mirror_refs = 0;
  buffer->mirror = nullptr;
  return buffer;
}

// A mirror still mapped goes with its buffer: once the record is gone nothing could unmap it.
void release(kr_omu_buffer* buffer) {
  if (buffer == nullptr) return;
  failed(cudaFreeAsync(buffer->address, cudaStream_t{}));
  free(buffer->mirror);
  free(buffer);
}

// A negative count would be widened to a copy of about 2^64 bytes; it is reported as the failed
// copy it is without handing the runtime a host range that does not exist.
kr_status_t write(kr_omu_buffer* buffer, const void* source, int32_t offset, int32_t count) {
  if (buffer == nullptr || (source == nullptr && count != 0)) return KR_STATUS_INVALID_ARGUMENT;
  if (count < 0 || failed(cudaMemcpy(reinterpret_cast<void*>(offset_address(buffer, offset)), source, widen(count),
                                     cudaMemcpyHostToDevice))) {
    KR_FAIL(error_copy_to_device);
    return KR_STATUS_RUNTIME_ERROR;
  }
  return KR_STATUS_SUCCESS;
}

kr_status_t read(kr_omu_buffer* buffer, void* destination, int32_t offset, int32_t count) {
  if (buffer == nullptr || (destination == nullptr && count != 0)) return KR_STATUS_INVALID_ARGUMENT;
  if (count < 0 || failed(cudaMemcpy(destination, reinterpret_cast<const void*>(offset_address(buffer, offset)),
                                     widen(count), cudaMemcpyDeviceToHost))) {
    KR_FAIL(error_copy_from_device);
    return KR_STATUS_RUNTIME_ERROR;
  }
  return KR_STATUS_SUCCESS;
}

void* map(kr_omu_buffer* buffer, uint8_t copy_in) {
  if (buffer == nullptr) return nullptr;
  if (buffer->mirror_refs <= 0) {
    void* mirror = buffer->size >= 0 ? malloc(widen(buffer->size)) : nullptr;
    if (mirror == nullptr) return nullptr;
    buffer->mirror = mirror;
    buffer->mirror_refs = 0;
  }
  buffer->mirror_refs += 1;
  // On a failed copy the raised count and the mirror stay; a later unmap balances them.
  if (copy_in != 0 &&
      failed(cudaMemcpy(buffer->mirror, buffer->address, widen(buffer->size), cudaMemcpyDeviceToHost))) {
    KR_FAIL(error_copy_from_device);
    return nullptr;
  }
  return buffer->mirror;
}

// An unmap without a matching map has no mirror to write back or release and does nothing.
void unmap(kr_omu_buffer* buffer, uint8_t copy_out) {
  if (buffer == nullptr || buffer->mirror_refs <= 0 || buffer->mirror == nullptr) return;
  if (copy_out != 0 &&
      failed(cudaMemcpy(buffer->address, buffer->mirror, widen(buffer->size), cudaMemcpyHostToDevice))) {
    KR_FAIL(error_copy_to_device);
  }
  buffer->mirror_refs -= 1;
  if (buffer->mirror_refs == 0) {
    free(buffer->mirror);
    buffer->mirror = nullptr;
  }
}

}  // namespace
}  // namespace kr

extern "C" {

// allocate a device buffer
KR_OMU_EXPORT kr_omu_buffer* taabe79(kr_omu_device*, int32_t size, int32_t user_value) {
  return kr::allocate(size, user_value);
}

// free a device buffer
KR_OMU_EXPORT void taabe10(kr_omu_device*, kr_omu_buffer* buffer) { kr::release(buffer); }

// the buffer's size in bytes
KR_OMU_EXPORT int32_t taabe37(kr_omu_device*, kr_omu_buffer* buffer) {
  return buffer != nullptr ? buffer->size : 0;
}

// write host memory into the buffer at a byte offset
KR_OMU_EXPORT kr_status_t taabe9(kr_omu_device*, kr_omu_buffer* buffer, const void* source, int32_t offset,
                                 int32_t count) {
  return kr::write(buffer, source, offset, count);
}

// read the buffer at a byte offset into host memory
KR_OMU_EXPORT kr_status_t taabe137(kr_omu_device*, kr_omu_buffer* buffer, void* destination, int32_t offset,
                                   int32_t count) {
  return kr::read(buffer, destination, offset, count);
}

// map the host mirror, optionally filled from the device
KR_OMU_EXPORT void* taabe93(kr_omu_device*, kr_omu_buffer* buffer, uint8_t copy_in) {
  return kr::map(buffer, copy_in);
}

// unmap the host mirror, optionally writing it back first
KR_OMU_EXPORT void taabe150(kr_omu_device*, kr_omu_buffer* buffer, uint8_t copy_out) {
  kr::unmap(buffer, copy_out);
}

// allocate host memory; a negative count can never be satisfied
KR_OMU_EXPORT void* taabe68(kr_omu_device*, int32_t count) {
  return count >= 0 ? malloc(kr::widen(count)) : nullptr;
}

// free host memory from taabe68
KR_OMU_EXPORT void taabe197(kr_omu_device*, void* pointer) { free(pointer); }

}  // extern "C"
