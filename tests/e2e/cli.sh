#!/usr/bin/env bash
# End to end, velko-cli.exe under wine: the port list shows COM1, a reload of the small sample
# through COM1 ends with "Done" and exit status 0 and leaves exactly the stamped image in the
# instrument's flash, and a kick-start reaches the instrument.
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"
e2e_init cli
[ -n "${ORVANE_VELKO_CLI:-}" ] && [ -e "$ORVANE_VELKO_CLI" ] ||
    e2e_skip "velko-cli.exe is missing (ORVANE_VELKO_CLI)"
sample=${ORVANE_SAMPLES:-}/VYRA_SMALL.A37
[ -f "$sample" ] || e2e_skip "$sample is missing (build the native build first)"

# cli_run NAME ARGS...: runs velko-cli.exe; its status in cli_status, output in NAME.out/.err.
cli_run() {
    local name=$1
    shift
    cli_status=0
    wine "$ORVANE_VELKO_CLI" "$@" >"$e2e_dir/$name.out" 2>"$e2e_dir/$name.err" </dev/null ||
        cli_status=$?
    e2e_log "velko-cli.exe $* -> $cli_status"
}

e2e_start_sim
cli_run ports ports
[ "$cli_status" -eq 0 ] || e2e_fail "ports ended with $cli_status"
grep -q '^COM1 ' "$e2e_dir/ports.out" || { cat "$e2e_dir/ports.out"; e2e_fail "COM1 is not listed"; }

cli_run program program "$(winpath "$sample")" --port COM1 --trace "$(winpath "$e2e_dir/program.trace")"
[ "$cli_status" -eq 0 ] || { cat "$e2e_dir/program.out" "$e2e_dir/program.err"; e2e_fail "program ended with $cli_status"; }
[ "$(tail -n 1 "$e2e_dir/program.out" | tr -d '\r')" = "Done" ] ||
    { cat "$e2e_dir/program.out"; e2e_fail "the last status is not Done"; }
[ ! -s "$e2e_dir/program.err" ] || { cat "$e2e_dir/program.err"; e2e_fail "program told an error"; }
e2e_stop_sim
e2e_expect_report "one complete session" '.sessions | map(select(.completed)) | length' 1
e2e_expect_report "no protocol violations" '.violations | length' 0
# 0x100 header bytes and 6000 bytes of application: the file stores offsets 0 .. 6255.
e2e_expect_report "the flash holds the stamped image" .flashDigest \
    "$(e2e_expected_flash_digest "$sample" 6256)"

e2e_start_sim
cli_run kick kick --port COM1
[ "$cli_status" -eq 0 ] || e2e_fail "kick ended with $cli_status"
grep -q "Status: KickStart Attempted" "$e2e_dir/kick.err" || { cat "$e2e_dir/kick.err"; e2e_fail "no KickStart Attempted"; }
e2e_stop_sim
e2e_expect_report "one kick-start" .kickStarts 1
