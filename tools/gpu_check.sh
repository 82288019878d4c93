#!/usr/bin/env bash
# On a machine with a GPU, what only a GPU can tell, most telling first: builds the real library
# for the GPU present, runs the GPU suite, the benchmark (JSON + SVG, printed next to the memory-
# access profile's modelled ceilings for the same rows), omu check and the end-to-end demo, then
# compute-sanitizer's memcheck, racecheck and synccheck over a representative subset of the GPU
# suite. The emulated suites are left out: they run on every machine without a GPU. Every step has
# its own time limit, and the limits add up to under 8 minutes on a 16-core machine; a step whose
# tool is missing is skipped with a note. Needs only nvcc, CMake and a GoogleTest source tree (the
# system's, or one copied into .gtest/); python3 is optional. Logs go to $OUT (or
# ./gpu-check-out); summary.txt lists every step.
#
# Usage: tools/gpu_check.sh [build-dir]
# Environment: KR_CUDA_ARCHITECTURES (default native: the GPU present),
#              KR_SANITIZER_FILTER (GoogleTest filter of the sanitizer runs).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${OUT:-$root/gpu-check-out}
build=${1:-$root/build-gpu}
mkdir -p "$out"
summary="$out/summary.txt"
: > "$summary"
status=0
started=$(date +%s)

# Kernels with shared memory, barriers and warp collectives, and the runtime paths around them.
# Tests that fault a kernel on purpose (LaunchTest.KernelFault*) stay out: the sanitizers would
# rightly report them.
sanitizer_filter=${KR_SANITIZER_FILTER:-"SaturatingAddTest.*:SoftmaxInt16Test.*:FixedPointTest.*:MemoryUtilitiesTest.*:BufferTest.*:LaunchTest.*:-LaunchTest.KernelFault*"}

note() { echo "$*" | tee -a "$summary"; }

# step NAME SECONDS COMMAND...: runs COMMAND with a time limit, output to NAME.log.
step() {
  local name=$1 limit=$2
  shift 2
  local t0
  t0=$(date +%s)
  echo "== $name"
  timeout --kill-after=10 "$limit" "$@" > "$out/$name.log" 2>&1
  local rc=$?
  tail -n 25 "$out/$name.log"
  local took=$(( $(date +%s) - t0 ))
  if [ $rc -eq 0 ]; then
    note "PASS  $name (${took}s)"
  else
    if [ $rc -eq 124 ]; then
      note "FAIL  $name: over its ${limit}s limit"
    else
      note "FAIL  $name (exit $rc, ${took}s)"
    fi
    status=1
  fi
  return $rc
}

skip() { note "SKIP  $1: $2"; }

if command -v nvidia-smi > /dev/null 2>&1; then
  nvidia-smi > "$out/gpu.txt" 2>&1
  nvidia-smi -L | tee -a "$summary"
else
  skip nvidia-smi "not installed"
fi

nvcc=$(command -v nvcc || true)
[ -z "$nvcc" ] && [ -x /usr/local/cuda/bin/nvcc ] && nvcc=/usr/local/cuda/bin/nvcc
if [ -z "$nvcc" ]; then
  skip build "no nvcc: the GPU library cannot be built here"
  exit 1
fi
args=(-G Ninja -DKR_GPU_TESTS=ON -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CUDA_COMPILER=$nvcc"
      "-DCMAKE_CUDA_ARCHITECTURES=${KR_CUDA_ARCHITECTURES:-native}" -DKR_BUILD_EMULATED=OFF -DKR_BUILD_BENCH=OFF)
command -v ninja > /dev/null 2>&1 || args=("${args[@]:2}")
# GoogleTest: an installed one, the system's source tree, or one copied into .gtest/. Without any,
# the GPU suite and the sanitizer runs over it are left out, and the tools still build and run.
targets=(omu)
if dpkg -s libgtest-dev > /dev/null 2>&1 || [ -f /usr/src/googletest/CMakeLists.txt ] ||
   compgen -G "/usr/lib/*/cmake/GTest/GTestConfig.cmake" > /dev/null ||
   compgen -G "/usr/local/lib*/cmake/GTest/GTestConfig.cmake" > /dev/null; then
  targets+=(kr_tests_gpu)
elif [ -f "$root/.gtest/CMakeLists.txt" ]; then
  args+=("-DKR_GTEST_SOURCE_DIR=$root/.gtest")
  targets+=(kr_tests_gpu)
else
  args+=(-DBUILD_TESTING=OFF)
  note "NOTE  no GoogleTest (libgtest-dev, /usr/src/googletest or .gtest/): the GPU suite and the sanitizer runs are left out"
fi
# Limits (seconds): 40 + 150 + 60 + 75 + 10 + 5 + 25 + 30 + 3 x 25 = 470.
step configure 40 cmake -S "$root" -B "$build" "${args[@]}" || exit 1
step build 150 cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" || exit 1

omu="$build/tools/omu"
gpu_suite="$build/tests/kr_tests_gpu"

if [ -x "$gpu_suite" ]; then
  step gpu_suite 60 "$gpu_suite"
else
  skip gpu_suite "kr_tests_gpu was not built"
fi

if [ -x "$omu" ]; then
  if step omu_bench 75 "$omu" bench --json "$out/bench.json" --svg "$out/bench.svg"; then
    if command -v python3 > /dev/null 2>&1; then
      step bench_output 10 python3 "$root/tests/tools/bench_output_check.py" "$out/bench.json" "$out/bench.svg"
      # The measured ratios beside the profile's ceilings (the profile at the GPU shapes, made on
      # the emulator's profile build and checked in).
      step bench_vs_profile 5 python3 "$root/tools/bench_vs_profile.py" "$out/bench.json" "$root/tools/profile_gpu.json"
      cat "$out/bench_vs_profile.log" >> "$summary"
    else
      skip bench_output "no python3 to read the JSON and SVG back"
    fi
  fi
  step omu_check 25 "$omu" check
  step omu_demo 30 "$omu" demo --json "$out/demo.json"
else
  skip omu "the omu tool was not built"
fi

sanitizer=$(command -v compute-sanitizer || true)
[ -z "$sanitizer" ] && [ -x "$(dirname "$nvcc")/compute-sanitizer" ] && sanitizer="$(dirname "$nvcc")/compute-sanitizer"
if [ -z "$sanitizer" ]; then
  skip compute-sanitizer "not installed"
elif [ ! -x "$gpu_suite" ]; then
  skip compute-sanitizer "kr_tests_gpu was not built"
else
  # API errors are part of the suite (empty grids, refused configurations), so only device-side
  # reports count.
  for tool in memcheck racecheck synccheck; do
    step "sanitizer_$tool" 25 "$sanitizer" --tool "$tool" --report-api-errors no --error-exitcode 99 \
      "$gpu_suite" "--gtest_filter=$sanitizer_filter"
  done
fi

note "total $(( $(date +%s) - started ))s; logs in $out"
exit $status
