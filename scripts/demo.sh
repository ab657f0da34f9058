#!/usr/bin/env bash
# Builds the system and runs the daemon as root in a temporary root, showing its log as it
# grows. Stop it with Ctrl-C; the temporary root is removed on exit.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "The daemon runs as root: run this script as root (sudo $0)." >&2
  exit 1
fi
bash scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build build -j "$(nproc)" --target Hollin

demo_root=$(mktemp -d /tmp/ravaviza-demo.XXXXXX)
export RAVAVIZA_ROOT="$demo_root"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$demo_root"
}
trap cleanup EXIT INT TERM

echo "demo root: $demo_root"
./build/daemon/Hollin -run &
pids+=($!)

log="$demo_root/Library/Logs/RavAviza/v5/Logs/Hollin-Info-1.log"
for _ in $(seq 50); do [ -f "$log" ] && break; sleep 0.1; done
duration="${DEMO_SECONDS:-0}"
if [ "$duration" -gt 0 ]; then
  timeout "$duration" tail -n +1 -F "$log" || true
else
  tail -n +1 -F "$log"
fi
