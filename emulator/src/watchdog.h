// The watchdog: a thread that watches a launch's progress counter and, when it stands still for
// the bound, interrupts the launching thread with a signal whose handler (on the spinning
// fiber's stack) calls the launch's stall function, which leaves the fiber for good.
#pragma once

#include <atomic>
#include <cstdint>

namespace kr_emu {
namespace detail {

// Starts watching `progress` for the calling thread's launch; a bound of 0 watches nothing.
// `on_stall` runs in the signal handler on the launching thread; it may not allocate.
void watchdog_begin(double seconds, const std::atomic<std::uint64_t>* progress, void (*on_stall)());
void watchdog_end();
// On the launching thread, after `on_stall` left a fiber: restores the thread's signal mask.
void watchdog_interrupted();
// How long the counter had stood still when the watchdog last fired.
double watchdog_stalled_seconds();

}  // namespace detail
}  // namespace kr_emu
