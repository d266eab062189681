#!/usr/bin/env bash
# Runs one CTest label of the 32-bit Windows build, the end-to-end tests (e2e) unless told
# otherwise, many times in a row and prints how many runs failed and how long they took: a
# test that fails now and then shows here, where a single run would let it pass.
#
#   scripts/soak-tests.sh [--runs N] [--load] [--label LABEL]
#
#   --runs N       how many runs (10)
#   --load         a CPU load beside the runs the whole time: one stress-ng worker a core at
#                  the lowest priority (nice 19), so the cores are never idle and the tests
#                  get them only by competing
#   --label LABEL  the CTest label of the windows build (e2e; "run" for the run command's)
#
# A failed run keeps its CTest output and the tests' work folders (the simulated instrument's
# reports, the UI driver's steps, velko-cli's trace of the line) in
# build/soak/<start time>/run-N/.  Exit status 0 when every run passed, 1 when any failed.
# It builds the native and windows builds first.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=10
load=0
label=e2e
while [ $# -gt 0 ]; do
    case $1 in
    --runs) runs=${2:?--runs needs a number}; shift ;;
    --load) load=1 ;;
    --label) label=${2:?--label needs a label}; shift ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak-tests: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "soak-tests: --runs wants a positive number" >&2; exit 2; }

scripts/setup.sh >/dev/null
mkdir -p build
for preset in native windows; do
    if [ ! -f "build/$preset/CMakeCache.txt" ]; then
        cmake --preset "$preset" >"build/configure-$preset.log" 2>&1 ||
            { cat "build/configure-$preset.log"; exit 1; }
    fi
    cmake --build --preset "$preset" -j "$(nproc)" >"build/soak-build-$preset.log" 2>&1 ||
        { tail -40 "build/soak-build-$preset.log"; exit 1; }
done

kept=build/soak/$(date +%Y%m%d-%H%M%S)
load_pid=""
xvfb_pid=""
log=""
cleanup() {
    set +e
    [ -n "$load_pid" ] && kill "$load_pid" 2>/dev/null
    # The server that the unit tests' runner keeps up (the other tests stop their own).
    WINEPREFIX=$(pwd)/build/windows/wineprefix wineserver -k >/dev/null 2>&1 </dev/null
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    [ -n "$log" ] && rm -f "$log"
    return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Tests of other labels that open windows share one display (the end-to-end tests and the
# run command start their own).
if [ -z "${DISPLAY:-}" ]; then
    display=$(scripts/start-xvfb.sh)
    xvfb_pid=${display#*:pid=}
    export DISPLAY=${display%%:pid=*}
fi

if [ $load -eq 1 ]; then
    nice -n 19 stress-ng --cpu "$(nproc)" --quiet >/dev/null 2>&1 </dev/null &
    load_pid=$!
fi

describe="$runs run$([ "$runs" -eq 1 ] || echo s) of the windows build's label $label"
[ $load -eq 0 ] || describe+=", beside a CPU load on all $(nproc) cores"
echo "== $describe"
failed=0
started=$SECONDS
log=$(mktemp)
for ((n = 1; n <= runs; n++)); do
    run_started=$SECONDS
    if ctest --preset windows -L "^$label\$" --output-on-failure >"$log" 2>&1; then
        echo "run $n of $runs: passed ($((SECONDS - run_started)) s)"
        continue
    fi
    failed=$((failed + 1))
    mkdir -p "$kept/run-$n"
    cp "$log" "$kept/run-$n/ctest.log"
    cp -r build/windows/tests/e2e/work "$kept/run-$n/e2e-work" 2>/dev/null || true
    [ "$label" != run ] || cp -r build/run "$kept/run-$n/run" 2>/dev/null || true
    which=$(sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' "$log" | paste -sd ' ' -)
    echo "run $n of $runs: FAILED (${which:-see the log}; kept in $kept/run-$n, $((SECONDS - run_started)) s)"
done
took=$((SECONDS - started))
echo "== $describe: $failed failed, in $((took / 60)) min $((took % 60)) s"
[ $failed -eq 0 ]
