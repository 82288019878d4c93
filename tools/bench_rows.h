// The rows of `omu bench`: one or more per operator entry of the export registry, each a shape and
// a set-up that makes the buffers of one entry call. Any tool that runs entries at benchmark shapes
// stands on this interface: iterate bench_rows(), call a row's set-up on an open session at the size
// wanted, make the call it returns (once, or as often as timing needs), and read the bytes and
// FLOPs the row declares for it. The set-up allocates through the session; the caller releases
// those buffers (session::release_buffers) when it is done with the call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "registry/exports.h"
#include "session.h"

namespace omu {

// Where a row runs. large: at least 256 MiB of traffic (past every cache), or the shape of a real
// decoder where the row names one; small: a few KiB, or one decode-sized call, launch-bound. On the
// emulated library both sizes shrink to tiny shapes (its figures mean nothing anyway).
enum class size_class { large, small };

struct sizing {
  size_class size;
  bool emulated;

  bool large() const { return size == size_class::large; }
  // The large size on a GPU: the only one that runs decoder-sized shapes.
  bool gpu_large() const { return large() && !emulated; }
  // Bytes of traffic a row aims at.
  int64_t traffic() const;
  // Elements per operand so that one call moves at least traffic() bytes when each element costs
  // `bytes_per_element` bytes over all operands; a multiple of 256.
  int32_t elements(int bytes_per_element) const;
  // How many units of `per_unit` bytes, on top of `fixed` bytes, make at least traffic() bytes; at
  // least `least`, and a multiple of `multiple`.
  int32_t units(double per_unit, double fixed = 0.0, int32_t multiple = 1, int32_t least = 1) const;
};

// One entry call at one size, ready to repeat.
struct prepared {
  std::function<kr_status_t()> call;
  double bytes = 0.0;  // the minimal traffic: each operand read or written once (an accumulated
                       // output both ways); staging the entry allocates for itself is not counted
  double flops = 0.0;  // floating-point operations, 0 where the entry is memory-bound by nature
  std::string shape;
};

// Makes the buffers of one call of entry `symbol` at size `z` through `ses` and fills `p`; false
// when a buffer cannot be had or the entry is missing.
using setup_fn = std::function<bool(session& ses, const char* symbol, const sizing& z, prepared& p)>;

struct bench_row {
  const kr_exports::entry* entry;  // export name, family and role; null only for a name the registry lacks
  const char* symbol;
  const char* variant;  // what distinguishes several rows of one entry; "" for one row
  setup_fn setup;

  const char* family() const { return entry != nullptr ? entry->family : "unknown"; }
  const char* role() const { return entry != nullptr ? entry->role : symbol; }
};

// Every row, grouped by family in registry order.
const std::vector<bench_row>& bench_rows();

// The family names rows can be selected by, in table order.
std::vector<std::string> bench_families();

// Operator entries of the export registry without a row, in registry order.
std::vector<std::string> entries_without_row();

}  // namespace omu
