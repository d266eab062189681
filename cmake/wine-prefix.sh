#!/usr/bin/env bash
# Makes the wine prefix $WINEPREFIX once and starts its persistent wineserver, under a lock
# so that parallel callers wait for one creation.  Without a display, GUI programs still
# need Xvfb; this script only prepares the prefix.
#   - no Mono or Gecko installers, no desktop menu entries;
#   - the programs run in wine's virtual desktop (no stalls on dialog close, captions drawn);
#   - a program that crashes ends at once, with no crash dialog waiting for a click;
#   - wine's fonts installed in the prefix;
#   - COM1..COM4 mapped to a path that is not a serial device, so that a port exists only
#     where a test links the simulated instrument.
#
# The marker file .orvane-ready holds the wine set-up that made the prefix (wine's version
# and which of its 32-bit and 64-bit parts were installed) and the version of this recipe.
# A prefix made by another set-up can't be trusted to start programs: one made before wine's
# 32-bit part was installed fails with "could not load kernel32.dll" once it is.  Such a
# prefix, one whose kernel32.dll is missing, or one left half made, is made afresh, once, and
# the script says so on its standard output.  Wine's own output goes to $WINEPREFIX.log.
set -eu
: "${WINEPREFIX:?}"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=wine-env.sh
. "$here/wine-env.sh"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
log=$WINEPREFIX.log
marker=$WINEPREFIX/.orvane-ready
kRecipe=2

note() {
    echo "wine-prefix: $WINEPREFIX: $*"
}

# Every wine process started here gets the lock's descriptor closed (9>&-): a server that
# inherited it would hold the lock for as long as it runs and block every later caller.  Its
# output goes to the log, never to whoever reads this script's output.
quietly() {
    "$@" >>"$log" 2>&1 </dev/null 9>&-
}

wine_setup() {
    local parts=""
    for loader in /usr/lib/wine/wine /usr/lib/wine/wine64; do
        [ -x "$loader" ] && parts+=" $(basename "$loader")"
    done
    wine_runs_32bit || parts+=" (32-bit programs can't run)"
    echo "recipe $kRecipe; $(wine --version 2>/dev/null </dev/null 9>&-); loaders:${parts:- unknown}"
}

# Why the prefix can't be used as it is; nothing when it can.
fault() {
    if [ ! -f "$marker" ]; then
        [ -e "$WINEPREFIX" ] && echo "it was not finished"
        return 0
    fi
    local made
    made=$(cat "$marker")
    if [ "$made" != "$setup" ]; then
        echo "it was made by another wine set-up (${made:-unrecorded}; now $setup)"
        return 0
    fi
    local windows=$WINEPREFIX/drive_c/windows
    if [ ! -f "$windows/system32/kernel32.dll" ]; then
        echo "it can't start programs: system32/kernel32.dll is missing"
    elif wine_runs_32bit && [ -d "$windows/syswow64" ] &&
        [ ! -f "$windows/syswow64/kernel32.dll" ]; then
        echo "it can't start programs: syswow64/kernel32.dll is missing"
    fi
}

make_prefix() {
    # A server still running for the old prefix would serve the new one from its memory.
    : >"$log"
    quietly wineserver -k || true
    rm -rf "$WINEPREFIX"
    quietly wineboot -i
    quietly wineserver -w
    quietly wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f
    quietly wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f
    quietly wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
    for n in 1 2 3 4; do
        quietly wine reg add 'HKLM\Software\Wine\Ports' /v COM$n /d /dev/null/no-port /f
    done
    quietly wineserver -w
    echo "$setup" >"$marker"
}

setup=$(wine_setup)
why=$(fault)
if [ ! -e "$WINEPREFIX" ] || [ -n "$why" ]; then
    [ -z "$why" ] || note "$why; making it afresh"
    make_prefix
    why=$(fault)
    [ -z "$why" ] || { note "made, but $why (see $log)"; exit 1; }
fi

# Wine's own fonts into the prefix (this wine does not look in /usr/share/wine/fonts): with
# them the dialogs' "MS Sans Serif" has its proper size, and Marlett draws the caption
# buttons instead of stray letters.
for font in /usr/share/wine/fonts/*.ttf /usr/share/wine/fonts/*.fon; do
    [ -f "$font" ] || continue
    target="$WINEPREFIX/drive_c/windows/Fonts/$(basename "$font")"
    [ -f "$target" ] || cp "$font" "$target"
done
# A persistent server keeps later starts quick; the test scripts stop it when done.  The
# server runs ahead of ordinary processes (run-realtime.sh says why); the programs it serves
# do not.
quietly "$here/run-realtime.sh" wineserver -p || true  # fails harmlessly when a server already runs
