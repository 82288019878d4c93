// Timing: each call is queued back to back and a 4-byte read back waits for all of them, as the
// engine's read back would.
#include "bench_measure.h"

#include <algorithm>
#include <chrono>
#include <map>

namespace omu {

double seconds_per_call(session& ses, const std::function<kr_status_t()>& call, bool emulated) {
  const double enough = emulated ? 0.005 : 0.1;
  const int most = emulated ? 4 : (1 << 16);
  if (call() != KR_STATUS_SUCCESS || !ses.wait()) return -1.0;  // warm-up, and a status check
  for (int calls = 1;; calls *= 4) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
      if (call() != KR_STATUS_SUCCESS) return -1.0;
    }
    if (!ses.wait()) return -1.0;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (elapsed >= enough || calls >= most) return elapsed / calls;
  }
}

bool measure_reference(session& ses, run_info& info, std::string& error) {
  info.reference = "float ReLU of 1 element";
  kr_omu_buffer* a = ses.filled(4, 0x3f800000u);
  kr_omu_buffer* b = ses.zeros(4);
  if (a == nullptr || b == nullptr) {
    ses.release_buffers();
    error = "cannot allocate two 4-byte buffers";
    return false;
  }
  std::function<kr_status_t()> call = ses.bind("taabe169", kr_omu_op_elementwise_args_t{b, a, 1, 0, 0});
  if (!call) {
    info.reference = "device-to-device copy of 4 bytes";
    call = ses.bind("taabe140", kr_omu_op_copy_args_t{b, a, 4, 0, 0});
  }
  info.launch_seconds = seconds_per_call(ses, call, info.emulated);
  ses.release_buffers();
  if (info.launch_seconds <= 0.0) error = "the reference launch failed";
  return info.launch_seconds > 0.0;
}

int measure_rows(session& ses, const bench_options& options, run_info& info, std::vector<result>& results) {
  const library& lib = ses.lib();
  int rc = 0;

  // Copy of the same traffic: reads n bytes and writes n, so traffic t takes a copy of t / 2 bytes.
  std::map<int64_t, double> copy_seconds;
  auto copy_time = [&](double traffic) {
    const int64_t half = (static_cast<int64_t>(traffic) / 2 + 3) / 4 * 4;
    auto known = copy_seconds.find(half);
    if (known != copy_seconds.end()) return known->second;
    kr_omu_buffer* from = half > 0 ? ses.zeros(half) : nullptr;
    kr_omu_buffer* to = half > 0 ? ses.zeros(half) : nullptr;
    double t = -1.0;
    if (from != nullptr && to != nullptr) {
      t = seconds_per_call(ses, ses.bind("taabe140", kr_omu_op_copy_args_t{to, from, static_cast<int32_t>(half), 0, 0}),
                           info.emulated);
    }
    ses.release_buffers();
    copy_seconds[half] = t;
    return t;
  };

  auto selected = [&](const char* family) {
    return options.families.empty() ||
           std::find(options.families.begin(), options.families.end(), family) != options.families.end();
  };

  for (const bench_row& row : bench_rows()) {
    if (!selected(row.family())) continue;
    if (lib.symbol(row.symbol) == nullptr) {
      // Several rows of one entry name it once.
      std::vector<std::string>& missing = info.not_implemented;
      if (std::find(missing.begin(), missing.end(), row.symbol) == missing.end()) missing.push_back(row.symbol);
      continue;
    }
    result r{&row, {}, {}};
    for (const size_class s : {size_class::large, size_class::small}) {
      measurement& m = s == size_class::large ? r.large : r.small;
      prepared p;
      if (row.setup(ses, row.symbol, sizing{s, info.emulated}, p)) {
        m.shape = p.shape;
        m.bytes = p.bytes;
        m.flops = p.flops;
        m.seconds = seconds_per_call(ses, p.call, info.emulated);
        m.ok = m.seconds > 0.0;
      } else {
        m.shape = "buffers not available";
      }
      ses.release_buffers();
      if (m.ok && s == size_class::large) {
        m.copy_seconds = copy_time(m.bytes);
        m.ok = m.copy_seconds > 0.0;
      }
      if (!m.ok) rc = 1;
    }
    results.push_back(r);
  }
  // Operator entries of the registry that the library has but the table does not cover.
  for (const std::string& name : entries_without_row()) {
    if (lib.symbol(name.c_str()) != nullptr) info.without_row.push_back(name);
  }
  return rc;
}

}  // namespace omu
