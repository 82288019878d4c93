// 16-bit gated cell update with the forget gate tied to the input gate: a = S(G0), g = H(G1),
// o = S(G2) (Q15), c' = sat16(((g a + 2^19) >> 20) + (((32767 - a) c + 2^14) >> 15)) (Q10),
// h = sat16(sat32((H(c') o + 2^19) >> 20)). The gate vectors are overwritten with H(c'), g and o.
#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

// block x: 256 cells; thread x: one cell. Each step reads back the 16-bit value the previous step
// stored, so no wider intermediate survives a step.
__global__ void __launch_bounds__(256)
    cell_kernel(int32_t count, int16_t* output, int16_t* gates, int16_t* cell, int16_t* input_gate,
                int16_t* candidate, int16_t* output_gate) {
  (void)gates;  // the base of the three vectors, which the kernel reaches through them
  const uint32_t i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= static_cast<uint32_t>(count)) return;
  input_gate[i] = static_cast<int16_t>(kr::fixed_sigmoid(input_gate[i]));
  candidate[i] = static_cast<int16_t>(kr::fixed_tanh(candidate[i]));
  output_gate[i] = static_cast<int16_t>(kr::fixed_sigmoid(output_gate[i]));
  const int32_t a = input_gate[i];
  const int32_t g = candidate[i];
  const int32_t o = output_gate[i];
  // a is at least 0, so the forget gate needs no clamp; both products stay below 2^30.
  const int32_t forget = 32767 - a;
  const int32_t updated = ((g * a + 524288) >> 20) + ((forget * static_cast<int32_t>(cell[i]) + 16384) >> 15);
  cell[i] = static_cast<int16_t>(kr::saturate16(updated));
  input_gate[i] = static_cast<int16_t>(kr::fixed_tanh(cell[i]));
  const int64_t h = (static_cast<int64_t>(input_gate[i]) * o + 524288) >> 20;
  output[i] = static_cast<int16_t>(kr::saturate16(kr::saturate32(h)));
}

}  // namespace

// 16-bit gated cell update
extern "C" KR_OMU_EXPORT kr_status_t taabe47(kr_omu_device*, kr_omu_operator*, kr_omu_op_cell_args_t* args) {
  int16_t* output = nullptr;
  int16_t* cell = nullptr;
  int16_t* gates = nullptr;
  if (args == nullptr || !kr::resolve(args->output, args->output_offset, &output) ||
      !kr::resolve(args->cell, args->cell_offset, &cell) || !kr::resolve(args->gates, args->gates_offset, &gates)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  unsigned int blocks = 0;
  if (!kr::blocks_for(args->count, 256, &blocks)) return KR_STATUS_INVALID_ARGUMENT;
  // The candidate and output-gate vectors follow at 2 count and 4 count bytes.
  const uintptr_t base = reinterpret_cast<uintptr_t>(gates);
  const uintptr_t vector_bytes = 2u * static_cast<uintptr_t>(static_cast<uint32_t>(args->count));
  int16_t* candidate = reinterpret_cast<int16_t*>(base + vector_bytes);
  int16_t* output_gate = reinterpret_cast<int16_t*>(base + 2u * vector_bytes);
  const cudaError_t launched = kr::launch_kernel(cell_kernel, dim3(blocks), dim3(256), args->count, output, gates,
                                                 cell, gates, candidate, output_gate);
  return kr::finish_launch(launched, kernel_failure);
}
