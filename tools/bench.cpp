// omu bench: achieved memory throughput of elementwise entries, as a ratio to a device-to-device
// copy of the same number of elements measured in the same run.
#include <chrono>
#include <cstdio>
#include <vector>

#include "check.h"

namespace omu {

namespace {

using open_fn = kr_status_t (*)(int32_t, kr_omu_device**);
using close_fn = void (*)(kr_omu_device*);
using alloc_fn = kr_omu_buffer* (*)(kr_omu_device*, int32_t, int32_t);
using read_fn = kr_status_t (*)(kr_omu_device*, kr_omu_buffer*, void*, int32_t, int32_t);
using copy_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_copy_args_t*);
using unary_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*);
using pairwise_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t*);

struct fixture {
  const library& lib;
  kr_omu_device* device;
  kr_omu_buffer* a;
  kr_omu_buffer* b;
  kr_omu_buffer* out;
};

// Seconds per call: calls are queued back to back, and a 4-byte read waits for all of them.
template <typename Call>
double seconds_per_call(const fixture& f, Call call) {
  auto read = f.lib.function<read_fn>("taabe137");
  float sink = 0.0f;
  if (!call()) return -1.0;
  read(f.device, f.out, &sink, 0, 4);
  int calls = 1;
  for (;;) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < calls; ++i) {
      if (!call()) return -1.0;
    }
    read(f.device, f.out, &sink, 0, 4);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (elapsed > 0.2 || calls >= (1 << 16)) return elapsed / calls;
    calls *= 4;
  }
}

const char* const add_symbol = "taabe225";
const char* const exp_symbol = "taabe178";
const char* const sigmoid_symbol = "taabe39";

}  // namespace

int bench(const library& lib, int32_t elements) {
  auto open = lib.function<open_fn>("taabe20");
  auto close = lib.function<close_fn>("taabe105");
  auto alloc = lib.function<alloc_fn>("taabe79");
  auto copy = lib.function<copy_fn>("taabe140");
  auto add = lib.function<pairwise_fn>(add_symbol);
  auto exp = lib.function<unary_fn>(exp_symbol);
  auto sigmoid = lib.function<unary_fn>(sigmoid_symbol);
  if (open == nullptr || alloc == nullptr || copy == nullptr || add == nullptr || exp == nullptr ||
      sigmoid == nullptr) {
    std::fprintf(stderr, "omu: %s lacks the exports the benchmark uses\n", lib.path().c_str());
    return 2;
  }
  kr_omu_device* device = nullptr;
  if (open(0, &device) != KR_STATUS_SUCCESS) {
    std::fprintf(stderr, "omu: cannot open GPU 0\n");
    return 1;
  }
  const int32_t bytes = elements * 4;
  fixture f{lib, device, alloc(device, bytes, 0), alloc(device, bytes, 0), alloc(device, bytes, 0)};
  int rc = 0;
  if (f.a == nullptr || f.b == nullptr || f.out == nullptr) {
    std::fprintf(stderr, "omu: cannot allocate three buffers of %d bytes\n", bytes);
    rc = 1;
  } else {
    // Inputs of zeros: the timing does not depend on the values.
    kr_omu_op_clear_args_t clear_a{f.a, bytes, 0}, clear_b{f.b, bytes, 0};
    auto clear = lib.function<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_clear_args_t*)>("taabe267");
    clear(device, nullptr, &clear_a);
    clear(device, nullptr, &clear_b);

    kr_omu_op_copy_args_t copy_args{f.out, f.a, bytes, 0, 0};
    kr_omu_op_pairwise_args_t add_args{f.out, f.a, f.b, elements, 0, 0, 0};
    kr_omu_op_elementwise_args_t unary_args{f.out, f.a, elements, 0, 0};
    struct row {
      const char* name;
      double bytes_moved;
      double seconds;
    };
    const double copy_s = seconds_per_call(f, [&] { return copy(device, nullptr, &copy_args) == KR_STATUS_SUCCESS; });
    const double copy_bw = 2.0 * bytes / copy_s;
    const row rows[] = {
        {"device-to-device copy", 2.0 * bytes, copy_s},
        {"float pairwise add", 3.0 * bytes,
         seconds_per_call(f, [&] { return add(device, nullptr, &add_args) == KR_STATUS_SUCCESS; })},
        {"float exponential", 2.0 * bytes,
         seconds_per_call(f, [&] { return exp(device, nullptr, &unary_args) == KR_STATUS_SUCCESS; })},
        {"float table sigmoid", 2.0 * bytes,
         seconds_per_call(f, [&] { return sigmoid(device, nullptr, &unary_args) == KR_STATUS_SUCCESS; })},
    };
    std::printf("%d float elements per operand on %s\n", elements, lib.path().c_str());
    std::printf("%-24s %14s %12s %16s\n", "operation", "us per call", "GB/s", "ratio to copy");
    for (const row& r : rows) {
      if (r.seconds <= 0.0) {
        std::printf("%-24s failed\n", r.name);
        rc = 1;
        continue;
      }
      const double bw = r.bytes_moved / r.seconds;
      std::printf("%-24s %14.2f %12.2f %16.3f\n", r.name, r.seconds * 1e6, bw / 1e9, bw / copy_bw);
    }
  }
  auto release_buffer = [&](kr_omu_buffer* b) {
    if (b != nullptr) release(lib, device, b);
  };
  release_buffer(f.a);
  release_buffer(f.b);
  release_buffer(f.out);
  close(device);
  return rc;
}

}  // namespace omu
