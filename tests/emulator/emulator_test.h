// Helpers shared by the emulator's tests.
#pragma once

#include <gtest/gtest.h>
#include <cuda_runtime.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kr_emu/control.h"

namespace emu_test {

// Race-build death tests: the child a death test starts stops at the first report.
inline void stop_at_first_race_report() {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  const char* options = std::getenv("TSAN_OPTIONS");
  setenv("TSAN_OPTIONS", (std::string(options != nullptr ? options : "") + " halt_on_error=1").c_str(), 1);
}

// Runs `body` in a child that must end cleanly: a report would end it with the sanitizer's code.
#define EXPECT_NO_RACE(body) EXPECT_EXIT({ body; std::exit(0); }, ::testing::ExitedWithCode(0), "")

// Every test starts from, and leaves behind, the default platform.
class EmulatorTest : public ::testing::Test {
 protected:
  void SetUp() override { kr_emu::reset(); }
  void TearDown() override { kr_emu::reset(); }
};

template <class T>
struct identity {
  using type = T;
};

// Launches with the argument array built from values of the kernel's own parameter types.
template <class... P>
cudaError_t launch(void (*kernel)(P...), dim3 grid, dim3 block,
                   typename identity<P>::type... args) {
  void* params[sizeof...(P) > 0 ? sizeof...(P) : 1] = {static_cast<void*>(&args)...};
  return cudaLaunchKernel(kernel, grid, block, params, 0, 0);
}

// A device array that frees itself; filled from and read back to host vectors.
template <class T>
class device_array {
 public:
  explicit device_array(std::size_t count) : count_(count) {
    EXPECT_EQ(cudaMalloc(&data_, count * sizeof(T)), cudaSuccess);
  }
  explicit device_array(const std::vector<T>& values) : device_array(values.size()) {
    EXPECT_EQ(cudaMemcpy(data_, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice),
              cudaSuccess);
  }
  ~device_array() { cudaFree(data_); }
  device_array(const device_array&) = delete;
  device_array& operator=(const device_array&) = delete;
  T* get() const { return data_; }
  std::vector<T> read() const {
    std::vector<T> values(count_);
    EXPECT_EQ(cudaMemcpy(values.data(), data_, count_ * sizeof(T), cudaMemcpyDeviceToHost),
              cudaSuccess);
    return values;
  }

 private:
  T* data_ = nullptr;
  std::size_t count_;
};

// Checks that the last launch ended in a kernel fault whose message contains `needle`.
inline void expect_fault(const std::string& needle) {
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  EXPECT_NE(std::string(kr_emu::last_fault_message()).find(needle), std::string::npos)
      << "message: " << kr_emu::last_fault_message();
}

}  // namespace emu_test
