#!/usr/bin/env bash
# The Windows program under Wine: cross-builds the program with MinGW-w64
# (build-win), runs command-line scenarios under Wine, converts the test
# suite's golden and hostile files (the same bytes and the same error lines
# as on Linux), and converts a folder of PSD files to .yvn and back with both
# the Linux and the Windows program, which must give the same documents.
#
# Usage: scripts/test-windows.sh [LINUX_YVN2PSD]
#   LINUX_YVN2PSD defaults to build/yvn2psd, (re)built when that is used.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
start=$SECONDS

bw=build-win
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX="$root/$bw/wineprefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko installer on the first start.
export WINEDLLOVERRIDES="mscoree,mshtml="
work=$(mktemp -d)
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
checks=0
pass() { checks=$((checks + 1)); echo "ok: $1"; }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "FAILED: $1" >&2; }

# --- Linux program (reference for the same-document checks) ---------------
linux=${1:-}
if [ -z "$linux" ]; then
  [ -f build/build.ninja ] || cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build -j"$jobs" --target yvn2psd
  linux=$root/build/yvn2psd
fi
linux=$(realpath "$linux")

# --- Cross build ------------------------------------------------------------
mkdir -p "$bw"
# The first start of Wine creates its prefix.
[ -f "$WINEPREFIX/system.reg" ] || { "$wine" wineboot -i >/dev/null 2>&1 || true; "$wineserver" -w; }
# One wineserver for the whole run: by default it exits a few seconds after
# its last client, and a program started while it is going away fails with
# "wine client error ... Connection reset by peer".
"$wineserver" -p >/dev/null 2>&1 || true
# The first program of a session starts Wine's own background processes,
# which live as long as the server and keep the output of that program open:
# start them here with nothing to hold, not inside a pipe of a check below.
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
cmake -S . -B "$bw" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DYVN_BUILD_TESTS=OFF -DYVN_BUILD_BENCH=OFF >/dev/null
cmake --build "$bw" -j"$jobs" --target yvn2psd yvn2psd_shared
exe=$root/$bw/yvn2psd.exe
if x86_64-w64-mingw32-objdump -p "$exe" | grep -i "DLL Name" | grep -viE "kernel32|msvcrt|user32|advapi32|shell32|ws2_32"; then
  fail "yvn2psd.exe needs DLLs beyond the system's (see above)"
else
  pass "yvn2psd.exe needs no DLL beside it"
fi
# The library as a DLL with its import library: it needs only the system's
# DLLs, exports the C API only, and a program linked against it converts.
dll=$root/$bw/libyvn2psd.dll
exports=$(x86_64-w64-mingw32-objdump -p "$dll" 2>/dev/null | awk '/\[Ordinal\/Name Pointer\] Table/ {on=1; next} on && NF == 0 {on=0} on {print $NF}')
x86_64-w64-mingw32-gcc-posix -std=c99 -O2 -I"$root/include" -o "$work/rows_to_yvn.exe" \
  "$root/examples/rows_to_yvn.c" "$root/$bw/libyvn2psd.dll.a"
cp "$dll" "$work/"
if [ -f "$root/$bw/libyvn2psd.dll.a" ] &&
   ! x86_64-w64-mingw32-objdump -p "$dll" | grep -i "DLL Name" | grep -qviE "kernel32|msvcrt|user32|advapi32|shell32|ws2_32" &&
   [ -n "$exports" ] && ! echo "$exports" | grep -qv '^yvn2psd_' &&
   (cd "$work" && "$wine" ./rows_to_yvn.exe >/dev/null 2>&1) && [ -s "$work/made.yvn" ] &&
   "$linux" -q -W "$work/made.yvn" "$work/made.psd" && [ -s "$work/made.psd" ]; then
  pass "libyvn2psd.dll and its import library: system DLLs only, $(echo "$exports" | wc -l) exports, all of the API; a program linked against it writes a .yvn the Linux program reads"
else
  fail "libyvn2psd.dll"; echo "$exports" | grep -v '^yvn2psd_' | head
fi
built=$SECONDS

# --- The test suite's committed files under Wine -----------------------------
# Windows paths of Linux files go through drive Z:, Wine's view of /.
winpath() { printf 'Z:%s' "$(realpath -m "$1" | tr / '\\')"; }
win() { "$wine" "$exe" "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
data=$root/tests/data
mkdir -p "$work/golden" "$work/hostile"
golden_ok=0; golden_n=0
for case in "$data"/golden/*/; do
  name=$(basename "$case")
  golden_n=$((golden_n + 1))
  ok=1
  if [ -f "$case/input.psd" ]; then
    win -q -W -z0 "$(winpath "$case/input.psd")" "$(winpath "$work/golden/$name.yvn")" >/dev/null
    cmp -s "$work/golden/$name.yvn" "$case/expected.yvn" || ok=0
  fi
  yvn=$case/expected.yvn
  [ -f "$case/input.yvn" ] && yvn=$case/input.yvn
  win -q -W "$(winpath "$yvn")" "$(winpath "$work/golden/$name.psd")" >/dev/null
  # Pascal names go through each system's character set, Unicode names do
  # not: what both PSDs hold reads back as the same .yvn.
  "$linux" -q -W -z0 "$work/golden/$name.psd" "$work/golden/$name.win.yvn" >/dev/null
  "$linux" -q -W -z0 "$case/expected.psd" "$work/golden/$name.lin.yvn" >/dev/null
  cmp -s "$work/golden/$name.win.yvn" "$work/golden/$name.lin.yvn" || ok=0
  golden_ok=$((golden_ok + ok))
done
if [ "$golden_n" -ge 2 ] && [ "$golden_ok" = "$golden_n" ]; then
  pass "$golden_n golden cases: the .yvn bytes the Linux program writes, PSDs holding the same"
else
  fail "golden cases ($golden_ok of $golden_n written as expected)"
fi
hostile_ok=0; hostile_n=0
while IFS=$'\t' read -r file want; do
  case "$file" in ''|'#'*) continue ;; esac
  hostile_n=$((hostile_n + 1))
  rc=0
  out=$(win -q -W "$(winpath "$data/hostile/$file")" "$(winpath "$work/hostile/out")" | tr -d '\n') || rc=$?
  # A file refused with an error line exits with 1.
  want_rc=1; [ "$want" = - ] && want_rc=0
  if [ "${out:--}" = "$want" ] && [ "$rc" = "$want_rc" ]; then
    hostile_ok=$((hostile_ok + 1))
  else
    echo "hostile $file: '$out' (exit $rc) where '$want' (exit $want_rc)"
  fi
done <"$data/hostile/expected.tsv"
if [ "$hostile_n" -ge 5 ] && [ "$hostile_ok" = "$hostile_n" ]; then
  pass "$hostile_n hostile files: converted or refused as recorded, with their exit status"
else
  fail "hostile files ($hostile_ok of $hostile_n as recorded)"
fi
unit=$SECONDS

# --- Command-line scenarios under Wine ----------------------------------------
cdrive=$WINEPREFIX/drive_c

python3 scripts/make-test-psds.py "$work/in"
cd "$work"

set +e
win >win-usage.txt; rc=$?
"$linux" >lin-usage.txt
set -e
if [ "$rc" -eq 255 ] && cmp -s win-usage.txt lin-usage.txt && grep -q "yvn2psd \[-Options\] src-filter" win-usage.txt; then
  pass "usage text and exit code -1 without arguments, same text as on Linux"
else
  fail "usage text (exit $rc)"; diff win-usage.txt lin-usage.txt || true
fi

# The prefix outlives a run: start without the folders earlier runs made.
rm -rf "$cdrive/yvn-out"
win -L -o'C:\yvn-out\sub' "$(winpath in)\\*.psd" >list.txt
{
  i=0
  for n in "Mixed Case.PSD" modes.psd single.psd strip.psd tiles.psd tiny.psd; do
    printf '%d:%s\\%s\n => C:\\yvn-out\\sub\\%s.yvn\n' $i "$(winpath in)" "$n" "${n%.*}"
    i=$((i + 1))
  done
} >list-expected.txt
if cmp -s list.txt list-expected.txt && [ ! -e "$cdrive/yvn-out" ]; then
  pass "listing: sources in byte order, destinations on drive C:, nothing created"
else
  fail "listing"; diff list.txt list-expected.txt || true
fi

win -L "in\\TIN?.PSD" >list2.txt
if [ "$(grep -c '^[0-9]*:' list2.txt)" = 1 ] && grep -q 'tiny.psd$' list2.txt; then
  pass "wildcard ? and case-insensitive match"
else
  fail "wildcard ?"; cat list2.txt
fi

mkdir -p short && cp in/tiny.psd short/b.psd && cp in/tiny.psd short/a.psdx
win -L 'short\*.psd' >list3.txt
if [ "$(grep -c '^[0-9]*:' list3.txt)" = 1 ] && grep -q 'b.psd$' list3.txt; then
  pass "*.psd does not match a.psdx (no 8.3 short-name matches)"
else
  fail "*.psd matched more than b.psd"; cat list3.txt
fi

rm -rf "$cdrive/yvn-out"
printf 'y' | win -q -o'C:\yvn-out\sub' "$(winpath in)\\single.psd" >prompt1.txt
if grep -q "^Folder is not exists.$" prompt1.txt && grep -qF 'C:\yvn-out\sub\' prompt1.txt &&
   [ -s "$cdrive/yvn-out/sub/single.yvn" ]; then
  pass "folder prompt answered Y creates C:\\yvn-out\\sub with its parent"
else
  fail "folder prompt"; cat prompt1.txt
fi

dst=$cdrive/yvn-out/sub/single.yvn
echo marker >"$dst"
printf 'x\ns' | win -q -o'C:\yvn-out\sub' in/single.psd >prompt2.txt
if grep -q "^Destination file is alreay exists.$" prompt2.txt && [ "$(cat "$dst")" = marker ]; then
  pass "overwrite prompt: other keys ignored, S skips"
else
  fail "overwrite prompt, skip"; cat prompt2.txt
fi
win -q -o'C:\yvn-out\sub' in/single.psd </dev/null >prompt3.txt
printf 'c' | win -q -o'C:\yvn-out\sub' in/single.psd >>prompt3.txt
if [ "$(cat "$dst")" = marker ] && [ "$(grep -c 'alreay exists' prompt3.txt)" = 2 ]; then
  pass "overwrite prompt: end of input and C cancel"
else
  fail "overwrite prompt, cancel"; cat prompt3.txt
fi
printf 'a' | win -q -o'C:\yvn-out\sub' in/single.psd >prompt4.txt
if ! echo marker | cmp -s - "$dst" && [ -s "$dst" ]; then
  pass "overwrite prompt: A overwrites"
else
  fail "overwrite prompt, all"; cat prompt4.txt
fi

win -q -W 'in\single.psd' 'out\deep\b.yvn' >/dev/null
win -q -W -o'out2/x' 'in/tiny.psd' >/dev/null
if [ -s out/deep/b.yvn ] && [ -s out2/x/tiny.yvn ]; then
  pass "relative destinations with backslashes and slashes, missing folders made with -W"
else
  fail "relative destinations"; find out out2 2>/dev/null || true
fi

# Files dropped on the program arrive as a list of full paths; names in
# three scripts and one beyond the 16-bit range, through UTF-16 arguments
# and wide file calls, printed as UTF-8 to a pipe.
mkdir -p names
names=("пейзаж" "絵の具" "한국어 그림" "🎨")
for n in "${names[@]}"; do cp in/tiny.psd "names/$n.psd"; done
win -L "$(winpath "names/${names[2]}.psd")" "$(winpath "names/${names[0]}.psd")" >drop-list.txt || true
printf '%s\n' "0:$(winpath "names/${names[2]}.psd")" " => $(winpath "names/${names[2]}.yvn")" \
  "1:$(winpath "names/${names[0]}.psd")" " => $(winpath "names/${names[0]}.yvn")" >drop-expected.txt
rc=0
win -q "$(winpath "names/${names[3]}.psd")" "$(winpath "names/${names[1]}.psd")" "$(winpath "names/${names[2]}.psd")" \
  >drop.txt || rc=$?
if cmp -s drop-list.txt drop-expected.txt && [ "$rc" = 0 ] && [ ! -s drop.txt ] && [ -s "names/${names[1]}.yvn" ] &&
   [ -s "names/${names[2]}.yvn" ] && [ -s "names/${names[3]}.yvn" ] && [ ! -e "names/${names[0]}.yvn" ]; then
  pass "dropped files: a list in the order given, each converted beside itself, names in any script"
else
  fail "dropped files (exit $rc)"; diff drop-list.txt drop-expected.txt || true; cat drop.txt; ls names
fi
cd names
win -L '*.psd' | grep '^[0-9]' >filter-list.txt || true
printf '%s\n' "0:$(winpath "${names[0]}.psd")" "1:$(winpath "${names[1]}.psd")" "2:$(winpath "${names[2]}.psd")" \
  "3:$(winpath "${names[3]}.psd")" >filter-expected.txt
rm -rf "출력"
printf y | win -q -o"출력" '*.psd' >filter.txt || true
LC_ALL=C ls 출력 >filter-out.txt 2>&1 || true
printf c | win -q -o"출력" '*.psd' >>filter.txt || true
if cmp -s filter-list.txt filter-expected.txt && grep -qxF "$(winpath 출력)\\" filter.txt &&
   grep -qxF "$(winpath "출력/${names[0]}.yvn")" filter.txt &&
   [ "$(cat filter-out.txt)" = "$(printf '%s.yvn\n' "${names[@]}")" ]; then
  pass "a filter over such names: byte order, folder created, written and asked about by name"
else
  fail "filter over names in any script"; cat filter-list.txt filter.txt filter-out.txt
fi
# A console takes the names as UTF-16 (Wine shows them on the terminal as UTF-8).
TERM=xterm YVN2PSD_CONSOLE_OWNED=0 timeout 120 script -qec "'$wine' '$exe' -L '*.psd'" /dev/null </dev/null \
  | sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' >console.txt || true
if grep -qF "${names[0]}.yvn" console.txt && grep -qF "${names[1]}.yvn" console.txt; then
  pass "names shown on a console as they are"
else
  fail "names on a console"; cat -A console.txt | head
fi
cd ..

# A console of its own (forced: a test must never wait at a real one) ends
# with a question that reads one key; pipes never wait.
printf 'kREST' >keys
{ YVN2PSD_CONSOLE_OWNED=1 win -L in/tiny.psd; cat; } <keys >own.txt || true
{ win -L in/tiny.psd; cat; } <keys >shared.txt || true
rc=0
YVN2PSD_CONSOLE_OWNED=1 win </dev/null >own-usage.txt || rc=$?
if [ "$(tail -c 27 own.txt)" = "$(printf 'Press any key to close\nREST')" ] &&
   [ "$(tail -n 1 shared.txt)" = kREST ] && ! grep -q 'Press any' shared.txt &&
   [ "$rc" = 255 ] && [ "$(tail -n 1 own-usage.txt)" = "Press any key to close" ]; then
  pass "own console: one key read before closing, after the usage text too; none from a pipe"
else
  fail "waiting for a key (usage exit $rc)"; cat own.txt shared.txt
fi
cli=$SECONDS

# --- Same documents from the Linux and the Windows program --------------------
corpus=${YVN_PSD_CORPUS:-$root/../shared/corpus/psd}
mkdir -p par/in
cp in/*.* par/in/
if [ -f "$corpus/MANIFEST.tsv" ]; then
  # Readable corpus files with ASCII layer names only: other names go through
  # each system's own character set.
  awk -F'\t' 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
              $col["expect"] == "ACCEPT" && $col["nonascii_names"] == 0 { print $1 }' "$corpus/MANIFEST.tsv" |
    while read -r f; do [ -f "$corpus/$f" ] && cp "$corpus/$f" "par/in/corpus_$f"; done
fi
cd par
"$linux" -q -W -olin-yvn 'in/*.psd' >/dev/null
"$linux" -q -W -olin-psd 'lin-yvn/*.yvn' >/dev/null
win -q -W -o'win-yvn' 'in\*.psd' >/dev/null
win -q -W -o"$(winpath win-psd)" "$(winpath win-yvn)\\*.yvn" >/dev/null
# Each program also reads the other's .yvn files.
"$linux" -q -W -olin-from-win 'win-yvn/*.yvn' >/dev/null
win -q -W -o'win-from-lin' 'lin-yvn\*.yvn' >/dev/null
n=0; same_psd=0; same_yvn=0; decoded=0
for src in in/*; do
  base=$(basename "${src%.*}")
  n=$((n + 1))
  cmp -s "lin-psd/$base.psd" "win-psd/$base.psd" && [ -s "lin-psd/$base.psd" ] && same_psd=$((same_psd + 1))
  cmp -s "lin-yvn/$base.yvn" "win-yvn/$base.yvn" && same_yvn=$((same_yvn + 1))
  cmp -s "lin-psd/$base.psd" "lin-from-win/$base.psd" && cmp -s "win-psd/$base.psd" "win-from-lin/$base.psd" &&
    decoded=$((decoded + 1))
done
if [ "$n" -ge 6 ] && [ "$same_psd" = "$n" ]; then
  pass "$n PSDs through .yvn and back: byte-identical PSDs on Linux and Windows"
else
  fail "PSDs differ between Linux and Windows ($same_psd of $n identical)"
fi
if [ "$decoded" = "$n" ]; then
  pass ".yvn files of either program decode to the same layers and pixels in the other ($same_yvn of $n byte-identical)"
else
  fail ".yvn files decode differently across programs ($decoded of $n agree)"
fi
cd "$root"
end=$SECONDS

echo "windows: build $((built - start)) s, committed files $((unit - built)) s, scenarios $((cli - unit)) s," \
     "same-document check $((end - cli)) s"
echo "windows: $((checks - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
