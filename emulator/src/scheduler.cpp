// Kernel execution. The blocks of a grid run one after another on the launching host thread; the
// threads of a block run as fibers (Boost.Context fcontext) on pooled stacks.
//
// A fiber switches only when its thread must wait: at a block barrier, at a warp collective, or
// when its thread has exited and another one is ready. A thread that never waits runs to the end
// on the fiber that started it, and that fiber goes straight on with the next unstarted thread,
// so a barrier-free kernel costs one function call per thread. A barrier completes when the
// threads that arrived plus those that exited make up the block; a warp collective completes when
// the last live lane of its mask arrives. Completed waiters resume in the order the schedule seed
// gives, and so do the blocks of the grid.
//
// Around every block the shared arrays are refilled with poison; after every launch the guard
// zones of device memory are checked. A watchdog thread interrupts a kernel in which no fiber
// reaches a rendezvous, its end or a new start for a generous time (a spin-wait), and ends it.
//
// In the ThreadSanitizer build every CUDA thread is a TSan fiber. Switches carry no
// synchronisation; the happens-before edges are exactly the CUDA ones: the host's work before a
// block is released to the block's threads as they start; a barrier orders what each thread did
// before it with what every thread does after it; a warp collective does the same among the lanes
// that take part; each thread's work is released at its end and acquired by the host when the
// grid is done. Blocks are not ordered with one another, so unsynchronised accesses from two
// blocks are reported too; the shared arrays are mapped afresh before each block so that the
// previous block's accesses to them do not count. The emulator's own code is not instrumented.
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <boost/context/detail/fcontext.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kr_emu/sanitizers.h"
#if defined(KR_EMU_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(KR_EMU_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

#include "kr_emu/control.h"
#include "platform.h"

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
namespace {

namespace fc = boost::context::detail;

// ThreadSanitizer annotations; no-ops in the other builds.
namespace tsan {
#if defined(KR_EMU_TSAN)
inline void* current() { return __tsan_get_current_fiber(); }
// The context of the CUDA thread with linear index `index` in the blocks that use fiber set `set`.
inline void* create(unsigned index, unsigned set) {
  void* fiber = __tsan_create_fiber(0);
  char name[64];
  std::snprintf(name, sizeof name, "CUDA thread with linear index %u (fiber set %u)", index, set);
  __tsan_set_fiber_name(fiber, name);
  return fiber;
}
inline void destroy(void* fiber) { __tsan_destroy_fiber(fiber); }
inline void switch_to(void* fiber) { __tsan_switch_to_fiber(fiber, __tsan_switch_to_fiber_no_sync); }
inline void acquire(const void* address) { __tsan_acquire(const_cast<void*>(address)); }
inline void release(const void* address) { __tsan_release(const_cast<void*>(address)); }
#else
inline void* current() { return nullptr; }
[[maybe_unused]] inline void* create(unsigned, unsigned) { return nullptr; }
[[maybe_unused]] inline void destroy(void*) {}
inline void switch_to(void*) {}
inline void acquire(const void*) {}
inline void release(const void*) {}
#endif
}  // namespace tsan

// Under ThreadSanitizer every CUDA thread runs on a stack of its own (the worker of its fiber):
// were two CUDA threads to run one after the other on one stack, the sanitizer would take their
// locals for one memory shared without synchronisation.
#if defined(KR_EMU_TSAN)
constexpr bool dedicated_workers = true;
#else
constexpr bool dedicated_workers = false;
#endif

// Large enough for kernels with sizeable local arrays and for AddressSanitizer's redzones; the
// pages are only committed when touched.
constexpr std::size_t stack_bytes = std::size_t{256} << 10;

struct thread_state;

// A fiber with its own stack. It runs one CUDA thread at a time and is reused for the next.
struct worker {
  fc::fcontext_t context = nullptr;  // where it resumes
  char* stack_bottom = nullptr;
  std::size_t stack_size = 0;
  std::size_t colour = 0;          // bytes left unused at the top of the stack
  thread_state* thread = nullptr;  // the CUDA thread it runs, null while idle
  void* fake_stack = nullptr;      // AddressSanitizer's bookkeeping across switches
};

enum class run_state : unsigned char {
  unstarted,
  running,
  ready,
  at_barrier,
  at_collective,
  exited
};

struct thread_state {
  uint3 index;
  unsigned warp, lane;
  run_state state;
  worker* runner;
  void* fiber;       // ThreadSanitizer's context of this CUDA thread
  const char* sync;  // ThreadSanitizer's synchronisation address of its pending rendezvous
  // The pending barrier or collective: its site, operands and, once complete, its result.
  const char* file;
  int line;
  collective_kind kind;
  unsigned mask;
  std::uint64_t value, result;
  int param, width;
};

// Lanes of one warp waiting in one collective.
struct warp_group {
  unsigned mask, arrived;
  collective_kind kind;
  const char* file;
  int line;
  const char* sync;
};

struct warp_state {
  unsigned exists = 0;  // lanes the block has (the last warp may be partial)
  unsigned exited = 0;
  unsigned group_count = 0;
  warp_group groups[32];  // disjoint masks, so never more than 32 at once
};

struct engine {
  // Launch.
  const void* kernel = nullptr;
  unsigned char poison = 0xFF;
  unsigned block_size = 0;
  void (*run_thread)(void*) = nullptr;
  void* call = nullptr;
  std::uint64_t seed = 0;
  std::vector<thread_state> threads;
  std::vector<warp_state> warps;
  std::vector<unsigned> order;  // linear thread indices in schedule order
  unsigned lane_order[32];
  // Block.
  unsigned next_unstarted = 0;
  unsigned exited = 0;
  std::vector<thread_state*> ready;  // ring buffer; a thread is in it at most once
  unsigned ready_head = 0, ready_count = 0;
  unsigned barrier_arrived = 0;
  barrier_kind barrier_type = barrier_plain;
  int barrier_value = 0;
  const thread_state* barrier_first = nullptr;
  bool faulted = false;
  thread_state* current = nullptr;
  std::string escaped_exception;
  // Fibers.
  worker main;  // the launching thread's own context
  std::vector<std::unique_ptr<worker>> workers;
  std::vector<worker*> idle;
  // ThreadSanitizer: the launching thread's context, sets of CUDA-thread contexts (consecutive
  // blocks use different sets, so that nothing orders a block's threads after the previous
  // block's), the addresses released to block starts and by thread ends, and per block a fresh
  // area whose addresses stand for its barrier and collectives.
  void* main_fiber = nullptr;
  static constexpr unsigned fiber_sets = 4;
  std::vector<void*> fibers[fiber_sets];
  std::vector<worker*> dedicated[fiber_sets];  // the stacks of the fibers
  char block_begin = 0, launch_end = 0;
  const char* barrier_sync = nullptr;
  char* sync_area = nullptr;
  std::size_t sync_area_size = 0, sync_next = 0;
  // Watchdog: bumped whenever a fiber starts, resumes or ends; set when it interrupted one.
  std::atomic<std::uint64_t> progress{0};
  std::uint64_t steps = 0;
  volatile bool interrupted = false;

  thread_state* pop_ready() {
    if (ready_count == 0) return nullptr;
    thread_state* t = ready[ready_head];
    ready_head = ready_head + 1 == ready.size() ? 0 : ready_head + 1;
    --ready_count;
    return t;
  }
  void push_ready(thread_state* t) {
    std::size_t tail = ready_head + ready_count;
    if (tail >= ready.size()) tail -= ready.size();
    ready[tail] = t;
    ++ready_count;
    t->state = run_state::ready;
  }
  bool has_unstarted() const { return next_unstarted < block_size; }
  // A fresh ThreadSanitizer synchronisation address within the block.
  const char* new_sync() {
    if (sync_area == nullptr) return nullptr;
    const char* a = sync_area + sync_next;
    sync_next = sync_next + 1 == sync_area_size ? 0 : sync_next + 1;
    return a;
  }
  thread_state* take_unstarted() { return &threads[order[next_unstarted++]]; }
};

engine* the_engine = nullptr;
thread_local bool kernel_on_this_thread = false;

// ---- fibers ----

void worker_main(fc::transfer_t from);

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
#if defined(KR_EMU_ASAN)
  const void* bottom = nullptr;
  std::size_t size = 0;
  __sanitizer_finish_switch_fiber(self->fake_stack, &bottom, &size);
  if (previous == &the_engine->main) {
    // The launching thread's stack, learned on its way out so that switches back name it.
    previous->stack_bottom = static_cast<char*>(const_cast<void*>(bottom));
    previous->stack_size = size;
  }
#else
  (void)self;
#endif
}

inline void jump(worker* from, worker* to) {
#if defined(KR_EMU_ASAN)
  __sanitizer_start_switch_fiber(&from->fake_stack, to->stack_bottom, to->stack_size);
#endif
  arrived(fc::jump_fcontext(to->context, from), from);
}

// The last switch away from a fiber that will be discarded.
[[noreturn]] void jump_for_good(worker* from, worker* to) {
#if defined(KR_EMU_ASAN)
  __sanitizer_start_switch_fiber(nullptr, to->stack_bottom, to->stack_size);
#endif
  fc::jump_fcontext(to->context, from);
  fatal("a discarded fiber was resumed");
}

// Makes `t` the running thread; done by whoever switches to it.
inline void enter(engine& e, thread_state* t) {
  t->state = run_state::running;
  e.current = t;
  threadIdx = t->index;
  e.progress.store(++e.steps, std::memory_order_relaxed);
  tsan::switch_to(t->fiber);
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

// ---- messages ----

std::string site(const char* file, int line) {
  return std::string(file) + ":" + std::to_string(line);
}

std::string triple(uint3 v) {
  return "(" + std::to_string(v.x) + "," + std::to_string(v.y) + "," + std::to_string(v.z) + ")";
}

std::string hex(unsigned v) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08x", v);
  return buffer;
}

const char* barrier_name(barrier_kind k) {
  switch (k) {
    case barrier_plain:
      return "__syncthreads";
    case barrier_count:
      return "__syncthreads_count";
    case barrier_and:
      return "__syncthreads_and";
    case barrier_or:
      return "__syncthreads_or";
  }
  return "__syncthreads";
}

const char* collective_name(collective_kind k) {
  switch (k) {
    case collective_shfl:
      return "__shfl_sync";
    case collective_shfl_up:
      return "__shfl_up_sync";
    case collective_shfl_down:
      return "__shfl_down_sync";
    case collective_shfl_xor:
      return "__shfl_xor_sync";
    case collective_syncwarp:
      return "__syncwarp";
    case collective_ballot:
      return "__ballot_sync";
    case collective_any:
      return "__any_sync";
    case collective_all:
      return "__all_sync";
  }
  return "warp collective";
}

std::string thread_name(const thread_state& t) { return "thread " + triple(t.index); }

std::string block_name() { return "block " + triple(blockIdx); }

bool same_site(const char* file_a, int line_a, const char* file_b, int line_b) {
  return line_a == line_b && (file_a == file_b || std::strcmp(file_a, file_b) == 0);
}

// ---- faults ----

void record_fault(engine& e, const std::string& message, cudaError_t error = cudaErrorLaunchFailure) {
  platform& s = state();
  s.fault_message = "kernel fault in " + function_name(e.kernel) + ", " + block_name() + ": " + message;
  current().sticky_error = error;
  e.faulted = true;
}

// Discards every fiber of the faulted block that still holds a thread: their frames are dropped
// without unwinding, as a GPU drops a faulted kernel. Under ThreadSanitizer their work so far is
// released to the host like that of threads that ended, and their contexts (whose shadow call
// stacks the dropped frames leave unbalanced) are replaced.
void abandon_block(engine& e) {
  for (thread_state& t : e.threads) {
    if (t.state == run_state::unstarted || t.state == run_state::exited) continue;
    worker* w = t.runner;
#if defined(KR_EMU_ASAN)
    __asan_unpoison_memory_region(w->stack_bottom, w->stack_size);
#endif
#if defined(KR_EMU_TSAN)
    tsan::switch_to(t.fiber);
    tsan::release(&e.launch_end);
    tsan::switch_to(e.main_fiber);
    for (unsigned k = 0; k < engine::fiber_sets; ++k) {
      for (unsigned i = 0; i < e.fibers[k].size(); ++i) {
        if (e.fibers[k][i] == t.fiber) {
          tsan::destroy(e.fibers[k][i]);
          e.fibers[k][i] = tsan::create(i, k);
        }
      }
    }
    t.fiber = nullptr;
#endif
    make_fresh(*w);
    if (!dedicated_workers) e.idle.push_back(w);
    t.state = run_state::exited;
  }
}

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
  tsan::release(&e.launch_end);
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
    tsan::acquire(&e.block_begin);
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

// ---- schedule ----

std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

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
  std::vector<void*>& set = e.fibers[position % engine::fiber_sets];
  if (set.size() < e.block_size) set.resize(e.block_size, nullptr);
  std::vector<worker*>& stacks = e.dedicated[position % engine::fiber_sets];
  if (stacks.size() < e.block_size) stacks.resize(e.block_size, nullptr);
  for (unsigned i = 0; i < e.block_size; ++i) {
    if (set[i] == nullptr) set[i] = tsan::create(i, static_cast<unsigned>(position % engine::fiber_sets));
    if (stacks[i] == nullptr) stacks[i] = new_worker(e);
    e.threads[i].fiber = set[i];
    e.threads[i].runner = stacks[i];
  }
  // Freed at the block's end, which also drops what ThreadSanitizer knew of its addresses.
  e.sync_area_size = 64 + 64 * static_cast<std::size_t>(e.warps.size());
  e.sync_area = static_cast<char*>((std::malloc)(e.sync_area_size));
  if (e.sync_area == nullptr) fatal("out of memory");
  e.sync_next = 2;  // 0 and 1: the barrier's alternating addresses
  e.barrier_sync = e.sync_area;
  tsan::release(&e.block_begin);
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

// "; N threads wait in <rendezvous> at <site> (first thread ...)" for every group of waiting
// threads, and how many have not started.
std::string describe_waiting(const engine& e) {
  struct waiting {
    std::string what;
    unsigned count;
    const thread_state* first;
  };
  std::vector<waiting> groups;
  unsigned unstarted = 0, ready = 0;
  for (const thread_state& t : e.threads) {
    std::string what;
    if (t.state == run_state::at_barrier) {
      what = std::string(barrier_name(e.barrier_type)) + " at " + site(t.file, t.line);
    } else if (t.state == run_state::at_collective) {
      what = std::string(collective_name(t.kind)) + " with mask " + hex(t.mask) + " at " +
             site(t.file, t.line);
    } else {
      unstarted += t.state == run_state::unstarted;
      ready += t.state == run_state::ready;
      continue;
    }
    bool found = false;
    for (waiting& g : groups) {
      if (g.what == what) {
        ++g.count;
        found = true;
        break;
      }
    }
    if (!found) groups.push_back(waiting{what, 1, &t});
  }
  std::string message;
  for (const waiting& g : groups) {
    message += "; " + std::to_string(g.count) + (g.count == 1 ? " thread waits in " : " threads wait in ") + g.what +
               " (first " + thread_name(*g.first) + ")";
  }
  if (ready != 0)
    message += "; " + std::to_string(ready) + (ready == 1 ? " thread is" : " threads are") + " ready to go on";
  if (unstarted != 0) {
    message += "; " + std::to_string(unstarted) + (unstarted == 1 ? " thread has" : " threads have") +
               " not started";
  }
  return message;
}

std::string describe_deadlock(const engine& e) {
  return "deadlock: no thread can proceed" + describe_waiting(e);
}

std::string watchdog_message(const engine& e);

// Runs the current block to its end; false when it faulted.
bool run_block(engine& e) {
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
      record_fault(e, watchdog_message(e), cudaErrorLaunchTimeout);
    }
    if (e.faulted) break;
  }
  e.current = nullptr;
  if (!e.faulted && e.exited != e.block_size) record_fault(e, describe_deadlock(e));
  if (e.faulted) abandon_block(e);
  return !e.faulted;
}

bool valid_configuration(dim3 grid, dim3 block, const cudaDeviceProp& p) {
  if (grid.x == 0 || grid.y == 0 || grid.z == 0) return false;
  if (block.x == 0 || block.y == 0 || block.z == 0) return false;
  const auto limit = [](int value) { return value < 0 ? 0u : static_cast<unsigned>(value); };
  if (block.x > limit(p.maxThreadsDim[0]) || block.y > limit(p.maxThreadsDim[1]) ||
      block.z > limit(p.maxThreadsDim[2]))
    return false;
  const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
  if (threads > limit(p.maxThreadsPerBlock)) return false;
  if (grid.x > limit(p.maxGridSize[0]) || grid.y > limit(p.maxGridSize[1]) ||
      grid.z > limit(p.maxGridSize[2]))
    return false;
  return true;
}

}  // namespace

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
[[noreturn, gnu::cold, gnu::noinline]] void barrier_mismatch(const thread_state& t,
                                                             barrier_kind kind,
                                                             const thread_state& waiting,
                                                             barrier_kind waiting_kind) {
  record_kernel_fault(thread_name(t) + " reached " + barrier_name(kind) + " at " +
                      site(t.file, t.line) + " while " + thread_name(waiting) + " waits in " +
                      barrier_name(waiting_kind) + " at " + site(waiting.file, waiting.line) +
                      "; all threads must reach the same barrier");
  end_faulted_kernel();
}

[[noreturn, gnu::cold, gnu::noinline]] void collective_outside_mask(const thread_state& t,
                                                                    collective_kind kind,
                                                                    unsigned mask, const char* file,
                                                                    int line) {
  record_kernel_fault(thread_name(t) + " (lane " + std::to_string(t.lane) + ") called " +
                      collective_name(kind) + " at " + site(file, line) + " with mask " +
                      hex(mask) + ", which does not include its own lane");
  end_faulted_kernel();
}

[[noreturn, gnu::cold, gnu::noinline]] void collective_bad_width(const thread_state& t,
                                                                 collective_kind kind, int width,
                                                                 const char* file, int line) {
  record_kernel_fault(thread_name(t) + " called " + collective_name(kind) + " at " +
                      site(file, line) + " with width " + std::to_string(width) +
                      "; the width must be a power of two from 1 to 32");
  end_faulted_kernel();
}

[[noreturn, gnu::cold, gnu::noinline]] void collective_mismatch(const engine& e,
                                                                const thread_state& t,
                                                                collective_kind kind, unsigned mask,
                                                                const char* file, int line,
                                                                const warp_group& other) {
  const unsigned waiter = static_cast<unsigned>(__builtin_ctz(other.arrived));
  const thread_state& o = e.threads[t.warp * 32 + waiter];
  record_kernel_fault(thread_name(t) + " called " + collective_name(kind) + " at " +
                      site(file, line) + " with mask " + hex(mask) + " while " + thread_name(o) +
                      " of the same warp waits in " + collective_name(other.kind) + " at " +
                      site(other.file, other.line) + " with mask " + hex(other.mask) +
                      "; the lanes of a mask must meet in the same call with the same mask");
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

// ---- watchdog ----

namespace {

// ThreadSanitizer delivers asynchronous signals only when the thread next enters its runtime,
// which a spinning kernel may never do; SIGTRAP it delivers at once.
#if defined(KR_EMU_TSAN)
constexpr int watchdog_signal = SIGTRAP;
#else
constexpr int watchdog_signal = SIGUSR2;
#endif

// A thread that watches the running launch's progress counter and interrupts the launching
// thread when it stands still for the bound.
struct watchdog_state {
  std::mutex mutex;
  std::condition_variable wake;
  bool started = false;
  bool active = false;
  std::uint64_t launch = 0;  // bumped by every launch
  double seconds = 0;
  pthread_t target{};
  std::atomic<bool> fired{false};
  std::atomic<double> stalled_for{0};
  struct sigaction previous {};
};

watchdog_state& the_watchdog() {
  static watchdog_state* w = new watchdog_state;  // never destroyed: the thread outlives main()
  return *w;
}

std::string describe_waiting(const engine& e);

std::string watchdog_message(const engine& e) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3g", the_watchdog().stalled_for.load());
  return "watchdog: no thread reached a barrier, a warp collective, its start or its end for " +
         std::string(seconds) + " s; " + thread_name(*e.current) +
         " has been running since its last one (a spin-wait for work that never comes?)" + describe_waiting(e);
}

// Runs on the spinning fiber's stack, in the signal handler: leaves the fiber for good at once.
// The launching thread's context then reports the fault (nothing here may allocate).
[[noreturn]] void interrupt_kernel(engine& e) {
  e.interrupted = true;
  tsan::switch_to(e.main_fiber);
  jump_for_good(e.current->runner, &e.main);
}

void on_watchdog_signal(int signal, siginfo_t* info, void* context) {
  watchdog_state& w = the_watchdog();
  if (w.fired.exchange(false)) {
    engine* e = the_engine;
    if (kernel_on_this_thread && e != nullptr && e->current != nullptr && !e->faulted) interrupt_kernel(*e);
    return;
  }
  // Not ours: hand it on.
  if ((w.previous.sa_flags & SA_SIGINFO) != 0 && w.previous.sa_sigaction != nullptr) {
    w.previous.sa_sigaction(signal, info, context);
  } else if (w.previous.sa_handler != SIG_DFL && w.previous.sa_handler != SIG_IGN &&
             w.previous.sa_handler != nullptr) {
    w.previous.sa_handler(signal);
  }
}

void watch() {
  watchdog_state& w = the_watchdog();
  std::unique_lock<std::mutex> lock(w.mutex);
  std::uint64_t seen_launch = 0, seen_progress = 0, fired_launch = 0;
  auto since = std::chrono::steady_clock::now();
  for (;;) {
    const double period = w.active && w.seconds > 0 ? std::min(1.0, w.seconds / 8) : 1.0;
    w.wake.wait_for(lock, std::chrono::duration<double>(period));
    const auto now = std::chrono::steady_clock::now();
    if (!w.active || w.seconds <= 0 || the_engine == nullptr) {
      since = now;
      continue;
    }
    const std::uint64_t progress = the_engine->progress.load(std::memory_order_relaxed);
    if (w.launch != seen_launch || progress != seen_progress) {
      seen_launch = w.launch;
      seen_progress = progress;
      since = now;
      continue;
    }
    const double stalled = std::chrono::duration<double>(now - since).count();
    if (stalled >= w.seconds && fired_launch != w.launch) {
      fired_launch = w.launch;
      w.stalled_for = stalled;
      w.fired = true;
      pthread_kill(w.target, watchdog_signal);
    }
  }
}

void watchdog_begin(double seconds) {
  watchdog_state& w = the_watchdog();
  std::lock_guard<std::mutex> lock(w.mutex);
  if (seconds > 0 && !w.started) {
    struct sigaction action {};
    action.sa_sigaction = &on_watchdog_signal;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(watchdog_signal, &action, &w.previous);
    std::thread(watch).detach();
    w.started = true;
  }
  w.active = true;
  w.seconds = seconds;
  w.target = pthread_self();
  ++w.launch;
}

void watchdog_end() {
  watchdog_state& w = the_watchdog();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.active = false;
  w.fired = false;
}

}  // namespace

cudaError_t launch(const launch_request& request) {
  platform& s = state();
  state_lock lock;
  if (cudaError_t injected = take_injection(api::cudaLaunchKernel)) return fail(injected);
  if (s.devices.empty()) return fail(cudaErrorNoDevice);
  emulated_device& device = current();
  if (device.sticky_error != cudaSuccess) return fail(device.sticky_error);
  if (kernel_on_this_thread) return fail(cudaErrorNotSupported);  // no launches from device code
  if (!valid_stream(request.stream)) return fail(cudaErrorInvalidResourceHandle);
  if (request.problem == launch_problem::null_kernel) return fail(cudaErrorInvalidDeviceFunction);
  if (request.problem == launch_problem::null_arguments) return fail(cudaErrorInvalidValue);
  if (!valid_configuration(request.grid, request.block, device.properties))
    return fail(cudaErrorInvalidConfiguration);
  // Dynamic shared memory is accepted within the device limit; device code has no way to name it.
  if (request.shared_bytes > device.properties.sharedMemPerBlock)
    return fail(cudaErrorInvalidValue);

  if (the_engine == nullptr) the_engine = new engine;
  engine& e = *the_engine;
  prepare_launch(e, request.block, request, s.schedule_seed);
  e.poison = poison_for_seed(s.schedule_seed);
  e.main_fiber = tsan::current();
  gridDim = request.grid;
  blockDim = request.block;
  math_key = mix(s.schedule_seed ^ 0x6d6174686b6579ull);
  math_accurate = s.math_accurate;
  kernel_on_this_thread = true;
  watchdog_begin(s.watchdog_seconds);
  const dim3 grid = request.grid;
  const std::uint64_t blocks = std::uint64_t{grid.x} * grid.y * grid.z;
  for (std::uint64_t position = 0; position < blocks; ++position) {
    const std::uint64_t b = block_at(position, blocks, e.seed);
    blockIdx = uint3{static_cast<unsigned>(b % grid.x), static_cast<unsigned>(b / grid.x % grid.y),
                     static_cast<unsigned>(b / (std::uint64_t{grid.x} * grid.y))};
    prepare_block(e, b, position);
    const bool completed = run_block(e);
    finish_block(e);
    if (!completed) break;
  }
  watchdog_end();
  kernel_on_this_thread = false;
  // The host sees everything the grid's threads did.
  tsan::acquire(&e.launch_end);
  check_guards(e.kernel);
  return cudaSuccess;
}

}  // namespace detail
}  // namespace kr_emu
