#!/usr/bin/env bash
# Every test of the project, from a fresh machine: installs what is missing, builds the five
# builds (native, native under ASan+UBSan, the 32-bit Windows cross build, the x86-64 one,
# fuzz targets), and runs the native tests, the sanitized tests, the Debian package's test
# (packaging/debian/test-deb.sh, which builds it in build/deb), the 32-bit Windows tests
# under wine (with a virtual X display for the dialogs; the end-to-end tests and the release
# package among them), the x86-64 build's unit tests under wine, and a bounded fuzz run.
# Fails on any failure.
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
for preset in native native-asan windows windows64 fuzz; do
    echo "== build $preset"
    build "$preset"
done

# Tests under wine need one X display; start a private Xvfb unless one is given.
xvfb_pid=""
cleanup() {
    local preset
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

status=0
echo "== native tests"
ctest --preset native -j "$jobs" || status=1
echo "== native tests under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset native-asan -j "$jobs" || status=1
echo "== the Debian package (builds build/deb; lintian, the unpacked package, man pages, unit)"
packaging/debian/test-deb.sh || status=1
echo "== Windows tests under wine (32-bit x86)"
ctest --preset windows -j "$jobs" || status=1
echo "== Windows x86-64 unit tests under wine"
ctest --preset windows64 -j "$jobs" || status=1
echo "== fuzzing, ${fuzz_seconds} s"
scripts/fuzz.sh "$fuzz_seconds" || status=1

if [ $status -ne 0 ]; then
    echo "== FAILED"
else
    echo "== all tests passed"
fi
exit $status
