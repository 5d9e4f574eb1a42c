#!/usr/bin/env bash
# Builds the release binary and converts the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DYVN_BUILD_TESTS=OFF -DYVN_BUILD_BENCH=OFF
cmake --build build --target yvn2psd
if [ -f samples/sample.yvn ]; then
  mkdir -p out
  ./build/yvn2psd -W -o"out" samples/sample.yvn
  echo "wrote out/sample.psd"
else
  ./build/yvn2psd || true
  echo "the bundled sample and the conversion arrive with the end-to-end work"
fi
