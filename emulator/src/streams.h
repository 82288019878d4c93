// Streams that overlap. Launches and stream-ordered frees on the context's streams are queued, not
// run at their call; they run when something synchronises (run_pending), the queued launches of
// all streams together: each stream's work in its order, the blocks of the launches at the heads
// of different streams interleaved in an order that follows the schedule seed. The default
// (legacy) stream stays synchronous, and its work first runs everything queued.
//
// Race build: the host's work before a launch is released to it at its call (and, since its blocks
// run later on the host thread, what the host did until they run); a launch's blocks see what came
// before it in its stream (the stream's own ThreadSanitizer context acquires each launch's end and
// releases it to the blocks); the host acquires a launch's end only when it synchronises with its
// stream (stream or device synchronisation, or default-stream work, which waits for the blocking
// streams). Nothing orders launches on two streams, so their conflicting accesses are reported.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include <cuda_runtime.h>

namespace kr_emu {
namespace detail {

struct pending_launch {
  launch_request request;  // request.call is a copy of the launch's arguments, owned here
  bool every_block = true;
  std::vector<std::uint64_t> chosen;  // the block filter's choice, ascending
  std::uint64_t sequence = 0;         // issue order
  char begin = 0, end = 0;            // ThreadSanitizer: released at the call, by its end
  char block_begin = 0;               // released to its blocks as they start
};

// A queued launch, or (launch null) a stream-ordered free.
struct stream_op {
  pending_launch* launch = nullptr;
  void* freed = nullptr;
};

struct stream_work {
  std::deque<stream_op> queue;
  std::vector<pending_launch*> completed;  // run, not yet synchronised with the host
  void* fiber = nullptr;                   // ThreadSanitizer: the stream's own context
};

}  // namespace detail
}  // namespace kr_emu

struct CUstream_st {
  int device;
  unsigned flags;  // cudaStreamDefault (blocking) or cudaStreamNonBlocking
  kr_emu::detail::stream_work work;
};

namespace kr_emu {
namespace detail {

// The legacy default stream in any of its spellings (the per-thread one is treated alike).
inline bool is_default_stream(cudaStream_t stream) {
  return stream == nullptr || stream == cudaStreamLegacy || stream == cudaStreamPerThread;
}

// Queues an accepted launch on a context stream; `chosen` as for run_grid.
void enqueue_launch(cudaStream_t stream, const launch_request& request, const std::vector<std::uint64_t>* chosen);
// Queues a stream-ordered free of a live allocation while any stream has queued work; false when
// nothing is queued (the caller frees at once). Whether `ptr` is already queued for freeing.
bool enqueue_free(cudaStream_t stream, void* ptr);
bool free_pending(const void* ptr);

// Runs everything queued (scheduler.cpp); no happens-before edge to the host.
void run_pending();
// Runs everything queued; the host then synchronises with `stream` (with every blocking stream for
// the default stream) or with every stream.
void synchronize_stream(cudaStream_t stream);
void synchronize_device();
// Runs what is queued; the host synchronises with the stream's completed work only at the next
// device synchronisation (the stream is being destroyed).
void retire_stream(cudaStream_t stream);
// Drops the stream's ThreadSanitizer context (before the stream is deleted).
void forget_stream_context(cudaStream_t stream);

}  // namespace detail
}  // namespace kr_emu
