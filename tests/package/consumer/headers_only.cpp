// Compiles against the installed header alone, as an engine that binds the exports at run time does.
#include "kr_omu.h"

int main() {
  kr_omu_op_pairwise_args_t args{};
  return static_cast<int>(sizeof args == 0) + static_cast<int>(KR_STATUS_SUCCESS);
}
