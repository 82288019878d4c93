// The names the Windows DLL's exports get: the public header's declarations compiled by clang++ for
// x86_64-pc-windows-msvc (declarations need no Windows SDK) and read back with llvm-nm. The object
// of header_symbols.cpp references every export, so its undefined symbols are the names an engine
// built with MSVC links against, and (with the library's own dllexport declarations) the names the
// DLL defines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "registry/exports.h"

#if !defined(KR_CLANGXX) || !defined(KR_LLVM_NM) || !defined(KR_INCLUDE_DIR) || !defined(KR_SOURCE_DIR) || \
    !defined(KR_HEADER_SYMBOLS_SOURCE) || !defined(KR_WORK_DIR)
#error "KR_CLANGXX, KR_LLVM_NM, KR_INCLUDE_DIR, KR_SOURCE_DIR, KR_HEADER_SYMBOLS_SOURCE and KR_WORK_DIR must be defined"
#endif

namespace {

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// Compiles header_symbols.cpp for the Windows target and returns the undefined symbols of the
// object, or fails the test.
std::set<std::string> undefined_symbols(const std::string& object, const std::string& extra_flags) {
  const std::string obj = std::string(KR_WORK_DIR) + "/" + object;
  const std::string compile = quoted(KR_CLANGXX) + " --target=x86_64-pc-windows-msvc -std=c++17 -c " + extra_flags +
                              " -I" + quoted(KR_INCLUDE_DIR) + " -I" + quoted(KR_SOURCE_DIR) + " " + quoted(KR_HEADER_SYMBOLS_SOURCE) + " -o " +
                              quoted(obj) + " 2>&1";
  std::set<std::string> symbols;
  if (std::system(compile.c_str()) != 0) {
    ADD_FAILURE() << "compile failed: " << compile;
    return symbols;
  }
  const std::string nm = quoted(KR_LLVM_NM) + " --undefined-only --format=just-symbols " + quoted(obj);
  FILE* pipe = popen(nm.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << nm;
    return symbols;
  }
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::string name(line);
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r' || name.back() == ' ')) name.pop_back();
    if (!name.empty()) symbols.insert(name);
  }
  EXPECT_EQ(pclose(pipe), 0) << nm;
  return symbols;
}

std::string difference(const std::set<std::string>& a, const std::set<std::string>& b) {
  std::ostringstream out;
  for (const std::string& s : a) {
    if (b.count(s) == 0) out << "  " << s << "\n";
  }
  return out.str();
}

struct side {
  const char* object;
  const char* flags;
  const char* prefix;  // dllimport references go through the import table's __imp_ pointer
};

void expect_names(const side& s) {
  std::set<std::string> expected;
  for (const kr_exports::entry& e : kr_exports::table) expected.insert(s.prefix + kr_exports::msvc_symbol(e));
  const std::set<std::string> actual = undefined_symbols(s.object, s.flags);
  EXPECT_EQ(actual, expected) << "expected but not produced:\n"
                              << difference(expected, actual) << "produced but not expected:\n"
                              << difference(actual, expected);
}

// The engine's side: the header without KR_OMU_BUILDING_LIBRARY declares every export dllimport.
TEST(WindowsNames, EngineImportsDecoratedEntriesUnderMsvcNamesAndTheRestBare) {
  expect_names({"engine.obj", "", "__imp_"});
}

// The library's side: the same declarations as dllexport name the symbols the DLL defines.
TEST(WindowsNames, LibraryExportsDecoratedEntriesUnderMsvcNamesAndTheRestBare) {
  expect_names({"library.obj", "-DKR_OMU_BUILDING_LIBRARY", ""});
}

}  // namespace
