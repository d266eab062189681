#!/usr/bin/env bash
# Makes the wine prefix $WINEPREFIX once and starts its persistent wineserver, under a lock
# so that parallel callers wait for one creation.  Without a display, GUI programs still
# need Xvfb; this script only prepares the prefix.
#   - no Mono or Gecko installers, no desktop menu entries;
#   - the programs run in wine's virtual desktop (no stalls on dialog close, captions drawn);
#   - wine's fonts installed in the prefix;
#   - COM1..COM4 mapped to a path that is not a serial device, so that a port exists only
#     where a test links the simulated instrument.
set -eu
: "${WINEPREFIX:?}"
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}
mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
# Every wine process started here gets the lock's descriptor closed (9>&-): a server that
# inherited it would hold the lock for as long as it runs and block every later caller.
if [ ! -f "$WINEPREFIX/.orvane-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i 9>&-
    wineserver -w 9>&-
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f 9>&-
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f 9>&-
    for n in 1 2 3 4; do
        wine reg add 'HKLM\Software\Wine\Ports' /v COM$n /d /dev/null/no-port /f 9>&-
    done
    wineserver -w 9>&-
    touch "$WINEPREFIX/.orvane-ready"
fi
# Wine's own fonts into the prefix (this wine does not look in /usr/share/wine/fonts): with
# them the dialogs' "MS Sans Serif" has its proper size, and Marlett draws the caption
# buttons instead of stray letters.
for font in /usr/share/wine/fonts/*.ttf /usr/share/wine/fonts/*.fon; do
    [ -f "$font" ] || continue
    target="$WINEPREFIX/drive_c/windows/Fonts/$(basename "$font")"
    [ -f "$target" ] || cp "$font" "$target"
done
# A persistent server keeps later starts quick; the test scripts stop it when done.
wineserver -p 9>&- || true  # fails harmlessly when a server already runs
