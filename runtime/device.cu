// Device contexts: open, close, listing. Also the runtime's kernel module, whose only kernel proves
// at open that the library's GPU code runs on the selected device.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "numerics/fixed_point.cuh"
#include "runtime/error_stack.h"
#include "runtime/errors.h"
#include "runtime/launch.h"

// grid 1, block 1: does nothing; a failed launch means the GPU code cannot run on this device.
static __global__ void __launch_bounds__(1) compatibility_test_kernel() {}

namespace kr {
namespace {

constexpr int stream_count = 8;

void close_device(kr_omu_device* device) {
  if (device == nullptr) return;
  if (device->streams != nullptr) {
    for (int i = 0; i < stream_count; ++i) {
      if (device->streams[i] != nullptr) failed(cudaStreamDestroy(device->streams[i]));
    }
    free(device->streams);
  }
  free(device->properties);
  free(device);
}

// Freed buffers and the per-call scratch of the entries go back to the device's stream-ordered
// pool and are reused from there by later allocations, instead of being returned to the operating
// system at every synchronisation (the pool's default threshold of 0 bytes). A device or driver
// whose pool refuses the setting still allocates as before, only releasing sooner; the open goes on.
void keep_pool_memory(int ordinal) {
  cudaMemPool_t pool = nullptr;
  uint64_t threshold = UINT64_MAX;
  if (failed(cudaDeviceGetDefaultMemPool(&pool, ordinal))) return;
  if (failed(cudaMemPoolSetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &threshold))) return;
}

void capture_properties(kr_omu_device_properties* p, const cudaDeviceProp& prop) {
  p->major = prop.major;
  p->minor = prop.minor;
  p->total_global_mem = static_cast<uint64_t>(prop.totalGlobalMem);
  p->multiprocessor_count = prop.multiProcessorCount;
  p->max_threads_per_multiprocessor = prop.maxThreadsPerMultiProcessor;
  p->max_threads_per_block = prop.maxThreadsPerBlock;
  p->shared_mem_per_block = static_cast<int32_t>(static_cast<uint32_t>(prop.sharedMemPerBlock));
  p->shared_mem_per_multiprocessor =
      static_cast<int32_t>(static_cast<uint32_t>(prop.sharedMemPerMultiprocessor));
  for (int i = 0; i < 3; ++i) {
    p->max_threads_dim[i] = prop.maxThreadsDim[i];
    p->max_grid_size[i] = prop.maxGridSize[i];
  }
}

kr_status_t open_device(int32_t index, kr_omu_device** out_device) {
  kr_omu_device* device = static_cast<kr_omu_device*>(calloc(1, sizeof(kr_omu_device)));
  if (device == nullptr) {
    KR_FAIL(error_host_out_of_memory);
    return KR_STATUS_OUT_OF_MEMORY;
  }

  int count = 0;
  if (failed(cudaGetDeviceCount(&count))) {
    KR_FAIL(error_device_communication);
    close_device(device);
    return KR_STATUS_RUNTIME_ERROR;
  }
  if (index >= count) {
    KR_FAIL(error_device_index, index, count);
    close_device(device);
    return KR_STATUS_INVALID_ARGUMENT;
  }

  int ordinal = 0;
  if (failed(cudaSetDevice(index)) || failed(cudaGetDevice(&ordinal))) {
    KR_FAIL(error_device_communication);
    close_device(device);
    return KR_STATUS_RUNTIME_ERROR;
  }
  device->ordinal = ordinal;
  keep_pool_memory(ordinal);

  const cudaError_t launched = launch_kernel(compatibility_test_kernel, dim3(1), dim3(1));
  cudaError_t last = cudaGetLastError();
  if (last == cudaSuccess) last = launched;
  if (last != cudaSuccess) {
    KR_FAIL(error_driver_incompatible, cudaGetErrorString(last));
    close_device(device);
    return KR_STATUS_RUNTIME_ERROR;
  }

  kr_omu_device_properties* properties =
      static_cast<kr_omu_device_properties*>(calloc(1, sizeof(kr_omu_device_properties)));
  if (properties == nullptr) {
    KR_FAIL(error_host_out_of_memory);
    close_device(device);
    return KR_STATUS_OUT_OF_MEMORY;
  }

  cudaDeviceProp prop;
  memset(&prop, 0, sizeof prop);
  if (cudaGetDeviceProperties(&prop, ordinal) != cudaSuccess) {
    properties->properties_error = clear_last_error();
    memset(&prop, 0, sizeof prop);
  }
  capture_properties(properties, prop);

  if (prop.warpSize != 32 || prop.maxGridSize[0] < 65535) {
    KR_FAIL(error_device_incompatible);
    free(properties);
    close_device(device);
    return KR_STATUS_RUNTIME_ERROR;
  }

  int version = 0;
  if (cudaDriverGetVersion(&version) != cudaSuccess) {
    properties->driver_version_error = clear_last_error();
  } else {
    properties->driver_version = version;
  }
  version = 0;
  if (cudaRuntimeGetVersion(&version) != cudaSuccess) {
    properties->runtime_version_error = clear_last_error();
  } else {
    properties->runtime_version = version;
  }
  device->properties = properties;

  device->streams = static_cast<cudaStream_t*>(calloc(stream_count, sizeof(cudaStream_t)));
  if (device->streams == nullptr) {
    KR_FAIL(error_host_out_of_memory);
    close_device(device);
    return KR_STATUS_OUT_OF_MEMORY;
  }
  for (int i = 0; i < stream_count; ++i) {
    if (failed(cudaStreamCreate(&device->streams[i]))) {
      device->streams[i] = nullptr;
      KR_FAIL(error_stream_creation);
      close_device(device);  // destroys the streams created so far
      return KR_STATUS_RUNTIME_ERROR;
    }
  }

  *out_device = device;
  return KR_STATUS_SUCCESS;
}

void release_names(char** names, int32_t count) {
  if (names == nullptr) return;
  for (int32_t i = 0; i < count; ++i) free(names[i]);
  free(names);
}

kr_status_t list_devices(char*** out_names, int32_t* out_count) {
  *out_names = nullptr;
  *out_count = 0;

  int count = 0;
  if (failed(cudaGetDeviceCount(&count))) {
    KR_FAIL(error_device_communication);
    return KR_STATUS_SUCCESS;  // an empty list, not a failure
  }
  // calloc of zero entries may return null; keep one slot so an empty list is still an array.
  char** names = static_cast<char**>(calloc(count > 0 ? count : 1, sizeof(char*)));
  if (names == nullptr) {
    KR_FAIL(error_host_out_of_memory);
    return KR_STATUS_OUT_OF_MEMORY;
  }
  for (int i = 0; i < count; ++i) {
    cudaDeviceProp prop;
    memset(&prop, 0, sizeof prop);
    if (failed(cudaGetDeviceProperties(&prop, i))) {
      KR_FAIL(error_device_communication);
      release_names(names, i);
      return KR_STATUS_RUNTIME_ERROR;
    }
    prop.name[sizeof prop.name - 1] = '\0';
    const int length = snprintf(nullptr, 0, "gpu:%d - %s", i, prop.name);
    names[i] = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
    if (names[i] == nullptr) {
      KR_FAIL(error_host_out_of_memory);
      release_names(names, i);
      return KR_STATUS_OUT_OF_MEMORY;
    }
    snprintf(names[i], static_cast<size_t>(length) + 1, "gpu:%d - %s", i, prop.name);
  }
  *out_names = names;
  *out_count = count;
  return KR_STATUS_SUCCESS;
}

}  // namespace
}  // namespace kr

KR_OMU_EXPORT int32_t NvOptimusEnablementCuda = 1;

extern "C" {

// open a device context; a null out pointer is refused
KR_OMU_EXPORT kr_status_t taabe20(int32_t index, kr_omu_device** out_device) {
  if (out_device == nullptr) return KR_STATUS_INVALID_ARGUMENT;
  return kr::open_device(index, out_device);
}

// close a device context
KR_OMU_EXPORT void taabe105(kr_omu_device* device) { kr::close_device(device); }

// list GPUs by name; null out pointers are refused
KR_OMU_EXPORT kr_status_t taabe21(char*** out_names, int32_t* out_count) {
  if (out_names == nullptr || out_count == nullptr) return KR_STATUS_INVALID_ARGUMENT;
  return kr::list_devices(out_names, out_count);
}

// release a name list
KR_OMU_EXPORT void taabe5(char** names, int32_t count) { kr::release_names(names, count); }

}  // extern "C"
