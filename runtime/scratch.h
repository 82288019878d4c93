// Scratch memory owned by one entry call. The holders free what they hold when they leave scope,
// so every return path of an entry releases it, on the stream it was taken on.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <cuda_runtime.h>

#include "kr_omu.h"
#include "runtime/launch.h"

namespace kr {

// Stream-ordered device array of `T`. An empty array allocates nothing (runtimes differ on
// zero-byte requests), so that a degenerate shape fails the same way everywhere: at its empty grid.
template <typename T>
class scratch {
 public:
  explicit scratch(cudaStream_t stream = cudaStream_t{}) : stream_(stream) {}
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;
  ~scratch() { release(); }

  // False when the allocation failed; the runtime's last error is then cleared, so that the
  // caller reports the failure once, with its own record.
  bool allocate(size_t count) {
    release();
    if (count == 0) return true;
    void* p = nullptr;
    if (failed(cudaMallocAsync(&p, count * sizeof(T), stream_))) return false;
    data_ = static_cast<T*>(p);
    return true;
  }

  // Frees the array now, on its stream; false when the runtime refused the free.
  bool release() {
    T* p = data_;
    data_ = nullptr;
    return p == nullptr || !failed(cudaFreeAsync(p, stream_));
  }

  T* get() const { return data_; }
  cudaStream_t stream() const { return stream_; }

 private:
  cudaStream_t stream_;
  T* data_ = nullptr;
};

// A scratch buffer taken through the library's own buffer operations (the allocation and release
// exports), for entries whose scratch is a buffer like any other. It is released when the holder
// leaves scope, so every return path of the entry gives it back, ordered on the default stream.
class scratch_buffer {
 public:
  explicit scratch_buffer(kr_omu_device* device) : device_(device) {}
  scratch_buffer(const scratch_buffer&) = delete;
  scratch_buffer& operator=(const scratch_buffer&) = delete;
  ~scratch_buffer() { release(); }

  // False when the allocation failed; the allocation has then appended its own record.
  bool allocate(int32_t bytes) {
    release();
    buffer_ = taabe79(device_, bytes, 0);
    return buffer_ != nullptr;
  }

  void release() {
    if (buffer_ != nullptr) taabe10(device_, buffer_);
    buffer_ = nullptr;
  }

  template <typename T>
  T* get() const {
    return buffer_ != nullptr ? static_cast<T*>(buffer_->address) : nullptr;
  }

 private:
  kr_omu_device* device_;
  kr_omu_buffer* buffer_ = nullptr;
};

}  // namespace kr
