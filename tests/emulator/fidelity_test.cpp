// Detectors of faults that pass on a CPU but fail on a GPU: writes outside device memory, shared
// memory read before it is written, spin-waits, and the device math library's GPU-sized errors.
// Each test plants the fault in a small kernel and expects the emulator to report it.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "emulator_test.h"

namespace {

using emu_test::device_array;
using emu_test::EmulatorTest;
using emu_test::launch;

void expect_message(const std::string& needle) {
  EXPECT_NE(std::string(kr_emu::last_fault_message()).find(needle), std::string::npos)
      << "needle: " << needle << "\nmessage: " << kr_emu::last_fault_message();
}

// ---- guard zones ----

// block x: 256 elements; thread x: one element. The bound check is off by one.
__global__ void scale_one_past_the_end(float* data, int count) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i <= count) data[i] *= 2.0f;
}

__global__ void write_before_the_start(int* data) { data[static_cast<int>(threadIdx.x) - 1] = 7; }

class GuardTest : public EmulatorTest {
 protected:
  void SetUp() override {
#if defined(KR_EMU_ASAN)
    GTEST_SKIP() << "the AddressSanitizer build reports these accesses where they happen (SanitizerDeathTest)";
#endif
    EmulatorTest::SetUp();
  }
};

TEST_F(GuardTest, OnePastTheEndDeviceWriteIsAnIllegalAddress) {
  device_array<float> data(std::vector<float>(1000, 1.0f));
  ASSERT_EQ(launch(scale_one_past_the_end, dim3(4), dim3(256), data.get(), 1000), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
  expect_message("scale_one_past_the_end");
  // Doubling a float leaves its low bytes alone: the first two bytes past the end keep the pattern.
  expect_message("offsets 4002 to 4003 of a 4000-byte device allocation");
  expect_message("(valid offsets are 0 to 3999)");
  // Sticky, as a GPU's illegal address is: every later call reports it.
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorIllegalAddress);
  EXPECT_EQ(launch(write_before_the_start, dim3(1), dim3(1), nullptr), cudaErrorIllegalAddress);
}

TEST_F(GuardTest, WriteBeforeTheStartIsAnIllegalAddress) {
  device_array<int> data(32);
  ASSERT_EQ(launch(write_before_the_start, dim3(1), dim3(1), data.get()), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
  expect_message("write_before_the_start");
  expect_message("offsets -4 to -1 of a 128-byte device allocation");
}

TEST_F(GuardTest, HostWritesThroughDevicePointersAreFoundAtTheNextCopy) {
  device_array<char> a(16), b(16);
  a.get()[16] = 1;  // host code writing device memory directly, past the end
  char back[16];
  EXPECT_EQ(cudaMemcpy(back, b.get(), 16, cudaMemcpyDeviceToHost), cudaErrorIllegalAddress);
  expect_message("host code (found by a copy)");
  expect_message("offsets 16 to 16 of a 16-byte device allocation");
}

// Every thread allocates 8 ints from the device heap and writes 9.
__global__ void overrun_heap_block(int* done) {
  int* p = static_cast<int*>(malloc(8 * sizeof(int)));
  for (int i = 0; i <= 8; ++i) p[i] = i;
  free(p);
  *done = 1;
}

TEST_F(GuardTest, DeviceHeapOverrunIsFoundWhenTheBlockIsFreed) {
  device_array<int> done(std::vector<int>{0});
  ASSERT_EQ(launch(overrun_heap_block, dim3(1), dim3(1), done.get()), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  expect_message("overrun_heap_block");
  expect_message("32-byte device-heap block whose guard zones were written");
}

// ---- shared memory of template kernels ----

// Sums `Count` shared slots that only the first launch writes.
template <typename T, int Count>
__global__ void sum_tile(T* out, bool write_first) {
  __shared__ T tile[Count];
  if (write_first) tile[threadIdx.x] = static_cast<T>(threadIdx.x + 1);
  __syncthreads();
  if (threadIdx.x == 0) {
    T sum = 0;
    for (int i = 0; i < Count; ++i) sum += tile[i];
    *out = sum;
  }
}

TEST_F(EmulatorTest, TemplateKernelSharedMemoryIsPoisoned) {
  for (std::uint64_t seed : {0u, 1u, 5u}) {
    kr_emu::set_schedule_seed(seed);
    device_array<unsigned> out(1);
    ASSERT_EQ(launch(sum_tile<unsigned, 32>, dim3(1), dim3(32), out.get(), true), cudaSuccess);
    EXPECT_EQ(out.read()[0], 32u * 33u / 2u);
    // Reading slots it never wrote gives the poison, not the previous launch's values (nor zeros).
    ASSERT_EQ(launch(sum_tile<unsigned, 32>, dim3(1), dim3(32), out.get(), false), cudaSuccess);
    const unsigned poison = 0x01010101u * kr_emu::poison_byte();
    EXPECT_EQ(out.read()[0], 32u * poison) << "seed " << seed;
  }
}

// ---- watchdog ----

// Block 0 waits for a flag that only block 1 sets; blocks run one after another here, and in any
// order on a GPU, so this may spin forever on either.
__global__ void wait_for_later_block(int* flag) {
  if (blockIdx.x == 1 && threadIdx.x == 0) atomicExch(flag, 1);
  if (blockIdx.x == 0 && threadIdx.x == 0) {
    while (atomicAdd(flag, 0) == 0) {
    }
  }
  __syncthreads();
}

TEST_F(EmulatorTest, SpinWaitEndsInALaunchTimeout) {
  device_array<int> flag(std::vector<int>{0});
  // Twice: the first interruption must leave the next one possible (a handler that never returns
  // must not leave its signal blocked).
  for (int round = 0; round < 2; ++round) {
    kr_emu::reset();
    kr_emu::set_schedule_seed(0);
    kr_emu::set_watchdog_seconds(0.25);
    ASSERT_EQ(launch(wait_for_later_block, dim3(2), dim3(64), flag.get()), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchTimeout) << "round " << round;
    expect_message("wait_for_later_block");
    expect_message("block (0,0,0): watchdog");
    expect_message("thread (0,0,0) has been running");
    expect_message("63 threads have not started");
  }
  // The process goes on: after a reset the same kernel runs in the order that does not spin.
  kr_emu::reset();
  kr_emu::set_schedule_seed(1);
  ASSERT_EQ(launch(wait_for_later_block, dim3(2), dim3(64), flag.get()), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess) << kr_emu::last_fault_message();
}

// ---- device math ----

float from_bits(std::uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// Distance in steps of the float grid between two finite floats of the same sign.
long steps_between(float a, float b) {
  std::uint32_t ua, ub;
  std::memcpy(&ua, &a, 4);
  std::memcpy(&ub, &b, 4);
  const long ia = std::signbit(a) ? -static_cast<long>(ua & 0x7fffffffu) : static_cast<long>(ua);
  const long ib = std::signbit(b) ? -static_cast<long>(ub & 0x7fffffffu) : static_cast<long>(ub);
  return ia > ib ? ia - ib : ib - ia;
}

enum math_op : int { op_expf, op_fast_expf, op_erff, op_tanhf, op_sinf, op_cosf, op_exp2f, op_rsqrtf, op_logf,
                     op_log2f, op_fast_log2f, op_fast_logf, op_fast_sinf, op_fast_cosf, op_fdividef, op_fast_exp10f,
                     op_fast_log10f, op_fast_powf, op_tanf };

// block x: 256 inputs; thread x: one input.
__global__ void apply_math(int op, int count, const float* x, const float* y, float* out) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= count) return;
  const float a = x[i], b = y[i];
  float r = 0.0f;
  switch (op) {
    case op_expf: r = expf(a); break;
    case op_fast_expf: r = __expf(a); break;
    case op_erff: r = erff(a); break;
    case op_tanhf: r = tanhf(a); break;
    case op_sinf: r = sinf(a); break;
    case op_cosf: r = cosf(a); break;
    case op_exp2f: r = exp2f(a); break;
    case op_rsqrtf: r = rsqrtf(a); break;
    case op_logf: r = logf(a); break;
    case op_log2f: r = log2f(a); break;
    case op_fast_log2f: r = __log2f(a); break;
    case op_fast_logf: r = __logf(a); break;
    case op_fast_sinf: r = __sinf(a); break;
    case op_fast_cosf: r = __cosf(a); break;
    case op_fdividef: r = __fdividef(a, b); break;
    case op_fast_exp10f: r = __exp10f(a); break;
    case op_fast_log10f: r = __log10f(a); break;
    case op_fast_powf: r = __powf(a, b); break;
    case op_tanf: r = tanf(a); break;
  }
  out[i] = r;
}

// The same names in host code are the host's own functions.
float host_math(int op, float a) {
  switch (op) {
    case op_expf: return expf(a);
    case op_erff: return erff(a);
    case op_tanhf: return tanhf(a);
    case op_sinf: return sinf(a);
    case op_cosf: return cosf(a);
    case op_exp2f: return exp2f(a);
    case op_rsqrtf: return static_cast<float>(1.0 / std::sqrt(static_cast<double>(a)));
    case op_logf: return logf(a);
    case op_log2f: return log2f(a);
    case op_tanf: return tanf(a);
  }
  return 0.0f;
}

std::vector<float> run_math(int op, const std::vector<float>& x, std::vector<float> y = {}) {
  if (y.empty()) y.assign(x.size(), 1.0f);
  device_array<float> dx(x), dy(y), out(x.size());
  const int n = static_cast<int>(x.size());
  EXPECT_EQ(launch(apply_math, dim3(static_cast<unsigned>((n + 255) / 256)), dim3(256), op, n, dx.get(), dy.get(),
                   out.get()),
            cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  return out.read();
}

std::vector<float> spread(float lo, float hi, int n) {
  std::vector<float> v;
  for (int i = 0; i < n; ++i) v.push_back(lo + (hi - lo) * (static_cast<float>(i) + 0.37f) / static_cast<float>(n));
  return v;
}

struct accurate_case {
  const char* name;
  int op;
  int ulps;  // the CUDA documented maximum
  double (*exact)(double);
  float lo, hi;
};

class DeviceMathTest : public EmulatorTest {};

// Every accurate function stays within its documented bound, reaches it, and gives the host's
// value in the accurate mode.
TEST_F(DeviceMathTest, AccurateFunctionsErrInsideTheirBoundsAndReachThem) {
  const accurate_case cases[] = {
      {"expf", op_expf, 2, [](double v) { return std::exp(v); }, -87.0f, 88.0f},
      {"erff", op_erff, 2, [](double v) { return std::erf(v); }, -3.0f, 3.0f},
      {"tanhf", op_tanhf, 2, [](double v) { return std::tanh(v); }, -8.0f, 8.0f},
      {"sinf", op_sinf, 2, [](double v) { return std::sin(v); }, -100.0f, 100.0f},
      {"cosf", op_cosf, 2, [](double v) { return std::cos(v); }, -100.0f, 100.0f},
      {"exp2f", op_exp2f, 2, [](double v) { return std::exp2(v); }, -120.0f, 120.0f},
      {"rsqrtf", op_rsqrtf, 2, [](double v) { return 1.0 / std::sqrt(v); }, 1e-3f, 1e6f},
      {"logf", op_logf, 1, [](double v) { return std::log(v); }, 1e-3f, 1e6f},
      {"log2f", op_log2f, 1, [](double v) { return std::log2(v); }, 1e-3f, 1e6f},
      {"tanf", op_tanf, 4, [](double v) { return std::tan(v); }, -1.5f, 1.5f},
  };
  for (const accurate_case& c : cases) {
    const std::vector<float> x = spread(c.lo, c.hi, 4096);
    kr_emu::set_math_mode(kr_emu::math_mode::gpu);
    const std::vector<float> gpu = run_math(c.op, x);
    kr_emu::set_math_mode(kr_emu::math_mode::accurate);
    const std::vector<float> accurate = run_math(c.op, x);
    long worst = 0;
    int at_bound = 0;
    for (size_t i = 0; i < x.size(); ++i) {
      const float rounded = static_cast<float>(c.exact(static_cast<double>(x[i])));
      const long d = steps_between(gpu[i], rounded);
      worst = std::max(worst, d);
      at_bound += d == c.ulps;
      EXPECT_EQ(accurate[i], host_math(c.op, x[i])) << c.name << "(" << x[i] << ") accurate mode";
    }
    EXPECT_EQ(worst, c.ulps) << c.name;
    EXPECT_GT(at_bound, 1000) << c.name;
  }
}

TEST_F(DeviceMathTest, DeviationsDependOnTheScheduleSeed) {
  const std::vector<float> x = spread(-5.0f, 5.0f, 1024);
  kr_emu::set_schedule_seed(3);
  const std::vector<float> a = run_math(op_expf, x), a_again = run_math(op_expf, x);
  kr_emu::set_schedule_seed(4);
  const std::vector<float> b = run_math(op_expf, x);
  EXPECT_EQ(a, a_again);  // deterministic
  EXPECT_NE(a, b);
  // Odd functions stay odd.
  std::vector<float> minus(x.size());
  for (size_t i = 0; i < x.size(); ++i) minus[i] = -x[i];
  const std::vector<float> e = run_math(op_erff, x), f = run_math(op_erff, minus);
  for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(e[i], -f[i]) << x[i];
  // Exact results stay exact.
  EXPECT_EQ(run_math(op_expf, {0.0f})[0], 1.0f);
  EXPECT_EQ(run_math(op_exp2f, {10.0f, -3.0f}), (std::vector<float>{1024.0f, 0.125f}));
  EXPECT_EQ(run_math(op_rsqrtf, {4.0f, 0.0f})[0], 0.5f);
  EXPECT_EQ(run_math(op_tanhf, {20.0f})[0], 1.0f);
}

// The planted fault: expf replaced by __expf. A test that bounds exp by expf's 2 ulps trips over
// it for moderate arguments, as it would on a GPU; __expf stays within its own documented bound
// 2 + floor(|1.173 x|).
TEST_F(DeviceMathTest, FastExponentialErrGrowsWithTheArgument) {
  const std::vector<float> x = spread(-80.0f, 80.0f, 8192);
  const std::vector<float> fast = run_math(op_fast_expf, x);
  int beyond_expf_bound = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double exact = std::exp(static_cast<double>(x[i]));
    const float rounded = static_cast<float>(exact);
    if (std::fpclassify(rounded) != FP_NORMAL) continue;
    const long d = steps_between(fast[i], rounded);
    EXPECT_LE(d, 2 + static_cast<long>(std::floor(std::fabs(1.173 * x[i])))) << "__expf(" << x[i] << ")";
    beyond_expf_bound += d > 2;
  }
  EXPECT_GT(beyond_expf_bound, 1000);
  kr_emu::set_math_mode(kr_emu::math_mode::accurate);
  EXPECT_EQ(run_math(op_fast_expf, {10.0f})[0], std::exp(10.0f));
}

TEST_F(DeviceMathTest, FastIntrinsicsHaveTheHardwaresStructure) {
  // Subnormal results and operands are flushed to zero.
  EXPECT_EQ(run_math(op_fast_expf, {-100.0f})[0], 0.0f);
  EXPECT_GT(run_math(op_expf, {-100.0f})[0], 0.0f);
  EXPECT_EQ(run_math(op_fast_log2f, {from_bits(0x00400000u)})[0], -std::numeric_limits<float>::infinity());
  // __fdividef: zero for divisors beyond 2^126, NaN for an infinite dividend there.
  const std::vector<float> q = run_math(op_fdividef, {1.0f, 1e30f, std::numeric_limits<float>::infinity(), 3.0f},
                                        {1e38f, 2e38f, 1e38f, 7.0f});
  EXPECT_EQ(q[0], 0.0f);
  EXPECT_EQ(q[1], 0.0f);
  EXPECT_TRUE(std::isnan(q[2]));
  EXPECT_LE(steps_between(q[3], 3.0f / 7.0f), 2);
  // __sinf and __cosf reduce the angle in float: far from 0 the error is far beyond sinf's.
  const std::vector<float> far = run_math(op_fast_sinf, {1e6f, 12345.678f});
  EXPECT_GT(std::fabs(far[0] - std::sin(1e6)), 1e-4);
  EXPECT_GT(std::fabs(far[1] - std::sin(12345.678f)), 1e-6);
}

// Documented bounds of the other intrinsics: __log2f, __logf, __log10f (absolute on [0.5, 2],
// ulps elsewhere), __sinf and __cosf (absolute on [-pi, pi]), __exp10f, __fdividef.
TEST_F(DeviceMathTest, FastIntrinsicsStayInsideTheirDocumentedBounds) {
  std::vector<float> near_one = spread(0.5f, 2.0f, 4096), wide;
  for (float v = 1e-30f; v < 1e30f; v *= 1.37f) wide.push_back(v);
  struct log_case {
    int op;
    double (*exact)(double);
    double absolute;
    long ulps;
  } const logs[] = {{op_fast_log2f, [](double v) { return std::log2(v); }, std::ldexp(1.0, -22), 2},
                    {op_fast_logf, [](double v) { return std::log(v); }, std::pow(2.0, -21.41), 3},
                    {op_fast_log10f, [](double v) { return std::log10(v); }, std::ldexp(1.0, -24), 3}};
  for (const log_case& c : logs) {
    const std::vector<float> a = run_math(c.op, near_one);
    for (size_t i = 0; i < near_one.size(); ++i)
      EXPECT_LE(std::fabs(a[i] - c.exact(near_one[i])), c.absolute) << c.op << " " << near_one[i];
    const std::vector<float> b = run_math(c.op, wide);
    for (size_t i = 0; i < wide.size(); ++i) {
      if (wide[i] >= 0.5f && wide[i] <= 2.0f) continue;
      EXPECT_LE(steps_between(b[i], static_cast<float>(c.exact(wide[i]))), c.ulps) << c.op << " " << wide[i];
    }
  }
  const std::vector<float> angles = spread(-3.14159f, 3.14159f, 4096);
  const std::vector<float> s = run_math(op_fast_sinf, angles), co = run_math(op_fast_cosf, angles);
  for (size_t i = 0; i < angles.size(); ++i) {
    EXPECT_LE(std::fabs(s[i] - std::sin(static_cast<double>(angles[i]))), std::pow(2.0, -21.41)) << angles[i];
    EXPECT_LE(std::fabs(co[i] - std::cos(static_cast<double>(angles[i]))), std::pow(2.0, -21.19)) << angles[i];
  }
  const std::vector<float> tens = spread(-30.0f, 30.0f, 4096);
  const std::vector<float> t = run_math(op_fast_exp10f, tens);
  for (size_t i = 0; i < tens.size(); ++i) {
    const float rounded = static_cast<float>(std::pow(10.0, static_cast<double>(tens[i])));
    EXPECT_LE(steps_between(t[i], rounded), 2 + static_cast<long>(std::floor(std::fabs(2.97 * tens[i])))) << tens[i];
  }
  const std::vector<float> num = spread(-1e6f, 1e6f, 4096), den = spread(1e-30f, 1e30f, 4096);
  const std::vector<float> d = run_math(op_fdividef, num, den);
  for (size_t i = 0; i < num.size(); ++i) {
    const float rounded = static_cast<float>(static_cast<double>(num[i]) / den[i]);
    if (std::fpclassify(rounded) != FP_NORMAL) continue;
    EXPECT_LE(steps_between(d[i], rounded), 2) << num[i] << " / " << den[i];
  }
}

}  // namespace
