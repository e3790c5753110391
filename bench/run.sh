#!/usr/bin/env bash
# Runs natchat's benchmarks in the NAT lab (root) and prints the table README.md carries.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" demo
apt_need=()
command -v turnutils_stunclient >/dev/null || apt_need+=(coturn)
command -v nc >/dev/null || apt_need+=(netcat-openbsd)
[ ${#apt_need[@]} -eq 0 ] || apt-get install -y -qq "${apt_need[@]}" >/dev/null
build="$root/build-release"
[ -f "$build/CMakeCache.txt" ] ||
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DNATCHAT_TESTS=OFF >/dev/null
cmake --build "$build" --target natchat -j"$(nproc)" >/dev/null
exec python3 "$root/bench/lab_bench.py" --natchat "$build/natchat" "$@"
