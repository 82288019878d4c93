// The binary interface of each built shared library: the exact exported symbols, their linkage, and
// nothing else of ours in the dynamic symbol table.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "registry/exports.h"

#ifndef KR_ABI_LIBRARIES
#error "KR_ABI_LIBRARIES must name the shared libraries to check, separated by |"
#endif
#ifndef KR_ABI_HEADER
#error "KR_ABI_HEADER must name the public header"
#endif
#ifndef KR_ABI_HEADER_SYMBOLS_OBJECT
#error "KR_ABI_HEADER_SYMBOLS_OBJECT must name the compiled header_symbols.cpp object"
#endif

namespace {

enum Linkage { kUndecorated, kDecorated, kData };

struct Export {
  std::string name;  // taabe<N>, or the data value's name
  Linkage linkage;
  std::string role;
  std::string record;  // argument record of a decorated entry; its type is part of the symbol
  std::string symbol;  // exactly as in the dynamic symbol table (Itanium mangling when decorated)
};

// All 77 exports, from the export registry. Each library must export every one of them and nothing
// else.
std::vector<Export> make_exports() {
  std::vector<Export> exports;
  for (const kr_exports::entry& e : kr_exports::table) {
    const Linkage linkage = e.link == kr_exports::linkage::decorated ? kDecorated
                            : e.link == kr_exports::linkage::data    ? kData
                                                                      : kUndecorated;
    exports.push_back(Export{e.name, linkage, e.role, e.record, kr_exports::symbol(e)});
  }
  return exports;
}
const std::vector<Export> kExports = make_exports();

// Symbols the static linker defines in every shared library; they are not exports of ours.
const std::set<std::string> kToolchainSymbols = {
    "_init",  "_fini",   "_edata",        "_end",        "__bss_start",
    "_etext", "__end__", "__bss_start__", "__bss_end__", "_bss_end__",
};

// AddressSanitizer adds an ODR indicator beside every exported variable (GCC and Clang spellings).
const char* const kOdrIndicatorPrefixes[] = {"__odr_asan.", "__odr_asan_gen_"};

// ---------------------------------------------------------------------------------------------
// A minimal reader of ELF symbol tables (64-bit little-endian, the only platform tested here).

struct ElfSymbol {
  std::string name;
  unsigned bind;        // STB_*
  unsigned type;        // STT_*
  unsigned visibility;  // STV_*
  uint16_t section;     // SHN_UNDEF when the symbol is only referenced
  uint64_t size;
};

// Reads the symbols of the first section of type `section_type`: SHT_DYNSYM for what a shared
// library exports and imports, SHT_SYMTAB for a relocatable object. Returns false and explains why
// in `error` when the file is not a well-formed ELF file of this kind.
bool read_elf_symbols(const std::string& path, uint32_t section_type, std::vector<ElfSymbol>* out,
                      std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot open " + path;
    return false;
  }
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                         std::istreambuf_iterator<char>());
  auto fits = [&](uint64_t offset, uint64_t length) {
    return offset <= bytes.size() && length <= bytes.size() - offset;
  };
  auto fail = [&](const std::string& why) {
    *error = path + ": " + why;
    return false;
  };

  Elf64_Ehdr header;
  if (!fits(0, sizeof(header))) return fail("shorter than an ELF header");
  std::memcpy(&header, bytes.data(), sizeof(header));
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0) return fail("not an ELF file");
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB) {
    return fail("not a 64-bit little-endian ELF file");
  }
  if (header.e_shoff == 0) return fail("no section headers");
  if (header.e_shentsize != sizeof(Elf64_Shdr)) return fail("unexpected section header size");

  auto section_at = [&](uint64_t index, Elf64_Shdr* section) {
    const uint64_t offset = header.e_shoff + index * sizeof(Elf64_Shdr);
    if (!fits(offset, sizeof(Elf64_Shdr))) return false;
    std::memcpy(section, bytes.data() + offset, sizeof(Elf64_Shdr));
    return true;
  };
  // With 65280 sections or more the count lives in the first section header.
  uint64_t section_count = header.e_shnum;
  if (section_count == 0) {
    Elf64_Shdr first;
    if (!section_at(0, &first)) return fail("section header table outside the file");
    section_count = first.sh_size;
  }

  for (uint64_t i = 0; i < section_count; ++i) {
    Elf64_Shdr symbols;
    if (!section_at(i, &symbols)) return fail("section header table outside the file");
    if (symbols.sh_type != section_type) continue;

    if (symbols.sh_entsize != sizeof(Elf64_Sym)) return fail("unexpected symbol entry size");
    if (!fits(symbols.sh_offset, symbols.sh_size)) return fail("symbol table outside the file");
    Elf64_Shdr strings;
    if (symbols.sh_link >= section_count || !section_at(symbols.sh_link, &strings) ||
        strings.sh_type != SHT_STRTAB || !fits(strings.sh_offset, strings.sh_size)) {
      return fail("symbol table without a valid string table");
    }
    const char* names = reinterpret_cast<const char*>(bytes.data() + strings.sh_offset);

    out->clear();
    // Entry 0 is the reserved null symbol.
    for (uint64_t j = 1; j < symbols.sh_size / sizeof(Elf64_Sym); ++j) {
      Elf64_Sym symbol;
      std::memcpy(&symbol, bytes.data() + symbols.sh_offset + j * sizeof(Elf64_Sym),
                  sizeof(symbol));
      if (symbol.st_name >= strings.sh_size) return fail("symbol name outside the string table");
      const size_t length = strnlen(names + symbol.st_name, strings.sh_size - symbol.st_name);
      if (symbol.st_name + length == strings.sh_size) return fail("unterminated symbol name");
      out->push_back(ElfSymbol{std::string(names + symbol.st_name, length),
                               static_cast<unsigned>(ELF64_ST_BIND(symbol.st_info)),
                               static_cast<unsigned>(ELF64_ST_TYPE(symbol.st_info)),
                               static_cast<unsigned>(ELF64_ST_VISIBILITY(symbol.st_other)),
                               symbol.st_shndx, symbol.st_size});
    }
    return true;
  }
  return fail(section_type == SHT_DYNSYM ? "no dynamic symbol table" : "no symbol table");
}

// What a library exports to the dynamic linker: defined, global or weak, and not hidden.
bool is_exported_definition(const ElfSymbol& s) {
  return s.section != SHN_UNDEF &&
         (s.bind == STB_GLOBAL || s.bind == STB_WEAK || s.bind == STB_GNU_UNIQUE) &&
         (s.visibility == STV_DEFAULT || s.visibility == STV_PROTECTED);
}

std::string demangle(const char* symbol) {
  int status = 0;
  char* text = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
  std::string result = status == 0 && text != nullptr ? text : "";
  std::free(text);
  return result;
}

const Export* find_by_symbol(const std::string& symbol) {
  for (const Export& e : kExports) {
    if (symbol == e.symbol) return &e;
  }
  return nullptr;
}

const Export* find_by_name(const std::string& name) {
  for (const Export& e : kExports) {
    if (name == e.name) return &e;
  }
  return nullptr;
}

bool is_toolchain_symbol(const std::string& symbol) {
  if (kToolchainSymbols.count(symbol) != 0) return true;
  for (const char* prefix : kOdrIndicatorPrefixes) {
    const size_t length = std::strlen(prefix);
    if (symbol.compare(0, length, prefix) == 0) {
      const Export* e = find_by_symbol(symbol.substr(length));
      return e != nullptr && e->linkage == kData;
    }
  }
  return false;
}

// Names the table export a stray symbol most likely stands for, to make a wrong linkage obvious.
std::string explain_stray(const std::string& symbol) {
  if (const Export* e = find_by_name(symbol)) {
    if (e->linkage == kDecorated)
      return " (" + symbol + " must be exported with decorated linkage)";
  }
  const std::string signature = demangle(symbol.c_str());
  if (!signature.empty()) {
    const std::string name = signature.substr(0, signature.find('('));
    if (const Export* e = find_by_name(name)) {
      if (e->linkage != kDecorated) {
        return " (" + signature + ": " + name + " must be exported with undecorated linkage)";
      }
      return " (" + signature + ": parameter types differ from " + e->symbol + ")";
    }
    return " (" + signature + ")";
  }
  return "";
}

// ---------------------------------------------------------------------------------------------
// The table itself, and the header's declarations against it

TEST(ExportTable, ListsEveryExportOnceWithItsLinkage) {
  std::set<std::string> names, symbols;
  int counts[3] = {0, 0, 0};
  for (const Export& e : kExports) {
    EXPECT_TRUE(names.insert(e.name).second) << "duplicate " << e.name;
    EXPECT_TRUE(symbols.insert(e.symbol).second) << "duplicate " << e.symbol;
    ++counts[e.linkage];
  }
  EXPECT_EQ(names.size(), 77u);
  EXPECT_EQ(counts[kDecorated], 52);
  EXPECT_EQ(counts[kUndecorated], 24);
  EXPECT_EQ(counts[kData], 1);
}

TEST(ExportTable, SymbolsSpellTheirSignatures) {
  for (const Export& e : kExports) {
    SCOPED_TRACE(e.name);
    if (e.linkage == kDecorated) {
      EXPECT_EQ(demangle(e.symbol.c_str()),
                e.name + "(kr_omu_device*, kr_omu_operator*, " + e.record + "*)");
    } else {
      EXPECT_EQ(e.symbol, e.name);
      EXPECT_EQ(e.record, "");
    }
  }
}

// header_symbols.cpp takes the address of every export the header declares and is compiled but
// never linked, so its object file's undefined symbols are the names this compiler gives the
// header's declarations.
TEST(ExportTable, HeaderDeclarationsCompileToTheTableSymbols) {
  std::vector<ElfSymbol> symbols;
  std::string error;
  ASSERT_TRUE(read_elf_symbols(KR_ABI_HEADER_SYMBOLS_OBJECT, SHT_SYMTAB, &symbols, &error))
      << error;
  std::set<std::string> referenced;
  for (const ElfSymbol& s : symbols) {
    if (s.section == SHN_UNDEF) referenced.insert(s.name);
  }
  for (const Export& e : kExports) {
    EXPECT_EQ(referenced.count(e.symbol), 1u) << "the header does not declare " << e.symbol;
  }
  for (const std::string& name : referenced) {
    if (name.find("taabe") != std::string::npos && find_by_symbol(name) == nullptr) {
      ADD_FAILURE() << "the header declares " << name << explain_stray(name);
    }
  }
}

// The header-symbol object is expanded from the export list, so a declaration that the list lacks
// would not show there: every exported declaration of the header must name a table export.
TEST(ExportTable, HeaderDeclaresExactlyTheTableExports) {
  std::ifstream in(KR_ABI_HEADER);
  ASSERT_TRUE(in) << KR_ABI_HEADER;
  std::stringstream text;
  text << in.rdbuf();
  const std::string header = text.str();
  const std::regex declaration(R"(KR_OMU_EXPORT[^;(]*?\b(taabe[0-9]+|NvOptimusEnablementCuda)\b)");
  std::set<std::string> declared;
  for (std::sregex_iterator it(header.begin(), header.end(), declaration), end; it != end; ++it) {
    declared.insert((*it)[1].str());
  }
  std::set<std::string> listed;
  for (const Export& e : kExports) listed.insert(e.name);
  EXPECT_EQ(declared, listed);
}

// ---------------------------------------------------------------------------------------------
// Each built library

std::vector<std::string> libraries() {
  std::vector<std::string> paths;
  const std::string list = KR_ABI_LIBRARIES;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t end = std::min(list.find('|', start), list.size());
    if (end > start) paths.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return paths;
}

class Library : public ::testing::TestWithParam<std::string> {};

TEST_P(Library, LoadsAndResolvesEveryExport) {
  const std::string& path = GetParam();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const std::string why = dlerror();
    if (why.find("libcuda") != std::string::npos || why.find("libnvidia") != std::string::npos) {
      FAIL() << path << " does not load on a machine without the NVIDIA driver: " << why
             << "\nThe library must load without a GPU; the CUDA runtime it carries opens the "
                "driver itself at the first CUDA call, so nothing may link the driver directly.";
    }
    FAIL() << "dlopen failed: " << why;
  }
  for (const Export& e : kExports) {
    dlerror();
    void* address = dlsym(handle, e.symbol.c_str());
    EXPECT_NE(address, nullptr) << e.symbol << " (" << e.role
                                << ") does not resolve: " << dlerror();
    if (e.linkage == kData && address != nullptr) {
      EXPECT_EQ(*static_cast<const int32_t*>(address), 1) << e.symbol;
    }
  }
  EXPECT_EQ(dlclose(handle), 0) << dlerror();
}

TEST_P(Library, ExportsExactlyTheTableEntries) {
  std::vector<ElfSymbol> symbols;
  std::string error;
  ASSERT_TRUE(read_elf_symbols(GetParam(), SHT_DYNSYM, &symbols, &error)) << error;

  std::set<std::string> exported;
  for (const ElfSymbol& s : symbols) {
    if (!is_exported_definition(s) || is_toolchain_symbol(s.name)) continue;
    exported.insert(s.name);
    const Export* e = find_by_symbol(s.name);
    if (e == nullptr) {
      ADD_FAILURE() << "exports " << s.name << ", which is not in the export table"
                    << explain_stray(s.name);
      continue;
    }
    if (e->linkage == kData) {
      EXPECT_EQ(s.type, unsigned{STT_OBJECT}) << s.name << " must be data";
      EXPECT_EQ(s.size, 4u) << s.name << " must be a 32-bit value";
    } else {
      EXPECT_EQ(s.type, unsigned{STT_FUNC}) << s.name << " must be a function";
    }
  }
  for (const Export& e : kExports) {
    EXPECT_EQ(exported.count(e.symbol), 1u) << "does not export " << e.symbol << " (" << e.role << ")";
  }
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.substr(info.param.find_last_of('/') + 1);
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name + "_" + std::to_string(info.index);
}

INSTANTIATE_TEST_SUITE_P(Built, Library, ::testing::ValuesIn(libraries()), test_name);

}  // namespace
