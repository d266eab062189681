#!/usr/bin/env bash
# End to end, one run of VELKO.EXE: Cancel in the middle of a load closes the progress window
# at once and stops the programming before its next block; the main window can be used at
# once, and the next reload goes through to "Done".  The close box ends the program.  Also
# the screenshot of the progress window in the middle of a load.
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"
e2e_init cancel

big_size=65536 # 1024 blocks: over ten seconds at the line's real rate
big_total=$((big_size - 1))
small_size=4096
e2e_make_app "$e2e_dir/big.a37" $big_size signed
e2e_make_app "$e2e_dir/small.a37" $small_size signed
main=$(q "$kMainTitle")
progress=$(q "$kProgressTitle")
status_found=$'Vyra Found...\nErasing Program Memory...\n'
status_loading="${status_found}Loading Application..."$'\n'

e2e_start_sim --pace
e2e_start_velko

e2e_drive load-big <<EOF
wait-window $main 60
click $main 1000
answer-open-dialog big.a37
wait-window $progress
wait-text $progress 1003 $(q "$status_loading") 60
wait-bar $progress 1001 6400
expect-bar-range $progress 1001 0 $big_total
expect-text-like $progress 1002 $(q "[0-9]+ of $big_total bytes \\([0-9]+%\\)")
EOF
e2e_screenshot progress-window "$kProgressTitle"

e2e_drive cancel <<EOF
bar $progress 1001
click $progress 2
wait-gone $progress 5
expect-enabled $main 1000 1
EOF
position=$(grep -o 'bar .* -> position [0-9]*' "$e2e_dir"/*-cancel.log | grep -o '[0-9]*$')

# A new reload after the cancel works to the end.  It goes to the same instrument, and the
# program starts it only once the cancelled programming has ended and closed the port: the
# instrument's first session then holds every block that programming sent.
e2e_drive reload-after-cancel <<EOF
watch $main
click $main 1000
answer-open-dialog small.a37
wait-window $progress
wait-gone $progress 60
expect-history $progress 1003 $(q "Reading File $(winpath "$e2e_dir/small.a37")...") "File Read...\n" "Looking For Vyra...\n" $(q "$status_found") $(q "$status_loading") "Done\n"
close $main
wait-exit
EOF
e2e_expect_velko_ended
e2e_stop_sim
written=$(e2e_report_field '.sessions[0].blocksWritten')
e2e_log "cancelled at byte $position; the instrument got $written blocks"
[ "$written" -lt $((position / 64 + 90)) ] ||
    e2e_fail "programming went on after Cancel: $written blocks, $((position / 64)) at the cancel"
e2e_expect_report "the cancelled load not completed" '.sessions[0].completed' false
e2e_expect_report "no closing commands after the cancel" '.sessions[0].phases | index("tst")' null
e2e_expect_report "the reload after it completed" '.sessions[1].completed' true
e2e_expect_report "the flash holds the small image" '.flashDigest' \
    "$(e2e_expected_flash_digest "$e2e_dir/small.a37" $small_size)"
