// Q17 bias add: out[r, c] = a[r, c] + b[c] x 1024, a Q17 accumulator plus a Q7 bias row, wrapping
// in 32-bit two's complement.
#include "numerics/fixed_point.cuh"
#include "ops/broadcast/broadcast.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

struct bias_q17_op {
  using out_t = int32_t;
  using a_t = int32_t;
  using b_t = int8_t;
  static constexpr bool by_column = false;
  // b x 1024 is exact; the sum wraps through unsigned arithmetic.
  static __device__ __forceinline__ void apply(int32_t* y, int32_t a, int8_t b) {
    *y = static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(static_cast<int32_t>(b) * 1024));
  }
};

}  // namespace

// Q17 add Q7 bias row
KR_OMU_EXPORT kr_status_t taabe99(kr_omu_device*, kr_omu_operator*, kr_omu_op_pairwise_broadcast_args_t* args) {
  return kr::run_broadcast<bias_q17_op>(args, kernel_failure);
}
