// The default stream-ordered memory pool of each emulated device and its attributes.
#include <cstdint>

#include "emulator_test.h"

namespace {

using emu_test::EmulatorTest;

// One handle per device, the same at every call; attributes set on one device's pool are that
// pool's alone, and reset() restores the runtime's defaults.
TEST_F(EmulatorTest, EachDeviceHasOneDefaultPoolWithItsOwnAttributes) {
  kr_emu::set_device_count(2);
  cudaMemPool_t pools[2] = {nullptr, nullptr};
  for (int d = 0; d < 2; ++d) ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pools[d], d), cudaSuccess);
  EXPECT_NE(pools[0], pools[1]);
  cudaMemPool_t again = nullptr;
  ASSERT_EQ(cudaDeviceGetDefaultMemPool(&again, 1), cudaSuccess);
  EXPECT_EQ(again, pools[1]);

  uint64_t threshold = UINT64_MAX;
  ASSERT_EQ(cudaMemPoolSetAttribute(pools[1], cudaMemPoolAttrReleaseThreshold, &threshold), cudaSuccess);
  int opportunistic = 0;
  ASSERT_EQ(cudaMemPoolSetAttribute(pools[1], cudaMemPoolReuseAllowOpportunistic, &opportunistic), cudaSuccess);
  uint64_t got[2] = {1, 1};
  int reuse[2] = {-1, -1};
  for (int d = 0; d < 2; ++d) {
    ASSERT_EQ(cudaMemPoolGetAttribute(pools[d], cudaMemPoolAttrReleaseThreshold, &got[d]), cudaSuccess);
    ASSERT_EQ(cudaMemPoolGetAttribute(pools[d], cudaMemPoolReuseAllowOpportunistic, &reuse[d]), cudaSuccess);
  }
  EXPECT_EQ(got[0], 0u);
  EXPECT_EQ(got[1], UINT64_MAX);
  EXPECT_EQ(reuse[0], 1);
  EXPECT_EQ(reuse[1], 0);

  kr_emu::reset();
  ASSERT_EQ(cudaDeviceGetDefaultMemPool(&again, 0), cudaSuccess);
  ASSERT_EQ(cudaMemPoolGetAttribute(again, cudaMemPoolAttrReleaseThreshold, &got[0]), cudaSuccess);
  EXPECT_EQ(got[0], 0u);
}

// The pool reserves what is in use: freed memory goes back at once whatever the threshold.
// (Counted from what earlier tests left allocated.)
TEST_F(EmulatorTest, PoolReportsTheBytesInUse) {
  cudaMemPool_t pool = nullptr;
  ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pool, 0), cudaSuccess);
  uint64_t before = 0, used = 0, reserved = 0;
  ASSERT_EQ(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrUsedMemCurrent, &before), cudaSuccess);
  void* p = nullptr;
  ASSERT_EQ(cudaMallocAsync(&p, 1000, nullptr), cudaSuccess);
  ASSERT_EQ(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrUsedMemCurrent, &used), cudaSuccess);
  ASSERT_EQ(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrReservedMemCurrent, &reserved), cudaSuccess);
  EXPECT_EQ(used, before + 1000);
  EXPECT_EQ(reserved, before + 1000);
  ASSERT_EQ(cudaFreeAsync(p, nullptr), cudaSuccess);
  ASSERT_EQ(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrUsedMemCurrent, &used), cudaSuccess);
  EXPECT_EQ(used, before);
}

// Refusals record the runtime's errors as the last error; injected failures apply as elsewhere.
TEST_F(EmulatorTest, PoolCallsRefuseWhatTheRuntimeRefuses) {
  cudaMemPool_t pool = nullptr;
  EXPECT_EQ(cudaDeviceGetDefaultMemPool(nullptr, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaDeviceGetDefaultMemPool(&pool, 1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaDeviceGetDefaultMemPool(&pool, -1), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  ASSERT_EQ(cudaDeviceGetDefaultMemPool(&pool, 0), cudaSuccess);
  uint64_t value = 5;
  EXPECT_EQ(cudaMemPoolSetAttribute(pool, cudaMemPoolAttrReleaseThreshold, nullptr), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemPoolSetAttribute(pool, cudaMemPoolAttrUsedMemCurrent, &value), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemPoolSetAttribute(reinterpret_cast<cudaMemPool_t>(&value), cudaMemPoolAttrReleaseThreshold, &value),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemPoolGetAttribute(pool, static_cast<cudaMemPoolAttr>(0x40), &value), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  kr_emu::fail_call("cudaMemPoolSetAttribute", cudaErrorNotSupported);
  EXPECT_EQ(cudaMemPoolSetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &value), cudaErrorNotSupported);
  EXPECT_EQ(cudaGetLastError(), cudaErrorNotSupported);
  ASSERT_EQ(cudaMemPoolGetAttribute(pool, cudaMemPoolAttrReleaseThreshold, &value), cudaSuccess);
  EXPECT_EQ(value, 0u);
  kr_emu::set_device_count(0);
  EXPECT_EQ(cudaDeviceGetDefaultMemPool(&pool, 0), cudaErrorNoDevice);
}

}  // namespace
