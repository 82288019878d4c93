// Helpers for tests that drive the library through its exports.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kr_omu.h"
#include "kr_revision.h"
#include "runtime/error_stack.h"
#include "support/data.h"
#include "support/platform.h"

namespace kr_test {

// The messages on the error stack, oldest first.
inline std::vector<std::string> messages() {
  std::vector<std::string> out;
  const kr::error_slot& slot = kr::error_stack()[0];
  for (int i = 0; i < slot.message_count; ++i) out.emplace_back(slot.entries[i].text);
  return out;
}

// The stored form of a message: revision tag, code in eight hex digits, text.
inline std::string stored(uint32_t code, const std::string& text) {
  char head[32];
  std::snprintf(head, sizeof head, "%s %08X: ", KR_REVISION_TAG, code);
  return head + text;
}

inline const std::string kernel_failure_text = "Failed to execute gpu kernel.";

// Resets the platform and the error stack, and opens device 0 for every test.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_platform();
    kr::error_stack_clear();
    int count = 0;
    if (!emulated() && (cudaGetDeviceCount(&count) != cudaSuccess || count == 0)) {
      cudaGetLastError();
      GTEST_SKIP() << "no GPU on this machine";
    }
  }
  void TearDown() override {
    for (kr_omu_buffer* b : buffers_) taabe10(device_, b);
    buffers_.clear();
    if (device_ != nullptr) taabe105(device_);
    device_ = nullptr;
    reset_platform();
    kr::error_stack_clear();
  }

  kr_omu_device* device() {
    if (device_ == nullptr) {
      const kr_status_t status = taabe20(0, &device_);
      EXPECT_EQ(status, KR_STATUS_SUCCESS);
      kr::error_stack_clear();
    }
    return device_;
  }

  // A device buffer freed at the end of the test.
  kr_omu_buffer* buffer(int32_t bytes) {
    kr_omu_buffer* b = taabe79(device(), bytes, 0);
    EXPECT_NE(b, nullptr);
    if (b != nullptr) buffers_.push_back(b);
    return b;
  }

  // A buffer holding the given values (plus `extra` poison bytes from the allocator at the end).
  template <typename T>
  kr_omu_buffer* upload(const std::vector<T>& values, int32_t extra = 0) {
    const int32_t bytes = static_cast<int32_t>(values.size() * sizeof(T));
    kr_omu_buffer* b = buffer(bytes + extra);
    if (b != nullptr && bytes > 0) {
      EXPECT_EQ(taabe9(device(), b, values.data(), 0, bytes), KR_STATUS_SUCCESS);
    }
    return b;
  }

  // A buffer of `bytes` sentinel bytes, and whether one still holds only them.
  kr_omu_buffer* sentinel_buffer(size_t bytes) { return upload(std::vector<uint8_t>(bytes, sentinel_byte)); }
  bool untouched(kr_omu_buffer* b, size_t bytes) {
    return download<uint8_t>(b, bytes) == std::vector<uint8_t>(bytes, sentinel_byte);
  }

  // The `count` elements of T after `offset` bytes of a sentinel-filled buffer of `total` bytes;
  // fails if a byte outside them changed.
  template <typename T>
  std::vector<T> written(kr_omu_buffer* b, size_t count, int32_t offset, size_t total) {
    const auto bytes = download<uint8_t>(b, total);
    for (size_t i = 0; i < total; ++i) {
      if (i < static_cast<size_t>(offset) || i >= offset + count * sizeof(T)) {
        EXPECT_EQ(bytes[i], sentinel_byte) << "byte " << i << " outside the output was written";
      }
    }
    std::vector<T> out(count);
    if (count > 0) std::memcpy(out.data(), bytes.data() + offset, count * sizeof(T));
    return out;
  }

  template <typename T>
  std::vector<T> download(kr_omu_buffer* b, size_t count, int32_t offset = 0) {
    std::vector<T> out(count);
    const kr_status_t status =
        taabe137(device(), b, out.data(), offset, static_cast<int32_t>(count * sizeof(T)));
    EXPECT_EQ(status, KR_STATUS_SUCCESS);
    return out;
  }

  kr_omu_device* device_ = nullptr;
  std::vector<kr_omu_buffer*> buffers_;
};

// Float bit patterns, so that tests compare NaN payloads and signed zeros exactly.
inline uint32_t bits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}
inline float from_bits(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

}  // namespace kr_test
