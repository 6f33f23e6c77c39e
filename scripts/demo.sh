#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds libmfg and runs it on a simulated
# board: the unmodified command-line tool with the board preloaded.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target mfg mfgtool mfgsim mfgsim-board >/dev/null

bin=$PWD/build/default
board=$bin/demo-board
work=$bin/demo-files
rm -rf "$board" "$work"
mkdir -p "$work"

export MFG_SIM_BOARD=$board
mfgtool() { LD_PRELOAD=$bin/sim/libmfgsim.so "$bin/tools/mfgtool" "$@"; }
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

step "Factory data: serial number with check digits, OEM serial, model"
mfgtool serial-valid TQ2500417D946
mfgtool serial-write "TQ25-00417-D946"
mfgtool serial-read
mfgtool oem-write "OEM-7731-A"
mfgtool oem-read
mfgtool model

step "MAC block (section 1 of the configuration store)"
echo "(reading before anything was written fails the magic check and is logged)"
mfgtool macs-read || true
seq 0 219 | awk '{printf "%02x", $1}' >"$work/macs.hex"
mfgtool macs-write "$work/macs.hex"
mfgtool macs-read | head -n 3
echo "... the store image starts with section 0 (MD5, length 14, magic 0x12611920, serial):"
board dump "$board" cfg 0 48

step "Boot loader options (NOR partition): defaults, then ttyS0 with the flag"
mfgtool bootopts-set 0
mfgtool bootopts-set 0x11
mfgtool bootopts-get | head -n 8

step "Kernel images: a signed container for system A, from a gzip file for system B"
head -c 1048576 /dev/urandom >"$work/kernel"
mfgtool kernel-image "$work/kernel" 3
board dump "$board" sysa_kernel 0 48
head -c 4194304 /dev/zero | tr '\0' 'K' | gzip -9 >"$work/kernel-b.gz"
mfgtool kernel-write "$work/kernel-b.gz" 0
board dump "$board" sysb_kernel 4194288 16

step "A pending code update installed from the working directory"
head -c 3000000 /dev/urandom >"$work/code-update"
cp "$work/code-update" "$work/sysa_code"
(cd "$work" && mfgtool pending-install)
[ ! -e "$work/sysa_code" ] && echo "sysa_code was removed after installing"
mfgtool read /dev/tqrd.rsysa_code 3000000 "$work/code-back"
cmp "$work/code-update" "$work/code-back"
echo "sysa_code on flash: identical (3000000 bytes)"
mfgtool slot

step "Board counters after the demo (no NAND rule may have been broken)"
board stats "$board"

if [ -f "$board/syslog" ]; then
  step "What the library logged"
  cat "$board/syslog"
fi
