#!/usr/bin/env bash
# Runs a Windows program of the cross build under wine: the CTest emulator of the Windows
# build.  Makes the test prefix once (under a lock, since ctest runs tests in parallel),
# keeps its wineserver up, and sends the program's output through a file: wine's background
# services inherit the handles of the program that started them, and a pipe that they hold
# would keep ctest waiting after the program itself has ended.
#   wine-run.sh [--prefix PREFIX] PROGRAM ARGS...
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
export WINEPREFIX=${ORVANE_WINEPREFIX:-$here/../build/wineprefix}
if [ "${1:-}" = --prefix ]; then
    export WINEPREFIX=$2
    shift 2
fi
# Wine's own messages off, but for the loader's errors: a program that can't start says why.
export WINEDEBUG=${WINEDEBUG:--all,err+module}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}

# A 32-bit program on a machine that runs none is a test that can't be run here (77: CTest's
# skip), not one that failed.
if [ "$(pe_machine "$1")" = i386 ] && ! wine_runs_32bit; then
    echo "wine-run: SKIPPED: $1: $kNo32BitReason" >&2
    exit 77
fi

# Its notes (a prefix made afresh) go into the test's output.
"$here/wine-prefix.sh" </dev/null >&2 ||
    { echo "wine-run: cannot prepare $WINEPREFIX (see $WINEPREFIX.log)" >&2; exit 1; }

out=$(mktemp)
trap 'rm -f "$out"' EXIT
wine "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
if [ $rc -ne 0 ] && [ ! -s "$out" ]; then
    # A program that prints nothing at all never reached its first line: say what is known.
    echo "wine-run: $1 ended with status $rc before it wrote anything (WINEPREFIX=$WINEPREFIX)" >&2
fi
exit $rc
