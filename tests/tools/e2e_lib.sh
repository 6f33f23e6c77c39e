# Shared harness of the mfgtool end-to-end scripts: installs the build into a
# temporary prefix, makes boards, and runs the tool on them.
# Sourced as: . e2e_lib.sh BUILD_DIR NM [EMULATOR] [RUNTIME_TO_PRELOAD_FIRST]
# Defines: $w (work directory, removed on exit), $p (prefix), board NAME EXTRA_CONF,
# boards_clean NAME...: each board kept the NAND rules, and the helpers below.
boards_clean() {
  local b
  for b in "$@"; do
    $emu "$p/bin/mfgsim-board" stats "$w/$b" | awk 'NR > 1 && $NF != 0 { bad = 1 } END { exit bad }' ||
      { echo "FAILED NAND rules broken on board $b"; failed=$((failed + 1)); }
  done
}
set -uo pipefail
build=$1 nm=$2 emu=${3:-} first=${4:-}
emu=${emu//;/ }
w=$(mktemp -d)
trap 'rm -rf "$w"' EXIT
p=$w/prefix
for c in Unspecified sim; do cmake --install "$build" --prefix "$p" --component $c >/dev/null || exit 1; done
[ -f "$p/share/man/man1/mfgtool.1" ] || { echo "man page not installed"; exit 1; }
conf=$'part cfg nand size=512K erase=128K alias=cfg0,rcfg0\npart mfg nand size=128K erase=128K
part bootcfg nor size=256K erase=64K\npart sysa_kernel nand size=4M erase=128K
part sysb_kernel nand size=4M erase=128K\npart sysa_code nand size=16M erase=128K'
board() { printf '%s\n%s\n' "$conf" "${2:-}" >"$w/$1.conf"; $emu "$p/bin/mfgsim-board" create "$w/$1" "$w/$1.conf" >/dev/null; }
passed=0 failed=0 on=ok
# mfg ARGS...: one run of the tool on board $on in $w, streams left to the caller.
mfg() { (cd "$w" && MFG_SIM_BOARD=$w/$on LD_PRELOAD="${first:+$first }$p/lib/libmfgsim.so" \
  $emu "$p/bin/mfgtool" "$@"); }
# t STATUS STDOUT_REGEX STDERR_REGEX ARGS...: one run of the tool on board $on.
t() {
  local want=$1 out_re=$2 err_re=$3 rc=0; shift 3
  mfg "$@" >"$w/out" 2>"$w/err" </dev/null || rc=$?
  if [ $rc -eq "$want" ] && [[ $(<"$w/out") =~ $out_re ]] && [[ $(<"$w/err") =~ $err_re ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED [%s] mfgtool %s: status %s (want %s)\n--- stdout\n%s\n--- stderr\n%s\n' \
      "$on" "$*" $rc "$want" "$(head -c 600 "$w/out")" "$(head -c 600 "$w/err")"
  fi
}
# check MESSAGE COMMAND...: counts a failure with MESSAGE when COMMAND fails.
check() {
  local msg=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED $msg"; fi
}
# manifest FILE SERIAL OEM MACS AUTH KEY BOOTOPTS: a provisioning manifest in $w.
manifest() {
  printf '{"serial":"%s","oem_serial":"%s","macs":"%s","client_auth":"%s","client_auth_key":"%s","bootopts":%s}' \
    "$2" "$3" "$4" "$5" "$6" "$7" >"$w/$1"
}
# random FILE BYTES...: files in $w of that many random bytes.
# random FILE BYTES...: random data without 0xFF, so that a block a write
# fault leaves erased differs from it at its first byte.
random() { while [ $# -gt 1 ]; do head -c "$2" /dev/urandom | tr '\377' '\376' >"$w/$1"; shift 2; done; }
finish() {
  echo "$1: $passed passed, $failed failed"
  [ $failed -eq 0 ]
}
