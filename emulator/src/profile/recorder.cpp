// Recording for the memory-access profile (kr_emu/profile.h): the access hooks that the
// instrumented kernel sources call, the per-launch bookkeeping and the kernels' names. Built only
// in the profile build; these hooks are what GCC's kernel-address instrumentation calls with
// asan-instrumentation-with-call-threshold=0.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "../engine.h"
#include "../platform.h"
#include "kr_emu/control.h"
#include "kr_emu/kernel_name.h"
#include "kr_emu/launch.h"
#include "kr_emu/profile.h"

extern "C" char __start_kr_emu_shared[] __attribute__((visibility("hidden")));
extern "C" char __stop_kr_emu_shared[] __attribute__((visibility("hidden")));

namespace kr_emu {
namespace profile {

namespace {

struct occurrence_key {
  std::uintptr_t site;
  std::uint32_t thread;
  bool operator==(const occurrence_key& o) const { return site == o.site && thread == o.thread; }
};
struct occurrence_hash {
  std::size_t operator()(const occurrence_key& k) const {
    return std::hash<std::uint64_t>()(k.site * 0x9E3779B97F4A7C15ull ^ k.thread);
  }
};

// An operand of one launch (kr_emu/profile.h).
struct launch_operand {
  std::vector<int> arguments;
  std::uint64_t allocation_bytes = 0;
  int unnamed = -1;
};

// An allocation a launch touched: its size, and the values of the pointer arguments into it in
// increasing order, each with its operand (one entry at the base when no argument points into it).
struct allocation_use {
  std::size_t size = 0;
  std::vector<std::pair<std::uintptr_t, std::uint16_t>> starts;
};

// Pointer arguments past this position are not looked at.
constexpr std::size_t max_arguments = 64;

// A launch in progress. Launches on several streams run interleaved, block by block (or even
// within a block): each keeps its own.
struct launch_state {
  const void* kernel = nullptr;
  std::uint64_t blocks = 0;
  std::uint64_t sampled = 0;
  std::uint64_t block = ~std::uint64_t{0};  // linear index of the block being recorded
  std::vector<access> accesses;
  std::unordered_map<occurrence_key, std::uint32_t, occurrence_hash> occurrences;
  figures measured;
  std::unordered_set<std::uint64_t> sectors;
  std::vector<std::uint64_t> block_sectors;
  // The allocations it touched, by base: their sectors bound its unique sectors when only a
  // sample of its blocks ran, since blocks that share an operand would otherwise count it each.
  std::map<std::uintptr_t, allocation_use> allocations;
  std::uintptr_t last_allocation = 0;
  allocation_use* last_use = nullptr;
  std::vector<std::uintptr_t> arguments;  // pointer arguments by position, 0 for the others
  std::vector<launch_operand> operands;
  std::vector<figures> operand_measured;  // by operand
};

struct recorder {
  bool on = false;
  std::uint64_t budget = 0;
  std::map<const void*, launch_state> launches;  // by engine
  const void* cached_key = nullptr;              // the engine of the last access, and its state
  launch_state* cached_launch = nullptr;
  // The allocation the last global access fell in.
  std::uintptr_t cached_begin = 0, cached_end = 0;
  std::vector<kernel_figures> kernels;
};

recorder& the_recorder() {
  static recorder* r = new recorder;  // never destroyed: kernels may run during exit
  return *r;
}

bool in_device_allocation(recorder& r, std::uintptr_t address) {
  if (address >= r.cached_begin && address < r.cached_end) return true;
  const auto& allocations = detail::state().allocations;
  auto it = allocations.upper_bound(address);
  if (it == allocations.begin()) return false;
  --it;
  if (address >= it->first + it->second.size) return false;
  r.cached_begin = it->first;
  r.cached_end = it->first + it->second.size;
  return true;
}

std::uint64_t linear_block() {
  return blockIdx.x + std::uint64_t{gridDim.x} * (blockIdx.y + std::uint64_t{gridDim.y} * blockIdx.z);
}

std::uint32_t linear_thread() {
  return threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
}

// The operands of an allocation the launch touches for the first time.
allocation_use& use_of(launch_state& l, std::uintptr_t begin, std::size_t size) {
  const auto found = l.allocations.find(begin);
  if (found != l.allocations.end()) return found->second;
  allocation_use& use = l.allocations[begin];
  use.size = size;
  for (std::size_t i = 0; i < l.arguments.size(); ++i) {
    const std::uintptr_t p = l.arguments[i];
    if (p < begin || p - begin >= size) continue;
    auto same = std::find_if(use.starts.begin(), use.starts.end(), [&](const auto& s) { return s.first == p; });
    if (same == use.starts.end()) {
      use.starts.emplace_back(p, static_cast<std::uint16_t>(l.operands.size()));
      l.operands.push_back(launch_operand{{}, size, -1});
      same = use.starts.end() - 1;
    }
    l.operands[same->second].arguments.push_back(static_cast<int>(i));
  }
  if (use.starts.empty()) {
    int unnamed = 0;
    for (const launch_operand& o : l.operands) unnamed += o.arguments.empty() ? 1 : 0;
    use.starts.emplace_back(begin, static_cast<std::uint16_t>(l.operands.size()));
    l.operands.push_back(launch_operand{{}, size, unnamed});
  }
  std::sort(use.starts.begin(), use.starts.end());
  return use;
}

std::uint16_t operand_of(const allocation_use& use, std::uintptr_t address) {
  if (use.starts.size() == 1) return use.starts.front().second;
  auto it = std::upper_bound(use.starts.begin(), use.starts.end(), address,
                             [](std::uintptr_t a, const auto& s) { return a < s.first; });
  return it == use.starts.begin() ? it->second : std::prev(it)->second;
}

void finish_block(launch_state& l) {
  if (l.accesses.empty()) return;
  l.block_sectors.clear();
  analyse_block(l.accesses, l.measured, &l.block_sectors, &l.operand_measured);
  l.sectors.insert(l.block_sectors.begin(), l.block_sectors.end());
  l.accesses.clear();
  l.occurrences.clear();
}

void record(std::uintptr_t address, std::size_t size, kind what, const void* site) {
  recorder& r = the_recorder();
  if (!r.on || r.launches.empty() || !detail::running_kernel()) return;
  const void* key = detail::the_engine;
  if (key != r.cached_key) {
    const auto it = r.launches.find(key);
    if (it == r.launches.end()) return;
    r.cached_key = key;
    r.cached_launch = &it->second;
  }
  launch_state& l = *r.cached_launch;
  space where;
  std::uint16_t operand = 0;
  if (address >= reinterpret_cast<std::uintptr_t>(__start_kr_emu_shared) &&
      address < reinterpret_cast<std::uintptr_t>(__stop_kr_emu_shared)) {
    where = space::shared;
  } else if (in_device_allocation(r, address)) {
    where = space::global;
    if (r.cached_begin != l.last_allocation || l.last_use == nullptr) {
      l.last_use = &use_of(l, r.cached_begin, r.cached_end - r.cached_begin);
      l.last_allocation = r.cached_begin;
    }
    operand = operand_of(*l.last_use, address);
  } else {
    return;  // the thread's own stack, host memory of the emulator
  }
  const std::uint64_t b = linear_block();
  if (b != l.block) {
    finish_block(l);
    l.block = b;
  }
  const std::uint32_t thread = linear_thread();
  const auto s = reinterpret_cast<std::uintptr_t>(site);
  const std::uint32_t n = l.occurrences[occurrence_key{s, thread}]++;
  l.accesses.push_back(access{s, address, thread, n, static_cast<std::uint32_t>(size), what, where, operand});
}

// The symbol of the function at `address` from the ELF symbol table of its module (kernels are
// static functions: they are not in the dynamic symbol table that dladdr reads).
std::string function_name(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
  std::string found;
  const int fd = open(info.dli_fname, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return "";
  struct stat st {};
  void* map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size > static_cast<off_t>(sizeof(Elf64_Ehdr)))
    map = mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return "";
  const auto* base = static_cast<const unsigned char*>(map);
  const auto size = static_cast<std::size_t>(st.st_size);
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(base);
  const bool elf64 = std::memcmp(eh->e_ident, ELFMAG, SELFMAG) == 0 && eh->e_ident[EI_CLASS] == ELFCLASS64;
  if (elf64 && eh->e_shoff + std::size_t{eh->e_shnum} * sizeof(Elf64_Shdr) <= size) {
    const auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + eh->e_shoff);
    const std::uintptr_t offset = eh->e_type == ET_DYN ? reinterpret_cast<std::uintptr_t>(info.dli_fbase) : 0;
    const std::uintptr_t wanted = reinterpret_cast<std::uintptr_t>(address) - offset;
    for (unsigned i = 0; i < eh->e_shnum && found.empty(); ++i) {
      const Elf64_Shdr& sh = sections[i];
      if (sh.sh_type != SHT_SYMTAB || sh.sh_link >= eh->e_shnum) continue;
      const Elf64_Shdr& strings = sections[sh.sh_link];
      if (sh.sh_offset + sh.sh_size > size || strings.sh_offset + strings.sh_size > size) continue;
      const auto* symbols = reinterpret_cast<const Elf64_Sym*>(base + sh.sh_offset);
      const std::size_t count = sh.sh_size / sizeof(Elf64_Sym);
      for (std::size_t k = 0; k < count; ++k) {
        const Elf64_Sym& sym = symbols[k];
        if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_name >= strings.sh_size) continue;
        if (wanted >= sym.st_value && wanted < sym.st_value + std::max<Elf64_Xword>(sym.st_size, 1)) {
          found = reinterpret_cast<const char*>(base + strings.sh_offset + sym.st_name);
          break;
        }
      }
    }
  }
  munmap(map, size);
  if (found.empty()) return "";
  int status = 0;
  char* demangled = abi::__cxa_demangle(found.c_str(), nullptr, nullptr, &status);
  if (status != 0 || demangled == nullptr) return found;
  std::string name = demangled;
  std::free(demangled);
  return name;
}

}  // namespace

void start(std::uint64_t block_budget) {
  recorder& r = the_recorder();
  r.kernels.clear();
  r.launches.clear();
  r.cached_key = nullptr;
  r.budget = block_budget;
  // Large launches run the first block, the last and an even spread between them.
  if (block_budget > 0) kr_emu::sample_blocks(block_budget);
  r.on = true;
}

void stop() {
  recorder& r = the_recorder();
  if (r.on && r.budget > 0) kr_emu::clear_block_filter();
  r.on = false;
  r.launches.clear();
  r.cached_key = nullptr;
}

std::vector<kernel_figures> results() {
  std::vector<kernel_figures> out = the_recorder().kernels;
  for (kernel_figures& k : out) {
    const std::string full = function_name(k.kernel);
    k.name = short_kernel_name(full);
    k.parameters = kernel_parameters(full);
    std::stable_sort(k.operands.begin(), k.operands.end(), [](const operand_figures& a, const operand_figures& b) {
      if (a.arguments.empty() != b.arguments.empty()) return b.arguments.empty();
      return a.arguments.empty() ? a.unnamed < b.unnamed : a.arguments < b.arguments;
    });
  }
  return out;
}

namespace {

// Adds the launch's figures per operand to the kernel's, merging operands by their arguments (or,
// unnamed, by allocation size and order).
void add_operands(launch_state& l, double scale, kernel_figures& k) {
  l.operand_measured.resize(l.operands.size());
  // Each distinct sector of the launch belongs to the operand its first byte falls in.
  for (const std::uint64_t sector : l.sectors) {
    const std::uintptr_t address = static_cast<std::uintptr_t>(sector * 32);
    auto it = l.allocations.upper_bound(address);
    if (it == l.allocations.begin()) continue;
    --it;
    if (address - it->first >= it->second.size) continue;
    l.operand_measured[operand_of(it->second, address)].unique_sectors += 1;
  }
  for (std::size_t i = 0; i < l.operands.size(); ++i) {
    const launch_operand& o = l.operands[i];
    figures f = l.operand_measured[i].scaled(scale);
    if (l.sampled < l.blocks) f.unique_sectors = std::min(f.unique_sectors, static_cast<double>((o.allocation_bytes + 31) / 32 + 1));
    operand_figures* into = nullptr;
    for (operand_figures& existing : k.operands) {
      const bool same = o.arguments.empty() ? existing.arguments.empty() && existing.unnamed == o.unnamed &&
                                                   existing.allocation_bytes == o.allocation_bytes
                                             : existing.arguments == o.arguments;
      if (same) into = &existing;
    }
    if (into == nullptr) {
      k.operands.push_back(operand_figures{o.arguments, o.allocation_bytes, o.unnamed, figures{}});
      into = &k.operands.back();
    }
    into->measured += f;
  }
}

}  // namespace

namespace hooks {

void launch_begin(const void* launch, const void* kernel, std::uint64_t blocks, std::uint64_t runs) {
  recorder& r = the_recorder();
  if (!r.on) return;
  launch_state& l = r.launches[launch];
  l = launch_state{};
  l.kernel = kernel;
  l.blocks = blocks;
  l.sampled = runs;
  // The engine running the launch holds its copy of the arguments.
  const void* call = static_cast<const detail::engine*>(launch)->call;
  if (call != nullptr) {
    const auto* header = static_cast<const detail::call_header*>(call);
    const void* values[max_arguments] = {};
    const std::size_t count = std::min(header->pointer_arguments(header, values, max_arguments), max_arguments);
    for (std::size_t i = 0; i < count; ++i) l.arguments.push_back(reinterpret_cast<std::uintptr_t>(values[i]));
  }
  r.cached_key = nullptr;
  r.cached_begin = r.cached_end = 0;
}

void launch_end(const void* launch) {
  recorder& r = the_recorder();
  if (!r.on) return;
  const auto it = r.launches.find(launch);
  if (it == r.launches.end()) return;
  launch_state& l = it->second;
  finish_block(l);
  l.measured.unique_sectors = static_cast<double>(l.sectors.size());
  const double scale = l.sampled > 0 ? static_cast<double>(l.blocks) / static_cast<double>(l.sampled) : 0.0;
  kernel_figures* k = nullptr;
  for (kernel_figures& existing : r.kernels)
    if (existing.kernel == l.kernel) k = &existing;
  if (k == nullptr) {
    r.kernels.push_back(kernel_figures{});
    k = &r.kernels.back();
    k->kernel = l.kernel;
  }
  ++k->launches;
  k->blocks += l.blocks;
  k->sampled_blocks += l.sampled;
  figures f = l.measured.scaled(scale);
  if (l.sampled < l.blocks) {
    double footprint = 0;
    for (const auto& a : l.allocations) footprint += static_cast<double>((a.second.size + 31) / 32 + 1);
    f.unique_sectors = std::min(f.unique_sectors, footprint);
  }
  k->measured += f;
  add_operands(l, scale, *k);
  r.launches.erase(it);
  r.cached_key = nullptr;
}

void atomic(const void* address, std::size_t size, const void* site) {
  record(reinterpret_cast<std::uintptr_t>(address), size, kind::atomic, site);
}

}  // namespace hooks

}  // namespace profile

namespace detail {
void profile_atomic(const void* address, std::size_t size, const void* site) {
  profile::hooks::atomic(address, size, site);
}
}  // namespace detail
}  // namespace kr_emu

// The instrumentation's entry points: one per access of the instrumented code.
#define KR_EMU_PROFILE_HOOKS(n)                                                                  \
  extern "C" void __asan_load##n##_noabort(std::uintptr_t address) {                             \
    kr_emu::profile::record(address, n, kr_emu::profile::kind::load, __builtin_return_address(0)); \
  }                                                                                              \
  extern "C" void __asan_store##n##_noabort(std::uintptr_t address) {                            \
    kr_emu::profile::record(address, n, kr_emu::profile::kind::store, __builtin_return_address(0)); \
  }
KR_EMU_PROFILE_HOOKS(1)
KR_EMU_PROFILE_HOOKS(2)
KR_EMU_PROFILE_HOOKS(4)
KR_EMU_PROFILE_HOOKS(8)
KR_EMU_PROFILE_HOOKS(16)
#undef KR_EMU_PROFILE_HOOKS
extern "C" void __asan_loadN_noabort(std::uintptr_t address, std::size_t size) {
  kr_emu::profile::record(address, size, kr_emu::profile::kind::load, __builtin_return_address(0));
}
extern "C" void __asan_storeN_noabort(std::uintptr_t address, std::size_t size) {
  kr_emu::profile::record(address, size, kr_emu::profile::kind::store, __builtin_return_address(0));
}
// Called before noreturn calls (a trap); nothing to do.
extern "C" void __asan_handle_no_return() {}
