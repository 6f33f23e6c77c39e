#!/usr/bin/env bash
# mfgtool's partition, image and kernel writes on simulated boards: what the
# library would cut short, or refuse only after erasing, is refused with the
# partition untouched; what is written is read back as the library lays it
# out (gzip, bad blocks), and a write fault is caught.
. "$(dirname "$0")/e2e_lib.sh" "$@"
k=/dev/tqrd.rsysb_kernel
board ok ""
board wf "part nobb nand size=512K erase=128K nobbt
fault pwrite $k nth=3
fault pwrite /dev/tqrd.rnobb nth=2"
conf=${conf/sysb_kernel nand size=4M erase=128K/sysb_kernel nand size=4M erase=128K bad=2}
board bad "part nobb nand size=512K erase=128K nobbt"
cd "$w" || exit 1
random plain.img 3000000 big.img 4194305 k4 4194290 200k 200000; : >empty.img
head -c 3200000 /dev/urandom | base64 -w0 | head -c 4194304 >text4m
head -c 5000000 /dev/zero | tr '\0' k | gzip >big.gz             # 5000000 bytes inflated
head -c 1000 /dev/zero | gzip >short.gz
gzip -c text4m >full.gz                                          # 32 blocks
head -c 4063232 text4m | gzip >fit.gz                            # 31 blocks
{ head -c 4063232 text4m; head -c 131072 /dev/zero | tr '\0' '\377'; } | gzip >fill.gz
head -c 2000000 full.gz >cut.gz
# Two members and bytes after the stream: the trailer does not describe the data.
{ head -c 1000000 text4m | gzip; tail -c +1000001 text4m | gzip; echo junk; } >multi.gz
same() { check "$1 left $2 untouched" cmp -s "$w/$on/dev/$2.bin" "$w/$2.before"; }
snap() { cp "$w/$on/dev/$1.bin" "$w/$1.before"; }
no_claim() { check "$1: no claim of verification" bash -c "! grep -Eq '(^|[^t] )verified' '$w/out' '$w/err'"; }

# Refused before the erase, with the numbers, the partition byte for byte as before.
t 0 'system B: kernel plain.img written and verified \(3000000 bytes\)' '' kernel write plain.img --slot b
snap sysb_kernel
nothing='; nothing written$'
t 1 '' "big.gz inflates to 5000000 bytes; $k holds 4194304 bytes: the library would write the first 4194304 and drop the rest.*$nothing" \
  kernel write big.gz --slot b
t 1 '' "inflates to 1000 bytes, but a gzip image fills the partition: $k holds 4194304 bytes.*$nothing" kernel write short.gz --slot b
t 1 '' "cut.gz is not a whole gzip stream \(unexpected end of file after [0-9]+ inflated bytes\)$nothing" kernel write-buffer cut.gz --slot b
t 1 '' "empty.img is empty: writing it would only erase $k \(--allow-empty writes it anyway\)$nothing" kernel write empty.img --slot b
t 1 '' 'empty.img is empty' kernel write-buffer empty.img --slot b
t 1 '' "k4 is 4194290 bytes, 4194334 in the signed container, larger than $k \(4194304 bytes\)$nothing" kernel write k4 --slot b --signed
t 1 '' "big.img is 4194305 bytes, larger than $k \(4194304 bytes\)$nothing" image write $k big.img
same refusals sysb_kernel
t 0 '' '' oem set OEM-1
snap mfg
t 1 '' "200k is 200000 bytes, larger than /dev/tqrd.rmfg \(131072 bytes\)$nothing" part write /dev/tqrd.rmfg 200k
same 'part write' mfg
t 0 '^OEM1$' '' oem get
# Pending updates are all checked before the first is installed.
mkdir upd && cp plain.img upd/sysa_code && cp big.gz upd/sysa_kitb
snap sysa_code
t 1 '' 'sysa_kitb inflates to 5000000 bytes' pending install --dir upd
same 'pending install' sysa_code
check 'refused updates stay in place' test -f upd/sysa_code -a -f upd/sysa_kitb

# Written and read back: gzip through either call, signed, empty on request.
t 0 "kernel full.gz written and verified \(4194304 bytes\)" '' kernel write-buffer full.gz --slot b
t 0 "kernel multi.gz written and verified \(4194304 bytes\)" '' kernel write multi.gz --slot b
t 0 'signed kernel plain.img written and verified \(3000044 bytes\)' '' kernel write plain.img --slot b --signed
t 0 'written \(not verified\)' '' --no-verify image write $k full.gz
no_claim --no-verify
t 0 'empty.img written and verified \(0 bytes\)' '' kernel write empty.img --slot b --allow-empty

# A bad block: the data moves past it, the room shrinks by one block.
on=bad
t 0 "$k +system B kernel +nand +4194304 .*131072 .* 1: 2"$'\n' '' part list
t 0 '"bad_blocks": \[\s*2\s*\].*"erase_blocks": 32' '' --json part list $k
t 0 'fit.gz written and verified \(4063232 bytes\)' '' kernel write fit.gz --slot b
check 'the block after the bad one holds the third block of data' \
  cmp -s <(dd if="$w/bad/dev/sysb_kernel.bin" bs=128K skip=3 count=1 status=none) <(dd if=text4m bs=128K skip=2 count=1 status=none)
snap sysb_kernel
t 1 '' "inflates to 4194304 bytes; $k holds 4063232 bytes \(31 good erase blocks of 131072; bad: 2\): the library would write the first 4063232" \
  kernel write full.gz --slot b
t 1 '' "text4m is 4194304 bytes; $k holds 4063232 bytes" image write $k text4m
same 'bad-block refusals' sysb_kernel
t 0 'fill.gz written and verified \(4063232 bytes\)' '' kernel write fill.gz --slot b
t 0 'plain.img written and verified \(3000000 bytes\)' '' kernel write plain.img --slot b
t 0 'nobb: 200k written and verified' '' part write /dev/tqrd.rnobb 200k

# A block that does not take its data is caught, and no bad block is blamed.
on=wf
t 1 '' "read-back of $k differs at byte 262144 \(erase block 2, byte 262144 of plain.img\): the write did not stick$" \
  kernel write plain.img --slot b
for f in full.gz multi.gz; do
  t 1 '' "read-back of $k differs at byte 262144 \(erase block 2, inflated byte 262144 of $f\): the write did not stick$" \
    image write $k $f
done
t 1 '' 'differs at byte 131072 .*: the write did not stick; the driver keeps no bad-block information' \
  image write /dev/tqrd.rnobb 200k
t 0 'plain.img written \(not verified\)$' '' --no-verify kernel write plain.img --slot b
no_claim 'write fault, --no-verify'

# Reads of the node that come back short are read on, not taken for its end.
board short "fault pread $k partial=5000"
on=short
t 0 'plain.img written and verified \(3000000 bytes\)' '' kernel write plain.img --slot b
t 0 'fit.gz written and verified \(4063232 bytes\)' '' image write $k fit.gz

# The running system's partitions, whichever command would write them.
on=ok
mkdir -p "$w/ok/etc" && touch "$w/ok/etc/sysa"
a="a partition of system A: the unit is running from it \(--force overrides\)"
t 1 '' "refusing to write /dev/tqrd.rsysa_code, $a" image write /dev/tqrd.rsysa_code plain.img
t 1 '' "refusing to write /dev/tqrd.rsysa_kernel, $a" part erase /dev/tqrd.rsysa_kernel
t 1 '' "refusing to write /dev/tqrd.rsysa_code, $a" part write /dev/tqrd.rsysa_code 200k
t 0 'erased and verified \(32 erase blocks\)' '' part erase /dev/tqrd.rsysa_kernel --force
t 0 'verified' '' image write $k plain.img
boards_clean ok bad wf short
finish "mfgtool images end to end"
