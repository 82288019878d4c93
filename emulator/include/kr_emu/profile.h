// Memory-access profile of emulated kernels (the profile build, KR_PROFILE=memory).
//
// The kernel sources of that build are compiled with GCC's kernel AddressSanitizer instrumentation
// in its call-every-access form, so that every load and store calls a hook of the emulator with its
// address, size and return address (the access site). The hooks keep the accesses that fall in a
// live device allocation or in the module's shared arrays while a kernel runs, tagged with the CUDA
// thread, and group them as a GPU would: the lanes of one warp that reach the same site for the
// same time make one warp-wide request. Per request the profile counts 32-byte sectors and useful
// bytes (global memory), bank-conflict ways (shared memory, 32 banks of 4 bytes) and lanes of an
// atomic that share an address. Host code is never instrumented.
//
// What the instrumentation cannot see: an access at a constant index into a shared array
// (`warp_sums[0]`), which the compiler knows to be in bounds and leaves alone, and memcpy calls in
// device code. Accesses through pointers (all of device memory) and at run-time indices are seen.
//
// Large grids are sampled: a launch of more blocks than the block budget runs only the first and
// last block and an even spread between them (the emulator's block filter, kr_emu::sample_blocks),
// and its figures are scaled by blocks / sampled blocks.
//
// The analysis (analyse_block, analyse_request) is plain code on recorded accesses,
// available in every build; recording (start, stop, results, hooks) exists only in the profile
// build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kr_emu {
namespace profile {

enum class space : std::uint8_t { global, shared };
enum class kind : std::uint8_t { load, store, atomic };

// One access of one CUDA thread of a block.
struct access {
  std::uintptr_t site;      // the instruction's address (any identifier of the access site)
  std::uint64_t address;
  std::uint32_t thread;     // linear index in the block (x fastest); lane = thread % 32
  std::uint32_t occurrence; // how often this thread had reached this site before (0 the first time)
  std::uint32_t size;       // bytes
  kind what;
  space where;
  std::uint16_t operand = 0;  // global memory: which operand of the launch it falls in (see below)
};

// Figures of a set of warp requests. Counts from sampled launches are scaled, hence doubles.
struct figures {
  double global_requests = 0;  // warp-wide loads and stores of device memory
  double global_sectors = 0;   // 32-byte sectors they touch, each request's distinct sectors
  double useful_bytes = 0;     // distinct bytes each request asked for
  double shared_requests = 0;
  double shared_ways = 0;      // sum over shared requests of their bank-conflict ways
  double shared_ways_max = 0;  // the worst request (not scaled)
  double atomics = 0;          // atomic operations (lanes)
  double atomic_requests = 0;
  double atomic_same_address = 0;  // lanes whose address another lane of the request also used
  double unique_sectors = 0;   // distinct global sectors of each launch, summed over launches (a
                               // sampled launch's at most the sectors of the allocations it touched)

  figures& operator+=(const figures& o);
  figures scaled(double factor) const;
  double sectors_per_request() const { return global_requests > 0 ? global_sectors / global_requests : 0; }
  double useful_fraction() const { return global_sectors > 0 ? useful_bytes / (32 * global_sectors) : 0; }
  double fetched_bytes() const { return 32 * global_sectors; }
  double ways_per_request() const { return shared_requests > 0 ? shared_ways / shared_requests : 0; }
};

// Groups one block's accesses into warp requests (same warp, site, occurrence, kind and space) and
// adds their figures to `into`; the global sectors touched are added to `sectors` when given, which
// is left sorted without repeats. With `operands`, each global load and store request also adds to
// the entry of its lanes' operand (grown as needed): a request whose lanes fall in several operands
// counts once in each, with the sectors and bytes of its lanes there. Reorders `accesses`.
void analyse_block(std::vector<access>& accesses, figures& into, std::vector<std::uint64_t>* sectors,
                   std::vector<figures>* operands = nullptr);

// Figures of one warp request: the accesses of its lanes (one per lane, any order).
figures analyse_request(const access* lanes, std::size_t count);

// An operand of a kernel: the device allocation its global requests fell in, named after the
// kernel arguments whose pointer values point into it. Where several pointer arguments point into
// one allocation at different places, each access belongs to the nearest one at or below its
// address (the lowest when it lies below them all). Operands of the kernel's launches are merged
// by those argument positions; an allocation that no argument points into (reached through a
// pointer held in memory, or an argument of a structure type) is an unnamed operand, merged by its
// size and the order in which the launch first touched the unnamed ones.
struct operand_figures {
  std::vector<int> arguments;        // positions (0 first) of the pointer arguments; empty if unnamed
  std::uint64_t allocation_bytes = 0;  // of the allocation it lies in (the first launch's)
  int unnamed = -1;                  // unnamed operands: 0 for the first the launch touched, ...
  figures measured;                  // global loads and stores only, scaled to every block
};

// Figures per kernel of what was recorded since start().
struct kernel_figures {
  const void* kernel = nullptr;
  std::string name;            // demangled, without parameters ("" when unknown)
  std::vector<std::string> parameters;  // the kernel's parameter types, when its name is known
  std::uint64_t launches = 0;
  std::uint64_t blocks = 0;          // of all its launches
  std::uint64_t sampled_blocks = 0;  // blocks that ran and were recorded
  figures measured;                  // scaled to every block
  std::vector<operand_figures> operands;  // named ones by argument position, then unnamed ones
};

// Starts recording afresh, sampling launches of more than `block_budget` blocks (0: no sampling).
void start(std::uint64_t block_budget);
// Stops recording; the figures stay until the next start().
void stop();
// Per kernel, in order of first launch.
std::vector<kernel_figures> results();

// Called by the scheduler when a launch starts and ends (`launch` is the engine that runs it, which
// names it among those running interleaved and holds its arguments, a kr_emu::detail::call_header;
// `runs` blocks of its `blocks` run under the block filter), and by the atomics of device code.
namespace hooks {
void launch_begin(const void* launch, const void* kernel, std::uint64_t blocks, std::uint64_t runs);
void launch_end(const void* launch);
void atomic(const void* address, std::size_t size, const void* site);
}  // namespace hooks

}  // namespace profile
}  // namespace kr_emu
