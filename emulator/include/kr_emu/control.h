// Test controls of the CUDA emulator. Host code of tests and benchmarks only: nothing here is
// exported from the libraries, and library sources never include this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

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

// Sparse device memory, for tests of shapes larger than this machine's memory: while it is on,
// every device's totalGlobalMem is `capacity` bytes and new device allocations are reserved
// address space (mmap with MAP_NORESERVE) whose pages are committed only where something writes.
// Fresh sparse memory reads as zeros instead of the poison byte (filling it would commit it all);
// guard zones are kept and checked as for every allocation, and a cudaMemset to zero gives the
// whole pages it covers back instead of writing them. 0 switches it off (totalGlobalMem back to
// the default, new allocations dense again); reset() does too. Live allocations stay valid.
void set_sparse_memory(std::size_t capacity);
bool sparse_memory();

// Block filter: launches run only the blocks it chooses; the others are skipped as if they had
// run (they neither write nor fault). Blocks are named by their linear index
// blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z) within a grid of `block_count`;
// the choice is made when a launch is accepted, and the chosen blocks run in the schedule's order
// among themselves (ascending forward, descending reverse, a seeded permutation otherwise).
// reset() removes the filter.
using block_filter = std::function<bool(std::uint64_t block, std::uint64_t block_count)>;
void set_block_filter(block_filter filter);  // an empty function: every block
void set_block_filter(std::vector<std::uint64_t> blocks);  // indices past a grid's end choose nothing
// The first block, the last and an even spread between: `count` blocks of each grid, block
// floor(i (n - 1) / (count - 1)) for i = 0 ... count - 1 (every block of a grid of at most
// `count`; the first alone for a count of 1). A count of 0 is refused.
void sample_blocks(std::uint64_t count);
void clear_block_filter();
// Whether the filter chooses `block` of a grid of `block_count` (always, without a filter).
bool block_selected(std::uint64_t block, std::uint64_t block_count);

// The blocks of the most recently accepted launch: its block count and, under a filter, the
// chosen blocks in ascending order (every_block and an empty list without one). A profiler
// scales what it saw by grid_blocks / ran.size().
struct launch_blocks {
  std::uint64_t grid_blocks = 0;
  bool every_block = true;
  std::vector<std::uint64_t> ran;
};
launch_blocks last_launch_blocks();

}  // namespace kr_emu
