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
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "../platform.h"
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

struct recorder {
  bool on = false;
  std::uint64_t budget = 0;
  // The launch in progress.
  bool in_launch = false;
  const void* kernel = nullptr;
  std::uint64_t blocks = 0;
  std::uint64_t sampled = 0;
  std::vector<std::uint64_t> sample;  // the blocks that run, ascending; empty: all of them
  std::uint64_t block = ~std::uint64_t{0};  // linear index of the block being recorded
  std::vector<access> accesses;
  std::unordered_map<occurrence_key, std::uint32_t, occurrence_hash> occurrences;
  figures launch;
  std::unordered_set<std::uint64_t> launch_sectors;
  std::vector<std::uint64_t> block_sectors;
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

void finish_block(recorder& r) {
  if (r.accesses.empty()) return;
  r.block_sectors.clear();
  analyse_block(r.accesses, r.launch, &r.block_sectors);
  r.launch_sectors.insert(r.block_sectors.begin(), r.block_sectors.end());
  r.accesses.clear();
  r.occurrences.clear();
}

void record(std::uintptr_t address, std::size_t size, kind what, const void* site) {
  recorder& r = the_recorder();
  if (!r.on || !r.in_launch || !detail::running_kernel()) return;
  space where;
  if (address >= reinterpret_cast<std::uintptr_t>(__start_kr_emu_shared) &&
      address < reinterpret_cast<std::uintptr_t>(__stop_kr_emu_shared)) {
    where = space::shared;
  } else if (in_device_allocation(r, address)) {
    where = space::global;
  } else {
    return;  // the thread's own stack, host memory of the emulator
  }
  const std::uint64_t b = linear_block();
  if (b != r.block) {
    finish_block(r);
    r.block = b;
  }
  const std::uint32_t thread = linear_thread();
  const auto s = reinterpret_cast<std::uintptr_t>(site);
  const std::uint32_t n = r.occurrences[occurrence_key{s, thread}]++;
  r.accesses.push_back(access{s, address, thread, n, static_cast<std::uint32_t>(size), what, where});
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

// "kr::(anonymous namespace)::vector_kernel<3>(float const*, int)" -> "vector_kernel<3>".
std::string short_name(const std::string& full) {
  // The parameter list is the last top-level parenthesis group.
  std::string name = full;
  int depth = 0;
  for (std::size_t i = name.size(); i-- > 0;) {
    if (name[i] == ')') ++depth;
    if (name[i] == '(' && --depth == 0) {
      name.resize(i);
      break;
    }
  }
  // Drop the namespaces before the last top-level "::".
  depth = 0;
  std::size_t cut = 0;
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] == '<' || name[i] == '(') ++depth;
    if (name[i] == '>' || name[i] == ')') --depth;
    if (depth == 0 && name[i] == ':' && name[i + 1] == ':') cut = i + 2;
  }
  return name.substr(cut);
}

}  // namespace

void start(std::uint64_t block_budget) {
  recorder& r = the_recorder();
  r.kernels.clear();
  r.budget = block_budget;
  r.on = true;
}

void stop() { the_recorder().on = false; }

std::vector<kernel_figures> results() {
  std::vector<kernel_figures> out = the_recorder().kernels;
  for (kernel_figures& k : out) k.name = short_name(function_name(k.kernel));
  return out;
}

namespace hooks {

void launch_begin(const void* kernel, std::uint64_t blocks) {
  recorder& r = the_recorder();
  if (!r.on) return;
  r.in_launch = true;
  r.kernel = kernel;
  r.blocks = blocks;
  r.sample.clear();
  r.sampled = blocks;
  if (r.budget != 0 && blocks > r.budget) {
    r.sample = sample_blocks(blocks, r.budget);
    r.sampled = r.sample.size();
  }
  r.block = ~std::uint64_t{0};
  r.launch = figures{};
  r.launch_sectors.clear();
  r.cached_begin = r.cached_end = 0;
}

bool runs_block(std::uint64_t block) {
  const recorder& r = the_recorder();
  if (!r.on || !r.in_launch || r.sample.empty()) return true;
  return std::binary_search(r.sample.begin(), r.sample.end(), block);
}

void launch_end() {
  recorder& r = the_recorder();
  if (!r.on || !r.in_launch) return;
  finish_block(r);
  r.in_launch = false;
  r.launch.unique_sectors = static_cast<double>(r.launch_sectors.size());
  const double scale = r.sampled > 0 ? static_cast<double>(r.blocks) / static_cast<double>(r.sampled) : 0.0;
  kernel_figures* k = nullptr;
  for (kernel_figures& existing : r.kernels)
    if (existing.kernel == r.kernel) k = &existing;
  if (k == nullptr) {
    r.kernels.push_back(kernel_figures{});
    k = &r.kernels.back();
    k->kernel = r.kernel;
  }
  ++k->launches;
  k->blocks += r.blocks;
  k->sampled_blocks += r.sampled;
  k->measured += r.launch.scaled(scale);
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
