#include "fixed_point_probe.h"

#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {

// block x: 256 inputs; thread x: one input
__global__ void __launch_bounds__(256) integer_kernel(int32_t which, int32_t first, int32_t count, int32_t* out) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i >= count) return;
  const int32_t x = first + i;
  int32_t y = 0;
  switch (which) {
    case 0: y = kr::fixed_sigmoid(x); break;
    case 1: y = kr::fixed_tanh(x); break;
    case 2: y = kr::fixed_exp(x); break;
    default: y = kr::q17_to_q10(x); break;
  }
  out[i] = y;
}

__global__ void __launch_bounds__(256) to_q10_kernel(int32_t count, const float* in, int32_t* out) {
  const int32_t i = static_cast<int32_t>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i < count) out[i] = kr::float_to_q10(in[i]);
}

// one block of 257 threads
__global__ void __launch_bounds__(257) tables_kernel(uint32_t* msb, uint32_t* lsb, int16_t* sigmoid) {
  const int t = static_cast<int>(threadIdx.x);
  if (t < 128) {
    msb[t] = KR_EXP_MSB_TABLE[t];
    lsb[t] = KR_EXP_LSB_TABLE[t];
  }
  sigmoid[t] = KR_SIGMOID_TABLE[t];
}

}  // namespace

namespace probe {

int run_integer(primitive which, int32_t first, int32_t count, int32_t* out) {
  return kr::launch_kernel(integer_kernel, dim3(kr::blocks_of_256(count)), dim3(256), static_cast<int32_t>(which),
                           first, count, out);
}

int run_to_q10(int32_t count, const float* in, int32_t* out) {
  return kr::launch_kernel(to_q10_kernel, dim3(kr::blocks_of_256(count)), dim3(256), count, in, out);
}

int copy_tables(uint32_t* msb, uint32_t* lsb, int16_t* sigmoid) {
  return kr::launch_kernel(tables_kernel, dim3(1), dim3(257), msb, lsb, sigmoid);
}

}  // namespace probe
