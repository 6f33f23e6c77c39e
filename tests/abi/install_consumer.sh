#!/usr/bin/env bash
# Installs the build ($1) into a temporary prefix and builds a small consumer
# twice: with pkg-config and with find_package(mfg), linked with the simulated
# board too (pkg-config mfgsim, target mfg::sim), and runs it on a board.
set -euo pipefail
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
cmake --install "$1" --prefix "$w/prefix" >/dev/null
lib=$(dirname "$(find "$w/prefix" -name libmfg.so.1 | head -n 1)")
mkdir "$w/proj" && cd "$w/proj"
cat >use.c <<'C'
#include <mfg.h>
#include <mfgsim.h>
#include <string.h>
int main(int argc, char **argv) {
    char oem[8];
    return argc == 2 && mfg_valid_serial("12") == 0 && mfgsim_create(argv[1], NULL) == 0 &&
                   mfg_write_oem_serial("a-1") == 0 && mfg_read_oem_serial(oem, 8) == 0 &&
                   strcmp(oem, "a1") == 0
               ? 0
               : 1;
}
C
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(use C)' \
  'find_package(mfg 1 REQUIRED COMPONENTS sim)' 'add_executable(use use.c)' \
  'target_link_libraries(use PRIVATE mfg::mfg mfg::sim)' >CMakeLists.txt
# shellcheck disable=SC2046  # the flags are words
cc -o use_pc use.c $(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags --libs mfg mfgsim)
cmake -S . -B build -DCMAKE_PREFIX_PATH="$w/prefix" >/dev/null && cmake --build build >/dev/null
LD_LIBRARY_PATH=$lib ./use_pc "$w/board1" && LD_LIBRARY_PATH=$lib build/use "$w/board2"
