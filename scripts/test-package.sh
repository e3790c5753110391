#!/usr/bin/env bash
# Builds the packages (scripts/package.sh) and checks what users get: the .deb unpacks to a
# natchat that runs, it depends on the libgcrypt it links, its manual page renders, and the zip
# holds a natchat.exe that runs under Wine beside the README and the licenses.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/deps.sh" package windows
out=$(scripts/package.sh)
version=$(sed -n 's/^project(natchat VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
deb="$out/natchat_${version}_$(dpkg --print-architecture).deb"
zip="$out/natchat-$version-win64.zip"
ls -l "$deb" "$zip"

scratch=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

dpkg-deb -x "$deb" "$scratch/deb"
said=$("$scratch/deb/usr/bin/natchat" --version) && [ "$said" = "natchat $version" ] ||
  fail "the .deb's natchat --version"
echo "the .deb's natchat --version: natchat $version"
dpkg-deb -I "$deb" | grep -E '^ Depends: .*\blibgcrypt20\b' || fail "the .deb depends on no libgcrypt20"
[ -s "$scratch/deb/usr/share/doc/natchat/README.md" ] || fail "the .deb holds no README"

page="$scratch/deb/usr/share/man/man1/natchat.1"
MANWIDTH=80 man --warnings -l -P cat "$page" >"$scratch/man.txt" 2>"$scratch/man.err" </dev/null
[ ! -s "$scratch/man.err" ] || { cat "$scratch/man.err"; fail "groff warns about the manual page"; }
grep -q "^SYNOPSIS" "$scratch/man.txt" && grep -q "natchat $version" "$scratch/man.txt" ||
  fail "the manual page renders without its synopsis or version"
echo "man -l natchat.1: $(wc -l <"$scratch/man.txt") lines, no warning"

unzip -q "$zip" -d "$scratch/zip"
(cd "$scratch/zip" && find . -type f | LC_ALL=C sort) >"$scratch/zip.txt"
for f in LICENSE README.md THIRD-PARTY-NOTICES.txt natchat.exe; do echo "./natchat-$version-win64/$f"; done |
  diff - "$scratch/zip.txt" || fail "the zip's files"
source "$root/scripts/wine.sh"
said=$(wine "$scratch/zip/natchat-$version-win64/natchat.exe" --version) &&
  [ "$said" = "natchat $version"$'\r' ] ||  # Windows ends its lines with CR LF
  fail "the zip's natchat.exe --version under Wine"
echo "the zip's natchat.exe --version under Wine: natchat $version"
