// Running launches: a default-stream launch's grid at its call (run_grid), and the work queued
// on the context's streams when something synchronises (run_pending), the blocks of the launches
// at the heads of the streams interleaved under the schedule seed. The blocks themselves run on
// the fiber engine of src/scheduler.cpp.
#include <cstring>
#include <vector>

#include "engine.h"
#include "fiber_shim.h"
#include "platform.h"
#if defined(KR_EMU_PROFILE)
#include "kr_emu/profile.h"
#endif
#include "race_contexts.h"
#include "schedule.h"

// Bounds of the __shared__ arrays of the module (src/shared_memory.ld).
extern "C" char __start_kr_emu_shared[] __attribute__((visibility("hidden")));
extern "C" char __stop_kr_emu_shared[] __attribute__((visibility("hidden")));

namespace kr_emu {
namespace detail {
namespace {

// Plain builds interleave the blocks of launches on different streams at every rendezvous (so a
// read-modify-write spread over a barrier loses updates as on a GPU); the sanitizer builds
// interleave whole blocks (their reports do not depend on the interleaving, and their shared
// arrays are remapped or poisoned per block).
#if defined(KR_EMU_TSAN) || defined(KR_EMU_ASAN)
constexpr bool rendezvous_interleaving = false;
#else
constexpr bool rendezvous_interleaving = true;
#endif

// The race build gives every CUDA thread a ThreadSanitizer context and a stack of its own, taken
// from the pool of the launch's stream (src/race_contexts.h), so that nothing orders two streams'
// work; more engines would pass the process's mapping limit, so it runs the queued launches one at
// a time on the default engine.
constexpr std::size_t max_heads = dedicated_workers ? 1 : ~std::size_t{0};

// Engines: the first runs default-stream launches, the others the launches at the heads of the
// streams while queued work runs.
// The list is made at the first launch and never destroyed: an engine may be mid-launch in a
// fiber when static destructors run, and leak checkers see it reachable while the library is
// loaded; a library loaded and unloaded without a launch allocates nothing.
struct engine_list {
  std::vector<engine*> engines;
  std::vector<bool> busy;
};
engine_list& engine_state() {
  static engine_list* list = new engine_list;
  return *list;
}

std::size_t take_engine() {
  for (std::size_t i = 1; i < engine_state().engines.size(); ++i) {
    if (!engine_state().busy[i]) {
      engine_state().busy[i] = true;
      return i;
    }
  }
  if (engine_state().engines.empty()) {
    engine_state().engines.push_back(new engine);
    engine_state().busy.push_back(true);
  }
  engine_state().engines.push_back(new engine);
  engine_state().busy.push_back(true);
  return engine_state().engines.size() - 1;
}

engine& default_engine() {
  if (engine_state().engines.empty()) {
    engine_state().engines.push_back(new engine);
    engine_state().busy.push_back(true);
  }
  return *engine_state().engines[0];
}

uint3 block_index(std::uint64_t b, dim3 grid) {
  return uint3{static_cast<unsigned>(b % grid.x), static_cast<unsigned>(b / grid.x % grid.y),
               static_cast<unsigned>(b / (std::uint64_t{grid.x} * grid.y))};
}

// The shared arrays hold one block's at a time: an engine whose block is interrupted keeps a copy.
std::size_t shared_size() { return static_cast<std::size_t>(__stop_kr_emu_shared - __start_kr_emu_shared); }
void save_shared(engine& e) {
  e.shared_copy.resize(shared_size());
  if (!e.shared_copy.empty()) std::memcpy(e.shared_copy.data(), __start_kr_emu_shared, e.shared_copy.size());
  e.shared_saved = true;
}
void restore_shared(engine& e) {
  if (!e.shared_saved) return;
  if (!e.shared_copy.empty()) std::memcpy(__start_kr_emu_shared, e.shared_copy.data(), e.shared_copy.size());
  e.shared_saved = false;
}

// A launch at the head of its stream's queue while queued work runs.
struct head_launch {
  CUstream_st* stream;
  pending_launch* launch;
  std::size_t engine_index;
  std::uint64_t runs = 0, position = 0;
  bool open = false;  // a block is in progress
};

void* stream_context(CUstream_st* stream) {
  if (stream->work.fiber == nullptr) stream->work.fiber = tsan::create_named("CUDA stream");
  return stream->work.fiber;
}

// A stream-ordered free, done in the stream's context (after what the stream ran before it).
void free_in_stream(CUstream_st* stream, void* ptr, void* host) {
  tsan::switch_to(stream_context(stream));
  release(ptr);
  tsan::switch_to(host);
}

// Ends a launch's run in its stream's context: the stream's later work comes after what its threads
// did, and its copy of the arguments (which they read) goes.
void retire(CUstream_st* stream, pending_launch* l, void* host) {
  tsan::switch_to(stream_context(stream));
  tsan::acquire(&l->end);
  if (l->request.call != nullptr) l->request.destroy(l->request.call);
  l->request.call = nullptr;
  tsan::switch_to(host);
}

void discard(pending_launch* l) {
  if (l->request.call != nullptr) l->request.destroy(l->request.call);
  delete l;
}

}  // namespace

void run_grid(const launch_request& request, const std::vector<std::uint64_t>* chosen) {
  platform& s = state();
  engine& e = default_engine();
  the_engine = &e;
  prepare_launch(e, request.block, request, s.schedule_seed);
  use_stream_contexts(e, nullptr);
  e.poison = poison_for_seed(s.schedule_seed);
  e.main_fiber = tsan::current();
  e.end_sync = &e.launch_end;
  e.begin_sync = &e.block_begin;
  e.preemptible = false;
  gridDim = request.grid;
  blockDim = request.block;
  begin_launches(s);
  const dim3 grid = request.grid;
  const std::uint64_t blocks = std::uint64_t{grid.x} * grid.y * grid.z;
  // Under a block filter the schedule permutes the chosen blocks among themselves.
  const std::uint64_t runs = chosen != nullptr ? chosen->size() : blocks;
#if defined(KR_EMU_PROFILE)
  profile::hooks::launch_begin(&e, request.kernel, blocks, runs);
#endif
  for (std::uint64_t position = 0; position < runs; ++position) {
    std::uint64_t b = block_at(position, runs, e.seed);
    if (chosen != nullptr) b = (*chosen)[b];
    blockIdx = block_index(b, grid);
    prepare_block(e, b, position);
    const bool completed = run_block(e) == block_end::done;
    finish_block(e);
    if (!completed) break;
  }
#if defined(KR_EMU_PROFILE)
  profile::hooks::launch_end(&e);
#endif
  end_launches();
  // The host sees everything the grid's threads did.
  tsan::acquire(&e.launch_end);
  contexts_synchronised(nullptr);
  check_guards(e.kernel);
}

void run_pending() {
  platform& s = state();
  bool queued = false;
  for (const CUstream_st* st : s.streams) queued = queued || !st->work.queue.empty();
  if (!queued) return;
  void* const host = tsan::current();
  const std::uint64_t seed = s.schedule_seed;
  std::uint64_t key = mix(seed ^ 0x73747265616d73ull);
  std::vector<head_launch> heads;
  bool faulted = s.devices.empty() || current().sticky_error != cudaSuccess;

  // Moves every stream without a running launch on to its next launch, doing the frees before it.
  const auto advance = [&] {
    for (CUstream_st* st : s.streams) {
      bool running = false;
      for (const head_launch& h : heads) running = running || h.stream == st;
      while (!running && !st->work.queue.empty()) {
        const stream_op op = st->work.queue.front();
        if (op.launch == nullptr) {
          st->work.queue.pop_front();
          free_in_stream(st, op.freed, host);
          continue;
        }
        if (faulted) {
          st->work.queue.pop_front();
          discard(op.launch);
          continue;
        }
        if (heads.size() >= max_heads) break;
        pending_launch* l = op.launch;
        const std::size_t index = dedicated_workers ? 0 : take_engine();
        engine& e = index == 0 ? default_engine() : *engine_state().engines[index];
        use_stream_contexts(e, st);
        prepare_launch(e, l->request.block, l->request, seed);
        e.poison = poison_for_seed(seed);
        e.grid = l->request.grid;
        e.block = l->request.block;
        e.end_sync = &l->end;
        e.begin_sync = &l->block_begin;
        e.yield_key = mix(seed ^ mix(l->sequence));
        e.shared_saved = false;
        // The stream's context takes in what the host did before the call.
        tsan::switch_to(stream_context(st));
        tsan::acquire(&l->begin);
        tsan::switch_to(host);
        const std::uint64_t blocks = std::uint64_t{e.grid.x} * e.grid.y * e.grid.z;
        heads.push_back(head_launch{st, l, index, l->every_block ? blocks : l->chosen.size()});
#if defined(KR_EMU_PROFILE)
        profile::hooks::launch_begin(&e, l->request.kernel, blocks, heads.back().runs);
#endif
        running = true;
      }
    }
  };

  begin_launches(s);
  advance();
  engine* holder = nullptr;  // the engine whose block's shared arrays are in place
  while (!heads.empty()) {
    // Forward: the launches in the order of their calls; reverse: the latest first; a seed: a
    // pseudo-random head at every turn.
    std::size_t k = 0;
    for (std::size_t i = 1; i < heads.size(); ++i) {
      const bool later = heads[i].launch->sequence > heads[k].launch->sequence;
      if (seed == 0 ? !later : seed == 1 ? later : false) k = i;
    }
    if (seed > 1) {
      key = mix(key);
      k = static_cast<std::size_t>(key % heads.size());
    }
    head_launch& h = heads[k];
    engine& e = *engine_state().engines[h.engine_index];
    if (rendezvous_interleaving && holder != &e) {
      if (holder != nullptr) save_shared(*holder);
      restore_shared(e);
    }
    holder = &e;
    the_engine = &e;
    gridDim = e.grid;
    blockDim = e.block;
    e.main_fiber = host;
    e.preemptible = rendezvous_interleaving && seed > 1 && heads.size() > 1;
    if (!h.open && h.position < h.runs) {
      std::uint64_t b = block_at(h.position, h.runs, seed);
      if (!h.launch->every_block) b = h.launch->chosen[b];
      e.block_index = block_index(b, e.grid);
      blockIdx = e.block_index;
      prepare_block(e, b, h.position);
      // The block starts after what its stream did before it, too (the host has not synchronised
      // with the stream's earlier launches).
      tsan::switch_to(stream_context(h.stream));
      tsan::release(e.begin_sync);
      tsan::switch_to(host);
      h.open = true;
    }
    blockIdx = e.block_index;
    const block_end end = h.open ? run_block(e) : block_end::done;
    if (end == block_end::yielded) continue;
    if (h.open) {
      finish_block(e);
      h.open = false;
      ++h.position;
    }
    if (end == block_end::faulted) faulted = true;
    if (!faulted && h.position < h.runs) continue;
    if (!faulted) {
      retire(h.stream, h.launch, host);
      check_guards(e.kernel);
      faulted = current().sticky_error != cudaSuccess;
    }
#if defined(KR_EMU_PROFILE)
    profile::hooks::launch_end(&e);
#endif
    if (faulted) {
      // A fault ends the context's work: every block in progress is dropped.
      for (head_launch& other : heads) {
        if (&other != &h && other.open) {
          engine& o = *engine_state().engines[other.engine_index];
          the_engine = &o;
          abandon_block(o);
          finish_block(o);
        }
        retire(other.stream, other.launch, host);
        other.stream->work.queue.pop_front();
        if (&other != &h) discard(other.launch);
        if (other.engine_index != 0) engine_state().busy[other.engine_index] = false;
      }
      h.stream->work.completed.push_back(h.launch);
      heads.clear();
      holder = nullptr;
      advance();  // drops the rest, does the frees
      break;
    }
    h.stream->work.queue.pop_front();
    h.stream->work.completed.push_back(h.launch);
    if (h.engine_index != 0) engine_state().busy[h.engine_index] = false;
    if (holder == &e) holder = nullptr;
    heads.erase(heads.begin() + static_cast<std::ptrdiff_t>(k));
    advance();
  }
  end_launches();
  the_engine = &default_engine();
}

}  // namespace detail
}  // namespace kr_emu
