#include <cstring>

#include <kr_emu/control.h>

#include "support/platform.h"

namespace kr_test {

bool emulated() { return true; }

void reset_platform() { kr_emu::reset(); }

bool set_device_count(int count) {
  kr_emu::set_device_count(count);
  return true;
}

bool set_no_device_error(cudaError_t error) {
  kr_emu::set_no_device_error(error);
  return true;
}

bool set_warp_size(int ordinal, int warp_size) {
  kr_emu::device_properties(ordinal).warpSize = warp_size;
  return true;
}

bool set_max_grid_x(int ordinal, int max_grid_x) {
  kr_emu::device_properties(ordinal).maxGridSize[0] = max_grid_x;
  return true;
}

bool set_device_name(int ordinal, const char* name) {
  cudaDeviceProp& prop = kr_emu::device_properties(ordinal);
  std::strncpy(prop.name, name, sizeof prop.name - 1);
  prop.name[sizeof prop.name - 1] = '\0';
  return true;
}

bool fail_call(const char* function, cudaError_t error, int nth) {
  kr_emu::fail_call(function, error, nth);
  return true;
}

long live_allocations() { return static_cast<long>(kr_emu::live_allocation_count()); }

cudaDeviceProp device_properties(int ordinal) { return kr_emu::device_properties(ordinal); }

bool set_sparse_memory(size_t capacity) {
  kr_emu::set_sparse_memory(capacity);
  return true;
}

bool sample_blocks(unsigned long count) {
  kr_emu::sample_blocks(count);
  return true;
}

}  // namespace kr_test
