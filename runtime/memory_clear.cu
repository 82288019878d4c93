// Zero fill of device memory, queued on the default stream.
#include <cuda_runtime.h>

#include "kr_omu.h"
#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {
constexpr kr_error_record clear_failure = kr::kernel_failure_record();
}

// zero device memory
extern "C" KR_OMU_EXPORT kr_status_t taabe267(kr_omu_device*, kr_omu_operator*, kr_omu_op_clear_args_t* args) {
  if (args == nullptr || args->output == nullptr) return KR_STATUS_INVALID_ARGUMENT;
  void* destination = reinterpret_cast<void*>(kr::offset_address(args->output, args->output_offset));
  const size_t count = static_cast<size_t>(static_cast<int64_t>(args->byte_count));
  // A negative count widens to about 2^64 bytes; it is reported as the refused call it would be
  // without handing the device a range that does not exist.
  if (args->byte_count < 0 || cudaMemsetAsync(destination, 0, count, cudaStream_t{}) != cudaSuccess) {
    kr::clear_last_error();
    KR_FAIL(clear_failure);
    return KR_STATUS_RUNTIME_ERROR;
  }
  return KR_STATUS_SUCCESS;
}
