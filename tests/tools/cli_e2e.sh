#!/usr/bin/env bash
# mfgtool's edges on a simulated board: '-' outputs that carry only data
# (never to a terminal), output files (0600, symbolic links refused), strict
# manifests, one exit status per kind of mistake, JSON on failure, help,
# --version, -q.
. "$(dirname "$0")/e2e_lib.sh" "$@"
board ok ""
S=TQ2500417D946
# on_tty ARGS...: the same with stdin, stdout and stderr on a terminal (both streams on stdout).
on_tty() { (cd "$w" && script -qec "$(printf '%q ' env MFG_SIM_BOARD="$w/$on" \
  LD_PRELOAD="${first:+$first }$p/lib/libmfgsim.so" $emu "$p/bin/mfgtool" "$@")" /dev/null </dev/null); }
random key 200 auth 300 img 5000
for a in "serial set $S" "oem set OEM1" "auth set auth" "auth-key set key"; do t 0 '' '' $a; done

# A '-' backup is the data alone, byte for byte the file backup; its summary
# (also as JSON) goes to stderr; piped into restore it round-trips.
t 0 '' '' store backup file.bak
for j in "" --json; do
  mfg $j store backup - >"$w/out" 2>"$w/err"
  check "'$j store backup -' is the file backup" cmp -s "$w/out" "$w/file.bak"
  check "'$j store backup -' summary on stderr" grep -Eq '^serial: valid|"client-auth key": "valid"' "$w/err"
done
check "backup - | restore - succeeds" eval 'mfg store backup - 2>/dev/null | mfg store restore - >/dev/null'
t 0 '' '' part erase /dev/tqrd.rcfg0
mfg store restore - <"$w/file.bak" >/dev/null
t 0 "^$S$" '' serial get
t 0 '' '' auth-key get -o key.back
check "the key survives backup and restore" cmp -s "$w/key" "$w/key.back"

# Without libcrypto.so.3 the commands that need a digest fail as such, before
# writing anything; a backup is not called invalid.
nocrypto=$(cd "$build" && pwd)/tests/tools/libno_libcrypto.so
cp "$w/$on/dev/cfg.bin" "$w/cfg.before"
for c in "store backup nc.bak" "store restore file.bak" "kernel write img --slot b --signed"; do
  first="${first:+$first }$nocrypto" t 1 '' 'no MD5 digest can be computed: .*libcrypto' $c
done
check "no backup file without a digest" [ ! -e "$w/nc.bak" ]
check "a restore without a digest leaves the store" cmp -s "$w/$on/dev/cfg.bin" "$w/cfg.before"

# Secret and raw outputs: 0600 whatever the umask, an older file replaced
# whole, no temporary file left; a symbolic link is refused and its target kept.
echo old >"$w/k.out"; chmod 644 "$w/k.out"
for c in "auth-key get -o k.out" "auth get -o a.out" "store backup b.out" "part read /dev/tqrd.rcfg0 64 p.out"; do
  (umask 0; mfg $c >/dev/null 2>&1) || check "mfgtool $c" false
done
check "output files are 0600" [ "$(cd "$w" && stat -c %a k.out a.out b.out p.out)" = $'600\n600\n600\n600' ]
check "-o replaces the old file with the key" cmp -s "$w/key" "$w/k.out"
check "no temporary output files left" [ -z "$(cd "$w" && ls -d ./*.out.* 2>/dev/null)" ]
echo keep >"$w/victim"; ln -s victim "$w/link"
t 1 '' 'link is a symbolic link; it is not followed' auth-key get -o link
t 1 '' 'link is a symbolic link' store backup link
check "the link's target is untouched" [ "$(cat "$w/victim")" = keep ] && [ -L "$w/link" ]
mkfifo "$w/fifo"; timeout 60 cat "$w/fifo" >"$w/fifo.out" &
t 0 '' '' auth-key get -o fifo
wait
check "a FIFO is written in place" eval '[ -p "$w/fifo" ] && cmp -s "$w/key" "$w/fifo.out"'

# Manifests: each mistake exits 2 with its place, writes nothing, and with
# --json prints one error object on stdout.
n=0
while IFS='|' read -r body want; do
  n=$((n + 1)); printf "$body" >"$w/m$n.json"
  t 2 '^$' "manifest m$n.json: $want" provision m$n.json
  t 2 '^\{"error":"manifest m'$n'\.json: .*","status":2\}$' '' --json provision m$n.json
done <<'EOF'
{"oem_serial":"NEW1","oem_serial":"NEW2"}|key "oem_serial" given twice in one object, again at byte 22 \(line 1, column 22\)
{"bootopts":{"console":"ttyS0",\n"set_flag":true,"console":"ttyS1"}}|key "console" given twice.*line 2, column 17
{"oem_serial":"NEW1"}\0{"oem_serial":"NEW2"}|NUL byte at byte 22 \(line 1, column 22\)
{"oem_serial":"NEW1\\u0000X"}|the text at byte 15 .* holds \\u0000
{}|no field to write
{"oem_serial":"NEW1",\n  "macs": 00}|not valid JSON at byte 34 \(line 2, column 12\): .*unexpected number
["oem_serial"]|not a JSON object
EOF
printf '{"bootopts":{"keep_ram":1}}' >"$w/flag1.json"; printf '{"bootopts":{"keep_ram":true}}' >"$w/flag2.json"
t 2 '^$' 'manifest: bootopts.keep_ram must be true or false' provision flag1.json
t 0 'bootopts: checked' '' provision --dry-run flag2.json
t 0 '^OEM1$' '' oem get

# The same kind of mistake, the same status: inputs that cannot be read, a
# wrong input, a wrong argument are 2 in every command; outputs and the unit 1.
for c in "auth set nosuch" "macs set --file nosuch" "part write /dev/tqrd.rsysb_kernel nosuch" \
  "image write /dev/tqrd.rsysb_kernel nosuch" "kernel write nosuch --slot b" "pending create x nosuch" \
  "store restore nosuch" "pending install --dir nosuch" "auth set ." "store restore key" \
  "auth-key get -o" "part read /dev/tqrd.rcfg0 8 ''" "kernel write img --slot a --slot b" "help bogus"; do
  eval "t 2 '^$' '^mfgtool: ' $c"
done
t 1 '' 'cannot create a file beside nodir/k' auth-key get -o nodir/k
t 1 '' 'nosuch delivered only 0 of 8 bytes' part read /dev/tqrd.nosuch 8 p2.out
check "a value that cannot be printed is a failure" eval '! mfg serial get >/dev/full 2>/dev/null'
t 2 '^\{"error":"OEM_SERIAL is required","status":2\}$' 'Run .mfgtool --help' --json oem set
t 1 '^\{"error":"part read: .*","status":1\}$' '' --json part read /dev/tqrd.nosuch 8 p2.out
t 1 '^$' '\{"error":"part read: .*","status":1\}' --json part read /dev/tqrd.nosuch 8 -

# help is the tool's help; --version names the library file really loaded.
t 0 'Usage: mfgtool \[OPTIONS\] SUBCOMMAND.*provision' '^$' help
t 0 '^write the client-authentication key.*Usage: mfgtool auth-key get' '^$' help auth-key get
lib=$(basename "$(readlink -f "$p/lib/libmfg.so.1")") v=${lib#libmfg.so.}
t 0 "^mfgtool $v"$'\n'"libmfg $v \(built against\), $v \(loaded from $p/lib/$lib\)$" '^$' --version
mkdir "$w/alt" && cp "$p/lib/$lib" "$w/alt/libmfg.so.7.8.9" && ln -s libmfg.so.7.8.9 "$w/alt/libmfg.so.1"
LD_LIBRARY_PATH=$w/alt t 0 "libmfg $v \(built against\), 7\.8\.9 \(loaded from $w/alt/libmfg.so.7.8.9\)" '' -V

# Raw data is never written to a terminal: wrong usage, its error alone shown.
for c in "auth-key get" "auth get" "part read /dev/tqrd.rcfg0 8" "store backup -"; do
  read -r n v _ <<<"$c"; rc=0; on_tty $c >"$w/tty" || rc=$?
  check "'$c' to a terminal is refused" eval '[ $rc = 2 ] && [[ $(tr -d "\r" <"$w/tty") =~ ^"mfgtool: $n $v: binary data is not written to a terminal"[^[:cntrl:]]*$ ]]'
done
# Progress: on by default on a terminal, off with -q unless --progress asks.
on_tty part write /dev/tqrd.rsysb_kernel img >"$w/tty1"
on_tty -q part write /dev/tqrd.rsysb_kernel img >"$w/tty2"
on_tty -q --progress part write /dev/tqrd.rsysb_kernel img >"$w/tty3"
check "progress on a terminal" grep -q 'part write: verified 5000 bytes' "$w/tty1"
check "-q on a terminal prints nothing" [ ! -s "$w/tty2" ]
check "-q --progress prints progress only" \
  bash -c "grep -q 'verified 5000' '$w/tty3' && ! grep -q '^wrote' '$w/tty3'"
boards_clean ok
finish "mfgtool edges"
