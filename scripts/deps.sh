#!/usr/bin/env bash
# Installs, when missing, the Debian packages that natchat's build and tests need. Run as root.
# Usage: scripts/deps.sh [build|test|demo|bench|windows|package]...
set -euo pipefail

declare -A wanted=(
  [build]="cmake g++ make libgcrypt20-dev libminiupnpc-dev"
  [test]="cmake g++ make libgtest-dev libgcrypt20-dev libminiupnpc-dev miniupnpd-nftables clang libclang-rt-14-dev coturn iproute2 nftables python3 netcat-openbsd procps tcpdump tmux"
  [demo]="cmake g++ make libgcrypt20-dev libminiupnpc-dev coturn iproute2 nftables python3 tmux"
  [bench]="cmake g++ make libgcrypt20-dev libminiupnpc-dev miniupnpd-nftables coturn iproute2 nftables python3 netcat-openbsd"
  [windows]="g++-mingw-w64-x86-64-posix googletest wine wine64 libgcrypt-mingw-w64-dev"
  # dpkg-shlibdeps (dpkg-dev, file) lists the .deb's libraries; man-db and unzip check the results.
  [package]="cmake g++ make libgcrypt20-dev libminiupnpc-dev dpkg-dev file man-db unzip"
)

packages=()
for need in "${@:-build}"; do
  for p in ${wanted[$need]}; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || packages+=("$p")
  done
done
[ ${#packages[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "natchat needs these packages: ${packages[*]} (run as root to install them)" >&2
  exit 1
fi
echo "Installing: ${packages[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq || true
apt-get install -y -qq "${packages[@]}" >/dev/null
