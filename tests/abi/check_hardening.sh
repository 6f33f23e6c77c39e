#!/usr/bin/env bash
# Usage: check_hardening.sh READELF FORTIFY FILE... Each ELF file must bind
# every symbol at start-up (BIND_NOW) into a read-only GOT (GNU_RELRO) and call
# __stack_chk_fail from its canaries; a program must be position-independent;
# with FORTIFY=1 (an optimised build without sanitizers) it must call checked
# libc functions (__*_chk). A library must not throw: no throwing operator
# new, no __cxa_throw. Any readelf reads any target's ELF files.
readelf=$1 fortify=$2
shift 2
status=0
for f in "$@"; do
    missing=()
    dynamic=$("$readelf" -d "$f") && segments=$("$readelf" -lW "$f") &&
        symbols=$("$readelf" --dyn-syms -W "$f") && header=$("$readelf" -h "$f") || exit 2
    grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' <<<"$dynamic" || missing+=(BIND_NOW)
    grep -q GNU_RELRO <<<"$segments" || missing+=(GNU_RELRO)
    grep -Eq ' UND +__stack_chk_fail' <<<"$symbols" || missing+=(__stack_chk_fail)
    if grep -q INTERP <<<"$segments"; then  # a program, not a library
        grep -Eq 'Type: +DYN' <<<"$header" || missing+=(PIE)
    elif grep -Eq ' UND +(__cxa_throw|_Zn[wa][jm])\b' <<<"$symbols"; then
        missing+=("freedom from exceptions")
    fi
    if [[ $fortify == 1 ]]; then
        grep -Eq ' UND +__[a-z0-9_]+_chk' <<<"$symbols" || missing+=(_FORTIFY_SOURCE)
    fi
    if ((${#missing[@]})); then
        echo "$f: no ${missing[*]}"
        status=1
    else
        echo "$f: hardened"
    fi
done
exit $status
