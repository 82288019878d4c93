// Test controls of the CUDA emulator. Host code of tests and benchmarks only: nothing here is
// exported from the libraries, and library sources never include this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include <cuda_runtime.h>

namespace kr_emu {

// Restores the default platform: one device with the default properties, no pending fault
// injections, no sticky error, schedule seed from the environment (KR_EMU_SCHEDULE) or forward.
// Live allocations stay valid.
void reset();

// Number of emulated devices (0, 1, 2, ...); new devices get the default properties.
void set_device_count(int count);
int device_count();

// Mutable properties of an emulated device (name, warpSize, maxGridSize, totalGlobalMem, ...).
// cudaGetDeviceProperties reports exactly this record.
cudaDeviceProp& device_properties(int ordinal);

// Makes the nth next call (1 = the next one) of the named runtime function fail with `error`
// without doing anything, e.g. fail_call("cudaStreamCreate", cudaErrorMemoryAllocation, 3).
// The failing call sets the last error as a real failing call would. Several injections may be
// pending at once, for the same or different functions. Names are the CUDA API names:
// cudaGetDeviceCount, cudaSetDevice, cudaGetDevice, cudaGetDeviceProperties, cudaDriverGetVersion,
// cudaRuntimeGetVersion, cudaStreamCreate, cudaStreamDestroy, cudaMallocAsync, cudaFreeAsync,
// cudaMemcpy, cudaMemcpyAsync, cudaMemset, cudaMemsetAsync, cudaLaunchKernel, ...
void fail_call(const char* function, cudaError_t error, int nth = 1);
void clear_injected_failures();

// Order in which fibers of a block resume after a barrier or shuffle, and in which blocks run:
// 0 = forward (linear index order), 1 = reverse, any other value = a pseudo-random permutation
// drawn from that seed.
void set_schedule_seed(std::uint64_t seed);
std::uint64_t schedule_seed();

// Number of live device allocations and their total size in bytes.
std::size_t live_allocation_count();
std::size_t live_allocation_bytes();

// The message of the last kernel fault (barrier divergence, shuffle misuse, deadlock, ...);
// empty when there was none since reset().
const char* last_fault_message();

// The error cudaGetDeviceCount returns, with a count of 0, when there are no devices:
// cudaErrorNoDevice (the default, what the real runtime reports) or cudaSuccess for a runtime that
// reports an empty device list. reset() restores the default.
void set_no_device_error(cudaError_t error);

// The byte pattern fresh device memory and shared memory are filled with.
constexpr unsigned char poison_byte = 0xFF;

}  // namespace kr_emu
