#!/usr/bin/env bash
# A factory station provisioning one unit, on the simulated board: installs
# what a fresh Debian 12 machine lacks, builds and installs libmfg, mfgtool and
# the simulated board into build/default/demo-prefix, then runs the station's
# steps. Ends with an injected erase failure on the configuration store, which
# the tool refuses to report as a success.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j"$(nproc)" --target mfg mfgtool mfgsim mfgsim-board >/dev/null

out=$PWD/build/default
prefix=$out/demo-prefix
board=$out/demo-board
work=$out/demo-files
rm -rf "$prefix" "$board" "$work"
mkdir -p "$work/updates"
cmake --install build/default --prefix "$prefix" --component Unspecified >/dev/null
cmake --install build/default --prefix "$prefix" --component sim >/dev/null

step() { printf '\n\033[1m[station] %s\033[0m\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }
mfgtool() { "$prefix/bin/mfgsim-run" "$board" -- "$prefix/bin/mfgtool" "$@"; }

step "Unit on the bench: a new board, every partition erased"
run "$prefix/bin/mfgsim-board" create "$board" >/dev/null
echo "board ready in $board"

step "Manifest for this unit"
cd "$work"
head -c 1500 /dev/urandom >client-auth.der
head -c 256 /dev/urandom >client-auth.key
macs=$(for i in $(seq 0 36); do printf '0002a5%06x' $((0x4a1000 + i)); done | cut -c1-440)
cat >unit.json <<JSON
{
  "serial": "TQ25-00417-D946",
  "oem_serial": "OEM-7731-A",
  "macs": "$macs",
  "client_auth": "client-auth.der",
  "client_auth_key": "client-auth.key",
  "bootopts": { "console": "ttyS0", "append": " quiet", "set_flag": true }
}
JSON
sed -e 's/"macs": "\(.\{24\}\).*"/"macs": "\1..."/' unit.json

step "Check the manifest, then provision"
run mfgtool provision --dry-run unit.json
run mfgtool provision unit.json

step "Signed kernel for system A from a freshly built image"
head -c 3145728 /dev/urandom >kernel.img
run mfgtool --progress kernel write kernel.img --slot a --signed

step "Pending code update for system A"
head -c 6291456 /dev/urandom >updates/sysa_code
run mfgtool --progress pending install --dir updates

step "Unit summary"
run mfgtool info

step "Client-auth key read back and compared with the manifest's"
run mfgtool auth-key get -o key.back
cmp client-auth.key key.back && echo "key read back: identical (256 bytes)"

step "Injected fault: the store's erase fails (fault MEMERASE /dev/tqrd.rcfg0)"
echo "fault MEMERASE /dev/tqrd.rcfg0 count=0" >>"$board/board.conf"
status=0
run mfgtool serial set TQ260010179D7 --rekey || status=$?
echo "exit status $status: the new serial number is not on the unit, and the station stops here"
run mfgtool serial get
