// Scratch memory owned by one entry call. The holders free what they hold when they leave scope,
// so every return path of an entry releases it, on the stream it was taken on.
#pragma once

#include <stddef.h>

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

}  // namespace kr
