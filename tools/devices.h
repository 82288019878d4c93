// omu devices: lists the GPUs through the listing export, then opens each one and prints the
// properties and versions the device context captured.
#pragma once

#include "library.h"

namespace omu {

int devices(const library& lib);

}  // namespace omu
