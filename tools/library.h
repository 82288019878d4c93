// A library loaded at run time, its exports resolved by name as the engine resolves them.
#pragma once

#include <string>

#include "kr_omu.h"

namespace omu {

class library {
 public:
  explicit library(const std::string& path);
  ~library();
  library(const library&) = delete;
  library& operator=(const library&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  // The export of this name (taabe<N>; a decorated entry is resolved through the export registry),
  // or null.
  void* symbol(const char* name) const;

  template <typename F>
  F function(const char* name) const {
    return reinterpret_cast<F>(symbol(name));
  }

 private:
  std::string path_;
  std::string error_;
  void* handle_ = nullptr;
};

}  // namespace omu

// The export `name` of a loaded library, typed by its declaration in the public header (null when
// the library lacks it): OMU_EXPORT(lib, taabe20)(0, &device).
#define OMU_EXPORT(lib, name) ((lib).function<decltype(&::name)>(#name))
