#!/usr/bin/env bash
# Builds the Debian package build-deb/yvn2psd_<version>_<arch>.deb: the
# release program and its man page, packed by CPack. The package must depend
# on the C and C++ runtime, zlib and LittleCMS 2 only, so optional
# accelerators stay off.
#
# Usage: scripts/build-deb.sh [--check-install]
#   --check-install  (root) installs the package with dpkg, runs yvn2psd from
#                    the PATH, converts a PSD there and back, reads
#                    `man yvn2psd`, and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DYVN_BUILD_TESTS=OFF -DYVN_BUILD_BENCH=OFF \
  -DYVN_USE_ISAL=OFF --no-warn-unused-cli >/dev/null
cmake --build build-deb -j"$jobs"
rm -f build-deb/*.deb
(cd build-deb && cpack -G DEB >/dev/null)
deb=$(ls build-deb/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "$deb: Depends: $depends"
for d in $(echo "$depends" | tr ',' '\n' | sed 's/(.*)//; s/ //g'); do
  case $d in
    libc6 | libgcc-s1 | libstdc++6 | zlib1g | liblcms2-2) ;;
    *) echo "FAILED: the package depends on $d" >&2; exit 1 ;;
  esac
done

[ "${1:-}" = --check-install ] || exit 0
if dpkg-query -W -f='${Status}' yvn2psd 2>/dev/null | grep -q "ok installed"; then
  echo "yvn2psd is installed already: not touching it" >&2
  exit 1
fi
command -v man >/dev/null || { echo "man is missing (apt-get install man-db)" >&2; exit 1; }
tmp=$(mktemp -d)
cleanup() {
  dpkg -r yvn2psd >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT
dpkg -i "$deb" >/dev/null
hash -r
[ "$(command -v yvn2psd)" = /usr/bin/yvn2psd ] || { echo "FAILED: yvn2psd is not on the PATH" >&2; exit 1; }
set +e
yvn2psd >"$tmp/usage.txt"
rc=$?
set -e
[ "$rc" -eq 255 ] && grep -q "src-filter" "$tmp/usage.txt" || { echo "FAILED: usage text" >&2; exit 1; }
python3 scripts/make-test-psds.py "$tmp/in"
(cd "$tmp" && yvn2psd -q -W -oyvn 'in/*.psd' && yvn2psd -q -W -opsd 'yvn/*.yvn')
[ "$(ls "$tmp/psd" | wc -l)" -eq "$(ls "$tmp/in" | wc -l)" ] || { echo "FAILED: conversion" >&2; exit 1; }
MANPAGER=cat man yvn2psd 2>/dev/null | grep -q "EXIT STATUS" || { echo "FAILED: man yvn2psd" >&2; exit 1; }
dpkg -r yvn2psd >/dev/null
hash -r
! command -v yvn2psd >/dev/null || { echo "FAILED: yvn2psd still present after dpkg -r" >&2; exit 1; }
echo "ok: $deb installs yvn2psd and its man page, converts, and removes cleanly"
