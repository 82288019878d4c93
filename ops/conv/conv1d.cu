// 16-bit by 8-bit conv1d: valid convolution along time with stride 1, raw 32-bit sums (Q17 for
// Q10 activations and Q7 weights), wrapping on overflow. The window of output frame m is the
// contiguous run of K = in_channels x kernel_size inputs from m x in_channels, and filter n the run
// of K weights from n x K, so output[m, n] = sum over k < K of input[m x in_channels + k] x
// weights[n x K + k]. Whole groups of four channels on 4-byte aligned data take a packed tiled
// kernel; anything else a plain one with identical results.
#include "numerics/fixed_point.cuh"
#include "numerics/reductions.cuh"
#include "numerics/vector_types.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int tile = 16;

// block (x, y): a tile of 16 frames by 16 channels; thread t: the 4 x 4 sub-tile of frames
// 4 (t / 4) + i and channels 4 (t mod 4) + j. Per group of four channels, every thread stages one
// frame's four inputs and one filter's four weights, and all of them reuse the staged groups.
__global__ void __launch_bounds__(tile) conv1d_packed_kernel(int32_t num_frames, int32_t out_channels, int32_t k4,
                                                              int32_t c4, int32_t* output, const kr::short2x2* input,
                                                              const char4* weights) {
  __shared__ kr::short2x2 frames[tile];
  __shared__ char4 filters[tile];
  const uint32_t t = threadIdx.x;
  const uint32_t f0 = blockIdx.x * tile;
  const uint32_t g0 = blockIdx.y * tile;
  const bool frame_in = f0 + t < static_cast<uint32_t>(num_frames);
  const bool filter_in = g0 + t < static_cast<uint32_t>(out_channels);
  const int64_t frame = static_cast<int64_t>(f0 + t) * c4;
  const int64_t filter = static_cast<int64_t>(g0 + t) * k4;

  int32_t acc[4][4] = {};
  for (int32_t g = 0; g < k4; ++g) {
    // Nobody may still be reading the previous group when it is overwritten.
    __syncthreads();
    frames[t] = frame_in ? input[frame + g] : kr::short2x2{make_short2(0, 0), make_short2(0, 0)};
    filters[t] = filter_in ? weights[filter + g] : make_char4(0, 0, 0, 0);
    __syncthreads();
    for (int i = 0; i < 4; ++i) {
      const kr::short2x2 x = frames[4 * (t / 4) + i];
      for (int j = 0; j < 4; ++j) {
        const char4 w = filters[4 * (t % 4) + j];
        acc[i][j] = __dp2a_hi(x.hi, w, __dp2a_lo(x.lo, w, acc[i][j]));
      }
    }
  }
  for (uint32_t i = 0; i < 4; ++i) {
    const uint32_t m = f0 + 4 * (t / 4) + i;
    if (m >= static_cast<uint32_t>(num_frames)) break;
    for (uint32_t j = 0; j < 4; ++j) {
      const uint32_t n = g0 + 4 * (t % 4) + j;
      if (n < static_cast<uint32_t>(out_channels)) output[static_cast<int64_t>(m) * out_channels + n] = acc[i][j];
    }
  }
}

// block (x, y, z): frames 2 bx + y, channels 4 by + z; thread x: lane of the four that split one
// output's sum (lanes k = x, x + 4, ...). The four lanes are consecutive lanes of the block's one
// warp, combined by a butterfly over distances 2 and 1; every lane takes part in the exchange.
__global__ void __launch_bounds__(32) conv1d_plain_kernel(int32_t num_frames, int32_t in_channels,
                                                           int32_t out_channels, int32_t kernel_size, int32_t* output,
                                                           const int8_t* weights, const int16_t* input) {
  const uint32_t m = blockIdx.x * 2 + threadIdx.y;
  const uint32_t n = blockIdx.y * 4 + threadIdx.z;
  const bool in_range = m < static_cast<uint32_t>(num_frames) && n < static_cast<uint32_t>(out_channels);
  // K fits: the entry refuses shapes whose product leaves the 32-bit range.
  const int32_t k_total = in_channels * kernel_size;

  uint32_t partial = 0;
  if (in_range && k_total > 0) {
    const int64_t window = static_cast<int64_t>(m) * in_channels;
    const int64_t filter = static_cast<int64_t>(n) * k_total;
    for (uint32_t k = threadIdx.x; k < static_cast<uint32_t>(k_total); k += 4) {
      partial += static_cast<uint32_t>(input[window + k] * weights[filter + k]);
    }
  }
  partial = kr::warp_reduce_sum<4>(partial);
  if (in_range && threadIdx.x == 0) output[static_cast<int64_t>(m) * out_channels + n] = static_cast<int32_t>(partial);
}

kr_status_t conv1d(const kr_omu_op_conv1d_args_t& a, int32_t* output, const int8_t* weights, const int16_t* input) {
  // A negative frame count would give the plain kernel a huge grid whose frame indices wrap; a
  // negative channel count with a negative kernel size a positive K read with a negative stride.
  const int64_t k_total = int64_t{a.in_channels} * a.kernel_size;
  if (a.num_frames < 0 || (a.in_channels < 0 && a.kernel_size < 0) || k_total > INT32_MAX || k_total < INT32_MIN) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  cudaError_t launched;
  if (a.in_channels % 4 == 0 && kr::all_aligned(4, input, weights)) {
    const dim3 grid(static_cast<unsigned int>((int64_t{a.num_frames} + 15) / 16),
                    static_cast<unsigned int>((int64_t{a.out_channels} + 15) / 16));
    launched = kr::launch_kernel(conv1d_packed_kernel, grid, dim3(tile), a.num_frames, a.out_channels,
                                 static_cast<int32_t>(k_total / 4), a.in_channels / 4, output,
                                 reinterpret_cast<const kr::short2x2*>(input), reinterpret_cast<const char4*>(weights));
  } else {
    const dim3 grid((static_cast<uint32_t>(a.num_frames) + 1u) >> 1, (static_cast<uint32_t>(a.out_channels) + 3u) >> 2);
    launched = kr::launch_kernel(conv1d_plain_kernel, grid, dim3(4, 2, 4), a.num_frames, a.in_channels,
                                 a.out_channels, a.kernel_size, output, weights, input);
  }
  return kr::finish_launch(launched, kernel_failure);
}

}  // namespace

// 16-bit by 8-bit conv1d
KR_OMU_EXPORT kr_status_t taabe126(kr_omu_device*, kr_omu_operator*, kr_omu_op_conv1d_args_t* args) {
  int32_t* output = nullptr;
  const int8_t* weights = nullptr;
  const int16_t* input = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->weights, args->weights_offset, &weights) ||
      !kr::resolve(args->input, args->input_offset, &input)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  return conv1d(*args, output, weights, input);
}
