#!/usr/bin/env bash
# Builds natchat and runs every test: unit tests (plain, AddressSanitizer+UBSan, ThreadSanitizer),
# the fuzz targets for a bounded time, the NAT lab end to end (as root), the Windows build under
# Wine, and the packages. Installs what is missing first (as root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=$(nproc)
fuzz_seconds=${NATCHAT_FUZZ_SECONDS:-30}

step() { printf '\n=== %s\n' "$*"; }

"$root/scripts/deps.sh" test windows package

build() {  # build DIR [cmake options...]
  local dir=$1; shift
  cmake -S "$root" -B "$root/$dir" "$@" >/dev/null
  cmake --build "$root/$dir" -j"$jobs" >/dev/null
}

step "layers"
python3 scripts/check-layers.py

step "unit tests"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build -L unit -j"$jobs" --output-on-failure

step "unit tests under AddressSanitizer and UBSan"
CXX=clang++ build build-asan -DCMAKE_BUILD_TYPE=Debug -DNATCHAT_SANITIZE=address,undefined
ctest --test-dir build-asan -L unit -j"$jobs" --output-on-failure

step "unit tests under ThreadSanitizer"
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNATCHAT_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -L unit -j"$jobs" --output-on-failure

step "fuzzing, ${fuzz_seconds} s a target"
CXX=clang++ build build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNATCHAT_TESTS=OFF \
  -DNATCHAT_FUZZ=ON -DNATCHAT_SANITIZE=address,undefined
for target in stun_response_fuzz peer_datagram_fuzz secure_link_fuzz turn_message_fuzz portmap_answer_fuzz; do
  corpus="build-fuzz/corpus-$target"
  mkdir -p "$corpus"
  "build-fuzz/tests/fuzz/$target" -max_total_time="$fuzz_seconds" -max_len=4096 \
    -print_final_stats=0 "$corpus" "tests/fuzz/seeds/$target" 2>"build-fuzz/$target.log" || {
      tail -40 "build-fuzz/$target.log"; echo "fuzz target $target found a fault"; exit 1; }
  echo "$target: no finding in ${fuzz_seconds} s"
done

step "NAT lab, end to end"
if [ "$(id -u)" -eq 0 ]; then
  ctest --test-dir build -L lab -j"$jobs" --output-on-failure
else
  echo "skipped: the NAT lab needs root"
fi

if [ -x scripts/test-windows.sh ]; then
  step "Windows build under Wine"
  scripts/test-windows.sh
fi

step "packages: the .deb, its manual page, the Windows zip"
scripts/test-package.sh

step "all tests passed"
