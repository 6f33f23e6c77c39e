#!/usr/bin/env bash
# Installs the build ($1) into a temporary prefix and builds a small consumer
# twice: with pkg-config and with find_package(mfg).
set -euo pipefail
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
cmake --install "$1" --prefix "$w/prefix" >/dev/null
lib=$(dirname "$(find "$w/prefix" -name libmfg.so.1 | head -n 1)")
mkdir "$w/proj" && cd "$w/proj"
printf '#include <mfg.h>\nint main(void) { return mfg_valid_serial("12") == 0 ? 0 : 1; }\n' >use.c
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(use C)' 'find_package(mfg 1 REQUIRED)' \
  'add_executable(use use.c)' 'target_link_libraries(use PRIVATE mfg::mfg)' >CMakeLists.txt
# shellcheck disable=SC2046  # the flags are words
cc -o use_pc use.c $(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags --libs mfg)
cmake -S . -B build -DCMAKE_PREFIX_PATH="$w/prefix" >/dev/null && cmake --build build >/dev/null
LD_LIBRARY_PATH=$lib ./use_pc && LD_LIBRARY_PATH=$lib build/use
