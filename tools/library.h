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

  // The export of this name (taabe<N>, decorated entries resolved through the export list), or null.
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

// Subcommands.
int devices(const library& lib);
int check(const library& lib);

}  // namespace omu
