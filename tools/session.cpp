#include "session.h"

#include <algorithm>
#include <chrono>

namespace omu {

session::session(const library& lib, on_failure mode, int32_t ordinal) : lib_(lib), mode_(mode) {
  auto open = OMU_EXPORT(lib_, taabe20);
  if (open == nullptr || OMU_EXPORT(lib_, taabe105) == nullptr) {
    error_ = "the library lacks the device exports";
  } else {
    const kr_status_t status = open(ordinal, &device_);
    if (status != KR_STATUS_SUCCESS) {
      device_ = nullptr;
      error_ = "cannot open GPU " + std::to_string(ordinal) + " (status " + std::to_string(static_cast<int>(status)) + ")";
    }
  }
  if (device_ == nullptr && mode_ == on_failure::raise) throw session_error(error_);
}

session::~session() {
  if (device_ == nullptr) return;
  release_buffers();
  if (sync_ != nullptr) OMU_EXPORT(lib_, taabe10)(device_, sync_);
  OMU_EXPORT(lib_, taabe105)(device_);
}

bool session::fail(const std::string& what) {
  failures_ += 1;
  if (mode_ == on_failure::raise) throw session_error(what);
  return false;
}

kr_omu_buffer* session::keep(kr_omu_buffer* b, int64_t bytes) {
  if (b == nullptr) {
    fail("buffer allocation of " + std::to_string(bytes) + " bytes failed");
    return nullptr;
  }
  buffers_.push_back(b);
  return b;
}

kr_omu_buffer* session::buffer(int64_t bytes) {
  if (bytes < 0 || bytes > INT32_MAX) {
    fail("buffer too large");
    return nullptr;
  }
  return keep(OMU_EXPORT(lib_, taabe79)(device_, static_cast<int32_t>(bytes), 0), bytes);
}

kr_omu_buffer* session::zeros(int64_t bytes) {
  kr_omu_buffer* b = buffer(bytes);
  if (b == nullptr) return nullptr;
  kr_omu_op_clear_args_t args{b, static_cast<int32_t>(bytes), 0};
  if (OMU_EXPORT(lib_, taabe267)(device_, nullptr, &args) != KR_STATUS_SUCCESS) {
    fail("zero-filling a buffer failed");
    return nullptr;
  }
  return b;
}

kr_omu_buffer* session::filled(int64_t bytes, uint32_t word) {
  kr_omu_buffer* b = buffer(bytes);
  if (b == nullptr) return nullptr;
  // Written in chunks so that the host never holds the whole buffer.
  const int64_t chunk = std::min<int64_t>(bytes, 16 << 20);
  const std::vector<uint32_t> words(static_cast<size_t>(chunk + 3) / 4, word);
  for (int64_t at = 0; at < bytes; at += chunk) {
    if (!write(b, words.data(), std::min(chunk, bytes - at), at)) return nullptr;
  }
  return b;
}

kr_omu_buffer* session::upload(const void* data, int64_t bytes) {
  kr_omu_buffer* b = buffer(bytes);
  return b != nullptr && write(b, data, bytes) ? b : nullptr;
}

bool session::write(kr_omu_buffer* b, const void* data, int64_t bytes, int64_t offset) {
  auto copy_in = OMU_EXPORT(lib_, taabe9);
  const int64_t chunk = 16 << 20;
  int64_t at = 0;
  do {
    const int64_t n = std::min(chunk, bytes - at);
    if (copy_in(device_, b, static_cast<const char*>(data) + at, static_cast<int32_t>(offset + at),
                static_cast<int32_t>(n)) != KR_STATUS_SUCCESS) {
      return fail("writing a buffer failed");
    }
    at += n;
  } while (at < bytes);
  return true;
}

bool session::read(kr_omu_buffer* b, void* data, int64_t bytes, int64_t offset) {
  if (OMU_EXPORT(lib_, taabe137)(device_, b, data, static_cast<int32_t>(offset), static_cast<int32_t>(bytes)) !=
      KR_STATUS_SUCCESS) {
    return fail("reading a buffer failed (a kernel fault shows here)");
  }
  return true;
}

bool session::wait() {
  if (sync_ == nullptr) {
    sync_ = OMU_EXPORT(lib_, taabe79)(device_, 4, 0);
    if (sync_ == nullptr) return fail("buffer allocation of 4 bytes failed");
  }
  uint32_t sink = 0;
  return read(sync_, &sink, 4);
}

void session::release_buffers(size_t keep) {
  auto release = OMU_EXPORT(lib_, taabe10);
  while (buffers_.size() > keep) {
    release(device_, buffers_.back());
    buffers_.pop_back();
  }
}

kr_status_t session::missing(const char* name) {
  fail(std::string(name) + " is not exported by the library");
  return KR_STATUS_RUNTIME_ERROR;
}

kr_status_t session::checked(const char* name, kr_status_t status) {
  if (status != KR_STATUS_SUCCESS && mode_ == on_failure::raise) {
    throw session_error(std::string(name) + " returned status " + std::to_string(static_cast<int>(status)));
  }
  return status;
}

double session::now_ms() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace omu
