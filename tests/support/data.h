// Test data shared by the suites: sentinels, written where an entry must not write and checked
// unchanged afterwards, and seeded random inputs.
#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

namespace kr_test {

// A float no entry under test produces from the suites' inputs (exact in every float format the
// suites read back).
constexpr float sentinel = 1234.5f;
// The byte of sentinel-filled buffers whose elements are not floats.
constexpr uint8_t sentinel_byte = 0x5A;

// `n` floats uniform in [lo, hi) drawn from `rng`.
inline std::vector<float> random_floats(std::mt19937& rng, size_t n, float lo, float hi) {
  std::uniform_real_distribution<float> d(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = d(rng);
  return v;
}

// `n` floats uniform in [lo, hi) from a generator seeded with `seed`: the same values on every run.
inline std::vector<float> random_floats(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  return random_floats(rng, n, lo, hi);
}

// Values placed `offset` bytes into a zero-filled byte vector.
template <typename T>
std::vector<uint8_t> at_offset(const std::vector<T>& values, int32_t offset) {
  std::vector<uint8_t> bytes(offset + values.size() * sizeof(T), 0);
  if (!values.empty()) std::memcpy(bytes.data() + offset, values.data(), values.size() * sizeof(T));
  return bytes;
}

}  // namespace kr_test
