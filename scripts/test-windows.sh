#!/usr/bin/env bash
# Cross-builds natchat.exe and its unit tests with mingw-w64, runs the tests under Wine, and, as
# root, chats across the NAT lab between natchat.exe under Wine and the Linux natchat.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/deps.sh" windows
export WINEDEBUG=-all
export WINEPREFIX=${WINEPREFIX:-$root/build-win/wineprefix}

# One wineserver for the whole run: left to itself it ends a few seconds after its last client,
# and a test started just then fails to connect to it. Wine's own services start with the
# first client and live as long as the server; started here, they hold no test's output open.
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null
trap 'wineserver -k 2>/dev/null || true' EXIT
wineboot --init >/dev/null 2>&1 </dev/null

cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-win -j"$(nproc)" >/dev/null

wine build-win/natchat.exe --help >build-win/help.txt
grep -q "^Usage: .*natchat.exe \[peer_ip peer_port\]" build-win/help.txt
echo "natchat.exe --help: usage text, exit code 0"

ctest --test-dir build-win -L unit -j"$(nproc)" --output-on-failure

if [ "$(id -u)" -eq 0 ]; then
  [ -x build/natchat ] || { cmake -S . -B build >/dev/null && cmake --build build --target natchat >/dev/null; }
  python3 tests/lab/e2e.py windows --natchat build/natchat --natchat-exe build-win/natchat.exe
else
  echo "skipped: the Windows chat across the NAT lab needs root"
fi
