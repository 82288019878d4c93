// The watchdog thread and its signal. Started on the first launch with a nonzero bound, it
// outlives main(); between launches it sleeps.
#include "watchdog.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "kr_emu/sanitizers.h"

namespace kr_emu {
namespace detail {
namespace {

// ThreadSanitizer delivers asynchronous signals only when the thread next enters its runtime,
// which a spinning kernel may never do; SIGTRAP it delivers at once.
#if defined(KR_EMU_TSAN)
constexpr int watchdog_signal = SIGTRAP;
#else
constexpr int watchdog_signal = SIGUSR2;
#endif

struct watchdog_state {
  std::mutex mutex;
  std::condition_variable wake;
  bool started = false;
  bool active = false;
  std::uint64_t launch = 0;  // bumped by every launch
  double seconds = 0;
  const std::atomic<std::uint64_t>* progress = nullptr;
  void (*on_stall)() = nullptr;
  pthread_t target{};
  sigset_t target_mask{};  // the launching thread's signal mask when the launch began
  std::atomic<bool> fired{false};
  std::atomic<double> stalled_for{0};
  struct sigaction previous {};
};

watchdog_state& the_watchdog() {
  static watchdog_state* w = new watchdog_state;  // never destroyed: the thread outlives main()
  return *w;
}

void on_watchdog_signal(int signal, siginfo_t* info, void* context) {
  watchdog_state& w = the_watchdog();
  if (w.fired.exchange(false)) {
    if (w.on_stall != nullptr) w.on_stall();
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
    if (!w.active || w.seconds <= 0 || w.progress == nullptr) {
      since = now;
      continue;
    }
    const std::uint64_t progress = w.progress->load(std::memory_order_relaxed);
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

}  // namespace

void watchdog_begin(double seconds, const std::atomic<std::uint64_t>* progress, void (*on_stall)()) {
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
  w.progress = progress;
  w.on_stall = on_stall;
  w.target = pthread_self();
  pthread_sigmask(SIG_SETMASK, nullptr, &w.target_mask);
  ++w.launch;
}

void watchdog_interrupted() {
  // The handler left the fiber for good, so whatever it ran with blocked (the signal itself, or
  // every signal where ThreadSanitizer runs the handler) would stay blocked, and the next stall
  // would never be interrupted.
  pthread_sigmask(SIG_SETMASK, &the_watchdog().target_mask, nullptr);
}

void watchdog_end() {
  watchdog_state& w = the_watchdog();
  std::lock_guard<std::mutex> lock(w.mutex);
  w.active = false;
  w.fired = false;
}

double watchdog_stalled_seconds() { return the_watchdog().stalled_for.load(); }

}  // namespace detail
}  // namespace kr_emu
