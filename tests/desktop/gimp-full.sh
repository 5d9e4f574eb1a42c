#!/usr/bin/env bash
# The GIMP plug-in's test with every case's pixels and export, not only its
# layer tree (about three minutes on 2 cores).
#   tests/desktop/gimp-full.sh [BUILD-FOLDER]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DYVN_BUILD_THUMBNAILER=ON -DYVN_BUILD_GIMP=ON >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)"
YVN_DESKTOP_FULL=1 ctest --test-dir "$build" --output-on-failure -R '^Desktop\.Gimp$'
