// Cases of `omu check`: each runs one export once on small data through the loaded library and
// compares the result with a host reference.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "library.h"

namespace omu {

struct check_case {
  const char* symbol;  // export name, taabe<N> (resolved through the export list)
  const char* name;    // what the entry computes
  // Returns true on a match; otherwise fills `detail` with the first mismatch.
  bool (*run)(const library& lib, kr_omu_device* device, std::string& detail);
};

// Buffer helpers over the loaded library's exports.
kr_omu_buffer* upload_bytes(const library& lib, kr_omu_device* device, const void* data, int32_t bytes);
bool download_bytes(const library& lib, kr_omu_device* device, kr_omu_buffer* buffer, void* data, int32_t bytes);
void release(const library& lib, kr_omu_device* device, kr_omu_buffer* buffer);

// Buffers of one check case, released when it ends. ok() turns false once an allocation or upload
// has failed.
class scratch {
 public:
  scratch(const library& lib, kr_omu_device* device) : lib_(lib), device_(device) {}
  ~scratch() {
    for (kr_omu_buffer* b : buffers_) release(lib_, device_, b);
  }
  scratch(const scratch&) = delete;
  scratch& operator=(const scratch&) = delete;

  template <typename T>
  kr_omu_buffer* upload(const std::vector<T>& v) {
    return keep(upload_bytes(lib_, device_, v.data(), static_cast<int32_t>(v.size() * sizeof(T))));
  }
  // A buffer of `bytes` bytes with unspecified contents.
  kr_omu_buffer* output(size_t bytes) { return keep(upload_bytes(lib_, device_, nullptr, static_cast<int32_t>(bytes))); }
  template <typename T>
  bool download(kr_omu_buffer* b, std::vector<T>& v) {
    return b != nullptr && download_bytes(lib_, device_, b, v.data(), static_cast<int32_t>(v.size() * sizeof(T)));
  }
  bool ok() const { return ok_; }

 private:
  kr_omu_buffer* keep(kr_omu_buffer* b) {
    if (b == nullptr) ok_ = false;
    else buffers_.push_back(b);
    return b;
  }
  const library& lib_;
  kr_omu_device* device_;
  std::vector<kr_omu_buffer*> buffers_;
  bool ok_ = true;
};

// "element i: got ..., want ..." for the first mismatch of a case.
inline std::string mismatch(size_t i, double got, double want) {
  char s[128];
  std::snprintf(s, sizeof s, "element %zu: got %.9g, want %.9g", i, got, want);
  return s;
}

// One list per family.
std::vector<check_case> float_checks();   // float unary, scalar and pairwise entries
std::vector<check_case> int16_checks();   // 16-bit entries and conversions
std::vector<check_case> broadcast_checks();  // broadcast and row-wise entries
std::vector<check_case> norm_checks();       // normalisation, gate and 16-bit fused entries
std::vector<check_case> conv_checks();       // 16-bit by 8-bit convolutions and linear layers
std::vector<check_case> layout_checks();     // transposes and row quantisation
std::vector<check_case> matmul_checks();     // float and block-quantised matrix multiplication
std::vector<check_case> attention_checks();  // attention, encoding and the key/value cache

}  // namespace omu
