// omu profile: the memory-access profile of every benchmark row.
#include "profile.h"

#include <cstdio>

namespace omu {

int memory_profile(const library&, const memory_profile_options&) {
  std::fprintf(stderr, "omu profile: not yet\n");
  return 2;
}

}  // namespace omu
