// Names of kernels for fault messages. Kernels are usually internal functions (static, in an
// anonymous namespace, or hidden in a library), which dladdr cannot name, so the module's own
// symbol table (.symtab) is read from its file on first use and searched by address.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform.h"

namespace kr_emu {
namespace detail {
namespace {

struct function_symbol {
  std::uintptr_t start;  // file address
  std::uintptr_t size;
  std::string name;
};

struct module_symbols {
  std::vector<function_symbol> functions;  // sorted by start
};

bool read_at(int fd, void* buffer, std::size_t size, off_t offset) {
  char* p = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t n = pread(fd, p, size, offset);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// The function symbols of an ELF64 file's .symtab; empty when it has none (a stripped file).
module_symbols load_symbols(const char* path) {
  module_symbols result;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return result;
  Elf64_Ehdr header;
  if (read_at(fd, &header, sizeof header, 0) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
      header.e_ident[EI_CLASS] == ELFCLASS64 && header.e_shentsize == sizeof(Elf64_Shdr)) {
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (read_at(fd, sections.data(), sections.size() * sizeof(Elf64_Shdr), static_cast<off_t>(header.e_shoff))) {
      for (const Elf64_Shdr& s : sections) {
        if (s.sh_type != SHT_SYMTAB || s.sh_link >= sections.size() || s.sh_entsize != sizeof(Elf64_Sym)) continue;
        const Elf64_Shdr& strings = sections[s.sh_link];
        std::vector<Elf64_Sym> symbols(s.sh_size / sizeof(Elf64_Sym));
        std::vector<char> names(strings.sh_size + 1, '\0');
        if (!read_at(fd, symbols.data(), symbols.size() * sizeof(Elf64_Sym), static_cast<off_t>(s.sh_offset)) ||
            !read_at(fd, names.data(), strings.sh_size, static_cast<off_t>(strings.sh_offset)))
          break;
        for (const Elf64_Sym& sym : symbols) {
          if (ELF64_ST_TYPE(sym.st_info) != STT_FUNC || sym.st_value == 0 || sym.st_name >= strings.sh_size) continue;
          result.functions.push_back({sym.st_value, sym.st_size, names.data() + sym.st_name});
        }
        break;
      }
    }
  }
  close(fd);
  std::sort(result.functions.begin(), result.functions.end(),
            [](const function_symbol& a, const function_symbol& b) { return a.start < b.start; });
  return result;
}

struct module_lookup {
  const void* address;
  std::uintptr_t bias = 0;
  std::string path;
  bool found = false;
};

int find_module(dl_phdr_info* info, std::size_t, void* data) {
  module_lookup& m = *static_cast<module_lookup*>(data);
  const std::uintptr_t a = reinterpret_cast<std::uintptr_t>(m.address);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& p = info->dlpi_phdr[i];
    if (p.p_type != PT_LOAD) continue;
    const std::uintptr_t start = info->dlpi_addr + p.p_vaddr;
    if (a >= start && a < start + p.p_memsz) {
      m.bias = info->dlpi_addr;
      m.path = info->dlpi_name;
      m.found = true;
      return 1;
    }
  }
  return 0;
}

std::string demangle(const std::string& name) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status),
                                             std::free);
  return status == 0 && text ? std::string(text.get()) : name;
}

}  // namespace

std::string function_name(const void* address) {
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "kernel at %p", address);
  if (address == nullptr) return fallback;
  module_lookup m;
  m.address = address;
  if (dl_iterate_phdr(&find_module, &m) == 0 || !m.found) return fallback;
  if (m.path.empty()) {
    // The main program: its path comes from /proc.
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return fallback;
    m.path.assign(buffer, static_cast<std::size_t>(n));
  }
  static std::map<std::string, module_symbols>* cache = new std::map<std::string, module_symbols>;
  auto it = cache->find(m.path);
  if (it == cache->end()) it = cache->emplace(m.path, load_symbols(m.path.c_str())).first;
  const std::uintptr_t file_address = reinterpret_cast<std::uintptr_t>(address) - m.bias;
  const std::vector<function_symbol>& f = it->second.functions;
  auto after = std::upper_bound(f.begin(), f.end(), file_address,
                                [](std::uintptr_t a, const function_symbol& s) { return a < s.start; });
  if (after != f.begin()) {
    const function_symbol& s = *(after - 1);
    if (file_address < s.start + std::max<std::uintptr_t>(s.size, 1)) return demangle(s.name);
  }
  Dl_info info;
  if (dladdr(address, &info) != 0 && info.dli_sname != nullptr) return demangle(info.dli_sname);
  return fallback;
}

}  // namespace detail
}  // namespace kr_emu
