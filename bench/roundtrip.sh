#!/usr/bin/env bash
# Converts a 4096 x 4096 paint-like PSD of 12 layers to .yvn and back with
# the release binary, and prints wall time and peak memory of each step.
#
#   bench/roundtrip.sh [--no-build]
#
# The input, paint-4096-12L.psd, is made on first use by the shared generator
# (../shared/bench/make_psd.py beside the source tree, about a minute; needs
# Debian's python3-numpy and python3-psd-tools) in $BENCH_DATA, else in
# bench-data/ at the top of the source tree, and reused afterwards. Outputs
# go to a temporary folder there and are removed at the end.
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD=1
[ "${1:-}" = "--no-build" ] && BUILD=0

if [ ! -x /usr/bin/time ]; then
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time </dev/null >/dev/null
  else
    echo "needs /usr/bin/time (Debian package time)" >&2
    exit 1
  fi
fi

# A build folder of its own, so that the test and sample builds keep theirs.
if [ "$BUILD" -eq 1 ]; then
  cmake -S . -B build-roundtrip -G Ninja -DCMAKE_BUILD_TYPE=Release -DYVN_BUILD_TESTS=OFF -DYVN_BUILD_BENCH=OFF >/dev/null
  cmake --build build-roundtrip --target yvn2psd >/dev/null
fi
EXE=$PWD/build-roundtrip/yvn2psd

DATA=${BENCH_DATA:-bench-data}
mkdir -p "$DATA"
DATA=$(cd "$DATA" && pwd)
INPUT=$DATA/paint-4096-12L.psd
if [ ! -f "$INPUT" ]; then
  echo "generating $INPUT ..."
  /usr/bin/python3 ../shared/bench/make_psd.py "$DATA" --only paint-4096-12L.psd
fi

WORK=$(mktemp -d "$DATA/roundtrip.XXXXXX")
trap 'rm -rf "$WORK"' EXIT

# step NAME ARGS...: runs the converter under /usr/bin/time -v and prints one line.
step() {
  local name=$1
  shift
  /usr/bin/time -v -o "$WORK/time.txt" "$EXE" -q -W "$@" >"$WORK/out.txt"
  if [ -s "$WORK/out.txt" ]; then
    cat "$WORK/out.txt" >&2
    echo "$name failed" >&2
    exit 1
  fi
  local wall rss cpu
  wall=$(sed -n 's/.*Elapsed (wall clock) time (h:mm:ss or m:ss): //p' "$WORK/time.txt")
  rss=$(sed -n 's/.*Maximum resident set size (kbytes): //p' "$WORK/time.txt")
  # CPU time beside wall time: far less sensitive to other load on the machine.
  cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%.2f", s }' "$WORK/time.txt")
  printf '%-34s wall %8s   cpu %7ss   peak RSS %6d MiB\n' "$name" "$wall" "$cpu" $((rss / 1024))
}

size() { printf '%d MiB' $(($(stat -c %s "$1") / 1048576)); }

echo "input: $INPUT ($(size "$INPUT"))"
step "PSD -> .yvn (compressed)" "$INPUT" "$WORK/paint.yvn"
step "PSD -> .yvn (-z0, not compressed)" -z0 "$INPUT" "$WORK/plain.yvn"
step ".yvn -> PSD" "$WORK/paint.yvn" "$WORK/paint.psd"
echo "sizes: .yvn $(size "$WORK/paint.yvn"), .yvn -z0 $(size "$WORK/plain.yvn"), PSD back $(size "$WORK/paint.psd")"
