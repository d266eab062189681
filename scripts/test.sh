#!/usr/bin/env bash
# Every test of the project, from a fresh machine: installs what is missing, builds the five
# builds (native, native under ASan+UBSan, the 32-bit Windows cross build, the x86-64 one,
# fuzz targets), and runs the native tests, the sanitized tests, the Debian package's test
# (packaging/debian/test-deb.sh, from the native build's programs), the 32-bit Windows tests
# under wine (with a virtual X display for the dialogs; the end-to-end tests and the release
# package among them; skipped, each saying why, on a machine that runs no 32-bit program),
# the x86-64 build's unit tests under wine, and a bounded fuzz run.  Fails on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/setup.sh

jobs=${ORVANE_JOBS:-$(nproc)}
fuzz_seconds=${ORVANE_FUZZ_SECONDS:-60}

build() {
    cmake --preset "$1" >"build/configure-$1.log" 2>&1 || { cat "build/configure-$1.log"; return 1; }
    cmake --build --preset "$1" -j "$jobs"
}

mkdir -p build
started=$SECONDS
stamp() { echo "== [$(( (SECONDS - started) / 60 )) min $(( (SECONDS - started) % 60 )) s] $*"; }

# Tests under wine need one X display; start a private Xvfb unless one is given.
xvfb_pid=""
lane_pid=""
cleanup() {
    local preset
    [ -n "$lane_pid" ] && kill "$lane_pid" 2>/dev/null || true
    for preset in windows windows64; do
        WINEPREFIX=$root/build/$preset/wineprefix wineserver -k >/dev/null 2>&1 || true
    done
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    display=$(scripts/start-xvfb.sh)
    xvfb_pid=${display#*:pid=}
    export DISPLAY=${display%%:pid=*}
fi

stamp "build native"
build native

# From here two lanes run side by side.  The Windows builds keep both cores busy while the
# native lane's tests mostly wait (paced instruments, the browser, a database server), and the
# Windows tests wait on wine while the native lane builds; one after the other, each would
# leave the cores idle for minutes.  The native lane's output is shown when it ends.
native_lane() {
    local status=0
    stamp "native tests"
    ctest --preset native -j "$jobs" || status=1
    stamp "build native-asan"
    build native-asan || return 1
    stamp "native tests under AddressSanitizer + UndefinedBehaviorSanitizer"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --preset native-asan -j "$jobs" || status=1
    stamp "the Debian package (from build/native; lintian, the unpacked package, man pages, unit)"
    packaging/debian/test-deb.sh || status=1
    stamp "native lane done"
    return $status
}
native_lane >build/native-lane.log 2>&1 &
lane_pid=$!

status=0
for preset in windows windows64 fuzz; do
    stamp "build $preset"
    build "$preset" || status=1
done
if [ $status -eq 0 ]; then
    stamp "Windows tests under wine (32-bit x86)"
    ctest --preset windows -j "$jobs" || status=1
    stamp "Windows x86-64 unit tests under wine"
    ctest --preset windows64 -j "$jobs" || status=1
    stamp "fuzzing, ${fuzz_seconds} s"
    scripts/fuzz.sh "$fuzz_seconds" || status=1
fi

lane_status=0
wait "$lane_pid" || lane_status=$?
lane_pid=""
echo "== the native lane's output (build/native-lane.log)"
cat build/native-lane.log
[ $lane_status -eq 0 ] || status=1

stamp "done"
if [ $status -ne 0 ]; then
    echo "== FAILED"
else
    echo "== all tests passed"
fi
exit $status
