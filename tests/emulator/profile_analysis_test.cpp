// The profiler's grouping of accesses into warp requests and its figures per request, on
// hand-made accesses (every build).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kr_emu/kernel_name.h"
#include "kr_emu/profile.h"

namespace {

using kr_emu::profile::access;
using kr_emu::profile::analyse_block;
using kr_emu::profile::analyse_request;
using kr_emu::profile::figures;
using kr_emu::profile::kind;
using kr_emu::profile::space;

// One access per lane of warp 0: lane l at base + l * stride, `size` bytes.
std::vector<access> warp(std::uint64_t base, std::uint64_t stride, std::uint32_t size,
                         space where = space::global, kind what = kind::load, unsigned lanes = 32) {
  std::vector<access> out;
  for (unsigned l = 0; l < lanes; ++l) out.push_back(access{0x100, base + l * stride, l, 0, size, what, where});
  return out;
}

struct global_case {
  const char* name;
  std::uint64_t base, stride;
  std::uint32_t size;
  double sectors, useful_fraction;
};

TEST(ProfileAnalysis, GlobalRequestSectorsAndUsefulBytes) {
  const global_case cases[] = {
      {"consecutive floats", 0x1000, 4, 4, 4, 1.0},
      {"consecutive floats off a sector boundary", 0x1004, 4, 4, 5, 128.0 / 160.0},
      {"floats 128 bytes apart", 0x1000, 128, 4, 32, 4.0 / 32.0},
      {"one float for every lane", 0x1000, 0, 4, 1, 4.0 / 32.0},
      {"consecutive float4s", 0x1000, 16, 16, 16, 1.0},
      {"consecutive bytes", 0x1000, 1, 1, 1, 1.0},
      {"overlapping 8-byte reads 4 apart", 0x1000, 4, 8, 5, 132.0 / 160.0},
  };
  for (const global_case& c : cases) {
    const std::vector<access> lanes = warp(c.base, c.stride, c.size);
    const figures f = analyse_request(lanes.data(), lanes.size());
    EXPECT_EQ(f.global_requests, 1) << c.name;
    EXPECT_EQ(f.global_sectors, c.sectors) << c.name;
    EXPECT_DOUBLE_EQ(f.useful_fraction(), c.useful_fraction) << c.name;
  }
}

struct shared_case {
  const char* name;
  std::uint64_t stride;
  std::uint32_t size;
  double ways;
};

TEST(ProfileAnalysis, SharedRequestBankConflictWays) {
  const shared_case cases[] = {
      {"consecutive words", 4, 4, 1},
      {"one word for every lane", 0, 4, 1},
      {"a column of a 32-wide tile", 128, 4, 32},
      {"two words apart", 8, 4, 2},
      {"a column of a 33-wide tile", 132, 4, 1},
      {"consecutive bytes", 1, 1, 1},
      // Wider accesses are served in phases of 16 (8 bytes) or 8 lanes (16 bytes).
      {"consecutive doubles", 8, 8, 1},
      {"consecutive float4s", 16, 16, 1},
      {"float4s 32 bytes apart", 32, 16, 2},
  };
  for (const shared_case& c : cases) {
    const std::vector<access> lanes = warp(0x8000, c.stride, c.size, space::shared);
    const figures f = analyse_request(lanes.data(), lanes.size());
    EXPECT_EQ(f.shared_requests, 1) << c.name;
    EXPECT_EQ(f.shared_ways, c.ways) << c.name;
    EXPECT_EQ(f.global_requests, 0) << c.name;
  }
}

TEST(ProfileAnalysis, AtomicLanesOnOneAddress) {
  std::vector<access> same = warp(0x1000, 0, 4, space::global, kind::atomic);
  figures f = analyse_request(same.data(), same.size());
  EXPECT_EQ(f.atomics, 32);
  EXPECT_EQ(f.atomic_requests, 1);
  EXPECT_EQ(f.atomic_same_address, 32);
  EXPECT_EQ(f.global_requests, 0);
  std::vector<access> apart = warp(0x1000, 4, 4, space::global, kind::atomic);
  apart[1].address = apart[0].address;  // two lanes share, thirty do not
  f = analyse_request(apart.data(), apart.size());
  EXPECT_EQ(f.atomic_same_address, 2);
}

TEST(ProfileAnalysis, BlockGroupsLanesByWarpSiteOccurrenceAndKind) {
  // 64 threads each read two consecutive floats in a loop at one site, then store one float at
  // another: two warps x (two loads + one store) = 6 requests of 4 sectors each.
  std::vector<access> block;
  for (std::uint32_t t = 0; t < 64; ++t) {
    for (std::uint32_t k = 0; k < 2; ++k)
      block.push_back(access{0x10, 0x1000 + 512 * k + 4 * t, t, k, 4, kind::load, space::global});
    block.push_back(access{0x20, 0x9000 + 4 * t, t, 0, 4, kind::store, space::global});
  }
  figures f;
  std::vector<std::uint64_t> sectors;
  analyse_block(block, f, &sectors);
  EXPECT_EQ(f.global_requests, 6);
  EXPECT_EQ(f.global_sectors, 24);
  EXPECT_EQ(f.useful_fraction(), 1.0);
  EXPECT_EQ(sectors.size(), 24u);
}

TEST(ProfileAnalysis, RequestOverTwoOperandsCountsInEachWithItsOwnLanes) {
  // One warp reads 32 consecutive floats whose first 8 lanes fall in operand 1 and the others in
  // operand 0 (2), then one float 128 bytes apart per lane from operand 2; atomics and shared
  // requests have no operand.
  std::vector<access> block = warp(0x1000, 4, 4);
  for (access& a : block) a.operand = a.thread < 8 ? 1 : 0;
  for (access a : warp(0x8000, 128, 4)) {
    a.site = 0x200;
    a.operand = 2;
    block.push_back(a);
  }
  for (const access& a : warp(0x100, 4, 4, space::shared)) block.push_back(access{0x300, a.address, a.thread, 0, 4, kind::load, space::shared, 3});
  figures f;
  std::vector<figures> operands;
  analyse_block(block, f, nullptr, &operands);
  ASSERT_EQ(operands.size(), 3u);
  EXPECT_EQ(f.global_requests, 2);
  EXPECT_EQ(f.global_sectors, 4 + 32);
  EXPECT_EQ(operands[0].global_requests, 1);
  EXPECT_EQ(operands[0].global_sectors, 3);
  EXPECT_EQ(operands[0].useful_bytes, 96);
  EXPECT_EQ(operands[1].global_requests, 1);
  EXPECT_EQ(operands[1].global_sectors, 1);
  EXPECT_EQ(operands[1].useful_bytes, 32);
  EXPECT_EQ(operands[2].global_requests, 1);
  EXPECT_EQ(operands[2].global_sectors, 32);
  EXPECT_EQ(operands[2].useful_fraction(), 4.0 / 32);
  EXPECT_EQ(operands[2].shared_requests, 0);
}

TEST(ProfileAnalysis, KernelNamesAndParametersFromDemangledNames) {
  struct name_case {
    const char* full;
    const char* name;
    std::vector<std::string> parameters;
  };
  const name_case cases[] = {
      {"kr::(anonymous namespace)::vector_kernel<3>(float const*, int)", "vector_kernel<3>", {"float const*", "int"}},
      {"kr::(anonymous namespace)::norm_rows_kernel<(anonymous namespace)::layer_norm_op, float const*>(int, float*, "
       "float const*)",
       "norm_rows_kernel<(anonymous namespace)::layer_norm_op, float const*>",
       {"int", "float*", "float const*"}},
      {"copy_kernel(profile_kernels::output_view, std::pair<int, int>, void (*)(int, int))", "copy_kernel",
       {"profile_kernels::output_view", "std::pair<int, int>", "void (*)(int, int)"}},
      {"empty_kernel()", "empty_kernel", {}},
      {"plain_symbol", "plain_symbol", {}},
  };
  for (const name_case& c : cases) {
    EXPECT_EQ(kr_emu::short_kernel_name(c.full), c.name) << c.full;
    EXPECT_EQ(kr_emu::kernel_parameters(c.full), c.parameters) << c.full;
  }
}

TEST(ProfileAnalysis, FiguresScaleExceptTheWorstRequest) {
  figures f;
  f.global_requests = 2;
  f.global_sectors = 8;
  f.shared_requests = 1;
  f.shared_ways = f.shared_ways_max = 4;
  const figures g = f.scaled(3);
  EXPECT_EQ(g.global_requests, 6);
  EXPECT_EQ(g.global_sectors, 24);
  EXPECT_EQ(g.shared_ways, 12);
  EXPECT_EQ(g.shared_ways_max, 4);
  EXPECT_EQ(g.sectors_per_request(), 4);
}

}  // namespace
