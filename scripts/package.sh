#!/usr/bin/env bash
# Builds natchat's packages with CPack and prints the folder that holds them:
#   natchat_<version>_<arch>.deb    the program (linking the system's libgcrypt), manual page, README
#   natchat-<version>-win64.zip     the self-contained natchat.exe, README, LICENSE, third-party notices
# Usage: scripts/package.sh [folder]   (build-package/ unless given)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=$(mkdir -p "${1:-build-package}" && cd "${1:-build-package}" && pwd)
"$root/scripts/deps.sh" package windows >&2

# The notices must name the very builds natchat.exe takes in.
for p in libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev mingw-w64-x86-64-dev \
         gcc-mingw-w64-x86-64-posix-runtime; do
  v=$(dpkg-query -W -f='${Version}' "$p")
  grep -qF "from $p $v " THIRD-PARTY-NOTICES.txt || {
    echo "THIRD-PARTY-NOTICES.txt does not name $p $v, which natchat.exe links: update it" >&2
    exit 1
  }
done

pack() {  # pack BUILD_DIR GENERATOR: CPack's result moves to the output folder
  rm -rf "$1/package"
  (cd "$1" && cpack -G "$2" -B "$1/package" >/dev/null)
  mv "$1"/package/natchat[-_]* "$out/"
}

rm -f "$out"/natchat[-_]*
"$root/scripts/build-release.sh" >/dev/null
pack "$root/build-release" DEB

# The build lists the Windows unit tests under Wine.
trap 'wineserver -k 2>/dev/null || true' EXIT
source "$root/scripts/wine.sh"
"$root/scripts/build-windows.sh" >/dev/null
pack "$root/build-win" ZIP

echo "$out"
