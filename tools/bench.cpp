// omu bench: for every operator entry of the export list that the loaded library implements and
// that has a row in the table below, the achieved throughput at two sizes:
// - large (at least 256 MiB of traffic): bytes read and written per second, as a ratio to a
//   device-to-device copy of the same number of bytes measured in the same run (and FLOP/s where
//   the entry does arithmetic worth counting);
// - small (a few KiB): time per call as a multiple of the time of a reference launch, a float ReLU
//   of one element, which is the launch overhead an entry cannot go below.
// Each call is queued back to back and a 4-byte read back waits for all of them, as the engine's
// read back would.
#include "bench.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
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

// The table: one row per entry and shape. Families still to come get their rows here once their
// entries land (their set-ups follow the pattern above):
//   broadcast  taabe99 155 69 246 46 249 24 (pairwise broadcast record), taabe194 118 143 40 (rows)
//   norm       taabe120 230 (layer norm), 167 (RMS norm), 149 (gate), 47 (cell), 86 (standardisation)
//   conv       taabe126 61 81 (conv1d records), 34 153 (linear)
//   layout     taabe116 110 (transpose), 240 (quantise)
//   matmul     taabe54 (float), 195 at 4 and 3 bits with rows 1 and the batched path at rows 512
//              (after taabe2 preprocessing), counted in FLOP/s as well
//   attention  taabe104 (fused), 7 (attend over 8K cached positions), 203 (encode), 8, 186
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
  for (const char* later : {"broadcast", "norm", "conv", "layout", "matmul", "attention"}) names.push_back(later);
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
      info.not_implemented.push_back(row.symbol);
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
    const bool operator_entry = e.link == kr_exports::linkage::decorated || !is_device_or_memory_operation(name);
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
    std::string entry = r.role;
    if (r.row->variant[0] != '\0') entry += " (" + std::string(r.row->variant) + ")";
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
