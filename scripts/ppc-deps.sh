#!/usr/bin/env bash
# Cross toolchain, emulator and target libraries for the 32-bit big-endian
# PowerPC board (powerpc-linux-gnu).
#
# Installs the cross compiler, qemu-user-static and the source tools, adds a
# deb-src entry mirroring the machine's Debian sources, fetches the zlib and
# OpenSSL source packages and builds for the target static zlib, libcrypto
# (static, which libmfg.so links, and libcrypto.so.3, the appliance's system
# library, which mfgtool loads when a command needs a digest) and googletest
# into
#     ${MFG_PPC_CACHE:-/var/cache/libmfg-ppc}/<stamp>/prefix
# with the emulator's view of the target's library directory in prefix/sysroot.
# The stamp is a hash of the source versions, the cross compiler's version and
# this script, so the libraries are built once per machine and rebuilt only when
# one of those changes. Safe to run again at any time.
#
# Progress goes to stderr; the prefix is the only line printed on stdout.
set -euo pipefail

TRIPLE=powerpc-linux-gnu
CACHE=${MFG_PPC_CACHE:-/var/cache/libmfg-ppc}
JOBS=${MFG_PPC_JOBS:-$(nproc)}
PACKAGES=(g++-powerpc-linux-gnu libc6-dev-powerpc-cross linux-libc-dev-powerpc-cross
          qemu-user-static dpkg-dev patch xz-utils googletest cmake ninja-build make perl)
APT_ETC=${MFG_PPC_APT_ETC:-/etc/apt}
SRC_LIST=$APT_ETC/sources.list.d/libmfg-ppc-src.sources
UNSERVED=$CACHE/downloads/unserved  # versions listed by the mirror but not served
SELF=$(readlink -f "${BASH_SOURCE[0]}")

START=$SECONDS
log() { printf '[ppc-deps %4ds] %s\n' $((SECONDS - START)) "$*" >&2; }
die() { log "error: $*"; exit 1; }

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"
    elif command -v sudo >/dev/null; then sudo "$@"
    else die "need root for: $*"; fi
}

APT_UPDATED=0
apt_update_once() {  # one update per run, whoever needs it first
    [ "$APT_UPDATED" -eq 1 ] && return 0
    log "apt-get update"
    as_root apt-get update -qq >&2
    APT_UPDATED=1
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

ensure_packages() {
    local missing=() p
    for p in "${PACKAGES[@]}"; do installed "$p" || missing+=("$p"); done
    [ ${#missing[@]} -eq 0 ] && { log "packages present"; return 0; }
    log "installing ${missing[*]}"
    apt_update_once
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" >&2
}

# The deb-src twin of every enabled Debian archive entry: same URIs, suites,
# components and key, in deb822 form whatever the original format.
debian_src_entries() {
    local f
    for f in "$APT_ETC"/sources.list.d/*.sources; do
        [ -f "$f" ] && [ "$f" != "$SRC_LIST" ] || continue
        awk '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && uris ~ /\/debian(-security)?\/?( |$)/ && enabled != "no")
                    printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n%s\n", uris, suites, comps, signed
                types = uris = suites = comps = signed = enabled = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            { key = $1; sub(/^[^:]*:[ \t]*/, "") }
            key == "Types:" { types = $0 }
            key == "URIs:" { uris = $0 }
            key == "Suites:" { suites = $0 }
            key == "Components:" { comps = $0 }
            key == "Enabled:" { enabled = $0 }
            key == "Signed-By:" { signed = "Signed-By: " $0 "\n" }
            END { flush() }
        ' "$f"
    done
    for f in "$APT_ETC"/sources.list "$APT_ETC"/sources.list.d/*.list; do
        [ -f "$f" ] || continue
        awk '
            $1 != "deb" { next }
            {
                opts = ""; i = 2
                if ($2 ~ /^\[/) { while ($i !~ /\]$/) { opts = opts " " $i; i++ } opts = opts " " $i; i++ }
                uri = $i; suite = $(i + 1); comps = ""
                for (j = i + 2; j <= NF; j++) comps = comps " " $j
                if (uri !~ /\/debian(-security)?\/?$/) next
                signed = ""
                if (match(opts, /signed-by=[^] ]+/)) signed = "Signed-By: " substr(opts, RSTART + 10, RLENGTH - 10) "\n"
                printf "Types: deb-src\nURIs: %s\nSuites: %s\nComponents:%s\n%s\n", uri, suite, comps, signed
            }
        ' "$f"
    done
}

source_versions() {  # versions of a source package in apt's lists, newest first
    local vs=() i j t
    mapfile -t vs < <(apt-cache showsrc --only-source "$1" 2>/dev/null | awk '/^Version:/ { print $2 }' | sort -u)
    for ((i = 0; i < ${#vs[@]}; i++)); do
        for ((j = i + 1; j < ${#vs[@]}; j++)); do
            if dpkg --compare-versions "${vs[j]}" gt "${vs[i]}"; then t=${vs[i]}; vs[i]=${vs[j]}; vs[j]=$t; fi
        done
    done
    [ ${#vs[@]} -eq 0 ] || printf '%s\n' "${vs[@]}"
}

download_dir() { printf '%s/downloads/%s_%s' "$CACHE" "$1" "${2//:/_}"; }

# Newest version of source package $1 that is downloaded or can be downloaded
# (a mirror may list sources it does not serve).
fetch_source() {
    local pkg=$1 v dl
    for v in $(source_versions "$pkg"); do
        dl=$(download_dir "$pkg" "$v")
        if ls "$dl"/*.dsc >/dev/null 2>&1; then printf '%s' "$v"; return 0; fi
        grep -qxF "$pkg=$v" "$UNSERVED" 2>/dev/null && continue
        log "apt-get source $pkg=$v"
        rm -rf "$dl.tmp" && mkdir -p "$dl.tmp"
        if (cd "$dl.tmp" && apt-get source -qq --download-only "$pkg=$v" >&2 2>"$dl.tmp/.err"); then
            rm -f "$dl.tmp/.err" && rm -rf "$dl" && mv "$dl.tmp" "$dl"
            printf '%s' "$v"; return 0
        fi
        log "  not served: $(grep -m1 '^E:' "$dl.tmp/.err" || true)"
        printf '%s\n' "$pkg=$v" >>"$UNSERVED"
        rm -rf "$dl.tmp"
    done
    return 1
}

# Written before any package is installed, so that one apt-get update serves both.
ensure_src_entry() {
    local entries
    entries=$(printf '# Source packages for building the PowerPC target libraries.\n'; debian_src_entries)
    [ "$(printf '%s' "$entries" | grep -c '^Types:')" -gt 0 ] ||
        die "no Debian archive entry in the apt sources to mirror as deb-src"
    if [ "$(cat "$SRC_LIST" 2>/dev/null)" != "$entries" ]; then
        log "writing $SRC_LIST"
        printf '%s\n' "$entries" | as_root tee "$SRC_LIST" >/dev/null
        apt_update_once
    fi
}

ensure_sources() {
    if [ -z "$(source_versions zlib)" ] || [ -z "$(source_versions openssl)" ]; then apt_update_once; fi
    as_root mkdir -p "$CACHE/downloads"
    [ -w "$CACHE" ] && [ -w "$CACHE/downloads" ] || as_root chown "$(id -u):$(id -g)" "$CACHE" "$CACHE/downloads"
    ZLIB_VER=$(fetch_source zlib) || die "no zlib source package could be fetched"
    OPENSSL_VER=$(fetch_source openssl) || die "no openssl source package could be fetched"
}

# Unpacks the fetched source package $1 at version $2 into directory $3.
unpack_source() {
    rm -rf "$3"
    dpkg-source --no-check -x "$(download_dir "$1" "$2")"/*.dsc "$3" >/dev/null
}

build_zlib() {
    local t=$SECONDS src="$WORK/zlib"
    unpack_source zlib "$ZLIB_VER" "$src"
    log "building zlib $ZLIB_VER"
    (cd "$src" &&
        CHOST=$TRIPLE CC=$TRIPLE-gcc AR=$TRIPLE-ar RANLIB=$TRIPLE-ranlib CFLAGS="-O2 -fPIC" \
            ./configure --static --prefix="$PREFIX" &&
        make -j"$JOBS" libz.a && make install) >"$WORK/zlib.log" 2>&1 ||
        { tail -30 "$WORK/zlib.log" >&2; die "zlib build failed (log: $WORK/zlib.log)"; }
    log "zlib built in $((SECONDS - t))s"
}

# Only libcrypto, static and shared, without the protocol, certificate-service
# and rarely used cipher code, no loadable modules, no tests, no programs.
build_libcrypto() {
    local t=$SECONDS src="$WORK/openssl"
    unpack_source openssl "$OPENSSL_VER" "$src"
    log "building libcrypto $OPENSSL_VER"
    (cd "$src" &&
        ./Configure linux-ppc --cross-compile-prefix="$TRIPLE-" --prefix="$PREFIX" --libdir=lib \
            no-module no-dso no-engine no-tests no-ui-console no-comp \
            no-ssl3 no-dtls no-srp no-psk no-ct no-ocsp no-cms no-ts no-rfc3779 \
            no-idea no-seed no-camellia no-aria no-bf no-cast no-whirlpool no-mdc2 \
            no-sm2 no-sm3 no-sm4 no-siphash no-gost \
            -O2 -fPIC &&
        make -j"$JOBS" build_generated && make -j"$JOBS" libcrypto.a libcrypto.so) >"$WORK/openssl.log" 2>&1 ||
        { tail -30 "$WORK/openssl.log" >&2; die "libcrypto build failed (log: $WORK/openssl.log)"; }
    mkdir -p "$PREFIX/include/openssl" "$PREFIX/lib"
    cp "$src"/include/openssl/*.h "$PREFIX/include/openssl/"
    cp "$src/libcrypto.a" "$src/libcrypto.so.3" "$PREFIX/lib/"
    log "libcrypto built in $((SECONDS - t))s"
}

build_gtest() {
    local t=$SECONDS bld="$WORK/googletest"
    log "building googletest $GTEST_VER"
    rm -rf "$bld"
    (cmake -S /usr/src/googletest -B "$bld" -G Ninja \
            -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=powerpc \
            -DCMAKE_C_COMPILER=$TRIPLE-gcc -DCMAKE_CXX_COMPILER=$TRIPLE-g++ \
            -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
            -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_INSTALL_PREFIX="$PREFIX" \
            -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_GMOCK=ON &&
        cmake --build "$bld" -j "$JOBS" && cmake --install "$bld") >"$WORK/googletest.log" 2>&1 ||
        { tail -30 "$WORK/googletest.log" >&2; die "googletest build failed (log: $WORK/googletest.log)"; }
    log "googletest built in $((SECONDS - t))s"
}

# The root the emulator maps the target's absolute paths into (qemu -L): the
# cross C library's directory with libcrypto.so.3 in it, where the target's
# loader finds a system library whatever LD_LIBRARY_PATH the caller sets.
# Missing links are added on every run (a library the cross packages gain
# later is found) and none is replaced, so a running test never misses one.
make_sysroot() {
    local lib=$PREFIX/sysroot/lib e
    mkdir -p "$lib"
    [ -L "$lib/libcrypto.so.3" ] || ln -s ../../lib/libcrypto.so.3 "$lib/"
    for e in "/usr/$TRIPLE/lib"/*; do [ -L "$lib/${e##*/}" ] || ln -s "$e" "$lib/"; done
}

# A big-endian, 32-bit program that runs under the emulator and finds the
# shared libcrypto as a system library.
smoke_test() {
    local dir
    dir=$(mktemp -d)
    cat >"$dir/t.c" <<'EOF'
#include <dlfcn.h>
#include <stdio.h>
#include <zlib.h>
#include <openssl/evp.h>
int main(void) {
    unsigned x = 0x01020304, n = 0;
    unsigned char d[32];
    if (*(unsigned char *)&x != 1 || sizeof(void *) != 4) return 2;
    if (!EVP_Digest("abc", 3, d, &n, EVP_sha256(), NULL) || n != 32 || d[0] != 0xba) return 3;
    if (!dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL)) return 4;
    printf("%s %s\n", zlibVersion(), OPENSSL_VERSION_TEXT);
    return 0;
}
EOF
    $TRIPLE-gcc -O2 -I"$PREFIX/include" "$dir/t.c" -o "$dir/t" "$PREFIX/lib/libcrypto.a" \
        "$PREFIX/lib/libz.a" -pthread -latomic -ldl
    local out
    out=$(qemu-ppc-static -L "$PREFIX/sysroot" "$dir/t") || die "target check failed under qemu-ppc-static"
    log "target check: big-endian 32-bit program runs, $out"
    rm -rf "$dir"
}

ensure_src_entry
ensure_packages
ensure_sources
GTEST_VER=$(dpkg-query -W -f='${Version}' googletest)
GCC_VER=$(dpkg-query -W -f='${Version}' "gcc-$($TRIPLE-gcc -dumpversion)-$TRIPLE" 2>/dev/null ||
          $TRIPLE-gcc -dumpfullversion)
STAMP_TEXT="zlib $ZLIB_VER
openssl $OPENSSL_VER
googletest $GTEST_VER
gcc $GCC_VER
libc $(dpkg-query -W -f='${Version}' libc6-dev-powerpc-cross)
script $(sha256sum "$SELF" | cut -c1-64)"
KEY=$(printf '%s\n' "$STAMP_TEXT" | sha256sum | cut -c1-16)
ROOT="$CACHE/$KEY"
PREFIX="$ROOT/prefix"
WORK="$ROOT/work"

exec 9>"$CACHE/.lock"
flock 9

if [ -f "$ROOT/done" ]; then
    log "target libraries up to date in $PREFIX"
else
    log "building target libraries into $PREFIX"
    mkdir -p "$PREFIX" "$WORK"
    printf '%s\n' "$STAMP_TEXT" >"$ROOT/STAMP"
    # Each library is marked when installed, so an interrupted build resumes.
    if [ ! -f "$ROOT/zlib.done" ]; then build_zlib; touch "$ROOT/zlib.done"; fi
    if [ ! -f "$ROOT/libcrypto.done" ]; then build_libcrypto; touch "$ROOT/libcrypto.done"; fi
    if [ ! -f "$ROOT/googletest.done" ]; then build_gtest; touch "$ROOT/googletest.done"; fi
    rm -rf "$WORK"
    touch "$ROOT/done"
    # Builds of other stamps are outdated or unfinished (the lock is ours, so none is running).
    for d in "$CACHE"/*/STAMP; do
        d=$(dirname "$d")
        [ "$d" = "$ROOT" ] || { log "removing $d"; rm -rf "$d"; }
    done
fi
make_sysroot
ln -sfn "$KEY/prefix" "$CACHE/current"
smoke_test
log "done in $((SECONDS - START))s"
printf '%s\n' "$PREFIX"
