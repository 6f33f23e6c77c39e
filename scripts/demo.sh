#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds libmfg and runs it on a simulated
# board: the unmodified command-line tool with the board preloaded.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target mfg mfgtool mfgsim mfgsim-board >/dev/null

bin=build/default
board=$bin/demo-board
work=$bin/demo-files
rm -rf "$board" "$work"
mkdir -p "$work"

export MFG_SIM_BOARD=$PWD/$board
mfgtool() { LD_PRELOAD=$PWD/$bin/sim/libmfgsim.so "$bin/tools/mfgtool" "$@"; }
board() { "$bin/sim/mfgsim-board" "$@"; }
step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

step "A new simulated board (default layout, all partitions erased)"
board create "$board"
board stats "$board"

step "Write 200000 bytes to the configuration partition (NAND, 128 KiB blocks)"
head -c 200000 /dev/urandom >"$work/data"
printf 'libmfg demo' | dd of="$work/data" conv=notrunc status=none
mfgtool write /dev/tqrd.rcfg0 "$work/data"
board dump "$board" cfg 0 64
echo "... the last piece is programmed only up to its last page holding data:"
board dump "$board" cfg 198656 32
board dump "$board" cfg 200704 32
board stats "$board"

step "Read it back through the section device /dev/tqrd.cfg0"
mfgtool read /dev/tqrd.cfg0 200000 "$work/back"
cmp "$work/data" "$work/back" && echo "read back: identical (200000 bytes)"

step "Erase the partition"
mfgtool erase /dev/tqrd.rcfg0
board dump "$board" cfg 0 32

if [ -f "$board/syslog" ]; then
  step "What the library logged"
  cat "$board/syslog"
fi
