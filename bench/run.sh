#!/usr/bin/env bash
# Runs natchat's benchmarks in the NAT lab (root) and prints the table README.md carries.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh" bench
natchat=$("$root/scripts/build-release.sh")
exec python3 "$root/bench/lab_bench.py" --natchat "$natchat" "$@"
