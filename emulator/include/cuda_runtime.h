// The CUDA runtime header for the host compiler: the library's .cu sources include this when they
// are built as C++ for the emulated library, and the toolkit's header when nvcc builds them.
#pragma once

#include "driver_types.h"
#include "vector_types.h"
#include "cuda_runtime_api.h"
#include "kr_emu/device.h"
#include "kr_emu/launch.h"
