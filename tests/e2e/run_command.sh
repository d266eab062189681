#!/usr/bin/env bash
# End to end through the run command, headless, with one sample file:
#
#   run_command.sh programs [run.sh options...]    the instrument is programmed with the file
#   run_command.sh refuses "LAST LINE" [options...] the program refuses it with that message
#
# A programmed file: exit status 0, the instrument's flash holds the file's stamped and signed
# image, and the progress window's picture was taken with the bar at half of what the file
# sends (before 70 % of it).  A refused file: exit status 1, the message as the last line,
# nothing sent to the instrument and no picture of the progress window.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
expect=${1:?programs or refuses}
shift
last_line=""
if [ "$expect" = refuses ]; then
    last_line=${1:?the message the run must end with}
    shift
fi

fail() {
    echo "FAILED: $*"
    exit 1
}

log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "== scripts/run.sh --headless $*"
status=0
"$root/scripts/run.sh" --headless "$@" >"$log" 2>&1 </dev/null || status=$?
cat "$log"
[ $status -ne 77 ] || exit 77  # the run command can't run VELKO.EXE on this machine
shots=$root/build/run/screenshots

if [ "$expect" = refuses ]; then
    [ $status -eq 1 ] || fail "the run ended with status $status, not 1"
    [ "$(tail -n 1 "$log")" = "$last_line" ] || fail "the last line is not \"$last_line\""
    grep -qx '   sessions: none' "$log" || fail "the instrument was addressed"
    [ ! -e "$shots/progress-window.png" ] || fail "a picture of a load that never started"
    echo "refused as expected"
    exit 0
fi

[ $status -eq 0 ] || fail "the run ended with status $status"
grep -q "^   the instrument's flash holds exactly the stamped, .* image of " "$log" ||
    fail "no word that the flash holds the file's image"
[ -s "$shots/progress-window.png" ] || fail "no picture of the progress window"
read -r done_bytes total < <(sed -n 's/.*progress-window\.png at \([0-9]*\) of \([0-9]*\) bytes.*/\1 \2/p' "$log")
[ -n "${total:-}" ] || fail "no bar position for the picture"
if [ $((done_bytes * 2)) -lt "$total" ] || [ $((done_bytes * 10)) -gt $((total * 7)) ]; then
    fail "the picture was taken at $done_bytes of $total bytes, not half way"
fi
echo "programmed as expected; the picture at $done_bytes of $total bytes"
