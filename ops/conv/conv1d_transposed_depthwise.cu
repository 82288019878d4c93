// Transposed depthwise conv1d: the transpose of a strided depthwise convolution, upsampling by
// `stride` with no cropping. Output frame o = q x S + p (phase p < S) of channel c is
// sum over i < Q of input[q - i, c] x weights[i x S + p, c], Q = kernel_size / S, input frames
// outside the sequence counting as zero; (num_frames + Q - 1) x S frames, raw 32-bit sums
// wrapping on overflow.
#include "numerics/fixed_point.cuh"
#include "ops/conv/packing.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// block (x, y): output step q = 2 bx + y, all its phases in turn; thread x: channels x, x + 16, ...
// A stride below 1 writes nothing; Q of 0 or below writes zeros.
__global__ void __launch_bounds__(32) transposed_depthwise_kernel(int32_t num_frames, int32_t channels, int32_t taps,
                                                                  int32_t stride, int32_t* output,
                                                                  const int8_t* weights, const int16_t* input) {
  const int64_t q = blockIdx.x * 2 + threadIdx.y;
  if (stride < 1 || q >= int64_t{num_frames} + taps - 1 || channels <= 0) return;
  const int64_t row = channels;
  // Taps whose input frame q - i lies inside 0 .. num_frames - 1.
  const int64_t first = q - num_frames + 1 > 0 ? q - num_frames + 1 : 0;
  const int64_t last = q < int64_t{taps} - 1 ? q : int64_t{taps} - 1;
  for (int32_t p = 0; p < stride; ++p) {
    for (uint32_t c = threadIdx.x; c < static_cast<uint32_t>(channels); c += 16) {
      int32_t acc = 0;
      for (int64_t i = first; i <= last; ++i) {
        acc = kr::add_product(acc, input[(q - i) * row + c], weights[(i * stride + p) * row + c]);
      }
      output[(q * stride + p) * row + c] = acc;
    }
  }
}

kr_status_t conv1d_transposed_depthwise(const kr_omu_op_conv1d_transposed_depthwise_args_t& a, int32_t* output,
                                        const int8_t* weights, const int16_t* input) {
  // The taps must split evenly over the phases. Formed in 64 bits: INT32_MIN / -1 does not fit.
  if (a.stride == 0 || int64_t{a.kernel_size} % a.stride != 0) return KR_STATUS_INVALID_ARGUMENT;
  const int64_t taps = int64_t{a.kernel_size} / a.stride;
  // num_frames + Q outside 0 .. 2^31 - 1 would give a grid whose step indices wrap.
  const int64_t steps = int64_t{a.num_frames} + taps;
  if (steps < 0 || steps > INT32_MAX || taps > INT32_MAX) return KR_STATUS_INVALID_ARGUMENT;
  // The kernel forms output indices (q x stride + p) x channels in 64 bits; an output of more
  // bytes than any address space holds would overflow them, so it is refused.
  if (a.stride > 0 && a.channels > 0 && steps > 1 &&
      (steps - 1) * a.stride > INT64_MAX / int64_t{sizeof(int32_t)} / a.channels) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const dim3 grid(static_cast<uint32_t>(steps) >> 1);
  const cudaError_t launched =
      kr::launch_kernel(transposed_depthwise_kernel, grid, dim3(16, 2), a.num_frames, a.channels,
                        static_cast<int32_t>(taps), a.stride, output, weights, input);
  return kr::finish_launch(launched, kernel_failure);
}

}  // namespace

// transposed depthwise conv1d
KR_OMU_EXPORT kr_status_t taabe81(kr_omu_device*, kr_omu_operator*,
                                  kr_omu_op_conv1d_transposed_depthwise_args_t* args) {
  int32_t* output = nullptr;
  const int8_t* weights = nullptr;
  const int16_t* input = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->weights, args->weights_offset, &weights) ||
      !kr::resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  return conv1d_transposed_depthwise(*args, output, weights, input);
}
