// Out-of-bounds and misaligned accesses inside kernels are reported with their stack in the
// AddressSanitizer build; in the other builds these tests are skipped (the plain build reports
// writes past device allocations as illegal addresses instead: fidelity_test.cpp).
#include "emulator_test.h"

namespace {

using emu_test::device_array;
using emu_test::launch;

__global__ void read_past_device_memory(const float* in, float* out, int n) {
  out[0] = in[n];  // one past the end
}

// Out of line, so that the bound of the array is known to AddressSanitizer alone.
#if defined(__clang__)
__attribute__((noinline, optnone))
#else
__attribute__((noipa))
#endif
float load(const float* p, int index) {
  return p[index];
}

__global__ void read_past_shared_memory(float* out, int index) {
  __shared__ float tile[32];
  tile[threadIdx.x] = 1.0f;
  __syncthreads();
  out[threadIdx.x] = load(tile, index);
}

__global__ void misaligned_vector_read(const float4* in, float* out) { out[0] = in[0].x; }

__global__ void write_before_device_memory(float* data) { data[-1] = 1.0f; }

// A template kernel's shared array, one past its end.
template <typename T, int N>
__global__ void read_past_template_shared_memory(T* out, int index) {
  __shared__ T tile[N];
  tile[threadIdx.x] = T(1);
  __syncthreads();
  out[threadIdx.x] = load(reinterpret_cast<float*>(tile), index);
}

class SanitizerDeathTest : public emu_test::EmulatorTest {
 protected:
  void SetUp() override {
#if !defined(KR_EMU_ASAN)
    GTEST_SKIP() << "needs the AddressSanitizer build (-DKR_SANITIZE=address)";
#endif
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EmulatorTest::SetUp();
  }
};

// The guard zones around device allocations are poisoned: any access to them, a read included,
// is reported where it happens.
TEST_F(SanitizerDeathTest, DeviceMemoryOverrunIsReported) {
  device_array<float> in(16), out(1);
  EXPECT_DEATH(launch(read_past_device_memory, dim3(1), dim3(1), in.get(), out.get(), 16),
               "use-after-poison.*\n(.*\n)*.*read_past_device_memory");
  EXPECT_DEATH(launch(write_before_device_memory, dim3(1), dim3(1), in.get()),
               "use-after-poison.*\n(.*\n)*.*write_before_device_memory");
}

TEST_F(SanitizerDeathTest, SharedMemoryOverrunIsReported) {
  device_array<float> out(32);
  EXPECT_DEATH(launch(read_past_shared_memory, dim3(1), dim3(32), out.get(), 32),
               "global-buffer-overflow.*\n(.*\n)*.*read_past_shared_memory");
  EXPECT_DEATH(launch(read_past_template_shared_memory<float, 32>, dim3(1), dim3(32), out.get(), 32),
               "global-buffer-overflow.*\n(.*\n)*.*read_past_template_shared_memory");
}

TEST_F(SanitizerDeathTest, MisalignedVectorAccessIsReported) {
  device_array<float> in(8), out(1);
  const float4* shifted = reinterpret_cast<const float4*>(in.get() + 1);
  EXPECT_DEATH(launch(misaligned_vector_read, dim3(1), dim3(1), shifted, out.get()),
               "misaligned address");
}

}  // namespace
