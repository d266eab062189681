# shellcheck shell=bash
# Which of wine's programs this machine can run; sourced by every script that runs wine.
#
# Some kernels run no 32-bit program at all (IA-32 emulation off: exec of an i386 program
# fails with "Exec format error").  There wine's wrapper, which prefers the 32-bit loader
# whenever wine's 32-bit part is installed, fails for every program, and a 32-bit Windows
# program can't be run by any means.  The 64-bit loader still runs 64-bit programs in a
# 64-bit prefix: on such a machine `wine`, `wineboot` and `wineserver` below are it, and
# wine_runs_32bit says no, so that a 32-bit program's test is skipped with that reason
# instead of failing for it.

wine_loader32=/usr/lib/wine/wine
wine_loader64=/usr/lib/wine/wine64

wine_runs_32bit() {
    [ -x "$wine_loader32" ] && "$wine_loader32" --version >/dev/null 2>&1 </dev/null 9>&-
}

# Why 32-bit Windows programs can't run here, for the skip message.
kNo32BitReason="this machine runs no 32-bit programs (its kernel has IA-32 emulation off), so wine can't run a 32-bit Windows program"

# The PE machine of a Windows program: i386, amd64, or nothing when it is no PE file.
pe_machine() {
    local offset machine
    offset=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' ') || return 0
    [ -n "$offset" ] || return 0
    machine=$(od -An -t x2 -j $((offset + 4)) -N 2 "$1" 2>/dev/null | tr -d ' ')
    case $machine in
        014c) echo i386 ;;
        8664) echo amd64 ;;
    esac
}

if ! wine_runs_32bit && [ -x "$wine_loader64" ]; then
    export WINEARCH=win64
    export WINELOADER=$wine_loader64
    wine() { "$wine_loader64" "$@"; }
    wineboot() { "$wine_loader64" wineboot "$@"; }
fi
