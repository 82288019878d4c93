// What a test may ask of the platform beneath the library. On the emulator every control works;
// against a real GPU the controls report false and the tests that need them skip.
#pragma once

#include <cstddef>

#include <cuda_runtime.h>

namespace kr_test {

bool emulated();

// Restores the default platform (one device, default properties, no injected failures, no sticky
// fault). A no-op on a GPU.
void reset_platform();

bool set_device_count(int count);
// What counting reports with no devices: cudaErrorNoDevice (the real runtime) or cudaSuccess.
bool set_no_device_error(cudaError_t error);
bool set_warp_size(int ordinal, int warp_size);
bool set_max_grid_x(int ordinal, int max_grid_x);
bool set_device_name(int ordinal, const char* name);

// The nth next call of the named runtime function fails with `error`.
bool fail_call(const char* function, cudaError_t error, int nth = 1);

// Number of live device allocations, or -1 where the platform cannot tell (a GPU).
long live_allocations();

// Properties the platform reports for a device (from the runtime itself).
cudaDeviceProp device_properties(int ordinal);

// Sparse device memory of `capacity` bytes: new allocations are reserved address space, committed
// only where written, and read as zeros until then (0 switches it off).
bool set_sparse_memory(size_t capacity);

// Every launch runs only `count` blocks of its grid: the first, the last and an even spread
// between; the others are skipped as if they had run.
bool sample_blocks(unsigned long count);

}  // namespace kr_test

#define KR_REQUIRE_EMULATOR()                                                       \
  do {                                                                              \
    if (!::kr_test::emulated()) GTEST_SKIP() << "needs the emulator's platform controls"; \
  } while (0)

// Shapes of tens of millions of CUDA threads: minutes under ThreadSanitizer, where every CUDA
// thread is a fiber of its own with vector clocks; they run in every other build.
#if defined(__SANITIZE_THREAD__)
#define KR_TEST_UNDER_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KR_TEST_UNDER_THREAD_SANITIZER 1
#endif
#endif
#if defined(KR_TEST_UNDER_THREAD_SANITIZER)
#define KR_SKIP_LARGE_SHAPE_UNDER_THREAD_SANITIZER() \
  GTEST_SKIP() << "large shape: checked in the builds without ThreadSanitizer"
#else
#define KR_SKIP_LARGE_SHAPE_UNDER_THREAD_SANITIZER() \
  do {                                                \
  } while (0)
#endif
