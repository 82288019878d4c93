// The CUDA runtime API calls the emulator implements, with the toolkit's signatures. Each one
// validates like the real runtime, records a failure as the thread's last error and is subject to
// injected failures (kr_emu::fail_call).
#pragma once

#include <cstddef>

#include "driver_types.h"

#pragma GCC visibility push(hidden)

// Devices.
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaDriverGetVersion(int* driverVersion);
cudaError_t cudaRuntimeGetVersion(int* runtimeVersion);
cudaError_t cudaDeviceSynchronize();
cudaError_t cudaDeviceGetLimit(size_t* pValue, cudaLimit limit);
cudaError_t cudaDeviceSetLimit(cudaLimit limit, size_t value);
cudaError_t cudaMemGetInfo(size_t* free, size_t* total);

// Streams. Work runs when it is queued, so a stream is a validated handle and nothing more.
cudaError_t cudaStreamCreate(cudaStream_t* pStream);
cudaError_t cudaStreamCreateWithFlags(cudaStream_t* pStream, unsigned int flags);
cudaError_t cudaStreamDestroy(cudaStream_t stream);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaStreamQuery(cudaStream_t stream);
#define cudaStreamDefault 0x00
#define cudaStreamNonBlocking 0x01

// Errors.
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
const char* cudaGetErrorName(cudaError_t error);

// Memory.
cudaError_t cudaMalloc(void** devPtr, size_t size);
cudaError_t cudaFree(void* devPtr);
cudaError_t cudaMallocAsync(void** devPtr, size_t size, cudaStream_t hStream);
cudaError_t cudaFreeAsync(void* devPtr, cudaStream_t hStream);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = 0);
cudaError_t cudaMemset(void* devPtr, int value, size_t count);
cudaError_t cudaMemsetAsync(void* devPtr, int value, size_t count, cudaStream_t stream = 0);

// Stream-ordered memory pools (src/memory_pool.cpp): each device's default pool and its
// attributes. The emulator returns freed memory at once, so a pool reserves exactly what is in
// use; the release threshold and the reuse policies are kept and reported as set.
cudaError_t cudaDeviceGetDefaultMemPool(cudaMemPool_t* memPool, int device);
cudaError_t cudaMemPoolSetAttribute(cudaMemPool_t memPool, cudaMemPoolAttr attr, void* value);
cudaError_t cudaMemPoolGetAttribute(cudaMemPool_t memPool, cudaMemPoolAttr attr, void* value);

// Typed conveniences the toolkit's cuda_runtime.h offers.
template <class T>
inline cudaError_t cudaMalloc(T** devPtr, size_t size) {
  return ::cudaMalloc(reinterpret_cast<void**>(devPtr), size);
}
template <class T>
inline cudaError_t cudaMallocAsync(T** devPtr, size_t size, cudaStream_t hStream) {
  return ::cudaMallocAsync(reinterpret_cast<void**>(devPtr), size, hStream);
}

#pragma GCC visibility pop
