#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every check: the host build, the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer, clang-format
# and clang-tidy over every source (scripts/lint.sh), the fuzz targets for a
# fixed number of inputs (MFG_SKIP_FUZZ=1 skips them), and the PowerPC target
# build under qemu (skip it with MFG_SKIP_PPC=1).
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

echo "== lint =="
bash scripts/lint.sh build/default

if [ "${MFG_SKIP_FUZZ:-0}" != 1 ]; then
  echo "== fuzz targets (libFuzzer, fixed number of inputs) =="
  bash scripts/fuzz.sh
fi

if [ "${MFG_SKIP_PPC:-0}" != 1 ] && [ -f scripts/test-ppc.sh ]; then
  echo "== powerpc target build (qemu) =="
  bash scripts/test-ppc.sh
fi
