#!/bin/sh
# Converts the same inputs with two builds of the program and compares what
# they write and print: a refactoring must leave both unchanged.
#
#   scripts/compare-outputs.sh REF_EXE NEW_EXE [WORK_DIR]
#
# Inputs: every file of ../shared/corpus/psd/*.ps[db] (when present), the
# golden cases' inputs (tests/data/golden/*/input.*), tests/data/hostile/*
# (.yvn, .psd) and fuzz/regressions/<harness>/* (taken as .psd for the PSD
# harness, else as .yvn); besides, the fuzz seeds (fuzz/corpus/{psd,doc,chunk}),
# the bundled sample and the PSD files of scripts/make-test-psds.py. Each input is converted in a folder of its own
# with -q -W -F; a .yvn source also with -d16; each .yvn written is then
# converted back to PSD, in 8 and in 16 bits. The first conversion runs again
# without -q, for its progress lines. For every run the exit status
# and the printed lines (stdout and stderr) must match, and so must every
# file left in the folder. Prints a summary; exits 1 when anything differs.
set -u

if [ $# -lt 2 ]; then
  echo "usage: $0 REF_EXE NEW_EXE [WORK_DIR]" >&2
  exit 2
fi
abs() { (cd "$(dirname "$1")" && printf '%s/%s\n' "$(pwd)" "$(basename "$1")"); }
REF=$(abs "$1")
NEW=$(abs "$2")
for exe in "$REF" "$NEW"; do
  [ -x "$exe" ] || { echo "not an executable: $exe" >&2; exit 2; }
done
ROOT=$(cd "$(dirname "$0")/.." && pwd)
CORPUS=${YVN_PSD_CORPUS:-$ROOT/../shared/corpus/psd}
if [ $# -ge 3 ]; then
  WORK=$3
  rm -rf "$WORK"
  mkdir -p "$WORK"
else
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/compare-outputs.XXXXXX")
  trap 'rm -rf "$WORK"' EXIT
fi

LIST="$WORK/inputs"
: > "$LIST"
# One line per input: the file and the extension it is converted under.
add() { printf '%s\t%s\n' "$1" "$2" >> "$LIST"; }
if [ -d "$CORPUS" ]; then
  for f in "$CORPUS"/*.ps[db]; do
    [ -f "$f" ] && add "$f" "${f##*.}"
  done
fi
for f in "$ROOT"/tests/data/golden/*/input.*; do
  [ -f "$f" ] && add "$f" "${f##*.}"
done
for f in "$ROOT"/tests/data/hostile/*.yvn "$ROOT"/tests/data/hostile/*.psd; do
  [ -f "$f" ] && add "$f" "${f##*.}"
done
for d in "$ROOT"/fuzz/regressions/*/; do
  [ -d "$d" ] || continue
  case "$(basename "$d")" in *psd*) ext=psd ;; *) ext=yvn ;; esac
  for f in "$d"*; do
    [ -f "$f" ] && add "$f" "$ext"
  done
done

inputs=0
runs=0
files=0
diffs=0

# run SIDE CASE ARGS...: runs one side's program in its case folder and
# keeps its printed lines and exit status under the run's number.
run() {
  side=$1
  case_dir=$2
  shift 2
  exe=$REF
  [ "$side" = new ] && exe=$NEW
  (cd "$case_dir" && "$exe" "$@" > ".run$n.out" 2> ".run$n.err" < /dev/null; echo $? > ".run$n.status")
}

# both CASE ARGS...: the same run on both sides.
both() {
  c=$1
  shift
  n=$((n + 1))
  run ref "$WORK/ref/$c" "$@"
  run new "$WORK/new/$c" "$@"
  runs=$((runs + 1))
}

for f in "$ROOT"/fuzz/corpus/psd/*.ps[db] "$ROOT"/fuzz/corpus/doc/*.yvn "$ROOT"/fuzz/corpus/chunk/*.yvn \
         "$ROOT"/samples/*.yvn; do
  [ -f "$f" ] && add "$f" "${f##*.}"
done
if command -v python3 > /dev/null && python3 "$ROOT/scripts/make-test-psds.py" "$WORK/generated" > /dev/null 2>&1; then
  for f in "$WORK"/generated/*.psd; do
    [ -f "$f" ] && add "$f" psd
  done
fi

i=0
while IFS='	' read -r src ext; do
  i=$((i + 1))
  inputs=$((inputs + 1))
  c=$(printf '%04d' "$i")
  for side in ref new; do
    mkdir -p "$WORK/$side/$c"
    cp "$src" "$WORK/$side/$c/in.$ext"
  done
  printf '%s\n' "$src" > "$WORK/ref/$c/.source"
  cp "$WORK/ref/$c/.source" "$WORK/new/$c/.source"
  n=0
  both "$c" -q -W -F "in.$ext"
  # Once more with its progress lines.
  if [ "$ext" = yvn ]; then
    both "$c" -W -F in.yvn shown.psd
  else
    both "$c" -W -F "in.$ext" shown.yvn
  fi
  if [ "$ext" = yvn ]; then
    both "$c" -q -W -F -d16 in.yvn in16.psd
  elif [ -f "$WORK/ref/$c/in.yvn" ] || [ -f "$WORK/new/$c/in.yvn" ]; then
    both "$c" -q -W -F in.yvn back.psd
    both "$c" -q -W -F -d16 in.yvn back16.psd
  fi
  # Every file of both folders: the same names, the same bytes.
  (cd "$WORK/ref/$c" && find . -type f | sort) > "$WORK/ref-files"
  (cd "$WORK/new/$c" && find . -type f | sort) > "$WORK/new-files"
  if ! cmp -s "$WORK/ref-files" "$WORK/new-files"; then
    echo "DIFFERENT FILE LISTS for $src:"
    diff "$WORK/ref-files" "$WORK/new-files" | sed 's/^/  /'
    diffs=$((diffs + 1))
  fi
  while read -r f; do
    files=$((files + 1))
    if ! cmp -s "$WORK/ref/$c/$f" "$WORK/new/$c/$f"; then
      echo "DIFFERENT $f for $src"
      case "$f" in
        ./.run*) printf '  ref: %s\n  new: %s\n' "$(cat "$WORK/ref/$c/$f")" "$(cat "$WORK/new/$c/$f")" ;;
      esac
      diffs=$((diffs + 1))
    fi
  done < "$WORK/ref-files"
  # Written files are compared; only the printed lines are kept.
  if [ $diffs -eq 0 ]; then
    find "$WORK/ref/$c" "$WORK/new/$c" -type f ! -name '.*' -delete
  fi
done < "$LIST"

echo "$inputs inputs, $runs runs on each side, $files files and printed outputs compared, $diffs differences"
[ $diffs -eq 0 ]
