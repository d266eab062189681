#!/usr/bin/env bash
# End to end, one run of VELKO.EXE: the main window at start and its About box, with the UI
# driver's hooks reporting to a report window made while the desktop starts; a full reload
# of a signed file (status texts in order, byte count texts, the bar, the instrument's flash);
# a reload whose instrument stops answering half way; Start BIOS on COM1 and, after choosing
# Com 3, on a port that doesn't exist, and a reload there; Exit ends the program.
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"
e2e_init reload

size=32768 # 512 blocks: a few seconds at the line's real rate
total=$((size - 1))
blocks=$((size / 64))
app="$e2e_dir/signed.a37"
e2e_make_app "$app" $size signed
app_win=$(winpath "$app")
main=$(q "$kMainTitle")
progress=$(q "$kProgressTitle")
status_found=$'Vyra Found...\nErasing Program Memory...\n'
status_loading="${status_found}Loading Application..."$'\n'

# The byte count text is rewritten on every tenth progress report of the program run.
bytes_history=$(q "")
for ((n = 10; n <= blocks; n += 10)); do
    done_bytes=$((n * 64))
    bytes_history+=" $(q "$done_bytes of $total bytes ($((done_bytes * 100 / total))%)")"
done

e2e_start_sim --pace
e2e_start_velko

# The driver makes its report window as it starts, with the program, while wine's desktop is
# still starting: the hooks that "watch" sets in the program must report to it at once (a
# report window out of the program's sight once lost every report).
e2e_drive start <<EOF
report-window
wait-window $main 60
watch $main
expect-focus $main 2
expect-text $main 1009 "Version 1.0.5"
expect-checked $main 1005 1
expect-checked $main 1006 0
expect-checked $main 1007 0
expect-checked $main 1008 0
expect-visible $main 1010 0
expect-visible $main 1011 0
expect-visible $main 1012 0
syscommand $main 0x0010
wait-window "About VELKO"
expect-owner "About VELKO" $main
expect-contains "About VELKO" "VELKO Version 1.0"
expect-contains "About VELKO" "Copyright (C) Orvane"
click "About VELKO" 1
wait-gone "About VELKO"
EOF
e2e_screenshot main-window "$kMainTitle"

# Without the signing library the chooser starts in the program's current folder: a bare
# file name there is the sample.
e2e_drive full-reload <<EOF
watch $main
click $main 1000
wait-window $(q "$kOpenTitle")
answer-open-dialog signed.a37
wait-window $progress
wait-text $progress 1003 $(q "$status_loading") 60
wait-bar $progress 1001 640
expect-bar-range $progress 1001 0 $total
wait-gone $progress 60
expect-history $progress 1003 $(q "Reading File $app_win...") "File Read...\n" "Looking For Vyra...\n" $(q "$status_found") $(q "$status_loading") "Done\n"
expect-history $progress 1002 $bytes_history
EOF
e2e_stop_sim
e2e_expect_report "one session" '.sessions | length' 1
e2e_expect_report "all four sectors erased" '.sessions[0].erased | join(",")' \
    "0x420000,0x430000,0x440000,0x450000"
e2e_expect_report "every block written" '.sessions[0].blocksWritten' $blocks
e2e_expect_report "the closing commands arrived" '.sessions[0].completed' true
e2e_expect_report "no protocol violation" '.violations | length' 0
e2e_expect_report "the flash holds the stamped image" '.flashDigest' \
    "$(e2e_expected_flash_digest "$app" $size)"

# The instrument stops answering at block 100: the user is told, over the progress window.
e2e_start_sim --block-fault 100
e2e_drive block-fault <<EOF
watch $main
click $main 1000
answer-open-dialog signed.a37
wait-messagebox "Can't Load Application" Error 60
expect-owner Error $progress
messagebox-expect "Can't Load Application" Error
wait-gone $progress
expect-history $progress 1003 $(q "Reading File $app_win...") "File Read...\n" "Looking For Vyra...\n" $(q "$status_found") $(q "$status_loading")
EOF
e2e_stop_sim
e2e_expect_report "the transfer stopped at block 100" '.sessions[0].fault' "block 100 unanswered"
e2e_expect_report "nothing after block 100" '.sessions[0].blocksWritten' 100
e2e_expect_report "not completed" '.sessions[0].completed' false

# Start BIOS on COM1: the kick-start reaches the instrument; its box has no owner.
e2e_start_sim
e2e_drive kickstart-com1 <<EOF
click $main 1004
wait-messagebox "KickStart Attempted" Status
expect-owner Status ""
messagebox-expect "KickStart Attempted" Status
EOF
e2e_stop_sim
e2e_expect_report "one kick-start" '.kickStarts' 1
e2e_expect_report "nothing else" '.sessions[0].phases | join(",")' kickstart

# Com 3, which the prefix doesn't have: Start BIOS and Reload both say so.
e2e_drive com3 <<EOF
click $main 1007
expect-checked $main 1005 0
expect-checked $main 1006 0
expect-checked $main 1007 1
expect-checked $main 1008 0
click $main 1007
expect-checked $main 1007 1
expect-checked $main 1005 0
click $main 1004
wait-messagebox "Can't Open COM3:" Error
expect-owner Error ""
messagebox-expect "Can't Open COM3:" Error
watch $main
click $main 1000
answer-open-dialog signed.a37
wait-messagebox "Can't Open COM3:" Error
expect-owner Error $progress
expect-text $progress 1002 Progress
messagebox-expect "Can't Open COM3:" Error
wait-gone $progress
expect-history $progress 1003 $(q "Reading File $app_win...") "File Read...\n"
expect-history $progress 1002
click $main 2
wait-exit
EOF
e2e_expect_velko_ended
