#!/usr/bin/env bash
# Cross-builds natchat.exe and its unit tests (Release, mingw-w64) in build-win/ and prints the
# executable's path. The build lists the tests by running them under Wine: callers set Wine up
# first (scripts/wine.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/deps.sh" windows >&2
cmake -S . -B build-win --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j"$(nproc)" >/dev/null
echo "$root/build-win/natchat.exe"
