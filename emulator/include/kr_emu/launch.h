// Kernel launch for the host compiler. cudaLaunchKernel takes the kernel's function pointer and
// the array of argument addresses, as the toolkit's API does, so library code launches the same
// way in both builds. The arguments are copied at the call, as the real runtime copies them into
// the launch, and every thread of the grid calls the kernel with its own copy. A dynamic shared
// memory size up to the device's sharedMemPerBlock is accepted (larger ones fail as on a GPU), but
// device code here has no way to address it: kernels use static __shared__ arrays only.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
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

// The start of every launch's copy of its arguments, for the memory-access profile: it lists the
// value of each pointer argument by position, so that the allocations a kernel's requests fall in
// can be named after the arguments that point into them. A launch request's `call` is always a
// call_header* converted to void*.
struct call_header {
  // Writes the first `max` arguments (the pointer's value, null for an argument that is not a
  // pointer) and returns the kernel's number of arguments.
  std::size_t (*pointer_arguments)(const call_header* call, const void** out, std::size_t max);
};

template <class T>
inline const void* pointer_argument(const T& value) {
  if constexpr (std::is_pointer_v<T> && std::is_object_v<std::remove_pointer_t<T>>) {
    return const_cast<const void*>(static_cast<const volatile void*>(value));
  } else {
    return nullptr;
  }
}

template <class... P>
struct kernel_call : call_header {
  void (*kernel)(P...);
  std::tuple<P...> arguments;
  kernel_call(void (*k)(P...), std::tuple<P...> a) : call_header{&list_pointers}, kernel(k), arguments(std::move(a)) {}
  static kernel_call& of(void* self) { return *static_cast<kernel_call*>(static_cast<call_header*>(self)); }
  static void run(void* self) {
    kernel_call& c = of(self);
    std::apply(c.kernel, c.arguments);
  }
  static void* clone(const void* self) {
    return static_cast<call_header*>(new kernel_call(of(const_cast<void*>(self))));
  }
  static void destroy(void* self) { delete &of(self); }
  static std::size_t list_pointers(const call_header* self, const void** out, std::size_t max) {
    const kernel_call& c = *static_cast<const kernel_call*>(self);
    std::apply(
        [&]([[maybe_unused]] const P&... p) {
          [[maybe_unused]] std::size_t i = 0;
          ((i < max ? void(out[i] = pointer_argument(p)) : void(), ++i), ...);
        },
        c.arguments);
    return sizeof...(P);
  }
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
  request.call = static_cast<call_header*>(&call);
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
