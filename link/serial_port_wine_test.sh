#!/usr/bin/env bash
# Runs the Windows serial port test under wine against a real line: two pseudo-terminals
# joined by socat, one mapped as COM1 (the port under test) and the other as COM2 (its far
# end) of a wine prefix of this test's own.  While the test runs, this script answers its
# "what rate does COM1's line run at" requests with stty on COM1's terminal, from outside
# wine.
#   serial_port_wine_test.sh <serial_port_win32_test.exe> <work folder>
set -u
exe=$1
work=$2
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

# shellcheck source=../cmake/wine-env.sh
. "$root/cmake/wine-env.sh"
if [ "$(pe_machine "$exe")" = i386 ] && ! wine_runs_32bit; then
    echo "serial_port_wine_test: SKIPPED: $exe: $kNo32BitReason"
    exit 77
fi
export WINEPREFIX=$work/wineprefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml=;winemenubuilder.exe=d"}

command -v socat >/dev/null || { echo "serial_port_wine_test: socat is missing (scripts/setup.sh)"; exit 1; }
mkdir -p "$work"
line=$work/line
sync=$work/sync
rm -rf "$line" "$sync"
mkdir -p "$line" "$sync"

socat_pid=""
watcher_pid=""
cleanup() {
    [ -n "$watcher_pid" ] && kill "$watcher_pid" 2>/dev/null
    [ -n "$socat_pid" ] && kill "$socat_pid" 2>/dev/null
    # Leave no mapping to a terminal that is about to vanish, and stop the prefix's server.
    if [ -d "$WINEPREFIX/dosdevices" ]; then
        for n in 1 2; do
            wine reg add 'HKLM\Software\Wine\Ports' /v COM$n /d /dev/null/no-port /f \
                >>"$work/wine-setup.log" 2>&1 </dev/null
            ln -sfn /dev/null/no-port "$WINEPREFIX/dosdevices/com$n"
        done
        wineserver -k >/dev/null 2>&1
    fi
}
trap cleanup EXIT

"$root/cmake/wine-prefix.sh" </dev/null ||
    { echo "serial_port_wine_test: cannot prepare $WINEPREFIX (see $WINEPREFIX.log)"; exit 1; }

# The line runs ahead of ordinary processes, as a real one is never held up by the PC.
"$root/cmake/run-realtime.sh" socat -d -d pty,raw,echo=0,link="$line/com1" \
    pty,raw,echo=0,link="$line/com2" >"$work/socat.log" 2>&1 </dev/null &
socat_pid=$!
for _ in $(seq 100); do
    [ -e "$line/com1" ] && [ -e "$line/com2" ] && break
    sleep 0.05
done
host=$(readlink -f "$line/com1")
far=$(readlink -f "$line/com2")
[ -c "$host" ] && [ -c "$far" ] || { echo "serial_port_wine_test: socat made no line"; cat "$work/socat.log"; exit 1; }

# Wine rebuilds its port links from the registry when its server starts: set both.
for mapping in "1 $host" "2 $far"; do
    set -- $mapping
    wine reg add 'HKLM\Software\Wine\Ports' /v COM$1 /d "$2" /f >>"$work/wine-setup.log" 2>&1 </dev/null
    ln -sfn "$2" "$WINEPREFIX/dosdevices/com$1"
done

# Answers each request file with the rate of COM1's terminal.
(
    while :; do
        for request in "$sync"/*.req; do
            [ -e "$request" ] || continue
            name=${request%.req}
            stty -F "$host" speed >"$name.tmp" 2>&1
            mv "$name.tmp" "$name.ack"
            rm -f "$request"
        done
        sleep 0.05
    done
) &
watcher_pid=$!

export ORVANE_LINE_SYNC="Z:${sync//\//\\}"
out=$work/test-output.txt
wine "$exe" --gtest_color=no >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
exit $rc
