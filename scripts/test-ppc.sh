#!/usr/bin/env bash
# Builds the library, the simulated board, the tool and the test suite for the
# 32-bit big-endian PowerPC target and runs the tests under qemu-ppc-static.
# The first run on a machine installs the cross toolchain and builds the target
# libraries (scripts/ppc-deps.sh); later runs reuse them.
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
jobs=$(nproc)

prefix=$(bash scripts/ppc-deps.sh)
deps_done=$SECONDS

# A build directory configured against another build of the target libraries
# starts afresh (its cached library paths point into that one).
fresh=()
cache=build/ppc/CMakeCache.txt
if [ -f "$cache" ] && ! grep -qxF "MFG_PPC_PREFIX:UNINITIALIZED=$prefix" "$cache" &&
   ! grep -qxF "MFG_PPC_PREFIX:PATH=$prefix" "$cache"; then
  fresh=(--fresh)
fi
cmake --preset ppc "${fresh[@]}" -DMFG_PPC_PREFIX:PATH="$prefix" >/dev/null
cmake --build --preset ppc -j"$jobs"
built=$SECONDS

status=0
ctest --preset ppc -j"$jobs" || status=$?
echo "ppc: target libraries $((deps_done - start))s, build $((built - deps_done))s," \
     "tests $((SECONDS - built))s under qemu-ppc-static"
exit $status
