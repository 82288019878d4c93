#!/usr/bin/env bash
# Configures and builds the memory-access profile build of the emulated library and omu (a build
# directory of its own: the instrumentation cannot share one with the sanitizers), then prints the
# profile of every benchmark row.
# Usage: tools/profile.sh [build-dir] [omu profile arguments...]   (default build-profile)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-profile}
shift || true
cmake -S "$root" -B "$build" -G Ninja -DKR_PROFILE=memory -DKR_BUILD_BENCH=OFF
cmake --build "$build" -j "$(nproc)" --target omu
"$build/tools/omu" --emulated profile "$@"
