// Race build: the ThreadSanitizer contexts that CUDA threads run in, one pool per stream.
//
// ThreadSanitizer tells two accesses apart only by the context that made them: two accesses by one
// context are in program order, and a context id that is freed is given to a later context, which
// then counts as coming after everything the old one did. Were the threads of launches on two
// unordered streams to share contexts (or the ids of destroyed ones), their conflicting accesses
// would pass as ordered. So each stream's launches run on a pool of contexts of their own, reused
// only by that stream's later launches, which the stream orders after them anyway. A pool is
// destroyed (its ids freed for reuse) only once the host has synchronised with everything its
// stream ran, after which every later launch comes after that work too.
//
// Within a pool, consecutive blocks of a launch use different sets of contexts (so that nothing
// orders a block after the one before it), up to four sets. Every context and its stack take
// several of the process's memory mappings, so at most 4,608 contexts are alive at once: the
// default stream's pool holds up to four sets of the largest block (4,096 contexts), every other
// stream's at most 512: four sets of a 128-thread block, two of a 256-thread block, half a set of a
// 1,024-thread block (threads 512 apart in one block, and consecutive blocks, then share
// contexts). Past the bound, the pools of streams the host has synchronised with go first, then
// those of destroyed streams; when none is left the least recently used pool goes, and races with
// what its threads did may be missed from then on.
#pragma once

#include <cstdint>

#include "engine.h"
#include "fiber_shim.h"

namespace kr_emu {
namespace detail {

#if defined(KR_EMU_TSAN)
// Before a launch of `stream` (null: the default stream) runs on `e`: its threads take their
// contexts from the stream's pool, and the pool holds work the host has not synchronised with.
void use_stream_contexts(engine& e, const void* stream);
// In prepare_block: the contexts and stacks of the block at `position` of the launch.
void bind_block_contexts(engine& e, std::uint64_t position);
// A faulted block's thread: its context (whose shadow call stack is unbalanced) is replaced.
void replace_context(engine& e, thread_state& t);
// The host has synchronised with everything `stream` ran.
void contexts_synchronised(const void* stream);
// The stream is destroyed: its pool goes once the host has synchronised with its work
// (orphans_synchronised, at a device synchronisation).
void stream_contexts_gone(const void* stream);
void orphans_synchronised();
#else
inline void use_stream_contexts(engine&, const void*) {}
inline void bind_block_contexts(engine&, std::uint64_t) {}
inline void replace_context(engine&, thread_state&) {}
inline void contexts_synchronised(const void*) {}
inline void stream_contexts_gone(const void*) {}
inline void orphans_synchronised() {}
#endif

}  // namespace detail
}  // namespace kr_emu
