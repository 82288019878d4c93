#!/usr/bin/env bash
# Builds everything (the GPU library too when nvcc is present) and runs the whole test suite.
# Usage: tools/test.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
"$root/tools/setup.sh"
# One GPU architecture keeps the nvcc build short; the shipping default (every major architecture)
# is for release builds. KR_CUDA_ARCHITECTURES or a -DCMAKE_CUDA_ARCHITECTURES argument overrides.
cmake -S "$root" -B "$build" -G Ninja "-DCMAKE_CUDA_ARCHITECTURES=${KR_CUDA_ARCHITECTURES:-75}" "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
