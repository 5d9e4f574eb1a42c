#!/usr/bin/env bash
# Builds the WebAssembly module, the page and the npm package with Debian's
# emscripten, from the same sources as the native program (see docs/web.md).
#
#   scripts/build-web.sh [--threads] [--no-pack]
#
#   --threads   also a threaded module for Node (build-web/mt; not packaged:
#               see docs/web.md for what it gave)
#   --no-pack   leave out the npm tarball
#
# Output, all in build-web/ (ignored): site/ (the page: serve it with any
# static server), npm/yvn2psd-VERSION.tgz (the package), deps/ (zlib and
# LittleCMS 2, fetched as Debian source packages with apt-get source into a
# private apt state folder and built here; the machine's apt state is left
# alone).
set -euo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
OUT=${YVN_WEB_BUILD:-$SRC/build-web}
THREADS=0
PACK=1
for a in "$@"; do
  case "$a" in
    --threads) THREADS=1 ;;
    --no-pack) PACK=0 ;;
    *) echo "unknown option $a" >&2; exit 2 ;;
  esac
done
jobs=$(nproc 2>/dev/null || echo 2)
# Debian's emscripten finds its acorn among Debian's Node modules.
export NODE_PATH=/usr/share/nodejs${NODE_PATH:+:$NODE_PATH}
command -v emcc >/dev/null || { echo "emcc not found: scripts/deps.sh installs emscripten" >&2; exit 1; }
mkdir -p "$OUT/deps"
DEPS=$OUT/deps

# --- Debian source packages, fetched through a private apt state ----------
# The machine's deb lines become deb-src lines in a folder of our own, so
# that the same mirrors serve the sources and nothing of /etc/apt or
# /var/lib/apt changes.
fetch_source() {
  local pkg=$1 apt=$DEPS/apt
  if compgen -G "$DEPS/src/$pkg-*/" >/dev/null; then return 0; fi
  mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/sources.list.d" "$DEPS/src"
  if [ ! -e "$apt/lists/.updated" ]; then
    : >"$apt/sources.list"
    local f
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
      [ -f "$f" ] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$f" >>"$apt/sources.list"
    done
    for f in /etc/apt/sources.list.d/*.sources; do
      [ -f "$f" ] && sed 's/^Types:.*/Types: deb-src/' "$f" >"$apt/sources.list.d/$(basename "$f")"
    done
    aptq update >/dev/null
    touch "$apt/lists/.updated"
  fi
  # The version of the native build's library where it is installed, so
  # that both builds deflate with the same code; else each version the
  # mirrors list (a mirror may list a source that it does not hold).
  local version v
  version=$(dpkg-query -W -f='${source:Version}' "$2" 2>/dev/null || true)
  for v in $version $(aptq_cache showsrc "$pkg" 2>/dev/null | sed -n 's/^Version: //p'); do
    (cd "$DEPS/src" && aptq source "$pkg=$v" >/dev/null 2>&1) && return 0
  done
  echo "apt-get source $pkg failed" >&2
  return 1
}
apt_private() {
  local apt=$DEPS/apt
  "$@" -o Dir::State="$apt" -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" \
    -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts="$apt/sources.list.d" \
    -o Debug::NoLocking=1 -o APT::Sandbox::User=root </dev/null
}
aptq() { local cmd=$1; shift; apt_private apt-get -q "$cmd" "$@"; }
aptq_cache() { local cmd=$1; shift; apt_private apt-cache "$cmd" "$@"; }

# Static archives of a C library's sources, built with emcc.
build_c_lib() {
  local name=$1 dir=$2 flags=$3
  shift 3
  local objdir=$DEPS/obj-$name$suffix
  rm -rf "$objdir"
  mkdir -p "$objdir" "$DEPS/lib$suffix"
  local f pids=()
  for f in "$@"; do
    emcc -O3 $flags $CFLAGS_MODE -c "$dir/$f" -o "$objdir/$(basename "${f%.c}").o" &
    pids+=($!)
    if [ ${#pids[@]} -ge "$jobs" ]; then wait "${pids[0]}"; pids=("${pids[@]:1}"); fi
  done
  for f in "${pids[@]}"; do wait "$f"; done
  rm -f "$DEPS/lib$suffix/lib$name.a"
  emar rcs "$DEPS/lib$suffix/lib$name.a" "$objdir"/*.o
}

fetch_source zlib zlib1g-dev
fetch_source lcms2 liblcms2-dev
ZLIB_DIR=$(ls -d "$DEPS"/src/zlib-*/ | head -1)
LCMS_DIR=$(ls -d "$DEPS"/src/lcms2-*/ | head -1)

build_variant() {
  local variant=$1
  suffix=-$variant
  if [ "$variant" = mt ]; then CFLAGS_MODE="-pthread"; else CFLAGS_MODE=""; fi
  if [ ! -f "$DEPS/lib$suffix/libz.a" ]; then
    # The stream functions only: the gz* file functions are not used. Built
    # without HAVE_UNISTD_H, as the library's sources see zconf.h (z_off_t
    # is long on both sides).
    build_c_lib z "$ZLIB_DIR" "" adler32.c compress.c crc32.c deflate.c infback.c inffast.c inflate.c \
      inftrees.c trees.c uncompr.c zutil.c
  fi
  if [ ! -f "$DEPS/lib$suffix/liblcms2.a" ]; then
    build_c_lib lcms2 "$LCMS_DIR/src" "-I$LCMS_DIR/include" \
      $(cd "$LCMS_DIR/src" && ls *.c)
  fi
  local build=$OUT/$variant
  emcmake cmake -S "$SRC" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=/usr/share/emscripten/cmake/Modules/Platform/Emscripten.cmake \
    -DYVN_WEB_THREADS=$([ "$variant" = mt ] && echo ON || echo OFF) \
    -DYVN_BUILD_TESTS=OFF -DYVN_BUILD_BENCH=OFF -DYVN_USE_ISAL=OFF \
    -DZLIB_INCLUDE_DIR="$ZLIB_DIR" -DZLIB_LIBRARY="$DEPS/lib$suffix/libz.a" \
    -DYVN_LCMS2_INCLUDE_DIR="$LCMS_DIR/include" -DYVN_LCMS2_LIBRARY="$DEPS/lib$suffix/liblcms2.a" >/dev/null
  cmake --build "$build" -j"$jobs" --target yvn2psd_web $([ "$variant" = st ] && echo yvn2psd_web_cli)
}

build_variant st
[ $THREADS = 1 ] && build_variant mt

# --- The page and the package ---------------------------------------------
VERSION=$(sed -n 's/^project(yvn2psd VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
node "$SRC/web/tools/assemble.js" --src "$SRC/web" --build "$OUT" --version "$VERSION"
if [ $PACK = 1 ]; then
  (cd "$OUT/npm/package" && npm pack --silent --pack-destination "$OUT/npm" >/dev/null)
  echo "package: $OUT/npm/yvn2psd-$VERSION.tgz"
fi
echo "page:    $OUT/site (serve it: python3 -m http.server -d $OUT/site 8000)"
