#!/usr/bin/env bash
# The WebAssembly build against its peers on the reference inputs: the npm
# package in Node (PSD -> .yvn and that .yvn -> PSD), ag-psd's read + write of
# the same PSD, and the native program built without ISA-L pinned to one
# core. Medians of wall time and peak RSS of whole processes.
#
#   bench/web-perf.sh [-r RUNS] [INPUT ...]     (default: paint-4096-12L photo-4096-8L)
#
# Needs scripts/build-web.sh run first (build-web/npm/*.tgz, build-web/native/
# yvn2psd: scripts/test.sh builds both) and ag-psd: the shared peers folder's
# node/ package, copied into build-web/bench-node and installed there.
set -euo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
RUNS=3
INPUTS=()
while [ $# -gt 0 ]; do
  case "$1" in
    -r) RUNS=$2; shift 2 ;;
    *) INPUTS+=("${1%.psd}"); shift ;;
  esac
done
[ ${#INPUTS[@]} -gt 0 ] || INPUTS=(paint-4096-12L photo-4096-8L)
DATA=${BENCH_DATA:-$SRC/bench-data}
OUT=$DATA/out-web
WEB=${YVN_WEB_BUILD:-$SRC/build-web}
NATIVE=$WEB/native/yvn2psd
PEERS=${YVN_BENCH_PEERS:-$SRC/../shared/bench}
mkdir -p "$OUT"

[ -x "$NATIVE" ] || { echo "no native build at $NATIVE (scripts/test.sh makes it)" >&2; exit 1; }
tgz=$(ls "$WEB"/npm/yvn2psd-*.tgz 2>/dev/null | head -1)
[ -n "$tgz" ] || { echo "no package tarball: run scripts/build-web.sh" >&2; exit 1; }

# The package installed from its tarball beside ag-psd.
NODE_DIR=$WEB/bench-node
if [ ! -d "$NODE_DIR/node_modules/ag-psd" ] || [ "$tgz" -nt "$NODE_DIR/node_modules/yvn2psd/package.json" ]; then
  mkdir -p "$NODE_DIR"
  cp "$PEERS/node/package.json" "$PEERS/node/package-lock.json" "$PEERS/node/agpsd.js" "$NODE_DIR/"
  chmod u+w "$NODE_DIR"/*
  (cd "$NODE_DIR" && npm ci --no-audit --no-fund --loglevel=error &&
     npm install --no-audit --no-fund --no-save --loglevel=error "$tgz")
fi
cat >"$NODE_DIR/convert.js" <<'EOF'
// node convert.js SRC DST: the package's conversion of a file to a file.
const fs = require('fs');
require('yvn2psd').convert({ path: process.argv[2] }).then((bytes) => fs.writeFileSync(process.argv[3], bytes));
EOF

missing=()
for f in "${INPUTS[@]}"; do [ -f "$DATA/$f.psd" ] || missing+=("$f.psd"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "generating ${missing[*]} into $DATA (a few minutes)"
  /usr/bin/python3 "$SRC/bench/make_psd.py" "$DATA" --only "${missing[@]}"
fi

TIMES=$OUT/time.txt
median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }
run_step() {
  local name=$1; shift
  local walls=() rsss=()
  for ((i = 0; i < RUNS; i++)); do
    sync
    if ! /usr/bin/time -f '%e %M' -o "$TIMES" "$@" >/dev/null 2>&1; then
      echo "$name: failed"; return 1
    fi
    walls+=("$(awk '{print $1}' "$TIMES")")
    rsss+=("$(awk '{print $2 / 1024}' "$TIMES")")
  done
  printf '%-40s %8.2f s %8.0f MiB\n' "$name" "$(printf '%s\n' "${walls[@]}" | median)" \
    "$(printf '%s\n' "${rsss[@]}" | median)"
}

echo "$RUNS runs, medians; load: $(cut -d' ' -f1-3 /proc/loadavg); $(node --version)"
printf '%-40s %10s %12s\n' step wall 'peak RSS'
for f in "${INPUTS[@]}"; do
  run_step "$f psd->yvn  package (Node)" node "$NODE_DIR/convert.js" "$DATA/$f.psd" "$OUT/$f.web.yvn"
  run_step "$f yvn->psd  package (Node)" node "$NODE_DIR/convert.js" "$OUT/$f.web.yvn" "$OUT/$f.web.psd"
  run_step "$f psd->yvn  native, 1 core, zlib" taskset -c 0 "$NATIVE" -q -W "$DATA/$f.psd" "$OUT/$f.native.yvn"
  run_step "$f yvn->psd  native, 1 core, zlib" taskset -c 0 "$NATIVE" -q -W "$OUT/$f.native.yvn" "$OUT/$f.native.psd"
  run_step "$f ag-psd read + write" node "$NODE_DIR/agpsd.js" rw "$DATA/$f.psd" "$OUT/$f.agpsd.psd"
  cmp -s "$OUT/$f.web.yvn" "$OUT/$f.native.yvn" && cmp -s "$OUT/$f.web.psd" "$OUT/$f.native.psd" &&
    echo "$f: the package's outputs are the native program's bytes" || echo "$f: OUTPUTS DIFFER"
done
