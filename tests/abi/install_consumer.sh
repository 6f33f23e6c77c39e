#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a small consumer twice:
# with pkg-config and with find_package(mfg).
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/include/mfg.h"
libdir=$(dirname "$(find "$prefix" -name 'libmfg.so.1' | head -n 1)")
test -n "$libdir"

cat >"$work/use.c" <<'C'
#include <mfg.h>
int main(void) { return mfg_valid_serial("12") == 0 ? 0 : 1; }
C

# pkg-config
export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -o "$work/use_pc" "$work/use.c" $(pkg-config --cflags --libs mfg)
LD_LIBRARY_PATH=$libdir "$work/use_pc"

# CMake package
mkdir -p "$work/proj"
cp "$work/use.c" "$work/proj/"
cat >"$work/proj/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(use C)
find_package(mfg 1 REQUIRED)
add_executable(use use.c)
target_link_libraries(use PRIVATE mfg::mfg)
CM
cmake -S "$work/proj" -B "$work/proj/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/proj/build" >/dev/null
LD_LIBRARY_PATH=$libdir "$work/proj/build/use"
echo "install consumer: 2 passed, 0 failed"
