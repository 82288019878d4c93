// Runtime calls of the emulator: devices, errors, streams, device memory and injected failures.
#include <cstdint>
#include <functional>
#include <stdexcept>

#include "emulator_test.h"

namespace {

using emu_test::EmulatorTest;

TEST_F(EmulatorTest, DefaultDeviceLooksLikeASmallGpu) {
  int count = -1;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 1);
  cudaDeviceProp p;
  ASSERT_EQ(cudaGetDeviceProperties(&p, 0), cudaSuccess);
  EXPECT_STREQ(p.name, "Emulated CUDA Device");
  EXPECT_EQ(p.major, 7);
  EXPECT_EQ(p.minor, 5);
  EXPECT_EQ(p.warpSize, 32);
  EXPECT_EQ(p.maxThreadsPerBlock, 1024);
  EXPECT_EQ(p.maxGridSize[0], 2147483647);
  EXPECT_EQ(p.maxGridSize[1], 65535);
  EXPECT_EQ(p.maxThreadsDim[2], 64);
  EXPECT_EQ(p.sharedMemPerBlock, 49152u);
  int driver = 0, runtime = 0;
  EXPECT_EQ(cudaDriverGetVersion(&driver), cudaSuccess);
  EXPECT_EQ(cudaRuntimeGetVersion(&runtime), cudaSuccess);
  EXPECT_EQ(driver, 13000);
  EXPECT_EQ(runtime, 13000);
}

TEST_F(EmulatorTest, TwoDevicesAreSelectedAndDescribedSeparately) {
  kr_emu::set_device_count(2);
  std::snprintf(kr_emu::device_properties(1).name, 256, "%s", "Second");
  kr_emu::device_properties(1).warpSize = 16;
  int count = 0, current = -1;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 1);
  cudaDeviceProp p;
  EXPECT_EQ(cudaGetDeviceProperties(&p, 1), cudaSuccess);
  EXPECT_STREQ(p.name, "Second");
  EXPECT_EQ(p.warpSize, 16);
  EXPECT_EQ(cudaGetDeviceProperties(&p, 0), cudaSuccess);
  EXPECT_EQ(p.warpSize, 32);
  for (int bad : {2, -1}) {
    EXPECT_EQ(cudaSetDevice(bad), cudaErrorInvalidDevice);
    EXPECT_EQ(cudaGetDeviceProperties(&p, bad), cudaErrorInvalidDevice);
  }
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 1);
}

TEST_F(EmulatorTest, WithoutDevicesEveryDeviceCallFails) {
  kr_emu::set_device_count(0);
  int count = -1;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
  EXPECT_EQ(count, 0);
  void* p = nullptr;
  cudaStream_t s = nullptr;
  cudaDeviceProp prop;
  int device = 0;
  EXPECT_EQ(cudaSetDevice(0), cudaErrorNoDevice);
  EXPECT_EQ(cudaGetDevice(&device), cudaErrorNoDevice);
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 0), cudaErrorNoDevice);
  EXPECT_EQ(cudaMallocAsync(&p, 16, 0), cudaErrorNoDevice);
  EXPECT_EQ(cudaStreamCreate(&s), cudaErrorNoDevice);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorNoDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorNoDevice);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  // A runtime that reports an empty list instead.
  kr_emu::set_no_device_error(cudaSuccess);
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 0);
}

TEST_F(EmulatorTest, ErrorNamesAndTextsAreTheRuntimes) {
  struct {
    cudaError_t code;
    int value;
    const char* name;
    const char* text;
  } const cases[] = {
      {cudaSuccess, 0, "cudaSuccess", "no error"},
      {cudaErrorInvalidValue, 1, "cudaErrorInvalidValue", "invalid argument"},
      {cudaErrorMemoryAllocation, 2, "cudaErrorMemoryAllocation", "out of memory"},
      {cudaErrorInvalidConfiguration, 9, "cudaErrorInvalidConfiguration",
       "invalid configuration argument"},
      {cudaErrorNoDevice, 100, "cudaErrorNoDevice", "no CUDA-capable device is detected"},
      {cudaErrorInvalidDevice, 101, "cudaErrorInvalidDevice", "invalid device ordinal"},
      {cudaErrorNoKernelImageForDevice, 209, "cudaErrorNoKernelImageForDevice",
       "no kernel image is available for execution on the device"},
      {cudaErrorInvalidResourceHandle, 400, "cudaErrorInvalidResourceHandle",
       "invalid resource handle"},
      {cudaErrorLaunchFailure, 719, "cudaErrorLaunchFailure", "unspecified launch failure"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<int>(c.code), c.value);
    EXPECT_STREQ(cudaGetErrorName(c.code), c.name);
    EXPECT_STREQ(cudaGetErrorString(c.code), c.text);
  }
  EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(12345)), "unrecognized error code");
}

TEST_F(EmulatorTest, LastErrorIsReadOnceAndPeekLeavesIt) {
  EXPECT_EQ(cudaSetDevice(7), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);  // success does not clear it
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(EmulatorTest, StreamsAreValidatedHandles) {
  cudaStream_t a = nullptr, b = nullptr;
  ASSERT_EQ(cudaStreamCreate(&a), cudaSuccess);
  ASSERT_EQ(cudaStreamCreate(&b), cudaSuccess);
  EXPECT_NE(a, b);
  EXPECT_EQ(cudaStreamSynchronize(a), cudaSuccess);
  void* p = nullptr;
  EXPECT_EQ(cudaMallocAsync(&p, 64, a), cudaSuccess);
  EXPECT_EQ(cudaFreeAsync(p, b), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(a), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(a), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaMallocAsync(&p, 64, a), cudaErrorInvalidResourceHandle);
  // A stream belongs to the device that was current when it was made.
  kr_emu::set_device_count(2);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(cudaStreamSynchronize(b), cudaErrorInvalidResourceHandle);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(cudaStreamDestroy(b), cudaSuccess);
}

TEST_F(EmulatorTest, FreshMemoryIsAlignedPoisonedAndCounted) {
  const std::size_t before = kr_emu::live_allocation_count();
  std::vector<void*> blocks;
  for (std::size_t size : {1u, 3u, 255u, 256u, 257u, 4096u}) {
    void* p = nullptr;
    ASSERT_EQ(cudaMallocAsync(&p, size, 0), cudaSuccess);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 256, 0u) << size;
    std::vector<unsigned char> bytes(size, 0);
    ASSERT_EQ(cudaMemcpy(bytes.data(), p, size, cudaMemcpyDeviceToHost), cudaSuccess);
    for (unsigned char b : bytes) ASSERT_EQ(b, kr_emu::poison_byte()) << size;
    blocks.push_back(p);
  }
  EXPECT_EQ(kr_emu::live_allocation_count(), before + 6);
  EXPECT_EQ(kr_emu::live_allocation_bytes(), 1u + 3 + 255 + 256 + 257 + 4096);
  for (void* p : blocks) EXPECT_EQ(cudaFreeAsync(p, 0), cudaSuccess);
  EXPECT_EQ(kr_emu::live_allocation_count(), before);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
}

TEST_F(EmulatorTest, CapacityIsCheckedBeforeAnyHostAllocation) {
  kr_emu::device_properties(0).totalGlobalMem = 1 << 20;
  void* a = nullptr;
  void* b = nullptr;
  const std::size_t negative = static_cast<std::size_t>(static_cast<std::int64_t>(-16));
  EXPECT_EQ(cudaMallocAsync(&a, negative, 0), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaMalloc(&a, (1 << 20) + 1), cudaErrorMemoryAllocation);
  ASSERT_EQ(cudaMalloc(&a, 600 << 10), cudaSuccess);
  EXPECT_EQ(cudaMallocAsync(&b, 600 << 10, 0), cudaErrorMemoryAllocation);
  size_t free_bytes = 0, total = 0;
  EXPECT_EQ(cudaMemGetInfo(&free_bytes, &total), cudaSuccess);
  EXPECT_EQ(total, 1u << 20);
  EXPECT_EQ(free_bytes, (1u << 20) - (600u << 10));
  ASSERT_EQ(cudaFree(a), cudaSuccess);
  ASSERT_EQ(cudaMallocAsync(&b, 600 << 10, 0), cudaSuccess);
  EXPECT_EQ(cudaFreeAsync(b, 0), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
}

TEST_F(EmulatorTest, FreeOfUnknownPointersFails) {
  void* p = nullptr;
  ASSERT_EQ(cudaMalloc(&p, 512), cudaSuccess);
  int host = 0;
  EXPECT_EQ(cudaFree(static_cast<char*>(p) + 1), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFreeAsync(&host, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(p), cudaSuccess);
  EXPECT_EQ(cudaFree(p), cudaErrorInvalidValue);
}

// Copies and fills must lie wholly inside one live allocation; a refused one touches nothing.
TEST_F(EmulatorTest, CopiesOutsideAllocationsAreRefused) {
  char* d = nullptr;
  char* e = nullptr;
  char* gone = nullptr;
  ASSERT_EQ(cudaMalloc(&d, 64), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&e, 64), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&gone, 64), cudaSuccess);
  ASSERT_EQ(cudaFree(gone), cudaSuccess);
  ASSERT_EQ(cudaMemset(d, 0x11, 64), cudaSuccess);
  ASSERT_EQ(cudaMemset(e, 0x22, 64), cudaSuccess);
  std::vector<char> host(128, 0x33);
  struct {
    const char* what;
    std::function<cudaError_t()> call;
    cudaError_t expected;
  } const cases[] = {
      {"HtoD whole", [&] { return cudaMemcpy(d, host.data(), 64, cudaMemcpyHostToDevice); },
       cudaSuccess},
      {"HtoD one past the end",
       [&] { return cudaMemcpy(d + 1, host.data(), 64, cudaMemcpyHostToDevice); },
       cudaErrorInvalidValue},
      {"HtoD into host memory",
       [&] { return cudaMemcpy(host.data(), host.data() + 64, 8, cudaMemcpyHostToDevice); },
       cudaErrorInvalidValue},
      {"HtoD into freed memory",
       [&] { return cudaMemcpy(gone, host.data(), 8, cudaMemcpyHostToDevice); },
       cudaErrorInvalidValue},
      {"DtoH before the start",
       [&] { return cudaMemcpy(host.data(), d - 1, 8, cudaMemcpyDeviceToHost); },
       cudaErrorInvalidValue},
      {"DtoH spanning two allocations",
       [&] { return cudaMemcpy(host.data(), d, 128, cudaMemcpyDeviceToHost); },
       cudaErrorInvalidValue},
      {"DtoH to null", [&] { return cudaMemcpy(nullptr, d, 8, cudaMemcpyDeviceToHost); },
       cudaErrorInvalidValue},
      // Undefined on the platform (the runtime copies like memcpy), so refused here.
      {"DtoD overlapping inside one",
       [&] { return cudaMemcpy(d + 8, d, 32, cudaMemcpyDeviceToDevice); }, cudaErrorInvalidValue},
      {"DtoD overlapping, asynchronous",
       [&] { return cudaMemcpyAsync(d, d + 1, 2, cudaMemcpyDeviceToDevice, 0); }, cudaErrorInvalidValue},
      {"DtoD overlapping, default kind",
       [&] { return cudaMemcpy(d + 1, d, 2, cudaMemcpyDefault); }, cudaErrorInvalidValue},
      {"DtoD onto itself", [&] { return cudaMemcpy(d, d, 8, cudaMemcpyDeviceToDevice); }, cudaErrorInvalidValue},
      {"DtoD adjacent halves of one",
       [&] { return cudaMemcpy(d + 32, d, 32, cudaMemcpyDeviceToDevice); }, cudaSuccess},
      {"DtoD destination too short",
       [&] { return cudaMemcpyAsync(e + 32, d, 40, cudaMemcpyDeviceToDevice, 0); },
       cudaErrorInvalidValue},
      {"Default kind, device to host",
       [&] { return cudaMemcpy(host.data(), e, 64, cudaMemcpyDefault); }, cudaSuccess},
      {"Default kind, overrunning device source",
       [&] { return cudaMemcpy(host.data(), e + 60, 8, cudaMemcpyDefault); },
       cudaErrorInvalidValue},
      {"bad direction", [&] { return cudaMemcpy(d, e, 8, static_cast<cudaMemcpyKind>(7)); },
       cudaErrorInvalidMemcpyDirection},
      {"count 0 with bogus pointers",
       [&] { return cudaMemcpy(nullptr, host.data(), 0, cudaMemcpyHostToDevice); }, cudaSuccess},
      {"memset overrunning", [&] { return cudaMemset(e + 1, 0, 64); }, cudaErrorInvalidValue},
      {"memset of host memory", [&] { return cudaMemsetAsync(host.data(), 0, 4, 0); },
       cudaErrorInvalidValue},
      {"memset count 0 anywhere", [&] { return cudaMemset(nullptr, 0, 0); }, cudaSuccess},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), c.expected) << c.what;
    cudaGetLastError();
  }
  // Only the accepted copies changed anything: d holds 0x33 with bytes 32..63 copied from 0..31
  // (all 0x33), e still holds 0x22, and the host copy of e reads 0x22.
  std::vector<char> back(64);
  ASSERT_EQ(cudaMemcpy(back.data(), d, 64, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(back, std::vector<char>(64, 0x33));
  ASSERT_EQ(cudaMemcpy(back.data(), e, 64, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(back, std::vector<char>(64, 0x22));
  EXPECT_EQ(std::vector<char>(host.begin(), host.begin() + 64), std::vector<char>(64, 0x22));
  cudaFree(d);
  cudaFree(e);
}

// Every runtime function can be made to fail: the call does nothing, returns the chosen code and
// leaves it as the last error.
TEST_F(EmulatorTest, EveryRuntimeFunctionCanBeMadeToFail) {
  void* p = nullptr;
  int value = -5;
  cudaStream_t stream = nullptr;
  cudaDeviceProp prop;
  size_t a = 0, b = 0;
  char host[16] = {};
  void* live = nullptr;
  ASSERT_EQ(cudaMalloc(&live, 16), cudaSuccess);
  struct {
    const char* name;
    std::function<cudaError_t()> call;
  } const cases[] = {
      {"cudaGetDeviceCount", [&] { return cudaGetDeviceCount(&value); }},
      {"cudaSetDevice", [&] { return cudaSetDevice(0); }},
      {"cudaGetDevice", [&] { return cudaGetDevice(&value); }},
      {"cudaGetDeviceProperties", [&] { return cudaGetDeviceProperties(&prop, 0); }},
      {"cudaDriverGetVersion", [&] { return cudaDriverGetVersion(&value); }},
      {"cudaRuntimeGetVersion", [&] { return cudaRuntimeGetVersion(&value); }},
      {"cudaDeviceSynchronize", [&] { return cudaDeviceSynchronize(); }},
      {"cudaMemGetInfo", [&] { return cudaMemGetInfo(&a, &b); }},
      {"cudaStreamCreate", [&] { return cudaStreamCreate(&stream); }},
      {"cudaStreamDestroy", [&] { return cudaStreamDestroy(stream); }},
      {"cudaStreamSynchronize", [&] { return cudaStreamSynchronize(0); }},
      {"cudaMalloc", [&] { return cudaMalloc(&p, 16); }},
      {"cudaMallocAsync", [&] { return cudaMallocAsync(&p, 16, 0); }},
      {"cudaFree", [&] { return cudaFree(live); }},
      {"cudaFreeAsync", [&] { return cudaFreeAsync(live, 0); }},
      {"cudaMemcpy", [&] { return cudaMemcpy(live, host, 16, cudaMemcpyHostToDevice); }},
      {"cudaMemcpyAsync",
       [&] { return cudaMemcpyAsync(live, host, 16, cudaMemcpyHostToDevice, 0); }},
      {"cudaMemset", [&] { return cudaMemset(live, 0, 16); }},
      {"cudaMemsetAsync", [&] { return cudaMemsetAsync(live, 0, 16, 0); }},
  };
  for (const auto& c : cases) {
    kr_emu::fail_call(c.name, cudaErrorNotPermitted);
    p = nullptr;
    value = -5;
    stream = nullptr;
    EXPECT_EQ(c.call(), cudaErrorNotPermitted) << c.name;
    EXPECT_EQ(cudaGetLastError(), cudaErrorNotPermitted) << c.name;
    EXPECT_EQ(p, nullptr) << c.name;
    EXPECT_EQ(value, -5) << c.name;
    EXPECT_EQ(stream, nullptr) << c.name;
  }
  EXPECT_EQ(kr_emu::live_allocation_count(), 1u);  // neither free happened
  unsigned char back[16];
  ASSERT_EQ(cudaMemcpy(back, live, 16, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(back[0], kr_emu::poison_byte());  // neither copy nor fill happened
  cudaFree(live);
  EXPECT_THROW(kr_emu::fail_call("cudaNoSuchCall", cudaErrorUnknown), std::invalid_argument);
}

TEST_F(EmulatorTest, InjectionsCountCallsAndStack) {
  kr_emu::fail_call("cudaStreamCreate", cudaErrorMemoryAllocation, 3);
  kr_emu::fail_call("cudaStreamCreate", cudaErrorUnknown, 4);
  kr_emu::fail_call("cudaSetDevice", cudaErrorInvalidDevice, 1);
  std::vector<cudaError_t> results;
  std::vector<cudaStream_t> streams;
  for (int i = 0; i < 5; ++i) {
    cudaStream_t s = nullptr;
    results.push_back(cudaStreamCreate(&s));
    if (s != nullptr) streams.push_back(s);
  }
  EXPECT_EQ(results, (std::vector<cudaError_t>{cudaSuccess, cudaSuccess, cudaErrorMemoryAllocation,
                                               cudaErrorUnknown, cudaSuccess}));
  EXPECT_EQ(cudaSetDevice(0), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
  kr_emu::fail_call("cudaSetDevice", cudaErrorInvalidDevice, 1);
  kr_emu::clear_injected_failures();
  EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
  for (cudaStream_t s : streams) EXPECT_EQ(cudaStreamDestroy(s), cudaSuccess);
}

}  // namespace
