#!/usr/bin/env bash
# On a machine with a GPU: builds the real library for the GPU present, runs the whole test suite
# against it, then the omu tool's device listing, check table, end-to-end demo and benchmark
# (JSON + SVG), and compute-sanitizer's memcheck, racecheck and synccheck over a representative
# subset of the GPU suite. Meant to finish within 10 minutes; every step has its own time limit and
# a step whose tool is missing is skipped with a note. Needs only nvcc, CMake and a GoogleTest
# source tree (the system's, or one copied into .gtest/); Boost.Context, Google Benchmark and
# python3 are optional. Logs go to $OUT (or ./gpu-check-out); summary.txt lists every step.
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
sanitizer_filter=${KR_SANITIZER_FILTER:-"FloatUnaryTest.*:ScalarTest.*:PairwiseTest.*:Int16ElementwiseTest.*:SaturatingAddTest.*:SoftmaxInt16Test.*:FixedPointTest.*:MemoryUtilitiesTest.*:BufferTest.*:LaunchTest.*:-LaunchTest.KernelFault*"}

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
      "-DCMAKE_CUDA_ARCHITECTURES=${KR_CUDA_ARCHITECTURES:-native}")
command -v ninja > /dev/null 2>&1 || args=("${args[@]:2}")
if ! dpkg -s libgtest-dev > /dev/null 2>&1 && [ -f "$root/.gtest/CMakeLists.txt" ]; then
  args+=("-DKR_GTEST_SOURCE_DIR=$root/.gtest")
fi
step configure 120 cmake -S "$root" -B "$build" "${args[@]}" || exit 1
step build 300 cmake --build "$build" -j "$(nproc)" || exit 1

omu="$build/tools/omu"
gpu_suite="$build/tests/kr_tests_gpu"

# The whole suite: CTest (emulated suites, ABI, package, tools...) without the GPU suite, which
# runs next on its own with a full log.
step ctest 240 ctest --test-dir "$build" --output-on-failure -j "$(nproc)" -E '^library_gpu$'
if [ -x "$gpu_suite" ]; then
  step gpu_suite 180 "$gpu_suite"
else
  skip gpu_suite "kr_tests_gpu was not built"
fi

if [ -x "$omu" ]; then
  step omu_devices 60 "$omu" devices
  step omu_check 120 "$omu" check
  # omu demo: the end-to-end models on the GPU (runs once the tool has the command).
  omu_usage=$("$omu" 2>&1 || true)
  if grep -q '^  demo' <<< "$omu_usage"; then
    step omu_demo 180 "$omu" demo --json "$out/demo.json"
  else
    skip omu_demo "this omu has no demo command yet"
  fi
  if step omu_bench 240 "$omu" bench --json "$out/bench.json" --svg "$out/bench.svg"; then
    if command -v python3 > /dev/null 2>&1; then
      step bench_output 30 python3 "$root/tests/tools/bench_output_check.py" "$out/bench.json" "$out/bench.svg"
    else
      skip bench_output "no python3 to read the JSON and SVG back"
    fi
  fi
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
    step "sanitizer_$tool" 150 "$sanitizer" --tool "$tool" --report-api-errors no --error-exitcode 99 \
      "$gpu_suite" "--gtest_filter=$sanitizer_filter"
  done
fi

note "total $(( $(date +%s) - started ))s; logs in $out"
exit $status
