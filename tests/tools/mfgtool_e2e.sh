#!/usr/bin/env bash
# The installed mfgtool on simulated boards: every command's result, exit
# status and messages, wrong usage, a failing partition under every write
# command, and a provisioning run stopped half way.
. "$(dirname "$0")/e2e_lib.sh" "$@"
board ok ""
board broken "fault MEMERASE /dev/tqrd.r* count=0"$'\n'"fault mkstemp /pending/* count=0"
board half "fault MEMERASE /dev/tqrd.rmfg count=0"
S=TQ2500417D946
macs=$(printf '%0440d' 7)
mkdir "$w/upd"; random auth 3000 key 200 img 300000 upd/sysa_code 100000
head -c 4M /dev/zero | gzip -c >"$w/img.gz"
manifest unit.json $S OEM-1 "$macs" auth key '{"console":"ttyS1"}'
printf '{"serial":"%s","colour":"red"}' $S >"$w/bad.json"
usage='Run .mfgtool --help'

# Wrong usage of every kind: exit 2, nothing written.
t 2 '' "$usage"
t 2 '' 'unknown command "bogus" after "serial"' serial bogus
t 2 '' "$usage" oem set
t 2 '' 'LENGTH must be a number' part read /dev/tqrd.rcfg0 -- -1
t 2 '' 'LENGTH must be a number' part read /dev/tqrd.rcfg0 100000000000
t 2 '' 'LENGTH must be a number' part read /dev/tqrd.rcfg0 12abc
t 2 '' "$usage" kernel write img --slot c
t 2 '' "$usage" kernel write img --slot a 0x100000002
t 2 '' 'excludes' bootopts set --keep-ram --keep-flash
t 2 '' "$usage" bootopts set --console ttyS2
t 2 '' 'not a valid serial number: 13 or 14' serial set TQ2500417D947
t 2 '' '100 letters and digits; 1 to 99' oem set "$(printf 'A%.0s' {1..100})"
t 2 '' 'MAC block is 220 bytes, got 2' macs set 0011
t 2 '' 'not hexadecimal' macs set 00zz
t 2 '' 'unknown field "colour"' provision bad.json
t 2 '' 'name must be 1 to 111' pending create a/b img
for h in --help -h help "oem set --help"; do t 0 'Usage: mfgtool' '^$' $h; done
t 1 '' 'no OEM serial number stored' oem get

# Every command on a healthy board.
t 0 '^valid$' '' serial check TQ25-00417-D946
t 1 '^not valid$' '' serial check TQ2500417D947
t 0 'checked.*nothing written' '' provision --dry-run unit.json
t 0 'serial: written and verified.*bootopts: written and verified' '' provision unit.json
t 0 "\"serial\": \"$S\".*\"valid\": true" '' --json serial get
t 0 '^OEM1$' '' oem get
t 0 '^ZRK-250 PoE$' '' model get
t 0 '^0{44}' '' macs get
t 0 '' '' auth get -o auth.back
check "auth read back differs" cmp -s "$w/auth" "$w/auth.back"
t 0 '"length": 200' '' --json auth-key get
t 0 '^present, decrypts$' '' auth-key has
t 0 'stored and verified' '' bootopts set --console ttyS0 --append ' x' --set-flag --keep-ram
t 0 'ttyS0,115200 root=/dev/mtdblock7" \\r x.RAM command line: .*ttyS1.*flag: +1.*Checksum is valid' '' \
  bootopts get
t 0 "serial: +$S \(valid\).*key: present.*ttyS0, flag 1.*slot: +pending" '' info
t 0 'serial: valid.*client-auth key: valid.*reserved: absent' '' store backup store.bak
t 0 'erased' '' part erase /dev/tqrd.rcfg0
t 1 '' 'mfg_read_serial returned -3: no valid section' serial get
t 0 'restored' '' store restore store.bak
t 0 "^$S$" '' serial get
cp "$w/store.bak" "$w/store.bak.good"
printf '\x00' | dd of="$w/store.bak" bs=1 seek=50 conv=notrunc status=none
t 2 '' 'serial section does not verify; nothing written' store restore store.bak
t 0 'img written and verified' 'verified 300000 bytes' --progress part write /dev/tqrd.rsysb_kernel img
t 0 '' '' part read /dev/tqrd.rsysb_kernel 300000 back
check "part read differs" cmp -s "$w/img" "$w/back"
t 1 '' 'nosuch delivered only 0 of 16 bytes' part read /dev/tqrd.nosuch 16 out
t 2 '' 'upd is a directory' part write /dev/tqrd.rsysb_kernel upd
t 0 'img.gz written and verified \(4194304 bytes\)' '' image write /dev/tqrd.rsysb_kernel img.gz
t 0 'system A' 'verified 300044 bytes' --progress kernel write img --slot a --signed
t 0 'system B' '' kernel write-buffer img --slot b
t 0 '^/pending/upd\.[A-Za-z0-9]{6}$' '' pending create upd img
t 0 'installed' 'Pending sysa_code update found.*verified 100000 bytes' --progress pending install --dir upd
t 1 '' 'does not implement; nothing was done' reserved write-diskimage /dev/tqrd.rsysa_code img
t 0 'synced' '' reserved sync-diskimage
mkdir -p "$w/ok/etc" && touch "$w/ok/etc/sysa"
t 0 '^a$' '' slot
t 1 '' 'refusing to write system A: the unit is running from it' kernel write img --slot a
t 0 'system A' '' kernel write img --slot a --force
t 1 '' 'refusing to write system A' pending install
# Wrong usage is found before the running slot is looked at.
t 2 '' 'pending install: cannot enter nosuch' pending install --dir nosuch
t 2 '' 'image write: cannot open nosuch' image write /dev/tqrd.rsysa_code nosuch

# A failing partition under every write command: exit 1, the status and its
# meaning named, the library's own stderr text on a line of its own.
on=broken
lost='the write did not stick'
t 1 '' "rcfg0!"$'\n'"mfgtool: serial set: $lost" serial set $S
t 1 '' "macs set: $lost" macs set "$macs"
t 1 '' "auth set: $lost" auth set auth
t 1 '' 'mfg_write_client_authdata_key returned 1' auth-key set key
t 1 '' 'mfg_write_oem_serial returned -1: the OEM partition was not written' oem set OEM-2
t 1 '' 'mfg_set_bootopts returned -1' bootopts set --set-flag
t 1 '' 'mfg_write_kernel returned -1: the image writer failed' kernel write img --slot b
t 1 '' 'mfg_write_kernelimage returned -[0-9]+: failed with errno' kernel write-buffer img --slot b
t 1 '' 'mfg_create_pending_file returned -[0-9]+: failed with errno' pending create upd img
t 1 '' 'mfg_init_flashpart returned -1' part erase /dev/tqrd.rsysb_kernel
t 1 '' 'mfg_write_flashpart returned -1' part write /dev/tqrd.rsysb_kernel img
t 1 '' 'mfg_write_image returned -1' image write /dev/tqrd.rsysb_kernel img
t 1 '' 'mfg_write_flashpart returned -1' store restore store.bak.good
random upd/sysa_code 100000
t 1 '' 'failed on sysa_code!.mfgtool: pending install: mfg_write_pending returned -1' pending install --dir upd
# Provisioning stopped half way: what was written is said, the rest was not tried.
on=half
t 1 'serial: written and verified.*oem_serial: FAILED.*macs: not attempted.*bootopts: not attempted' \
  'mfg_write_oem_serial returned -1' provision unit.json
t 0 "^$S$" '' serial get

# The tool reaches the library through every one of its exported functions.
got=$("$nm" -D --undefined-only "$p/bin/mfgtool" | awk '{ sub(/@.*/, "", $2) } $2 ~ /^(mfg|in)_/ { print $2 }' | sort)
check "mfgtool does not import exactly the exported functions" \
  [ "$got" = "$(sort "$(dirname "$0")/../abi/exported_functions.txt")" ]
boards_clean ok broken half
finish "mfgtool end to end"
