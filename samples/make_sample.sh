#!/usr/bin/env bash
# Remakes samples/sample.yvn with the program itself: make_sample.py writes a
# small layered PSD, and yvn2psd converts it.
# Usage: samples/make_sample.sh [path/to/yvn2psd]   (default: build/yvn2psd)
set -euo pipefail
cd "$(dirname "$0")/.."
exe=${1:-build/yvn2psd}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
python3 samples/make_sample.py "$tmp/sample.psd"
"$exe" -q -W "$tmp/sample.psd" samples/sample.yvn
echo "wrote samples/sample.yvn ($(wc -c < samples/sample.yvn) bytes)"
