#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test.
#   scripts/test.sh [--asan] [ctest arguments...]
# --asan builds with clang under AddressSanitizer and UndefinedBehaviorSanitizer (into build-asan)
# and runs the suite there. Extra arguments go to ctest (for example: -L foundation).
# JOBS sets the build and test parallelism (default: the number of processors).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=false
if [ "${1:-}" = "--asan" ]; then
  sanitize=true
  shift
fi
jobs="${JOBS:-$(nproc)}"

bash scripts/install-deps.sh

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

if $sanitize; then
  cmake --preset asan "${launcher[@]}"
  cmake --build build-asan -j "$jobs"
  # The test preset carries the sanitizers' options (see CMakePresets.json).
  ctest --preset asan -j "$jobs" "$@"
else
  preset=default
  if [ "${CI:-}" = "true" ]; then preset=ci; fi
  cmake --preset "$preset" "${launcher[@]}"
  cmake --build build -j "$jobs"
  cd build
  ctest --output-on-failure -j "$jobs" --timeout 600 "$@"
fi
