#!/usr/bin/env bash
# Installs what the build and the tests need, when it is missing (Debian).
set -euo pipefail
need=()
have() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
for p in cmake ninja-build g++ zlib1g-dev liblcms2-dev libisal-dev libgtest-dev libgmock-dev libbenchmark-dev \
         python3-psd-tools imagemagick clang libclang-rt-dev \
         g++-mingw-w64-x86-64-posix libz-mingw-w64-dev googletest wine64 \
         emscripten dpkg-dev chromium fonts-wqy-microhei \
         libpng-dev shared-mime-info xdg-utils libfile-mimeinfo-perl libglib2.0-bin python3-pil python3-numpy \
         gimp libgimp2.0-dev; do
  have "$p" || need+=("$p")
done
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
  echo "missing packages: ${need[*]} (install them with apt-get)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" </dev/null
