#!/usr/bin/env bash
# Builds the Debian packages in build-deb/, packed by CPack: yvn2psd (the
# release program and its man page), libyvn2psd1 (the shared library) and
# libyvn2psd-dev (the header, the static library, the CMake package and the
# pkg-config file). They must depend on the C and C++ runtime, zlib,
# LittleCMS 2 and each other only, so optional accelerators stay off.
#
# Usage: scripts/build-deb.sh [--check-install]
#   --check-install  (root) installs the package with dpkg, runs yvn2psd from
#                    the PATH, converts a PSD there and back, reads
#                    `man yvn2psd`, and removes the package again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DYVN_BUILD_TESTS=OFF -DYVN_BUILD_BENCH=OFF \
  -DYVN_BUILD_THUMBNAILER=ON -DYVN_BUILD_GIMP=ON \
  -DYVN_USE_ISAL=OFF --no-warn-unused-cli >/dev/null
cmake --build build-deb -j"$jobs"
rm -f build-deb/*.deb
(cd build-deb && cpack -G DEB >/dev/null)
for deb in build-deb/*.deb; do
  depends=$(dpkg-deb -f "$deb" Depends)
  echo "$deb: Depends: $depends"
  for d in $(echo "$depends" | tr ',' '\n' | sed 's/(.*)//; s/ //g'); do
    case $d in
      libc6 | libgcc-s1 | libstdc++6 | zlib1g | liblcms2-2 | libyvn2psd1) ;;
      # The thumbnailer's and the GIMP plug-in's own packages.
      libpng16-16 | shared-mime-info | gimp | libgimp2.0 | libglib2.0-0 | libgtk2.0-0 | libgegl-0.4-0 | libbabl-0.1-0)
        case $deb in *thumbnailer* | *gimp*) ;; *) echo "FAILED: $deb depends on $d" >&2; exit 1 ;; esac ;;
      *) echo "FAILED: $deb depends on $d" >&2; exit 1 ;;
    esac
  done
done
deb=$(ls build-deb/yvn2psd_*.deb)
contents=$(for d in build-deb/*.deb; do dpkg-deb -c "$d"; done | awk '{print $6}' | sed 's|^\./||')
for want in 'usr/lib/.*/libyvn2psd\.so\.1' usr/include/yvn2psd.h 'usr/lib/.*/libyvn2psd\.a' \
            'usr/lib/.*/pkgconfig/yvn2psd\.pc' 'usr/lib/.*/cmake/yvn2psd/yvn2psdConfig\.cmake' \
            usr/bin/yvn2psd-thumbnailer usr/share/thumbnailers/yvn2psd.thumbnailer usr/share/mime/packages/yvn2psd.xml \
            'usr/lib/gimp/2.0/plug-ins/file-yvn/file-yvn'; do
  echo "$contents" | grep -qx "$want" || { echo "FAILED: no $want in the packages" >&2; exit 1; }
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
