// omu demo: small synthetic models run through the loaded library's exports exactly as an engine
// calls them, each checked against a host model written from the operators' definitions.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "session.h"

namespace omu {
namespace demo {

struct options {
  uint64_t seed = 1;
  int steps = 12;          // decode steps after the prefill
  std::string json;        // write the report here as JSON when not empty
  bool corrupt = false;    // alter one weight on the device only (the demo must then fail)
};

// One line of the report: one layer (or frame) of one step of one model.
struct row {
  std::string model;
  std::string step;
  std::string layer;
  double max_abs = 0;  // largest absolute difference from the host model
  double max_rel = 0;  // largest absolute difference divided by the largest host magnitude
  double bound = 0;    // max_rel must not exceed this (0: the result must be bit-exact; < 0: timing only)
  int entries = 0;     // entry calls made for this line
  double ms = 0;       // their time, each call followed by a read back that waits for it
  bool pass = true;
  std::string note;    // why a line failed beyond its error, if it did
};

// A failed entry call or transfer; it ends the demo.
using failure = session_error;

// The models run on a session whose failures raise and whose entry calls are timed, each together
// with a 4-byte read back that waits for it. Time and number of entry calls since the last take:
inline void take(session& s, row& r) {
  const session::call_stats stats = s.take_stats();
  r.ms = stats.ms;
  r.entries = stats.calls;
}

// Deterministic generator (splitmix64) so that a seed gives the same model everywhere.
class random {
 public:
  explicit random(uint64_t seed) : state_(seed) {}
  uint64_t next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }  // [0, 1)
  double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }
  int32_t integer(int32_t lo, int32_t hi) {  // [lo, hi]
    return lo + static_cast<int32_t>(next() % static_cast<uint64_t>(hi - lo + 1));
  }

 private:
  uint64_t state_;
};

// Largest absolute difference and that difference relative to the largest reference magnitude.
template <typename T>
void compare(const std::vector<T>& got, const std::vector<double>& want, row& r) {
  double largest = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    const double d = static_cast<double>(got[i]) - want[i];
    const double a = d != d ? HUGE_VAL : (d < 0 ? -d : d);
    if (a > r.max_abs) r.max_abs = a;
    const double m = want[i] < 0 ? -want[i] : want[i];
    if (m > largest) largest = m;
  }
  r.max_rel = largest > 0 ? r.max_abs / largest : r.max_abs;
  r.pass = r.bound > 0 ? r.max_rel <= r.bound : r.max_abs == 0;
}

// The two models; each appends its report lines and throws `failure` when an entry fails.
void run_transformer(const library& lib, const options& opt, std::vector<row>& report);
void run_audio(const library& lib, const options& opt, std::vector<row>& report);

}  // namespace demo

int run_demo(const library& lib, const demo::options& opt);

}  // namespace omu
