#!/usr/bin/env bash
# Builds natchat (Release) when needed and runs it: scripts/run.sh [peer_ip peer_port]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"
if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null; then
  "$root/scripts/deps.sh" build
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNATCHAT_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target natchat -j"$(nproc)" >/dev/null
exec "$build/natchat" "$@"
