// Cases of `omu check`: each runs one export once on small data through a session of the loaded
// library and compares the result with a host reference.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "session.h"

namespace omu {

struct check_case {
  const char* symbol;   // export name, taabe<N>; its role comes from the export registry
  const char* variant;  // what distinguishes several cases of one entry; "" for one case
  // Returns true on a match; otherwise fills `detail` with the first mismatch. The buffers it makes
  // are released when it returns.
  bool (*run)(session& ses, std::string& detail);
};

// Buffers of one check case, released when it ends.
using scratch = session::scope;

// True when an entry call failed, with "status N" in `detail`.
inline bool failed_status(kr_status_t status, std::string& detail) {
  if (status == KR_STATUS_SUCCESS) return false;
  detail = "status " + std::to_string(static_cast<int>(status));
  return true;
}

// "element i: got ..., want ..." for the first mismatch of a case.
inline std::string mismatch(size_t i, double got, double want) {
  char s[128];
  std::snprintf(s, sizeof s, "element %zu: got %.9g, want %.9g", i, got, want);
  return s;
}

// One list per family.
std::vector<check_case> float_checks();   // float unary, scalar and pairwise entries
std::vector<check_case> int16_checks();   // 16-bit entries and conversions
std::vector<check_case> broadcast_checks();  // broadcast and row-wise entries
std::vector<check_case> norm_checks();       // normalisation, gate and 16-bit fused entries
std::vector<check_case> conv_checks();       // 16-bit by 8-bit convolutions and linear layers
std::vector<check_case> layout_checks();     // transposes and row quantisation
std::vector<check_case> matmul_checks();     // float and block-quantised matrix multiplication
std::vector<check_case> attention_checks();  // attention, encoding and the key/value cache

// Every case, family by family.
std::vector<check_case> all_checks();

// Operator entries of the export registry without a case, in registry order.
std::vector<std::string> entries_without_check();

int check(const library& lib);

}  // namespace omu
