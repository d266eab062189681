#!/usr/bin/env bash
# End to end, developer mode: with the stand-in signing library at its fixed path the three
# developer buttons are shown; "!" signs and exports an image and then says "That Sucks";
# "K" and "L" write C array headers beside the chosen files; the first Reload starts in the
# release folder and signs an unsigned file.  A library without SignApp says "Scrotum" with
# the program's name as caption, and its jobs run unsigned.  (Without any library, the
# reload test checks the hidden buttons and the chooser's start in the current folder.)
# shellcheck source=tests/e2e/lib.sh
source "$(dirname "$0")/lib.sh"
if [ -z "${ORVANE_SIGN_LIBRARY:-}" ] || [ ! -e "$ORVANE_SIGN_LIBRARY" ]; then
    e2e_skip "no stand-in signing library (ORVANE_SIGN_LIBRARY)"
fi
e2e_init devmode

main=$(q "$kMainTitle")
progress=$(q "$kProgressTitle")
dv="$WINEPREFIX/drive_c/DV/H8S"
mkdir -p "$dv/PC/KESP/DEBUG" "$dv/DUZEVAV/RELEASE/EXE" "$dv/BOOTUP/RELEASE/EXE" \
    "$dv/LOADER/RELEASE/EXE"
export_file="$dv/DUZEVAV/RELEASE/EXE/ROVOD.A37"

size=4096
end=$((kImageBase + size - 1))
e2e_make_app "$e2e_dir/unsigned.a37" $size unsigned
e2e_make_app "$dv/DUZEVAV/RELEASE/EXE/FIELD.A37" $size unsigned
# Boot-up code: 17 bytes 0x00..0x10 from 0xFFE080, so two data lines, the second with one.
printf '\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10' >"$e2e_dir/boot.bin"
srec_cat "$e2e_dir/boot.bin" -binary -offset 0xFFE080 -o "$dv/BOOTUP/RELEASE/EXE/BOOT.A37" \
    -Motorola -address-length=3 -disable=header -disable=data-count 2>>"$e2e_dir/srec_cat.log"
# Loader code: 0x12 0x34 0xAB at 0, 1 and 2 in S1 records.
printf '\x12\x34\xab' >"$e2e_dir/tiny.bin"
srec_cat "$e2e_dir/tiny.bin" -binary -o "$dv/LOADER/RELEASE/EXE/TINY.A37" -Motorola \
    -address-length=2 -disable=header -disable=data-count 2>>"$e2e_dir/srec_cat.log"

scrotum() {
    q "Start:$kImageBase ($(printf '%06X' $kImageBase)) Max:$end ($(printf '%06X' $end))  Len:$((size - 1)) Cnt:$1"
}
closing() { # closing message of the C array generator for a file in a fixed folder
    local folder=$1 name=$2
    q "Name:C:\\DV\\H8S\\$folder\\RELEASE\\EXE\\$name.A37
Drive:C:
Dir:\\DV\\H8S\\$folder\\RELEASE\\EXE\\
FName:$name
Ext:.A37
OutFName:C:\\DV\\H8S\\$folder\\RELEASE\\EXE\\${name}CDATA.H"
}

cp "$ORVANE_SIGN_LIBRARY" "$dv/PC/KESP/DEBUG/KESP.DLL"
e2e_start_velko

e2e_drive export <<EOF
wait-window $main 60
expect-visible $main 1010 1
expect-visible $main 1011 1
expect-visible $main 1012 1
expect-text $main 1010 "!"
expect-text $main 1011 L
expect-text $main 1012 K
watch $main
click $main 1010
answer-open-dialog unsigned.a37
wait-messagebox $(scrotum 0) Scrotum
expect-owner Scrotum ""
messagebox-expect $(scrotum 0) Scrotum
messagebox-expect $(scrotum $size) Scrotum
wait-messagebox "That Sucks" "Hi There"
expect-owner "Hi There" $main
messagebox-expect "That Sucks" "Hi There"
expect-history $progress 1003 $(q "Reading File $(winpath "$e2e_dir/unsigned.a37")...") "File Read...\n"
EOF

# The export: S2 records of 16 bytes with CR LF, nothing else; the stamped header, the
# stand-in library's signature (the SHA-256 of offsets 0x100 up to the end address at 0x10,
# sixteen 0xA5 at 0x30) and the file's bytes.
[ -f "$export_file" ] || e2e_fail "no export file $export_file"
lines=$(wc -l <"$export_file")
[ "$lines" -eq $((size / 16)) ] || e2e_fail "the export has $lines lines, not $((size / 16))"
if grep -v -q -E $'^S214[0-9A-F]{40}\r$' "$export_file"; then
    e2e_fail "the export has a line that is not an S2 record of 16 bytes with CR LF"
fi
e2e_expected_signed_image "$e2e_dir/unsigned.a37" $size "$e2e_dir/expected.bin"
srec_cmp "$export_file" "$e2e_dir/expected.bin" -binary -offset $kImageBase \
    -crop $kImageBase $((kImageBase + size)) >"$e2e_dir/srec_cmp.log" 2>&1 ||
    { cat "$e2e_dir/srec_cmp.log"; e2e_fail "the export is not the stamped and signed image"; }
e2e_log "export: $lines S2 records, the stamped image with its signature"

e2e_drive c-arrays <<EOF
click $main 1012
answer-open-dialog BOOT.A37
wait-messagebox $(closing BOOTUP BOOT) "Hi There"
expect-owner "Hi There" ""
messagebox-expect $(closing BOOTUP BOOT) "Hi There"
wait-messagebox "BSize:16 LBSize:32 MaxAddr:00FFE090\n" "Hi There"
expect-owner "Hi There" $main
messagebox-expect "BSize:16 LBSize:32 MaxAddr:00FFE090\n" "Hi There"
click $main 1011
answer-open-dialog TINY.A37
messagebox-expect $(closing LOADER TINY) "Hi There"
messagebox-expect "BSize:2 LBSize:32 MaxAddr:00000002\n" "Hi There"
EOF
expect_file() {
    local file=$1 expected=$2
    [ -f "$file" ] || e2e_fail "no file $file"
    if ! cmp -s "$file" "$expected"; then
        diff <(od -c "$expected") <(od -c "$file") | head -20
        e2e_fail "$file differs from what was expected"
    fi
    e2e_log "$(basename "$file") as expected"
}
printf '%s\r\n' '// C:\DV\H8S\BOOTUP\RELEASE\EXE\BOOTCDATA.H' '//This file was created by a machine' '' \
    '#define BOOT_CODE_SIZE 17' '' 'unsigned char const BOOT_Code_Data[17] = {' \
    '0x00,0x01,0x02,0x03,0x04,0x05,0x06,0x07,0x08,0x09,0x0A,0x0B,0x0C,0x0D,0x0E,0x0F,' \
    '0x10,' '};' >"$e2e_dir/BOOTCDATA.H"
expect_file "$dv/BOOTUP/RELEASE/EXE/BOOTCDATA.H" "$e2e_dir/BOOTCDATA.H"
printf '%s\r\n' '// C:\DV\H8S\LOADER\RELEASE\EXE\TINYCDATA.H' '//This file was created by a machine' '' \
    '#define TINY_CODE_SIZE 3' '' 'unsigned char const TINY_Code_Data[3] = {' '0x12,0x34,0xAB,' \
    '};' >"$e2e_dir/TINYCDATA.H"
expect_file "$dv/LOADER/RELEASE/EXE/TINYCDATA.H" "$e2e_dir/TINYCDATA.H"

# The first Reload starts in the release folder.  The file there is unsigned: that the job
# goes on to the port (which COM1 of this prefix doesn't have) shows that it was signed.
e2e_drive reload <<EOF
watch $main
click $main 1000
answer-open-dialog FIELD.A37
wait-messagebox "Can't Open COM1:" Error
expect-owner Error $progress
messagebox-expect "Can't Open COM1:" Error
wait-gone $progress
expect-history $progress 1003 $(q 'Reading File C:\DV\H8S\DUZEVAV\RELEASE\EXE\FIELD.A37...') "File Read...\n"
click $main 2
wait-exit
EOF
e2e_expect_velko_ended

if [ -n "${ORVANE_SIGN_LIBRARY_NO_ENTRY:-}" ] && [ -e "$ORVANE_SIGN_LIBRARY_NO_ENTRY" ]; then
    # Without SignApp: the message at start, the buttons all the same, and jobs unsigned:
    # "!" writes no export file and the unsigned file is refused.
    cp "$ORVANE_SIGN_LIBRARY_NO_ENTRY" "$dv/PC/KESP/DEBUG/KESP.DLL"
    rm -f "$export_file"
    e2e_start_velko
    e2e_drive no-entry <<EOF
wait-messagebox Scrotum VELKO 60
expect-owner VELKO $main
messagebox-expect Scrotum VELKO
expect-visible $main 1010 1
expect-visible $main 1011 1
expect-visible $main 1012 1
click $main 1010
answer-open-dialog unsigned.a37
wait-messagebox "Can't load unsigned file" Error
expect-owner Error $progress
messagebox-expect "Can't load unsigned file" Error
messagebox-expect "That Sucks" "Hi There"
click $main 2
wait-exit
EOF
    e2e_expect_velko_ended
    [ ! -e "$export_file" ] || e2e_fail "an export file was written without a signing entry"
    e2e_log "no export file without SignApp"
else
    e2e_log "no stand-in library without SignApp (ORVANE_SIGN_LIBRARY_NO_ENTRY): not tested"
fi

if [ -n "${ORVANE_SIGN_LIBRARY_BLANK:-}" ] && [ -e "$ORVANE_SIGN_LIBRARY_BLANK" ]; then
    # A SignApp that leaves the block blank: the export is still written, then the image is
    # refused.
    cp "$ORVANE_SIGN_LIBRARY_BLANK" "$dv/PC/KESP/DEBUG/KESP.DLL"
    rm -f "$export_file"
    e2e_start_velko
    e2e_drive blank <<EOF
wait-window $main 60
click $main 1010
answer-open-dialog unsigned.a37
messagebox-expect $(scrotum 0) Scrotum
messagebox-expect $(scrotum $size) Scrotum
messagebox-expect "Can't load unsigned file" Error
messagebox-expect "That Sucks" "Hi There"
key $main escape
wait-exit
EOF
    e2e_expect_velko_ended
    [ -f "$export_file" ] || e2e_fail "no export file with a SignApp that leaves the block blank"
    e2e_log "export written, image refused, with a SignApp that leaves the block blank"
else
    e2e_log "no stand-in library with a blank block (ORVANE_SIGN_LIBRARY_BLANK): not tested"
fi
