#!/usr/bin/env bash
# The installed package as a caller meets it: installs the build into a
# temporary prefix, checks the version macros against the pkg-config and CMake
# package versions and the manual pages of every exported function, builds the
# examples and a consumer that links the board too with pkg-config and with
# find_package(mfg), and runs them on simulated boards. Exit 77 (skipped) when
# the board cannot redirect a chdir into /pending, which the kernel updater's
# install into system A needs.
# Usage: installed_examples.sh BUILD_DIR SOURCE_DIR
src=$2
. "$src/tests/tools/e2e_lib.sh" "$1" nm
lib=$(dirname "$(find "$p" -name libmfg.so.1 | head -n 1)")
export PKG_CONFIG_PATH=$lib/pkgconfig LD_LIBRARY_PATH=$lib
failed=0 skipped=0
fail() { echo "FAILED: $*"; failed=1; }

# Versions: the header's macros against pkg-config's and the CMake package's.
v=$(pkg-config --modversion mfg)
grep -q "set(PACKAGE_VERSION \"$v\")" "$lib/cmake/mfg/mfgConfigVersion.cmake" || fail "CMake package is not $v"
IFS=. read -r major minor patch <<<"$v"
printf '#include <mfg.h>\n#if !MFG_VERSION_AT_LEAST(%d, %d, %d) || MFG_VERSION_AT_LEAST(%d, %d, %d) || MFG_VERSION_NUMBER != %d\n#error "version macros"\n#endif\n' \
  "$major" "$minor" "$patch" "$major" "$minor" $((patch + 1)) $((major * 10000 + minor * 100 + patch)) >"$w/v.c"
# shellcheck disable=SC2046  # the flags are words
cc -fsyntax-only -std=c99 $(pkg-config --cflags mfg) "$w/v.c" || fail "version macros of $v"

# "man mfg_read_serial" finds a page for every exported function.
while read -r fn; do
  MANPATH=$p/share/man man -P cat 3 "$fn" 2>/dev/null | grep -q "$fn" || fail "man 3 $fn"
done <"$src/tests/abi/exported_functions.txt"

# The examples, as a caller builds them.
examples=(startup_report client_auth_roundtrip kernel_update)
mkdir "$w/pc"
for e in "${examples[@]}"; do
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Wextra -pedantic -Werror -o "$w/pc/$e" "$src/examples/$e.c" \
    $(pkg-config --cflags --libs mfg) || fail "pkg-config build of $e"
done
cmake -S "$src/examples" -B "$w/cm" -DCMAKE_PREFIX_PATH="$p" -DCMAKE_C_FLAGS=-Werror >/dev/null &&
  cmake --build "$w/cm" >/dev/null || fail "find_package(mfg) build of the examples"
# A consumer linked with the board (pkg-config mfgsim, target mfg::sim) that makes its own.
mkdir "$w/use" && cat >"$w/use/use.c" <<'C'
#include <mfg.h>
#include <mfgsim.h>
#include <string.h>
int main(int argc, char **argv) {
    char oem[8];
    return !(argc == 2 && mfg_valid_serial("12") == 0 && mfgsim_create(argv[1], NULL) == 0 &&
             mfg_write_oem_serial("a-1") == 0 && mfg_read_oem_serial(oem, 8) == 0 &&
             strcmp(oem, "a1") == 0);
}
C
printf '%s\n' 'cmake_minimum_required(VERSION 3.25)' 'project(use C)' \
  'find_package(mfg 1 REQUIRED COMPONENTS sim)' 'add_executable(use use.c)' \
  'target_link_libraries(use PRIVATE mfg::mfg mfg::sim)' >"$w/use/CMakeLists.txt"
# shellcheck disable=SC2046
cc -o "$w/use/pc" "$w/use/use.c" $(pkg-config --cflags --libs mfg mfgsim) && "$w/use/pc" "$w/b1" ||
  fail "pkg-config build of the board consumer"
cmake -S "$w/use" -B "$w/use/cm" -DCMAKE_PREFIX_PATH="$p" >/dev/null && cmake --build "$w/use/cm" >/dev/null &&
  "$w/use/cm/use" "$w/b2" || fail "find_package(mfg COMPONENTS sim) build of the board consumer"
[ $failed -eq 0 ] || exit 1

run() { local b=$1; shift; (cd "$w" && "$p/bin/mfgsim-run" "$w/$b" -- "$@") </dev/null 2>&1; }
# t BOARD STATUS REGEX PROGRAM [ARGS]: one run of each build of an example.
t() {
  local b=$1 want=$2 re=$3 e=$4 out rc; shift 4
  for dir in pc cm; do
    out=$(run "$b" "$w/$dir/$e" "$@"); rc=$?
    [ $rc -eq "$want" ] && [[ $out =~ $re ]] || fail "[$b] $dir/$e $*: status $rc (want $want)"$'\n'"$out"
  done
}
container_in() { "$p/bin/mfgsim-board" dump "$w/$1" "$2" 16 8 | grep -q '0000 9c54 1261 1920'; }

board fresh
t fresh 1 "libmfg $v.serial +absent.*oem-serial +absent +\(erased\).model +absent +ZRK-100.macs +absent.bootopts +absent" startup_report
t fresh 1 'no serial number stored' client_auth_roundtrip
board unit
run unit "$p/bin/mfgtool" serial set TQ2500417D946 >/dev/null || fail "mfgtool serial set"
run unit "$p/bin/mfgtool" oem set OEM-1 >/dev/null || fail "mfgtool oem set"
run unit "$p/bin/mfgtool" macs set "0011223344$(printf '%0430d' 5)" >/dev/null || fail "mfgtool macs set"
run unit "$p/bin/mfgtool" bootopts set --console ttyS0 >/dev/null || fail "mfgtool bootopts set"
t unit 0 'serial +present +TQ2500417D946.oem-serial +present +OEM1.model +present.*macs +present +00:11:22:33:44:00.bootopts +present +version 1.92.27, flag 0' startup_report
t unit 0 'key round trip: 256 bytes' client_auth_roundtrip
t unit 0 'key round trip: 6143 bytes' client_auth_roundtrip 6143
t unit 2 'usage' client_auth_roundtrip 6144
board dead $'fault open /dev/tqrd.cfg0 count=0\nfault open /dev/tqrd.rmfg count=0\nfault open /dev/tqrd.rbootcfg count=0'
t dead 1 'serial +unreadable.*oem-serial +unreadable.model +unreadable ZRK-100.macs +unreadable.bootopts +unreadable' startup_report

head -c 40000 /dev/urandom >"$w/kernel"
board on_a && mkdir -p "$w/on_a/etc" && touch "$w/on_a/etc/sysa" "$w/on_a/etc/sysb"
t on_a 2 'both slot markers' kernel_update "$w/kernel"
rm "$w/on_a/etc/sysb"
t on_a 0 'system B kernel written, 40000 bytes' kernel_update "$w/kernel"
: >"$w/empty"
t on_a 1 'empty image' kernel_update "$w/empty"
container_in on_a sysb_kernel || fail "no signed container on system B"
board on_b && mkdir -p "$w/on_b/etc" && touch "$w/on_b/etc/sysb"
if run on_b sh -c 'cd /pending' >/dev/null; then
  t on_b 0 'Pending sysa_kersig update found.*system A kernel written, 40000 bytes' kernel_update "$w/kernel"
  container_in on_b sysa_kernel || fail "no signed container on system A"
  [ -z "$(ls -A "$w/on_b/pending")" ] || fail "files left in /pending: $(ls "$w/on_b/pending")"
else
  echo "SKIPPED: the simulated board does not redirect chdir into /pending; kernel_update into system A not run"
  skipped=1
fi
[ $failed -eq 0 ] || exit 1
[ $skipped -eq 0 ] || exit 77
echo "installed_examples: version $v, manual, examples built twice and run"
