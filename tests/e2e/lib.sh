# shellcheck shell=bash
# Common set-up of the end-to-end tests, sourced by each tests/e2e/*.sh scenario script:
# the e2e tests' own wine prefix, an X display, the simulated instrument linked as COM1,
# VELKO.EXE started in the background, the UI test driver, sample application files, and
# the clean-up of all of it when the script ends.
#
# Wine programs write to files, never to pipes or $(...): wine's background services inherit
# the handles of the program that started them and would keep a pipe open.
#
# Paths come from the environment (CTest sets them, see CMakeLists.txt beside this file):
#   ORVANE_VELKO         VELKO.EXE
#   ORVANE_UI_DRIVER     ui_driver.exe, with ui_driver_hook.dll beside it
#   ORVANE_VYRA_SIM      the native simulated instrument program vyra-sim
#   ORVANE_SIGN_LIBRARY, ORVANE_SIGN_LIBRARY_NO_ENTRY, ORVANE_SIGN_LIBRARY_BLANK
#                        stand-in signing libraries: one that signs, one without SignApp,
#                        one whose SignApp leaves the signature block blank
#   ORVANE_SIGN_LIBRARY_STDCALL, ORVANE_SIGN_LIBRARY_CLOBBER
#                        (32-bit build) one that signs built __stdcall, and one that also
#                        leaves ebx, esi, edi and ebp changed
#   ORVANE_SAMPLES       the native build's sample application files
#   ORVANE_E2E_WORK      a folder for the tests' files (one sub-folder per script)
#   ORVANE_E2E_PREFIX    the wine prefix of the end-to-end tests
#   ORVANE_SCREENSHOTS   where the screenshots go
set -euo pipefail

e2e_here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
e2e_root=$(cd "$e2e_here/../.." && pwd)

# shellcheck disable=SC2034 # used by the scripts that source this file
{
    kMainTitle="Orvane Field Reloader"
    kProgressTitle="Loading Vyra"
    kOpenTitle="Select the Vyra Application"
}
kImageBase=$((0x420000))

e2e_skip() {
    echo "SKIPPED: $*"
    exit 77
}

e2e_fail() {
    echo "FAILED: $*"
    exit 1
}

e2e_log() {
    echo "[$(date +%H:%M:%S) +$((SECONDS - e2e_started))s] $*"
}

# ---- Set-up and clean-up ---------------------------------------------------------------

# e2e_init NAME: checks what the scenario needs, makes a fresh work folder, the prefix and
# the display, and arranges the clean-up.
e2e_init() {
    e2e_name=$1
    e2e_started=$SECONDS
    for var in ORVANE_VELKO ORVANE_UI_DRIVER ORVANE_VYRA_SIM; do
        [ -n "${!var:-}" ] || e2e_skip "$var is not set (run through ctest in the Windows build)"
        [ -e "${!var}" ] || e2e_skip "${!var} is missing (build the native and Windows builds first)"
    done
    command -v wine >/dev/null || e2e_skip "wine is not installed (scripts/setup.sh)"
    # shellcheck source=../../cmake/wine-env.sh
    . "$e2e_root/cmake/wine-env.sh"
    [ "$(pe_machine "$ORVANE_VELKO")" != i386 ] || wine_runs_32bit ||
        e2e_skip "$ORVANE_VELKO: $kNo32BitReason"

    e2e_dir=${ORVANE_E2E_WORK:-$e2e_root/build/windows/tests/e2e/work}/$e2e_name
    rm -rf "$e2e_dir"
    mkdir -p "$e2e_dir"
    e2e_shots=${ORVANE_SCREENSHOTS:-$e2e_root/build/windows/screenshots}
    mkdir -p "$e2e_shots"

    export WINEPREFIX=${ORVANE_E2E_PREFIX:-$e2e_root/build/windows/e2e-wineprefix}
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

    e2e_xvfb_pid=""
    e2e_velko_pid=""
    e2e_sim_pid=""
    e2e_sim_count=0
    e2e_drive_count=0
    trap e2e_cleanup EXIT
    trap 'e2e_fail "stopped by SIGTERM (it took too long)"' TERM

    # A display of our own, even when one is given: other wine tests that run meanwhile show
    # their prefix's virtual desktop at the same place of a shared screen, and would then be
    # in the screenshots.
    local display
    display=$("$e2e_root/scripts/start-xvfb.sh") || e2e_fail "can't start Xvfb"
    e2e_xvfb_pid=${display#*:pid=}
    export DISPLAY=${display%%:pid=*}
    "$e2e_root/cmake/wine-prefix.sh" </dev/null ||
        e2e_fail "can't prepare the wine prefix $WINEPREFIX (see $WINEPREFIX.log)"
    e2e_unplug_com1
    # Fixed folders of the developer tools; the scripts put files into them as they need.
    rm -rf "$WINEPREFIX/drive_c/DV"
    e2e_log "prefix $WINEPREFIX ready, display $DISPLAY"
}

e2e_cleanup() {
    local status=$?
    set +e
    if [ -n "$e2e_velko_pid" ] && kill -0 "$e2e_velko_pid" 2>/dev/null; then
        echo "VELKO.EXE still running at the end; stopping it"
        kill "$e2e_velko_pid" 2>/dev/null
    fi
    e2e_stop_sim
    wineserver -k >/dev/null 2>&1 </dev/null
    [ -n "$e2e_xvfb_pid" ] && kill "$e2e_xvfb_pid" 2>/dev/null
    rm -rf "$WINEPREFIX/drive_c/DV"
    e2e_log "$e2e_name ended with status $status"
    exit $status
}

# ---- Paths and words ---------------------------------------------------------------------

# The Windows path of a Linux path: wine's drive Z: is the root.
winpath() {
    local path=$1
    printf 'Z:%s' "${path//\//\\}"
}

# One word of a driver script: quoted, with \ " and line breaks escaped.
q() {
    local text=$1
    text=${text//\\/\\\\}
    text=${text//\"/\\\"}
    text=${text//$'\n'/\\n}
    printf '"%s"' "$text"
}

# ---- The simulated instrument on COM1 ----------------------------------------------------

# e2e_start_sim [vyra-sim options...]: starts a new instrument (after stopping the last one)
# and makes it the prefix's COM1.  Sets e2e_sim_report to its JSON report.
e2e_start_sim() {
    e2e_stop_sim
    e2e_sim_count=$((e2e_sim_count + 1))
    local out="$e2e_dir/sim$e2e_sim_count.out"
    local link="$WINEPREFIX/dosdevices/com1"
    e2e_sim_report="$e2e_dir/sim$e2e_sim_count.json"
    # Ahead of ordinary processes, as an instrument and its wire are never held up by the PC.
    "$e2e_root/cmake/run-realtime.sh" "$ORVANE_VYRA_SIM" --link "$link" --report "$e2e_sim_report" \
        "$@" >"$out" 2>&1 </dev/null &
    e2e_sim_pid=$!
    local pty=""
    for _ in $(seq 100); do
        pty=$(grep -o -m1 '/dev/pts/[0-9]*' "$out" || true)
        [ -n "$pty" ] && break
        kill -0 "$e2e_sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$pty" ] || { cat "$out"; e2e_fail "the simulated instrument did not start"; }
    # Wine rebuilds the port links from the registry when its server starts: keep both the
    # same.  The registry change starts wine's services if they are not up, which may
    # rebuild the link from the old value, so the link is made again afterwards.
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$pty" /f \
        >"$e2e_dir/reg$e2e_sim_count.log" 2>&1 </dev/null ||
        { cat "$e2e_dir/reg$e2e_sim_count.log"; e2e_fail "can't set COM1 in the registry"; }
    ln -sfn "$pty" "$link"
    e2e_log "instrument $e2e_sim_count on $pty ($*)"
}

# Stops the instrument, which writes its report.  COM1 then leads nowhere, so that a later
# open can't reach a pseudo-terminal that somebody else got with the same number.
e2e_stop_sim() {
    if [ -n "$e2e_sim_pid" ]; then
        kill "$e2e_sim_pid" 2>/dev/null || true
        wait "$e2e_sim_pid" 2>/dev/null || true
        e2e_sim_pid=""
        ln -sfn /dev/null/no-port "$WINEPREFIX/dosdevices/com1"
    fi
}

# COM1 back to no port, in the registry too: an earlier run may have left a pty path there.
e2e_unplug_com1() {
    wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d /dev/null/no-port /f \
        >"$e2e_dir/reg0.log" 2>&1 </dev/null ||
        { cat "$e2e_dir/reg0.log"; e2e_fail "can't set COM1 in the registry"; }
    ln -sfn /dev/null/no-port "$WINEPREFIX/dosdevices/com1"
}

# e2e_report_field JQ-FILTER: a value of the last stopped instrument's report.
e2e_report_field() {
    [ -s "$e2e_sim_report" ] || e2e_fail "no report $e2e_sim_report"
    jq -r "$1" "$e2e_sim_report"
}

# e2e_expect_report DESCRIPTION JQ-FILTER EXPECTED
e2e_expect_report() {
    local value
    value=$(e2e_report_field "$2")
    if [ "$value" != "$3" ]; then
        echo "report $e2e_sim_report:"
        cat "$e2e_sim_report"
        e2e_fail "$1: $2 is '$value', expected '$3'"
    fi
    e2e_log "report: $1 ($2 = $value)"
}

# ---- VELKO.EXE and the driver --------------------------------------------------------------

# e2e_start_velko: starts the program in the work folder, which is then its current folder.
e2e_start_velko() {
    (cd "$e2e_dir" && exec wine "$ORVANE_VELKO") >>"$e2e_dir/velko.out" 2>&1 </dev/null &
    e2e_velko_pid=$!
    e2e_log "VELKO.EXE started"
}

# e2e_expect_velko_ended: the program has ended (the wine process is gone) within 20 s; its
# exit status is then in e2e_velko_status.
e2e_expect_velko_ended() {
    for _ in $(seq 200); do
        if ! kill -0 "$e2e_velko_pid" 2>/dev/null; then
            e2e_velko_status=0
            wait "$e2e_velko_pid" 2>/dev/null || e2e_velko_status=$?
            e2e_velko_pid=""
            e2e_log "VELKO.EXE has ended (exit status $e2e_velko_status)"
            return 0
        fi
        sleep 0.1
    done
    e2e_fail "VELKO.EXE did not end"
}

# e2e_drive LABEL: runs the driver script read from stdin; fails the test when it fails.
e2e_drive() {
    e2e_drive_count=$((e2e_drive_count + 1))
    local base
    base="$e2e_dir/$(printf '%02d' $e2e_drive_count)-$1"
    cat >"$base.txt"
    [ "${e2e_quiet:-0}" = 1 ] || e2e_log "driver: $1"
    local status=0
    wine "$ORVANE_UI_DRIVER" "$(winpath "$base.txt")" >"$base.log" 2>&1 </dev/null || status=$?
    # The driver's steps, or with e2e_quiet=1 (the run command) only those of a failure.
    if [ $status -ne 0 ] || [ "${e2e_quiet:-0}" != 1 ]; then
        sed 's/^/    /' "$base.log"
    fi
    [ $status -eq 0 ] || e2e_fail "driver script $1 failed (exit $status), see $base.log"
}

# e2e_screenshot NAME TITLE: a PNG of one window, cut from the screen.
e2e_screenshot() {
    local rect="$e2e_dir/rect-$1.txt"
    e2e_drive "rect-$1" <<EOF
rect $(q "$2") $(q "$(winpath "$rect")")
EOF
    local x y w h
    read -r x y w h <"$rect"
    import -window root -crop "${w}x${h}+${x}+${y}" +repage "$e2e_shots/$1.png" ||
        e2e_fail "can't take the screenshot $1"
    e2e_log "screenshot $e2e_shots/$1.png (${w}x${h}+${x}+${y})"
}

# ---- Sample application files ---------------------------------------------------------------

# e2e_make_bin FILE SIZE: SIZE bytes of a fixed pattern (offset * 7 + 3), in which the bytes
# of the signature block (offsets 0x10..0x3F) are not all 0xFF.
e2e_make_bin() {
    perl -e 'print pack("C*", map { ($_ * 7 + 3) % 256 } 0 .. $ARGV[0] - 1)' "$2" >"$1"
}

# e2e_make_app FILE SIZE [signed|unsigned]: an application file of S2 records with SIZE bytes
# from 0x420000; an unsigned one stores nothing at 0x420010..0x42003F.
e2e_make_app() {
    local file=$1 size=$2 kind=${3:-signed}
    local bin="$file.bin"
    e2e_make_bin "$bin" "$size"
    local exclude=()
    [ "$kind" = unsigned ] && exclude=(-exclude 0x10 0x40)
    srec_cat "$bin" -binary "${exclude[@]}" -offset $kImageBase -o "$file" -Motorola \
        -address-length=3 -disable=header -disable=data-count 2>>"$e2e_dir/srec_cat.log" ||
        e2e_fail "srec_cat can't make $file"
}

# e2e_expected_image FILE SIZE OUT: the image that a load job makes of an application file
# made by e2e_make_app with SIZE bytes (SIZE a multiple of 64), as 256 KiB in binary: the
# stamped header (start 0x420100, end address, CRC-16 from offset 0x100 up to the end
# address) in front of the file's bytes, 0xFF after them.  srec_cat is the oracle.
e2e_expected_image() {
    local file=$1 size=$2 out=$3
    local end=$((kImageBase + size - 1))
    srec_cat "(" "$file" -exclude $kImageBase $((kImageBase + 8)) \
        -generate $kImageBase $((kImageBase + 3)) -constant-b-e $((kImageBase + 0x100)) 3 \
        -generate $((kImageBase + 3)) $((kImageBase + 6)) -constant-b-e $end 3 \
        "(" "$file" -crop $((kImageBase + 0x100)) $end -crc16-b-e $((kImageBase + 6)) -xmodem \
        -no-augment -crop $((kImageBase + 6)) $((kImageBase + 8)) ")" ")" \
        -crop $kImageBase $((kImageBase + size)) -fill 0xFF $kImageBase $((kImageBase + 0x40000)) \
        -offset -$kImageBase -o "$out" -binary 2>>"$e2e_dir/srec_cat.log" ||
        e2e_fail "srec_cat can't make the expected image of $file"
}

# e2e_expected_signed_image FILE SIZE OUT: the same image as signed by the stand-in signing
# libraries: the SHA-256 of offsets 0x100 up to the end address at 0x10, sixteen 0xA5 at 0x30.
e2e_expected_signed_image() {
    local file=$1 size=$2 out=$3
    e2e_expected_image "$file" "$size" "$out"
    local digest
    digest=$(dd if="$out" bs=1 skip=$((0x100)) count=$((size - 1 - 0x100)) status=none |
        sha256sum | cut -d' ' -f1)
    # shellcheck disable=SC2059 # the format is the bytes
    printf "$(printf '%s' "$digest" | sed 's/../\\x&/g')" |
        dd of="$out" bs=1 seek=$((0x10)) conv=notrunc status=none
    printf '\xa5%.0s' $(seq 16) | dd of="$out" bs=1 seek=$((0x30)) conv=notrunc status=none
}

# e2e_expected_flash_digest FILE SIZE [signed]: the SHA-256 of the instrument's flash after a
# complete load of that file: its image (signed by a stand-in library with "signed"), the
# rest of the four sectors erased.
e2e_expected_flash_digest() {
    if [ "${3:-}" = signed ]; then
        e2e_expected_signed_image "$1" "$2" "$1.flash"
    else
        e2e_expected_image "$1" "$2" "$1.flash"
    fi
    sha256sum "$1.flash" | cut -d' ' -f1
}
