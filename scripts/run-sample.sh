#!/usr/bin/env bash
# Builds the release binary and converts the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# Its own build folder, so that it never reconfigures the test build.
cmake -S . -B build-sample -G Ninja -DCMAKE_BUILD_TYPE=Release -DYVN_BUILD_TESTS=OFF -DYVN_BUILD_BENCH=OFF
cmake --build build-sample --target yvn2psd
mkdir -p out
./build-sample/yvn2psd -W -o"out" samples/sample.yvn
echo "wrote out/sample.psd"
