// State shared by the runtime calls and the kernel scheduler of the emulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <cuda_runtime.h>

#include "kr_emu/sanitizers.h"
#include "streams.h"

#if defined(KR_EMU_TSAN)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace kr_emu {
namespace detail {

// Runtime functions that can be made to fail (kr_emu::fail_call), in one list: X(name) each.
#define KR_EMU_INJECTABLE_CALLS(X) \
  X(cudaGetDeviceCount) \
  X(cudaSetDevice) \
  X(cudaGetDevice) \
  X(cudaGetDeviceProperties) \
  X(cudaDriverGetVersion) \
  X(cudaRuntimeGetVersion) \
  X(cudaDeviceSynchronize) \
  X(cudaDeviceGetLimit) \
  X(cudaDeviceSetLimit) \
  X(cudaMemGetInfo) \
  X(cudaStreamCreate) \
  X(cudaStreamCreateWithFlags) \
  X(cudaStreamDestroy) \
  X(cudaStreamSynchronize) \
  X(cudaStreamQuery) \
  X(cudaGetLastError) \
  X(cudaPeekAtLastError) \
  X(cudaMalloc) \
  X(cudaFree) \
  X(cudaMallocAsync) \
  X(cudaFreeAsync) \
  X(cudaMemcpy) \
  X(cudaMemcpyAsync) \
  X(cudaMemset) \
  X(cudaMemsetAsync) \
  X(cudaLaunchKernel)

enum class api : int {
#define KR_EMU_API_ENUMERATOR(name) name,
  KR_EMU_INJECTABLE_CALLS(KR_EMU_API_ENUMERATOR)
#undef KR_EMU_API_ENUMERATOR
  count
};

// The CUDA name of an injectable call.
const char* api_name(api function);

struct emulated_device {
  cudaDeviceProp properties;
  cudaError_t sticky_error = cudaSuccess;  // a kernel fault; cleared only by reset()
  std::size_t live_bytes = 0;
};

struct allocation {
  std::size_t size;
  int device;
  std::size_t mapped = 0;  // sparse memory: bytes of the mapping, which starts a page before
};

// The block filter of kr_emu/control.h.
struct block_choice {
  enum class kind { every, list, sample, callback } how = kind::every;
  std::vector<std::uint64_t> list;  // sorted, unique
  std::uint64_t samples = 0;
  std::function<bool(std::uint64_t, std::uint64_t)> callback;
  bool chooses(std::uint64_t block, std::uint64_t count) const;
  // The chosen blocks of a grid of `count`, ascending.
  std::vector<std::uint64_t> chosen(std::uint64_t count) const;
};

struct launched_blocks {
  std::uint64_t grid_blocks = 0;
  bool every_block = true;
  std::vector<std::uint64_t> ran;
};

struct injection {
  api function;
  cudaError_t error;
  int remaining;  // calls until it fires, this one included
};

constexpr double default_watchdog_seconds = 10.0;

struct platform {
  std::recursive_mutex mutex;
  std::vector<emulated_device> devices;
  std::map<std::uintptr_t, allocation> allocations;  // device memory by base address
  std::size_t live_bytes = 0;
  std::vector<CUstream_st*> streams;
  std::vector<injection> injections;
  std::uint64_t schedule_seed = 0;
  std::string fault_message;
  cudaError_t no_device_error = cudaErrorNoDevice;
  std::size_t device_heap_limit = 0;
  std::size_t device_heap_used = 0;
  std::map<std::uintptr_t, std::size_t> device_heap;  // in-kernel malloc blocks
  bool math_accurate = false;                         // kr_emu::math_mode::accurate
  double watchdog_seconds = default_watchdog_seconds;
  std::size_t sparse_capacity = 0;  // nonzero: sparse device memory of this capacity
  block_choice blocks;
  launched_blocks last_launch;
};

// The emulator's state, created on first use with the default platform.
platform& state();

// Whether the calling host thread is executing kernel code (a launch in progress on it).
bool running_kernel();

cudaDeviceProp default_properties();
constexpr std::size_t default_device_heap_limit = std::size_t{8} << 20;

// Per host thread, as in the real runtime.
cudaError_t& last_error();
int& current_device();

// Within this scope ThreadSanitizer records none of the calling fiber's memory accesses and
// allocations: the emulator's bookkeeping done on a kernel thread's behalf (its own code is not
// instrumented, but the C library calls it makes are intercepted).
struct sanitizer_ignore_scope {
#if defined(KR_EMU_TSAN)
  sanitizer_ignore_scope() { __tsan_ignore_thread_begin(); }
  ~sanitizer_ignore_scope() { __tsan_ignore_thread_end(); }
#else
  sanitizer_ignore_scope() {}
#endif
  sanitizer_ignore_scope(const sanitizer_ignore_scope&) = delete;
  sanitizer_ignore_scope& operator=(const sanitizer_ignore_scope&) = delete;
};

// Holds the platform's mutex, except on behalf of kernel code: the launching host thread holds it
// for the whole launch already (and ThreadSanitizer, which sees each CUDA thread as a thread of its
// own, would take a second lock for a double lock).
class state_lock {
 public:
  state_lock() : locked_(!running_kernel()) {
    if (locked_) state().mutex.lock();
  }
  ~state_lock() {
    if (locked_) state().mutex.unlock();
  }
  state_lock(const state_lock&) = delete;
  state_lock& operator=(const state_lock&) = delete;

 private:
  bool locked_;
};

// Records a failure as the thread's last error and returns it.
inline cudaError_t fail(cudaError_t error) {
  if (error != cudaSuccess) last_error() = error;
  return error;
}

// The error an injected failure of this call returns, or cudaSuccess.
cudaError_t take_injection(api function);

// cudaErrorNoDevice when there is no device, else the current device's sticky error or success.
cudaError_t device_status();
emulated_device& current();

// Whether a stream handle may be used on the current device.
bool valid_stream(cudaStream_t stream);

// Device memory (src/memory.cpp). `containing` finds the live allocation that wholly holds
// [ptr, ptr + count); valid_copy checks the device ranges and host pointers of a copy; allocate
// and release back cudaMalloc and cudaFree (and their stream-ordered forms).
const allocation* containing(const void* ptr, std::size_t count);
bool valid_copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
cudaError_t allocate(void** ptr, std::size_t size);
cudaError_t release(void* ptr);
// Fills [ptr, ptr + count) of allocation `a` (a zero fill of sparse memory releases whole pages).
void fill(char* ptr, unsigned char value, std::size_t count, const allocation& a);
std::size_t page_size();

// The byte fresh device memory, device-heap blocks and shared arrays are filled with under a
// schedule seed.
unsigned char poison_for_seed(std::uint64_t seed);

// Guard zones: every device allocation and device-heap block is surrounded by guard_bytes of a
// fixed pattern. check_guards compares them all; a damaged one becomes a sticky
// cudaErrorIllegalAddress whose message names `kernel` (null: host code, found by the runtime
// call `call`) and the damaged offsets, and the pattern is restored.
constexpr std::size_t guard_bytes = 256;
void fill_guards(char* user, std::size_t size);
void check_guards(const void* kernel, const char* call = nullptr);
bool guards_intact(const char* user, std::size_t size);

// The demangled name of the function at `address` (a kernel), from its module's symbol table.
std::string function_name(const void* address);

// The device math library's state for the running launch (src/device_math.cpp): the key its
// deviations are drawn from (derived from the schedule seed) and whether it computes accurately.
extern std::uint64_t math_key;
extern bool math_accurate;

// A fault of the running kernel: record_kernel_fault stores the message and the sticky launch
// failure, end_faulted_kernel then leaves the kernel for good. The calling fiber is discarded
// without unwinding, so when end_faulted_kernel is called no object with a destructor may be
// alive in the emulator's frames (build the message in a statement of its own).
void record_kernel_fault(const std::string& message);
[[noreturn]] void end_faulted_kernel();

// Runs a launch the runtime has accepted (a valid configuration on a valid stream of a healthy
// device) to its end; faults inside the kernel become sticky errors. Called with the platform's
// mutex held.
// `chosen` lists the blocks to run, ascending; null runs every block.
void run_grid(const launch_request& request, const std::vector<std::uint64_t>* chosen);

}  // namespace detail
}  // namespace kr_emu
