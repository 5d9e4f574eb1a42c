#!/usr/bin/env bash
# Time and peak memory of yvn2psd-thumbnailer on the 4096 x 4096, 12-layer
# painting (bench-data/paint-4096-12L.psd, made by bench/make_psd.py on
# first use, converted to .yvn): at 256 pixels, which its stored thumbnail
# serves, against the bar of 0.5 s and 200 MiB; at 512 and 1024, which
# compose the merged image. Medians of RUNS runs under /usr/bin/time.
#
#   bench/thumbnailer.sh [-r RUNS] [BUILD-FOLDER]   (default: 5 runs, build)
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
runs=5
[ "${1:-}" = -r ] && { runs=$2; shift 2; }
build=${1:-$SRC/build}
DATA=${BENCH_DATA:-$SRC/bench-data}
cmake -S "$SRC" -B "$build" -DYVN_BUILD_THUMBNAILER=ON >/dev/null
cmake --build "$build" --target yvn2psd yvn2psd-thumbnailer >/dev/null
[ -f "$DATA/paint-4096-12L.psd" ] || /usr/bin/python3 "$SRC/bench/make_psd.py" "$DATA" --only paint-4096-12L
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/yvn2psd" -q -W "$DATA/paint-4096-12L.psd" "$tmp/p.yvn"
status=0
for size in 256 512 1024; do
  : >"$tmp/runs"
  for ((i = 0; i < runs; i++)); do
    /usr/bin/time -f "%e %M" -o "$tmp/t" "$build/desktop/yvn2psd-thumbnailer" -s "$size" "$tmp/p.yvn" "$tmp/p.png"
    cat "$tmp/t" >>"$tmp/runs"
  done
  mid=$(( (runs + 1) / 2 ))
  t=$(cut -d' ' -f1 "$tmp/runs" | sort -n | sed -n "${mid}p")
  kib=$(cut -d' ' -f2 "$tmp/runs" | sort -n | sed -n "${mid}p")
  printf 'size %4d: %s s, %d MiB (medians of %d runs)\n' "$size" "$t" $(( kib / 1024 )) "$runs"
  if [ "$size" = 256 ] && ! awk -v t="$t" -v k="$kib" 'BEGIN { exit !(t <= 0.5 && k <= 200 * 1024) }'; then
    echo "FAILED: above 0.5 s or 200 MiB at 256" >&2
    status=1
  fi
done
exit $status
