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
// The analysis (analyse_block, analyse_request, sample_blocks) is plain code on recorded accesses,
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
// is left sorted without repeats. Reorders `accesses`.
void analyse_block(std::vector<access>& accesses, figures& into, std::vector<std::uint64_t>* sectors);

// Figures of one warp request: the accesses of its lanes (one per lane, any order).
figures analyse_request(const access* lanes, std::size_t count);

// The linear indices of the blocks a launch of `blocks` blocks runs under a budget of `budget`
// blocks (0: no limit): all of them when they fit, otherwise the first, the last and an even
// spread between them, `budget` in all, ascending.
std::vector<std::uint64_t> sample_blocks(std::uint64_t blocks, std::uint64_t budget);

// Figures per kernel of what was recorded since start().
struct kernel_figures {
  const void* kernel = nullptr;
  std::string name;            // demangled, without parameters ("" when unknown)
  std::uint64_t launches = 0;
  std::uint64_t blocks = 0;          // of all its launches
  std::uint64_t sampled_blocks = 0;  // blocks that ran and were recorded
  figures measured;                  // scaled to every block
};

// Starts recording afresh, sampling launches of more than `block_budget` blocks (0: no sampling).
void start(std::uint64_t block_budget);
// Stops recording; the figures stay until the next start().
void stop();
// Per kernel, in order of first launch.
std::vector<kernel_figures> results();

// Called by the scheduler when a launch starts and ends (`launch` names it among those running
// interleaved; `runs` blocks of its `blocks` run under the block filter), and by the atomics of
// device code.
namespace hooks {
void launch_begin(const void* launch, const void* kernel, std::uint64_t blocks, std::uint64_t runs);
void launch_end(const void* launch);
void atomic(const void* address, std::size_t size, const void* site);
}  // namespace hooks

}  // namespace profile
}  // namespace kr_emu
