// Race build: one pool of ThreadSanitizer contexts per stream (see race_contexts.h).
#include "race_contexts.h"

#if defined(KR_EMU_TSAN)

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform.h"

namespace kr_emu {
namespace detail {

struct context_pool {
  const void* stream = nullptr;  // null: the default stream
  std::vector<void*> fibers;     // contexts, made as blocks first need them
  std::vector<worker*> stacks;   // stack s always runs with context s mod (the pool's capacity)
  std::size_t live = 0;
  bool dirty = false;   // ran work the host has not synchronised with
  bool orphan = false;  // its stream is destroyed
  std::uint64_t last_use = 0;
};

namespace {

constexpr std::size_t max_sets = 4;
constexpr std::size_t default_pool_contexts = 4096;
constexpr std::size_t stream_pool_contexts = 512;
// Within ThreadSanitizer's 8,192 ids and the process's mapping limit (a context and its stack take
// several mappings each).
constexpr std::size_t context_budget = 4608;

struct pools_state {
  std::vector<std::unique_ptr<context_pool>> pools;
  std::vector<worker*> spare_stacks;  // mapped afresh, for any pool
  std::size_t live = 0;
  std::uint64_t clock = 0;
};
pools_state& pools() {
  static pools_state* s = new pools_state;  // outlives fibers still running at exit
  return *s;
}

context_pool* find_pool(const void* stream) {
  for (auto& p : pools().pools)
    if (p->stream == stream && !p->orphan) return p.get();
  return nullptr;
}

// Destroys a pool's contexts and maps its stacks afresh (which clears what the sanitizer knew of
// them) for other pools to take.
void empty_pool(context_pool& p) {
  sanitizer_ignore_scope ignore;
  for (void*& fiber : p.fibers) {
    if (fiber != nullptr) tsan::destroy(fiber);
    fiber = nullptr;
  }
  pools().live -= p.live;
  p.live = 0;
  for (worker* w : p.stacks) {
    if (w == nullptr) continue;
    if (mmap(w->stack_bottom, w->stack_size, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0) != w->stack_bottom)
      fatal("cannot map a fiber stack afresh");
    make_fresh(*w);
    pools().spare_stacks.push_back(w);
  }
  p.stacks.clear();
}

void drop_pool(context_pool* p) {
  empty_pool(*p);
  auto& all = pools().pools;
  all.erase(std::find_if(all.begin(), all.end(), [p](const auto& q) { return q.get() == p; }));
}

// Frees contexts for `needing`: first the pools of streams the host has synchronised with, then
// those of destroyed streams, then the least recently used.
void make_room(const context_pool* needing) {
  context_pool* victim = nullptr;
  const auto rank = [](const context_pool& p) { return p.dirty ? (p.orphan ? 1 : 2) : 0; };
  for (auto& p : pools().pools) {
    if (p.get() == needing || p->live == 0) continue;
    if (victim == nullptr || rank(*p) < rank(*victim) ||
        (rank(*p) == rank(*victim) && p->last_use < victim->last_use))
      victim = p.get();
  }
  if (victim == nullptr) fatal("out of ThreadSanitizer contexts");
  if (victim->orphan) {
    drop_pool(victim);
  } else {
    empty_pool(*victim);
  }
}

void* new_context(context_pool& p, std::size_t index) {
  while (pools().live >= context_budget) make_room(&p);
  char name[96];
  if (p.stream == nullptr) {
    std::snprintf(name, sizeof name, "CUDA thread context %zu of the default stream", index);
  } else {
    std::snprintf(name, sizeof name, "CUDA thread context %zu of stream %p", index, p.stream);
  }
  ++p.live;
  ++pools().live;
  return tsan::create_named(name);
}

worker* take_stack(engine& e) {
  auto& spare = pools().spare_stacks;
  if (spare.empty()) return new_worker(e);
  worker* w = spare.back();
  spare.pop_back();
  return w;
}

}  // namespace

void use_stream_contexts(engine& e, const void* stream) {
  context_pool* p = find_pool(stream);
  if (p == nullptr) {
    pools().pools.push_back(std::make_unique<context_pool>());
    p = pools().pools.back().get();
    p->stream = stream;
  }
  p->dirty = true;
  p->last_use = ++pools().clock;
  e.pool = p;
}

void bind_block_contexts(engine& e, std::uint64_t position) {
  context_pool& p = *e.pool;
  const std::size_t n = e.block_size;
  const std::size_t cap = p.stream == nullptr ? default_pool_contexts : stream_pool_contexts;
  const std::size_t capacity = std::min(cap, n * max_sets);
  const std::size_t sets = std::max<std::size_t>(1, capacity / n);
  const std::size_t base = static_cast<std::size_t>(position % sets) * n;
  if (p.fibers.size() < capacity) p.fibers.resize(capacity, nullptr);
  if (p.stacks.size() < base + n) p.stacks.resize(base + n, nullptr);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t s = base + i;
    void*& fiber = p.fibers[s % capacity];
    if (fiber == nullptr) fiber = new_context(p, s % capacity);
    if (p.stacks[s] == nullptr) p.stacks[s] = take_stack(e);
    e.threads[i].fiber = fiber;
    e.threads[i].runner = p.stacks[s];
  }
}

void replace_context(engine& e, thread_state& t) {
  for (std::size_t i = 0; i < e.pool->fibers.size(); ++i) {
    void*& fiber = e.pool->fibers[i];
    if (fiber != t.fiber) continue;
    tsan::destroy(fiber);
    --e.pool->live;
    --pools().live;
    fiber = new_context(*e.pool, i);
  }
  t.fiber = nullptr;
}

void contexts_synchronised(const void* stream) {
  if (context_pool* p = find_pool(stream)) p->dirty = false;
}

void stream_contexts_gone(const void* stream) {
  context_pool* p = find_pool(stream);
  if (p == nullptr) return;
  if (!p->dirty) {
    drop_pool(p);
  } else {
    p->orphan = true;
  }
}

void orphans_synchronised() {
  auto& all = pools().pools;
  for (std::size_t i = all.size(); i-- > 0;)
    if (all[i]->orphan) drop_pool(all[i].get());
}

}  // namespace detail
}  // namespace kr_emu

#endif
