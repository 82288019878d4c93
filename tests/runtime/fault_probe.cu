// A test-only kernel that the emulator reports as a fault: the two halves of the block wait at
// different barriers.
#include "runtime/launch.h"

namespace {

// one block; odd and even threads reach different barriers
__global__ void __launch_bounds__(64) divergent_barrier_kernel() {
  if (threadIdx.x % 2 == 0) {
    __syncthreads();
  } else {
    __syncthreads();
  }
}

}  // namespace

namespace probe {

int launch_faulting_kernel() { return kr::launch_kernel(divergent_barrier_kernel, dim3(1), dim3(64)); }

}  // namespace probe
