// The measurements of `omu bench`: a reference launch, then each selected row at both sizes, with a
// device-to-device copy of the same traffic beside every large one.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "bench.h"
#include "bench_rows.h"
#include "session.h"

namespace omu {

struct measurement {
  bool ok = false;
  std::string shape;
  double bytes = 0.0;
  double flops = 0.0;
  double seconds = 0.0;
  double copy_seconds = 0.0;  // large: a copy of the same traffic
};

struct result {
  const bench_row* row;
  measurement large, small;
  double ratio() const { return large.ok ? (large.bytes / large.seconds) / (large.bytes / large.copy_seconds) : 0.0; }
};

struct run_info {
  std::string library;
  std::string device;
  bool emulated = false;
  std::string reference;        // what the reference launch is
  double launch_seconds = 0.0;  // its time per call
  std::vector<std::string> not_implemented;  // table rows whose entry the library lacks
  std::vector<std::string> without_row;      // operator entries of the registry without a row
};

// Seconds per call, or a negative number when a call fails. Calls are queued back to back in growing
// batches until one batch takes long enough to time; a 4-byte read back waits for each batch.
double seconds_per_call(session& ses, const std::function<kr_status_t()>& call, bool emulated);

// The reference launch into `info`: the cheapest entry call there is, one float ReLU of one element
// (a 4-byte copy where the ReLU is missing). False, with the reason in `error`, when it fails.
bool measure_reference(session& ses, run_info& info, std::string& error);

// Every selected row at both sizes into `results`, and the registry's operator entries without a
// row into `info`; returns 1 when anything failed. Every buffer is released before it returns.
int measure_rows(session& ses, const bench_options& options, run_info& info, std::vector<result>& results);

}  // namespace omu
