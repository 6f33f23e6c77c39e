#!/bin/sh
# The installed mfgtool provisioning a unit on the kernel tier's guest, as a
# factory station does: manifest, signed kernel, pending code update, info,
# key read back, store backup and restore. busybox sh; one "KTIER ok|FAIL
# mfgtool.N ..." line per check.
w=$(mktemp -d)
cd "$w" || exit 1
n=0
# t STATUS STDOUT_PATTERN ARGS...: one run of the tool; PATTERN is an ERE
# that must match somewhere in stdout (with newlines as spaces).
t() {
    want=$1 re=$2
    shift 2
    n=$((n + 1))
    mfgtool "$@" >out 2>err </dev/null
    rc=$?
    if [ $rc -eq "$want" ] && { [ -z "$re" ] || tr '\n' ' ' <out | grep -Eq -- "$re"; }; then
        echo "KTIER ok mfgtool.$n $*"
    else
        echo "KTIER FAIL mfgtool.$n $*: status $rc (want $want)"
        head -c 800 out err
    fi
}
same() {  # same FILE1 FILE2: a byte-for-byte check
    n=$((n + 1))
    if cmp "$1" "$2"; then echo "KTIER ok mfgtool.$n $1 = $2"; else echo "KTIER FAIL mfgtool.$n $1 != $2"; fi
}

S=TQ2500417D946
head -c 1500 /dev/urandom >auth.der
head -c 256 /dev/urandom >auth.key
macs=$(i=0; while [ $i -lt 37 ]; do printf '0002a5%06x' $((0x4a1000 + i)); i=$((i + 1)); done | cut -c1-440)
printf '{"serial":"TQ25-00417-D946","oem_serial":"OEM-7731-A","macs":"%s","client_auth":"auth.der",
"client_auth_key":"auth.key","bootopts":{"console":"ttyS0","append":" quiet","set_flag":true}}\n' \
    "$macs" >unit.json
rm -f /etc/tq/serial /etc/sysa /etc/sysb

t 0 'checked.*nothing written' provision --dry-run unit.json
t 0 'serial: written and verified.*bootopts: written and verified' provision unit.json
head -c 3145728 /dev/urandom >kernel.img
t 0 'system A' kernel write kernel.img --slot a --signed
mkdir upd
head -c 6291456 /dev/urandom >upd/sysa_code
t 0 'installed' pending install --dir upd
t 0 "serial: +$S \(valid\).*key: present.*ttyS0, flag 1.*slot: +pending" info
t 0 '' auth-key get -o key.back
same auth.key key.back
t 0 '' auth get -o auth.back
same auth.der auth.back
t 0 'serial: valid.*client-auth key: valid' store backup store.bak
t 0 'erased' part erase /dev/tqrd.rcfg0
t 1 '' serial get
t 0 'restored' store restore store.bak
t 0 "^$S" serial get
t 0 '' auth-key get -o key.again
same auth.key key.again
cd / && rm -rf "$w"
