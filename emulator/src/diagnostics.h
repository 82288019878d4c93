// Texts of the scheduler's fault reports: names of rendezvous, threads and sites, and the
// descriptions of misuse, deadlocks and watchdog stops.
#pragma once

#include <cstring>
#include <string>

#include "engine.h"

namespace kr_emu {
namespace detail {

std::string site(const char* file, int line);
std::string triple(uint3 v);
std::string hex(unsigned v);
const char* barrier_name(barrier_kind k);
const char* collective_name(collective_kind k);
std::string thread_name(const thread_state& t);
// The running block, from blockIdx.
std::string block_name();

// Whether two rendezvous sites are one (file names are compared by address first).
inline bool same_site(const char* file_a, int line_a, const char* file_b, int line_b) {
  return line_a == line_b && (file_a == file_b || std::strcmp(file_a, file_b) == 0);
}

// "; N threads wait in <rendezvous> at <site> (first thread ...)" for every group of waiting
// threads of the running block, and how many are ready or have not started.
std::string describe_waiting(const engine& e);
std::string describe_deadlock(const engine& e);
// The watchdog's report on the running thread, stopped after `seconds` without progress.
std::string describe_stall(const engine& e, double seconds);

// Misuse of a rendezvous by thread `t`.
std::string barrier_mismatch_text(const thread_state& t, barrier_kind kind, const thread_state& waiting,
                                  barrier_kind waiting_kind);
std::string collective_outside_mask_text(const thread_state& t, collective_kind kind, unsigned mask,
                                         const char* file, int line);
std::string collective_bad_width_text(const thread_state& t, collective_kind kind, int width, const char* file,
                                      int line);
std::string collective_mismatch_text(const engine& e, const thread_state& t, collective_kind kind, unsigned mask,
                                     const char* file, int line, const warp_group& other);

}  // namespace detail
}  // namespace kr_emu
