// Kernel names as the profile and the static report print them, from a demangled name:
// "kr::(anonymous namespace)::vector_kernel<3>(float const*, int)" is "vector_kernel<3>", and its
// parameters are "float const*" and "int". Header only: the emulator's recorder and the omu tool
// both use it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kr_emu {

// Where the parameter list of a demangled function name opens (its last top-level parenthesis
// group), or npos when it has none.
inline std::size_t parameter_list_start(const std::string& full) {
  int depth = 0;
  for (std::size_t i = full.size(); i-- > 0;) {
    if (full[i] == ')') ++depth;
    if (full[i] == '(' && --depth == 0) return i;
  }
  return std::string::npos;
}

// The name without its parameters and without the namespaces before its last top-level "::".
inline std::string short_kernel_name(const std::string& full) {
  std::string name = full.substr(0, parameter_list_start(full));
  int depth = 0;
  std::size_t cut = 0;
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (name[i] == '<' || name[i] == '(') ++depth;
    if (name[i] == '>' || name[i] == ')') --depth;
    if (depth == 0 && name[i] == ':' && name[i + 1] == ':') cut = i + 2;
  }
  return name.substr(cut);
}

// The parameter types, in order (empty for "f()" or a name without a parameter list).
inline std::vector<std::string> kernel_parameters(const std::string& full) {
  std::vector<std::string> out;
  const std::size_t open = parameter_list_start(full);
  if (open == std::string::npos) return out;
  const std::size_t close = full.rfind(')');
  std::string current;
  int depth = 0;
  for (std::size_t i = open + 1; i < close; ++i) {
    const char c = full[i];
    if (c == '<' || c == '(') ++depth;
    if (c == '>' || c == ')') --depth;
    if (depth == 0 && c == ',') {
      out.push_back(current);
      current.clear();
    } else if (!(current.empty() && c == ' ')) {
      current += c;
    }
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

}  // namespace kr_emu
