// Schedule permutations.
#include "schedule.h"

namespace kr_emu {
namespace detail {

void shuffle_order(unsigned* values, unsigned count, std::uint64_t key) {
  for (unsigned i = count; i > 1; --i) {
    key = mix(key);
    const unsigned j = static_cast<unsigned>(key % i);
    const unsigned v = values[i - 1];
    values[i - 1] = values[j];
    values[j] = v;
  }
}

// The position-th block to run: forward, reverse, or a seeded permutation of [0, count) made from
// a bijection of the enclosing power of two (an odd multiply and xor-shifts), walking the cycle
// until the value falls inside the grid.
std::uint64_t block_at(std::uint64_t position, std::uint64_t count, std::uint64_t seed) {
  if (seed == 0) return position;
  if (seed == 1) return count - 1 - position;
  int bits = 1;
  while (bits < 64 && (std::uint64_t{1} << bits) < count) ++bits;
  const std::uint64_t domain = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
  const std::uint64_t multiplier = mix(seed) | 1u, offset = mix(seed + 1);
  std::uint64_t x = position;
  do {
    x = (x * multiplier + offset) & domain;
    x ^= x >> ((bits + 1) / 2);
    x = (x * ((multiplier ^ 0x2545f4914f6cdd1dull) | 1u)) & domain;
  } while (x >= count);
  return x;
}

}  // namespace detail
}  // namespace kr_emu
