#!/usr/bin/env bash
# Builds the fuzz configuration and runs every harness for the given number
# of seconds (default 30) over a temporary copy of its committed seed corpus
# and regression inputs; the PSD harness also reads ../shared/corpus/psd when
# that folder exists (read-only: new inputs go to the temporary copy).
# Any finding (crash, sanitizer report, leak, timeout, memory limit) fails
# the script; the input is kept under <build>/findings/.
#
#   fuzz/run.sh [seconds] [harness...]      harnesses: chunk doc psd packbits
#   YVN_FUZZ_BUILD=<dir>                     build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && harnesses=(chunk doc psd packbits)
build=${YVN_FUZZ_BUILD:-build-fuzz}
jobs=$(nproc 2>/dev/null || echo 2)

if ! command -v clang++ >/dev/null; then
  echo "fuzz/run.sh: clang++ is missing (scripts/deps.sh installs it)" >&2
  exit 1
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DYVN_FUZZ=ON -DYVN_BUILD_TESTS=OFF -DYVN_BUILD_BENCH=OFF >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" -j"$jobs" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings=$build/findings
mkdir -p "$findings"
status=0
for h in "${harnesses[@]}"; do
  mkdir -p "$work/$h"
  cp fuzz/corpus/"$h"/* "$work/$h/"
  if [ -d fuzz/regressions/"$h" ]; then cp fuzz/regressions/"$h"/* "$work/$h/" 2>/dev/null || true; fi
  extra=()
  if [ "$h" = psd ] && [ -d ../shared/corpus/psd ]; then extra+=(../shared/corpus/psd); fi
  # -timeout: one input taking 10 s is a hang; -rss_limit_mb also bounds
  # every single allocation.
  if "$build/fuzz/fuzz_$h" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$findings/$h-" "$work/$h" "${extra[@]}" \
       >"$work/$h.log" 2>&1; then
    echo "fuzz_$h: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$h.log" | tail -1)"
  else
    echo "fuzz_$h: FINDING" >&2
    tail -n 60 "$work/$h.log" >&2
    status=1
  fi
done
exit $status
