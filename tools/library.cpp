// Loading a built library and resolving its exports through the export registry.
#include "library.h"

#include <dlfcn.h>

#include "registry/exports.h"

namespace omu {

library::library(const std::string& path) : path_(path) {
  // NODELETE keeps the library's static state reachable until exit, as for an engine that never unloads it.
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle_ == nullptr) {
    const char* e = dlerror();
    error_ = e != nullptr ? e : "dlopen failed";
  }
}

library::~library() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* library::symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, kr_exports::symbol_of(name).c_str()) : nullptr;
}

}  // namespace omu
