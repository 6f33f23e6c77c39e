#!/usr/bin/env bash
# The kernel tier: the library, its tests and mfgtool on Linux's own MTD
# drivers (nandsim NAND partitions, an mtdram partition) in a qemu guest.
#
#   bash scripts/test-kernel.sh x86_64|ppc32 [--shell]
#
# x86_64 boots Debian's 6.1 kernel with the host build (build/default); ppc32
# boots a kernel built from linux-source-6.1 on the e500 board with the
# PowerPC target build (build/ppc). Kernels and busybox come from
# scripts/kernel-deps.sh. The guest's /init (tests/kernel/init.sh) makes the
# appliance's partitions and /dev/tqrd.* names, runs the tests and reports on
# the serial console; this script counts what it reports and ends with
#     kernel ARCH: N passed, M failed
# --shell opens a shell in the guest on this terminal instead (exit: poweroff -f).
# MFG_KERNEL_STEPS (clean,stress,mfgtool,bad) and MFG_KERNEL_FILTER (a
# GoogleTest pattern for test_kernel) narrow the run. The step "bench" (not
# run unless named, e.g. MFG_KERNEL_STEPS=bench) times mfgtool's verified
# kernel write and provision against their floors on the guest's NAND and
# prints the figures.
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: test-kernel.sh x86_64|ppc32 [--shell]}
shell=0
[ "${2:-}" = --shell ] && shell=1
start=$SECONDS
jobs=$(nproc)

steps=${MFG_KERNEL_STEPS:-clean,stress,mfgtool,bad}
cpus=(-smp 2)

eval "$(bash scripts/kernel-deps.sh "$arch")"
deps_done=$SECONDS

case $arch in
    x86_64)
        preset=default
        cmake --preset default >/dev/null
        libdirs=(/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu)
        readelf=readelf
        rel=$(basename "$KERNEL") rel=${rel#vmlinuz-}
        qemu=(qemu-system-x86_64 -m 512)
        ;;
    ppc32)
        preset=ppc
        prefix=$(bash scripts/ppc-deps.sh)
        fresh=()
        cache=build/ppc/CMakeCache.txt
        if [ -f "$cache" ] && ! grep -qE "^MFG_PPC_PREFIX:(UNINITIALIZED|PATH)=$prefix\$" "$cache"; then
            fresh=(--fresh)
        fi
        bench=OFF
        case ,$steps, in *,bench,*) bench=ON ;; esac
        cmake --preset ppc "${fresh[@]}" -DMFG_PPC_PREFIX:PATH="$prefix" -DMFG_BUILD_BENCH=$bench >/dev/null
        libdirs=(/usr/powerpc-linux-gnu/lib "$prefix/lib")  # the C library, libcrypto.so.3
        readelf=powerpc-linux-gnu-readelf
        rel=$(ls "$MODULES/lib/modules")
        qemu=(qemu-system-ppc64 -M ppce500 -cpu e500mc -m 512)
        ;;
    *) echo "unknown architecture $arch (x86_64 or ppc32)" >&2; exit 2 ;;
esac
build=build/$preset
targets=(test_kernel test_reliability mfgtool)
programs=("$build/tests/test_kernel" "$build/tests/test_reliability" "$build/tools/mfgtool")
case ,$steps, in
    *,bench,*)
        targets+=(tool_bench tool_floor provision_bench)
        programs+=("$build/bench/tool_bench" "$build/bench/tool_floor" "$build/bench/provision_bench")
        ;;
esac
cmake --build --preset "$preset" -j"$jobs" --target "${targets[@]}"
built=$SECONDS

# The guest's root file system.
out=$build/kernel-tier
root=$out/root
rm -rf "$root" && mkdir -p "$root"/{bin,lib,lib/modules,opt/kt/bin,proc,sys,dev,tmp,etc}
cp "$BUSYBOX" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
install -m 755 tests/kernel/init.sh "$root/init"
cp tests/kernel/mfgtool_run.sh "$root/opt/kt/"
cp "${programs[@]}" "$root/opt/kt/bin/"

# Shared libraries the programs need, found the way the target's loader would.
declare -A copied=()
find_lib() {
    local d
    for d in "$build" "$build/sim" "${libdirs[@]}"; do
        [ -e "$d/$1" ] && { printf '%s/%s' "$d" "$1"; return 0; }
    done
    return 1
}
copy_deps() {
    local lib path
    for lib in $($readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        [ -n "${copied[$lib]:-}" ] && continue
        copied[$lib]=1
        path=$(find_lib "$lib") || { echo "no $lib for $1" >&2; exit 1; }
        cp -L "$path" "$root/lib/$lib"
        copy_deps "$path"
    done
}
for p in "${programs[@]}"; do copy_deps "$p"; done
# mfgtool loads libcrypto.so.3 when a command needs a digest; where libmfg.so
# links it statically, nothing names it.
[ -n "${copied[libcrypto.so.3]:-}" ] || cp -L "$(find_lib libcrypto.so.3)" "$root/lib/"
interp=$($readelf -l "${programs[0]}" | sed -n 's/.*interpreter: \(.*\)\]/\1/p')
mkdir -p "$root/$(dirname "$interp")"
cp -L "$(find_lib "$(basename "$interp")")" "$root/$interp"

# The MTD modules and what they depend on, in load order.
moddir=$MODULES/lib/modules/$rel
declare -A loaded=()
add_module() {
    local name=$1 file dep
    [ -n "${loaded[$name]:-}" ] && return 0
    loaded[$name]=1
    file=$(find "$moddir" -name "$name.ko*" -o -name "${name//_/-}.ko*" | head -1)
    [ -n "$file" ] || { echo "module $name not in $moddir" >&2; exit 1; }
    for dep in $(modinfo -F depends "$file" 2>/dev/null | tr ',' ' '); do add_module "$dep"; done
    case $file in
        *.xz) xz -dc "$file" ;;
        *.zst) zstd -qdc "$file" ;;
        *) cat "$file" ;;
    esac >"$root/lib/modules/$name.ko"
    echo "$name" >>"$root/lib/modules/order"
}
add_module mtdram
add_module nandsim
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/initrd.gz"

append="console=ttyS0 loglevel=1 panic=-1"
append+=" kt.steps=$steps kt.filter=${MFG_KERNEL_FILTER:-*}"
# Emulated CPUs (tcg, two host threads) unless MFG_KERNEL_ACCEL says otherwise.
# The benchmarks run on one CPU whose clock counts instructions (one per
# nanosecond), so their figures show the CPU work as a slow target would and
# do not move with the load on the host.
case ,$steps, in *,bench,*) cpus=(-smp 1 -icount shift=0) ;; esac
qemu+=("${cpus[@]}" -accel "${MFG_KERNEL_ACCEL:-tcg}" -kernel "$KERNEL" -initrd "$out/initrd.gz" -no-reboot)
if [ $shell = 1 ]; then
    exec "${qemu[@]}" -nographic -append "$append kt.shell=1"
fi

# One boot; the console goes to a file, read as the guest writes it.
log=$out/console.log
: >"$log"
"${qemu[@]}" -display none -monitor none -serial "file:$log" -append "$append" &
pid=$!
limit=$((SECONDS + ${MFG_KERNEL_TIMEOUT:-1200}))
while kill -0 $pid 2>/dev/null && ! grep -q '^KTIER done' "$log" && [ $SECONDS -lt $limit ]; do
    sleep 1
done
# After "done" the guest powers off (the e500 board cannot: it is ended).
for _ in 1 2 3 4 5; do kill -0 $pid 2>/dev/null || break; sleep 1; done
kill $pid 2>/dev/null || true
wait $pid 2>/dev/null || true

# Count: GoogleTest's per-case lines, the scripts' KTIER lines, a program that
# failed without a failed case (a crash), and a guest that did not finish.
read -r passed failed < <(tr -d '\r' <"$log" | awk '
    /^KTIER begin / { prog = $3; cases[prog] = 0 }
    /\[       OK \] [^ ]+ \(/ { pass++ }
    /\[  FAILED  \] [^ ]+ \(/ { fail++; cases[prog]++ }
    /^KTIER ok / { pass++ }
    /^KTIER FAIL / { fail++ }
    /^KTIER exit / { if ($4 != 0 && cases[$3] == 0) fail++; prog = "" }
    /^KTIER done/ { done = 1 }
    END { if (!done) fail++; printf "%d %d\n", pass, fail }')
if [ "$failed" -ne 0 ]; then
    echo "--- guest console ($log), failures:"
    tr -d '\r' <"$log" | grep -E -A20 '\[  FAILED  \] [^ ]+ \(|^KTIER (FAIL|exit [^ ]+ [1-9])' | head -300 ||
        true
    grep -q '^KTIER done' "$log" || { echo "--- the guest did not finish; its last lines:"; tail -40 "$log"; }
fi
# The benchmarks' figures, as the guest printed them.
tr -d '\r' <"$log" | awk '/^KTIER begin bench/ { on = 1; next } /^KTIER exit bench/ { on = 0 } on'
echo "kernel $arch: kernel and busybox $((deps_done - start))s, build $((built - deps_done))s," \
    "guest $((SECONDS - built))s"
echo "kernel $arch: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
