#!/usr/bin/env bash
# Builds natchat (Release) when needed and runs it: scripts/run.sh [peer_ip peer_port]
set -euo pipefail
natchat=$("$(dirname "$0")/build-release.sh")
exec "$natchat" "$@"
