// Schedule permutations: the orders in which a launch's blocks run and a block's threads resume,
// drawn from the schedule seed (0 = forward, 1 = reverse, any other value = pseudo-random).
#pragma once

#include <cstdint>

namespace kr_emu {
namespace detail {

// A bijective 64-bit mixer (SplitMix64's finaliser).
constexpr std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// Fisher-Yates shuffle of values[0, count) with keys drawn from `key`.
void shuffle_order(unsigned* values, unsigned count, std::uint64_t key);

// The position-th block to run of `count`: forward, reverse, or a seeded permutation of
// [0, count).
std::uint64_t block_at(std::uint64_t position, std::uint64_t count, std::uint64_t seed);

}  // namespace detail
}  // namespace kr_emu
