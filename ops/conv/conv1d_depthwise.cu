// Depthwise conv1d: each channel convolved with its own filter along time, valid, stride 1,
// raw 32-bit sums wrapping on overflow: out[m, c] = sum over j < kernel_size of
// input[m + j, c] x weights[j, c]. Kernel sizes 1, 3, 5, 7 and 9 run fully unrolled variants that
// pair taps for the two-way dot product; any other size runs the generic kernel.
#include "numerics/fixed_point.cuh"
#include "ops/conv/packing.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// block (x, y): output frame 2 bx + y; thread x: channels x, x + 32, ...
// The sum starts with tap 0 and adds the remaining (even number of) taps in pairs.
template <int taps>
__global__ void __launch_bounds__(64) depthwise_unrolled_kernel(int32_t num_frames, int32_t channels,
                                                                 int32_t* output, const int8_t* weights,
                                                                 const int16_t* input) {
  static_assert(taps % 2 == 1, "tap 0 plus pairs");
  const uint32_t m = blockIdx.x * 2 + threadIdx.y;
  if (m >= static_cast<uint32_t>(num_frames) || channels <= 0) return;
  const int64_t row = static_cast<int64_t>(channels);
  for (uint32_t c = threadIdx.x; c < static_cast<uint32_t>(channels); c += 32) {
    const int16_t* x = input + static_cast<int64_t>(m) * row + c;
    const int8_t* w = weights + c;
    int32_t acc = int32_t{x[0]} * int32_t{w[0]};
    for (int j = 1; j < taps; j += 2) acc = kr::dot2(x[j * row], x[(j + 1) * row], w[j * row], w[(j + 1) * row], acc);
    output[static_cast<int64_t>(m) * row + c] = acc;
  }
}

// block (x, y): output frame 2 bx + y; thread x: channels x, x + 32, ...
// Taps in groups of four (two pairs), then one by one; no taps give 0.
__global__ void __launch_bounds__(64) depthwise_generic_kernel(int32_t num_frames, int32_t channels,
                                                               int32_t kernel_size, int32_t* output,
                                                               const int8_t* weights, const int16_t* input) {
  const uint32_t m = blockIdx.x * 2 + threadIdx.y;
  if (m >= static_cast<uint32_t>(num_frames) || channels <= 0) return;
  const int64_t row = static_cast<int64_t>(channels);
  for (uint32_t c = threadIdx.x; c < static_cast<uint32_t>(channels); c += 32) {
    const int64_t first = static_cast<int64_t>(m) * row + c;
    int32_t acc = 0;
    int32_t j = 0;
    for (; kernel_size - j >= 4; j += 4) {
      const int64_t x = first + j * row, w = j * row + c;
      acc = kr::dot2(input[x], input[x + row], weights[w], weights[w + row], acc);
      acc = kr::dot2(input[x + 2 * row], input[x + 3 * row], weights[w + 2 * row], weights[w + 3 * row], acc);
    }
    for (; j < kernel_size; ++j) acc = kr::add_product(acc, input[first + j * row], weights[j * row + c]);
    output[first] = acc;
  }
}

kr_status_t conv1d_depthwise(const kr_omu_op_conv1d_depthwise_args_t& a, int32_t* output, const int8_t* weights,
                             const int16_t* input) {
  // A negative frame count would give a huge grid whose frame indices wrap.
  if (a.num_frames < 0) return KR_STATUS_INVALID_ARGUMENT;
  const dim3 grid((static_cast<uint32_t>(a.num_frames) + 1u) >> 1);
  const dim3 block(32, 2);
  cudaError_t launched;
  switch (a.kernel_size) {
    case 1:
      launched = kr::launch_kernel(depthwise_unrolled_kernel<1>, grid, block, a.num_frames, a.channels, output, weights, input);
      break;
    case 3:
      launched = kr::launch_kernel(depthwise_unrolled_kernel<3>, grid, block, a.num_frames, a.channels, output, weights, input);
      break;
    case 5:
      launched = kr::launch_kernel(depthwise_unrolled_kernel<5>, grid, block, a.num_frames, a.channels, output, weights, input);
      break;
    case 7:
      launched = kr::launch_kernel(depthwise_unrolled_kernel<7>, grid, block, a.num_frames, a.channels, output, weights, input);
      break;
    case 9:
      launched = kr::launch_kernel(depthwise_unrolled_kernel<9>, grid, block, a.num_frames, a.channels, output, weights, input);
      break;
    default:
      launched = kr::launch_kernel(depthwise_generic_kernel, grid, block, a.num_frames, a.channels, a.kernel_size,
                                   output, weights, input);
      break;
  }
  return kr::finish_launch(launched, kernel_failure);
}

}  // namespace

// depthwise conv1d
KR_OMU_EXPORT kr_status_t taabe61(kr_omu_device*, kr_omu_operator*, kr_omu_op_conv1d_depthwise_args_t* args) {
  int32_t* output = nullptr;
  const int8_t* weights = nullptr;
  const int16_t* input = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->weights, args->weights_offset, &weights) ||
      !kr::resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  return conv1d_depthwise(*args, output, weights, input);
}
