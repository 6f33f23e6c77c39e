#!/usr/bin/env bash
# Runs the unmodified mfgtool with the simulated board preloaded: writes a
# partition in one process and reads it back in another.
set -euo pipefail
tool=$1 sim=$2 board_cli=$3 emu=${4:-}
emu=${emu//;/ }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

$emu "$board_cli" create "$work/board" >/dev/null
head -c 300000 /dev/urandom >"$work/data"
export MFG_SIM_BOARD=$work/board
LD_PRELOAD=$sim $emu "$tool" part write /dev/tqrd.rcfg0 "$work/data"
LD_PRELOAD=$sim $emu "$tool" part read /dev/tqrd.cfg0 300000 "$work/back"
cmp "$work/data" "$work/back"
# Nothing outside the board was touched, and no NAND rule was broken.
[ ! -e /dev/tqrd.rcfg0 ]
$emu "$board_cli" stats "$work/board" | tee "$work/stats"
# The last column counts NAND rule violations per partition.
awk 'NR > 1 && $NF != 0 { bad = 1 } END { exit bad }' "$work/stats"
echo "tool under LD_PRELOAD: 1 passed, 0 failed"
