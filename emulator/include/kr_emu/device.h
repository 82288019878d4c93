// Device-side facilities of CUDA C++ for kernels compiled by the host compiler: execution-space
// qualifiers, __shared__, the built-in index variables and in-kernel malloc here; block barriers
// and warp collectives in kr_emu/sync.h, atomics in kr_emu/atomics.h, integer and rounding
// intrinsics in kr_emu/intrinsics.h and the device math library in kr_emu/device_math.h, all included
// below.
//
// How kernels run: each CUDA thread of a block is a fiber, blocks run one after another on the
// launching host thread. Barriers and warp collectives are rendezvous points where fibers switch;
// code between two of them runs without interruption. Misuse that is undefined on a GPU (threads
// at different barriers, a lane outside its own shuffle mask, lanes disagreeing on a mask, a
// deadlock) ends the kernel with a sticky cudaErrorLaunchFailure and a message naming the call
// sites, so a kernel that passes here does not rely on one particular GPU's behaviour. A kernel
// that spins without reaching a rendezvous ends in a sticky cudaErrorLaunchTimeout (the watchdog),
// and a write outside its device allocations in a sticky cudaErrorIllegalAddress (guard zones,
// checked after the launch). The race build (-DKR_SANITIZE=thread) reports unsynchronised
// accesses between CUDA threads.
//
// __shared__ is for function-scope declarations only (`__shared__ float tile[256];` inside a
// kernel or device function). It expands to static storage, which is one instance per running
// block because blocks never overlap. Every shared array, those of template functions included
// and in every build, lies in one linker-gathered range (src/shared_memory.ld) that is filled with
// the poison byte (kr_emu::poison_byte(), which varies with the schedule seed) before every
// block, so reading shared memory before writing it gives NaNs, huge or all-ones values instead of
// what a previous block left. The AddressSanitizer build keeps the arrays' redzones, so
// out-of-bounds accesses to them are reported. `extern __shared__` (dynamic shared memory) is not
// available.
#pragma once

#include <math.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "kr_emu/sanitizers.h"
#include "vector_types.h"

// Execution spaces and storage classes. `unused` keeps the host compiler quiet about kernels,
// helpers and constant tables that a module defines for the device but never calls on the host.
#define __global__ __attribute__((unused))
#define __device__ __attribute__((unused))
#define __host__
#define __constant__ __attribute__((unused))
#define __forceinline__ inline __attribute__((always_inline))
#define __launch_bounds__(...)
#define __align__(n) __attribute__((aligned(n)))
// `used` tells the compiler that code it cannot see reads and writes these arrays (the other
// fibers of the block, the poison fill), so it neither caches them across a barrier nor reshapes
// them on the assumption that only the visible stores can change them. The ABI tag puts
// "kr_emu_shared" into every array's symbol (templates included), and with it into the name of
// the section the compiler gives the array when it ignores the section attribute (GCC inside
// templates) or is not given one (the AddressSanitizer build, which keeps its redzones around
// ordinary statics only): src/shared_memory.ld gathers all of them into one range.
#if defined(KR_EMU_ASAN)
#define __shared__ static __attribute__((used, abi_tag("kr_emu_shared")))
#else
// One section per array: GCC refuses to mix the statics of inline functions (COMDAT) and of
// ordinary functions in one named section of a translation unit. The linker gathers them all.
#define KR_EMU_SHARED_SECTION_NAME(n) KR_EMU_SHARED_SECTION_NAME2(n)
#define KR_EMU_SHARED_SECTION_NAME2(n) "kr_emu_shared." #n
#define __shared__ \
  static __attribute__((used, abi_tag("kr_emu_shared"), section(KR_EMU_SHARED_SECTION_NAME(__COUNTER__))))
#endif

#pragma GCC visibility push(hidden)

// Built-in variables of the running thread. The scheduler rewrites them whenever it resumes a
// fiber, so every read sees the values of the thread that executes it.
extern uint3 threadIdx;
extern uint3 blockIdx;
extern dim3 blockDim;
extern dim3 gridDim;
extern const int warpSize;

#pragma GCC visibility pop

#include "kr_emu/sync.h"
#include "kr_emu/atomics.h"
#include "kr_emu/intrinsics.h"
#include "kr_emu/device_math.h"

#pragma GCC visibility push(hidden)

// In-kernel malloc and free. The calls are routed through the emulator so that, inside a kernel,
// they draw on a device heap with the runtime's limit (8 MiB unless cudaDeviceSetLimit changes
// it; an allocation beyond it returns null, memory is poison-filled) and a free of anything else
// is a kernel fault. Outside a kernel they are the C library's malloc and free. The redirection is
// a function-like macro, so any header included after this one that names a member or
// declaration `malloc(`/`free(` sees the replacement names; declarations of the C functions
// themselves remain valid.
extern "C" {
void* kr_emu_malloc(std::size_t size) noexcept;
void kr_emu_free(void* ptr) noexcept;
}
namespace std {
using ::kr_emu_free;
using ::kr_emu_malloc;
}  // namespace std
#define malloc(size) kr_emu_malloc(size)
#define free(ptr) kr_emu_free(ptr)

#pragma GCC visibility pop
