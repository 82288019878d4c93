// The queues of the context's streams and the host's synchronisation with them (the queued work
// itself runs in scheduler.cpp).
#include "streams.h"

#include "fiber_shim.h"
#include "platform.h"
#include "race_contexts.h"

namespace kr_emu {
namespace detail {
namespace {

std::uint64_t next_sequence = 0;
// Launches of destroyed streams that the host has not synchronised with: a device synchronisation
// still waits for them.
std::vector<pending_launch*> orphaned;

bool anything_queued() {
  for (const CUstream_st* s : state().streams)
    if (!s->work.queue.empty()) return true;
  return false;
}

// The host synchronises with the launches the stream completed.
void acquire_completed(CUstream_st* stream) {
  for (pending_launch* l : stream->work.completed) {
    tsan::acquire(&l->end);
    delete l;
  }
  stream->work.completed.clear();
  contexts_synchronised(stream);
}

}  // namespace

void enqueue_launch(cudaStream_t stream, const launch_request& request, const std::vector<std::uint64_t>* chosen) {
  auto* l = new pending_launch;
  l->request = request;
  l->request.call = request.clone(request.call);
  l->every_block = chosen == nullptr;
  if (chosen != nullptr) l->chosen = *chosen;
  l->sequence = next_sequence++;
  // What the host did so far happens before the launch.
  tsan::release(&l->begin);
  stream->work.queue.push_back(stream_op{l, nullptr});
}

bool enqueue_free(cudaStream_t stream, void* ptr) {
  if (!anything_queued()) return false;
  stream->work.queue.push_back(stream_op{nullptr, ptr});
  return true;
}

bool free_pending(const void* ptr) {
  for (const CUstream_st* s : state().streams)
    for (const stream_op& op : s->work.queue)
      if (op.launch == nullptr && op.freed == ptr) return true;
  return false;
}

void synchronize_stream(cudaStream_t stream) {
  run_pending();
  if (!is_default_stream(stream)) {
    acquire_completed(stream);
    return;
  }
  // The legacy stream waits for the blocking streams, not for the non-blocking ones.
  for (CUstream_st* s : state().streams)
    if (s->flags == cudaStreamDefault) acquire_completed(s);
}

void synchronize_device() {
  run_pending();
  for (CUstream_st* s : state().streams) acquire_completed(s);
  for (pending_launch* l : orphaned) {
    tsan::acquire(&l->end);
    delete l;
  }
  orphaned.clear();
  orphans_synchronised();
}

void forget_stream_context(cudaStream_t stream) {
  if (stream->work.fiber != nullptr) tsan::destroy(stream->work.fiber);
  stream->work.fiber = nullptr;
  stream_contexts_gone(stream);
}

void retire_stream(cudaStream_t stream) {
  run_pending();
  for (pending_launch* l : stream->work.completed) {
    if (dedicated_workers) {
      orphaned.push_back(l);  // race build: acquired at the next device synchronisation
    } else {
      delete l;
    }
  }
  stream->work.completed.clear();
}

}  // namespace detail
}  // namespace kr_emu
