// Links the installed library and runs one operator entry through it: opens GPU 0, adds two small
// float tensors with the pairwise add entry (a decorated export) and checks the sums.
#include <cstdio>

#include "kr_omu.h"

int main() {
  kr_omu_device* device = nullptr;
  if (taabe20(0, &device) != KR_STATUS_SUCCESS) {
    std::fprintf(stderr, "consumer: cannot open GPU 0\n");
    return 1;
  }
  const float a[4] = {1.0f, 2.0f, 3.0f, 4.0f};
  const float b[4] = {0.5f, -2.0f, 30.0f, 1e6f};
  kr_omu_buffer* in_a = taabe79(device, sizeof a, 0);
  kr_omu_buffer* in_b = taabe79(device, sizeof b, 0);
  kr_omu_buffer* out = taabe79(device, sizeof a, 0);
  int rc = 1;
  float sum[4] = {};
  if (in_a != nullptr && in_b != nullptr && out != nullptr &&
      taabe9(device, in_a, a, 0, sizeof a) == KR_STATUS_SUCCESS &&
      taabe9(device, in_b, b, 0, sizeof b) == KR_STATUS_SUCCESS) {
    kr_omu_op_pairwise_args_t args{out, in_a, in_b, 4, 0, 0, 0};
    if (taabe225(device, nullptr, &args) == KR_STATUS_SUCCESS &&
        taabe137(device, out, sum, 0, sizeof sum) == KR_STATUS_SUCCESS) {
      rc = 0;
      for (int i = 0; i < 4; ++i) {
        if (sum[i] != a[i] + b[i]) {
          std::fprintf(stderr, "consumer: element %d is %g, expected %g\n", i, sum[i], a[i] + b[i]);
          rc = 1;
        }
      }
    }
  }
  taabe10(device, in_a);
  taabe10(device, in_b);
  taabe10(device, out);
  taabe105(device);
  std::printf(rc == 0 ? "consumer: pairwise add through the installed library ok\n" : "consumer: failed\n");
  return rc;
}
