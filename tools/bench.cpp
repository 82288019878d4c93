// omu bench: for every operator entry of the export list that the loaded library implements and
// that has a row in the table below, the achieved throughput at two sizes:
// - large (at least 256 MiB of traffic): bytes read and written per second, as a ratio to a
//   device-to-device copy of the same number of bytes measured in the same run (and FLOP/s where
//   the entry does arithmetic worth counting);
// - small (a few KiB, or one decode-sized call where the entry's shape needs more): time per call
//   as a multiple of the time of a reference launch, a float ReLU of one element, which is the
//   launch overhead an entry cannot go below.
// Bytes count each operand an entry reads or writes (an accumulated output both ways); staging
// that an entry allocates for itself is not counted.
// Each call is queued back to back and a 4-byte read back waits for all of them, as the engine's
// read back would.
#include "bench.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "support/exports.h"

namespace omu {

namespace {

using open_fn = kr_status_t (*)(int32_t, kr_omu_device**);
using close_fn = void (*)(kr_omu_device*);
using list_fn = kr_status_t (*)(char***, int32_t*);
using release_list_fn = void (*)(char**, int32_t);
using alloc_fn = kr_omu_buffer* (*)(kr_omu_device*, int32_t, int32_t);
using write_fn = kr_status_t (*)(kr_omu_device*, kr_omu_buffer*, const void*, int32_t, int32_t);
using read_fn = kr_status_t (*)(kr_omu_device*, kr_omu_buffer*, void*, int32_t, int32_t);
using copy_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_copy_args_t*);
using clear_fn = kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_clear_args_t*);

enum class size_class { large, small };
enum class fill { zero, ones };  // ones: float 1.0 (0x3f800000) repeated, whatever the element type

// The call to time at one size, and what one call moves and computes.
struct prepared {
  std::function<kr_status_t()> call;
  double bytes = 0.0;  // bytes read plus bytes written, each operand counted once
  double flops = 0.0;  // floating-point operations, 0 where the entry is memory-bound by nature
  std::string shape;
};

// Device, buffers and sizes shared by the rows' set-ups.
class bench_env {
 public:
  bench_env(const library& lib, kr_omu_device* device, bool emulated) : lib_(lib), device_(device), emulated_(emulated) {}
  ~bench_env() {
    release_all();
    release_sync_buffer();
  }

  const library& lib() const { return lib_; }
  kr_omu_device* device() const { return device_; }
  bool emulated() const { return emulated_; }

  template <typename F>
  F fn(const char* name) const {
    return lib_.function<F>(name);
  }

  // Bytes of traffic a row aims at: at least 256 MiB when large (past every cache), a few KiB when
  // small (launch-bound). The emulator gets tiny sizes: its figures mean nothing anyway.
  int64_t traffic(size_class s) const {
    if (emulated_) return s == size_class::large ? (int64_t{64} << 10) : (int64_t{4} << 10);
    return s == size_class::large ? (int64_t{256} << 20) : (int64_t{16} << 10);
  }

  // Elements per operand so that one call moves at least traffic(s) bytes when each element costs
  // `bytes_per_element` bytes over all operands; a multiple of 256.
  int32_t elements(size_class s, int bytes_per_element) const {
    const int64_t n = (traffic(s) + bytes_per_element - 1) / bytes_per_element;
    return static_cast<int32_t>((n + 255) / 256 * 256);
  }

  // A device buffer of `bytes`, owned until release_all(); null when it cannot be had.
  kr_omu_buffer* buffer(int64_t bytes, fill f = fill::zero) {
    if (bytes <= 0 || bytes > INT32_MAX) return nullptr;
    const int32_t size = static_cast<int32_t>(bytes);
    kr_omu_buffer* b = fn<alloc_fn>("taabe79")(device_, size, 0);
    if (b == nullptr) return nullptr;
    buffers_.push_back(b);
    bool ok = true;
    if (f == fill::zero) {
      kr_omu_op_clear_args_t args{b, size, 0};
      ok = fn<clear_fn>("taabe267")(device_, nullptr, &args) == KR_STATUS_SUCCESS;
    } else {
      // Written in chunks so that the host never holds the whole buffer.
      const int32_t chunk = std::min<int32_t>(size, 16 << 20);
      std::vector<uint32_t> ones((static_cast<size_t>(chunk) + 3) / 4, 0x3f800000u);
      for (int32_t at = 0; ok && at < size; at += chunk) {
        const int32_t n = std::min(chunk, size - at);
        ok = fn<write_fn>("taabe9")(device_, b, ones.data(), at, n) == KR_STATUS_SUCCESS;
      }
    }
    return ok ? b : nullptr;
  }

  // A device buffer holding `bytes` bytes from the host, owned until release_all().
  kr_omu_buffer* upload(const void* data, int64_t bytes) {
    kr_omu_buffer* b = buffer(bytes);
    if (b == nullptr) return nullptr;
    const int32_t size = static_cast<int32_t>(bytes);
    const int32_t chunk = 16 << 20;
    for (int64_t at = 0; at < size; at += chunk) {
      const int32_t n = static_cast<int32_t>(std::min<int64_t>(chunk, size - at));
      const int32_t from = static_cast<int32_t>(at);
      if (fn<write_fn>("taabe9")(device_, b, static_cast<const char*>(data) + at, from, n) != KR_STATUS_SUCCESS) {
        return nullptr;
      }
    }
    return b;
  }

  // How many units of `per_unit` bytes, on top of `fixed` bytes, make at least traffic(s) bytes;
  // at least `least`, and a multiple of `multiple`.
  int32_t units(size_class s, double per_unit, double fixed = 0.0, int32_t multiple = 1, int32_t least = 1) const {
    const double wanted = std::max(0.0, static_cast<double>(traffic(s)) - fixed);
    int64_t n = static_cast<int64_t>(std::ceil(wanted / per_unit));
    n = std::max<int64_t>(n, least);
    n = (n + multiple - 1) / multiple * multiple;
    return static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX / 2));
  }

  void release_all() {
    for (kr_omu_buffer* b : buffers_) release(lib_, device_, b);
    buffers_.clear();
  }

  // Waits for all queued work: a 4-byte read goes behind everything on the default stream.
  bool sync() {
    if (sync_buffer_ == nullptr) {
      sync_buffer_ = fn<alloc_fn>("taabe79")(device_, 4, 0);
      if (sync_buffer_ == nullptr) return false;
    }
    uint32_t sink = 0;
    return fn<read_fn>("taabe137")(device_, sync_buffer_, &sink, 0, 4) == KR_STATUS_SUCCESS;
  }

  void release_sync_buffer() {
    if (sync_buffer_ != nullptr) release(lib_, device_, sync_buffer_);
    sync_buffer_ = nullptr;
  }

  // Seconds per call, or a negative number when a call fails. Calls are queued in growing batches
  // until one batch takes long enough to time.
  double seconds_per_call(const std::function<kr_status_t()>& call) {
    const double enough = emulated_ ? 0.005 : 0.1;
    const int most = emulated_ ? 4 : (1 << 16);
    if (call() != KR_STATUS_SUCCESS || !sync()) return -1.0;  // warm-up, and a status check
    for (int calls = 1;; calls *= 4) {
      const auto start = std::chrono::steady_clock::now();
      for (int i = 0; i < calls; ++i) {
        if (call() != KR_STATUS_SUCCESS) return -1.0;
      }
      if (!sync()) return -1.0;
      const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (elapsed >= enough || calls >= most) return elapsed / calls;
    }
  }

 private:
  const library& lib_;
  kr_omu_device* device_;
  bool emulated_;
  std::vector<kr_omu_buffer*> buffers_;
  kr_omu_buffer* sync_buffer_ = nullptr;
};

// A row's set-up: allocates what the entry needs at size `s` (through env, which owns it) and
// fills `p`; false when the buffers cannot be had.
using setup_fn = std::function<bool(bench_env& env, const char* symbol, size_class s, prepared& p)>;

struct bench_row {
  const char* symbol;   // export name; the entry's role comes from the export list
  const char* family;
  const char* variant;  // what distinguishes several rows of one entry; "" for one row
  setup_fn setup;
};

// ---------------------------------------------------------------------------------------------
// Set-ups by argument record. A new entry whose record is here needs only a row in rows(); a new
// record needs one set-up function like these.

std::string count_shape(int32_t n, const char* what) { return std::to_string(n) + " " + what; }

// kr_omu_op_elementwise_args_t: `in` bytes read and `out` bytes written per element.
setup_fn elementwise(int in, int out, const char* element) {
  return [=](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t n = env.elements(s, in + out);
    kr_omu_buffer* input = env.buffer(int64_t{n} * in, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{n} * out);
    if (input == nullptr || output == nullptr) return false;
    auto fn = env.fn<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*)>(symbol);
    auto args = std::make_shared<kr_omu_op_elementwise_args_t>(kr_omu_op_elementwise_args_t{output, input, n, 0, 0});
    kr_omu_device* device = env.device();
    p.call = [=] { return fn(device, nullptr, args.get()); };
    p.bytes = double(n) * (in + out);
    p.shape = count_shape(n, element);
    return true;
  };
}

// kr_omu_op_elementwise_scalar_args_t over floats.
setup_fn scalar_f32() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t n = env.elements(s, 8);
    kr_omu_buffer* input = env.buffer(int64_t{n} * 4, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{n} * 4);
    if (input == nullptr || output == nullptr) return false;
    auto fn = env.fn<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_scalar_args_t*)>(symbol);
    auto args = std::make_shared<kr_omu_op_elementwise_scalar_args_t>(
        kr_omu_op_elementwise_scalar_args_t{output, input, 1.5f, n, 0, 0});
    kr_omu_device* device = env.device();
    p.call = [=] { return fn(device, nullptr, args.get()); };
    p.bytes = double(n) * 8;
    p.shape = count_shape(n, "floats");
    return true;
  };
}

// kr_omu_op_mulsv_args_t over 16-bit values.
setup_fn mulsv_i16() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t n = env.elements(s, 4);
    kr_omu_buffer* input = env.buffer(int64_t{n} * 2, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{n} * 2);
    if (input == nullptr || output == nullptr) return false;
    auto fn = env.fn<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_mulsv_args_t*)>(symbol);
    auto args = std::make_shared<kr_omu_op_mulsv_args_t>();
    *args = kr_omu_op_mulsv_args_t{output, input, int16_t{1536}, 0, n, 0, 0};
    kr_omu_device* device = env.device();
    p.call = [=] { return fn(device, nullptr, args.get()); };
    p.bytes = double(n) * 4;
    p.shape = count_shape(n, "16-bit values");
    return true;
  };
}

// kr_omu_op_pairwise_args_t: two inputs and one output of `size` bytes per element.
setup_fn pairwise(int size, const char* element) {
  return [=](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t n = env.elements(s, 3 * size);
    kr_omu_buffer* a = env.buffer(int64_t{n} * size, fill::ones);
    kr_omu_buffer* b = env.buffer(int64_t{n} * size, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{n} * size);
    if (a == nullptr || b == nullptr || output == nullptr) return false;
    auto fn = env.fn<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_args_t*)>(symbol);
    auto args = std::make_shared<kr_omu_op_pairwise_args_t>(kr_omu_op_pairwise_args_t{output, a, b, n, 0, 0, 0});
    kr_omu_device* device = env.device();
    p.call = [=] { return fn(device, nullptr, args.get()); };
    p.bytes = double(n) * 3 * size;
    p.shape = count_shape(n, element);
    return true;
  };
}

// kr_omu_op_elementwise_broadcast_args_t (row-wise): rows of `row_length` elements, `in` bytes
// read and `out` bytes written per element.
setup_fn row_wise(int32_t row_length, int in, int out) {
  return [=](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t n = env.elements(s, in + out);
    const int32_t num_rows = std::max<int32_t>(1, n / row_length);
    kr_omu_buffer* input = env.buffer(int64_t{num_rows} * row_length * in, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{num_rows} * row_length * out);
    if (input == nullptr || output == nullptr) return false;
    auto fn = env.fn<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t*)>(symbol);
    auto args = std::make_shared<kr_omu_op_elementwise_broadcast_args_t>(
        kr_omu_op_elementwise_broadcast_args_t{output, input, num_rows, row_length, 0, 0});
    kr_omu_device* device = env.device();
    p.call = [=] { return fn(device, nullptr, args.get()); };
    p.bytes = double(num_rows) * row_length * (in + out);
    p.shape = std::to_string(num_rows) + " rows x " + std::to_string(row_length);
    return true;
  };
}

// Binds `record` to the entry `symbol` as the call to time.
template <typename Record>
void bind(bench_env& env, const char* symbol, const Record& record, prepared& p) {
  auto fn = env.fn<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, Record*)>(symbol);
  auto args = std::make_shared<Record>(record);
  kr_omu_device* device = env.device();
  p.call = [=] { return fn(device, nullptr, args.get()); };
}

bool all_allocated(std::initializer_list<const kr_omu_buffer*> buffers) {
  return std::all_of(buffers.begin(), buffers.end(), [](const kr_omu_buffer* b) { return b != nullptr; });
}

std::string matrix_shape(int64_t rows, int64_t columns, const char* what = "") {
  return std::to_string(rows) + " x " + std::to_string(columns) + (what[0] != '\0' ? " " : "") + what;
}

// kr_omu_op_elementwise_broadcast_args_t over floats where the rows stored differ from the row
// parameter N: `in_row` and `out_row` floats per row given N (the row sum writes one float per
// row, the spectrum reads and writes rows of N + 2).
setup_fn rows_f32(int32_t n, int32_t in_row, int32_t out_row) {
  return [=](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t num_rows = env.units(s, 4.0 * (in_row + out_row));
    kr_omu_buffer* input = env.buffer(int64_t{num_rows} * in_row * 4, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{num_rows} * out_row * 4);
    if (!all_allocated({input, output})) return false;
    bind(env, symbol, kr_omu_op_elementwise_broadcast_args_t{output, input, num_rows, n, 0, 0}, p);
    p.bytes = double(num_rows) * (in_row + out_row) * 4;
    p.shape = std::to_string(num_rows) + " rows x " + std::to_string(n);
    return true;
  };
}

// kr_omu_op_pairwise_broadcast_args_t. `a` and `out` bytes per matrix element (out counted twice
// when the entry accumulates into it), and a broadcast vector along the rows (`b_per_column`
// bytes per column), along the columns (`b_per_row` per row) or, for the concatenation, a second
// matrix (`b_per_element`). Rows of 4096 elements (64 on the emulator).
struct broadcast_shape {
  int a, out, b_per_column, b_per_row, b_per_element;
  bool accumulates;
};
setup_fn broadcast(broadcast_shape k) {
  return [=](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t row_length = env.emulated() || s == size_class::small ? 64 : 4096;
    const int per_element = k.a + k.out * (k.accumulates ? 2 : 1) + k.b_per_element;
    const int32_t num_rows = env.units(s, double(row_length) * per_element + k.b_per_row,
                                       double(row_length) * k.b_per_column);
    const int64_t elements = int64_t{num_rows} * row_length;
    kr_omu_buffer* a = env.buffer(elements * k.a, fill::ones);
    const int64_t b_bytes = k.b_per_element > 0
                                ? elements * k.b_per_element
                                : int64_t{row_length} * k.b_per_column + int64_t{num_rows} * k.b_per_row;
    kr_omu_buffer* b = env.buffer(b_bytes, fill::ones);
    kr_omu_buffer* output = env.buffer(elements * k.out);
    if (!all_allocated({a, b, output})) return false;
    bind(env, symbol, kr_omu_op_pairwise_broadcast_args_t{output, a, b, num_rows, row_length, 0, 0, 0}, p);
    p.bytes = double(elements) * per_element + double(row_length) * k.b_per_column + double(num_rows) * k.b_per_row;
    p.shape = matrix_shape(num_rows, row_length);
    return true;
  };
}

// Row length of the normalisations: 4096 (a model width), 256 on the emulator and at the small size.
int32_t norm_row(const bench_env& env, size_class s) { return env.emulated() || s == size_class::small ? 256 : 4096; }

// kr_omu_op_layer_norm_args_t with gamma and beta of `affine` bytes per column.
setup_fn layer_norm(int affine) {
  return [=](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t row_length = norm_row(env, s);
    const int32_t num_rows = env.units(s, 8.0 * row_length, 2.0 * affine * row_length);
    kr_omu_buffer* input = env.buffer(int64_t{num_rows} * row_length * 4, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{num_rows} * row_length * 4);
    kr_omu_buffer* gamma = env.buffer(int64_t{row_length} * affine, fill::ones);
    kr_omu_buffer* beta = env.buffer(int64_t{row_length} * affine);
    if (!all_allocated({input, output, gamma, beta})) return false;
    bind(env, symbol,
         kr_omu_op_layer_norm_args_t{output, input, gamma, beta, 1e-5f, num_rows, row_length, 0, 0, 0, 0}, p);
    p.bytes = 8.0 * num_rows * row_length + 2.0 * affine * row_length;
    p.shape = matrix_shape(num_rows, row_length, "floats");
    return true;
  };
}

// kr_omu_op_norm_args_t.
setup_fn rms_norm() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t row_length = norm_row(env, s);
    const int32_t num_rows = env.units(s, 8.0 * row_length, 4.0 * row_length);
    kr_omu_buffer* input = env.buffer(int64_t{num_rows} * row_length * 4, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{num_rows} * row_length * 4);
    kr_omu_buffer* gamma = env.buffer(int64_t{row_length} * 4, fill::ones);
    if (!all_allocated({input, output, gamma})) return false;
    bind(env, symbol, kr_omu_op_norm_args_t{output, input, gamma, 1e-5f, num_rows, row_length, 0, 0, 0}, p);
    p.bytes = 8.0 * num_rows * row_length + 4.0 * row_length;
    p.shape = matrix_shape(num_rows, row_length, "floats");
    return true;
  };
}

// kr_omu_op_gate_args_t: a mixture-of-experts router, 64 candidate scores per row, top 8 kept.
// One thread serves a row and makes top_k selection passes over its scores, so the large size
// grows the row count (about 840 thousand rows for 256 MiB), never the row.
setup_fn gate() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t candidates = 64, top_k = 8;
    const int32_t num_rows = env.units(s, 4.0 * candidates + 8.0 * top_k);
    kr_omu_buffer* scores = env.buffer(int64_t{num_rows} * candidates * 4, fill::ones);
    kr_omu_buffer* indices = env.buffer(int64_t{num_rows} * top_k * 4);
    kr_omu_buffer* probs = env.buffer(int64_t{num_rows} * top_k * 4);
    if (!all_allocated({scores, indices, probs})) return false;
    bind(env, symbol, kr_omu_op_gate_args_t{indices, probs, scores, num_rows, top_k, candidates}, p);
    p.bytes = double(num_rows) * (4.0 * candidates + 8.0 * top_k);
    p.shape = std::to_string(num_rows) + " rows, top 8 of 64";
    return true;
  };
}

// kr_omu_op_cell_args_t: reads the cell state and three gate vectors, writes them back and the
// output: 18 bytes per cell.
setup_fn cell() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t count = env.units(s, 18.0, 0.0, 256);
    kr_omu_buffer* output = env.buffer(int64_t{count} * 2);
    kr_omu_buffer* state = env.buffer(int64_t{count} * 2, fill::ones);
    kr_omu_buffer* gates = env.buffer(int64_t{count} * 6, fill::ones);
    if (!all_allocated({output, state, gates})) return false;
    bind(env, symbol, kr_omu_op_cell_args_t{output, state, gates, count, 0, 0, 0}, p);
    p.bytes = 18.0 * count;
    p.shape = count_shape(count, "cells");
    return true;
  };
}

// kr_omu_op_standardize_args_t: 16-bit rows of 256 columns with a mean and a scale per column.
setup_fn standardize() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t columns = 256;
    const int32_t num_rows = env.units(s, 4.0 * columns, 4.0 * columns);
    kr_omu_buffer* input = env.buffer(int64_t{num_rows} * columns * 2, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{num_rows} * columns * 2);
    kr_omu_buffer* mean = env.buffer(int64_t{columns} * 2);
    kr_omu_buffer* scale = env.buffer(int64_t{columns} * 2, fill::ones);
    if (!all_allocated({input, output, mean, scale})) return false;
    bind(env, symbol, kr_omu_op_standardize_args_t{output, input, mean, scale, num_rows, columns, 0, 0}, p);
    p.bytes = 4.0 * num_rows * columns + 4.0 * columns;
    p.shape = matrix_shape(num_rows, columns, "16-bit");
    return true;
  };
}

// kr_omu_op_conv1d_args_t: 64 to 64 channels (the packed path), 3 taps, frames to fill the traffic.
setup_fn conv1d() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t in_channels = 64, out_channels = 64, taps = 3;
    const double weights_bytes = double(out_channels) * taps * in_channels;
    const int32_t frames =
        env.units(s, 2.0 * in_channels + 4.0 * out_channels, weights_bytes + 2.0 * (taps - 1) * in_channels);
    kr_omu_buffer* input = env.buffer(int64_t{frames + taps - 1} * in_channels * 2, fill::ones);
    kr_omu_buffer* weights = env.buffer(static_cast<int64_t>(weights_bytes), fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{frames} * out_channels * 4);
    if (!all_allocated({input, weights, output})) return false;
    bind(env, symbol,
         kr_omu_op_conv1d_args_t{output, weights, input, frames, out_channels, in_channels, taps, 0, 0, 0}, p);
    p.bytes = 2.0 * (frames + taps - 1) * in_channels + weights_bytes + 4.0 * frames * out_channels;
    p.shape = std::to_string(frames) + " frames, 64->64, 3 taps";
    return true;
  };
}

// kr_omu_op_conv1d_depthwise_args_t: 256 channels, 3 taps (an unrolled variant).
setup_fn conv1d_depthwise() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t channels = 256, taps = 3;
    const int32_t frames = env.units(s, 6.0 * channels, double(taps) * channels + 2.0 * (taps - 1) * channels);
    kr_omu_buffer* input = env.buffer(int64_t{frames + taps - 1} * channels * 2, fill::ones);
    kr_omu_buffer* weights = env.buffer(int64_t{taps} * channels, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{frames} * channels * 4);
    if (!all_allocated({input, weights, output})) return false;
    bind(env, symbol, kr_omu_op_conv1d_depthwise_args_t{output, weights, input, frames, channels, taps, 0, 0, 0}, p);
    p.bytes = 2.0 * (frames + taps - 1) * channels + double(taps) * channels + 4.0 * frames * channels;
    p.shape = std::to_string(frames) + " frames x 256, 3 taps";
    return true;
  };
}

// kr_omu_op_conv1d_transposed_depthwise_args_t: 256 channels, 4 taps, upsampling by 2.
setup_fn conv1d_transposed() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t channels = 256, taps = 4, stride = 2;
    const int32_t extra = taps / stride - 1;  // output frames (frames + extra) x stride
    const int32_t frames = env.units(s, 2.0 * channels + 4.0 * stride * channels, double(taps) * channels);
    const int64_t out_frames = int64_t{frames + extra} * stride;
    kr_omu_buffer* input = env.buffer(int64_t{frames} * channels * 2, fill::ones);
    kr_omu_buffer* weights = env.buffer(int64_t{taps} * channels, fill::ones);
    kr_omu_buffer* output = env.buffer(out_frames * channels * 4);
    if (!all_allocated({input, weights, output})) return false;
    bind(env, symbol,
         kr_omu_op_conv1d_transposed_depthwise_args_t{output, weights, input, frames, channels, taps, stride, 0, 0, 0},
         p);
    p.bytes = 2.0 * frames * channels + double(taps) * channels + 4.0 * out_frames * channels;
    p.shape = std::to_string(frames) + " frames x 256, x2 up";
    return true;
  };
}

// kr_omu_op_linear_args_t: 16-bit rows through a square 8-bit layer of 4096 features (256 at the
// small size, 64 on the emulator); the accumulating entry reads its output too.
setup_fn linear(bool accumulates) {
  return [=](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t features = env.emulated() ? 64 : (s == size_class::small ? 256 : 4096);
    const double layer = double(features) * features + features;
    const int32_t num_rows = env.units(s, 2.0 * features * (accumulates ? 3 : 2), layer);
    kr_omu_buffer* input = env.buffer(int64_t{num_rows} * features * 2, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{num_rows} * features * 2);
    kr_omu_buffer* weights = env.buffer(int64_t{features} * features, fill::ones);
    kr_omu_buffer* bias = env.buffer(features, fill::ones);
    if (!all_allocated({input, output, weights, bias})) return false;
    bind(env, symbol, kr_omu_op_linear_args_t{output, input, weights, bias, num_rows, features, features, 0, 0}, p);
    p.bytes = 2.0 * num_rows * features * (accumulates ? 3 : 2) + layer;
    p.shape = std::to_string(num_rows) + " rows, " + matrix_shape(features, features);
    return true;
  };
}

// kr_omu_op_transpose_args_t, float outer transpose: dim0 x dim1 rows of 128 floats (16 on the
// emulator) swapped to dim1 x dim0.
setup_fn transpose_outer() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t inner = env.emulated() ? 16 : 128;
    const int32_t pairs = env.units(s, 8.0 * inner);
    const int32_t side = std::max<int32_t>(1, static_cast<int32_t>(std::ceil(std::sqrt(double(pairs)))));
    const int64_t elements = int64_t{side} * side * inner;
    kr_omu_buffer* input = env.buffer(elements * 4, fill::ones);
    kr_omu_buffer* output = env.buffer(elements * 4);
    if (!all_allocated({input, output})) return false;
    bind(env, symbol, kr_omu_op_transpose_args_t{output, input, side, side, inner, 0, 0}, p);
    p.bytes = 8.0 * elements;
    p.shape = std::to_string(side) + " x " + std::to_string(side) + " x " + std::to_string(inner) + " floats";
    return true;
  };
}

// kr_omu_op_transpose_args_t, byte inner transpose: dim0 square byte matrices of 1024 (32 on the
// emulator and at the small size).
setup_fn transpose_inner() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t side = env.emulated() || s == size_class::small ? 32 : 1024;
    const int32_t matrices = env.units(s, 2.0 * side * side);
    const int64_t elements = int64_t{matrices} * side * side;
    kr_omu_buffer* input = env.buffer(elements, fill::ones);
    kr_omu_buffer* output = env.buffer(elements);
    if (!all_allocated({input, output})) return false;
    bind(env, symbol, kr_omu_op_transpose_args_t{output, input, matrices, side, side, 0, 0}, p);
    p.bytes = 2.0 * elements;
    p.shape = std::to_string(matrices) + " x " + matrix_shape(side, side, "bytes");
    return true;
  };
}

// kr_omu_op_quantize_args_t: float rows of 4096 (256 on the emulator and at the small size) to
// 16-bit values and one scale per row.
setup_fn quantize() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t row_length = norm_row(env, s);
    const int32_t num_rows = env.units(s, 6.0 * row_length + 4.0);
    kr_omu_buffer* input = env.buffer(int64_t{num_rows} * row_length * 4, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{num_rows} * row_length * 2);
    kr_omu_buffer* scales = env.buffer(int64_t{num_rows} * 4);
    if (!all_allocated({input, output, scales})) return false;
    bind(env, symbol, kr_omu_op_quantize_args_t{output, scales, input, num_rows, row_length, 0, 0, 0}, p);
    p.bytes = double(num_rows) * (6.0 * row_length + 4.0);
    p.shape = matrix_shape(num_rows, row_length, "floats");
    return true;
  };
}

// kr_omu_op_matmul_args_t: output = lhs x rhs^T with 1024 columns and depth 1024 (64 on the
// emulator and at the small size; the kernel runs one block per output row, so columns stay within
// one block's threads), rows to fill the traffic.
setup_fn matmul_f32() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t cols = env.emulated() || s == size_class::small ? 64 : 1024;
    const int32_t depth = cols;
    const int32_t rows = env.units(s, 4.0 * (depth + cols), 4.0 * cols * depth);
    kr_omu_buffer* lhs = env.buffer(int64_t{rows} * depth * 4, fill::ones);
    kr_omu_buffer* rhs = env.buffer(int64_t{cols} * depth * 4, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{rows} * cols * 4);
    if (!all_allocated({lhs, rhs, output})) return false;
    bind(env, symbol, kr_omu_op_matmul_args_t{output, lhs, rhs, rows, cols, depth, 0, 0, 0}, p);
    p.bytes = 4.0 * (double(rows) * depth + double(cols) * depth + double(rows) * cols);
    p.flops = 2.0 * rows * cols * depth;
    p.shape = matrix_shape(rows, cols) + ", depth " + std::to_string(depth);
    return true;
  };
}

// kr_omu_op_weight_16x8_args_t: `rows` activation rows (1: the vector path) times a block-quantised
// matrix whose column blocks all sit in the `bits`-wide section. The weight buffer is preprocessed
// once (taabe2) before timing; the column order is the identity. Output features 16384 (256 on the
// emulator and at the small size), input columns to fill the traffic: weights (16 x bits bytes per
// 16 x 8 block), block parameters (4 bytes per block), the column order, the activations and the
// output.
setup_fn block_matmul(int bits, int32_t rows) {
  return [=](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t row_blocks = env.emulated() || s == size_class::small ? 16 : 1024;
    const double n = 16.0 * row_blocks;
    const double per_column_block = double(row_blocks) * (16.0 * bits + 4.0) + 8.0 * 4.0 + 8.0 * 4.0 * rows;
    // The small batched size keeps rows 512 with a single column block.
    const int32_t column_blocks = env.units(s, per_column_block, 4.0 * rows * n, 1, 1);
    const int32_t k = 8 * column_blocks;
    const int64_t weight_bytes = int64_t{16} * bits * row_blocks * column_blocks;
    std::vector<uint32_t> order(static_cast<size_t>(k));
    for (int32_t i = 0; i < k; ++i) order[static_cast<size_t>(i)] = static_cast<uint32_t>(i);
    kr_omu_buffer* input = env.buffer(int64_t{rows} * k * 4, fill::ones);
    kr_omu_buffer* output = env.buffer(int64_t{rows} * row_blocks * 16 * 4);
    kr_omu_buffer* column_order = env.upload(order.data(), int64_t{k} * 4);
    kr_omu_buffer* params = env.buffer(int64_t{row_blocks} * column_blocks * 4, fill::ones);
    kr_omu_buffer* weights = env.buffer(weight_bytes, fill::ones);
    if (!all_allocated({input, output, column_order, params, weights})) return false;
    kr_omu_op_weight_16x8_preprocess_blocks_args_t preprocess{weights, row_blocks, {}};
    preprocess.column_blocks[bits - 1] = column_blocks;
    auto preprocess_fn =
        env.fn<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_weight_16x8_preprocess_blocks_args_t*)>(
            "taabe2");
    if (preprocess_fn == nullptr || preprocess_fn(env.device(), nullptr, &preprocess) != KR_STATUS_SUCCESS) {
      return false;
    }
    kr_omu_op_weight_16x8_args_t args{output, input, column_order, params, weights, rows, row_blocks, {}, 0, 0};
    args.column_blocks[bits - 1] = column_blocks;
    bind(env, symbol, args, p);
    p.bytes = double(weight_bytes) + 4.0 * row_blocks * column_blocks + 4.0 * k + 4.0 * rows * k + 4.0 * rows * n;
    p.flops = 2.0 * rows * n * k;
    p.shape = std::to_string(rows) + " x " + std::to_string(k) + " by " + std::to_string(k) + " x " +
              std::to_string(static_cast<int64_t>(n));
    return true;
  };
}

// kr_omu_op_attention_args_t: full attention (no mask) with relative embeddings within 16
// positions, 8 heads of 64 (2 of 16 on the emulator). The caller's score scratch of heads x T x T
// floats is written by the score kernel, read and rewritten by the softmax and read by the weighted
// sum: 4 passes, which dominate the traffic. FLOPs: the two products, 4 x heads x T x T x head size.
setup_fn fused_attention() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t heads = env.emulated() ? 2 : 8, head_size = env.emulated() ? 16 : 64, window = 16;
    const int32_t width = heads * head_size;
    const double per_square = 16.0 * heads;
    const int32_t length = std::max<int32_t>(
        2, static_cast<int32_t>(std::ceil(std::sqrt(double(env.traffic(s)) / per_square) / 16.0)) * 16);
    const int64_t tensor = int64_t{length} * width * 4;
    const int64_t table = int64_t{2 * window + 1} * head_size * 4;
    const int64_t scores_bytes = int64_t{heads} * length * length * 4;
    kr_omu_buffer* q = env.buffer(tensor, fill::ones);
    kr_omu_buffer* k = env.buffer(tensor, fill::ones);
    kr_omu_buffer* v = env.buffer(tensor, fill::ones);
    kr_omu_buffer* out = env.buffer(tensor);
    kr_omu_buffer* rk = env.buffer(table, fill::ones);
    kr_omu_buffer* rv = env.buffer(table, fill::ones);
    kr_omu_buffer* scores = env.buffer(scores_bytes);
    if (!all_allocated({q, k, v, out, rk, rv, scores})) return false;
    // No mask (lookahead -1); every offset 0.
    const kr_omu_op_attention_args_t args{out, q, k, v, rk, rv, scores, length, heads, width,
                                          window, -1, 0, 0, 0, 0, 0, 0, 0};
    bind(env, symbol, args, p);
    p.bytes = 4.0 * tensor + 2.0 * table + 4.0 * scores_bytes;
    p.flops = 4.0 * heads * double(length) * length * head_size;
    p.shape = "T " + std::to_string(length) + ", " + std::to_string(heads) + " heads of " + std::to_string(head_size);
    return true;
  };
}

// kr_omu_op_attention_attend_args_t: one new query (a decode step) at position capacity - 1 over a
// full cache of 8192 positions; 128 query heads over 64 key/value heads of 256, so that the 8-bit
// key and value caches alone are 256 MiB. At the small size and on the emulator, 64 positions,
// 8 heads over 2 of 64 (2 over 1 of 16 on the emulator). Bytes: both caches with their per-row
// offsets and scales, the query and the output; the entry's own score scratch (heads x 8192
// floats) is not counted. FLOPs: the two products, 4 x heads x positions x head size.
setup_fn attend() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const bool large = s == size_class::large && !env.emulated();
    const int32_t capacity = large ? 8192 : 64;
    const int32_t heads = large ? 128 : (env.emulated() ? 2 : 8);
    const int32_t kv_heads = large ? 64 : (env.emulated() ? 1 : 2);
    const int32_t head_size = large ? 256 : (env.emulated() ? 16 : 64);
    const int32_t position = capacity - 1, length = 1;
    const int64_t cache = int64_t{kv_heads} * capacity * head_size;
    const int64_t row_floats = int64_t{kv_heads} * capacity * 4;
    const int64_t vector = int64_t{length} * heads * head_size * 4;
    kr_omu_buffer* output = env.buffer(vector);
    kr_omu_buffer* query = env.buffer(vector, fill::ones);
    kr_omu_buffer* key_cache = env.buffer(cache, fill::ones);
    kr_omu_buffer* key_offsets = env.buffer(row_floats);
    kr_omu_buffer* key_scales = env.buffer(row_floats, fill::ones);
    kr_omu_buffer* value_cache = env.buffer(cache, fill::ones);
    kr_omu_buffer* value_offsets = env.buffer(row_floats);
    kr_omu_buffer* value_scales = env.buffer(row_floats, fill::ones);
    if (!all_allocated({output, query, key_cache, key_offsets, key_scales, value_cache, value_offsets, value_scales})) {
      return false;
    }
    bind(env, symbol,
         kr_omu_op_attention_attend_args_t{output, query, key_cache, key_offsets, key_scales, value_cache,
                                           value_offsets, value_scales, length, capacity, position, heads,
                                           kv_heads, head_size},
         p);
    p.bytes = 2.0 * cache + 4.0 * row_floats + 2.0 * vector;
    p.flops = 4.0 * heads * double(capacity) * head_size;
    p.shape = std::to_string(capacity) + " cached, " + std::to_string(heads) + "/" + std::to_string(kv_heads) +
              " heads of " + std::to_string(head_size);
    return true;
  };
}

// kr_omu_op_attention_encode_args_t: rotary encoding in place over 32 heads of 128 (4 of 32 on the
// emulator), the whole head rotated as split halves; each position reads one table row.
setup_fn encode() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t heads = env.emulated() ? 4 : 32, head_size = env.emulated() ? 32 : 128;
    const int32_t length = env.units(s, 8.0 * heads * head_size + 4.0 * head_size);
    kr_omu_buffer* data = env.buffer(int64_t{length} * heads * head_size * 4, fill::ones);
    kr_omu_buffer* table = env.buffer(int64_t{length} * head_size * 4, fill::ones);
    if (!all_allocated({data, table})) return false;
    bind(env, symbol, kr_omu_op_attention_encode_args_t{data, table, length, heads, head_size, head_size, 0, 0}, p);
    p.bytes = double(length) * (8.0 * heads * head_size + 4.0 * head_size);
    p.shape = std::to_string(length) + " positions x " + std::to_string(heads) + " heads";
    return true;
  };
}

// kr_omu_op_precompute_encoding_args_t: a table of 128 floats per position (32 on the emulator);
// it only writes, besides reading the divisors.
setup_fn precompute_encoding() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t rotary = env.emulated() ? 32 : 128;
    const int32_t length = env.units(s, 4.0 * rotary, 2.0 * rotary);
    kr_omu_buffer* table = env.buffer(int64_t{length} * rotary * 4);
    kr_omu_buffer* divisors = env.buffer(int64_t{rotary / 2} * 4, fill::ones);
    if (!all_allocated({table, divisors})) return false;
    bind(env, symbol, kr_omu_op_precompute_encoding_args_t{table, divisors, 10000.0f, 1.0f, length, rotary, 0, 0}, p);
    p.bytes = 4.0 * length * rotary + 2.0 * rotary;
    p.shape = std::to_string(length) + " positions x " + std::to_string(rotary);
    return true;
  };
}

// kr_omu_op_update_kv_args_t: new float rows of 8 key/value heads of 128 (2 of 32 on the emulator)
// quantised into a cache with one slot per new position; the small size is one decode step into a
// cache of 64 slots. Bytes: the floats read, the codes written and each row's offset and scale.
setup_fn update_kv() {
  return [](bench_env& env, const char* symbol, size_class s, prepared& p) {
    const int32_t kv_heads = env.emulated() ? 2 : 8, head_size = env.emulated() ? 32 : 128;
    const double per_position = double(kv_heads) * (5.0 * head_size + 8.0);
    const int32_t length = s == size_class::small ? 1 : env.units(s, per_position, 0.0, 256);
    const int32_t capacity = std::max<int32_t>(length, 64);
    const int64_t rows = int64_t{kv_heads} * capacity;
    kr_omu_buffer* cache = env.buffer(rows * head_size);
    kr_omu_buffer* scales = env.buffer(rows * 4);
    kr_omu_buffer* offsets = env.buffer(rows * 4);
    kr_omu_buffer* input = env.buffer(int64_t{length} * kv_heads * head_size * 4, fill::ones);
    if (!all_allocated({cache, scales, offsets, input})) return false;
    bind(env, symbol,
         kr_omu_op_update_kv_args_t{cache, scales, offsets, input, kv_heads, length, head_size, capacity - length,
                                    capacity},
         p);
    p.bytes = double(length) * per_position;
    p.shape = std::to_string(length) + " positions x " + std::to_string(kv_heads) + " heads";
    return true;
  };
}

// The table: one row per entry and shape.
const std::vector<bench_row>& bench_table() {
  static const std::vector<bench_row> table = {
      // float unary elementwise
      {"taabe178", "elementwise", "", elementwise(4, 4, "floats")},
      {"taabe71", "elementwise", "", elementwise(4, 4, "floats")},
      {"taabe78", "elementwise", "", elementwise(4, 4, "floats")},
      {"taabe190", "elementwise", "", elementwise(4, 4, "floats")},
      {"taabe39", "elementwise", "", elementwise(4, 4, "floats")},
      {"taabe257", "elementwise", "", elementwise(4, 4, "floats")},
      {"taabe141", "elementwise", "", elementwise(4, 4, "floats")},
      {"taabe169", "elementwise", "", elementwise(4, 4, "floats")},
      // float with a scalar
      {"taabe45", "scalar", "", scalar_f32()},
      {"taabe106", "scalar", "", scalar_f32()},
      {"taabe224", "scalar", "", scalar_f32()},
      {"taabe272", "scalar", "", scalar_f32()},
      // float pairwise
      {"taabe225", "pairwise", "", pairwise(4, "floats")},
      {"taabe241", "pairwise", "", pairwise(4, "floats")},
      {"taabe66", "pairwise", "", pairwise(4, "floats")},
      {"taabe50", "pairwise", "", pairwise(4, "floats")},
      // 16-bit elementwise and conversions
      {"taabe165", "int16", "", elementwise(2, 2, "16-bit values")},
      {"taabe27", "int16", "", elementwise(2, 2, "16-bit values")},
      {"taabe35", "int16", "", elementwise(2, 2, "16-bit values")},
      {"taabe88", "int16", "", elementwise(2, 2, "16-bit values")},
      {"taabe218", "int16", "", elementwise(4, 4, "int32 values")},
      {"taabe221", "int16", "", elementwise(1, 4, "Q7 bytes")},
      {"taabe266", "int16", "", elementwise(2, 4, "Q10 values")},
      {"taabe77", "int16", "", elementwise(4, 2, "floats")},
      {"taabe82", "int16", "", elementwise(4, 2, "Q17 values")},
      {"taabe263", "int16", "", mulsv_i16()},
      {"taabe177", "int16", "", pairwise(2, "16-bit values")},
      {"taabe273", "int16", "rows of 256", row_wise(256, 2, 4)},
      // broadcast vectors and row concatenation: Q17 plus a Q7 bias row, float rows and columns
      {"taabe99", "broadcast", "", broadcast({4, 4, 1, 0, 0, false})},
      {"taabe155", "broadcast", "", broadcast({4, 4, 4, 0, 0, false})},
      {"taabe69", "broadcast", "", broadcast({4, 4, 4, 0, 0, false})},
      {"taabe246", "broadcast", "", broadcast({4, 4, 4, 0, 0, true})},
      {"taabe46", "broadcast", "", broadcast({4, 4, 0, 4, 0, false})},
      {"taabe249", "broadcast", "", broadcast({4, 4, 0, 4, 0, false})},
      {"taabe24", "broadcast", "", broadcast({4, 8, 0, 0, 4, false})},
      // row-wise (one block per row)
      {"taabe194", "broadcast", "rows of 4096", row_wise(4096, 4, 4)},
      {"taabe118", "broadcast", "rows of 4096", row_wise(4096, 4, 4)},
      // one thread sums a row in order: short rows, many of them
      {"taabe143", "broadcast", "rows of 256", rows_f32(256, 256, 1)},
      {"taabe40", "broadcast", "rows of 512 + 2", rows_f32(512, 514, 514)},
      // normalisation, gating and the 16-bit fused operators
      {"taabe120", "norm", "", layer_norm(4)},
      {"taabe230", "norm", "", layer_norm(1)},
      {"taabe167", "norm", "", rms_norm()},
      {"taabe149", "norm", "", gate()},
      {"taabe47", "norm", "", cell()},
      {"taabe86", "norm", "", standardize()},
      // convolutions and 16-bit linear layers
      {"taabe126", "conv", "", conv1d()},
      {"taabe61", "conv", "", conv1d_depthwise()},
      {"taabe81", "conv", "", conv1d_transposed()},
      {"taabe34", "conv", "", linear(false)},
      {"taabe153", "conv", "", linear(true)},
      // layout and quantisation
      {"taabe116", "layout", "", transpose_outer()},
      {"taabe110", "layout", "", transpose_inner()},
      {"taabe240", "layout", "", quantize()},
      // matrix products
      {"taabe54", "matmul", "", matmul_f32()},
      {"taabe195", "matmul", "4-bit, rows 1", block_matmul(4, 1)},
      {"taabe195", "matmul", "3-bit, rows 1", block_matmul(3, 1)},
      {"taabe195", "matmul", "4-bit, rows 512", block_matmul(4, 512)},
      {"taabe195", "matmul", "3-bit, rows 512", block_matmul(3, 512)},
      // attention
      {"taabe104", "attention", "", fused_attention()},
      {"taabe7", "attention", "8K cache", attend()},
      {"taabe203", "attention", "", encode()},
      {"taabe8", "attention", "", precompute_encoding()},
      {"taabe186", "attention", "", update_kv()},
  };
  return table;
}

// ---------------------------------------------------------------------------------------------
// Results and their output

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
  std::string role;
  measurement large, small;
  double ratio() const { return large.ok ? (large.bytes / large.seconds) / (large.bytes / large.copy_seconds) : 0.0; }
};

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buf;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string json_number(double v) {
  if (!std::isfinite(v)) return "null";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

std::string xml_text(const std::string& s) {
  std::string out;
  for (const char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

bool write_file(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

struct run_info {
  std::string library;
  std::string device;
  bool emulated = false;
  double launch_seconds = 0.0;
  std::vector<std::string> not_implemented;  // table rows whose entry the library lacks
  std::vector<std::string> without_row;      // implemented operator entries without a row yet
};

const char* const emulator_note = "emulated library: tiny sizes on the CPU; the figures mean nothing here";

std::string to_json(const run_info& info, const std::vector<result>& results) {
  std::string j = "{\n";
  j += "  \"library\": " + json_string(info.library) + ",\n";
  j += "  \"device\": " + json_string(info.device) + ",\n";
  j += "  \"emulated\": " + std::string(info.emulated ? "true" : "false") + ",\n";
  if (info.emulated) j += "  \"note\": " + json_string(emulator_note) + ",\n";
  j += "  \"reference_launch_seconds\": " + json_number(info.launch_seconds) + ",\n";
  j += "  \"entries\": [";
  for (size_t i = 0; i < results.size(); ++i) {
    const result& r = results[i];
    j += i == 0 ? "\n" : ",\n";
    j += "    {\"export\": " + json_string(r.row->symbol) + ", \"family\": " + json_string(r.row->family) +
         ", \"entry\": " + json_string(r.role) + ", \"variant\": " + json_string(r.row->variant) + ",\n";
    const measurement& l = r.large;
    j += "     \"large\": {\"ok\": " + std::string(l.ok ? "true" : "false") + ", \"shape\": " + json_string(l.shape) +
         ", \"bytes\": " + json_number(l.bytes) + ", \"seconds\": " + json_number(l.ok ? l.seconds : NAN) +
         ", \"bytes_per_second\": " + json_number(l.ok ? l.bytes / l.seconds : NAN) +
         ", \"copy_bytes_per_second\": " + json_number(l.ok ? l.bytes / l.copy_seconds : NAN) +
         ", \"ratio_to_copy\": " + json_number(l.ok ? r.ratio() : NAN) +
         ", \"flops_per_second\": " + json_number(l.ok && l.flops > 0 ? l.flops / l.seconds : NAN) + "},\n";
    const measurement& s = r.small;
    j += "     \"small\": {\"ok\": " + std::string(s.ok ? "true" : "false") + ", \"shape\": " + json_string(s.shape) +
         ", \"bytes\": " + json_number(s.bytes) + ", \"seconds\": " + json_number(s.ok ? s.seconds : NAN) +
         ", \"launch_multiple\": " + json_number(s.ok ? s.seconds / info.launch_seconds : NAN) + "}}";
  }
  j += "\n  ],\n";
  auto list = [&](const char* key, const std::vector<std::string>& names, bool last) {
    j += "  " + json_string(key) + ": [";
    for (size_t i = 0; i < names.size(); ++i) j += (i == 0 ? "" : ", ") + json_string(names[i]);
    j += last ? "]\n" : "],\n";
  };
  list("not_implemented", info.not_implemented, false);
  list("without_benchmark_row", info.without_row, true);
  return j + "}\n";
}

// Horizontal bars of the large-size ratio to a copy, one per row, grouped by family, with a line
// at 1 (copy speed).
std::string to_svg(const run_info& info, const std::vector<result>& results) {
  const int label_w = 380, bar_w = 420, row_h = 18, top = 56, left = 10;
  double most = 1.25;
  for (const result& r : results) most = std::max(most, r.ratio());
  const double scale = bar_w / most;
  const int height = top + static_cast<int>(results.size()) * row_h + 30;
  const int width = left + label_w + bar_w + 80;
  static const char* const colours[] = {"#4e79a7", "#f28e2b", "#59a14f", "#e15759", "#76b7b2",
                                        "#edc948", "#b07aa1", "#ff9da7", "#9c755f", "#bab0ac"};
  std::map<std::string, int> family_colour;
  char buf[512];
  std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  std::snprintf(buf, sizeof buf,
                "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" viewBox=\"0 0 %d %d\" "
                "font-family=\"sans-serif\" font-size=\"12\">\n",
                width, height, width, height);
  s += buf;
  s += "<rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  s += "<text x=\"" + std::to_string(left) + "\" y=\"18\" font-size=\"14\">" +
       xml_text("omu bench: throughput as a ratio to a device-to-device copy of the same bytes (" + info.device +
                ")") +
       "</text>\n";
  if (info.emulated) {
    s += "<text x=\"" + std::to_string(left) + "\" y=\"36\" fill=\"#c00\">" + xml_text(emulator_note) + "</text>\n";
  }
  const int x0 = left + label_w;
  for (size_t i = 0; i < results.size(); ++i) {
    const result& r = results[i];
    const int y = top + static_cast<int>(i) * row_h;
    auto it = family_colour.emplace(r.row->family, static_cast<int>(family_colour.size()) % 10).first;
    std::string label = std::string(r.row->family) + "  " + r.row->symbol + "  " + r.role;
    if (r.row->variant[0] != '\0') label += " (" + std::string(r.row->variant) + ")";
    std::snprintf(buf, sizeof buf, "<text x=\"%d\" y=\"%d\">", left, y + 13);
    s += buf + xml_text(label) + "</text>\n";
    const double ratio = r.ratio();
    std::snprintf(buf, sizeof buf, "<rect x=\"%d\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"%s\"/>\n", x0, y + 2,
                  ratio * scale, row_h - 4, colours[it->second]);
    s += buf;
    char value[32];
    std::snprintf(value, sizeof value, r.large.ok ? "%.3f" : "failed", ratio);
    std::snprintf(buf, sizeof buf, "<text x=\"%.1f\" y=\"%d\">%s</text>\n", x0 + ratio * scale + 4, y + 13, value);
    s += buf;
  }
  const double x1 = x0 + scale;
  std::snprintf(buf, sizeof buf,
                "<line x1=\"%.1f\" y1=\"%d\" x2=\"%.1f\" y2=\"%d\" stroke=\"black\" stroke-dasharray=\"4 3\"/>\n"
                "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">copy = 1</text>\n",
                x1, top - 4, x1, height - 24, x1, height - 10);
  s += buf;
  return s + "</svg>\n";
}

// The undecorated exports that are not operator entries: device, buffer and host-memory operations
// and the two memory utilities.
bool is_device_or_memory_operation(const std::string& name) {
  static const char* const names[] = {"taabe20", "taabe105", "taabe21", "taabe5",   "taabe79",
                                      "taabe10", "taabe37",  "taabe9",  "taabe137", "taabe93",
                                      "taabe150", "taabe68", "taabe197", "taabe140", "taabe267"};
  return std::any_of(std::begin(names), std::end(names), [&](const char* n) { return name == n; });
}

std::string first_device_name(const library& lib) {
  auto list = lib.function<list_fn>("taabe21");
  auto release_list = lib.function<release_list_fn>("taabe5");
  char** names = nullptr;
  int32_t count = 0;
  std::string name = "unknown device";
  if (list != nullptr && release_list != nullptr && list(&names, &count) == KR_STATUS_SUCCESS) {
    if (count > 0 && names[0] != nullptr) name = names[0];
    release_list(names, count);
  }
  return name;
}

}  // namespace

std::vector<std::string> bench_families() {
  std::vector<std::string> names;
  for (const bench_row& r : bench_table()) {
    if (std::find(names.begin(), names.end(), r.family) == names.end()) names.push_back(r.family);
  }
  return names;
}

namespace {

// Measures the reference launch and every selected row into `info` and `results`; returns 1 when
// anything failed. Everything it allocates belongs to `env`.
int measure(bench_env& env, const bench_options& options, run_info& info, std::vector<result>& results) {
  const library& lib = env.lib();
  kr_omu_device* device = env.device();
  auto copy = lib.function<copy_fn>("taabe140");
  int rc = 0;

  // The reference launch: the cheapest entry call there is, one float ReLU of one element (a
  // 4-byte copy where the ReLU is missing).
  {
    const char* reference = "float ReLU of 1 element";
    kr_omu_buffer* a = env.buffer(4, fill::ones);
    kr_omu_buffer* b = env.buffer(4);
    if (a == nullptr || b == nullptr) {
      std::fprintf(stderr, "omu: cannot allocate two 4-byte buffers\n");
      return 1;
    }
    kr_omu_op_elementwise_args_t relu_args{b, a, 1, 0, 0};
    kr_omu_op_copy_args_t copy_args{b, a, 4, 0, 0};
    auto relu = lib.function<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_args_t*)>("taabe169");
    if (relu != nullptr) {
      info.launch_seconds = env.seconds_per_call([&] { return relu(device, nullptr, &relu_args); });
    } else {
      reference = "device-to-device copy of 4 bytes";
      info.launch_seconds = env.seconds_per_call([&] { return copy(device, nullptr, &copy_args); });
    }
    env.release_all();
    if (info.launch_seconds <= 0.0) {
      std::fprintf(stderr, "omu: the reference launch failed\n");
      return 1;
    }
    std::printf("omu bench on %s (%s)\n", info.device.c_str(), lib.path().c_str());
    if (info.emulated) std::printf("NOTE: %s\n", emulator_note);
    std::printf("reference launch (%s): %.2f us per call\n", reference, info.launch_seconds * 1e6);
  }

  // Copy of the same traffic: reads n bytes and writes n, so traffic t takes a copy of t / 2 bytes.
  std::map<int64_t, double> copy_seconds;
  auto copy_time = [&](double traffic) {
    const int64_t half = (static_cast<int64_t>(traffic) / 2 + 3) / 4 * 4;
    auto known = copy_seconds.find(half);
    if (known != copy_seconds.end()) return known->second;
    kr_omu_buffer* from = env.buffer(half);
    kr_omu_buffer* to = env.buffer(half);
    double t = -1.0;
    if (from != nullptr && to != nullptr) {
      kr_omu_op_copy_args_t args{to, from, static_cast<int32_t>(half), 0, 0};
      t = env.seconds_per_call([&] { return copy(device, nullptr, &args); });
    }
    env.release_all();
    copy_seconds[half] = t;
    return t;
  };

  auto selected = [&](const char* family) {
    return options.families.empty() ||
           std::find(options.families.begin(), options.families.end(), family) != options.families.end();
  };

  for (const bench_row& row : bench_table()) {
    if (!selected(row.family)) continue;
    const kr_exports::entry* e = kr_exports::find(row.symbol);
    if (lib.symbol(row.symbol) == nullptr) {
      // Several rows of one entry name it once.
      std::vector<std::string>& missing = info.not_implemented;
      if (std::find(missing.begin(), missing.end(), row.symbol) == missing.end()) missing.push_back(row.symbol);
      continue;
    }
    result r{&row, e != nullptr ? e->role : row.symbol, {}, {}};
    for (const size_class s : {size_class::large, size_class::small}) {
      measurement& m = s == size_class::large ? r.large : r.small;
      prepared p;
      if (row.setup(env, row.symbol, s, p)) {
        m.shape = p.shape;
        m.bytes = p.bytes;
        m.flops = p.flops;
        m.seconds = env.seconds_per_call(p.call);
        m.ok = m.seconds > 0.0;
      } else {
        m.shape = "buffers not available";
      }
      env.release_all();
      if (m.ok && s == size_class::large) {
        m.copy_seconds = copy_time(m.bytes);
        m.ok = m.copy_seconds > 0.0;
      }
      if (!m.ok) rc = 1;
    }
    results.push_back(r);
  }
  // Operator entries of the export list that the library has but the table does not cover yet.
  for (const kr_exports::entry& e : kr_exports::table) {
    if (e.link == kr_exports::linkage::data || lib.symbol(e.name) == nullptr) continue;
    const std::string name = e.name;
    // The weight preprocessing runs once per weight buffer, before the products that the table
    // times; it has no row of its own.
    const bool operator_entry =
        (e.link == kr_exports::linkage::decorated || !is_device_or_memory_operation(name)) && name != "taabe2";
    const bool has_row = std::any_of(bench_table().begin(), bench_table().end(), [&](const bench_row& r) { return name == r.symbol; });
    if (operator_entry && !has_row) info.without_row.push_back(name);
  }
  return rc;
}

}  // namespace

int bench(const library& lib, const bench_options& options) {
  auto open = lib.function<open_fn>("taabe20");
  auto close = lib.function<close_fn>("taabe105");
  for (const char* needed : {"taabe20", "taabe105", "taabe79", "taabe10", "taabe9", "taabe137", "taabe140", "taabe267"}) {
    if (lib.symbol(needed) == nullptr) {
      std::fprintf(stderr, "omu: %s lacks %s, which the benchmark needs\n", lib.path().c_str(), needed);
      return 2;
    }
  }
  run_info info;
  info.library = lib.path();
  info.device = first_device_name(lib);
  // The emulator names its device so; this also catches its library loaded with --library.
  info.emulated = options.emulated || info.device.find("Emulated CUDA Device") != std::string::npos;
  kr_omu_device* device = nullptr;
  if (open(0, &device) != KR_STATUS_SUCCESS) {
    std::fprintf(stderr, "omu: cannot open GPU 0\n");
    return 1;
  }
  std::vector<result> results;
  int rc = 0;
  {
    bench_env env(lib, device, info.emulated);
    rc = measure(env, options, info, results);
  }  // every buffer is released before the context closes
  close(device);
  if (info.launch_seconds <= 0.0) return 1;

  std::printf("\n%-11s %-9s %-34s %-26s %10s %9s %8s %8s %10s %9s\n", "family", "export", "entry", "large size",
              "us/call", "GB/s", "vs copy", "GFLOP/s", "small us", "x launch");
  for (const result& r : results) {
    // The variant stays visible: the role gives way to it in the 34 columns.
    std::string entry = r.role;
    if (r.row->variant[0] != '\0') {
      const std::string variant = " (" + std::string(r.row->variant) + ")";
      entry = entry.substr(0, variant.size() < 34 ? 34 - variant.size() : 0) + variant;
    }
    std::printf("%-11s %-9s %-34.34s %-26.26s ", r.row->family, r.row->symbol, entry.c_str(), r.large.shape.c_str());
    if (r.large.ok) {
      std::printf("%10.2f %9.2f %8.3f ", r.large.seconds * 1e6, r.large.bytes / r.large.seconds / 1e9, r.ratio());
      if (r.large.flops > 0) {
        std::printf("%8.1f ", r.large.flops / r.large.seconds / 1e9);
      } else {
        std::printf("%8s ", "-");
      }
    } else {
      std::printf("%10s %9s %8s %8s ", "FAILED", "", "", "");
    }
    if (r.small.ok) {
      std::printf("%10.2f %9.2f\n", r.small.seconds * 1e6, r.small.seconds / info.launch_seconds);
    } else {
      std::printf("%10s\n", "FAILED");
    }
  }
  if (!info.not_implemented.empty()) {
    std::printf("\nnot in this library (skipped):");
    for (const std::string& n : info.not_implemented) std::printf(" %s", n.c_str());
    std::printf("\n");
  }
  if (!info.without_row.empty()) {
    std::printf("implemented but without a benchmark row yet:");
    for (const std::string& n : info.without_row) std::printf(" %s", n.c_str());
    std::printf("\n");
  }
  if (info.emulated) std::printf("NOTE: %s\n", emulator_note);

  if (!options.json.empty() && !write_file(options.json, to_json(info, results))) {
    std::fprintf(stderr, "omu: cannot write %s\n", options.json.c_str());
    rc = 1;
  }
  if (!options.svg.empty() && !write_file(options.svg, to_svg(info, results))) {
    std::fprintf(stderr, "omu: cannot write %s\n", options.svg.c_str());
    rc = 1;
  }
  return rc;
}

}  // namespace omu
