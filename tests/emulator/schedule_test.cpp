// The schedule permutations on their own: every schedule seed must give a permutation of the
// blocks and of a block's threads (a block run twice or never would pass or fail tests for the
// wrong reason), and the named schedules must be the orders their names promise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "schedule.h"

namespace {

using kr_emu::detail::block_at;
using kr_emu::detail::mix;
using kr_emu::detail::shuffle_order;

std::vector<std::uint64_t> block_order(std::uint64_t count, std::uint64_t seed) {
  std::vector<std::uint64_t> order(count);
  for (std::uint64_t p = 0; p < count; ++p) order[p] = block_at(p, count, seed);
  return order;
}

bool is_permutation_of_range(std::vector<std::uint64_t> order) {
  std::sort(order.begin(), order.end());
  for (std::uint64_t i = 0; i < order.size(); ++i)
    if (order[i] != i) return false;
  return true;
}

// Grid sizes around powers of two (the permutation walks the enclosing power of two).
constexpr std::uint64_t grid_sizes[] = {1, 2, 3, 7, 8, 9, 64, 100, 1000, 4097};

TEST(ScheduleTest, ForwardAndReverseAreTheLinearOrders) {
  for (std::uint64_t count : grid_sizes) {
    for (std::uint64_t p = 0; p < count; ++p) {
      EXPECT_EQ(block_at(p, count, 0), p);
      EXPECT_EQ(block_at(p, count, 1), count - 1 - p);
    }
  }
}

TEST(ScheduleTest, SeededBlockOrdersArePermutations) {
  for (std::uint64_t seed : {2ull, 17ull, 12345ull, ~0ull}) {
    for (std::uint64_t count : grid_sizes)
      EXPECT_TRUE(is_permutation_of_range(block_order(count, seed))) << "seed " << seed << ", " << count << " blocks";
  }
}

TEST(ScheduleTest, SeededBlockOrdersDifferFromTheLinearOnesAndEachOther) {
  const std::vector<std::uint64_t> forward = block_order(1000, 0), reverse = block_order(1000, 1);
  const std::vector<std::uint64_t> a = block_order(1000, 17), b = block_order(1000, 18);
  EXPECT_NE(a, forward);
  EXPECT_NE(a, reverse);
  EXPECT_NE(a, b);
  EXPECT_EQ(a, block_order(1000, 17));  // reproducible
}

TEST(ScheduleTest, ShuffledThreadOrdersArePermutationsDrawnFromTheKey) {
  for (unsigned count : {1u, 2u, 32u, 33u, 1024u}) {
    std::vector<unsigned> a(count), b(count);
    std::iota(a.begin(), a.end(), 0u);
    std::iota(b.begin(), b.end(), 0u);
    shuffle_order(a.data(), count, 99);
    shuffle_order(b.data(), count, 99);
    EXPECT_EQ(a, b);
    std::vector<unsigned> sorted = a;
    std::sort(sorted.begin(), sorted.end());
    for (unsigned i = 0; i < count; ++i) EXPECT_EQ(sorted[i], i);
    if (count >= 32) {
      std::vector<unsigned> c(count);
      std::iota(c.begin(), c.end(), 0u);
      shuffle_order(c.data(), count, 100);
      EXPECT_NE(a, c);
    }
  }
}

// The mixer is SplitMix64's finaliser; its value pins every seeded schedule (and the poison and
// math deviations drawn from it), so a change to it would silently change what the seeds test.
TEST(ScheduleTest, MixerIsSplitMix64) {
  EXPECT_EQ(mix(0), 0xe220a8397b1dcdafull);
  EXPECT_EQ(mix(0x9e3779b97f4a7c15ull), 0x6e789e6aa1b965f4ull);
}

}  // namespace
