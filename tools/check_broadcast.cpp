// omu check cases of the broadcast and row-wise entries.
#include "check.h"

namespace omu {

std::vector<check_case> broadcast_checks() { return {}; }

}  // namespace omu
