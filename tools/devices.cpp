// omu devices: the GPUs the library lists, and what opening each one captures.
#include "devices.h"

#include <cinttypes>
#include <cstdio>

namespace omu {

namespace {

const char* or_none(const char* s) { return s != nullptr ? s : "-"; }

void print_properties(const kr_omu_device& device) {
  const kr_omu_device_properties& p = *device.properties;
  std::printf("  %-32s %d\n", "ordinal", device.ordinal);
  std::printf("  %-32s %d.%d\n", "compute capability", p.major, p.minor);
  std::printf("  %-32s %d (%s)\n", "driver version", p.driver_version, or_none(p.driver_version_error));
  std::printf("  %-32s %d (%s)\n", "runtime version", p.runtime_version, or_none(p.runtime_version_error));
  std::printf("  %-32s %" PRIu64 " MiB\n", "global memory", p.total_global_mem >> 20);
  std::printf("  %-32s %d\n", "multiprocessors", p.multiprocessor_count);
  std::printf("  %-32s %d\n", "max threads per multiprocessor", p.max_threads_per_multiprocessor);
  std::printf("  %-32s %d\n", "max threads per block", p.max_threads_per_block);
  std::printf("  %-32s %d\n", "shared memory per block", p.shared_mem_per_block);
  std::printf("  %-32s %d\n", "shared memory per multiprocessor", p.shared_mem_per_multiprocessor);
  std::printf("  %-32s %d x %d x %d\n", "max block", p.max_threads_dim[0], p.max_threads_dim[1],
              p.max_threads_dim[2]);
  std::printf("  %-32s %d x %d x %d\n", "max grid", p.max_grid_size[0], p.max_grid_size[1], p.max_grid_size[2]);
  if (p.properties_error != nullptr) std::printf("  %-32s %s\n", "property query error", p.properties_error);
}

}  // namespace

int devices(const library& lib) {
  auto list = OMU_EXPORT(lib, taabe21);
  auto release = OMU_EXPORT(lib, taabe5);
  auto open = OMU_EXPORT(lib, taabe20);
  auto close = OMU_EXPORT(lib, taabe105);
  if (list == nullptr || release == nullptr || open == nullptr || close == nullptr) {
    std::fprintf(stderr, "omu: %s lacks the device exports\n", lib.path().c_str());
    return 2;
  }
  char** names = nullptr;
  int32_t count = 0;
  const kr_status_t listed = list(&names, &count);
  if (listed != KR_STATUS_SUCCESS) {
    std::fprintf(stderr, "omu: listing failed with status %d\n", static_cast<int>(listed));
    return 1;
  }
  std::printf("%d GPU(s) in %s\n", count, lib.path().c_str());
  if (count == 0) std::printf("(no usable GPU or driver here; `omu --emulated devices` shows the CPU emulation)\n");
  int failures = 0;
  for (int32_t i = 0; i < count; ++i) {
    std::printf("\n%s\n", names[i]);
    kr_omu_device* device = nullptr;
    const kr_status_t opened = open(i, &device);
    if (opened != KR_STATUS_SUCCESS) {
      std::printf("  open failed with status %d\n", static_cast<int>(opened));
      failures += 1;
      continue;
    }
    print_properties(*device);
    close(device);
  }
  release(names, count);
  return failures == 0 ? 0 : 1;
}

}  // namespace omu

