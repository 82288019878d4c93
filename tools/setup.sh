#!/usr/bin/env bash
# Installs what building and testing needs on a fresh Debian machine (idempotent).
set -euo pipefail
need=()
dpkg -s libboost-context-dev >/dev/null 2>&1 || need+=(libboost-context-dev)
dpkg -s libgtest-dev >/dev/null 2>&1 || [ -f /usr/src/googletest/CMakeLists.txt ] || need+=(libgtest-dev)
dpkg -s libbenchmark-dev >/dev/null 2>&1 || need+=(libbenchmark-dev)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v clang++ >/dev/null 2>&1 || need+=(clang)
# llvm-nm reads the Windows object files of the export-name check.
command -v llvm-nm >/dev/null 2>&1 || ls /usr/bin/llvm-nm-* >/dev/null 2>&1 || need+=(llvm)
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${need[@]}"
fi
