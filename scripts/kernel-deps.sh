#!/usr/bin/env bash
# Kernel, modules and busybox for the kernel test tier's guest.
#
#   bash scripts/kernel-deps.sh x86_64|ppc32
#
# x86_64: Debian's 6.1 kernel package and busybox-static, as installed.
# ppc32:  a kernel built from linux-source-6.1 with tests/kernel/ppc32.config
#         over allnoconfig, and a static busybox cross-built from Debian's
#         source package, both into
#             ${MFG_KERNEL_CACHE:-/var/cache/libmfg-kernel}/ppc32-<stamp>
#         The stamp hashes the fragment, the package versions and RECIPE
#         below, so each is built once per machine. Safe to run again at any time.
#
# Installs what it needs with apt-get. Progress goes to stderr; stdout gets
# three lines, KERNEL=, MODULES= (a directory holding lib/modules/<release>)
# and BUSYBOX=, for the runner to source.
set -euo pipefail
cd "$(dirname "$0")/.."
ARCH=${1:?usage: kernel-deps.sh x86_64|ppc32}
CACHE=${MFG_KERNEL_CACHE:-/var/cache/libmfg-kernel}
JOBS=${MFG_KERNEL_JOBS:-$(nproc)}
FRAGMENT=$PWD/tests/kernel/ppc32.config
# Raise when a change here builds a different kernel or busybox.
RECIPE=1
START=$SECONDS
log() { printf '[kernel-deps %4ds] %s\n' $((SECONDS - START)) "$*" >&2; }
die() { log "error: $*"; exit 1; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
ensure_packages() {
    local missing=() p
    for p in "$@"; do installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing ${missing[*]}"
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}
version() { dpkg-query -W -f='${Version}' "$1"; }

x86_64() {
    ensure_packages qemu-system-x86 busybox-static cpio linux-image-amd64
    # The newest installed 6.1 kernel of the package that ships the MTD modules.
    local rel
    rel=$(cd /lib/modules && ls -d 6.1.*-amd64 2>/dev/null | sort -V | tail -1)
    [ -n "$rel" ] && [ -f "/boot/vmlinuz-$rel" ] || die "no 6.1 amd64 kernel installed"
    [ -r "/boot/vmlinuz-$rel" ] || die "/boot/vmlinuz-$rel is not readable"
    printf 'KERNEL=%s\nMODULES=/\nBUSYBOX=/bin/busybox\n' "/boot/vmlinuz-$rel"
}

build_kernel() {  # into $ROOT/vmlinux and $ROOT/modules
    local t=$SECONDS src=$WORK/linux
    log "unpacking linux-source-6.1"
    rm -rf "$src" && mkdir -p "$src"
    tar xJf /usr/src/linux-source-6.1.tar.xz -C "$src" --strip-components=1
    log "building the kernel (allnoconfig + $(basename "$FRAGMENT"))"
    local mk=(make -C "$src" ARCH=powerpc CROSS_COMPILE=powerpc-linux-gnu- -j"$JOBS")
    ("${mk[@]}" allnoconfig &&
        "$src"/scripts/kconfig/merge_config.sh -m -O "$src" "$src/.config" "$FRAGMENT" &&
        "${mk[@]}" olddefconfig) >"$WORK/kernel.log" 2>&1 ||
        { tail -30 "$WORK/kernel.log" >&2; die "kernel configuration failed"; }
    # Every line of the fragment must have survived the dependency checks.
    local line unset_lines=0
    while read -r line; do
        case $line in CONFIG_*) grep -qxF "$line" "$src/.config" || { log "not set: $line"; unset_lines=1; } ;; esac
    done <"$FRAGMENT"
    [ $unset_lines -eq 0 ] || die "the fragment does not apply"
    ("${mk[@]}" vmlinux modules &&
        "${mk[@]}" INSTALL_MOD_PATH="$ROOT/modules" modules_install) >>"$WORK/kernel.log" 2>&1 ||
        { tail -30 "$WORK/kernel.log" >&2; die "kernel build failed (log: $WORK/kernel.log)"; }
    cp "$src/vmlinux" "$ROOT/vmlinux"
    cp "$src/.config" "$ROOT/config"
    log "kernel built in $((SECONDS - t))s"
}

build_busybox() {  # static, for the target, into $ROOT/busybox
    local t=$SECONDS dl=$CACHE/downloads/busybox_${BUSYBOX_VER//:/_} src=$WORK/busybox
    if ! ls "$dl"/*.dsc >/dev/null 2>&1; then
        log "apt-get source busybox=$BUSYBOX_VER"
        rm -rf "$dl" && mkdir -p "$dl"
        (cd "$dl" && apt-get source -qq --download-only "busybox=$BUSYBOX_VER" >&2) ||
            die "busybox source package not served"
    fi
    rm -rf "$src"
    dpkg-source --no-check -x "$dl"/*.dsc "$src" >/dev/null
    log "building busybox $BUSYBOX_VER"
    local mk=(make -C "$src" ARCH=powerpc CROSS_COMPILE=powerpc-linux-gnu- -j"$JOBS")
    ("${mk[@]}" defconfig &&
        sed -i -e 's/^# CONFIG_STATIC is not set/CONFIG_STATIC=y/' \
            -e 's/^CONFIG_\(TC\|FEATURE_TC_INGRESS\)=y/# CONFIG_\1 is not set/' "$src/.config" &&
        { yes '' || true; } | "${mk[@]}" oldconfig && "${mk[@]}" busybox) >"$WORK/busybox.log" 2>&1 ||
        { tail -30 "$WORK/busybox.log" >&2; die "busybox build failed (log: $WORK/busybox.log)"; }
    cp "$src/busybox" "$ROOT/busybox"
    log "busybox built in $((SECONDS - t))s"
}

ppc32() {
    ensure_packages qemu-system-ppc cpio linux-source-6.1 gcc-powerpc-linux-gnu make flex bison bc \
        libssl-dev libelf-dev xz-utils dpkg-dev
    # The deb-src entry and the target's C library come with the PowerPC target libraries.
    bash scripts/ppc-deps.sh >/dev/null
    BUSYBOX_VER=$(apt-cache showsrc --only-source busybox 2>/dev/null | awk '/^Version:/ { print $2 }' |
        sort -V | tail -1)
    [ -n "$BUSYBOX_VER" ] || die "no busybox source package listed"
    local gcc
    gcc=$(version gcc-powerpc-linux-gnu)
    KERNEL_DIR=$(cached kernel "linux-source $(version linux-source-6.1)
gcc $gcc
fragment $(sha256sum "$FRAGMENT" | cut -c1-64)
recipe $RECIPE" build_kernel)
    BUSYBOX_DIR=$(cached busybox "busybox $BUSYBOX_VER
gcc $gcc
recipe $RECIPE" build_busybox)
    printf 'KERNEL=%s\nMODULES=%s\nBUSYBOX=%s\n' "$KERNEL_DIR/vmlinux" "$KERNEL_DIR/modules" \
        "$BUSYBOX_DIR/busybox"
}

# cached NAME STAMP BUILDER: the directory $CACHE/ppc32-NAME-<hash of STAMP>,
# made by BUILDER (into $ROOT, scratch space in $WORK) unless already done.
# Other builds of NAME are removed once it is.
cached() {
    local name=$1 stamp=$2 builder=$3 key d
    key=$(printf '%s\n' "$stamp" | sha256sum | cut -c1-16)
    ROOT=$CACHE/ppc32-$name-$key
    WORK=$ROOT/work
    mkdir -p "$CACHE"
    exec 9>"$CACHE/.lock-$name"
    flock 9
    if [ ! -f "$ROOT/done" ]; then
        log "building $name into $ROOT"
        rm -rf "$ROOT" && mkdir -p "$WORK"
        printf '%s\n' "$stamp" >"$ROOT/STAMP"
        "$builder" >&2
        rm -rf "$WORK"
        touch "$ROOT/done"
        for d in "$CACHE"/ppc32-"$name"-*/STAMP; do
            d=$(dirname "$d")
            [ "$d" = "$ROOT" ] || { log "removing $d"; rm -rf "$d"; }
        done
    fi
    exec 9>&-
    printf '%s' "$ROOT"
}

case $ARCH in
    x86_64) x86_64 ;;
    ppc32) ppc32 ;;
    *) die "unknown architecture $ARCH (x86_64 or ppc32)" ;;
esac
