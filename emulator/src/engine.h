// The state of the kernel scheduler (src/scheduler.cpp), shared with its diagnostics: the fibers,
// the CUDA threads of the running block and their pending rendezvous.
#pragma once

#include <atomic>
#include <boost/context/detail/fcontext.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"

namespace kr_emu {
namespace detail {

namespace fc = boost::context::detail;


// Large enough for kernels with sizeable local arrays and for AddressSanitizer's redzones; the
// pages are only committed when touched.
constexpr std::size_t stack_bytes = std::size_t{256} << 10;

struct thread_state;
struct context_pool;  // race build: src/race_contexts.cpp

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
  // ThreadSanitizer: the launching thread's context, the pool of CUDA-thread contexts of the
  // launch's stream (src/race_contexts.h), the addresses released to block starts and by thread
  // ends, and per block a fresh area whose addresses stand for its barrier and collectives.
  void* main_fiber = nullptr;
  context_pool* pool = nullptr;
  char block_begin = 0, launch_end = 0;
  const char* end_sync = &launch_end;  // released by every thread's end: the launch's end
  const char* begin_sync = &block_begin;  // released before each block: the launch's own
  const char* barrier_sync = nullptr;
  char* sync_area = nullptr;
  std::size_t sync_area_size = 0, sync_next = 0;
  // Set when the watchdog interrupted one of its fibers.
  volatile bool interrupted = false;
  // Overlapping streams: the launch's shape and the running block's index (the built-in variables
  // are restored from them whenever the engine runs again); whether a fiber that waits may hand
  // the processor back so that another launch's block runs (`yielded` when one did), the key of
  // those decisions; the shared arrays of its block while another engine's block runs.
  dim3 grid, block;
  uint3 block_index;
  bool preemptible = false, yielded = false;
  std::uint64_t yield_key = 0;
  std::vector<char> shared_copy;
  bool shared_saved = false;

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

// The fiber engine's steps (src/scheduler.cpp), for the launch runners of src/launches.cpp: a
// launch's threads, a block's start, its run (to its end, a fault, or a yield of a preemptible
// engine), its end, and the discarding of a faulted or interrupted block's fibers.
enum class block_end { done, yielded, faulted };
void prepare_launch(engine& e, dim3 block, const launch_request& request, std::uint64_t seed);
void prepare_block(engine& e, std::uint64_t block_linear, std::uint64_t position);
block_end run_block(engine& e);
void finish_block(engine& e);
void abandon_block(engine& e);
// Ends the process on a failure of the emulator itself (no memory, a mapping refused).
[[noreturn]] void fatal(const char* what);
// A fiber stack of the engine's, and a stack made ready to start a thread from its top.
worker* new_worker(engine& e);
void make_fresh(worker& w);
// Around the launches one runtime call runs: the device math state, the kernel flag, the watchdog.
void begin_launches(platform& s);
void end_launches();

// The engine whose block is running on the launching thread (the platform's mutex is held across
// launches and synchronisations), null before the first launch.
extern engine* the_engine;

}  // namespace detail
}  // namespace kr_emu
