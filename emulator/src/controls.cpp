// The platform's state and defaults, the per-thread runtime state, fault injection, and the test
// controls of kr_emu/control.h.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "kr_emu/control.h"
#include "platform.h"

namespace kr_emu {
namespace detail {
namespace {

constexpr const char* api_names[] = {
#define KR_EMU_API_NAME(name) #name,
    KR_EMU_INJECTABLE_CALLS(KR_EMU_API_NAME)
#undef KR_EMU_API_NAME
};
static_assert(sizeof(api_names) / sizeof(api_names[0]) == static_cast<std::size_t>(api::count),
              "one name per injectable function");

thread_local cudaError_t thread_last_error = cudaSuccess;
thread_local int thread_device = 0;

// Reads KR_EMU_SCHEDULE: "forward", "reverse" or a decimal seed. A value that is none of these
// stops the process, since a mistyped schedule would otherwise test the wrong thing silently.
std::uint64_t seed_from_environment() {
  const char* value = std::getenv("KR_EMU_SCHEDULE");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "forward") == 0) return 0;
  if (std::strcmp(value, "reverse") == 0) return 1;
  char* end = nullptr;
  const unsigned long long seed = std::strtoull(value, &end, 10);
  if (*end != '\0' || value[0] == '-') {
    std::fprintf(stderr, "kr_emu: KR_EMU_SCHEDULE=\"%s\" is not forward, reverse or a number\n",
                 value);
    std::abort();
  }
  return seed;
}

// Reads KR_EMU_MATH: "gpu" (or unset) or "accurate"; anything else stops the process.
bool accurate_math_from_environment() {
  const char* value = std::getenv("KR_EMU_MATH");
  if (value == nullptr || *value == '\0' || std::strcmp(value, "gpu") == 0) return false;
  if (std::strcmp(value, "accurate") == 0) return true;
  std::fprintf(stderr, "kr_emu: KR_EMU_MATH=\"%s\" is not gpu or accurate\n", value);
  std::abort();
}

// Reads KR_EMU_WATCHDOG_SECONDS: the watchdog's bound in seconds, 0 to switch it off.
double watchdog_seconds_from_environment() {
  const char* value = std::getenv("KR_EMU_WATCHDOG_SECONDS");
  if (value == nullptr || *value == '\0') return default_watchdog_seconds;
  char* end = nullptr;
  const double seconds = std::strtod(value, &end);
  if (*end != '\0' || !(seconds >= 0)) {
    std::fprintf(stderr, "kr_emu: KR_EMU_WATCHDOG_SECONDS=\"%s\" is not a number of seconds\n", value);
    std::abort();
  }
  return seconds;
}

void restore_defaults(platform& p) {
  p.devices.assign(1, emulated_device{default_properties()});
  p.math_accurate = accurate_math_from_environment();
  p.watchdog_seconds = watchdog_seconds_from_environment();
  p.injections.clear();
  p.schedule_seed = seed_from_environment();
  p.fault_message.clear();
  p.no_device_error = cudaErrorNoDevice;
  p.device_heap_limit = default_device_heap_limit;
  p.sparse_capacity = 0;
  p.blocks = block_choice{};
  p.last_launch = launched_blocks{};
  // Live allocations made on device 0 keep counting against it; other devices come back empty.
  for (const auto& a : p.allocations)
    if (a.second.device == 0) p.devices[0].live_bytes += a.second.size;
}

}  // namespace

bool block_choice::chooses(std::uint64_t block, std::uint64_t count) const {
  if (block >= count) return false;
  switch (how) {
    case kind::every:
      return true;
    case kind::list:
      return std::binary_search(list.begin(), list.end(), block);
    case kind::sample: {
      if (samples >= count) return true;
      if (samples == 1) return block == 0;
      // The first i with floor(i (count - 1) / (samples - 1)) >= block, and whether it hits it.
      const unsigned __int128 span = count - 1, steps = samples - 1;
      const unsigned __int128 i = (static_cast<unsigned __int128>(block) * steps + span - 1) / span;
      return i * span / steps == block;
    }
    case kind::callback:
      return callback(block, count);
  }
  return true;
}

std::vector<std::uint64_t> block_choice::chosen(std::uint64_t count) const {
  std::vector<std::uint64_t> blocks;
  switch (how) {
    case kind::every:
    case kind::callback:
      for (std::uint64_t b = 0; b < count; ++b)
        if (chooses(b, count)) blocks.push_back(b);
      break;
    case kind::list:
      for (std::uint64_t b : list)
        if (b < count) blocks.push_back(b);
      break;
    case kind::sample:
      if (samples >= count) return block_choice{}.chosen(count);
      for (std::uint64_t i = 0; i < samples; ++i) {
        const std::uint64_t b = samples == 1 ? 0
                                              : static_cast<std::uint64_t>(static_cast<unsigned __int128>(i) *
                                                                           (count - 1) / (samples - 1));
        if (blocks.empty() || blocks.back() != b) blocks.push_back(b);
      }
      break;
  }
  return blocks;
}

const char* api_name(api function) { return api_names[static_cast<int>(function)]; }

platform& state() {
  static platform* instance = [] {
    platform* p = new platform;  // never destroyed: kernels may run from static destructors
    restore_defaults(*p);
    return p;
  }();
  return *instance;
}

cudaDeviceProp default_properties() {
  // A small Turing-class GPU.
  cudaDeviceProp p;
  std::memset(&p, 0, sizeof p);
  std::snprintf(p.name, sizeof p.name, "%s", "Emulated CUDA Device");
  p.totalGlobalMem = std::size_t{4} << 30;
  p.sharedMemPerBlock = 49152;
  p.regsPerBlock = 65536;
  p.warpSize = 32;
  p.memPitch = 2147483647;
  p.maxThreadsPerBlock = 1024;
  p.maxThreadsDim[0] = 1024;
  p.maxThreadsDim[1] = 1024;
  p.maxThreadsDim[2] = 64;
  p.maxGridSize[0] = 2147483647;
  p.maxGridSize[1] = 65535;
  p.maxGridSize[2] = 65535;
  p.totalConstMem = 65536;
  p.major = 7;
  p.minor = 5;
  p.textureAlignment = 512;
  p.texturePitchAlignment = 32;
  p.multiProcessorCount = 4;
  p.concurrentKernels = 1;
  p.asyncEngineCount = 2;
  p.unifiedAddressing = 1;
  p.memoryBusWidth = 128;
  p.l2CacheSize = 1048576;
  p.maxThreadsPerMultiProcessor = 1024;
  p.globalL1CacheSupported = 1;
  p.localL1CacheSupported = 1;
  p.sharedMemPerMultiprocessor = 65536;
  p.regsPerMultiprocessor = 65536;
  p.managedMemory = 1;
  p.computePreemptionSupported = 1;
  p.cooperativeLaunch = 1;
  p.sharedMemPerBlockOptin = 65536;
  p.maxBlocksPerMultiProcessor = 16;
  p.memoryPoolsSupported = 1;
  return p;
}

cudaError_t& last_error() { return thread_last_error; }
int& current_device() { return thread_device; }

cudaError_t take_injection(api function) {
  platform& s = state();
  if (s.injections.empty()) return cudaSuccess;
  cudaError_t fired = cudaSuccess;
  for (injection& i : s.injections) {
    if (i.function != function) continue;
    if (--i.remaining == 0 && fired == cudaSuccess) fired = i.error;
  }
  s.injections.erase(std::remove_if(s.injections.begin(), s.injections.end(),
                                    [](const injection& i) { return i.remaining <= 0; }),
                     s.injections.end());
  return fired;
}

emulated_device& current() {
  platform& s = state();
  int& d = current_device();
  if (d < 0 || d >= static_cast<int>(s.devices.size())) d = 0;
  return s.devices[d];
}

cudaError_t device_status() {
  if (state().devices.empty()) return cudaErrorNoDevice;
  return current().sticky_error;
}

bool valid_stream(cudaStream_t stream) {
  if (stream == nullptr || stream == cudaStreamLegacy || stream == cudaStreamPerThread) return true;
  const auto& streams = state().streams;
  return std::find(streams.begin(), streams.end(), stream) != streams.end() &&
         stream->device == current_device();
}

}  // namespace detail

using detail::api;
using detail::fail;
using detail::state;

// ---- test controls ----

void reset() {
  kr_emu::detail::state_lock lock;
  detail::platform& s = state();
  if (!s.devices.empty()) detail::synchronize_device();
  s.devices.clear();
  detail::restore_defaults(s);
  detail::last_error() = cudaSuccess;
  detail::current_device() = 0;
}

void set_device_count(int count) {
  kr_emu::detail::state_lock lock;
  if (count < 0) throw std::invalid_argument("kr_emu::set_device_count: negative count");
  detail::platform& s = state();
  s.devices.resize(static_cast<std::size_t>(count),
                   detail::emulated_device{detail::default_properties()});
}

int device_count() {
  kr_emu::detail::state_lock lock;
  return static_cast<int>(state().devices.size());
}

cudaDeviceProp& device_properties(int ordinal) {
  kr_emu::detail::state_lock lock;
  detail::platform& s = state();
  if (ordinal < 0 || ordinal >= static_cast<int>(s.devices.size()))
    throw std::out_of_range("kr_emu::device_properties: no such device");
  return s.devices[static_cast<std::size_t>(ordinal)].properties;
}

void fail_call(const char* function, cudaError_t error, int nth) {
  kr_emu::detail::state_lock lock;
  if (nth < 1) throw std::invalid_argument("kr_emu::fail_call: nth must be at least 1");
  for (int i = 0; i < static_cast<int>(api::count); ++i) {
    if (std::strcmp(detail::api_name(static_cast<api>(i)), function) == 0) {
      state().injections.push_back(detail::injection{static_cast<api>(i), error, nth});
      return;
    }
  }
  throw std::invalid_argument(std::string("kr_emu::fail_call: unknown function ") + function);
}

void clear_injected_failures() {
  kr_emu::detail::state_lock lock;
  state().injections.clear();
}

void set_schedule_seed(std::uint64_t seed) {
  kr_emu::detail::state_lock lock;
  state().schedule_seed = seed;
}

std::uint64_t schedule_seed() {
  kr_emu::detail::state_lock lock;
  return state().schedule_seed;
}

std::size_t live_allocation_count() {
  kr_emu::detail::state_lock lock;
  detail::run_pending();  // stream-ordered frees included
  return state().allocations.size();
}

std::size_t live_allocation_bytes() {
  kr_emu::detail::state_lock lock;
  detail::run_pending();
  return state().live_bytes;
}

const char* last_fault_message() {
  kr_emu::detail::state_lock lock;
  return state().fault_message.c_str();
}

void set_math_mode(math_mode mode) {
  kr_emu::detail::state_lock lock;
  state().math_accurate = mode == math_mode::accurate;
}

math_mode current_math_mode() {
  kr_emu::detail::state_lock lock;
  return state().math_accurate ? math_mode::accurate : math_mode::gpu;
}

unsigned char poison_byte() {
  kr_emu::detail::state_lock lock;
  return detail::poison_for_seed(state().schedule_seed);
}

void set_watchdog_seconds(double seconds) {
  kr_emu::detail::state_lock lock;
  if (!(seconds >= 0)) throw std::invalid_argument("kr_emu::set_watchdog_seconds: negative or NaN");
  state().watchdog_seconds = seconds;
}

void set_no_device_error(cudaError_t error) {
  kr_emu::detail::state_lock lock;
  state().no_device_error = error;
}

void set_sparse_memory(std::size_t capacity) {
  kr_emu::detail::state_lock lock;
  detail::platform& s = state();
  s.sparse_capacity = capacity;
  for (detail::emulated_device& d : s.devices)
    d.properties.totalGlobalMem = capacity != 0 ? capacity : detail::default_properties().totalGlobalMem;
}

bool sparse_memory() {
  kr_emu::detail::state_lock lock;
  return state().sparse_capacity != 0;
}

void set_block_filter(block_filter filter) {
  kr_emu::detail::state_lock lock;
  detail::block_choice c;
  if (filter) {
    c.how = detail::block_choice::kind::callback;
    c.callback = std::move(filter);
  }
  state().blocks = std::move(c);
}

void set_block_filter(std::vector<std::uint64_t> blocks) {
  kr_emu::detail::state_lock lock;
  std::sort(blocks.begin(), blocks.end());
  blocks.erase(std::unique(blocks.begin(), blocks.end()), blocks.end());
  detail::block_choice c;
  c.how = detail::block_choice::kind::list;
  c.list = std::move(blocks);
  state().blocks = std::move(c);
}

void sample_blocks(std::uint64_t count) {
  kr_emu::detail::state_lock lock;
  if (count == 0) throw std::invalid_argument("kr_emu::sample_blocks: a count of 0 runs nothing");
  detail::block_choice c;
  c.how = detail::block_choice::kind::sample;
  c.samples = count;
  state().blocks = std::move(c);
}

void clear_block_filter() {
  kr_emu::detail::state_lock lock;
  state().blocks = detail::block_choice{};
}

bool block_selected(std::uint64_t block, std::uint64_t block_count) {
  kr_emu::detail::state_lock lock;
  return state().blocks.chooses(block, block_count);
}

launch_blocks last_launch_blocks() {
  kr_emu::detail::state_lock lock;
  const detail::launched_blocks& l = state().last_launch;
  return launch_blocks{l.grid_blocks, l.every_block, l.ran};
}

}  // namespace kr_emu
