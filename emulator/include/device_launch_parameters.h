// The built-in index variables, declared with the rest of the device facilities.
#pragma once

#include "cuda_runtime.h"
