#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test: the host build, the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer and under
# valgrind, and the PowerPC target build under qemu (skip it with MFG_SKIP_PPC=1).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

for preset in default asan; do
  echo "== $preset build =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j"$jobs"
  ctest --preset "$preset" -j"$jobs"
done

# The host test programs once more under valgrind's memcheck (about a minute
# on 2 cores; MFG_SKIP_VALGRIND=1 skips it).
if [ "${MFG_SKIP_VALGRIND:-0}" != 1 ]; then
  echo "== valgrind memcheck =="
  ctest --preset valgrind -j"$jobs"
fi

if [ "${MFG_SKIP_PPC:-0}" != 1 ] && [ -f scripts/test-ppc.sh ]; then
  echo "== powerpc target build (qemu) =="
  bash scripts/test-ppc.sh
fi
