// omu check cases of the attention, encoding and key/value cache entries.
#include "check.h"

namespace omu {

std::vector<check_case> attention_checks() { return {}; }

}  // namespace omu
