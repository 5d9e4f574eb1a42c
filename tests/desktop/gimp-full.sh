#!/usr/bin/env bash
# The GIMP plug-in's test over every case in full: each case's pixels and
# its export, not only its layer tree (test.sh's desktop stage does these
# for a few cases, as every GIMP plug-in call starts a process). About three
# minutes on a 2-core machine.
#
# Usage: tests/desktop/gimp-full.sh [BUILD-FOLDER]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
scripts/deps.sh
cmake -S . -B "$build" -G Ninja -DYVN_BUILD_THUMBNAILER=ON -DYVN_BUILD_GIMP=ON >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)"
YVN_DESKTOP_FULL=1 ctest --test-dir "$build" --output-on-failure -R '^Desktop\.Gimp$'
