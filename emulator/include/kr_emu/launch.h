// Kernel launch for the host compiler. cudaLaunchKernel takes the kernel's function pointer and
// the array of argument addresses, as the toolkit's API does, so library code launches the same
// way in both builds. The arguments are copied at the call, as the real runtime copies them into
// the launch, and every thread of the grid calls the kernel with its own copy. A dynamic shared
// memory size up to the device's sharedMemPerBlock is accepted (larger ones fail as on a GPU), but
// device code here has no way to address it: kernels use static __shared__ arrays only.
#pragma once

#include <cstddef>
#include <tuple>
#include <utility>

#include "driver_types.h"
#include "vector_types.h"

#pragma GCC visibility push(hidden)

namespace kr_emu {
namespace detail {

enum class launch_problem { none, null_kernel, null_arguments };

struct launch_request {
  const void* kernel;  // for fault messages
  dim3 grid;
  dim3 block;
  std::size_t shared_bytes;
  cudaStream_t stream;
  launch_problem problem;
  void (*run_thread)(void* call);  // runs one CUDA thread of the kernel
  void* call;
  // A heap copy of `call` for a launch that runs later (queued on a stream), and its disposal.
  void* (*clone)(const void* call);
  void (*destroy)(void* call);
};

// Validates the launch like the real runtime and, when it is accepted, runs the whole grid before
// returning (default stream) or queues it on its stream until something synchronises with it.
// Faults inside the kernel become sticky errors.
cudaError_t launch(const launch_request& request);

template <class... P>
struct kernel_call {
  void (*kernel)(P...);
  std::tuple<P...> arguments;
  static void run(void* self) {
    kernel_call& c = *static_cast<kernel_call*>(self);
    std::apply(c.kernel, c.arguments);
  }
  static void* clone(const void* self) { return new kernel_call(*static_cast<const kernel_call*>(self)); }
  static void destroy(void* self) { delete static_cast<kernel_call*>(self); }
};

template <class... P, std::size_t... I>
inline cudaError_t launch_kernel(void (*kernel)(P...), dim3 grid, dim3 block, void** args,
                                 std::size_t shared_bytes, cudaStream_t stream,
                                 std::index_sequence<I...>) {
  launch_request request{reinterpret_cast<const void*>(kernel), grid, block, shared_bytes, stream,
                         launch_problem::none, nullptr, nullptr, nullptr, nullptr};
  if (kernel == nullptr) {
    request.problem = launch_problem::null_kernel;
    return launch(request);
  }
  if (sizeof...(P) > 0 && args == nullptr) {
    request.problem = launch_problem::null_arguments;
    return launch(request);
  }
  kernel_call<P...> call{kernel, std::tuple<P...>(*static_cast<P*>(args[I])...)};
  request.run_thread = &kernel_call<P...>::run;
  request.call = &call;
  request.clone = &kernel_call<P...>::clone;
  request.destroy = &kernel_call<P...>::destroy;
  return launch(request);
}

}  // namespace detail
}  // namespace kr_emu

template <class... P>
inline cudaError_t cudaLaunchKernel(void (*kernel)(P...), dim3 grid, dim3 block, void** args,
                                    std::size_t sharedMem = 0, cudaStream_t stream = 0) {
  return kr_emu::detail::launch_kernel(kernel, grid, block, args, sharedMem, stream,
                                       std::index_sequence_for<P...>{});
}

#pragma GCC visibility pop
