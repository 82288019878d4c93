#include <cstring>

#include "support/platform.h"

namespace kr_test {

bool emulated() { return false; }
void reset_platform() {}
bool set_device_count(int) { return false; }
bool set_no_device_error(cudaError_t) { return false; }
bool set_warp_size(int, int) { return false; }
bool set_max_grid_x(int, int) { return false; }
bool set_device_name(int, const char*) { return false; }
bool fail_call(const char*, cudaError_t, int) { return false; }
long live_allocations() { return -1; }
bool set_sparse_memory(size_t) { return false; }
bool sample_blocks(unsigned long) { return false; }

cudaDeviceProp device_properties(int ordinal) {
  cudaDeviceProp prop;
  std::memset(&prop, 0, sizeof prop);
  cudaGetDeviceProperties(&prop, ordinal);
  return prop;
}

}  // namespace kr_test
