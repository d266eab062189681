#!/usr/bin/env bash
# End to end, developer mode with signing libraries of either calling convention: the
# stand-in built __cdecl, one built __stdcall, and a __stdcall one that also returns with
# ebx, esi, edi and ebp changed (the last two exist in the 32-bit build only).  With each at
# the fixed path, one run of VELKO.EXE signs and programs an unsigned file ("Done", the
# instrument's flash holds the signed image), then programs the small sample file, and ends
# normally on Exit.
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"
if [ -z "${ORVANE_SIGN_LIBRARY:-}" ] || [ ! -e "$ORVANE_SIGN_LIBRARY" ]; then
    e2e_skip "no stand-in signing library (ORVANE_SIGN_LIBRARY)"
fi
small_sample=${ORVANE_SAMPLES:-}/VYRA_SMALL.A37
[ -f "$small_sample" ] || e2e_skip "no sample file $small_sample (build the native build first)"
e2e_init signing

main=$(q "$kMainTitle")
progress=$(q "$kProgressTitle")
status_found=$'Vyra Found...\nErasing Program Memory...\n'
status_loading="${status_found}Loading Application..."$'\n'
signdir="$WINEPREFIX/drive_c/DV/H8S/PC/KESP/DEBUG"
# The chooser of developer mode starts in the release folder.
mkdir -p "$signdir" "$WINEPREFIX/drive_c/DV/H8S/DUZEVAV/RELEASE/EXE"

size=8192 # 128 blocks
app="$e2e_dir/unsigned.a37"
e2e_make_app "$app" $size unsigned
signed_digest=$(e2e_expected_flash_digest "$app" $size signed)
small="$e2e_dir/VYRA_SMALL.A37"
cp "$small_sample" "$small"

# reload FILE LABEL: Reload Vyra with the file (its full path) until "Done".
reload() {
    local file
    file=$(winpath "$1")
    e2e_drive "$2" <<EOF
watch $main
click $main 1000
answer-open-dialog $(q "$file")
wait-window $progress
wait-gone $progress 60
expect-history $progress 1003 $(q "Reading File $file...") "File Read...\n" "Looking For Vyra...\n" $(q "$status_found") $(q "$status_loading") "Done\n"
EOF
}

tried=0
for entry in "cdecl ${ORVANE_SIGN_LIBRARY}" "stdcall ${ORVANE_SIGN_LIBRARY_STDCALL:-}" \
    "clobber ${ORVANE_SIGN_LIBRARY_CLOBBER:-}"; do
    read -r kind library <<<"$entry"
    if [ -z "$library" ] || [ ! -e "$library" ]; then
        e2e_log "no $kind signing library in this build: not tested"
        continue
    fi
    tried=$((tried + 1))
    cp "$library" "$signdir/KESP.DLL"
    e2e_log "signing library: $kind ($(basename "$library"))"
    e2e_start_sim
    e2e_start_velko
    e2e_drive "$kind-start" <<EOF
wait-window $main 60
expect-visible $main 1010 1
EOF
    reload "$app" "$kind-unsigned"
    e2e_stop_sim
    e2e_expect_report "$kind: every block written" '.sessions[0].blocksWritten' $((size / 64))
    e2e_expect_report "$kind: completed" '.sessions[0].completed' true
    e2e_expect_report "$kind: the flash holds the signed image" '.flashDigest' "$signed_digest"

    e2e_start_sim
    reload "$small" "$kind-small"
    e2e_stop_sim
    e2e_expect_report "$kind: the small sample, completed" '.sessions[0].completed' true
    e2e_expect_report "$kind: no protocol violation" '.violations | length' 0

    e2e_drive "$kind-exit" <<EOF
click $main 2
wait-exit 30
EOF
    e2e_expect_velko_ended
    [ "$e2e_velko_status" -eq 0 ] || e2e_fail "VELKO.EXE ended with status $e2e_velko_status"
done
[ $tried -gt 0 ] || e2e_fail "no signing library tried"
