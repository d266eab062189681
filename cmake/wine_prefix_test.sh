#!/usr/bin/env bash
# The wine prefix maker, wine-prefix.sh: a prefix it made is used as it is; one whose marker
# names another wine set-up, or one that lost its kernel32.dll and can't start a program, is
# made afresh, once, with a note, and a program starts in it again.
#   wine_prefix_test.sh <a Windows program that ends by itself> <work folder>
set -u
exe=$1
work=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
if [ "$(pe_machine "$exe")" = i386 ] && ! wine_runs_32bit; then
    echo "wine_prefix_test: SKIPPED: $exe: $kNo32BitReason"
    exit 77
fi
export WINEPREFIX=$work/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
rm -rf "$work"
mkdir -p "$work"
trap 'wineserver -k >/dev/null 2>&1 </dev/null' EXIT
windows=$WINEPREFIX/drive_c/windows
left_behind=$WINEPREFIX/drive_c/left-behind
notes=$work/notes.txt

fail() {
    echo "FAILED: $*"
    exit 1
}

# prepare WHAT EXPECTED-NOTE: runs the prefix maker; its note must contain the text (none
# at all for an empty text).
prepare() {
    "$here/wine-prefix.sh" >"$notes" 2>&1 </dev/null ||
        { cat "$notes"; fail "$1: wine-prefix.sh failed"; }
    if [ -z "$2" ]; then
        [ ! -s "$notes" ] || { cat "$notes"; fail "$1: unexpected note"; }
    else
        grep -q "$2" "$notes" || { cat "$notes"; fail "$1: no note \"$2\""; }
        grep -q "making it afresh" "$notes" || { cat "$notes"; fail "$1: not made afresh"; }
        [ ! -e "$left_behind" ] || fail "$1: the prefix was kept"
        cat "$notes"
    fi
}

starts() {
    wine "$exe" --gtest_list_tests >"$work/run.txt" 2>&1 </dev/null
}

prepare "a new prefix" ""
starts || { cat "$work/run.txt"; fail "no program starts in a new prefix"; }
touch "$left_behind"
prepare "the same prefix again" ""
[ -e "$left_behind" ] || fail "a sound prefix was made afresh"

# Made by another wine set-up: say, before wine's 32-bit part was installed.
echo "recipe 1; wine-7.0; loaders: wine64" >"$WINEPREFIX/.orvane-ready"
prepare "a prefix of another wine set-up" "made by another wine set-up"
starts || { cat "$work/run.txt"; fail "no program starts in the prefix made afresh"; }

# Without kernel32.dll nothing starts (the test shows it first), until the prefix is remade.
touch "$left_behind"
rm -f "$windows/system32/kernel32.dll" "$windows/syswow64/kernel32.dll"
wineserver -k >/dev/null 2>&1 </dev/null
if starts; then
    fail "a program started without kernel32.dll: this test can't tell anything"
fi
prepare "a prefix without kernel32.dll" "kernel32.dll is missing"
starts || { cat "$work/run.txt"; fail "no program starts in the prefix made afresh"; }
echo "wine_prefix_test: passed"
