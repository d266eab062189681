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
# VYRA_FULL.A37), reloads the instrument, prints each status text as it appears and the
# instrument's report, and saves screenshots of the main window, the progress window in the
# middle of the load and the About box in build/run/screenshots/.
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
    -h | --help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
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
rm -rf "$e2e_dir"
mkdir -p "$e2e_shots"

export WINEPREFIX=$root/build/run-wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

stop_everything() {
    local status=$?
    set +e
    [ -n "$follower_pid" ] && kill "$follower_pid" 2>/dev/null
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
    jq -r '.sessions[] | "   session: \(.phases | join(" -> ")); sectors erased: \(.erased | length);" +
        " blocks written: \(.blocksWritten); completed: \(.completed)"' "$e2e_sim_report"
    jq -r '"   kick-starts: \(.kickStarts); protocol violations: \(.violations | length)",
        (.violations[] | "     " + .)' "$e2e_sim_report"
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

# One driver chooses the file and follows the status texts; it runs in the background while
# this script prints what it writes and takes the progress window's picture mid-load.
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
# The texts as they come: each status shown in the window, one line of it per line here.
tail -n +1 -f --pid="$follower_pid" "$follow_log" |
    sed -u -n 's/\r$//; s/^  "\(.*\)"$/\1/p' |
    sed -u 's/\\n$//; s/\\n/ | /g; s/\\\\/\\/g; s/^/   status: /' &
printer_pid=$!

# The progress window at about 40 %, once the blocks are being written.
e2e_drive wait-progress <<EOF
wait-window $(q "$kProgress") 60
wait-bar $(q "$kProgress") 1001 $((0x40000 * 2 / 5)) 120
EOF
e2e_screenshot progress-window "$kProgress"

status=0
wait "$follower_pid" || status=$?
follower_pid=""
wait "$printer_pid" 2>/dev/null || true
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

print_report
expected=$(e2e_expected_flash_digest "$appdir/$sample" $((0x40000)))
if [ "$sample" = VYRA_FULL.A37 ] && [ "$(e2e_report_field .flashDigest)" = "$expected" ]; then
    echo "   the instrument's flash holds exactly the stamped, signed image of $sample"
fi
echo "== screenshots: $e2e_shots"
ls "$e2e_shots"
