// Exports of the profile build's emulated library (kr_emu/profile_abi.h): linked into that library
// as an object of its own, so that they stay visible where everything from the emulator's static
// library is hidden.
#include <cstring>
#include <vector>

#include "kr_emu/profile.h"
#include "kr_emu/profile_abi.h"

namespace {
std::vector<kr_emu::profile::kernel_figures>& recorded() {
  static std::vector<kr_emu::profile::kernel_figures> kernels;
  return kernels;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) void kr_emu_profile_start(uint64_t block_budget) {
  recorded().clear();
  kr_emu::profile::start(block_budget);
}

extern "C" __attribute__((visibility("default"))) int32_t kr_emu_profile_stop(void) {
  kr_emu::profile::stop();
  recorded() = kr_emu::profile::results();
  return static_cast<int32_t>(recorded().size());
}

extern "C" __attribute__((visibility("default"))) int32_t kr_emu_profile_kernel(int32_t i, kr_emu_profile_figures* out) {
  if (out == nullptr || i < 0 || static_cast<std::size_t>(i) >= recorded().size()) return 1;
  const kr_emu::profile::kernel_figures& k = recorded()[static_cast<std::size_t>(i)];
  *out = kr_emu_profile_figures{};
  std::strncpy(out->name, k.name.c_str(), sizeof out->name - 1);
  out->launches = k.launches;
  out->blocks = k.blocks;
  out->sampled_blocks = k.sampled_blocks;
  const kr_emu::profile::figures& f = k.measured;
  out->global_requests = f.global_requests;
  out->global_sectors = f.global_sectors;
  out->useful_bytes = f.useful_bytes;
  out->unique_sectors = f.unique_sectors;
  out->shared_requests = f.shared_requests;
  out->shared_ways = f.shared_ways;
  out->shared_ways_max = f.shared_ways_max;
  out->atomics = f.atomics;
  out->atomic_requests = f.atomic_requests;
  out->atomic_same_address = f.atomic_same_address;
  return 0;
}
