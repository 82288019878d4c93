// Float matrix product output = lhs x rhs^T: one thread per output element, no tiling.
#include "numerics/tables.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// The launch takes one block per output row with `cols` threads, so the block is at most the
// device's 1024-thread limit; a wider one is refused by the runtime.
constexpr int max_block_threads = 1024;

// block x: output row i; thread x: output column j. The dot product is one chain of fused
// multiply-adds in increasing k, unrolled by four; the unrolling keeps that order, so every element
// is the same rounding sequence on any device. With `Packed`, the entry has checked that both
// operands are 16-byte aligned and the depth a multiple of four, so every row is too and each group
// of four depth elements is one 16-byte load of each operand.
template <bool Packed>
__global__ void __launch_bounds__(max_block_threads)
    matmul_f32_kernel(int32_t rows, int32_t depth, int32_t cols, float* output, const float* lhs, const float* rhs) {
  const uint32_t i = blockIdx.x;
  const uint32_t j = threadIdx.x;
  if (rows < 0 || cols < 0 || i >= static_cast<uint32_t>(rows) || j >= static_cast<uint32_t>(cols)) return;
  float acc = 0.0f;
  if (depth > 0) {
    const float* a = lhs + static_cast<size_t>(i) * static_cast<uint32_t>(depth);
    const float* b = rhs + static_cast<size_t>(j) * static_cast<uint32_t>(depth);
    // k never passes the depth rounded down to a multiple of four, so it cannot overflow.
    const int32_t whole = depth & ~3;
    int32_t k = 0;
    if constexpr (Packed) {
      const float4* a4 = reinterpret_cast<const float4*>(a);
      const float4* b4 = reinterpret_cast<const float4*>(b);
      for (; k < whole; k += 4) {
        const float4 x = a4[k / 4];
        const float4 y = b4[k / 4];
        acc = __fmaf_rn(y.x, x.x, acc);
        acc = __fmaf_rn(y.y, x.y, acc);
        acc = __fmaf_rn(y.z, x.z, acc);
        acc = __fmaf_rn(y.w, x.w, acc);
      }
    } else {
      for (; k < whole; k += 4) {
        acc = __fmaf_rn(b[k], a[k], acc);
        acc = __fmaf_rn(b[k + 1], a[k + 1], acc);
        acc = __fmaf_rn(b[k + 2], a[k + 2], acc);
        acc = __fmaf_rn(b[k + 3], a[k + 3], acc);
      }
      for (; k < depth; ++k) acc = __fmaf_rn(b[k], a[k], acc);
    }
  }
  output[static_cast<size_t>(i) * static_cast<uint32_t>(cols) + j] = acc;
}

}  // namespace

// float matrix multiplication
KR_OMU_EXPORT kr_status_t taabe54(kr_omu_device*, kr_omu_operator*, kr_omu_op_matmul_args_t* args) {
  float* output = nullptr;
  const float* lhs = nullptr;
  const float* rhs = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->lhs, args->lhs_offset, &lhs) || !kr::resolve(args->rhs, args->rhs_offset, &rhs)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // Grid and block are the shape numbers as given: a zero, a negative number (above 2^31 - 1 as an
  // unsigned dimension) or more than 1024 columns makes the runtime refuse the launch, so no thread
  // runs with such a shape.
  const bool packed = args->depth % 4 == 0 && kr::all_aligned(16, lhs, rhs);
  const cudaError_t launched =
      kr::launch_kernel(packed ? matmul_f32_kernel<true> : matmul_f32_kernel<false>,
                        dim3(static_cast<unsigned int>(args->rows)), dim3(static_cast<unsigned int>(args->cols)),
                        args->rows, args->depth, args->cols, output, lhs, rhs);
  return kr::finish_launch(launched, kernel_failure);
}
