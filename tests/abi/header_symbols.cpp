// Takes the address of every export of the export list as the header declares it. This file is
// compiled but never linked: its object file's undefined symbols are the names the compiler gives
// the header's declarations, which the ABI test compares with the export table. A list line
// without a declaration does not compile.
#include "kr_omu.h"
#include "registry/export_list.h"

extern const void* const kr_abi_header_references[];
#define KR_HEADER_REFERENCE(name, link, record, family, role) reinterpret_cast<const void*>(&name),
const void* const kr_abi_header_references[] = {KR_EXPORT_LIST(KR_HEADER_REFERENCE)};
