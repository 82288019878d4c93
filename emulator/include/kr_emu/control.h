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

// How kernels evaluate the device math library: `gpu` (the default) gives every accurate function
// the error its CUDA counterpart may have, up to the documented maximum ulps, and the fast
// intrinsics (__expf, __sinf, __fdividef, ...) the structure and the error of the GPU's
// approximations; `accurate` evaluates both with the host's accurate functions, for comparison.
// The environment variable KR_EMU_MATH=gpu|accurate sets the default that reset() restores.
enum class math_mode { gpu, accurate };
void set_math_mode(math_mode mode);
math_mode current_math_mode();

// The byte fresh device memory, in-kernel malloc blocks and shared arrays (before every block) are
// filled with. It varies with the schedule seed, since a kernel may survive one pattern by chance:
// 0xFF (NaN, -1) under the forward schedule, 0x7F (huge positive values) under reverse, and one
// of 0xFF, 0x7F, 0x80 (tiny negative floats, huge negative integers) and 0xA5 for a seeded one.
unsigned char poison_byte();

// Every device allocation (and in-kernel malloc block) has guard zones of a fixed pattern before
// its start and after its end. They are checked after every launch, copy and fill and at
// cudaFree; a damaged guard is a sticky cudaErrorIllegalAddress whose last_fault_message() names
// the kernel (or host code) and the offsets written. The AddressSanitizer build also poisons the
// guards, so it reports any access to them, reads included, where it happens.

// The watchdog ends a kernel in which no thread reaches a barrier, a warp collective, its start or
// its end for this many seconds (a spin-wait), with a sticky cudaErrorLaunchTimeout whose message
// names the spinning thread and the waiting ones. 0 switches it off. Default 10, or
// KR_EMU_WATCHDOG_SECONDS; reset() restores the default.
void set_watchdog_seconds(double seconds);

}  // namespace kr_emu
