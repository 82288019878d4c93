// Atomics, integer and rounding intrinsics, and the device heap.
#include <climits>
#include <cmath>
#include <cstdint>

#include "emulator_test.h"

namespace {

using emu_test::device_array;
using emu_test::EmulatorTest;
using emu_test::launch;

struct atomic_targets {
  int sum;
  unsigned usum;
  unsigned long long wide;
  float fsum;
  int max;
  int min;
  int cas_count;
  int wrap;
  unsigned inc;
  int exchanged_total;
  int slot;
};

// block x: 4 blocks, thread x: 256 threads; every thread updates every target once.
__global__ void hammer_atomics(atomic_targets* a) {
  const int t = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  atomicAdd(&a->sum, t);
  atomicAdd(&a->usum, 2u);
  atomicAdd(&a->wide, 1ull << 33);
  atomicAdd(&a->fsum, 0.5f);
  atomicMax(&a->max, (t * 37) % 1001);
  atomicMin(&a->min, -((t * 37) % 1001));
  int seen = atomicAdd(&a->cas_count, 0), old;
  while ((old = atomicCAS(&a->cas_count, seen, seen + 1)) != seen) seen = old;
  atomicAdd(&a->wrap, 0x7fffffff);
  atomicInc(&a->inc, 9u);
  atomicAdd(&a->exchanged_total, atomicExch(&a->slot, t) >= 0 ? 1 : 0);
}

TEST_F(EmulatorTest, AtomicsUpdateAsOneOperation) {
  atomic_targets init{};
  init.min = 0;
  init.slot = -1;
  device_array<atomic_targets> a(std::vector<atomic_targets>{init});
  ASSERT_EQ(launch(hammer_atomics, dim3(4), dim3(256), a.get()), cudaSuccess);
  const atomic_targets r = a.read()[0];
  EXPECT_EQ(r.sum, 1023 * 1024 / 2);
  EXPECT_EQ(r.usum, 2048u);
  EXPECT_EQ(r.wide, 1024ull << 33);
  EXPECT_EQ(r.fsum, 512.0f);
  EXPECT_EQ(r.max, 1000);
  EXPECT_EQ(r.min, -1000);
  EXPECT_EQ(r.cas_count, 1024);
  EXPECT_EQ(r.wrap, static_cast<int>(1024u * 0x7fffffffu));  // wraps without overflow
  EXPECT_EQ(r.inc, 1024u % 10u);
  EXPECT_EQ(r.exchanged_total, 1023);
}

TEST(DeviceIntrinsics, DotProductsOfHalvesAndBytes) {
  // srcA halves (lo, hi); srcB bytes b0..b3.
  const auto pack16 = [](int lo, int hi) {
    return static_cast<int>((static_cast<std::uint32_t>(hi) << 16) |
                            (static_cast<std::uint32_t>(lo) & 0xffffu));
  };
  const auto pack8 = [](int b0, int b1, int b2, int b3) {
    return static_cast<int>(
        (static_cast<std::uint32_t>(b0) & 0xffu) | ((static_cast<std::uint32_t>(b1) & 0xffu) << 8) |
        ((static_cast<std::uint32_t>(b2) & 0xffu) << 16) | (static_cast<std::uint32_t>(b3) << 24));
  };
  struct {
    int a, b, c, lo, hi;
  } const cases[] = {
      {pack16(-3, 1000), pack8(-128, 5, 7, -1), 10, 384 + 5000 + 10, -21 - 1000 + 10},
      {pack16(-32768, -32768), pack8(-128, -128, 127, 127), 0, 8388608, -8323072},
      {pack16(32767, 1), pack8(127, 0, 0, 0), INT_MAX, INT_MIN + 4161408, INT_MAX},  // wraps
  };
  for (const auto& c : cases) {
    EXPECT_EQ(__dp2a_lo(c.a, c.b, c.c), c.lo);
    EXPECT_EQ(__dp2a_hi(c.a, c.b, c.c), c.hi);
  }
  short2 sa{-3, 1000};
  char4 sb{-128, 5, 7, -1};
  EXPECT_EQ(__dp2a_lo(sa, sb, 10), 5394);
  // The vector form wraps at 32 bits too: INT_MAX + 2 x 32767 x 127.
  EXPECT_EQ(__dp2a_hi(short2{32767, 32767}, char4{0, 0, 127, 127}, INT_MAX), INT_MIN + 8322817);
  // Unsigned: the halves and bytes are unsigned.
  EXPECT_EQ(__dp2a_lo(0xffff0002u, 0x00000380u, 1u), 2u * 0x80u + 0xffffu * 3u + 1u);
  EXPECT_EQ(__dp2a_hi(0x00010001u, 0xff010000u, 0u), 1u + 0xffu);
}

TEST(DeviceIntrinsics, DirectedRoundings) {
  const float third_down = __fdiv_rd(1.0f, 3.0f), third_up = __fdiv_ru(1.0f, 3.0f);
  EXPECT_EQ(third_up, std::nextafter(third_down, 1.0f));
  EXPECT_EQ(__fdiv_rz(1.0f, 3.0f), third_down);
  EXPECT_EQ(__fdiv_rn(1.0f, 3.0f), 1.0f / 3.0f);
  EXPECT_EQ(__fdiv_rz(-1.0f, 3.0f), -third_down);
  EXPECT_EQ(__fadd_rd(1.0f, 1e-20f), 1.0f);
  EXPECT_EQ(__fadd_ru(1.0f, 1e-20f), std::nextafter(1.0f, 2.0f));
  EXPECT_EQ(__fmul_ru(3.0f, 1.0f / 3.0f) > __fmul_rd(3.0f, 1.0f / 3.0f), true);
  // 1 + 2^-30 is exact before the fused rounding only.
  const float e = std::ldexp(1.0f, -15);
  EXPECT_EQ(__fmaf_rn(1.0f + e, 1.0f + e, -1.0f), 2.0f * e + e * e);
  EXPECT_EQ(__fmaf_rd(1.0f, 1.0f, std::ldexp(1.0f, -30)), 1.0f);
  EXPECT_EQ(__fmaf_ru(1.0f, 1.0f, std::ldexp(1.0f, -30)), std::nextafter(1.0f, 2.0f));
  EXPECT_EQ(__fsqrt_rd(2.0f) + std::ldexp(1.0f, -23), __fsqrt_ru(2.0f));
  EXPECT_EQ(__dadd_rd(1.0, 1e-30), 1.0);
  EXPECT_EQ(__dadd_ru(1.0, 1e-30), std::nextafter(1.0, 2.0));
  EXPECT_EQ(__int2float_rd(16777217), 16777216.0f);
  EXPECT_EQ(__int2float_ru(16777217), 16777218.0f);
  // The host's rounding mode is restored afterwards.
  volatile float one = 1.0f, tiny = 1e-20f;
  EXPECT_EQ(one + tiny, 1.0f);
}

TEST(DeviceIntrinsics, ConversionsSaturateLikeTheGpu) {
  const float nan = std::nanf("");
  struct {
    float x;
    int rn, rz, rd, ru;
  } const cases[] = {
      {2.5f, 2, 2, 2, 3},
      {3.5f, 4, 3, 3, 4},
      {-2.5f, -2, -2, -3, -2},
      {-2.7f, -3, -2, -3, -2},
      {nan, 0, 0, 0, 0},
      {1e10f, INT_MAX, INT_MAX, INT_MAX, INT_MAX},
      {-1e10f, INT_MIN, INT_MIN, INT_MIN, INT_MIN},
      {2147483520.0f, 2147483520, 2147483520, 2147483520, 2147483520},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(__float2int_rn(c.x), c.rn) << c.x;
    EXPECT_EQ(__float2int_rz(c.x), c.rz) << c.x;
    EXPECT_EQ(__float2int_rd(c.x), c.rd) << c.x;
    EXPECT_EQ(__float2int_ru(c.x), c.ru) << c.x;
  }
  EXPECT_EQ(__float2uint_rn(-1.0f), 0u);
  EXPECT_EQ(__float2uint_rz(5e9f), 4294967295u);
  EXPECT_EQ(__saturatef(nan), 0.0f);
  EXPECT_EQ(__saturatef(-1.0f), 0.0f);
  EXPECT_EQ(__saturatef(2.0f), 1.0f);
  EXPECT_EQ(__saturatef(0.25f), 0.25f);
  EXPECT_EQ(__float_as_uint(-0.0f), 0x80000000u);
  EXPECT_EQ(__int_as_float(0x3f800000), 1.0f);
}

TEST(DeviceIntrinsics, BitOperations) {
  EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0x7531u), 0x77553311u);
  EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0x0000u), 0x00000000u);
  EXPECT_EQ(__byte_perm(0x33221100u, 0x77665544u, 0x89abu), 0x00112233u);  // bit 3 ignored
  EXPECT_EQ(__brev(1u), 0x80000000u);
  EXPECT_EQ(__brev(0x0000f00du), 0xb00f0000u);
  EXPECT_EQ(__clz(0), 32);
  EXPECT_EQ(__clz(1), 31);
  EXPECT_EQ(__ffs(0), 0);
  EXPECT_EQ(__ffs(0x50), 5);
  EXPECT_EQ(__popc(0xf0f0u), 8);
  EXPECT_EQ(__umulhi(0xffffffffu, 0xffffffffu), 0xfffffffeu);
  EXPECT_EQ(__mulhi(-2, 0x40000000), -1);
  EXPECT_EQ(__funnelshift_l(0x80000000u, 0x1u, 1u), 0x3u);
  EXPECT_EQ(__funnelshift_r(0x1u, 0x3u, 1u), 0x80000000u);
  EXPECT_EQ(__funnelshift_lc(0x5u, 0x1u, 40u), 0x5u);
  EXPECT_EQ(__funnelshift_rc(0x5u, 0x1u, 40u), 0x1u);
  EXPECT_EQ(min(-1, 2u), 2u);  // mixed signedness compares as unsigned, as in device code
}

TEST(DeviceIntrinsics, MinAndMaxTreatNaNAsMissing) {
  const float quiet = std::nanf(""), signalling = __int_as_float(0x7f800001);
  for (float nan : {quiet, signalling}) {
    EXPECT_EQ(fmaxf(nan, -3.0f), -3.0f);
    EXPECT_EQ(fminf(-3.0f, nan), -3.0f);
    EXPECT_EQ(max(nan, 2.0f), 2.0f);
    EXPECT_EQ(fmax(static_cast<double>(nan), 1.5), 1.5);
    EXPECT_TRUE(std::isnan(fmaxf(nan, nan)));
  }
  EXPECT_FALSE(std::signbit(fmaxf(-0.0f, 0.0f)));
  EXPECT_FALSE(std::signbit(fmaxf(0.0f, -0.0f)));
  EXPECT_TRUE(std::signbit(fminf(0.0f, -0.0f)));
  EXPECT_EQ(fmax(1.0f, 2.5), 2.5);  // mixed types compute in double
}

// Device heap: each thread allocates `bytes` and keeps it until after the barrier; each reports
// whether its allocation succeeded and whether fresh memory was poisoned.
__global__ void heap_user(std::size_t bytes, int* ok, int* poisoned, unsigned char poison) {
  unsigned char* p = static_cast<unsigned char*>(malloc(bytes));
  ok[threadIdx.x] = p != nullptr;
  if (p != nullptr) poisoned[threadIdx.x] = p[bytes - 1] == poison;
  __syncthreads();
  free(p);
}

TEST_F(EmulatorTest, DeviceHeapHasTheRuntimesLimit) {
  size_t limit = 0;
  ASSERT_EQ(cudaDeviceGetLimit(&limit, cudaLimitMallocHeapSize), cudaSuccess);
  EXPECT_EQ(limit, 8u << 20);
  device_array<int> ok(std::vector<int>(4, -1)), poisoned(std::vector<int>(4, -1));
  // Three of 2.5 MiB fit in 8 MiB at once; a fourth does not. All are free again afterwards.
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(launch(heap_user, dim3(1), dim3(4), std::size_t{5} << 19, ok.get(), poisoned.get(),
                     kr_emu::poison_byte()),
              cudaSuccess);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess) << kr_emu::last_fault_message();
    const std::vector<int> o = ok.read();
    EXPECT_EQ(o[0] + o[1] + o[2] + o[3], 3);
  }
  ASSERT_EQ(cudaDeviceSetLimit(cudaLimitMallocHeapSize, 16u << 20), cudaSuccess);
  ASSERT_EQ(launch(heap_user, dim3(1), dim3(4), std::size_t{5} << 19, ok.get(), poisoned.get(),
                     kr_emu::poison_byte()),
            cudaSuccess);
  EXPECT_EQ(ok.read(), std::vector<int>(4, 1));
#if !defined(KR_EMU_ASAN)
  EXPECT_EQ(poisoned.read(), std::vector<int>(4, 1));
#endif
  // Outside kernels malloc and free are the C library's.
  void* host = malloc(std::size_t{64} << 20);
  EXPECT_NE(host, nullptr);
  free(host);
}

}  // namespace
