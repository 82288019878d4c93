// Top-k gate: per row of scores, the top_k entries in the order a descending bubble sort of the
// (column, score) pairs leaves them, and the softmax over those entries.
//
// That sort exchanges neighbours only when the left score is strictly below the right one, so a
// NaN never moves and nothing crosses it: the NaNs split the row into segments, each of which
// ends up sorted by descending score with equal scores (and +0 / -0) kept in column order, i.e.
// stably. Position j of the result is therefore either an original NaN at j, or the element of
// its segment whose rank (descending score, then ascending column) is j minus the segment start.
// The kernel reads the ranks off by repeated selection over the segment, which needs no scratch
// memory at all, writes every row, and costs top_k passes over the row instead of a quadratic
// sort.
#include "numerics/fixed_point.cuh"
#include "runtime/launch.h"

namespace {

constexpr kr_error_record kernel_failure = kr::kernel_failure_record();

constexpr unsigned int block_threads = 256;

// block x: 256 rows; thread x: one row
__global__ void __launch_bounds__(block_threads)
    gate_kernel(int32_t num_rows, int32_t top_k, int32_t num_candidates, const float* scores, int32_t* top_indices,
                float* top_probs) {
  const uint32_t i = blockIdx.x * block_threads + threadIdx.x;
  if (i >= static_cast<uint32_t>(num_rows) || top_k <= 0) return;
  // The entry guarantees 0 < top_k <= num_candidates. Row starts in 64 bits, so that they hold
  // past 2^31 scores; positions within a row stay 32-bit.
  const float* s = scores + static_cast<size_t>(i) * static_cast<uint32_t>(num_candidates);
  int32_t* indices = top_indices + static_cast<size_t>(i) * static_cast<uint32_t>(top_k);
  float* probs = top_probs + static_cast<size_t>(i) * static_cast<uint32_t>(top_k);

  int32_t start = 0;
  while (start < top_k) {
    if (isnan(s[start])) {
      indices[start] = start;
      probs[start] = s[start];
      ++start;
      continue;
    }
    int32_t end = start + 1;
    while (end < num_candidates && !isnan(s[end])) ++end;
    // Positions start .. min(end, top_k) - 1 take the segment's elements by rank.
    const int32_t last = end < top_k ? end : top_k;
    int32_t previous = -1;
    float previous_score = 0.0f;
    for (int32_t j = start; j < last; ++j) {
      int32_t best = -1;
      float best_score = 0.0f;
      for (int32_t c = start; c < end; ++c) {
        const float v = s[c];
        // Strictly after the previous pick in (descending score, ascending column) order ...
        const bool after = previous < 0 || v < previous_score || (v == previous_score && c > previous);
        // ... and the first of those in that order: a later column wins only with a larger score.
        if (after && (best < 0 || v > best_score)) {
          best = c;
          best_score = v;
        }
      }
      indices[j] = best;
      probs[j] = best_score;
      previous = best;
      previous_score = best_score;
    }
    start = end;
  }

  // Softmax over the selection: fmaxf ignores a NaN; each exponential is parked in the output.
  float m = probs[0];
  for (int32_t j = 1; j < top_k; ++j) m = fmaxf(m, probs[j]);
  float sum = 0.0f;
  for (int32_t j = 0; j < top_k; ++j) {
    const float e = expf(probs[j] - m);
    probs[j] = e;
    sum += e;
  }
  for (int32_t j = 0; j < top_k; ++j) probs[j] = probs[j] / sum;
}

}  // namespace

// top-k gate
KR_OMU_EXPORT kr_status_t taabe149(kr_omu_device*, kr_omu_operator*, kr_omu_op_gate_args_t* args) {
  int32_t* top_indices = nullptr;
  float* top_probs = nullptr;
  const float* scores = nullptr;
  if (args == nullptr || !kr::resolve(args->top_indices, 0, &top_indices) ||
      !kr::resolve(args->top_probs, 0, &top_probs) || !kr::resolve(args->scores, 0, &scores)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  // More entries than candidates would read past the row; a negative row count would give a huge
  // grid of wrapping row indices. A top_k of 0 or below writes nothing.
  unsigned int blocks = 0;
  if (args->top_k > args->num_candidates || !kr::blocks_for(args->num_rows, block_threads, &blocks)) {
    return KR_STATUS_INVALID_ARGUMENT;
  }
  const cudaError_t launched = kr::launch_kernel(gate_kernel, dim3(blocks), dim3(block_threads), args->num_rows,
                                                 args->top_k, args->num_candidates, scores, top_indices, top_probs);
  return kr::finish_launch(launched, kernel_failure);
}
