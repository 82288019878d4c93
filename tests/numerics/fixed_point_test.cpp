#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "numerics/fixed_point_probe.h"
#include "reference/fixed_point_ref.h"
#include "support/library.h"

namespace {

class FixedPointTest : public kr_test::LibraryTest {
 protected:
  // Evaluates a primitive on the device for every input in [first, first + count).
  std::vector<int32_t> evaluate(probe::primitive which, int32_t first, int32_t count) {
    kr_omu_buffer* out = buffer(count * 4);
    EXPECT_EQ(probe::run_integer(which, first, count, static_cast<int32_t*>(out->address)), 0);
    return download<int32_t>(out, static_cast<size_t>(count));
  }
};

TEST_F(FixedPointTest, TablesMatchTheirFormulas) {
  kr_omu_buffer* msb = buffer(512);
  kr_omu_buffer* lsb = buffer(512);
  kr_omu_buffer* sig = buffer(514);
  ASSERT_EQ(probe::copy_tables(static_cast<uint32_t*>(msb->address), static_cast<uint32_t*>(lsb->address),
                               static_cast<int16_t*>(sig->address)),
            0);
  const auto m = download<uint32_t>(msb, 128);
  const auto l = download<uint32_t>(lsb, 128);
  const auto s = download<int16_t>(sig, 257);
  for (int i = 0; i < 128; ++i) {
    EXPECT_EQ(m[i], ref::exp_msb(i)) << i;
    EXPECT_EQ(l[i], ref::exp_lsb(i)) << i;
  }
  for (int k = 0; k < 257; ++k) EXPECT_EQ(s[k], ref::sigmoid_entry(k)) << k;

  // Published entries, independent of the formula code above.
  const std::pair<int, uint32_t> msb_known[] = {{0, 2147483647u}, {1, 1895147667u}, {2, 1672461946u}, {8, 790015084u},
                                                {16, 290630308u}, {64, 720401u},     {100, 8003u},      {127, 274u}};
  for (const auto& [i, v] : msb_known) EXPECT_EQ(m[i], v) << i;
  const std::pair<int, uint32_t> lsb_known[] = {
      {0, 2147483647u}, {1, 2145387519u}, {2, 2143293436u}, {64, 2017374190u}, {127, 1896999301u}};
  for (const auto& [i, v] : lsb_known) EXPECT_EQ(l[i], v) << i;
  const std::pair<int, int16_t> sig_known[] = {{0, 16384},   {1, 16895}, {16, 23955},  {64, 32178},  {127, 32755},
                                               {128, 11},    {192, 589}, {240, 8812},  {255, 15872}, {256, 16384}};
  for (const auto& [k, v] : sig_known) EXPECT_EQ(s[k], v) << k;
}

TEST_F(FixedPointTest, SigmoidOverEveryInput) {
  const auto out = evaluate(probe::primitive::sigmoid, -32768, 65536);
  for (int32_t i = 0; i < 65536; ++i) ASSERT_EQ(out[i], ref::sigmoid(i - 32768)) << "q=" << i - 32768;
  const std::pair<int32_t, int32_t> known[] = {{0, 16384},     {1, 16391},    {63, 16887},   {64, 16895},
                                               {-1, 16376},    {-64, 15872},  {1024, 23955}, {-1024, 8812},
                                               {8128, 32755},  {8191, 32755}, {32767, 32755}, {-8192, 11},
                                               {-32768, 11}};
  for (const auto& [q, s] : known) EXPECT_EQ(out[q + 32768], s) << q;
}

TEST_F(FixedPointTest, TanhOverEveryInput) {
  const auto out = evaluate(probe::primitive::tanh, -32768, 65536);
  for (int32_t i = 0; i < 65536; ++i) ASSERT_EQ(out[i], ref::tanh_q(i - 32768)) << "q=" << i - 32768;
  EXPECT_EQ(out[32768], 0);
  for (int32_t q = 4064; q <= 32767; ++q) ASSERT_EQ(out[q + 32768], 32742) << q;
  for (int32_t q = -32768; q <= -4096; ++q) ASSERT_EQ(out[q + 32768], -32746) << q;
}

TEST_F(FixedPointTest, ExponentialOverEveryNonPositiveDifference) {
  const auto out = evaluate(probe::primitive::exp, -32768, 32769);
  for (int32_t i = 0; i <= 32768; ++i) ASSERT_EQ(out[i], ref::exp_q(i - 32768)) << "d=" << i - 32768;
  const std::pair<int32_t, int32_t> known[] = {{0, 2147483646},   {-1, 2145387518}, {-128, 1895147666},
                                               {-1024, 790015084}, {-16383, 242},    {-16384, 242},
                                               {-32768, 242}};
  for (const auto& [d, e] : known) EXPECT_EQ(out[d + 32768], e) << d;
}

TEST_F(FixedPointTest, Q17ToQ10AtTheEdges) {
  // Around zero and both saturation points, and the extremes of the 32-bit range.
  const int32_t starts[] = {-200, 4194112 - 300, -4194241 - 300, INT32_MAX - 600, INT32_MIN};
  for (int32_t first : starts) {
    const auto out = evaluate(probe::primitive::q17_to_q10, first, 601);
    for (int32_t i = 0; i < 601; ++i) {
      const int64_t x = int64_t{first} + i;
      ASSERT_EQ(out[i], ref::sat16(ref::floor_shift(x + 64, 7))) << x;
    }
  }
  const auto around = evaluate(probe::primitive::q17_to_q10, -65, 130);
  EXPECT_EQ(around[0], -1);    // -65
  EXPECT_EQ(around[1], 0);     // -64
  EXPECT_EQ(around[65 + 63], 0);  // 63
  EXPECT_EQ(around[65 + 64], 1);  // 64
}

TEST_F(FixedPointTest, SaturatingQ10Conversion) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::pair<float, int32_t>> known = {
      {31.999f, 32766}, {32.0f, 32767}, {-32.0f, -32768}, {-0.0009f, 0},      {inf, 32767}, {-inf, -32768},
      {nan, 0},         {0.0009765625f, 1}, {0.00097f, 0}, {-40.0f, -32768}, {-0.0f, 0},   {1e30f, 32767},
      {-1.5f / 1024, -1}, {31.9990234375f, 32767}, {-31.9990234375f, -32767}, {1.4e-45f, 0}};
  std::vector<float> inputs;
  for (const auto& k : known) inputs.push_back(k.first);
  // A sweep over many magnitudes, both signs.
  for (float x = 1e-6f; x < 100.0f; x *= 1.01f) {
    inputs.push_back(x);
    inputs.push_back(-x);
  }
  kr_omu_buffer* in = upload(inputs);
  kr_omu_buffer* out = buffer(static_cast<int32_t>(inputs.size() * 4));
  ASSERT_EQ(probe::run_to_q10(static_cast<int32_t>(inputs.size()), static_cast<const float*>(in->address),
                              static_cast<int32_t*>(out->address)),
            0);
  const auto got = download<int32_t>(out, inputs.size());
  for (size_t i = 0; i < known.size(); ++i) EXPECT_EQ(got[i], known[i].second) << known[i].first;
  for (size_t i = 0; i < inputs.size(); ++i) ASSERT_EQ(got[i], ref::to_q10(inputs[i])) << inputs[i];
}

}  // namespace
