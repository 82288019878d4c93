#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/library.h"

namespace {

using kr_test::messages;
using kr_test::stored;

const std::string communication = "Failed to communicate with device.";
const std::string incompatible = "Selected GPU device is incompatible with the library.";
const std::string stream_failure = "Failed to create gpu stream.";

class DeviceTest : public kr_test::LibraryTest {};

TEST_F(DeviceTest, OpenCapturesPropertiesVersionsAndEightStreams) {
  kr_omu_device* device = nullptr;
  ASSERT_EQ(taabe20(0, &device), KR_STATUS_SUCCESS);
  ASSERT_NE(device, nullptr);
  EXPECT_EQ(device->ordinal, 0);
  const cudaDeviceProp prop = kr_test::device_properties(0);
  const kr_omu_device_properties* p = device->properties;
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->properties_error, nullptr);
  EXPECT_EQ(p->major, prop.major);
  EXPECT_EQ(p->minor, prop.minor);
  EXPECT_EQ(p->total_global_mem, static_cast<uint64_t>(prop.totalGlobalMem));
  EXPECT_EQ(p->multiprocessor_count, prop.multiProcessorCount);
  EXPECT_EQ(p->max_threads_per_block, prop.maxThreadsPerBlock);
  EXPECT_EQ(p->max_threads_per_multiprocessor, prop.maxThreadsPerMultiProcessor);
  EXPECT_EQ(p->shared_mem_per_block, static_cast<int32_t>(prop.sharedMemPerBlock));
  EXPECT_EQ(p->shared_mem_per_multiprocessor, static_cast<int32_t>(prop.sharedMemPerMultiprocessor));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(p->max_threads_dim[i], prop.maxThreadsDim[i]);
    EXPECT_EQ(p->max_grid_size[i], prop.maxGridSize[i]);
  }
  int driver = 0, runtime = 0;
  cudaDriverGetVersion(&driver);
  cudaRuntimeGetVersion(&runtime);
  EXPECT_EQ(p->driver_version, driver);
  EXPECT_EQ(p->runtime_version, runtime);
  EXPECT_EQ(p->driver_version_error, nullptr);
  EXPECT_EQ(p->runtime_version_error, nullptr);
  ASSERT_NE(device->streams, nullptr);
  std::set<void*> streams;
  for (int i = 0; i < 8; ++i) {
    EXPECT_NE(device->streams[i], nullptr);
    streams.insert(device->streams[i]);
  }
  EXPECT_EQ(streams.size(), 8u);
  EXPECT_TRUE(messages().empty());
  taabe105(device);
}

TEST_F(DeviceTest, IndexAtOrAboveTheCountIsRejectedWithBothNumbers) {
  KR_REQUIRE_EMULATOR();
  kr_test::set_device_count(2);
  kr_omu_device* untouched = reinterpret_cast<kr_omu_device*>(0x1234);
  kr_omu_device* device = untouched;
  EXPECT_EQ(taabe20(2, &device), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe20(5, &device), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(device, untouched);
  const auto stack = messages();
  ASSERT_EQ(stack.size(), 2u);
  EXPECT_EQ(stack[0], stored(821, "GPU device index `2` is out of range. Found `2` available GPU devices."));
  EXPECT_EQ(stack[1], stored(821, "GPU device index `5` is out of range. Found `2` available GPU devices."));
}

// The real runtime reports "no device" as a failed count; a runtime may also report an empty list.
TEST_F(DeviceTest, NoDevicesFailsTheCount) {
  KR_REQUIRE_EMULATOR();
  kr_test::set_device_count(0);
  kr_omu_device* device = nullptr;
  EXPECT_EQ(taabe20(0, &device), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(messages(), (std::vector<std::string>{stored(820, communication)}));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(DeviceTest, EmptyDeviceListRejectsIndexZero) {
  KR_REQUIRE_EMULATOR();
  kr_test::set_device_count(0);
  kr_test::set_no_device_error(cudaSuccess);
  kr_omu_device* device = nullptr;
  EXPECT_EQ(taabe20(0, &device), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(messages(), (std::vector<std::string>{stored(
                            821, "GPU device index `0` is out of range. Found `0` available GPU devices.")}));
}

TEST_F(DeviceTest, SecondDeviceIsSelected) {
  KR_REQUIRE_EMULATOR();
  kr_test::set_device_count(2);
  kr_omu_device* device = nullptr;
  ASSERT_EQ(taabe20(1, &device), KR_STATUS_SUCCESS);
  EXPECT_EQ(device->ordinal, 1);
  int current = -1;
  cudaGetDevice(&current);
  EXPECT_EQ(current, 1);
  taabe105(device);
}

// Each runtime failure during open: status, the one message, nothing leaked, no error left behind.
struct OpenFailure {
  const char* name;
  const char* function;
  cudaError_t error;
  int nth;
  int32_t index;
  kr_status_t status;
  uint32_t code;
};

class OpenFailureTest : public kr_test::LibraryTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFailureTest, ReportsAndReleasesEverything) {
  KR_REQUIRE_EMULATOR();
  const OpenFailure& c = GetParam();
  if (c.function != nullptr) kr_test::fail_call(c.function, c.error, c.nth);
  kr_omu_device* device = nullptr;
  EXPECT_EQ(taabe20(c.index, &device), c.status);
  EXPECT_EQ(device, nullptr);
  const auto stack = messages();
  ASSERT_EQ(stack.size(), 1u);
  char code[16];
  std::snprintf(code, sizeof code, " %08X: ", c.code);
  EXPECT_NE(stack[0].find(code), std::string::npos) << stack[0];
  // The failure was read and cleared: the platform holds no pending error.
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  // A later open succeeds.
  ASSERT_EQ(taabe20(0, &device), KR_STATUS_SUCCESS);
  taabe105(device);
}

INSTANTIATE_TEST_SUITE_P(
    Device, OpenFailureTest,
    ::testing::Values(
        OpenFailure{"count", "cudaGetDeviceCount", cudaErrorInsufficientDriver, 1, 0, KR_STATUS_RUNTIME_ERROR, 820},
        OpenFailure{"negative_index", nullptr, cudaSuccess, 1, -1, KR_STATUS_RUNTIME_ERROR, 820},
        OpenFailure{"select", "cudaSetDevice", cudaErrorInvalidDevice, 1, 0, KR_STATUS_RUNTIME_ERROR, 820},
        OpenFailure{"current", "cudaGetDevice", cudaErrorUnknown, 1, 0, KR_STATUS_RUNTIME_ERROR, 820},
        OpenFailure{"compatibility", "cudaLaunchKernel", cudaErrorNoKernelImageForDevice, 1, 0,
                    KR_STATUS_RUNTIME_ERROR, 822},
        OpenFailure{"properties", "cudaGetDeviceProperties", cudaErrorUnknown, 1, 0, KR_STATUS_RUNTIME_ERROR, 823},
        OpenFailure{"stream0", "cudaStreamCreate", cudaErrorMemoryAllocation, 1, 0, KR_STATUS_RUNTIME_ERROR, 829},
        OpenFailure{"stream1", "cudaStreamCreate", cudaErrorMemoryAllocation, 2, 0, KR_STATUS_RUNTIME_ERROR, 829},
        OpenFailure{"stream2", "cudaStreamCreate", cudaErrorMemoryAllocation, 3, 0, KR_STATUS_RUNTIME_ERROR, 829},
        OpenFailure{"stream3", "cudaStreamCreate", cudaErrorMemoryAllocation, 4, 0, KR_STATUS_RUNTIME_ERROR, 829},
        OpenFailure{"stream4", "cudaStreamCreate", cudaErrorMemoryAllocation, 5, 0, KR_STATUS_RUNTIME_ERROR, 829},
        OpenFailure{"stream5", "cudaStreamCreate", cudaErrorMemoryAllocation, 6, 0, KR_STATUS_RUNTIME_ERROR, 829},
        OpenFailure{"stream6", "cudaStreamCreate", cudaErrorMemoryAllocation, 7, 0, KR_STATUS_RUNTIME_ERROR, 829},
        OpenFailure{"stream7", "cudaStreamCreate", cudaErrorMemoryAllocation, 8, 0, KR_STATUS_RUNTIME_ERROR, 829}),
    [](const ::testing::TestParamInfo<OpenFailure>& info) { return std::string(info.param.name); });

TEST_F(DeviceTest, CompatibilityFailureCarriesTheRuntimeText) {
  KR_REQUIRE_EMULATOR();
  kr_test::fail_call("cudaLaunchKernel", cudaErrorNoKernelImageForDevice);
  kr_omu_device* device = nullptr;
  EXPECT_EQ(taabe20(0, &device), KR_STATUS_RUNTIME_ERROR);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0], stored(822, std::string("GPU device drivers are incompatible (device error: ") +
                                           cudaGetErrorString(cudaErrorNoKernelImageForDevice) +
                                           "). Refer to docs to find the appropriate version for updating."));
}

// The compatibility test on warp size and x grid limit.
struct Compatibility {
  int warp_size;
  int max_grid_x;
  bool accepted;
};

class CompatibilityTest : public kr_test::LibraryTest, public ::testing::WithParamInterface<Compatibility> {};

TEST_P(CompatibilityTest, AcceptsOnlyWarp32AndGridAtLeast65535) {
  KR_REQUIRE_EMULATOR();
  kr_test::set_warp_size(0, GetParam().warp_size);
  kr_test::set_max_grid_x(0, GetParam().max_grid_x);
  kr_omu_device* device = nullptr;
  if (GetParam().accepted) {
    ASSERT_EQ(taabe20(0, &device), KR_STATUS_SUCCESS);
    EXPECT_EQ(device->properties->max_grid_size[0], GetParam().max_grid_x);
    EXPECT_TRUE(messages().empty());
    taabe105(device);
  } else {
    EXPECT_EQ(taabe20(0, &device), KR_STATUS_RUNTIME_ERROR);
    EXPECT_EQ(device, nullptr);
    ASSERT_EQ(messages().size(), 1u);
    EXPECT_EQ(messages()[0], stored(823, incompatible));
  }
}

INSTANTIATE_TEST_SUITE_P(Device, CompatibilityTest,
                         ::testing::Values(Compatibility{32, 65535, true}, Compatibility{32, 65534, false},
                                           Compatibility{16, 2147483647, false}, Compatibility{64, 65535, false},
                                           Compatibility{32, 2147483647, true}));

TEST_F(DeviceTest, FailedVersionQueriesAreRecordedNotFatal) {
  KR_REQUIRE_EMULATOR();
  kr_test::fail_call("cudaDriverGetVersion", cudaErrorInsufficientDriver);
  kr_test::fail_call("cudaRuntimeGetVersion", cudaErrorUnknown);
  kr_omu_device* device = nullptr;
  ASSERT_EQ(taabe20(0, &device), KR_STATUS_SUCCESS);
  EXPECT_STREQ(device->properties->driver_version_error, cudaGetErrorString(cudaErrorInsufficientDriver));
  EXPECT_STREQ(device->properties->runtime_version_error, cudaGetErrorString(cudaErrorUnknown));
  EXPECT_EQ(device->properties->driver_version, 0);
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  taabe105(device);
}

// The open keeps freed memory in the device's pool for later allocations; a pool that refuses
// the setting leaves the open successful, with nothing recorded and no error left behind.
TEST_F(DeviceTest, OpenKeepsFreedMemoryInThePool) {
  kr_omu_device* device = nullptr;
  ASSERT_EQ(taabe20(0, &device), KR_STATUS_SUCCESS);
  cudaMemPool_t pool = nullptr;
  ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pool, device->ordinal), cudaSuccess);
  uint64_t threshold = 0;
  ASSERT_EQ(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &threshold), cudaSuccess);
  EXPECT_EQ(threshold, UINT64_MAX);
  taabe105(device);
  if (!kr_test::emulated()) return;
  for (const char* call : {"cudaDeviceGetDefaultMemPool", "cudaMemPoolSetAttribute"}) {
    kr_test::reset_platform();
    kr_test::fail_call(call, cudaErrorNotSupported);
    ASSERT_EQ(taabe20(0, &device), KR_STATUS_SUCCESS) << call;
    EXPECT_TRUE(messages().empty()) << call;
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << call;
    ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pool, 0), cudaSuccess);
    ASSERT_EQ(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &threshold), cudaSuccess);
    EXPECT_EQ(threshold, 0u) << call;
    taabe105(device);
  }
}

TEST_F(DeviceTest, NullArgumentsAreHarmless) {
  EXPECT_EQ(taabe20(0, nullptr), KR_STATUS_INVALID_ARGUMENT);
  taabe105(nullptr);
  taabe5(nullptr, 3);
  char** names = nullptr;
  int32_t count = 0;
  EXPECT_EQ(taabe21(nullptr, &count), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(taabe21(&names, nullptr), KR_STATUS_INVALID_ARGUMENT);
  EXPECT_TRUE(messages().empty());
}

TEST_F(DeviceTest, ListsEveryDeviceByName) {
  KR_REQUIRE_EMULATOR();
  kr_test::set_device_count(2);
  kr_test::set_device_name(1, "Second Board");
  char** names = nullptr;
  int32_t count = -1;
  ASSERT_EQ(taabe21(&names, &count), KR_STATUS_SUCCESS);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(std::string(names[0]), "gpu:0 - " + std::string(kr_test::device_properties(0).name));
  EXPECT_STREQ(names[1], "gpu:1 - Second Board");
  taabe5(names, count);
}

TEST_F(DeviceTest, ListingAnEmptyDeviceListIsAnEmptyArray) {
  KR_REQUIRE_EMULATOR();
  kr_test::set_device_count(0);
  kr_test::set_no_device_error(cudaSuccess);
  char** names = nullptr;
  int32_t count = -1;
  ASSERT_EQ(taabe21(&names, &count), KR_STATUS_SUCCESS);
  EXPECT_NE(names, nullptr);
  EXPECT_EQ(count, 0);
  taabe5(names, count);
  EXPECT_TRUE(messages().empty());
}

TEST_F(DeviceTest, ListingWithoutDevicesSucceedsEmpty) {
  KR_REQUIRE_EMULATOR();
  kr_test::set_device_count(0);
  char** names = reinterpret_cast<char**>(0x1);
  int32_t count = 7;
  EXPECT_EQ(taabe21(&names, &count), KR_STATUS_SUCCESS);
  EXPECT_EQ(names, nullptr);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(messages(), (std::vector<std::string>{stored(820, communication)}));
}

TEST_F(DeviceTest, ListingWhenDevicesCannotBeCountedSucceedsEmpty) {
  KR_REQUIRE_EMULATOR();
  kr_test::fail_call("cudaGetDeviceCount", cudaErrorInsufficientDriver);
  char** names = reinterpret_cast<char**>(0x1);
  int32_t count = 7;
  EXPECT_EQ(taabe21(&names, &count), KR_STATUS_SUCCESS);
  EXPECT_EQ(names, nullptr);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0], stored(820, communication));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(DeviceTest, ListingFailsWhenAPropertyQueryFails) {
  KR_REQUIRE_EMULATOR();
  kr_test::set_device_count(2);
  kr_test::fail_call("cudaGetDeviceProperties", cudaErrorUnknown, 2);
  char** names = reinterpret_cast<char**>(0x1);
  int32_t count = 7;
  EXPECT_EQ(taabe21(&names, &count), KR_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(names, nullptr);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(messages().size(), 1u);
  EXPECT_EQ(messages()[0], stored(820, communication));
}

}  // namespace
