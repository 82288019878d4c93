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
  out->operands = static_cast<int32_t>(k.operands.size());
  return 0;
}

extern "C" __attribute__((visibility("default"))) int32_t kr_emu_profile_operand(int32_t i, int32_t j,
                                                                                 kr_emu_profile_operand_figures* out) {
  if (out == nullptr || i < 0 || static_cast<std::size_t>(i) >= recorded().size()) return 1;
  const kr_emu::profile::kernel_figures& k = recorded()[static_cast<std::size_t>(i)];
  if (j < 0 || static_cast<std::size_t>(j) >= k.operands.size()) return 1;
  const kr_emu::profile::operand_figures& o = k.operands[static_cast<std::size_t>(j)];
  *out = kr_emu_profile_operand_figures{};
  for (int32_t& a : out->arguments) a = -1;
  for (std::size_t a = 0; a < o.arguments.size() && a < 4; ++a) out->arguments[a] = o.arguments[a];
  out->argument_count = static_cast<int32_t>(o.arguments.size());
  out->unnamed = o.unnamed;
  if (!o.arguments.empty() && static_cast<std::size_t>(o.arguments.front()) < k.parameters.size())
    std::strncpy(out->parameter, k.parameters[static_cast<std::size_t>(o.arguments.front())].c_str(), sizeof out->parameter - 1);
  out->allocation_bytes = o.allocation_bytes;
  out->global_requests = o.measured.global_requests;
  out->global_sectors = o.measured.global_sectors;
  out->useful_bytes = o.measured.useful_bytes;
  out->unique_sectors = o.measured.unique_sectors;
  return 0;
}
