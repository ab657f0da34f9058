#!/usr/bin/env bash
# Installs the dependencies, configures, builds and runs every test.
# Extra arguments go to ctest (for example: -L foundation).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
preset=default
if [ "${CI:-}" = "true" ]; then preset=ci; fi
cmake --preset "$preset"
cmake --build build -j "$(nproc)"
cd build
ctest --output-on-failure -j "$(nproc)" --timeout 600 "$@"
