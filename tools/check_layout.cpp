// omu check cases of the transpose and row-quantisation entries.
#include "check.h"

namespace omu {

std::vector<check_case> layout_checks() { return {}; }

}  // namespace omu
