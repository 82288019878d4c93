// omu check: runs every implemented operator entry once on small data through the loaded library
// and prints a pass/fail table.
#include "check.h"

#include <cstdio>

namespace omu {

namespace {
using alloc_fn = kr_omu_buffer* (*)(kr_omu_device*, int32_t, int32_t);
using free_fn = void (*)(kr_omu_device*, kr_omu_buffer*);
using copy_in_fn = kr_status_t (*)(kr_omu_device*, kr_omu_buffer*, const void*, int32_t, int32_t);
using copy_out_fn = kr_status_t (*)(kr_omu_device*, kr_omu_buffer*, void*, int32_t, int32_t);
using open_fn = kr_status_t (*)(int32_t, kr_omu_device**);
using close_fn = void (*)(kr_omu_device*);
}  // namespace

kr_omu_buffer* upload_bytes(const library& lib, kr_omu_device* device, const void* data, int32_t bytes) {
  auto alloc = lib.function<alloc_fn>("taabe79");
  auto write = lib.function<copy_in_fn>("taabe9");
  kr_omu_buffer* b = alloc(device, bytes, 0);
  if (b != nullptr && data != nullptr && write(device, b, data, 0, bytes) != KR_STATUS_SUCCESS) {
    release(lib, device, b);
    return nullptr;
  }
  return b;
}

bool download_bytes(const library& lib, kr_omu_device* device, kr_omu_buffer* buffer, void* data, int32_t bytes) {
  return lib.function<copy_out_fn>("taabe137")(device, buffer, data, 0, bytes) == KR_STATUS_SUCCESS;
}

void release(const library& lib, kr_omu_device* device, kr_omu_buffer* buffer) {
  lib.function<free_fn>("taabe10")(device, buffer);
}

int check(const library& lib) {
  auto open = lib.function<open_fn>("taabe20");
  auto close = lib.function<close_fn>("taabe105");
  if (open == nullptr || close == nullptr) {
    std::fprintf(stderr, "omu: %s lacks the device exports\n", lib.path().c_str());
    return 2;
  }
  kr_omu_device* device = nullptr;
  const kr_status_t opened = open(0, &device);
  if (opened != KR_STATUS_SUCCESS) {
    std::fprintf(stderr, "omu: cannot open GPU 0 (status %d)\n", static_cast<int>(opened));
    return 1;
  }
  std::vector<check_case> cases;
  for (auto family : {float_checks, int16_checks, broadcast_checks, norm_checks, conv_checks, layout_checks,
                      matmul_checks, attention_checks}) {
    for (const check_case& c : family()) cases.push_back(c);
  }

  int passed = 0, failed = 0, missing = 0;
  std::printf("%-10s %-40s %s\n", "export", "operator", "result");
  for (const check_case& c : cases) {
    std::string detail;
    const char* result = "pass";
    if (lib.symbol(c.symbol) == nullptr) {
      result = "MISSING";
      missing += 1;
    } else if (c.run(lib, device, detail)) {
      passed += 1;
    } else {
      result = "FAIL";
      failed += 1;
    }
    std::printf("%-10s %-40s %s%s%s\n", c.symbol, c.name, result, detail.empty() ? "" : ": ", detail.c_str());
  }
  close(device);
  std::printf("%d passed, %d failed, %d missing\n", passed, failed, missing);
  return failed == 0 && missing == 0 ? 0 : 1;
}

}  // namespace omu
