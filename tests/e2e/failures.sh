#!/usr/bin/env bash
# End to end, one run of VELKO.EXE: every way a reload fails, with its messages, their
# captions and owners, and what the progress window showed: no file chosen, a file that
# can't be opened, an empty file, an unsigned file, no instrument answering, an erase that
# fails.  Escape ends the program.
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"
e2e_init failures

main=$(q "$kMainTitle")
progress=$(q "$kProgressTitle")
e2e_make_app "$e2e_dir/signed.a37" 4096 signed
e2e_make_app "$e2e_dir/unsigned.a37" 4096 unsigned
cp "$e2e_dir/signed.a37" "$e2e_dir/locked.a37"
: >"$e2e_dir/empty.a37"
reading() { q "Reading File $(winpath "$e2e_dir/$1")..."; }
status_found=$'Vyra Found...\nErasing Program Memory...\n'

# An instrument that must hear nothing while the files are refused.
e2e_start_sim
e2e_start_velko

# The file that the driver holds open, shared with nobody, can't be opened by the reader:
# its own message without an owner, then the job's over the progress window.
e2e_drive file-failures <<EOF
wait-window $main 60
click $main 1000
wait-window $(q "$kOpenTitle")
click $(q "$kOpenTitle") 2
wait-messagebox "No File Selected" Error
expect-owner Error $main
messagebox-expect "No File Selected" Error
watch $main
lock-file $(q "$(winpath "$e2e_dir/locked.a37")")
click $main 1000
answer-open-dialog locked.a37
wait-messagebox "Can't Open File" Error
expect-owner Error ""
messagebox-expect "Can't Open File" Error
wait-messagebox "Problem with file" ERROR
expect-owner ERROR $progress
expect-text $progress 1002 Progress
messagebox-expect "Problem with file" ERROR
wait-gone $progress
expect-history $progress 1003 $(reading locked.a37)
expect-history $progress 1002
watch $main
click $main 1000
answer-open-dialog empty.a37
wait-messagebox "Problem with file" ERROR
expect-owner ERROR $progress
messagebox-expect "Problem with file" ERROR
wait-gone $progress
expect-history $progress 1003 $(reading empty.a37)
watch $main
click $main 1000
answer-open-dialog unsigned.a37
wait-messagebox "Can't load unsigned file" Error
expect-owner Error $progress
messagebox-expect "Can't load unsigned file" Error
wait-gone $progress
expect-history $progress 1003 $(reading unsigned.a37) "File Read...\n"
expect-history $progress 1002
EOF
e2e_stop_sim
e2e_expect_report "no port opened for a refused file" '.sessions | length' 0

e2e_start_sim --identify-silent
e2e_drive no-instrument <<EOF
watch $main
click $main 1000
answer-open-dialog signed.a37
wait-messagebox "Can't find Vyra" Error 60
expect-owner Error $progress
messagebox-expect "Can't find Vyra" Error
wait-gone $progress
expect-history $progress 1003 $(reading signed.a37) "File Read...\n" "Looking For Vyra...\n"
expect-history $progress 1002 ""
EOF
e2e_stop_sim
e2e_expect_report "identify unanswered" '.sessions[0].fault' "identify unanswered"
e2e_expect_report "nothing erased" '.sessions[0].erased | length' 0

e2e_start_sim --erase-fault 2
e2e_drive erase-fault <<EOF
watch $main
click $main 1000
answer-open-dialog signed.a37
wait-messagebox "Sector Erase Rec fail!" Oops 60
expect-owner Oops ""
messagebox-expect "Sector Erase Rec fail!" Oops
wait-messagebox "Can't Erase Program Memory" Error
expect-owner Error $progress
messagebox-expect "Can't Erase Program Memory" Error
wait-gone $progress
expect-history $progress 1003 $(reading signed.a37) "File Read...\n" "Looking For Vyra...\n" $(q "$status_found")
key $main escape
wait-exit
EOF
e2e_expect_velko_ended
e2e_stop_sim
e2e_expect_report "the second erase unanswered" '.sessions[0].fault' "erase 2 unanswered"
e2e_expect_report "no later sector erased" \
    '[.sessions[0].erased[] | select(. == "0x440000" or . == "0x450000")] | length' 0
e2e_expect_report "no block written" '.sessions[0].blocksWritten' 0
