// The export table, expanded from the export list: name, linkage, argument record of a decorated
// entry, family and role, with the dynamic symbol of each export as Linux and Windows name it.
#pragma once

#include <cstring>
#include <string>

#include "registry/export_list.h"

namespace kr_exports {

enum class linkage { undecorated, decorated, data };

struct entry {
  const char* name;    // taabe<N>, or the data value's name
  linkage link;
  const char* record;  // argument record of a decorated entry (part of its symbol); "" otherwise
  const char* family;  // operator family, or device / buffer / memory
  const char* role;    // what it does, in a few words
};

#define KR_EXPORT_ENTRY(name, link, record, family, role) {#name, linkage::link, #record, #family, role},
inline constexpr entry table[] = {KR_EXPORT_LIST(KR_EXPORT_ENTRY)};
#undef KR_EXPORT_ENTRY

// An operator entry: anything but the device, buffer and memory operations and the data value.
inline bool is_operator(const entry& e) {
  return std::strcmp(e.family, "device") != 0 && std::strcmp(e.family, "buffer") != 0 &&
         std::strcmp(e.family, "memory") != 0;
}

// The dynamic symbol of an export: the bare name, or for a decorated entry the Itanium name of
// `kr_status_t name(kr_omu_device*, kr_omu_operator*, record*)`.
inline std::string symbol(const entry& e) {
  if (e.link != linkage::decorated) return e.name;
  return "_Z" + std::to_string(std::strlen(e.name)) + e.name + "P13kr_omu_deviceP15kr_omu_operatorP" +
         std::to_string(std::strlen(e.record)) + e.record;
}

// The symbol of an export in the Windows DLL: the bare name, or for a decorated entry the MSVC x64
// name of the same signature (Y: free function, A: __cdecl, ?AW4: enum return type, PEAU: 64-bit
// pointer to a struct, @: end of the parameters, Z: an empty throw list).
inline std::string msvc_symbol(const entry& e) {
  if (e.link != linkage::decorated) return e.name;
  return std::string("?") + e.name + "@@YA?AW4kr_status_t@@PEAUkr_omu_device@@PEAUkr_omu_operator@@PEAU" +
         e.record + "@@@Z";
}

inline const entry* find(const std::string& name) {
  for (const entry& e : table) {
    if (name == e.name) return &e;
  }
  return nullptr;
}

// The dynamic symbol of a table name; any other string is returned unchanged.
inline std::string symbol_of(const std::string& name) {
  const entry* e = find(name);
  return e != nullptr ? symbol(*e) : name;
}

// The role of a table name, or the name itself.
inline const char* role_of(const char* name) {
  const entry* e = find(name);
  return e != nullptr ? e->role : name;
}

}  // namespace kr_exports
