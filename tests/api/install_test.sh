#!/bin/sh
# Installs the build into a temporary prefix and builds the README's
# examples against it, through find_package and through pkg-config, with the
# shared and the static library; then runs them on a file.
#   install_test.sh BUILD_DIR SOURCE_DIR C_COMPILER
set -eu
build=$1 src=$2 cc=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cmake -S "$src/examples" -B "$tmp/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$tmp/cmake" >/dev/null
export PKG_CONFIG_PATH=$(dirname "$(find "$tmp/prefix" -name yvn2psd.pc)")
"$cc" -std=c99 -o "$tmp/pc_rows" "$src/examples/rows_to_yvn.c" $(pkg-config --cflags --libs yvn2psd)
"$cc" -std=c99 -o "$tmp/pc_static" "$src/examples/rows_to_yvn.c" $(pkg-config --cflags yvn2psd) \
  -Wl,-Bstatic $(pkg-config --libs-only-L yvn2psd) -lyvn2psd -Wl,-Bdynamic $(pkg-config --static --libs-only-l yvn2psd | sed 's/-lyvn2psd//')
libdir=$(dirname "$(find "$tmp/prefix" -name 'libyvn2psd.so.1' | head -1)")
cd "$tmp"
# Each program writes the same made.yvn.
for p in cmake/rows_to_yvn cmake/rows_to_yvn_static pc_rows pc_static; do
  n=${p#*/}
  mkdir "run-$n" && (cd "run-$n" && LD_LIBRARY_PATH=$libdir "../$p") && mv "run-$n/made.yvn" "$n.yvn"
  cmp rows_to_yvn.yvn "$n.yvn"
done
# The static programs need no libyvn2psd at run time.
! ldd ./cmake/rows_to_yvn_static | grep -q libyvn2psd
LD_LIBRARY_PATH=$libdir ./cmake/layers_to_pam rows_to_yvn.yvn > listing.txt
grep -q '^layer1.pam: square at (32, 32), mul , opacity 255$' listing.txt
head -c 3 layer0.pam | grep -q P7
echo "ok: installed into a prefix; find_package and pkg-config, shared and static, build and run the examples"
