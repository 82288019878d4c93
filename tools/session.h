// One device context of a loaded library and the buffers made through it: what `omu check`,
// `omu bench` and `omu demo` all drive the exports with. The session owns every buffer it makes and
// releases them (then closes the context) on every path out; a scope releases the buffers made
// while it lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "library.h"

namespace omu {

// A failed open, allocation, transfer or entry call of a session whose failures raise.
class session_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class session {
 public:
  // What a failed operation does: report it by its result (null, false or the status), or also
  // throw session_error (for callers that stop at the first failure).
  enum class on_failure { report, raise };

  explicit session(const library& lib, on_failure mode = on_failure::report, int32_t ordinal = 0);
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  bool opened() const { return device_ != nullptr; }
  const std::string& error() const { return error_; }  // why opening failed
  const library& lib() const { return lib_; }
  kr_omu_device* device() const { return device_; }

  // A buffer of `bytes` bytes (contents unspecified), zero-filled, or filled with `word` repeated;
  // null when it cannot be had.
  kr_omu_buffer* buffer(int64_t bytes);
  kr_omu_buffer* zeros(int64_t bytes);
  kr_omu_buffer* filled(int64_t bytes, uint32_t word);
  // A buffer holding `bytes` bytes from the host.
  kr_omu_buffer* upload(const void* data, int64_t bytes);
  template <typename T>
  kr_omu_buffer* upload(const std::vector<T>& values) {
    return upload(values.data(), static_cast<int64_t>(values.size() * sizeof(T)));
  }

  // Host to buffer and back, at a byte offset (large transfers go in chunks).
  bool write(kr_omu_buffer* b, const void* data, int64_t bytes, int64_t offset = 0);
  bool read(kr_omu_buffer* b, void* data, int64_t bytes, int64_t offset = 0);
  template <typename T>
  bool download(kr_omu_buffer* b, std::vector<T>& values, int64_t offset = 0) {
    return b != nullptr && read(b, values.data(), static_cast<int64_t>(values.size() * sizeof(T)), offset);
  }
  template <typename T>
  std::vector<T> download(kr_omu_buffer* b, size_t count, size_t offset = 0) {
    std::vector<T> values(count);
    download(b, values, static_cast<int64_t>(offset));
    return values;
  }

  // Waits for all queued work: a 4-byte read goes behind everything on the default stream.
  bool wait();

  // The entry `name` (taabe<N>) typed by its argument record; null when the library lacks it.
  template <typename Record>
  kr_status_t (*entry(const char* name) const)(kr_omu_device*, kr_omu_operator*, Record*) {
    return lib_.function<kr_status_t (*)(kr_omu_device*, kr_omu_operator*, Record*)>(name);
  }

  // Calls entry `name` with `args`. When calls are timed, each is followed by wait() and its time
  // (with the wait) is added to the statistics.
  template <typename Record>
  kr_status_t call(const char* name, Record& args) {
    auto fn = entry<Record>(name);
    if (fn == nullptr) return missing(name);
    if (!timed_) return checked(name, fn(device_, nullptr, &args));
    const double start = now_ms();
    const kr_status_t status = fn(device_, nullptr, &args);
    wait();
    stats_.ms += now_ms() - start;
    stats_.calls += 1;
    return checked(name, status);
  }

  // One call of entry `name` with a copy of `record`, ready to repeat (as a benchmark does); an
  // empty function when the library lacks the entry.
  template <typename Record>
  std::function<kr_status_t()> bind(const char* name, const Record& record) {
    auto fn = entry<Record>(name);
    if (fn == nullptr) return {};
    kr_omu_device* device = device_;
    return [fn, device, args = record]() mutable { return fn(device, nullptr, &args); };
  }

  // Entry calls and their time since the last take (only counted when calls are timed).
  struct call_stats {
    double ms = 0;
    int calls = 0;
  };
  void time_calls(bool on) { timed_ = on; }
  call_stats take_stats() {
    const call_stats s = stats_;
    stats_ = {};
    return s;
  }

  // Releases the buffers made after the first `keep` ones.
  void release_buffers(size_t keep = 0);
  size_t buffer_count() const { return buffers_.size(); }
  // Failed allocations and transfers so far.
  int failures() const { return failures_; }

  // The buffers made while a scope lives, released when it ends; ok() while none of its
  // allocations or transfers has failed.
  class scope {
   public:
    explicit scope(session& s) : s_(s), keep_(s.buffer_count()), failures_(s.failures()) {}
    ~scope() { s_.release_buffers(keep_); }
    scope(const scope&) = delete;
    scope& operator=(const scope&) = delete;

    template <typename T>
    kr_omu_buffer* upload(const std::vector<T>& values) {
      return s_.upload(values);
    }
    kr_omu_buffer* output(size_t bytes) { return s_.buffer(static_cast<int64_t>(bytes)); }
    template <typename T>
    bool download(kr_omu_buffer* b, std::vector<T>& values) {
      return s_.download(b, values);
    }
    bool ok() const { return s_.failures() == failures_; }

   private:
    session& s_;
    size_t keep_;
    int failures_;
  };

 private:
  kr_omu_buffer* keep(kr_omu_buffer* b, int64_t bytes);
  bool fail(const std::string& what);
  kr_status_t missing(const char* name);
  kr_status_t checked(const char* name, kr_status_t status);
  static double now_ms();

  const library& lib_;
  on_failure mode_;
  kr_omu_device* device_ = nullptr;
  std::string error_;
  std::vector<kr_omu_buffer*> buffers_;
  kr_omu_buffer* sync_ = nullptr;
  int failures_ = 0;
  bool timed_ = false;
  call_stats stats_;
};

}  // namespace omu
