#!/usr/bin/env bash
# Cross-builds natchat.exe and its unit tests with mingw-w64, runs the tests under Wine, and, as
# root, chats across the NAT lab between natchat.exe under Wine and the Linux natchat.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/deps.sh" windows
# Before the build: it runs the test executable under Wine to list its tests.
trap 'wineserver -k 2>/dev/null || true' EXIT
source "$root/scripts/wine.sh"
natchat_exe=$("$root/scripts/build-windows.sh")

wine "$natchat_exe" --help >build-win/help.txt
grep -q "^Usage: .*natchat.exe \[peer_ip peer_port\]" build-win/help.txt
echo "natchat.exe --help: usage text, exit code 0"

ctest --test-dir build-win -L unit -j"$(nproc)" --output-on-failure

if [ "$(id -u)" -eq 0 ]; then
  [ -x build/natchat ] || { cmake -S . -B build >/dev/null && cmake --build build --target natchat >/dev/null; }
  python3 tests/lab/e2e.py windows --natchat build/natchat --natchat-exe build-win/natchat.exe
else
  echo "skipped: the Windows chat across the NAT lab needs root"
fi
