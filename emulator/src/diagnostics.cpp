// Texts of the scheduler's fault reports.
#include "diagnostics.h"

#include <cstdio>
#include <vector>

namespace kr_emu {
namespace detail {

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

std::string describe_stall(const engine& e, double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g", seconds);
  return "watchdog: no thread reached a barrier, a warp collective, its start or its end for " +
         std::string(text) + " s; " + thread_name(*e.current) +
         " has been running since its last one (a spin-wait for work that never comes?)" + describe_waiting(e);
}

std::string barrier_mismatch_text(const thread_state& t, barrier_kind kind, const thread_state& waiting,
                                  barrier_kind waiting_kind) {
  return thread_name(t) + " reached " + barrier_name(kind) + " at " + site(t.file, t.line) + " while " +
         thread_name(waiting) + " waits in " + barrier_name(waiting_kind) + " at " +
         site(waiting.file, waiting.line) + "; all threads must reach the same barrier";
}

std::string collective_outside_mask_text(const thread_state& t, collective_kind kind, unsigned mask,
                                         const char* file, int line) {
  return thread_name(t) + " (lane " + std::to_string(t.lane) + ") called " + collective_name(kind) + " at " +
         site(file, line) + " with mask " + hex(mask) + ", which does not include its own lane";
}

std::string collective_bad_width_text(const thread_state& t, collective_kind kind, int width, const char* file,
                                      int line) {
  return thread_name(t) + " called " + collective_name(kind) + " at " + site(file, line) + " with width " +
         std::to_string(width) + "; the width must be a power of two from 1 to 32";
}

std::string collective_mismatch_text(const engine& e, const thread_state& t, collective_kind kind, unsigned mask,
                                     const char* file, int line, const warp_group& other) {
  const unsigned waiter = static_cast<unsigned>(__builtin_ctz(other.arrived));
  const thread_state& o = e.threads[t.warp * 32 + waiter];
  return thread_name(t) + " called " + collective_name(kind) + " at " + site(file, line) + " with mask " +
         hex(mask) + " while " + thread_name(o) + " of the same warp waits in " + collective_name(other.kind) +
         " at " + site(other.file, other.line) + " with mask " + hex(other.mask) +
         "; the lanes of a mask must meet in the same call with the same mask";
}

}  // namespace detail
}  // namespace kr_emu
