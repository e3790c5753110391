#!/usr/bin/env bash
# Builds natchat (Release) in build-release/ when needed and prints the binary's path.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-release"
if ! command -v cmake >/dev/null || ! command -v g++ >/dev/null || [ ! -f /usr/include/gcrypt.h ]; then
  "$root/scripts/deps.sh" build >&2
fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNATCHAT_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target natchat -j"$(nproc)" >/dev/null
echo "$build/natchat"
