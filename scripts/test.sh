#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every check: the host build, the
# same tests under AddressSanitizer + UndefinedBehaviorSanitizer and under
# valgrind (MFG_SKIP_VALGRIND=1 skips it), clang-format and clang-tidy over
# every source (scripts/lint.sh), the fuzz targets for a fixed number of inputs
# (MFG_SKIP_FUZZ=1 skips them), the PowerPC target build under qemu
# (MFG_SKIP_PPC=1 skips it), and the kernel tier on x86-64 and 32-bit PowerPC
# guests with Linux's own MTD drivers (MFG_SKIP_KERNEL=1 skips it).
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

# The host test programs once more under valgrind's memcheck.
if [ "${MFG_SKIP_VALGRIND:-0}" != 1 ]; then
  echo "== valgrind memcheck =="
  ctest --preset valgrind -j"$jobs"
fi

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

# The same library on the kernel's MTD drivers (nandsim, mtdram) in qemu
# guests; each architecture ends with "kernel ARCH: N passed, M failed".
if [ "${MFG_SKIP_KERNEL:-0}" != 1 ] && [ -f scripts/test-kernel.sh ]; then
  kernel_status=0
  for arch in x86_64 ppc32; do
    echo "== kernel tier, $arch (qemu) =="
    bash scripts/test-kernel.sh "$arch" || kernel_status=1
  done
  exit $kernel_status
fi
