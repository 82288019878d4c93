// Float spectrum from log-magnitude and phase: rows of H + 1 natural-log magnitudes followed by
// H + 1 phases (H = N / 2, rows of N + 2 floats) become H + 1 complex bins weighted for a real
// inverse transform of length N: (w_k / N) min(e^m_k, 100) (cos p_k, sin p_k), w_k = 2 inside
// and 1 at bins 0 and H. The imaginary parts of bins 0 and N / 2 are always 0.
#include "numerics/fixed_point.cuh"
#include "ops/broadcast/rows.cuh"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr int32_t block_threads = 128;

// block x: one row; thread x: bins x, x + 128, ... up to H
__global__ void __launch_bounds__(block_threads) spectrum_kernel(int32_t n, float* output, const float* input) {
  const int32_t h = n / 2;
  // The entry refuses a negative N. Rows of N + 2 floats start at 64-bit products; an index
  // within a row is at most N + 1, formed unsigned where it may reach 2^31.
  const size_t base = static_cast<size_t>(blockIdx.x) * (static_cast<uint32_t>(n) + 2u);
  const float* x = input + base;
  float* y = output + base;
  // A row that starts on an 8-byte boundary (every row of an aligned buffer for even N) takes
  // each bin's pair as one 8-byte store; otherwise two 4-byte stores. The same values either way.
  const bool paired = (reinterpret_cast<uintptr_t>(y) & 7u) == 0;
  for (int32_t k = static_cast<int32_t>(threadIdx.x); k <= h; k += block_threads) {
    const float m = x[k];
    const float p = x[h + 1 + k];
    // fminf returns 100 for a NaN exponential.
    const float g = fminf(expf(m), 100.0f);
    const float w = (k > 0 && k < h) ? 2.0f : 1.0f;
    const float scale = w / static_cast<float>(n);
    const float re = scale * (g * cosf(p));
    const float im = scale * (g * sinf(p));
    if (paired) {
      reinterpret_cast<float2*>(y)[k] = make_float2(re, im);
    } else {
      y[2 * k] = re;
      y[2 * k + 1] = im;
    }
  }
  // Bins 0 and H have no imaginary part. The thread of bin 0 zeroes element 1 after writing it; for
  // even N the thread of bin H zeroes element N + 1 after writing it, and for odd N, where element
  // N + 1 belongs to no bin, thread 0 zeroes it. One writer per element, so no two threads race.
  const uint32_t last_writer = n % 2 == 0 ? static_cast<uint32_t>(h) % block_threads : 0u;
  if (threadIdx.x == 0) y[1] = 0.0f;
  if (threadIdx.x == last_writer) y[static_cast<uint32_t>(n) + 1u] = 0.0f;
}

}  // namespace

// float spectrum from log-magnitude and phase
KR_OMU_EXPORT kr_status_t taabe40(kr_omu_device*, kr_omu_operator*, kr_omu_op_elementwise_broadcast_args_t* args) {
  // A negative N has no rows of its own: its zero writes would land outside the rows (before the
  // buffer for N = -2), so it is refused like a negative row count.
  if (args != nullptr && args->row_length < 0) return KR_STATUS_INVALID_ARGUMENT;
  return kr::run_rows(args, spectrum_kernel, block_threads, kernel_failure);
}
