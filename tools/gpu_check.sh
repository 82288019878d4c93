#!/usr/bin/env bash
# On a machine with a GPU: builds the real library, runs the whole test suite against it, then the
# omu tool's device listing, check table and throughput benchmark. Needs only nvcc, CMake and a
# GoogleTest source tree (the system's, or one copied into .gtest/); Boost.Context and Google
# Benchmark are optional there. Logs go to $OUT (or ./gpu-check-out).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${OUT:-$root/gpu-check-out}
build=${1:-$root/build-gpu}
mkdir -p "$out"
args=(-G Ninja -DKR_GPU_TESTS=ON -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CUDA_ARCHITECTURES=${KR_CUDA_ARCHITECTURES:-75}")
if ! dpkg -s libgtest-dev >/dev/null 2>&1 && [ -f "$root/.gtest/CMakeLists.txt" ]; then
  args+=("-DKR_GTEST_SOURCE_DIR=$root/.gtest")
fi
nvidia-smi -L 2>&1 | tee "$out/gpu.txt"
status=0
cmake -S "$root" -B "$build" "${args[@]}" 2>&1 | tee "$out/configure.log" || exit 1
cmake --build "$build" -j "$(nproc)" 2>&1 | tail -n 30 | tee "$out/build.log" || exit 1
ctest --test-dir "$build" --output-on-failure 2>&1 | tee "$out/ctest.log" || status=1
"$build/tests/kr_tests_gpu" 2>&1 | tail -n 40 > "$out/kr_tests_gpu.log" || status=1
"$build/tools/omu" devices 2>&1 | tee "$out/omu_devices.log" || status=1
"$build/tools/omu" check 2>&1 | tee "$out/omu_check.log" || status=1
"$build/tools/omu" bench 2>&1 | tee "$out/omu_bench.log" || status=1
exit $status
