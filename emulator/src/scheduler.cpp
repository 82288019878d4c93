// Kernel execution: the fiber engine. A block runs on the launching host thread with its CUDA
// threads as fibers (Boost.Context fcontext) on pooled stacks; src/launches.cpp decides which
// block of which launch runs when (one grid's blocks one after another, or the blocks of launches
// on different streams interleaved). The runtime (src/runtime.cpp) has checked every launch.
//
// A fiber switches only when its thread must wait: at a block barrier, at a warp collective, or
// when its thread has exited and another one is ready. A thread that never waits runs to the end
// on the fiber that started it, and that fiber goes straight on with the next unstarted thread,
// so a barrier-free kernel costs one function call per thread. A barrier completes when the
// threads that arrived plus those that exited make up the block; a warp collective completes when
// the last live lane of its mask arrives. Completed waiters resume in the order the schedule seed
// gives (src/schedule.cpp), and so do the blocks of the grid.
//
// Around every block the shared arrays are refilled with poison; after every launch the guard
// zones of device memory are checked. The watchdog (src/watchdog.cpp) interrupts a kernel in
// which no fiber reaches a rendezvous, its end or a new start for a generous time (a spin-wait),
// and ends it. Fault texts are in src/diagnostics.cpp.
//
// In the ThreadSanitizer build every CUDA thread is a TSan fiber (src/fiber_shim.h). Switches
// carry no synchronisation; the happens-before edges are exactly the CUDA ones: the host's work
// before a block is released to the block's threads as they start; a barrier orders what each
// thread did before it with what every thread does after it; a warp collective does the same
// among the lanes that take part; each thread's work is released at its end and acquired by the
// host when it synchronises with the launch (src/streams.h). Blocks are not ordered with one
// another, so unsynchronised accesses from two blocks are reported too; the shared arrays are
// mapped afresh before each block so that the previous block's accesses to them do not count. The
// emulator's own code is not instrumented.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "diagnostics.h"
#include "engine.h"
#include "fiber_shim.h"
#include "platform.h"
#include "race_contexts.h"
#include "schedule.h"
#include "watchdog.h"

uint3 threadIdx;
uint3 blockIdx;
dim3 blockDim;
dim3 gridDim;
const int warpSize = 32;

// Bounds of the __shared__ arrays of the module, gathered by shared_memory.ld (see
// kr_emu/device.h); page-aligned.
extern "C" char __start_kr_emu_shared[] __attribute__((visibility("hidden")));
extern "C" char __stop_kr_emu_shared[] __attribute__((visibility("hidden")));

namespace kr_emu {
namespace detail {

engine* the_engine = nullptr;

namespace {

thread_local bool kernel_on_this_thread = false;

// Watchdog: bumped whenever a fiber starts, resumes or ends.
std::atomic<std::uint64_t> progress{0};
std::uint64_t steps = 0;


// ---- fibers ----

void worker_main(fc::transfer_t from);

}  // namespace

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "kr_emu: %s\n", what);
  std::abort();
}

void make_fresh(worker& w) {
  w.context = fc::make_fcontext(w.stack_bottom + w.stack_size - w.colour, w.stack_size - w.colour,
                                &worker_main);
  w.thread = nullptr;
  w.fake_stack = nullptr;
}

worker* new_worker(engine& e) {
  // May run on a fiber (a thread starting while another waits): the allocations are the
  // emulator's, not the kernel thread's.
  sanitizer_ignore_scope ignore;
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* memory = mmap(nullptr, stack_bytes + page, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
  if (memory == MAP_FAILED) fatal("cannot map a fiber stack");
  // The stack grows down: a fiber that overflows it hits this page instead of another stack.
  if (mprotect(memory, page, PROT_NONE) != 0) fatal("cannot protect a fiber stack guard page");
  auto w = std::make_unique<worker>();
  w->stack_bottom = static_cast<char*>(memory) + page;
  w->stack_size = stack_bytes;
  // Stack tops at one page offset would all compete for the same few cache sets while a block's
  // fibers take turns; staggering them by cache lines spreads the hot frames over the cache.
  w->colour = (e.workers.size() % 64) * 64;
  make_fresh(*w);
  e.workers.push_back(std::move(w));
  e.idle.reserve(e.workers.size());  // so that returning a worker never allocates
  return e.workers.back().get();
}

namespace {

worker* take_idle(engine& e) {
  if (e.idle.empty()) return new_worker(e);
  worker* w = e.idle.back();
  e.idle.pop_back();
  return w;
}

// Called on the destination side of every switch.
inline void arrived(fc::transfer_t from, worker* self) {
  worker* previous = static_cast<worker*>(from.data);
  previous->context = from.fctx;
  const void* bottom = nullptr;
  std::size_t size = 0;
  asan::finish_switch(self->fake_stack, &bottom, &size);
  if (asan::enabled && previous == &the_engine->main) {
    // The launching thread's stack, learned on its way out so that switches back name it.
    previous->stack_bottom = static_cast<char*>(const_cast<void*>(bottom));
    previous->stack_size = size;
  }
}

inline void jump(worker* from, worker* to) {
  asan::start_switch(&from->fake_stack, to->stack_bottom, to->stack_size);
  arrived(fc::jump_fcontext(to->context, from), from);
}

// The last switch away from a fiber that will be discarded.
[[noreturn]] void jump_for_good(worker* from, worker* to) {
  asan::start_switch(nullptr, to->stack_bottom, to->stack_size);
  fc::jump_fcontext(to->context, from);
  fatal("a discarded fiber was resumed");
}

// Makes `t` the running thread; done by whoever switches to it.
inline void enter(engine& e, thread_state* t) {
  t->state = run_state::running;
  e.current = t;
  threadIdx = t->index;
  progress.store(++steps, std::memory_order_relaxed);
  tsan::switch_to(t->fiber);
}

// Whether a waiting fiber of a preemptible engine hands the processor back (one wait in four).
inline bool yield_now(engine& e) {
  e.yield_key = mix(e.yield_key);
  return (e.yield_key & 3) == 0;
}

// Switches from a fiber to the launching thread's context.
inline void jump_to_main(engine& e, worker* self) {
  e.current = nullptr;
  tsan::switch_to(e.main_fiber);
  jump(self, &e.main);
}

void start(engine& e, worker* from, thread_state* t) {
  worker* w = dedicated_workers ? t->runner : take_idle(e);
  w->thread = t;
  t->runner = w;
  enter(e, t);
  jump(from, w);
}

// Gives up the processor while `t` waits; returns once `t` may go on.
// Inlined into the rendezvous functions: after a switch every return mispredicts, so one frame
// fewer between the kernel and the switch saves a misprediction per rendezvous.
[[gnu::always_inline]] inline void wait(engine& e, thread_state* t) {
  if (__builtin_expect(e.preemptible, false) && yield_now(e)) {
    // Another launch's block runs for a while; whoever runs this block again resumes `t` once it
    // is ready.
    e.yielded = true;
    jump_to_main(e, t->runner);
    return;
  }
  thread_state* next = e.pop_ready();
  if (next == t) {
    enter(e, t);
    return;
  }
  worker* self = t->runner;
  if (next != nullptr) {
    enter(e, next);
    jump(self, next->runner);
  } else if (e.has_unstarted()) {
    start(e, self, e.take_unstarted());
  } else {
    jump_to_main(e, self);  // nothing can run: the launch loop reports the deadlock
  }
}

// ---- faults ----

void record_fault(engine& e, const std::string& message, cudaError_t error = cudaErrorLaunchFailure) {
  platform& s = state();
  s.fault_message = "kernel fault in " + function_name(e.kernel) + ", " + block_name() + ": " + message;
  current().sticky_error = error;
  e.faulted = true;
}

}  // namespace

// Discards every fiber of the faulted block that still holds a thread: their frames are dropped
// without unwinding, as a GPU drops a faulted kernel. Under ThreadSanitizer their work so far is
// released to the host like that of threads that ended, and their contexts (whose shadow call
// stacks the dropped frames leave unbalanced) are replaced.
void abandon_block(engine& e) {
  for (thread_state& t : e.threads) {
    if (t.state == run_state::unstarted || t.state == run_state::exited) continue;
    worker* w = t.runner;
    asan::unpoison(w->stack_bottom, w->stack_size);
#if defined(KR_EMU_TSAN)
    tsan::switch_to(t.fiber);
    tsan::release(e.end_sync);
    tsan::switch_to(e.main_fiber);
    replace_context(e, t);
#endif
    make_fresh(*w);
    if (!dedicated_workers) e.idle.push_back(w);
    t.state = run_state::exited;
  }
}

namespace {

engine& in_kernel(const char* function) {
  if (the_engine == nullptr || the_engine->current == nullptr) {
    std::fprintf(stderr, "kr_emu: %s called outside a kernel\n", function);
    std::abort();
  }
  return *the_engine;
}

// ---- barriers ----

void release_barrier(engine& e) {
  const std::uint64_t result = static_cast<std::uint64_t>(static_cast<unsigned>(e.barrier_value));
  for (unsigned i = 0; i < e.block_size; ++i) {
    thread_state* t = &e.threads[e.order[i]];
    if (t->state != run_state::at_barrier) continue;
    t->result = result;
    e.push_ready(t);
  }
  e.barrier_arrived = 0;
  e.barrier_first = nullptr;
  // The next episode releases to the other address, so that threads still leaving this one do not
  // acquire what faster threads did after it.
  if (e.sync_area != nullptr) e.barrier_sync = e.barrier_sync == e.sync_area ? e.sync_area + 1 : e.sync_area;
}

// ---- warp collectives ----

bool is_shuffle(collective_kind k) {
  return k == collective_shfl || k == collective_shfl_up || k == collective_shfl_down ||
         k == collective_shfl_xor;
}

// Source lane of a shuffle with the semantics of PTX shfl.sync: lanes form segments of `width`;
// up and down stay within the segment, xor may read an earlier segment but not a later one, idx
// reads the source lane modulo width within the segment. Returns -1 for "keep own value".
int shuffle_source(collective_kind kind, int lane, int param, int width) {
  const int segment_mask = ~(width - 1) & 31;
  const int first = lane & segment_mask;
  const int last = first | (31 & ~segment_mask);
  int source = lane;
  bool inside = true;
  switch (kind) {
    case collective_shfl:
      source = first | (param & ~segment_mask & 31);
      break;
    case collective_shfl_up:
      source = lane - (param & 31);
      inside = source >= first;
      break;
    case collective_shfl_down:
      source = lane + (param & 31);
      inside = source <= last;
      break;
    case collective_shfl_xor:
      source = lane ^ (param & 31);
      inside = source <= last;
      break;
    default:
      break;
  }
  return inside ? source : -1;
}

void complete_group(engine& e, warp_state& w, unsigned warp, unsigned group) {
  const warp_group g = w.groups[group];
  w.groups[group] = w.groups[--w.group_count];
  thread_state* lanes = &e.threads[static_cast<std::size_t>(warp) * 32];
  unsigned votes = 0;
  for (unsigned bits = g.arrived; bits != 0; bits &= bits - 1) {
    const unsigned lane = static_cast<unsigned>(__builtin_ctz(bits));
    if (lanes[lane].value != 0) votes |= 1u << lane;
  }
  for (unsigned bits = g.arrived; bits != 0; bits &= bits - 1) {
    const unsigned lane = static_cast<unsigned>(__builtin_ctz(bits));
    thread_state& t = lanes[lane];
    switch (g.kind) {
      case collective_syncwarp:
        t.result = 0;
        break;
      case collective_ballot:
        t.result = votes;
        break;
      case collective_any:
        t.result = votes != 0;
        break;
      case collective_all:
        t.result = votes == g.arrived;
        break;
      default: {
        const int source = shuffle_source(g.kind, static_cast<int>(lane), t.param, t.width);
        if (source < 0) {
          t.result = t.value;
        } else if ((g.arrived >> source) & 1u) {
          t.result = lanes[source].value;
        } else {
          // The source lane is not taking part: its value is undefined on a GPU.
          t.result = ~std::uint64_t{0};
        }
      }
    }
  }
  for (unsigned lane : e.lane_order)
    if ((g.arrived >> lane) & 1u) e.push_ready(&lanes[lane]);
}

void check_groups(engine& e, unsigned warp) {
  warp_state& w = e.warps[warp];
  const unsigned live = w.exists & ~w.exited;
  for (unsigned i = 0; i < w.group_count;) {
    if (w.groups[i].arrived == (w.groups[i].mask & live))
      complete_group(e, w, warp, i);
    else
      ++i;
  }
}

// ---- threads ----

void finish_thread(engine& e, thread_state* t) {
  tsan::release(e.end_sync);
  t->state = run_state::exited;
  ++e.exited;
  warp_state& w = e.warps[t->warp];
  w.exited |= 1u << t->lane;
  // An exited thread counts as arrived at every barrier and leaves every warp rendezvous.
  if (e.barrier_arrived != 0 && e.barrier_arrived + e.exited == e.block_size) release_barrier(e);
  if (w.group_count != 0) check_groups(e, t->warp);
}

void execute(engine& e, thread_state* t) {
  try {
    e.run_thread(e.call);
  } catch (const std::exception& x) {
    sanitizer_ignore_scope ignore;
    e.escaped_exception = x.what();
  } catch (...) {
    sanitizer_ignore_scope ignore;
    e.escaped_exception = "unknown exception";
  }
  // Reported outside the handler, so that the fault's switch does not leave a handler open.
  if (!e.escaped_exception.empty()) {
    {
      sanitizer_ignore_scope ignore;
      record_kernel_fault(thread_name(*t) + " let an exception escape: " + e.escaped_exception);
      e.escaped_exception.clear();
    }
    end_faulted_kernel();
  }
}

void worker_main(fc::transfer_t from) {
  engine& e = *the_engine;
  worker* self = e.current->runner;
  arrived(from, self);
  for (;;) {
    thread_state* t = self->thread;
    tsan::acquire(e.begin_sync);
    execute(e, t);
    finish_thread(e, t);
    thread_state* next = e.pop_ready();
    if (!dedicated_workers && next == nullptr && e.has_unstarted()) {
      next = e.take_unstarted();
      next->runner = self;
      self->thread = next;
      enter(e, next);
      continue;
    }
    self->thread = nullptr;
    if (!dedicated_workers) e.idle.push_back(self);
    if (next != nullptr) {
      enter(e, next);
      jump(self, next->runner);
    } else if (dedicated_workers && e.has_unstarted()) {
      start(e, self, e.take_unstarted());
    } else {
      jump_to_main(e, self);
    }
    // Resumed with a new thread to run.
  }
}

}  // namespace

void prepare_launch(engine& e, dim3 block, const launch_request& request, std::uint64_t seed) {
  e.kernel = request.kernel;
  e.block_size = block.x * block.y * block.z;
  e.run_thread = request.run_thread;
  e.call = request.call;
  e.seed = seed;
  const unsigned n = e.block_size;
  e.threads.resize(n);
  for (unsigned i = 0; i < n; ++i) {
    thread_state& t = e.threads[i];
    t.index = uint3{i % block.x, (i / block.x) % block.y, i / (block.x * block.y)};
    t.warp = i / 32;
    t.lane = i % 32;
    t.runner = nullptr;
  }
  const unsigned warp_count = (n + 31) / 32;
  e.warps.resize(warp_count);
  for (unsigned w = 0; w < warp_count; ++w) {
    const unsigned lanes = n - w * 32 >= 32 ? 32 : n - w * 32;
    e.warps[w].exists = lanes == 32 ? ~0u : (1u << lanes) - 1;
  }
  e.ready.resize(n);
  e.order.resize(n);
  for (unsigned i = 0; i < n; ++i) e.order[i] = seed == 1 ? n - 1 - i : i;
  for (unsigned i = 0; i < 32; ++i) e.lane_order[i] = seed == 1 ? 31 - i : i;
  if (seed > 1) shuffle_order(e.lane_order, 32, mix(seed ^ 0x6c616e65ull));
}

// Fills the shared arrays with the poison byte. Under AddressSanitizer the range holds the
// arrays' redzones too, so it is written by plain stores that the sanitizer does not check; under
// ThreadSanitizer the pages are first mapped afresh, which clears what the sanitizer remembers of
// the previous block's accesses (and counts as a write by the launching thread, released to the
// block's threads as they start).
#if defined(KR_EMU_ASAN)
__attribute__((no_sanitize("address")))
#endif
void poison_shared_memory(unsigned char byte) {
  char* const begin = __start_kr_emu_shared;
  const std::size_t size = static_cast<std::size_t>(__stop_kr_emu_shared - __start_kr_emu_shared);
  if (size == 0) return;
#if defined(KR_EMU_TSAN)
  if (mmap(begin, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != begin)
    fatal("cannot map the shared arrays afresh");
#endif
#if defined(KR_EMU_ASAN)
  std::uint64_t word;
  std::memset(&word, byte, sizeof word);
  for (volatile std::uint64_t* p = reinterpret_cast<std::uint64_t*>(begin);
       p < reinterpret_cast<std::uint64_t*>(begin + size); ++p)
    *p = word;
#else
  std::memset(begin, byte, size);
#endif
}

void prepare_block(engine& e, std::uint64_t block_linear, std::uint64_t position) {
  for (thread_state& t : e.threads) t.state = run_state::unstarted;
  for (warp_state& w : e.warps) {
    w.exited = 0;
    w.group_count = 0;
  }
  e.next_unstarted = 0;
  e.exited = 0;
  e.ready_head = 0;
  e.ready_count = 0;
  e.barrier_arrived = 0;
  e.barrier_first = nullptr;
  e.faulted = false;
  if (e.seed > 1) {
    for (unsigned i = 0; i < e.block_size; ++i) e.order[i] = i;
    shuffle_order(e.order.data(), e.block_size, mix(e.seed) ^ mix(block_linear));
  }
  poison_shared_memory(e.poison);
#if defined(KR_EMU_TSAN)
  bind_block_contexts(e, position);
  // Freed at the block's end, which also drops what ThreadSanitizer knew of its addresses.
  e.sync_area_size = 64 + 64 * static_cast<std::size_t>(e.warps.size());
  e.sync_area = static_cast<char*>((std::malloc)(e.sync_area_size));
  if (e.sync_area == nullptr) fatal("out of memory");
  e.sync_next = 2;  // 0 and 1: the barrier's alternating addresses
  e.barrier_sync = e.sync_area;
  tsan::release(e.begin_sync);
#else
  (void)position;
#endif
}

void finish_block(engine& e) {
#if defined(KR_EMU_TSAN)
  (std::free)(e.sync_area);
  e.sync_area = nullptr;
#else
  (void)e;
#endif
}
// Runs the current block to its end; false when it faulted.
// Runs the current block until it ends, faults or (preemptible engines) a fiber yields.
block_end run_block(engine& e) {
  for (;;) {
    if (thread_state* next = e.pop_ready()) {
      enter(e, next);
      jump(&e.main, next->runner);
    } else if (e.has_unstarted()) {
      start(e, &e.main, e.take_unstarted());
    } else {
      break;
    }
    if (e.interrupted) {
      e.interrupted = false;
      watchdog_interrupted();
      record_fault(e, describe_stall(e, watchdog_stalled_seconds()), cudaErrorLaunchTimeout);
    }
    if (e.faulted) break;
    if (e.yielded) {
      e.yielded = false;
      e.current = nullptr;
      return block_end::yielded;
    }
  }
  e.current = nullptr;
  if (!e.faulted && e.exited != e.block_size) record_fault(e, describe_deadlock(e));
  if (e.faulted) abandon_block(e);
  return e.faulted ? block_end::faulted : block_end::done;
}


bool running_kernel() { return kernel_on_this_thread; }

void record_kernel_fault(const std::string& message) {
  sanitizer_ignore_scope ignore;
  record_fault(in_kernel("a kernel fault"), message);
}

[[noreturn]] void end_faulted_kernel() {
  engine& e = in_kernel("a kernel fault");
  tsan::switch_to(e.main_fiber);
  jump_for_good(e.current->runner, &e.main);
}

namespace {

// Fault reports, kept out of line so that the rendezvous functions keep small stack frames: every
// fiber switch touches them.
[[noreturn, gnu::cold, gnu::noinline]] void barrier_mismatch(const thread_state& t, barrier_kind kind,
                                                             const thread_state& waiting,
                                                             barrier_kind waiting_kind) {
  record_kernel_fault(barrier_mismatch_text(t, kind, waiting, waiting_kind));
  end_faulted_kernel();
}

[[noreturn, gnu::cold, gnu::noinline]] void collective_outside_mask(const thread_state& t, collective_kind kind,
                                                                    unsigned mask, const char* file, int line) {
  record_kernel_fault(collective_outside_mask_text(t, kind, mask, file, line));
  end_faulted_kernel();
}

[[noreturn, gnu::cold, gnu::noinline]] void collective_bad_width(const thread_state& t, collective_kind kind,
                                                                 int width, const char* file, int line) {
  record_kernel_fault(collective_bad_width_text(t, kind, width, file, line));
  end_faulted_kernel();
}

[[noreturn, gnu::cold, gnu::noinline]] void collective_mismatch(const engine& e, const thread_state& t,
                                                                collective_kind kind, unsigned mask,
                                                                const char* file, int line,
                                                                const warp_group& other) {
  record_kernel_fault(collective_mismatch_text(e, t, kind, mask, file, line, other));
  end_faulted_kernel();
}

}  // namespace

int barrier(barrier_kind kind, int predicate, const char* file, int line) {
  engine& e = in_kernel(barrier_name(kind));
  thread_state* t = e.current;
  t->file = file;
  t->line = line;
  if (e.barrier_arrived == 0) {
    e.barrier_type = kind;
    e.barrier_first = t;
    e.barrier_value = kind == barrier_and ? 1 : 0;
  } else {
    const thread_state& f = *e.barrier_first;
    if (kind != e.barrier_type || !same_site(file, line, f.file, f.line))
      barrier_mismatch(*t, kind, f, e.barrier_type);
  }
  ++e.barrier_arrived;
  switch (kind) {
    case barrier_plain:
      break;
    case barrier_count:
      e.barrier_value += predicate != 0;
      break;
    case barrier_and:
      e.barrier_value &= predicate != 0;
      break;
    case barrier_or:
      e.barrier_value |= predicate != 0;
      break;
  }
  t->state = run_state::at_barrier;
  t->sync = e.barrier_sync;
  tsan::release(t->sync);
  if (e.barrier_arrived + e.exited == e.block_size) release_barrier(e);
  wait(e, t);
  tsan::acquire(t->sync);
  return static_cast<int>(t->result);
}

std::uint64_t warp_collective(collective_kind kind, unsigned mask, std::uint64_t value, int param,
                              int width, const char* file, int line) {
  engine& e = in_kernel(collective_name(kind));
  thread_state* t = e.current;
  const unsigned bit = 1u << t->lane;
  if ((mask & bit) == 0) collective_outside_mask(*t, kind, mask, file, line);
  if (is_shuffle(kind) && (width < 1 || width > 32 || (width & (width - 1)) != 0))
    collective_bad_width(*t, kind, width, file, line);
  warp_state& w = e.warps[t->warp];
  warp_group* g = nullptr;
  for (unsigned i = 0; i < w.group_count; ++i) {
    warp_group& other = w.groups[i];
    if ((other.mask & mask) == 0) continue;
    if (other.mask != mask || other.kind != kind || !same_site(file, line, other.file, other.line))
      collective_mismatch(e, *t, kind, mask, file, line, other);
    g = &other;
    break;
  }
  if (g == nullptr) {
    g = &w.groups[w.group_count++];
    *g = warp_group{mask, 0, kind, file, line, e.new_sync()};
  }
  g->arrived |= bit;
  t->file = file;
  t->line = line;
  t->kind = kind;
  t->mask = mask;
  t->value = value;
  t->param = param;
  t->width = width;
  t->state = run_state::at_collective;
  t->sync = g->sync;
  tsan::release(t->sync);
  if (g->arrived == (mask & w.exists & ~w.exited))
    complete_group(e, w, t->warp, static_cast<unsigned>(g - w.groups));
  wait(e, t);
  tsan::acquire(t->sync);
  return t->result;
}

void trap(const char* file, int line) {
  engine& e = in_kernel("__trap");
  record_kernel_fault(thread_name(*e.current) + " executed __trap() at " + site(file, line));
  end_faulted_kernel();
}

// ---- launches ----

namespace {

// The watchdog's stall function. Runs on the spinning fiber's stack, in the signal handler:
// leaves the fiber for good at once. The launching thread's context then reports the fault
// (nothing here may allocate).
void interrupt_kernel() {
  engine* e = the_engine;
  if (!kernel_on_this_thread || e == nullptr || e->current == nullptr || e->faulted) return;
  e->interrupted = true;
  tsan::switch_to(e->main_fiber);
  jump_for_good(e->current->runner, &e->main);
}

}  // namespace

void begin_launches(platform& s) {
  math_key = mix(s.schedule_seed ^ 0x6d6174686b6579ull);
  math_accurate = s.math_accurate;
  kernel_on_this_thread = true;
  watchdog_begin(s.watchdog_seconds, &progress, &interrupt_kernel);
}

void end_launches() {
  watchdog_end();
  kernel_on_this_thread = false;
}

}  // namespace detail
}  // namespace kr_emu
