#!/usr/bin/env bash
# Builds the program and runs the whole test suite: a release build, the
# Windows build under Wine, an AddressSanitizer + UndefinedBehaviorSanitizer
# build, and a short fuzz run of every harness. Each stage prints its time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
stage() { echo "stage $1: $(( SECONDS - t0 )) s"; t0=$SECONDS; }
t0=$SECONDS

# Tests that need the real PSD files of the shared corpus skip without it;
# they are named at the end of each stage.
corpus_skips() {
  local log=$1/Testing/Temporary/LastTest.log
  grep -q 'PSD corpus not found' "$log" 2>/dev/null || return 0
  echo "Skipped for want of the PSD corpus (../shared/corpus/psd, or YVN_PSD_CORPUS):"
  awk '/^[0-9]+\/[0-9]+ Testing: /{t=$3} /PSD corpus not found/{print "  " t}' "$log" | sort -u
}

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DYVN_BUILD_BENCH=OFF
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
corpus_skips build
stage release

# Desktop integration (docs/desktop.md): the thumbnailer, the MIME type and
# the GIMP plug-in, added to the release build and tested as installed.
cmake -S . -B build -DYVN_BUILD_THUMBNAILER=ON -DYVN_BUILD_GIMP=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -L desktop
stage desktop

# The WebAssembly build (docs/web.md): the npm package's tests in Node and
# one batch through the page in headless Chromium, against the native
# program built without ISA-L (zlib deflates in both).
scripts/build-web.sh
cmake -S . -B build-web/native -G Ninja -DCMAKE_BUILD_TYPE=Release -DYVN_USE_ISAL=OFF \
  -DYVN_BUILD_TESTS=OFF -DYVN_BUILD_BENCH=OFF
cmake --build build-web/native -j"$jobs" --target yvn2psd
(cd tests/web && npm ci --no-audit --no-fund --loglevel=error && node --test)
stage web

# The Windows program, cross-built with MinGW-w64 and checked under Wine
# against this release build (see the README).
scripts/test-windows.sh build/yvn2psd ||
  { echo "FAILED: the Windows build under Wine (scripts/test-windows.sh)" >&2; exit 1; }
stage windows

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DYVN_SANITIZE=ON -DYVN_BUILD_BENCH=OFF
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"
corpus_skips build-asan
stage sanitizer

# Fuzz smoke run: every harness for about 15 s over its committed seeds
# (clang build in build-fuzz); a finding fails the run.
fuzz/run.sh 15
stage fuzz
