#!/usr/bin/env bash
# The main job: sets everything up, starts the simulated instrument as COM1 of a wine prefix
# of the project's own, and opens "Orvane Field Reloader" (VELKO.EXE) on it.
#
#   scripts/run.sh [--developer] [--headless] [--file NAME]
#
# With a display ($DISPLAY set) the program opens for you to use: the sample application
# files lie in its folder C:\Vyra (VYRA_FULL.A37, VYRA_SMALL.A37, VYRA_UNSIGNED.A37) and the
# instrument answers on COM1 at the real line rates.  Close the program to end the run.
#   --developer   put the stand-in signing library at its fixed path first, so the program
#                 starts in developer mode (the "!", "K" and "L" buttons)
#
# Without a display, or with --headless, it runs under Xvfb and performs the main job as a
# person would, through the UI test driver: chooses the sample file (--file, default
# VYRA_FULL.A37), reloads the instrument, prints each status text and message as it appears
# and the instrument's report, and saves screenshots of the main window, the progress window
# half way through what the file sends, and the About box in build/run/screenshots/.  When
# the program shows a message (a refused file: VYRA_UNSIGNED.A37 without --developer), it
# answers it with OK and ends with that message as its last line and exit status 1; so it
# does when the instrument's flash does not hold the file's image at the end.
#
# Everything it started is stopped when it ends; it can be run again at once.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

developer=0
headless=0
sample=VYRA_FULL.A37
while [ $# -gt 0 ]; do
    case $1 in
    --developer) developer=1 ;;
    --headless) headless=1 ;;
    --file) sample=${2:?--file needs a file name}; shift ;;
    -h | --help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "run: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
[ -n "${DISPLAY:-}" ] || headless=1

# ---- Set-up and builds --------------------------------------------------------------------
scripts/setup.sh
mkdir -p build
build() {  # build PRESET TARGET...
    local preset=$1
    shift
    if [ ! -f "build/$preset/CMakeCache.txt" ]; then
        cmake --preset "$preset" >"build/configure-$preset.log" 2>&1 ||
            { cat "build/configure-$preset.log"; exit 1; }
    fi
    echo "== building $* ($preset)"
    cmake --build --preset "$preset" --target "$@" >"build/run-build-$preset.log" 2>&1 ||
        { tail -40 "build/run-build-$preset.log"; exit 1; }
}
build native vyra-sim samples
build windows velko kesp ui_driver ui_driver_hook

# The end-to-end tests' tools: the instrument on COM1, the driver, screenshots.
export ORVANE_VELKO=$root/build/windows/app/VELKO.EXE
export ORVANE_UI_DRIVER=$root/build/windows/tests/e2e/ui_driver.exe
export ORVANE_VYRA_SIM=$root/build/native/sim/vyra-sim
# shellcheck source=../tests/e2e/lib.sh
source tests/e2e/lib.sh
# shellcheck source=../cmake/wine-env.sh
source cmake/wine-env.sh
if ! wine_runs_32bit; then
    # VELKO.EXE is a 32-bit program: nothing can run it on this machine (77: a skip for CTest).
    echo "run: can't run VELKO.EXE here: $kNo32BitReason"
    exit 77
fi

e2e_name=run
e2e_quiet=1
e2e_started=$SECONDS
e2e_dir=$root/build/run
e2e_shots=$e2e_dir/screenshots
e2e_sim_pid=""
e2e_sim_count=0
e2e_drive_count=0
velko_pid=""
xvfb_pid=""
follower_pid=""
midload_pid=""
rm -rf "$e2e_dir"
mkdir -p "$e2e_shots"

export WINEPREFIX=$root/build/run-wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

stop_everything() {
    local status=$?
    set +e
    [ -n "$follower_pid" ] && kill "$follower_pid" 2>/dev/null
    [ -n "$midload_pid" ] && kill "$midload_pid" 2>/dev/null
    [ -n "$velko_pid" ] && kill "$velko_pid" 2>/dev/null
    e2e_stop_sim
    wineserver -k >/dev/null 2>&1 </dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    exit $status
}
trap stop_everything EXIT
trap 'exit 130' INT TERM

if [ $headless -eq 1 ]; then
    display=$(scripts/start-xvfb.sh)
    xvfb_pid=${display#*:pid=}
    export DISPLAY=${display%%:pid=*}
fi
echo "== wine prefix $WINEPREFIX (display $DISPLAY)"
cmake/wine-prefix.sh </dev/null || { echo "run: can't prepare the wine prefix (see $WINEPREFIX.log)"; exit 1; }

# The program's folder, with the sample files; developer mode by the library's presence.
appdir=$WINEPREFIX/drive_c/Vyra
rm -rf "$appdir"
mkdir -p "$appdir"
cp build/native/samples/*.A37 "$appdir/"
[ -f "$appdir/$sample" ] || { echo "run: no sample file $sample"; exit 2; }
signdir=$WINEPREFIX/drive_c/DV/H8S/PC/KESP/DEBUG
rm -rf "$WINEPREFIX/drive_c/DV"
if [ $developer -eq 1 ]; then
    mkdir -p "$signdir" "$WINEPREFIX/drive_c/DV/H8S/DUZEVAV/RELEASE/EXE"
    cp build/windows/devtools/KESP.DLL "$signdir/KESP.DLL"
    echo "== developer mode: the stand-in signing library is C:\\DV\\H8S\\PC\\KESP\\DEBUG\\KESP.DLL"
fi

e2e_start_sim --pace
echo "== the simulated instrument answers on COM1 ($(readlink "$WINEPREFIX/dosdevices/com1"))"

start_velko() {
    (cd "$appdir" && exec wine "$ORVANE_VELKO") >"$e2e_dir/velko.out" 2>&1 </dev/null &
    velko_pid=$!
}

# The instrument's report, in words.
print_report() {
    e2e_stop_sim
    echo "== the instrument's report ($e2e_sim_report)"
    [ -s "$e2e_sim_report" ] || { echo "   (none)"; return 1; }
    jq -r 'if (.sessions | length) == 0 then "   sessions: none" else (.sessions[] |
        "   session: \(.phases | join(" -> ")); sectors erased: \(.erased | length);" +
        " blocks written: \(.blocksWritten); completed: \(.completed)") end' "$e2e_sim_report"
    jq -r '"   kick-starts: \(.kickStarts); protocol violations: \(.violations | length)",
        (.violations[] | "     " + .)' "$e2e_sim_report"
}

# The image the instrument must hold after the load: the stamped image of the file, signed
# as the stand-in library signs it for the unsigned sample that developer mode signs.
expected_flash_digest() {
    cp "$appdir/$sample" "$e2e_dir/$sample"
    local last signed=""
    last=$(srec_info "$e2e_dir/$sample" | sed -n 's/.* - \([0-9A-Fa-f]*\)$/\1/p' | tail -1)
    [ "$sample" != VYRA_UNSIGNED.A37 ] || signed=signed
    e2e_expected_flash_digest "$e2e_dir/$sample" $((0x$last - 0x420000 + 1)) $signed
}

if [ $headless -eq 0 ]; then
    echo "== Orvane Field Reloader is open: choose a port (COM1 has the instrument), press"
    echo "   \"Reload Vyra\" and pick a file from C:\\Vyra.  Close the program to end the run."
    start_velko
    wait "$velko_pid" || true
    velko_pid=""
    print_report || true
    exit 0
fi

# ---- Headless: the main job, as a person would do it ---------------------------------------
kMain="Orvane Field Reloader"
kProgress="Loading Vyra"
start_velko
e2e_drive start <<EOF
wait-window $(q "$kMain") 60
EOF
e2e_screenshot main-window "$kMain"
e2e_drive about <<EOF
syscommand $(q "$kMain") 0x0010
wait-window "About VELKO"
EOF
e2e_screenshot about-box "About VELKO"
e2e_drive about-ok <<EOF
click "About VELKO" 1
wait-gone "About VELKO"
EOF

# One driver chooses the file and follows the status texts and the program's messages, which
# it answers with OK; it runs in the background while this script prints what it writes.
echo "== Reload Vyra with C:\\Vyra\\$sample"
follow_script=$e2e_dir/reload.txt
follow_log=$e2e_dir/reload.log
cat >"$follow_script" <<EOF
watch $(q "$kMain")
click $(q "$kMain") 1000
answer-open-dialog $(q "C:\\Vyra\\$sample")
follow $(q "$kProgress") 1003 300
EOF
: >"$follow_log"
wine "$ORVANE_UI_DRIVER" "$(winpath "$follow_script")" >>"$follow_log" 2>&1 </dev/null &
follower_pid=$!
# The driver's words as they come: each status shown in the window, one line of it per line
# here, and each message box.
unescape() { sed -u 's/\\n$//; s/\\n/ | /g; s/\\"/"/g; s/\\\\/\\/g'; }
tail -n +1 -f --pid="$follower_pid" "$follow_log" |
    sed -u -n 's/\r$//; s/^  "\(.*\)"$/   status: \1/p; s/^  box "\(.*\)" "\(.*\)"$/   message: \2 (\1)/p' |
    unescape &
printer_pid=$!

# The progress window in the middle of the load: once its bar, whose range is what this file
# sends, is half way.  The driver that sees that moment takes the picture at once, since the
# blocks of a small file pass in about a second.  A refused file closes the window first:
# then there is no such picture.
midload_script=$e2e_dir/midload.txt
midload_log=$e2e_dir/midload.log
midload_bmp=$e2e_dir/progress-window.bmp
cat >"$midload_script" <<EOF
wait-window $(q "$kProgress") 60
wait-bar $(q "$kProgress") 1001 50% 300
capture $(q "$kProgress") $(q "$(winpath "$midload_bmp")")
EOF
wine "$ORVANE_UI_DRIVER" "$(winpath "$midload_script")" >"$midload_log" 2>&1 </dev/null &
midload_pid=$!
# Says where the picture is, and how far the bar was, once that driver has ended.
(
    while kill -0 "$midload_pid" 2>/dev/null; do sleep 0.1; done
    if grep -q '^all .* lines done' "$midload_log" &&
        convert "$midload_bmp" "$e2e_shots/progress-window.png"; then
        bar=$(sed -n 's/.* wait-bar .* -> position \([0-9]*\) range [0-9]*\.\.\([0-9]*\).*/\1 of \2 bytes/p' \
            "$midload_log")
        rect=$(sed -n 's/.* capture .* -> \([0-9x+]*\).*/\1/p' "$midload_log")
        e2e_log "screenshot $e2e_shots/progress-window.png at $bar ($rect)"
    fi
) &
midload_printer_pid=$!

status=0
wait "$follower_pid" || status=$?
follower_pid=""
wait "$printer_pid" 2>/dev/null || true
# The last message the program showed, if any, as "CAPTION: TEXT".
message=$(sed -n 's/\r$//; s/^  box "\(.*\)" "\(.*\)"$/\1: \2/p' "$follow_log" | unescape | tail -1)
# The window has come and gone.  After a load without a message it was up long enough for
# the picture: the driver that takes it ends by itself, with the picture or on seeing the
# window close first.  After a message (a refused file) there may never be such a picture.
if [ $status -ne 0 ] || [ -n "$message" ]; then
    kill "$midload_pid" 2>/dev/null || true
fi
wait "$midload_pid" 2>/dev/null || true
midload_pid=""
wait "$midload_printer_pid" 2>/dev/null || true
if [ $status -ne 0 ]; then
    cat "$follow_log"
    echo "run: the reload did not go as expected"
    exit 1
fi

e2e_drive exit <<EOF
click $(q "$kMain") 2
wait-exit 30
EOF
wait "$velko_pid" 2>/dev/null || true
velko_pid=""

print_report || true
if [ -z "$message" ]; then
    if [ "$(e2e_report_field .flashDigest)" = "$(expected_flash_digest)" ]; then
        signed=signed
        [ "$sample" != VYRA_UNSIGNED.A37 ] || signed="developer-signed"
        echo "   the instrument's flash holds exactly the stamped, $signed image of $sample"
    else
        message="run: the instrument's flash does not hold the stamped, signed image of $sample"
    fi
fi
echo "== screenshots: $e2e_shots"
ls "$e2e_shots"
if [ -n "$message" ]; then
    echo "$message"
    exit 1
fi
